#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

namespace kvr::server {

// Reads one JSON text from a stream of bytes as a sequence of events, one per
// call of Next, building nothing of it. Strict JSON: no comments, no trailing
// commas, texts of valid UTF-8 without control characters, escapes and
// surrogate pairs checked, numbers in JSON's own form and finite; a UTF-8
// byte order mark is allowed at the very first byte, and only blanks after
// the value. Non-negative integers come as kUnsigned and negative ones as
// kInteger while they fit in 64 bits, every other number as kFloat.
//
// The bytes are taken from source a window at a time; source must outlive
// the reader, and what its reading throws passes through Next.
class JsonReader {
 public:
  enum class Event {
    kNull,
    kBoolean,
    kInteger,
    kUnsigned,
    kFloat,
    kString,
    kKey,  // a member's name; its value follows
    kStartObject,
    kEndObject,
    kStartArray,
    kEndArray,
    kEnd,      // the value ended, and nothing but blanks followed it
    kError,    // the bytes are not one JSON value
    kTooDeep,  // a list or object would open past max_depth levels
  };

  JsonReader(std::streambuf& source, size_t max_depth);

  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // The next event. After kEnd, kError or kTooDeep it returns the same again.
  Event Next();

  // The value of the last event of its kind.
  bool Boolean() const { return boolean_; }
  std::int64_t Integer() const { return integer_; }
  std::uint64_t Unsigned() const { return unsigned_; }
  double Float() const { return float_; }
  // The text of the last kString or kKey, decoded; the caller may move it
  // away.
  std::string& Text() { return text_; }

 private:
  enum class State {
    kStart,        // nothing read yet
    kValue,        // a value comes next
    kFirstItem,    // after "[": a value or "]"
    kFirstMember,  // after "{": a key or "}"
    kMember,       // after "," in an object: a key
    kAfterValue,   // "," or the end of the container, or of the text
    kDone,
    kFailed,
  };

  static constexpr int kEof = -1;

  bool Fill();
  int Peek() {
    if (pos_ == end_ && !Fill()) return kEof;
    return static_cast<unsigned char>(window_[pos_]);
  }
  int Get() {
    const int c = Peek();
    if (c != kEof) ++pos_;
    return c;
  }
  void SkipBlanks();
  Event Fail();
  Event Value(int c);
  Event Close(bool object);
  bool Literal(const char* rest);
  bool ReadString();
  bool ReadEscape();
  bool ReadHex(unsigned& value);
  bool ReadUtf8(unsigned char lead);
  Event ReadNumber();

  std::streambuf& source_;
  size_t max_depth_;
  std::unique_ptr<char[]> window_;
  size_t pos_ = 0, end_ = 0;
  bool source_ended_ = false;
  State state_ = State::kStart;
  std::string open_;  // the containers open, innermost last: 'o' object, 'a' list
  std::string text_;
  std::string number_;
  bool boolean_ = false;
  std::int64_t integer_ = 0;
  std::uint64_t unsigned_ = 0;
  double float_ = 0;
};

}  // namespace kvr::server
