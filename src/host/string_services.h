#pragma once

#include <span>
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
void RemoveAcentosInPlace(std::span<char> text);

// The number a formatted text denotes. A leading run of letters, "$" and
// blanks is a currency prefix and is ignored ("R$ 55.103,65", also with a
// non-breaking space, whose UTF-8 bytes read as "\xC2\xA0"). Blanks are
// ignored. When both "." and "," occur, the last of them is the decimal mark
// and the other groups thousands; when only one kind occurs, once, it is the
// decimal mark; several times, it groups thousands. A leading "-" makes the
// number negative. Throws EConvertError for anything else (the empty text
// included), quoting the text.
double FloatMaskOut(const std::string& text);

// The number FloatMaskOut reads from text, as plain decimal text: an optional
// "-", digits, and "." before the decimals when there are any ("-1234.56").
// The same errors as FloatMaskOut. For callers that add such numbers exactly.
std::string FloatMaskOutText(const std::string& text);

}  // namespace kvr
