#include "wire/json_reader.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "wire/utf8.h"

namespace kvr {

namespace {

// True when one of the eight bytes of word is a quote, a backslash, a
// control character or a byte of a multi-byte sequence: a byte that ends a
// text's plain run. Each test marks the high bit of such a byte (and may
// mark wrongly only bytes after a true one, which does not change the
// answer).
bool EndsPlainRun(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  const std::uint64_t quotes = word ^ (kOnes * '"'), backslashes = word ^ (kOnes * '\\');
  const std::uint64_t marks = ((quotes - kOnes) & ~quotes) | ((backslashes - kOnes) & ~backslashes) |
                              ((word - kOnes * 0x20) & ~word) | word;
  return (marks & kHighs) != 0;
}

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

const char* const kTruncated = "o texto termina no meio de um valor";
const char* const kUnexpected = "valor inesperado";
const char* const kMalformedNumber = "número malformado";
const char* const kUnclosed = "texto sem aspas de fechamento";

// A number too large or too small for from_chars: strtod tells which (an
// infinity, or the nearest tiny value), in the C locale whatever the
// process's.
double StrtodC(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return strtod_l(text.c_str(), nullptr, c_locale);
}

}  // namespace

JsonReader::JsonReader(std::streambuf& source, std::size_t max_depth)
    : source_(&source), max_depth_(max_depth), buffer_(std::make_unique<char[]>(kWindow)) {
  window_ = buffer_.get();
}

JsonReader::JsonReader(std::string_view text, std::size_t max_depth)
    : max_depth_(max_depth), window_(text.data()), end_(text.size()) {}

bool JsonReader::Fill() {
  if (source_ == nullptr || source_ended_) return false;
  consumed_ += end_;
  const std::streamsize got = source_->sgetn(buffer_.get(), static_cast<std::streamsize>(kWindow));
  pos_ = 0;
  end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
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

JsonReader::Event JsonReader::Fail(const char* what, std::size_t at) {
  state_ = State::kFailed;
  error_ = what;
  error_at_ = at;
  return Event::kError;
}

JsonReader::Event JsonReader::Unexpected(int c, const char* what) {
  return FailHere(c == kEof ? kTruncated : what);
}

std::string JsonReader::ErrorText() const {
  if (error_ != nullptr) return error_;
  if (state_ == State::kFailed) return "aninhamento além de " + std::to_string(max_depth_) + " níveis";
  return "";
}

double JsonReader::Number() const {
  if (number_kind_ == Event::kInteger) return static_cast<double>(integer_);
  if (number_kind_ == Event::kUnsigned) return static_cast<double>(unsigned_);
  return float_;
}

JsonReader::Event JsonReader::Next() {
  switch (state_) {
    case State::kDone: return Event::kEnd;
    case State::kFailed: return error_ != nullptr ? Event::kError : Event::kTooDeep;
    case State::kStart:
      // A byte order mark only as the very first bytes.
      if (Peek() == 0xEF && !(Get() == 0xEF && Get() == 0xBB && Get() == 0xBF)) return Fail(kUnexpected, 0);
      state_ = State::kValue;
      break;
    default: break;
  }
  // Packets are mostly written without blanks between their tokens.
  if (pos_ == end_ || IsBlank(window_[pos_])) SkipBlanks();
  event_at_ = Offset();
  int c = Peek();
  switch (state_) {
    case State::kAfterValue:
      if (open_.empty()) {
        if (c != kEof) return FailHere("texto depois do fim do valor");
        state_ = State::kDone;
        return Event::kEnd;
      }
      if (c == ',') {
        ++pos_;
        state_ = open_.back() == 'o' ? State::kMember : State::kValue;
        if (pos_ == end_ || IsBlank(window_[pos_])) SkipBlanks();
        event_at_ = Offset();
        c = Peek();
        break;
      }
      if (c == (open_.back() == 'o' ? '}' : ']')) {
        ++pos_;
        return Close(open_.back() == 'o');
      }
      return Unexpected(c, open_.back() == 'o' ? "esperado \",\" ou \"}\"" : "esperado \",\" ou \"]\"");
    case State::kFirstItem:
    case State::kFirstMember: {
      const bool object = state_ == State::kFirstMember;
      if (c == (object ? '}' : ']')) {
        ++pos_;
        return Close(object);
      }
      state_ = object ? State::kMember : State::kValue;
      break;
    }
    default: break;
  }
  if (state_ == State::kMember) {
    if (c != '"') return Unexpected(c, "esperado o nome de um membro");
    ++pos_;
    if (const char* error = ReadString()) return Fail(error, error == kUnclosed ? event_at_ : Offset() - 1);
    SkipBlanks();
    if (Peek() != ':') return Unexpected(Peek(), "esperado \":\" depois do nome do membro");
    ++pos_;
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
        error_at_ = Offset();
        return Event::kTooDeep;
      }
      ++pos_;
      open_ += c == '{' ? 'o' : 'a';
      state_ = c == '{' ? State::kFirstMember : State::kFirstItem;
      return c == '{' ? Event::kStartObject : Event::kStartArray;
    case '"':
      ++pos_;
      if (const char* error = ReadString()) return Fail(error, error == kUnclosed ? event_at_ : Offset() - 1);
      state_ = State::kAfterValue;
      return Event::kString;
    case 't':
    case 'f':
      boolean_ = c == 't';
      if (!Literal(boolean_ ? "true" : "false")) return Fail(kUnexpected, event_at_);
      state_ = State::kAfterValue;
      return Event::kBoolean;
    case 'n':
      if (!Literal("null")) return Fail(kUnexpected, event_at_);
      state_ = State::kAfterValue;
      return Event::kNull;
    default:
      if (c == '-' || IsDigit(c)) return ReadNumber();
      return Unexpected(c, kUnexpected);
  }
}

bool JsonReader::Literal(const char* word) {
  for (const char* p = word; *p != '\0'; ++p)
    if (Get() != static_cast<unsigned char>(*p)) return false;
  return true;
}

// nullptr when the text is read; otherwise what is wrong, found at the byte
// just read (the text's start for kUnclosed).
const char* JsonReader::ReadString() {
  text_.clear();
  for (;;) {
    if (pos_ == end_ && !Fill()) return kUnclosed;
    const char* const window = window_;
    std::size_t i = pos_;
    // The plain run: most texts are nothing else. Eight bytes at a time
    // while none of them ends it, then byte by byte to the one that does.
    while (end_ - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, window + i, sizeof word);
      if (EndsPlainRun(word)) break;
      i += 8;
    }
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
    if (b == '"') return nullptr;
    if (b < 0x20) return "caractere de controle dentro de um texto";
    if (b == '\\') {
      if (const char* error = ReadEscape()) return error;
    } else if (!ReadUtf8(b)) {
      return "texto que não é UTF-8 válido";
    }
  }
}

bool JsonReader::ReadHex(unsigned& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    // kEof becomes a byte that is no hexadecimal digit either.
    const char c = static_cast<char>(Get());
    unsigned digit = 0;
    if (std::from_chars(&c, &c + 1, digit, 16).ec != std::errc()) return false;
    value = value * 16 + digit;
  }
  return true;
}

const char* JsonReader::ReadEscape() {
  switch (Get()) {
    case '"': text_ += '"'; return nullptr;
    case '\\': text_ += '\\'; return nullptr;
    case '/': text_ += '/'; return nullptr;
    case 'b': text_ += '\b'; return nullptr;
    case 'f': text_ += '\f'; return nullptr;
    case 'n': text_ += '\n'; return nullptr;
    case 'r': text_ += '\r'; return nullptr;
    case 't': text_ += '\t'; return nullptr;
    case 'u': break;
    default: return "escape desconhecido";
  }
  const char* const malformed = "escape \\u malformado";
  const char* const unpaired = "escape \\u de metade de um par substituto";
  unsigned code;
  if (!ReadHex(code)) return malformed;
  if (code >= 0xDC00 && code <= 0xDFFF) return unpaired;
  if (code >= 0xD800 && code <= 0xDBFF) {
    unsigned low;
    if (Get() != '\\' || Get() != 'u') return unpaired;
    if (!ReadHex(low)) return malformed;
    if (low < 0xDC00 || low > 0xDFFF) return unpaired;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  AppendUtf8(text_, code);
  return nullptr;
}

bool JsonReader::ReadUtf8(unsigned char lead) {
  const Utf8LeadByte sequence = Utf8Lead(lead);
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
    std::size_t count = 0;
    while (IsDigit(Peek())) {
      number_ += window_[pos_++];
      ++count;
    }
    return count;
  };
  const bool negative = Peek() == '-';
  if (negative) number_ += window_[pos_++];
  if (Peek() == '0') {
    number_ += window_[pos_++];
    if (IsDigit(Peek())) return Fail("número com zero à esquerda", event_at_);
  } else if (digits() == 0) {
    return Fail(kMalformedNumber, event_at_);
  }
  bool integral = true;
  if (Peek() == '.') {
    integral = false;
    number_ += window_[pos_++];
    if (digits() == 0) return Fail(kMalformedNumber, event_at_);
  }
  if (Peek() == 'e' || Peek() == 'E') {
    integral = false;
    number_ += window_[pos_++];
    if (Peek() == '+' || Peek() == '-') number_ += window_[pos_++];
    if (digits() == 0) return Fail(kMalformedNumber, event_at_);
  }
  state_ = State::kAfterValue;
  const char* const first = number_.data();
  const char* const last = first + number_.size();
  if (integral) {
    // Integers that do not fit in 64 bits are read as floats, as most JSON
    // readers do.
    if (negative) {
      if (std::from_chars(first, last, integer_).ec == std::errc()) return NumberEvent(Event::kInteger);
    } else if (std::from_chars(first, last, unsigned_).ec == std::errc()) {
      return NumberEvent(Event::kUnsigned);
    }
  }
  if (std::from_chars(first, last, float_).ec != std::errc()) float_ = StrtodC(number_);
  if (!std::isfinite(float_)) return Fail("número fora do intervalo", event_at_);
  return NumberEvent(Event::kFloat);
}

JsonReader::Event JsonReader::NumberEvent(Event kind) {
  number_kind_ = kind;
  return kind;
}

bool JsonReader::SkipValue(Event first) {
  if (first != Event::kStartObject && first != Event::kStartArray)
    return first != Event::kError && first != Event::kTooDeep;
  const std::size_t depth = open_.size() - 1;
  while (open_.size() > depth) {
    const Event event = Next();
    if (event == Event::kError || event == Event::kTooDeep) return false;
  }
  return true;
}

}  // namespace kvr
