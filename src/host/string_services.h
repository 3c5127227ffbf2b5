#pragma once

#include <string>

namespace kvr {

// String services of the host library. Texts are Windows-1252 bytes.

// True when the text holds nothing but bytes of code 32 or less (the empty
// text included).
bool EmptyString(const std::string& text);

// The text right-aligned in exactly width characters, filled with blanks on
// the left when it is shorter; a text of width or more characters comes back
// unchanged.
std::string Ajusta(const std::string& text, int width);

// The text with every accented Windows-1252 letter replaced by its plain
// letter, in its own case (Ç/ç become C/c). Every other byte stays.
std::string RemoveAcentos(const std::string& text);

// RemoveAcentos done on the text itself, sparing a copy.
void RemoveAcentosInPlace(std::string& text);

// The number a formatted text denotes. Blanks are ignored. When both "." and
// "," occur, the last of them is the decimal mark and the other groups
// thousands; when only one kind occurs, once, it is the decimal mark; several
// times, it groups thousands. A leading "-" makes the number negative.
// Throws EConvertError for anything else (the empty text included), quoting
// the text.
double FloatMaskOut(const std::string& text);

}  // namespace kvr
