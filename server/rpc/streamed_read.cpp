#include "rpc/streamed_read.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "rpc/request_cost.h"

namespace kvr::server {

namespace {

// The most body bytes the reading copies out at a time.
constexpr size_t kPiece = 256 * 1024;

}  // namespace

StreamedRead::StreamedRead(std::string body, bool gzip, const BodyLimits& limits, Grow grow,
                           Give give)
    : gzip_(gzip),
      limits_(limits),
      grow_(std::move(grow)),
      give_(std::move(give)),
      body_(std::move(body)),
      piece_(std::make_unique<char[]>(kPiece)) {}

void StreamedRead::Append(const char* data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    body_.append(data, size);
  }
  more_.notify_one();
}

void StreamedRead::End(std::function<void()> done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    if (!finished_) done_ = std::move(done);
  }
  more_.notify_one();
  if (done) done();
}

void StreamedRead::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  more_.notify_one();
}

void StreamedRead::Abandon() {
  RpcCall call;
  size_t memory = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = cancelled_ = true;
    done_ = nullptr;
    // Still reading: the thread drops what it built once it stops.
    if (!finished_) {
      more_.notify_one();
      return;
    }
    call = std::move(call_);
    memory = std::exchange(memory_, 0);
    std::string().swap(body_);
  }
  call = RpcCall();
  if (memory > 0) give_(memory);
}

RpcCall StreamedRead::TakeCall() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(call_);
}

size_t StreamedRead::TakeMemory() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(memory_, 0);
}

std::string StreamedRead::TakeBody() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(body_);
}

bool StreamedRead::Next(const char*& data, size_t& size) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (read_ == body_.size() && !ended_ && !cancelled_) {
    const auto start = std::chrono::steady_clock::now();
    more_.wait(lock, [this] { return read_ < body_.size() || ended_ || cancelled_; });
    waited_ += std::chrono::steady_clock::now() - start;
  }
  if (cancelled_) throw BodyError(BodyFault::kStopped, "O servidor está encerrando; tente de novo.");
  if (read_ == body_.size()) return false;
  // A copy, as the body may move when it grows; a piece at a time keeps the
  // loop's Append from waiting long.
  size = std::min(body_.size() - read_, kPiece);
  std::memcpy(piece_.get(), body_.data() + read_, size);
  read_ += size;
  data = piece_.get();
  return true;
}

void StreamedRead::Read() {
  // Only this thread touches memory_ until finished_.
  RequestCost cost(0, 0, [this](size_t bytes) {
    if (!grow_(bytes)) return false;
    memory_ += bytes;
    return true;
  });
  BodyLimits limits = limits_;
  limits.cost = &cost;
  RpcCall call = ReadRpcCall(*this, gzip_, limits);
  // The time reading took, not the time the body took to come.
  call.reading -= std::min(call.reading, waited_);
  piece_.reset();
  std::function<void()> done;
  size_t memory = 0;
  bool dropped = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    dropped = abandoned_;
    if (dropped) {
      memory = std::exchange(memory_, 0);
      std::string().swap(body_);
    } else {
      call_ = std::move(call);
      done = std::move(done_);
    }
  }
  if (dropped) {
    call = RpcCall();
    if (memory > 0) give_(memory);
  }
  if (done) done();
}

std::shared_ptr<StreamedRead> StreamedReads::Start(std::string& body, bool gzip,
                                                   const BodyLimits& limits,
                                                   StreamedRead::Grow grow,
                                                   StreamedRead::Give give) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || running_.size() >= most_) return nullptr;
  auto read = std::make_shared<StreamedRead>(std::move(body), gzip, limits, std::move(grow),
                                             std::move(give));
  running_.insert(read.get());
  try {
    std::thread([this, read] {
      read->Read();
      std::lock_guard<std::mutex> ending(mutex_);
      running_.erase(read.get());
      ended_.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    running_.erase(read.get());
    body = read->TakeBody();
    return nullptr;
  }
  return read;
}

void StreamedReads::Stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_ = true;
  for (StreamedRead* read : running_) read->Cancel();
  ended_.wait(lock, [this] { return running_.empty(); });
}

}  // namespace kvr::server
