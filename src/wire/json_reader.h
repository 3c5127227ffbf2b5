#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>

namespace kvr {

// Reads one JSON text as a sequence of events, one per call of Next,
// building nothing of it: the server reads a request of a million movements
// with it straight into rows, the client a reply and its packets. Strict
// JSON: no comments, no trailing commas, texts of valid UTF-8 without control
// characters, escapes and surrogate pairs checked, numbers in JSON's own form
// (no leading zero) and finite; a UTF-8 byte order mark is allowed at the
// very first byte, and only blanks after the value. Non-negative integers
// come as kUnsigned and negative ones as kInteger while they fit in 64 bits,
// every other number as kFloat.
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
    kError,    // the bytes are not one JSON value: ErrorText, ErrorOffset
    kTooDeep,  // a list or object would open past max_depth levels
  };

  // The bytes a reader of a stream buffer asks its source for at a time.
  static constexpr std::size_t kWindow = 64 * 1024;

  // Reads from source a window at a time; source must outlive the reader,
  // and what its reading throws passes through Next.
  JsonReader(std::streambuf& source, std::size_t max_depth);
  // Reads text, which must outlive the reader.
  JsonReader(std::string_view text, std::size_t max_depth);

  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // The next event. After kEnd, kError or kTooDeep it returns the same again.
  Event Next();

  // After an event that starts a value (a scalar, kStartObject or
  // kStartArray): reads on to the end of that value, checking it as it goes.
  // False when it meets kError or kTooDeep (which Next then returns).
  bool SkipValue(Event first);

  // The value of the last event of its kind.
  bool Boolean() const { return boolean_; }
  std::int64_t Integer() const { return integer_; }
  std::uint64_t Unsigned() const { return unsigned_; }
  double Float() const { return float_; }
  // The last number, whichever its event, as a double.
  double Number() const;
  // The last number as its text came (valid JSON), for a value that must go
  // back exactly as sent.
  const std::string& NumberText() const { return number_; }
  // The text of the last kString or kKey, decoded; the caller may move it
  // away.
  std::string& Text() { return text_; }

  // Byte offsets from the start of the text (0-based): of the first byte of
  // the last event, and just past the last byte read.
  std::size_t EventOffset() const { return event_at_; }
  std::size_t Offset() const { return consumed_ + pos_; }

  // After kError or kTooDeep: what is wrong, in Portuguese (UTF-8), e.g.
  // "texto depois do fim do valor", "aninhamento além de 64 níveis"; and the
  // offset of the byte where it was found.
  std::string ErrorText() const;
  std::size_t ErrorOffset() const { return error_at_; }

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
  Event Fail(const char* what, std::size_t at);
  Event FailHere(const char* what) { return Fail(what, Offset()); }
  Event Unexpected(int c, const char* what);
  Event Value(int c);
  Event Close(bool object);
  bool Literal(const char* rest);
  const char* ReadString();
  const char* ReadEscape();
  bool ReadHex(unsigned& value);
  bool ReadUtf8(unsigned char lead);
  Event ReadNumber();
  Event NumberEvent(Event kind);

  std::streambuf* source_ = nullptr;  // null: the whole text is the window
  std::size_t max_depth_;
  std::unique_ptr<char[]> buffer_;
  const char* window_ = nullptr;
  std::size_t pos_ = 0, end_ = 0;
  std::size_t consumed_ = 0;  // bytes before the window
  bool source_ended_ = false;
  State state_ = State::kStart;
  std::string open_;  // the containers open, innermost last: 'o' object, 'a' list
  std::string text_;
  std::string number_;
  bool boolean_ = false;
  std::int64_t integer_ = 0;
  std::uint64_t unsigned_ = 0;
  double float_ = 0;
  Event number_kind_ = Event::kFloat;
  std::size_t event_at_ = 0;
  const char* error_ = nullptr;
  std::size_t error_at_ = 0;
};

}  // namespace kvr
