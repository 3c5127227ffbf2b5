#include "host/gzip_pipe.h"

#include <zlib.h>

#include <utility>

#include "platform/errors.h"

namespace kvr {

struct GzipPipe::Stream {
  z_stream z{};
  Bytef chunk[1 << 16];
};

GzipPipe::GzipPipe(Output out) : out_(std::move(out)), stream_(std::make_unique<Stream>()) {
  // 15 + 16: a gzip wrapper; level 1: the network is rarely slower than the
  // compressor at higher levels.
  if (deflateInit2(&stream_->z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw Exception("Falha ao iniciar a compressão da requisição.");
  try {
    thread_ = std::thread(&GzipPipe::Run, this);
  } catch (...) {
    deflateEnd(&stream_->z);
    throw;
  }
}

GzipPipe::~GzipPipe() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  deflateEnd(&stream_->z);
}

void GzipPipe::Write(std::string& text) {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < kWaiting || error_ || finished_; });
    if (error_) std::rethrow_exception(error_);
    waiting_.push_back(std::move(text));
    text.clear();
    if (!spare_.empty()) {
      text.swap(spare_.back());
      spare_.pop_back();
    }
  }
  changed_.notify_all();
}

void GzipPipe::Finish() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (error_) std::rethrow_exception(error_);
}

void GzipPipe::Run() {
  for (;;) {
    std::string piece;
    bool last = false;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || ending_ || !waiting_.empty(); });
      if (stopping_) return;
      if (!waiting_.empty()) {
        piece = std::move(waiting_.front());
        waiting_.pop_front();
      }
      last = ending_ && waiting_.empty();
    }
    changed_.notify_all();
    try {
      Deflate(piece, last);
    } catch (...) {
      std::lock_guard lock(mutex_);
      error_ = std::current_exception();
      finished_ = true;
      changed_.notify_all();
      return;
    }
    std::lock_guard lock(mutex_);
    if (last) {
      finished_ = true;
      changed_.notify_all();
      return;
    }
    piece.clear();
    if (spare_.size() < kWaiting) spare_.push_back(std::move(piece));
  }
}

void GzipPipe::Deflate(const std::string& piece, bool last) {
  z_stream& z = stream_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
  z.avail_in = static_cast<uInt>(piece.size());
  const int flush = last ? Z_FINISH : Z_NO_FLUSH;
  int rc = Z_OK;
  do {
    z.next_out = stream_->chunk;
    z.avail_out = sizeof stream_->chunk;
    rc = deflate(&z, flush);
    if (rc == Z_STREAM_ERROR) throw Exception("Falha ao comprimir a requisição.");
    out_(reinterpret_cast<const char*>(stream_->chunk), sizeof stream_->chunk - z.avail_out);
  } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
}

}  // namespace kvr
