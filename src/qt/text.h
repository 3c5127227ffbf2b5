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

// The text of an exception for the user. The module's messages are
// Windows-1252, a few platform messages are UTF-8: a message that is valid
// UTF-8 is taken as such, any other as Windows-1252.
QString ErrorText(const std::exception& error);

}  // namespace kvr::qt
