#pragma once

#include <string>

namespace kvr {

// The decimal mark and thousands separator numbers are shown with.
struct NumberSeparators {
  char decimal = ',';
  char thousands = '.';
};

// The separators of the process's locale, the one rule every program of the
// module shows numbers by: calls setlocale(LC_ALL, "") and takes them from
// localeconv(). A locale without regional conventions (C, POSIX, C.UTF-8, or
// one that is not installed) gets the Brazilian ones, "," and "."; a locale
// without a thousands separator gets "." when the decimal mark is "," and ","
// otherwise. Leaves LC_NUMERIC at "C", so printf and strtod stay predictable.
NumberSeparators LocaleNumberSeparators();

// A count with its thousands grouped by separators.thousands: "100.000",
// "-1.234", "999".
std::string GroupedCount(long long count, const NumberSeparators& separators);

}  // namespace kvr
