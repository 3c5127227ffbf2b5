#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "http/body_stream.h"
#include "rpc/json_rpc.h"

namespace kvr::server {

// A large request body read into its call while it still arrives: the event
// loop hands each piece to Append (a copy under a lock, never a wait for the
// reading), and a thread of the reading's own inflates and parses them
// (ReadRpcCall) meanwhile, so that the call is ready shortly after the last
// byte. The body is kept whole beside, as a body read at its end is: its
// memory is charged as it comes, so the reading can fall behind the socket
// without holding more than the request already pays for, and a call whose
// reading must be redone (see RpcServer) finds its body.
//
// What the reading builds is charged to the memory budget through grow, which
// never waits (no room: the call comes back refused with status 503, as
// ReadRpcCall refuses it); the request takes that memory over with the call,
// or, when it is gone first (Abandon), the reading gives it back through
// give. Made by StreamedReads; each call belongs to the request's event loop.
class StreamedRead : public BodySource {
 public:
  using Grow = std::function<bool(size_t bytes)>;
  using Give = std::function<void(size_t bytes)>;

  // More bytes of the body.
  void Append(const char* data, size_t size);
  // The body ended: done runs once the call is read, on the reading's thread
  // (or at once, on this one, when it already is).
  void End(std::function<void()> done);
  // The request is gone: the reading stops, and what it built goes, its
  // memory back to the budget. Harmless after End's done ran and the call
  // was taken.
  void Abandon();

  // After End's done: the call, the memory its reading took (the caller's
  // from now on, to give back) and the body; each once.
  RpcCall TakeCall();
  size_t TakeMemory();
  std::string TakeBody();

  // BodySource, for the reading's thread.
  bool Next(const char*& data, size_t& size) override;

  StreamedRead(std::string body, bool gzip, const BodyLimits& limits, Grow grow, Give give);

 private:
  friend class StreamedReads;
  // The reading's thread: reads the call, then hands it over or drops it.
  void Read();
  // Reading is given up (the server stops, or the request is gone).
  void Cancel();

  const bool gzip_;
  const BodyLimits limits_;
  const Grow grow_;
  const Give give_;

  std::mutex mutex_;
  std::condition_variable more_;
  std::string body_;
  size_t read_ = 0;  // body_ bytes handed to the reading
  bool ended_ = false, cancelled_ = false, abandoned_ = false, finished_ = false;
  std::function<void()> done_;
  RpcCall call_;
  size_t memory_ = 0;  // charged by the reading through grow_
  // The reading thread's copy of its next piece, and its waits for it.
  std::unique_ptr<char[]> piece_;
  std::chrono::steady_clock::duration waited_{};
};

// The readings under way, each on a thread of its own, at most `most` at
// once (a slow client holds one, asleep, never a worker). Thread-safe.
class StreamedReads {
 public:
  explicit StreamedReads(size_t most) : most_(most) {}
  ~StreamedReads() { Stop(); }

  StreamedReads(const StreamedReads&) = delete;
  StreamedReads& operator=(const StreamedReads&) = delete;

  // Starts reading the body that begins with body; nullptr when `most` are
  // under way, the server stops, or no thread could start (the body is then
  // read whole at its end, as any other).
  std::shared_ptr<StreamedRead> Start(std::string& body, bool gzip, const BodyLimits& limits,
                                      StreamedRead::Grow grow, StreamedRead::Give give);
  // Every reading is given up, and none starts from now on; returns once
  // their threads are done with what they were given (a done that was due
  // ran first).
  void Stop();

 private:
  const size_t most_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::set<StreamedRead*> running_;
  bool stopped_ = false;
};

}  // namespace kvr::server
