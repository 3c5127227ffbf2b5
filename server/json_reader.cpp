#include "json_reader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "platform/utf8.h"

namespace kvr::server {

namespace {

constexpr size_t kWindow = 64 * 1024;

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A number too large or too small for from_chars: strtod tells which (an
// infinity, or the nearest tiny value), in the C locale whatever the
// process's.
double StrtodC(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return strtod_l(text.c_str(), nullptr, c_locale);
}

}  // namespace

JsonReader::JsonReader(std::streambuf& source, size_t max_depth)
    : source_(source), max_depth_(max_depth), window_(std::make_unique<char[]>(kWindow)) {}

bool JsonReader::Fill() {
  if (source_ended_) return false;
  const std::streamsize got = source_.sgetn(window_.get(), static_cast<std::streamsize>(kWindow));
  pos_ = 0;
  end_ = got > 0 ? static_cast<size_t>(got) : 0;
  if (end_ == 0) source_ended_ = true;
  return end_ > 0;
}

void JsonReader::SkipBlanks() {
  for (;;) {
    if (pos_ == end_ && !Fill()) return;
    while (pos_ < end_ && IsBlank(window_[pos_])) ++pos_;
    if (pos_ < end_) return;
  }
}

JsonReader::Event JsonReader::Fail() {
  state_ = State::kFailed;
  return Event::kError;
}

JsonReader::Event JsonReader::Next() {
  switch (state_) {
    case State::kDone: return Event::kEnd;
    case State::kFailed: return Event::kError;
    case State::kStart:
      // A byte order mark only as the very first bytes.
      if (Peek() == 0xEF && !(Get() == 0xEF && Get() == 0xBB && Get() == 0xBF)) return Fail();
      state_ = State::kValue;
      break;
    default: break;
  }
  SkipBlanks();
  int c = Peek();
  switch (state_) {
    case State::kAfterValue:
      if (open_.empty()) {
        if (c != kEof) return Fail();
        state_ = State::kDone;
        return Event::kEnd;
      }
      ++pos_;
      if (c == ',') {
        state_ = open_.back() == 'o' ? State::kMember : State::kValue;
        SkipBlanks();
        c = Peek();
        break;
      }
      if (c == (open_.back() == 'o' ? '}' : ']')) return Close(open_.back() == 'o');
      return Fail();
    case State::kFirstItem:
      if (c == ']') {
        ++pos_;
        return Close(false);
      }
      state_ = State::kValue;
      break;
    case State::kFirstMember:
      if (c == '}') {
        ++pos_;
        return Close(true);
      }
      state_ = State::kMember;
      break;
    default: break;
  }
  if (state_ == State::kMember) {
    if (c != '"') return Fail();
    ++pos_;
    if (!ReadString()) return Fail();
    SkipBlanks();
    if (Get() != ':') return Fail();
    state_ = State::kValue;
    return Event::kKey;
  }
  return Value(c);
}

JsonReader::Event JsonReader::Close(bool object) {
  open_.pop_back();
  state_ = State::kAfterValue;
  return object ? Event::kEndObject : Event::kEndArray;
}

JsonReader::Event JsonReader::Value(int c) {
  switch (c) {
    case '{':
    case '[':
      if (open_.size() >= max_depth_) {
        state_ = State::kFailed;
        return Event::kTooDeep;
      }
      ++pos_;
      open_ += c == '{' ? 'o' : 'a';
      state_ = c == '{' ? State::kFirstMember : State::kFirstItem;
      return c == '{' ? Event::kStartObject : Event::kStartArray;
    case '"':
      ++pos_;
      if (!ReadString()) return Fail();
      state_ = State::kAfterValue;
      return Event::kString;
    case 't':
      if (!Literal("true")) return Fail();
      boolean_ = true;
      state_ = State::kAfterValue;
      return Event::kBoolean;
    case 'f':
      if (!Literal("false")) return Fail();
      boolean_ = false;
      state_ = State::kAfterValue;
      return Event::kBoolean;
    case 'n':
      if (!Literal("null")) return Fail();
      state_ = State::kAfterValue;
      return Event::kNull;
    default:
      if (c == '-' || IsDigit(c)) return ReadNumber();
      return Fail();
  }
}

bool JsonReader::Literal(const char* word) {
  for (const char* p = word; *p != '\0'; ++p)
    if (Get() != static_cast<unsigned char>(*p)) return false;
  return true;
}

bool JsonReader::ReadString() {
  text_.clear();
  for (;;) {
    if (pos_ == end_ && !Fill()) return false;
    const char* const window = window_.get();
    size_t i = pos_;
    // The plain run: most texts are nothing else.
    while (i < end_) {
      const auto b = static_cast<unsigned char>(window[i]);
      if (b == '"' || b == '\\' || b < 0x20 || b >= 0x80) break;
      ++i;
    }
    text_.append(window + pos_, i - pos_);
    pos_ = i;
    if (i == end_) continue;
    const auto b = static_cast<unsigned char>(window[i]);
    ++pos_;
    if (b == '"') return true;
    if (b < 0x20) return false;
    if (b == '\\' ? !ReadEscape() : !ReadUtf8(b)) return false;
  }
}

bool JsonReader::ReadHex(unsigned& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const int c = Get();
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    value = value * 16 + digit;
  }
  return true;
}

bool JsonReader::ReadEscape() {
  switch (Get()) {
    case '"': text_ += '"'; return true;
    case '\\': text_ += '\\'; return true;
    case '/': text_ += '/'; return true;
    case 'b': text_ += '\b'; return true;
    case 'f': text_ += '\f'; return true;
    case 'n': text_ += '\n'; return true;
    case 'r': text_ += '\r'; return true;
    case 't': text_ += '\t'; return true;
    case 'u': break;
    default: return false;
  }
  unsigned code;
  if (!ReadHex(code)) return false;
  if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
  if (code >= 0xD800 && code <= 0xDBFF) {
    unsigned low;
    if (Get() != '\\' || Get() != 'u' || !ReadHex(low) || low < 0xDC00 || low > 0xDFFF)
      return false;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  AppendUtf8(text_, code);
  return true;
}

bool JsonReader::ReadUtf8(unsigned char lead) {
  const TUtf8Lead sequence = Utf8Lead(lead);
  if (sequence.more == 0) return false;
  text_ += static_cast<char>(lead);
  for (int i = 0; i < sequence.more; ++i) {
    const int c = Get();
    if (c < (i == 0 ? sequence.low : 0x80) || c > (i == 0 ? sequence.high : 0xBF)) return false;
    text_ += static_cast<char>(c);
  }
  return true;
}

JsonReader::Event JsonReader::ReadNumber() {
  number_.clear();
  auto digits = [this] {
    size_t count = 0;
    while (IsDigit(Peek())) {
      number_ += static_cast<char>(window_[pos_++]);
      ++count;
    }
    return count;
  };
  const bool negative = Peek() == '-';
  if (negative) number_ += static_cast<char>(window_[pos_++]);
  if (Peek() == '0')
    number_ += static_cast<char>(window_[pos_++]);
  else if (digits() == 0)
    return Fail();
  bool integral = true;
  if (Peek() == '.') {
    integral = false;
    number_ += static_cast<char>(window_[pos_++]);
    if (digits() == 0) return Fail();
  }
  if (Peek() == 'e' || Peek() == 'E') {
    integral = false;
    number_ += static_cast<char>(window_[pos_++]);
    if (Peek() == '+' || Peek() == '-') number_ += static_cast<char>(window_[pos_++]);
    if (digits() == 0) return Fail();
  }
  state_ = State::kAfterValue;
  const char* const first = number_.data();
  const char* const last = first + number_.size();
  if (integral) {
    // Integers that do not fit in 64 bits are read as floats, as most JSON
    // readers do.
    if (negative) {
      if (std::from_chars(first, last, integer_).ec == std::errc()) return Event::kInteger;
    } else if (std::from_chars(first, last, unsigned_).ec == std::errc()) {
      return Event::kUnsigned;
    }
  }
  if (std::from_chars(first, last, float_).ec != std::errc()) float_ = StrtodC(number_);
  if (!std::isfinite(float_)) return Fail();
  return Event::kFloat;
}

}  // namespace kvr::server
