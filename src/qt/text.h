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

// A message for the user that may be either: the module's own texts are
// Windows-1252, a few platform messages are UTF-8. A text that is valid
// UTF-8 is taken as such (Portuguese Windows-1252 text with accents never
// is), any other as Windows-1252.
QString MessageToQString(std::string_view text);

// The text of an exception for the user, as MessageToQString reads it.
QString ErrorText(const std::exception& error);

}  // namespace kvr::qt
