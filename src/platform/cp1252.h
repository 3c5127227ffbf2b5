#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "wire/utf8.h"

namespace kvr {

// Windows-1252: the code page of the module's texts in memory, and the
// _cp1252 literal that writes them in the source as UTF-8.

// Code points of the bytes 0x80 to 0x9F; the five the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their own value, the C1
// control of that number. Every other byte is its own code point.
inline constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char16_t Cp1252ToCodePoint(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kCp1252High[byte - 0x80] : byte;
}

// The Windows-1252 byte of a code point, or -1 when the code page lacks it.
constexpr int CodePointToCp1252(char32_t code) {
  if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<int>(code);
  const char16_t* high = std::find(std::begin(kCp1252High), std::end(kCp1252High), code);
  return high == std::end(kCp1252High) ? -1 : 0x80 + static_cast<int>(high - kCp1252High);
}

namespace cp1252_literal {

// A string literal of the source (UTF-8) as a template argument.
template <std::size_t N>
struct Utf8Text {
  char bytes[N];
  consteval Utf8Text(const char (&text)[N]) { std::copy_n(text, N, bytes); }
};

// Neither is defined nor constexpr: a literal that reaches one of them does
// not compile, and the compiler's message names the reason.
void ThisTextHasACharacterWindows1252Lacks();
void ThisTextIsNotValidUtf8();

// Calls each(code point) for every character of text (without its final
// NUL), in order. Evaluated only while compiling (a constexpr function, so
// that each may change the caller's locals).
template <std::size_t N, typename Each>
constexpr void ForEachCodePoint(const Utf8Text<N>& text, Each each) {
  for (std::size_t i = 0; i + 1 < N;) {
    const auto lead = static_cast<unsigned char>(text.bytes[i]);
    if (lead < 0x80) {
      each(char32_t{lead});
      ++i;
      continue;
    }
    const Utf8LeadByte form = Utf8Lead(lead);
    if (form.more == 0 || i + form.more + 1 >= N) ThisTextIsNotValidUtf8();
    char32_t code = lead & (0x3F >> form.more);
    for (int k = 1; k <= form.more; ++k) {
      const auto next = static_cast<unsigned char>(text.bytes[i + k]);
      if (next < (k == 1 ? form.low : 0x80) || next > (k == 1 ? form.high : 0xBF)) ThisTextIsNotValidUtf8();
      code = (code << 6) | (next & 0x3F);
    }
    each(code);
    i += form.more + 1;
  }
}

template <Utf8Text text>
consteval std::size_t EncodedSize() {
  std::size_t size = 0;
  ForEachCodePoint(text, [&](char32_t) { ++size; });
  return size;
}

// The literal's Windows-1252 bytes, NUL-terminated, in static storage.
template <Utf8Text text>
struct Encoded {
  static constexpr std::array<char, EncodedSize<text>() + 1> bytes = [] {
    std::array<char, EncodedSize<text>() + 1> out{};
    std::size_t at = 0;
    ForEachCodePoint(text, [&](char32_t code) {
      const int byte = CodePointToCp1252(code);
      if (byte < 0) ThisTextHasACharacterWindows1252Lacks();
      out[at++] = static_cast<char>(byte);
    });
    return out;
  }();
};

}  // namespace cp1252_literal

inline namespace literals {

// "Não foi possível"_cp1252 is the NUL-terminated Windows-1252 text of the
// UTF-8 literal, converted while compiling: a const char* into static storage,
// used wherever the plain literal would be. A character the code page lacks,
// or bytes that are not UTF-8 ("\xE3"), stop the compilation.
template <cp1252_literal::Utf8Text text>
consteval const char* operator""_cp1252() {
  return cp1252_literal::Encoded<text>::bytes.data();
}

}  // namespace literals

// The literals above read the source as UTF-8; a compiler told otherwise
// (-finput-charset, -fexec-charset) would turn them into other bytes.
static_assert(sizeof("é") == 3 && "é"[0] == static_cast<char>(0xC3) && "é"[1] == static_cast<char>(0xA9),
              "sources are UTF-8 and so are their plain literals");

}  // namespace kvr
