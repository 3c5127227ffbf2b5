#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <streambuf>
#include <thread>
#include <vector>

namespace kvr::server {

// Reads another stream buffer on a thread of its own, a few pieces ahead of
// what is read from this one: a large gzip body is inflated and checked (the
// source's work) while the bytes before are parsed (the reader's). What is
// read here is what the source gives, in the same pieces of bytes; should
// the source fail (throw), the failure is thrown here once every byte it gave
// before has been read, so a reader that stops earlier never sees it, as
// with the source alone. Destroying this stops the reading ahead (waiting
// for the source's read under way to return). For one reading thread.
class ReadAheadBuf : public std::streambuf {
 public:
  // Pieces of at most piece bytes, at most pieces of them read ahead.
  explicit ReadAheadBuf(std::streambuf& source, size_t piece = 256 * 1024, size_t pieces = 4);
  ~ReadAheadBuf() override;

  ReadAheadBuf(const ReadAheadBuf&) = delete;
  ReadAheadBuf& operator=(const ReadAheadBuf&) = delete;

 protected:
  int_type underflow() override;

 private:
  struct Piece {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
  };
  // The thread's work: reads pieces until the source ends, fails or this
  // stops.
  void ReadAhead();

  std::streambuf& source_;
  const size_t piece_size_;
  std::vector<Piece> ring_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t filled_ = 0;  // pieces read from the source (under the lock)
  size_t taken_ = 0;   // pieces given out here
  bool ended_ = false;  // the source ended or failed after the filled pieces
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace kvr::server
