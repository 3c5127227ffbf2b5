#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace kvr {

// A malformed JSON text, or one nested deeper than its reader allows. The
// message says what was wrong and at which byte (1-based).
class EJsonError : public Exception {
 public:
  using Exception::Exception;
};

// Reads JSON text one token at a time, without building a tree: a reply or
// a data packet goes straight from its text to where it is used. Strict
// grammar (one value, nothing but blanks after it; no trailing commas, no
// leading zeros, no control characters in strings); objects and arrays
// nested deeper than max_depth are refused before anything is built from
// them. The text must outlive the reader.
class TJsonReader {
 public:
  enum class TToken {
    BeginObject,
    EndObject,
    BeginArray,
    EndArray,
    Key,     // an object member's name: Text()
    String,  // Text()
    Number,  // Number(); Text() is the literal
    True,
    False,
    Null,
    End      // the text is over (only after its one value)
  };

  explicit TJsonReader(std::string_view text, int max_depth = 64);

  // Reads the next token. Throws EJsonError for malformed text, for nesting
  // deeper than max_depth and for a number out of the double range. After
  // End it keeps answering End.
  TToken Next();

  // The current Key or String, unescaped (UTF-8 as in the text; a \u escape
  // becomes UTF-8); the literal of a Number. Valid until the next call.
  std::string_view Text() const { return text_; }
  // The current Number's value.
  double Number() const { return number_; }
  // Byte offset of the current token's first byte, and just past its last.
  std::size_t TokenBegin() const { return token_begin_; }
  std::size_t TokenEnd() const { return pos_; }
  // The whole text read.
  std::string_view Source() const { return source_; }
  // Objects and arrays open around the current position.
  int Depth() const { return static_cast<int>(stack_.size()); }

  // After a token that starts a value (BeginObject, BeginArray or a scalar):
  // reads on to the end of that value, checking it as it goes. Returns the
  // byte offset just past the value.
  std::size_t SkipValue(TToken first);

  // Throws EJsonError "what (byte N)" for the current token.
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  enum class TState { Value, ArrayFirst, ArrayNext, ObjectFirst, ObjectNext, Done };

  void SkipBlanks();
  TToken ReadValue();
  TToken ReadString(bool key);
  TToken ReadNumber();
  TToken ReadWord(std::string_view word, TToken token);
  TToken Open(char kind, TToken token);
  TToken Close(TToken token);
  void AfterValue();
  [[noreturn]] void FailAt(std::size_t at, const std::string& what) const;

  std::string_view source_;
  std::size_t pos_ = 0;
  std::size_t token_begin_ = 0;
  int max_depth_;
  TState state_ = TState::Value;
  std::vector<char> stack_;  // '{' or '['
  std::string_view text_;
  std::string scratch_;  // an unescaped string
  double number_ = 0;
};

}  // namespace kvr
