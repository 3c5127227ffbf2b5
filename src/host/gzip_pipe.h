#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr {

// Compresses a text handed over in pieces into one gzip stream (level 1, ISA-L's) on a
// thread of its own, so that the writer of a large request body goes on
// writing while the previous pieces are compressed and sent: on a
// 1,000,000-movement statement writing the JSON and compressing it take
// about as long each. The compressed bytes go to out, in order, on the
// pipe's thread; out must not throw, and must not be used by the writer's
// thread until Finish has returned. At most a few pieces wait at once, so
// memory stays that of a few pieces. Not copyable.
class GzipPipe {
 public:
  using Output = std::function<void(const char* data, std::size_t size)>;
  // Throws Exception when the compressor cannot start.
  explicit GzipPipe(Output out);
  // Without Finish (the writer threw): stops the thread; what waited is
  // dropped, a piece being sent is finished first.
  ~GzipPipe();
  GzipPipe(const GzipPipe&) = delete;
  GzipPipe& operator=(const GzipPipe&) = delete;

  // Takes the text to compress, leaving text empty (holding the memory of an
  // earlier piece, to spare an allocation). Waits while the pipe is full.
  // Throws the pipe's error, if it had one.
  void Write(std::string& text);
  // Compresses what is left, ends the stream and waits for the thread.
  // Throws the pipe's error, if it had one.
  void Finish();

 private:
  void Run();
  void Deflate(const std::string& piece, bool last);

  static constexpr std::size_t kWaiting = 4;

  Output out_;
  struct Stream;
  std::unique_ptr<Stream> stream_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> waiting_;
  std::vector<std::string> spare_;
  bool ending_ = false;
  bool stopping_ = false;
  bool finished_ = false;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace kvr
