#include "platform/format_settings.h"

#include "wire/locale_numbers.h"

namespace kvr {

TFormatSettings FormatSettings;

void InitFormatSettingsFromLocale() {
  const NumberSeparators separators = LocaleNumberSeparators();
  FormatSettings.DecimalSeparator = separators.decimal;
  FormatSettings.ThousandSeparator = separators.thousands;
  FormatSettings.DateSeparator = '/';
}

}  // namespace kvr
