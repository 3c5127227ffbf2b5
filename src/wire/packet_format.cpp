#include "wire/packet_format.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace kvr {

namespace {

// The names of the types, in the order of FieldType.
constexpr const char* kTypeNames[] = {"string", "datetime", "float"};

}  // namespace

const char* FieldTypeName(FieldType type) {
  return kTypeNames[static_cast<int>(type)];
}

bool FieldTypeOfName(std::string_view name, FieldType& type) {
  const auto* const found = std::find(std::begin(kTypeNames), std::end(kTypeNames), name);
  if (found == std::end(kTypeNames)) return false;
  type = static_cast<FieldType>(found - std::begin(kTypeNames));
  return true;
}

const Layout& ExtrBancoLayout() {
  static const Layout layout = {
      {"CDREDUCONT", FieldType::kString, 3},   {"CDSEQUEXTR", FieldType::kString, 10},
      {"DTSALDINIC", FieldType::kDateTime, 0}, {"DTSALDFIN", FieldType::kDateTime, 0},
      {"VRSALDINIC", FieldType::kFloat, 0},    {"VRSALDFIM", FieldType::kFloat, 0},
      {"IDEXTRINI", FieldType::kString, 1},    {"IDEXTRFIM", FieldType::kString, 1},
  };
  return layout;
}

const Layout& MovExtrLayout() {
  static const Layout layout = {
      {"CDREDUCONT", FieldType::kString, 3},     {"CDSEQUEXTR", FieldType::kString, 10},
      {"NRSEQMOVREAL", FieldType::kString, 10},  {"NRDOCMOVREAL", FieldType::kString, 20},
      {"DTMOVREAL", FieldType::kDateTime, 0},    {"IDMOVREAL", FieldType::kString, 1},
      {"VRMOVREAL", FieldType::kFloat, 0},       {"DSHISTMOVREAL", FieldType::kString, 40},
      {"IDTIPOREGI", FieldType::kString, 2},     {"CDCATELANC", FieldType::kString, 4},
      {"IDSTCONMVBAN", FieldType::kString, 1},   {"IDTPMOVREAL", FieldType::kString, 1},
      {"CDFITIDEXTR", FieldType::kString, 10},   {"CDFITIDCOMPL", FieldType::kString, 255, true},
      {"DSHISTCOMPL", FieldType::kString, 255, true},
  };
  return layout;
}

const Layout& ContaCorrenteLayout() {
  static const Layout layout = {
      {"CDREDUCONT", FieldType::kString, 3},  {"CDBANCO", FieldType::kString, 3},
      {"CDAGENCIA", FieldType::kString, 5},   {"CDCONTCORR", FieldType::kString, 10},
      {"CDPICTCONT", FieldType::kString, 20}, {"IDTIPOCCORR", FieldType::kString, 20},
  };
  return layout;
}

std::size_t ColumnIndex(const Layout& layout, std::string_view name) {
  for (std::size_t i = 0; i < layout.size(); ++i)
    if (name == layout[i].name) return i;
  throw std::out_of_range("column " + std::string(name));
}

namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

void Put(char* at, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

bool ParseDateTime(std::string_view text, DateTimeParts& p) {
  const std::size_t n = text.size();
  if (n != 10 && n != 19 && n != 23) return false;
  if (!Digits(text, 0, 4, p.year) || text[4] != '-' || !Digits(text, 5, 2, p.month) || text[7] != '-' ||
      !Digits(text, 8, 2, p.day))
    return false;
  p.hour = p.minute = p.second = p.millis = 0;
  if (n >= 19 && ((text[10] != 'T' && text[10] != ' ') || !Digits(text, 11, 2, p.hour) || text[13] != ':' ||
                  !Digits(text, 14, 2, p.minute) || text[16] != ':' || !Digits(text, 17, 2, p.second)))
    return false;
  if (n == 23 && (text[19] != '.' || !Digits(text, 20, 3, p.millis))) return false;
  const std::chrono::year_month_day date{std::chrono::year{p.year},
                                         std::chrono::month{static_cast<unsigned>(p.month)},
                                         std::chrono::day{static_cast<unsigned>(p.day)}};
  return p.year >= 1 && date.ok() && p.hour <= 23 && p.minute <= 59 && p.second <= 59;
}

void AppendDateTime(std::string& out, const DateTimeParts& p) {
  char buf[] = "YYYY-MM-DDTHH:MM:SS.fff";
  Put(buf, p.year, 4);
  Put(buf + 5, p.month, 2);
  Put(buf + 8, p.day, 2);
  Put(buf + 11, p.hour, 2);
  Put(buf + 14, p.minute, 2);
  Put(buf + 17, p.second, 2);
  Put(buf + 20, p.millis, 3);
  out.append(buf, p.millis == 0 ? 19 : 23);
}

bool NormalizeDateTime(std::string& text) {
  DateTimeParts parts;
  if (!ParseDateTime(text, parts)) return false;
  // The normal form differs from an accepted text only in these places,
  // which a million movements a statement makes worth editing in place.
  if (text.size() == 10) {
    text += "T00:00:00";
    return true;
  }
  text[10] = 'T';
  if (text.size() == 23 && parts.millis == 0) text.resize(19);
  return true;
}

void AppendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[40];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  const std::size_t n = static_cast<std::size_t>(result.ptr - buf);
  out.append(buf, n);
  if (std::memchr(buf, '.', n) == nullptr && std::memchr(buf, 'e', n) == nullptr) out += ".0";
}

}  // namespace kvr
