#include "platform/sysutils.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format_settings.h"

namespace kvr {

namespace {

// 1899-12-30, day 0 of TDateTime.
constexpr std::chrono::sys_days kDayZero{std::chrono::year{1899} / 12 / 30};

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
  // std::from_chars takes a "-" but no "+"; "+-1" is no number either.
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return def;
  }
  int value = 0;
  const char* const end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end ? value : def;
}

TDateTime EncodeDate(int year, int month, int day) {
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || !date.ok()) {
    throw EConvertError("data inválida: ano " + std::to_string(year) + ", mês " +
                        std::to_string(month) + ", dia " + std::to_string(day));
  }
  return static_cast<TDateTime>((std::chrono::sys_days{date} - kDayZero).count());
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  // The whole-day part, as the platform took it: toward zero.
  const std::chrono::days whole_days{static_cast<long long>(std::trunc(date))};
  const std::chrono::year_month_day ymd{kDayZero + whole_days};
  year = static_cast<int>(ymd.year());
  month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  day = static_cast<int>(static_cast<unsigned>(ymd.day()));
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts parts;
  DecodeDate(value, parts.year, parts.month, parts.day);
  long long ms = std::llround((value - std::floor(value)) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  parts.hour = static_cast<int>(ms / 3600000);
  parts.minute = static_cast<int>(ms / 60000 % 60);
  parts.second = static_cast<int>(ms / 1000 % 60);
  parts.millis = static_cast<int>(ms % 1000);
  return parts;
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
    throw EConvertError("\"" + Cp1252ToUtf8(text) + "\" não é um número válido");
  };
  size_t b = 0;
  size_t e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  // A copy in the neutral form std::from_chars reads.
  std::string out;
  const bool negative = !t.empty() && t[0] == '-';
  size_t i = negative || (!t.empty() && t[0] == '+') ? 1 : 0;
  size_t digits = 0;
  bool seen_mark = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (IsDigit(c)) {
      out.push_back(c);
      ++digits;
    } else if (c == sep && !seen_mark) {
      out.push_back('.');
      seen_mark = true;
    } else {
      break;
    }
  }
  if (digits == 0) return fail();
  if (i < t.size()) {
    if (t[i] != 'e' && t[i] != 'E') return fail();
    out.push_back('e');
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) out.push_back(t[i++]);
    size_t exp_digits = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i) {
      out.push_back(t[i]);
      ++exp_digits;
    }
    if (exp_digits == 0 || i != t.size()) return fail();
  }
  double value = 0;
  const char* const end = out.data() + out.size();
  const auto result = std::from_chars(out.data(), end, value, std::chars_format::general);
  if (result.ptr != end) return fail();
  if (result.ec == std::errc::result_out_of_range) {
    // A magnitude beyond the double range is not a number the platform
    // accepts; one too small for it rounds to zero.
    if (!IsUnderflow(out)) return fail();
    value = 0.0;
  }
  return negative ? -value : value;
}

}  // namespace kvr
