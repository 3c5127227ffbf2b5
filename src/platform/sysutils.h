#pragma once

#include <string>
#include <string_view>

#include "wire/packet_format.h"

namespace kvr {

// A date-time: days since 30/12/1899 (day 0); the fraction is the time of day.
using TDateTime = double;

// The decimal integer the text denotes (optional sign, decimal digits only),
// or def when the text is not such a number or does not fit in an int.
int StrToIntDef(std::string_view text, int def);

// The date of year, month and day, with no time of day. Throws EConvertError
// ("data inválida: ...") when the numbers make no calendar date: year outside
// 1..9999, month outside 1..12, day outside the month (leap years counted).
TDateTime EncodeDate(int year, int month, int day);

// Splits the whole-day part of a date into year, month and day.
void DecodeDate(TDateTime date, int& year, int& month, int& day);

// The calendar date and the time of day of a date-time, the time rounded to
// the nearest millisecond (a time that rounds to midnight stays at 23:59:59.999).
DateTimeParts DecodeDateTime(TDateTime value);

// Today, as a whole day (no time of day), in local time.
TDateTime Date();

// The number the text denotes with FormatSettings.DecimalSeparator as the
// decimal mark: optional blanks around it, an optional sign, digits with at
// most one decimal mark, an optional exponent. Throws EConvertError quoting
// the text when it is not such a number (the empty text included).
double StrToFloat(std::string_view text);

}  // namespace kvr
