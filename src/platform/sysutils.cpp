#include "platform/sysutils.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <ctime>
#include <string>

#include "platform/errors.h"
#include "platform/format_settings.h"

namespace kvr {

namespace {

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

// 1899-12-30, day 0 of TDateTime, counted from 1970-01-01.
const long long kDayZero = DaysFromCivil(1899, 12, 30);

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether a neutral number text that std::from_chars found out of range is
// too small (rather than too large) for a double.
bool IsUnderflow(std::string_view number) {
  const size_t e = number.find('e');
  if (e != std::string_view::npos) return e + 1 < number.size() && number[e + 1] == '-';
  for (char c : number) {
    if (c == '.') break;
    if (c != '0') return false;
  }
  return true;
}

}  // namespace

int StrToIntDef(std::string_view text, int def) {
  if (text.empty()) return def;
  const bool negative = text[0] == '-';
  size_t i = negative || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return def;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return def;
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return def;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return def;
  return static_cast<int>(value);
}

TDateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw EConvertError("data inv\xE1lida: ano " + std::to_string(year) + ", m\xEAs " +
                        std::to_string(month) + ", dia " + std::to_string(day));
  }
  return static_cast<TDateTime>(DaysFromCivil(year, static_cast<unsigned>(month),
                                              static_cast<unsigned>(day)) -
                                kDayZero);
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  // The whole-day part, as the platform took it: toward zero.
  const long long days = static_cast<long long>(std::trunc(date));
  CivilFromDays(days + kDayZero, year, month, day);
}

TDateTime Date() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

double StrToFloat(std::string_view text) {
  const char sep = FormatSettings.DecimalSeparator;
  auto fail = [&]() -> double {
    throw EConvertError("\"" + std::string(text) + "\" n\xE3o \xE9 um n\xFAmero v\xE1lido");
  };
  size_t b = 0;
  size_t e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  // Copy into a small buffer in the neutral form std::from_chars reads.
  char stack[64];
  std::string heap;
  char* out = stack;
  if (t.size() + 1 > sizeof stack) {
    heap.resize(t.size() + 1);
    out = heap.data();
  }
  size_t n = 0;
  const bool negative = !t.empty() && t[0] == '-';
  size_t i = negative || (!t.empty() && t[0] == '+') ? 1 : 0;
  size_t digits = 0;
  bool seen_mark = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (IsDigit(c)) {
      out[n++] = c;
      ++digits;
    } else if (c == sep && !seen_mark) {
      out[n++] = '.';
      seen_mark = true;
    } else {
      break;
    }
  }
  if (digits == 0) return fail();
  if (i < t.size()) {
    if (t[i] != 'e' && t[i] != 'E') return fail();
    out[n++] = 'e';
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out[n++] = t[i++];
    size_t exp_digits = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i) {
      out[n++] = t[i];
      ++exp_digits;
    }
    if (exp_digits == 0 || i != t.size()) return fail();
  }
  double value = 0;
  const auto result = std::from_chars(out, out + n, value, std::chars_format::general);
  if (result.ptr != out + n) return fail();
  if (result.ec == std::errc::result_out_of_range) {
    // A magnitude beyond the double range is not a number the platform
    // accepts; one too small for it rounds to zero.
    if (!IsUnderflow(std::string_view(out, n))) return fail();
    value = 0.0;
  }
  return negative ? -value : value;
}

}  // namespace kvr
