#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace kvr::server {

// Why the bytes of a request body could not be read.
enum class BodyFault {
  kNotGzip,   // declared gzip, but the bytes are not a gzip stream (or it is cut short)
  kTooLarge,  // the inflated body passes the cap
  kNulByte,   // a NUL byte: never valid in JSON (and a parser may take it for the end)
  kLongRun,   // a text or number, or a stretch without either, longer than kMaxRun
  kNoMemory,  // the server's memory budget had no room for what reading the body builds
  kStopped,   // the server stops: reading was given up
};

// The most bytes a body may hold from the start of one text or number to
// the start of the next. The JSON parser keeps a copy of the bytes since the
// last text or number began; without this bound a body of nothing but
// brackets, blanks or one huge text would cost the parser twice its size.
constexpr size_t kMaxRun = 1024 * 1024;

// bytes as whole MiB, in the text of a refusal ("48" for 48 MiB).
inline std::string MiB(size_t bytes) {
  return std::to_string(bytes / (1024 * 1024));
}

// A body that cannot be read as it says it is. what() is Portuguese.
class BodyError : public std::runtime_error {
 public:
  BodyError(BodyFault fault, const std::string& message)
      : std::runtime_error(message), fault_(fault) {}
  BodyFault Fault() const { return fault_; }

 private:
  BodyFault fault_;
};

// Where the bytes of a body come from while they arrive, in order.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // Points data at the next size bytes of the body (size may be 0), waiting
  // for them to come; they stay valid until the next call. false: the body
  // ended. May throw BodyError (kStopped): reading is given up.
  virtual bool Next(const char*& data, size_t& size) = 0;
};

// The bytes of a request body as the JSON parser reads them: the body itself,
// or, for a body sent with "Content-Encoding: gzip", its inflated bytes,
// inflated a piece at a time as the parser asks for them (never the whole
// inflated body in memory). Reading throws BodyError when the body holds a
// NUL byte or a run longer than kMaxRun, is not valid gzip, or inflates
// past max_inflated bytes, or once *stop (when given) turns true: a server
// that stops does not wait for a long body to be read.
// body (or source) and stop must outlive the buffer.
class BodyStreamBuf : public std::streambuf {
 public:
  BodyStreamBuf(const std::string& body, bool gzip, size_t max_inflated,
                const std::atomic<bool>* stop = nullptr);
  // The body as source hands it on, read while it arrives.
  BodyStreamBuf(BodySource& source, bool gzip, size_t max_inflated,
                const std::atomic<bool>* stop = nullptr);
  ~BodyStreamBuf() override;

  BodyStreamBuf(const BodyStreamBuf&) = delete;
  BodyStreamBuf& operator=(const BodyStreamBuf&) = delete;

 protected:
  int_type underflow() override;

 private:
  struct Inflater;
  void StartInflater();
  // The next input of the inflater from source_; false when the body ended.
  bool Pull();
  // Checks the next bytes of the body for NUL bytes and long runs.
  void Scan(const char* data, size_t size);
  // Scan of at most a window: where no run can pass the limit, and a byte
  // at a time where one may.
  void ScanShort(const char* data, size_t size);
  void ScanLong(const char* data, size_t size);
  bool in_string_ = false, escaped_ = false, in_number_ = false;
  size_t run_ = 0;
  size_t max_inflated_;
  size_t inflated_ = 0;
  const std::atomic<bool>* stop_;
  BodySource* source_ = nullptr;  // the pieces of the body; none: all of it at once
  const char* rest_ = nullptr;    // what the inflater has not been given of the last piece
  size_t rest_size_ = 0;
  bool input_ended_ = false;      // source_ said the body ended
  std::unique_ptr<Inflater> inflater_;
  std::unique_ptr<char[]> window_;
};

// The size a gzip body says it inflates to: the length in the trailer of its
// last member (modulo 4 GiB, as gzip keeps it), or 0 when body does not
// begin as gzip or is too short to be gzip. A body that inflates to more fails its own check (one member)
// or must find room as it is read (several).
size_t GzipDeclaredSize(const std::string& body);

// data compressed as one gzip member (for replies to clients that accept it).
std::string GzipCompress(const std::string& data);

}  // namespace kvr::server
