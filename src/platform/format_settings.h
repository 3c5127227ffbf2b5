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
// localeconv(). A locale without regional conventions (C, POSIX, C.UTF-8,
// or one that is not installed) gets the Brazilian ones: "," and ".". The
// date separator is "/". A locale without a thousands separator gets "."
// when the decimal mark is "," and "," otherwise. Leaves LC_NUMERIC at "C".
void InitFormatSettingsFromLocale();

}  // namespace kvr
