#pragma once

#include <string>
#include <string_view>

namespace kvr {

// Conversions between the module's Windows-1252 texts, UTF-8 and UTF-16.

// Decodes UTF-8 into UTF-16. Never fails: every malformed sequence (stray
// continuation byte, truncated sequence, overlong form, surrogate, value
// above U+10FFFF) becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Encodes UTF-16 as Windows-1252; a character the code page cannot
// represent (an unpaired surrogate included) becomes "?".
std::string Utf16ToCp1252(std::u16string_view text);

// Windows-1252 bytes to UTF-8. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same value.
std::string Cp1252ToUtf8(std::string_view text);

// UTF-8 to Windows-1252, through Utf8ToUtf16 and Utf16ToCp1252.
std::string Utf8ToCp1252(std::string_view utf8);

}  // namespace kvr
