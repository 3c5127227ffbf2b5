#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <QString>

namespace kvr::qt {

// The module's Windows-1252 text as a QString.
QString ToQString(std::string_view cp1252);

// A QString as the module's Windows-1252 text; characters the code page
// cannot hold become "?".
std::string FromQString(const QString& text);

// The text of an exception for the user: what() is UTF-8 (wire/errors.h).
QString ErrorText(const std::exception& error);

}  // namespace kvr::qt
