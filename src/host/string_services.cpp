#include "host/string_services.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/encoding.h"
#include "platform/errors.h"

namespace kvr {

bool EmptyString(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c <= 32; });
}

std::string Ajusta(const std::string& text, int width) {
  if (width <= 0 || text.size() >= static_cast<size_t>(width)) return text;
  return std::string(static_cast<size_t>(width) - text.size(), ' ') + text;
}

namespace {

// What each Windows-1252 byte becomes: an accented letter its plain letter,
// every other byte itself.
struct AccentTable {
  char plain[256] = {};
  AccentTable() {
    for (unsigned c = 0; c < 256; ++c) plain[c] = static_cast<char>(c);
    // S, Z caron (and lower case), Y diaeresis, then the Latin-1 letters.
    static const struct {
      unsigned from, to;
      char letter;
    } kLetters[] = {{0x8A, 0x8A, 'S'}, {0x8E, 0x8E, 'Z'}, {0x9A, 0x9A, 's'}, {0x9E, 0x9E, 'z'},
                    {0x9F, 0x9F, 'Y'}, {0xC0, 0xC5, 'A'}, {0xC7, 0xC7, 'C'}, {0xC8, 0xCB, 'E'},
                    {0xCC, 0xCF, 'I'}, {0xD1, 0xD1, 'N'}, {0xD2, 0xD6, 'O'}, {0xD8, 0xD8, 'O'},
                    {0xD9, 0xDC, 'U'}, {0xDD, 0xDD, 'Y'}, {0xE0, 0xE5, 'a'}, {0xE7, 0xE7, 'c'},
                    {0xE8, 0xEB, 'e'}, {0xEC, 0xEF, 'i'}, {0xF1, 0xF1, 'n'}, {0xF2, 0xF6, 'o'},
                    {0xF8, 0xF8, 'o'}, {0xF9, 0xFC, 'u'}, {0xFD, 0xFD, 'y'}, {0xFF, 0xFF, 'y'}};
    for (const auto& range : kLetters)
      for (unsigned c = range.from; c <= range.to; ++c) plain[c] = range.letter;
  }
};

const AccentTable kAccents;

// True when none of the eight bytes at p is above 127.
bool IsAsciiWord(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080ull) == 0;
}

[[noreturn]] void NotANumber(const std::string& text) {
  throw EConvertError("\"" + Cp1252ToUtf8(text) + "\" não é um número formatado válido");
}

}  // namespace

std::string RemoveAcentos(const std::string& text) {
  std::string out = text;
  RemoveAcentosInPlace(out);
  return out;
}

void RemoveAcentosInPlace(std::span<char> text) {
  size_t i = 0;
  while (i < text.size()) {
    // Runs of ASCII, most of a text, are passed over eight bytes at a time.
    if (text.size() - i >= 8 && IsAsciiWord(text.data() + i)) {
      i += 8;
      continue;
    }
    text[i] = kAccents.plain[static_cast<unsigned char>(text[i])];
    ++i;
  }
}

namespace {

// Letters of Windows-1252 (ASCII and accented), "$" and blanks (bytes of code
// 32 or less and the non-breaking space 0xA0): what a currency prefix holds.
bool IsCurrencyPrefixByte(unsigned char c) {
  return c <= 32 || c == '$' || c == 0xA0 || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= 0xC0 && c != 0xD7 && c != 0xF7);
}

}  // namespace

double FloatMaskOut(const std::string& text) {
  const std::string plain = FloatMaskOutText(text);
  double value = 0;
  const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (result.ec != std::errc() || result.ptr != plain.data() + plain.size()) NotANumber(text);
  return value;
}

std::string FloatMaskOutText(const std::string& text) {
  size_t skip = 0;
  while (skip < text.size() && IsCurrencyPrefixByte(static_cast<unsigned char>(text[skip]))) ++skip;
  // The sign, digits and marks without blanks; which mark is the decimal
  // one is settled once all are seen.
  std::string number;
  number.reserve(text.size());
  bool any_digit = false;
  size_t dots = 0, commas = 0;
  char last_mark = 0;
  for (char c : std::string_view(text).substr(skip)) {
    if (static_cast<unsigned char>(c) <= 32) continue;
    if (c >= '0' && c <= '9') {
      any_digit = true;
    } else if (c == '.' || c == ',') {
      (c == '.' ? dots : commas)++;
      last_mark = c;
    } else if (c != '-' || !number.empty()) {  // a "-" only before all else
      NotANumber(text);
    }
    number.push_back(c);
  }
  if (!any_digit) NotANumber(text);
  // With both marks, the last one is the decimal mark and appears once.
  const bool both = dots > 0 && commas > 0;
  if (both && (last_mark == '.' ? dots : commas) != 1) NotANumber(text);
  const char decimal = both || dots + commas == 1 ? last_mark : 0;
  std::erase_if(number, [decimal](char c) { return (c == '.' || c == ',') && c != decimal; });
  std::replace(number.begin(), number.end(), decimal, '.');
  return number;
}

}  // namespace kvr
