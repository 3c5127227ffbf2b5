#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "http/chunked_decoder.h"
#include "http/connection_deadlines.h"
#include "http/connection_limit.h"
#include "http/http_exchange.h"
#include "http/http_socket.h"
#include "http/loop_timers.h"

namespace kvr::server {

class HttpLoop;

// One client connection of the HTTP engine and the request under way on it:
// a state machine driven by its event loop (TLS handshake, head, body, the
// handler's work, the answer, the next head), strictly by HTTP/1.1: any head
// or chunked body out of shape is answered (400, 431, 501, 505) and the
// connection closed. Pipelined requests are read one after the other. Its
// time limits, and the answer to each, are ConnectionDeadlines'; they run on
// its loop's timers.
class HttpConnection : public HttpExchange, private LoopTimers::Timer {
 public:
  // Takes socket and counted (its place in the loop's limit, released with
  // the connection); handler and loop must outlive the connection.
  HttpConnection(std::unique_ptr<HttpSocket> socket, std::string client, HttpHandler& handler,
                 ConnectionLimit::Entry* counted, HttpLoop& loop);
  ~HttpConnection() override;

  int Fd() const { return socket_->Fd(); }
  // The poll events the connection waits for now (0: none, as while suspended).
  short Events() const;
  // Moves on after poll reported revents (0: TLS bytes or input already held).
  void Drive(short revents);
  // Whether the connection can go on without waiting for the socket.
  bool Ready() const { return ready_ || ((Events() & POLLIN) != 0 && socket_->Pending()); }
  // Whether it may be closed now: no handler holds it.
  bool Closed() const { return state_ == State::kClosed; }
  // Runs the handler's OnResumed (on the loop, after Resume).
  void Resumed();
  // The server stops: an idle connection, or one reading a request, closes
  // now; one whose answer is being made or written closes once it is sent.
  void Stopping();
  // Ends the connection now, telling the handler of a request under way.
  void Close();
  // Its place in the connection limit.
  ConnectionLimit::Entry* Counted() const { return counted_; }
  // The limit chose it to make room: without a request it closes now; a
  // request waiting (SuspendUntil) has its wait ended (OnExpired(kWait)),
  // and closes once answered, as does one that became busy meanwhile.
  void Evicted();

  // HttpExchange
  const HttpHead& Head() const override { return head_; }
  const std::string& Client() const override { return client_; }
  std::chrono::steady_clock::time_point Now() const override;
  bool Chunked() const override { return chunked_; }
  void ReadBody() override;
  void Answer(HttpAnswer answer) override;
  void Suspend() override;
  // A request waiting until a moment may also make room for a newcomer
  // (ConnectionLimit): its wait then ends at once.
  void SuspendUntil(std::chrono::steady_clock::time_point until) override;
  void Resume() override;

 private:
  enum class State {
    kHandshake,  // TLS handshake
    kHead,       // waiting for a request head
    kHandler,    // inside a handler callback
    kBody,       // reading the body
    kSuspended,  // the handler works on it (a worker, the memory budget)
    kWriting,    // the answer goes out
    kLinger,     // answered and closing: the rest of the client's bytes is read and dropped
    kClosed,
  };

  // LoopTimers::Timer: a time limit may have passed.
  void Expired(std::chrono::steady_clock::time_point now) override;
  // Arms the timer for the next moment a limit may pass.
  void Schedule();
  // Drive's work.
  void Go(short revents);
  // A request begins: the head came, or is answered without one (refused, late).
  void Begin();

  // Handle the bytes already read; false when more are needed.
  bool ConsumeHead();
  bool ConsumeBody();
  // Writes what is queued; false when the socket must become writable first
  // (or the connection closed).
  bool Flush();
  // The answer went: the next request, or the close.
  void Finish();
  void BodyEnded();
  void Refuse(const HeadFault& fault);

  std::unique_ptr<HttpSocket> socket_;
  std::string client_;
  HttpHandler& handler_;
  ConnectionLimit::Entry* counted_;
  HttpLoop& loop_;
  ConnectionDeadlines deadlines_;

  State state_;
  bool ready_ = false;
  bool stopping_ = false;     // closes once answered
  bool waiting_ = false;      // suspended until a moment (may make room)
  bool evicted_ = false;
  bool in_exchange_ = false;  // a head came and OnDone is still due
  std::string in_;
  size_t in_pos_ = 0;   // in_ before this was consumed
  size_t scanned_ = 0;  // head bytes checked by FindHeadEnd
  std::string out_;
  size_t out_pos_ = 0;

  HttpHead head_;
  bool chunked_ = false;
  std::uint64_t left_ = 0;  // body bytes still due (Content-Length)
  bool body_done_ = false;  // the body was read to its end (or there is none)
  bool close_after_ = false;
  bool head_only_ = false;  // a HEAD request: the answer goes without its body
  std::unique_ptr<ChunkedDecoder> decoder_;
};

}  // namespace kvr::server
