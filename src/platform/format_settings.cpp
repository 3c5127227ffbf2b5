#include "platform/format_settings.h"

#include <clocale>
#include <cstring>

namespace kvr {

TFormatSettings FormatSettings;

namespace {

// The locales that carry no regional conventions of their own: what a server
// or a fresh install runs under when nobody chose a language, and what
// setlocale keeps when the chosen one is not installed.
bool IsNeutralLocale(const char* name) {
  if (name == nullptr) return true;
  return std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0 || std::strncmp(name, "C.", 2) == 0;
}

}  // namespace

void InitFormatSettingsFromLocale() {
  std::setlocale(LC_ALL, "");
  const std::lconv* conv = std::localeconv();
  if (IsNeutralLocale(std::setlocale(LC_NUMERIC, nullptr)) || conv == nullptr) {
    // The module is Brazilian: without a regional choice it writes 1.500,00.
    FormatSettings.DecimalSeparator = ',';
    FormatSettings.ThousandSeparator = '.';
  } else {
    if (conv->decimal_point != nullptr && conv->decimal_point[0] != '\0' && conv->decimal_point[1] == '\0') {
      FormatSettings.DecimalSeparator = conv->decimal_point[0];
    }
    if (conv->thousands_sep != nullptr && conv->thousands_sep[0] != '\0' && conv->thousands_sep[1] == '\0') {
      FormatSettings.ThousandSeparator = conv->thousands_sep[0];
    } else {
      FormatSettings.ThousandSeparator = FormatSettings.DecimalSeparator == ',' ? '.' : ',';
    }
  }
  FormatSettings.DateSeparator = '/';
  // Number conversions of our own never go through the C library's locale;
  // keep its numeric part neutral so that printf and strtod stay predictable.
  std::setlocale(LC_NUMERIC, "C");
}

}  // namespace kvr
