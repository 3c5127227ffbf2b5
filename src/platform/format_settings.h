#pragma once

namespace kvr {

// The process-wide number and date format settings. Front ends and tests set
// them; InitFormatSettingsFromLocale reads them from the C locale.
struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
};

extern TFormatSettings FormatSettings;

// Sets FormatSettings from the environment's locale by the rule every
// program follows (LocaleNumberSeparators, wire/locale_numbers.h: Brazilian
// separators for a locale without regional conventions). The date separator
// is "/". Leaves LC_NUMERIC at "C".
void InitFormatSettingsFromLocale();

}  // namespace kvr
