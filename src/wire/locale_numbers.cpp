#include "wire/locale_numbers.h"

#include <clocale>
#include <cstring>

namespace kvr {

namespace {

// The locales that carry no regional conventions of their own: what a server
// or a fresh install runs under when nobody chose a language, and what
// setlocale keeps when the chosen one is not installed.
bool IsNeutralLocale(const char* name) {
  if (name == nullptr) return true;
  return std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0 || std::strncmp(name, "C.", 2) == 0;
}

}  // namespace

NumberSeparators LocaleNumberSeparators() {
  NumberSeparators separators;
  std::setlocale(LC_ALL, "");
  const std::lconv* conv = std::localeconv();
  // The module is Brazilian: without a regional choice it writes 1.500,00.
  if (!IsNeutralLocale(std::setlocale(LC_NUMERIC, nullptr)) && conv != nullptr) {
    separators.decimal = '.';
    if (conv->decimal_point != nullptr && conv->decimal_point[0] != '\0' && conv->decimal_point[1] == '\0')
      separators.decimal = conv->decimal_point[0];
    if (conv->thousands_sep != nullptr && conv->thousands_sep[0] != '\0' && conv->thousands_sep[1] == '\0')
      separators.thousands = conv->thousands_sep[0];
    else
      separators.thousands = separators.decimal == ',' ? '.' : ',';
  }
  std::setlocale(LC_NUMERIC, "C");
  return separators;
}

}  // namespace kvr

namespace kvr {

std::string GroupedCount(long long count, const NumberSeparators& separators) {
  const unsigned long long magnitude =
      count < 0 ? 0ULL - static_cast<unsigned long long>(count) : static_cast<unsigned long long>(count);
  const std::string digits = std::to_string(magnitude);
  std::string out = count < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && separators.thousands != '\0') out += separators.thousands;
    out += digits[i];
  }
  return out;
}

}  // namespace kvr
