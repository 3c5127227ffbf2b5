#include "platform/format_settings.h"

#include <clocale>

namespace kvr {

TFormatSettings FormatSettings;

void InitFormatSettingsFromLocale() {
  std::setlocale(LC_ALL, "");
  const std::lconv* conv = std::localeconv();
  if (conv == nullptr) return;
  if (conv->decimal_point != nullptr && conv->decimal_point[0] != '\0' &&
      conv->decimal_point[1] == '\0') {
    FormatSettings.DecimalSeparator = conv->decimal_point[0];
  }
  if (conv->thousands_sep != nullptr && conv->thousands_sep[0] != '\0' &&
      conv->thousands_sep[1] == '\0') {
    FormatSettings.ThousandSeparator = conv->thousands_sep[0];
  } else {
    FormatSettings.ThousandSeparator = FormatSettings.DecimalSeparator == ',' ? '.' : ',';
  }
  // Number conversions of our own never go through the C library's locale;
  // keep its numeric part neutral so that printf and strtod stay predictable.
  std::setlocale(LC_NUMERIC, "C");
}

}  // namespace kvr
