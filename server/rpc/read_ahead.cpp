#include "rpc/read_ahead.h"

#include <system_error>

namespace kvr::server {

ReadAheadBuf::ReadAheadBuf(std::streambuf& source, size_t piece, size_t pieces)
    : source_(source), piece_size_(piece), ring_(pieces < 2 ? 2 : pieces) {
  for (Piece& p : ring_) p.bytes = std::make_unique<char[]>(piece_size_);
  try {
    thread_ = std::thread([this] { ReadAhead(); });
  } catch (const std::system_error&) {
    // No thread to be had: the source is read here, as it is asked for.
  }
}

ReadAheadBuf::~ReadAheadBuf() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ReadAheadBuf::ReadAhead() {
  for (;;) {
    size_t slot = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // The piece being read here (taken_ - 1) keeps its slot.
      changed_.wait(lock, [this] { return stop_ || filled_ - taken_ + 1 < ring_.size(); });
      if (stop_) return;
      slot = filled_ % ring_.size();
    }
    Piece& piece = ring_[slot];
    std::exception_ptr failure;
    std::streamsize got = 0;
    try {
      got = source_.sgetn(piece.bytes.get(), static_cast<std::streamsize>(piece_size_));
    } catch (...) {
      failure = std::current_exception();
    }
    bool ended = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure && got > 0) {
        piece.size = static_cast<size_t>(got);
        ++filled_;
      }
      // A short piece is the last one: the source gives less only at its end.
      ended = ended_ = failure != nullptr || static_cast<size_t>(got) < piece_size_;
      failure_ = failure;
    }
    changed_.notify_all();
    if (ended) return;
  }
}

ReadAheadBuf::int_type ReadAheadBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (!thread_.joinable()) {
    // Read here: the source's own pieces, its failure as it comes.
    Piece& piece = ring_[0];
    const std::streamsize got = source_.sgetn(piece.bytes.get(), static_cast<std::streamsize>(piece_size_));
    if (got <= 0) return traits_type::eof();
    setg(piece.bytes.get(), piece.bytes.get(), piece.bytes.get() + got);
    return traits_type::to_int_type(*gptr());
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // The piece read so far is done with: its slot may be filled again.
  setg(nullptr, nullptr, nullptr);
  changed_.notify_all();
  changed_.wait(lock, [this] { return filled_ > taken_ || ended_; });
  if (filled_ == taken_) {
    if (failure_) std::rethrow_exception(failure_);
    return traits_type::eof();
  }
  Piece& piece = ring_[taken_ % ring_.size()];
  ++taken_;
  setg(piece.bytes.get(), piece.bytes.get(), piece.bytes.get() + piece.size);
  return traits_type::to_int_type(*gptr());
}

}  // namespace kvr::server
