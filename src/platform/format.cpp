#include "platform/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/format_settings.h"

namespace kvr {

namespace {

void AppendPadded(std::string& out, long long value, int width) {
  std::string digits = std::to_string(value);
  while (static_cast<int>(digits.size()) < width) digits.insert(digits.begin(), '0');
  out += digits;
}

int CountRun(std::string_view s, size_t i, char lower) {
  int n = 0;
  while (i + n < s.size() && (s[i + n] | 0x20) == lower) ++n;
  return n;
}

// Decimal digits of |value| rounded to 15 significant digits, and the
// exponent such that value = 0.d1d2d3... * 10^exponent. Zero gives "" / 0.
void SignificantDigits(double value, std::string& digits, int& exponent) {
  digits.clear();
  exponent = 0;
  if (value == 0.0 || !std::isfinite(value)) return;
  char buf[40];
  const auto res = std::to_chars(buf, buf + sizeof buf - 1, std::fabs(value), std::chars_format::scientific, 14);
  *res.ptr = '\0';
  // buf: d.dddddddddddddde[+-]xx
  digits.push_back(buf[0]);
  const char* p = buf + 2;
  while (*p && *p != 'e') digits.push_back(*p++);
  exponent = std::atoi(p + 1) + 1;
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
}

}  // namespace

std::string FormatDateTime(std::string_view format, TDateTime value) {
  const DateTimeParts t = DecodeDateTime(value);
  std::string out;
  bool after_hour = false;
  size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    const char lc = static_cast<char>(c | 0x20);
    if (c == '\'' || c == '"') {
      size_t end = format.find(c, i + 1);
      if (end == std::string_view::npos) end = format.size();
      out.append(format.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    const bool field = std::string_view("dmnyhsz").find(lc) != std::string_view::npos;
    const int n = field ? CountRun(format, i, lc) : 1;
    const int width = n >= 2 ? 2 : 1;
    i += static_cast<size_t>(n);
    switch (lc) {
      case 'd':
        AppendPadded(out, t.day, width);
        break;
      // "m" after an hour is the minute.
      case 'm':
        AppendPadded(out, std::exchange(after_hour, false) ? t.minute : t.month, width);
        break;
      case 'n':
        AppendPadded(out, t.minute, width);
        break;
      case 'y':
        AppendPadded(out, n <= 2 ? t.year % 100 : t.year, n <= 2 ? 2 : 4);
        break;
      case 'h':
        AppendPadded(out, t.hour, width);
        after_hour = true;
        break;
      case 's':
        AppendPadded(out, t.second, width);
        break;
      case 'z':
        AppendPadded(out, t.millis, n >= 3 ? 3 : 1);
        break;
      default:
        out.push_back(c == '/' ? FormatSettings.DateSeparator : c);
    }
  }
  return out;
}

std::string FormatFloat(std::string_view format, double value) {
  if (format.empty()) return FloatToStr(value);
  // Split the picture: text before the first digit placeholder, the number
  // part, text after it.
  size_t first = format.find_first_of("0#.,");
  if (first == std::string_view::npos) return std::string(format);
  size_t last = format.find_last_of("0#.,");
  std::string_view prefix = format.substr(0, first);
  std::string_view number = format.substr(first, last - first + 1);
  std::string_view suffix = format.substr(last + 1);

  size_t point = number.find('.');
  std::string_view int_part = number.substr(0, point);
  std::string_view dec_part = point == std::string_view::npos ? std::string_view() : number.substr(point + 1);
  const bool grouping = int_part.find(',') != std::string_view::npos;
  const auto count = [](std::string_view part, char c) {
    return static_cast<int>(std::count(part.begin(), part.end(), c));
  };
  const int min_int = count(int_part, '0');
  const int min_dec = count(dec_part, '0');
  const int max_dec = min_dec + count(dec_part, '#');

  std::string digits;
  int exponent = 0;
  SignificantDigits(value, digits, exponent);
  // Round half away from zero at max_dec decimals on the decimal digits.
  const int keep = exponent + max_dec;  // digits kept before the cut
  if (keep < 0) {
    digits.clear();
  } else if (static_cast<int>(digits.size()) > keep) {
    const bool up = digits[static_cast<size_t>(keep)] >= '5';
    digits.resize(static_cast<size_t>(keep));
    if (up) {
      int k = keep - 1;
      while (k >= 0 && digits[static_cast<size_t>(k)] == '9') digits[static_cast<size_t>(k--)] = '0';
      if (k >= 0) {
        ++digits[static_cast<size_t>(k)];
      } else {
        digits.insert(digits.begin(), '1');
        ++exponent;
      }
    }
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
  }
  const bool zero = digits.empty();
  if (zero) exponent = 0;

  std::string int_digits, dec_digits;
  for (int pos = 0; pos < exponent; ++pos)
    int_digits.push_back(pos < static_cast<int>(digits.size()) ? digits[static_cast<size_t>(pos)] : '0');
  for (int p = 1; p <= max_dec; ++p) {
    int idx = exponent + p - 1;
    dec_digits.push_back(idx >= 0 && idx < static_cast<int>(digits.size()) ? digits[static_cast<size_t>(idx)] : '0');
  }
  while (static_cast<int>(dec_digits.size()) > min_dec && dec_digits.back() == '0') dec_digits.pop_back();
  while (static_cast<int>(int_digits.size()) < min_int) int_digits.insert(int_digits.begin(), '0');

  for (size_t end = int_digits.size(); grouping && end > 3; end -= 3)
    int_digits.insert(end - 3, 1, FormatSettings.ThousandSeparator);

  std::string out;
  if (!zero && value < 0) out.push_back('-');
  out.append(prefix);
  out += int_digits;
  if (!dec_digits.empty()) {
    out.push_back(FormatSettings.DecimalSeparator);
    out += dec_digits;
  }
  out.append(suffix);
  return out;
}

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  std::string digits;
  int exponent = 0;
  SignificantDigits(value, digits, exponent);
  if (digits.empty()) return "0";
  std::string out;
  if (value < 0) out.push_back('-');
  const int n = static_cast<int>(digits.size());
  if (exponent > 15 || exponent < -4) {
    // Scientific form, "1,5E20" / "2E-7".
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back(FormatSettings.DecimalSeparator);
      out.append(digits, 1);
    }
    out.push_back('E');
    out += std::to_string(exponent - 1);
    return out;
  }
  if (exponent <= 0) {
    out += '0';
    out.push_back(FormatSettings.DecimalSeparator);
    out.append(static_cast<size_t>(-exponent), '0');
    out += digits;
    return out;
  }
  for (int i = 0; i < exponent; ++i) out.push_back(i < n ? digits[static_cast<size_t>(i)] : '0');
  if (n > exponent) {
    out.push_back(FormatSettings.DecimalSeparator);
    out.append(digits, static_cast<size_t>(exponent));
  }
  return out;
}

std::string FormatMaskText(std::string_view edit_mask, std::string_view value) {
  std::string_view mask = edit_mask;
  bool save_literals = true;
  char blank = '_';
  // The last two ";" fields are the options, as on the original platform;
  // a "\;" in the mask proper is a literal semicolon.
  size_t sep1 = std::string_view::npos;
  for (size_t i = 0; i < edit_mask.size(); ++i) {
    if (edit_mask[i] == '\\') { ++i; continue; }
    if (edit_mask[i] == ';') { sep1 = i; break; }
  }
  if (sep1 != std::string_view::npos) {
    mask = edit_mask.substr(0, sep1);
    std::string_view rest = edit_mask.substr(sep1 + 1);
    size_t sep2 = rest.find(';');
    std::string_view save = rest.substr(0, sep2);
    save_literals = !(save.size() == 1 && save[0] == '0');
    if (sep2 != std::string_view::npos && sep2 + 1 < rest.size()) blank = rest[sep2 + 1];
  }

  std::string out;
  size_t vi = 0;
  int case_mode = 0;  // 1 upper, -1 lower
  auto take = [&](bool literal_position, char literal) {
    if (literal_position) {
      // Laid over the mask, the value holds a character at a literal too.
      if (save_literals) ++vi;
      return literal;
    }
    return vi < value.size() ? value[vi++] : blank;
  };
  for (size_t i = 0; i < mask.size(); ++i) {
    char m = mask[i];
    if (m == '!') continue;
    if (m == '<' && i + 1 < mask.size() && mask[i + 1] == '>') { case_mode = 0; ++i; continue; }
    if (m == '>') { case_mode = 1; continue; }
    if (m == '<') { case_mode = -1; continue; }
    if (m == '\\' && i + 1 < mask.size()) {
      out.push_back(take(true, mask[++i]));
      continue;
    }
    switch (m) {
      case '0': case '9': case '#': case 'L': case 'l': case 'A': case 'a': case 'C': case 'c': {
        char c = take(false, 0);
        if (case_mode == 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (case_mode == -1 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        out.push_back(c);
        break;
      }
      case '/': out.push_back(take(true, FormatSettings.DateSeparator)); break;
      case ':': out.push_back(take(true, ':')); break;
      default: out.push_back(take(true, m)); break;
    }
  }
  return out;
}

}  // namespace kvr
