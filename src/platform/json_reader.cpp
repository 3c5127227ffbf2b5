#include "platform/json_reader.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kvr {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

TJsonReader::TJsonReader(std::string_view text, int max_depth) : source_(text), max_depth_(max_depth) {}

void TJsonReader::FailAt(std::size_t at, const std::string& what) const {
  throw EJsonError("JSON inv\xE1lido: " + what + " (byte " + std::to_string(at + 1) + ")");
}

void TJsonReader::Fail(const std::string& what) const { FailAt(token_begin_, what); }

void TJsonReader::SkipBlanks() {
  while (pos_ < source_.size()) {
    const char c = source_[pos_];
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') break;
    ++pos_;
  }
}

TJsonReader::TToken TJsonReader::Next() {
  SkipBlanks();
  token_begin_ = pos_;
  if (pos_ >= source_.size()) {
    if (state_ == TState::Done) return TToken::End;
    FailAt(pos_, "o texto termina no meio de um valor");
  }
  const char c = source_[pos_];
  switch (state_) {
    case TState::Done:
      FailAt(pos_, "texto depois do fim do valor");
    case TState::Value:
      return ReadValue();
    case TState::ArrayFirst:
      if (c == ']') return Close(TToken::EndArray);
      return ReadValue();
    case TState::ArrayNext:
      if (c == ']') return Close(TToken::EndArray);
      if (c != ',') FailAt(pos_, "esperado \",\" ou \"]\"");
      ++pos_;
      SkipBlanks();
      token_begin_ = pos_;
      if (pos_ >= source_.size()) FailAt(pos_, "o texto termina no meio de uma lista");
      return ReadValue();
    case TState::ObjectFirst:
      if (c == '}') return Close(TToken::EndObject);
      if (c != '"') FailAt(pos_, "esperado o nome de um membro");
      return ReadString(true);
    case TState::ObjectNext:
      if (c == '}') return Close(TToken::EndObject);
      if (c != ',') FailAt(pos_, "esperado \",\" ou \"}\"");
      ++pos_;
      SkipBlanks();
      token_begin_ = pos_;
      if (pos_ >= source_.size() || source_[pos_] != '"') FailAt(pos_, "esperado o nome de um membro");
      return ReadString(true);
  }
  FailAt(pos_, "estado imposs\xEDvel");
}

TJsonReader::TToken TJsonReader::ReadValue() {
  const char c = source_[pos_];
  switch (c) {
    case '{':
      return Open('{', TToken::BeginObject);
    case '[':
      return Open('[', TToken::BeginArray);
    case '"':
      return ReadString(false);
    case 't':
      return ReadWord("true", TToken::True);
    case 'f':
      return ReadWord("false", TToken::False);
    case 'n':
      return ReadWord("null", TToken::Null);
    default:
      if (c == '-' || IsDigit(c)) return ReadNumber();
      FailAt(pos_, "valor inesperado");
  }
}

TJsonReader::TToken TJsonReader::Open(char kind, TToken token) {
  if (static_cast<int>(stack_.size()) >= max_depth_)
    FailAt(pos_, "aninhamento al\xE9m de " + std::to_string(max_depth_) + " n\xEDveis");
  stack_.push_back(kind);
  ++pos_;
  state_ = kind == '{' ? TState::ObjectFirst : TState::ArrayFirst;
  return token;
}

TJsonReader::TToken TJsonReader::Close(TToken token) {
  stack_.pop_back();
  ++pos_;
  AfterValue();
  return token;
}

void TJsonReader::AfterValue() {
  if (stack_.empty()) {
    state_ = TState::Done;
  } else {
    state_ = stack_.back() == '{' ? TState::ObjectNext : TState::ArrayNext;
  }
}

TJsonReader::TToken TJsonReader::ReadWord(std::string_view word, TToken token) {
  if (source_.substr(pos_, word.size()) != word) FailAt(pos_, "valor inesperado");
  pos_ += word.size();
  text_ = word;
  AfterValue();
  return token;
}

TJsonReader::TToken TJsonReader::ReadNumber() {
  const std::size_t start = pos_;
  const std::size_t n = source_.size();
  if (source_[pos_] == '-') ++pos_;
  if (pos_ >= n || !IsDigit(source_[pos_])) FailAt(start, "n\xFAmero malformado");
  if (source_[pos_] == '0') {
    ++pos_;
    if (pos_ < n && IsDigit(source_[pos_])) FailAt(start, "n\xFAmero com zero \xE0 esquerda");
  } else {
    while (pos_ < n && IsDigit(source_[pos_])) ++pos_;
  }
  if (pos_ < n && source_[pos_] == '.') {
    ++pos_;
    if (pos_ >= n || !IsDigit(source_[pos_])) FailAt(start, "n\xFAmero malformado");
    while (pos_ < n && IsDigit(source_[pos_])) ++pos_;
  }
  if (pos_ < n && (source_[pos_] == 'e' || source_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < n && (source_[pos_] == '+' || source_[pos_] == '-')) ++pos_;
    if (pos_ >= n || !IsDigit(source_[pos_])) FailAt(start, "n\xFAmero malformado");
    while (pos_ < n && IsDigit(source_[pos_])) ++pos_;
  }
  text_ = source_.substr(start, pos_ - start);
  const auto result = std::from_chars(text_.data(), text_.data() + text_.size(), number_);
  if (result.ec == std::errc::result_out_of_range) {
    // Underflow to zero is harmless; overflow is not a number we can hold.
    bool nonzero_mantissa = false;
    for (char c : text_) {
      if (c == 'e' || c == 'E') break;
      if (c >= '1' && c <= '9') nonzero_mantissa = true;
    }
    const std::size_t e = text_.find_first_of("eE");
    if (nonzero_mantissa && (e == std::string_view::npos || text_[e + 1] != '-'))
      FailAt(start, "n\xFAmero fora do intervalo");
    number_ = 0;
  } else if (result.ec != std::errc() || result.ptr != text_.data() + text_.size()) {
    FailAt(start, "n\xFAmero malformado");
  }
  AfterValue();
  return TToken::Number;
}

TJsonReader::TToken TJsonReader::ReadString(bool key) {
  const std::size_t start = pos_;
  ++pos_;
  const std::size_t n = source_.size();
  // Fast path: no escape, the text is a view of the source.
  std::size_t i = pos_;
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(source_[i]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    ++i;
  }
  if (i >= n) FailAt(start, "texto sem aspas de fechamento");
  if (source_[i] == '"') {
    text_ = source_.substr(pos_, i - pos_);
    pos_ = i + 1;
  } else {
    scratch_.assign(source_.data() + pos_, i - pos_);
    pos_ = i;
    while (true) {
      if (pos_ >= n) FailAt(start, "texto sem aspas de fechamento");
      const unsigned char c = static_cast<unsigned char>(source_[pos_]);
      if (c == '"') {
        ++pos_;
        break;
      }
      if (c < 0x20) FailAt(pos_, "caractere de controle dentro de um texto");
      if (c != '\\') {
        scratch_.push_back(static_cast<char>(c));
        ++pos_;
        continue;
      }
      if (pos_ + 1 >= n) FailAt(pos_, "escape incompleto");
      const char e = source_[pos_ + 1];
      pos_ += 2;
      switch (e) {
        case '"': scratch_.push_back('"'); break;
        case '\\': scratch_.push_back('\\'); break;
        case '/': scratch_.push_back('/'); break;
        case 'b': scratch_.push_back('\b'); break;
        case 'f': scratch_.push_back('\f'); break;
        case 'n': scratch_.push_back('\n'); break;
        case 'r': scratch_.push_back('\r'); break;
        case 't': scratch_.push_back('\t'); break;
        case 'u': {
          auto hex4 = [&](std::size_t at) -> int {
            if (at + 4 > n) return -1;
            int v = 0;
            for (std::size_t k = at; k < at + 4; ++k) {
              const int h = HexValue(source_[k]);
              if (h < 0) return -1;
              v = v * 16 + h;
            }
            return v;
          };
          const int u = hex4(pos_);
          if (u < 0) FailAt(pos_ - 2, "escape \\u malformado");
          pos_ += 4;
          unsigned code = static_cast<unsigned>(u);
          if (code >= 0xD800 && code <= 0xDBFF && pos_ + 1 < n && source_[pos_] == '\\' &&
              source_[pos_ + 1] == 'u') {
            const int low = hex4(pos_ + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
              code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned>(low) - 0xDC00);
              pos_ += 6;
            }
          }
          // An unpaired surrogate cannot be UTF-8: it becomes U+FFFD.
          if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
          AppendUtf8(scratch_, code);
          break;
        }
        default:
          FailAt(pos_ - 2, "escape desconhecido");
      }
    }
    text_ = scratch_;
  }
  if (key) {
    SkipBlanks();
    if (pos_ >= n || source_[pos_] != ':') FailAt(pos_, "esperado \":\" depois do nome do membro");
    ++pos_;
    state_ = TState::Value;
    return TToken::Key;
  }
  AfterValue();
  return TToken::String;
}

std::size_t TJsonReader::SkipValue(TToken first) {
  if (first == TToken::BeginObject || first == TToken::BeginArray) {
    const std::size_t depth = stack_.size() - 1;
    while (stack_.size() > depth) Next();
  } else if (first == TToken::Key || first == TToken::EndObject || first == TToken::EndArray ||
             first == TToken::End) {
    Fail("esperado um valor");
  }
  return pos_;
}

}  // namespace kvr
