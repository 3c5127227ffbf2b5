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

// Sets FormatSettings from the environment's locale: calls
// setlocale(LC_ALL, "") and takes the decimal and thousands separators from
// localeconv(). The date separator stays "/". A locale without a thousands
// separator gets "." when the decimal mark is "," and "," otherwise.
void InitFormatSettingsFromLocale();

}  // namespace kvr
