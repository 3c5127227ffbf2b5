#include "http/http_connection.h"

#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "http/http_loop.h"

namespace kvr::server {

namespace {

// Bytes read from the socket at a time.
constexpr size_t kReadSize = 64 * 1024;

const char* Reason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
  }
}

// Whether the comma-separated value holds the token word (any case).
bool HasToken(const std::optional<std::string>& value, const char* word) {
  if (!value) return false;
  for (const std::string& item : ListItems(*value))
    if (strcasecmp(item.c_str(), word) == 0) return true;
  return false;
}

}  // namespace

HttpConnection::HttpConnection(std::unique_ptr<HttpSocket> socket, std::string client,
                               HttpHandler& handler, ConnectionLimit::Entry* counted,
                               HttpLoop& loop)
    : socket_(std::move(socket)),
      client_(std::move(client)),
      handler_(handler),
      counted_(counted),
      loop_(loop),
      deadlines_(loop.GetSettings().timeout),
      state_(State::kHandshake) {
  deadlines_.AwaitHead(loop_.Now());
  Schedule();
}

HttpConnection::~HttpConnection() {
  Close();
  loop_.Limit().Release(counted_);
}

std::chrono::steady_clock::time_point HttpConnection::Now() const { return loop_.Now(); }

void HttpConnection::Schedule() {
  // A limit that moved later leaves the timer where it was: it comes early,
  // finds nothing passed and is armed again.
  const auto next = deadlines_.Next();
  if (state_ != State::kClosed && next != std::chrono::steady_clock::time_point::max())
    loop_.Timers().ArmBy(*this, next);
}

void HttpConnection::Expired(std::chrono::steady_clock::time_point now) {
  const bool head_begun = state_ == State::kHead && in_pos_ < in_.size();
  switch (deadlines_.Check(now, head_begun)) {
    case ConnectionDeadlines::Late::kNothing:
      break;
    case ConnectionDeadlines::Late::kHead:
      close_after_ = true;
      Begin();
      handler_.OnExpired(*this, Expiry::kHead);
      ready_ = true;
      break;
    case ConnectionDeadlines::Late::kBody:
      close_after_ = true;
      state_ = State::kHandler;
      handler_.OnExpired(*this, Expiry::kBody);
      ready_ = true;
      break;
    case ConnectionDeadlines::Late::kWait:
      handler_.OnExpired(*this, Expiry::kWait);
      break;
    case ConnectionDeadlines::Late::kIdle:
    case ConnectionDeadlines::Late::kAnswer:
    case ConnectionDeadlines::Late::kLinger:
      Close();
      break;
  }
  Schedule();
}

void HttpConnection::Evicted() {
  if (evicted_ || state_ == State::kClosed) return;
  evicted_ = true;
  stopping_ = true;
  if (!in_exchange_) {
    Close();
  } else if (state_ == State::kSuspended && waiting_) {
    // Its wait ends now, and only now: its moment no longer counts.
    deadlines_.Hold();
    handler_.OnExpired(*this, Expiry::kWait);
  }
  Schedule();
}

void HttpConnection::Begin() {
  in_exchange_ = true;
  state_ = State::kHandler;
  deadlines_.Hold();
  loop_.Limit().Busy(counted_);
}

short HttpConnection::Events() const {
  if (socket_->WantsWrite()) return POLLOUT;
  if (state_ == State::kHandshake) return POLLIN;
  const bool reading = state_ == State::kHead || state_ == State::kBody || state_ == State::kLinger;
  return static_cast<short>((reading ? POLLIN : 0) | (out_pos_ < out_.size() ? POLLOUT : 0));
}

void HttpConnection::Close() {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  loop_.Timers().Cancel(*this);
  if (in_exchange_) {
    in_exchange_ = false;
    handler_.OnDone(*this);
  }
}

void HttpConnection::Drive(short revents) {
  Go(revents);
  Schedule();
}

void HttpConnection::Go(short revents) {
  ready_ = false;
  if ((revents & (POLLERR | POLLNVAL)) != 0) return Close();
  if (state_ == State::kHandshake) {
    if (!socket_->Handshake()) {
      if (socket_->Failed()) Close();
      return;
    }
    state_ = State::kHead;
  }
  // Bounded rounds: a client that sends fast must not keep its loop from
  // the other connections.
  for (int round = 0; round < 16; ++round) {
    if (state_ == State::kClosed) return;
    if (out_pos_ < out_.size() && !Flush()) return;
    if (state_ == State::kWriting) {
      Finish();
      continue;
    }
    if (state_ != State::kHead && state_ != State::kBody && state_ != State::kLinger) return;
    if (state_ == State::kLinger)
      in_pos_ = in_.size();
    else if (state_ == State::kHead ? ConsumeHead() : ConsumeBody())
      continue;
    // What was consumed goes once it is all, or more than a read.
    if (in_pos_ == in_.size() || in_pos_ > kReadSize) {
      in_.erase(0, in_pos_);
      in_pos_ = 0;
    }
    // One buffer per loop thread: a read does not first clear room in in_.
    static thread_local char buffer[kReadSize];
    const ssize_t n = socket_->Read(buffer, sizeof buffer);
    if (n == HttpSocket::kAgain) return;
    if (n == HttpSocket::kClosed) return Close();
    in_.append(buffer, static_cast<size_t>(n));
    deadlines_.Moved(loop_.Now());
  }
  ready_ = true;
}

bool HttpConnection::ConsumeHead() {
  // Empty lines before a request line are skipped (some clients send one
  // after a body).
  while (in_.size() - in_pos_ >= 2 && in_[in_pos_] == '\r' && in_[in_pos_ + 1] == '\n') {
    in_pos_ += 2;
    scanned_ = 0;
  }
  if (in_pos_ == in_.size()) return false;
  const std::string_view data(in_.data() + in_pos_, in_.size() - in_pos_);
  HeadFault fault;
  const size_t end = FindHeadEnd(data, scanned_, fault);
  if (fault.status == 0 && end == 0) return false;
  if (fault.status == 0) {
    head_ = HttpHead();
    fault = ParseHead(data.substr(0, end), head_);
    in_pos_ += end;
    scanned_ = 0;
    if (fault.status == 0) fault = CheckFraming(head_);
  }
  if (fault.status != 0) {
    Refuse(fault);
    return true;
  }
  const std::string* length = head_.Find("Content-Length");
  chunked_ = head_.Find("Transfer-Encoding") != nullptr;
  left_ = length != nullptr ? std::strtoull(length->c_str(), nullptr, 10) : 0;
  body_done_ = !chunked_ && left_ == 0;
  decoder_.reset(chunked_ ? new ChunkedDecoder : nullptr);
  // "close" on any of its lines wins.
  const std::optional<std::string> connection = head_.Joined("Connection");
  close_after_ = HasToken(connection, "close") ||
                 (head_.http10 && !HasToken(connection, "keep-alive"));
  head_only_ = head_.method == "HEAD";
  Begin();
  handler_.OnHead(*this);
  return true;
}

bool HttpConnection::ConsumeBody() {
  if (body_done_) {
    BodyEnded();
    return true;
  }
  if (in_pos_ == in_.size()) return false;
  const std::string_view data(in_.data() + in_pos_, in_.size() - in_pos_);
  bool go_on = true;
  if (!chunked_) {
    const size_t take = static_cast<size_t>(std::min<std::uint64_t>(left_, data.size()));
    in_pos_ += take;
    left_ -= take;
    deadlines_.Moved(loop_.Now(), take);
    go_on = handler_.OnBody(*this, data.data(), take);
    body_done_ = left_ == 0;
  } else {
    size_t used = 0;
    const ChunkedDecoder::Step step =
        decoder_->Feed(data, used, [this, &go_on](const char* bytes, size_t size) {
          if (size > 0) go_on = handler_.OnBody(*this, bytes, size);
          return go_on;
        });
    in_pos_ += used;
    deadlines_.Moved(loop_.Now(), used);
    if (step == ChunkedDecoder::Step::kFault) {
      Refuse(decoder_->Fault());
      return true;
    }
    body_done_ = step == ChunkedDecoder::Step::kDone;
  }
  // The handler answered in the middle of the body: the rest is not read.
  if (!go_on || state_ != State::kBody) return true;
  if (body_done_) BodyEnded();
  return true;
}

void HttpConnection::BodyEnded() {
  state_ = State::kHandler;
  deadlines_.Hold();
  handler_.OnBodyEnd(*this);
}

void HttpConnection::Refuse(const HeadFault& fault) {
  close_after_ = true;
  Begin();
  handler_.OnRefused(*this, fault);
}

void HttpConnection::ReadBody() {
  state_ = State::kBody;
  deadlines_.ReadBody(loop_.Now(), chunked_ ? loop_.GetSettings().max_body : left_);
  // A client that waits for leave to send its body gets it now.
  if (!head_.http10 && !body_done_ && in_pos_ == in_.size() &&
      HasToken(head_.Joined("Expect"), "100-continue"))
    out_ += "HTTP/1.1 100 Continue\r\n\r\n";
}

void HttpConnection::Answer(HttpAnswer answer) {
  if (!body_done_ || answer.close || stopping_) close_after_ = true;
  std::string text = "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) +
                     "\r\n";
  if (close_after_) text += "Connection: close\r\n";
  else if (head_.http10) text += "Connection: keep-alive\r\n";
  if (!answer.body.empty() || answer.status != 204)
    text += "Content-Type: " + answer.content_type + "\r\n";
  for (const auto& [name, value] : answer.headers) text += name + ": " + value + "\r\n";
  if (answer.status != 204)
    text += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  text += "\r\n";
  if (out_.empty() && !head_only_ && answer.body.size() > text.size()) {
    // A large body keeps its buffer: the head goes in front of it instead
    // of both into a new one.
    answer.body.insert(0, text);
    out_ = std::move(answer.body);
  } else {
    out_ += text;
    if (!head_only_) out_ += answer.body;
  }
  state_ = State::kWriting;
  deadlines_.Answer(loop_.Now());
}

void HttpConnection::Suspend() {
  state_ = State::kSuspended;
  deadlines_.Hold();
}

void HttpConnection::SuspendUntil(std::chrono::steady_clock::time_point until) {
  state_ = State::kSuspended;
  deadlines_.Hold(until);
  waiting_ = true;
  loop_.Limit().Idle(counted_, loop_.Now());
}

void HttpConnection::Resume() { loop_.Post(this); }

void HttpConnection::Resumed() {
  if (state_ != State::kSuspended) return;
  if (std::exchange(waiting_, false)) loop_.Limit().Busy(counted_);
  state_ = State::kHandler;
  deadlines_.Hold();
  handler_.OnResumed(*this);
  ready_ = true;
  Schedule();
}

bool HttpConnection::Flush() {
  while (out_pos_ < out_.size()) {
    const size_t size = std::min<size_t>(out_.size() - out_pos_, 1024 * 1024);
    const ssize_t n = socket_->Write(out_.data() + out_pos_, size);
    if (n == HttpSocket::kAgain) return false;
    if (n <= 0) {
      Close();
      return false;
    }
    out_pos_ += static_cast<size_t>(n);
    deadlines_.Moved(loop_.Now());
  }
  out_.clear();
  out_pos_ = 0;
  return true;
}

void HttpConnection::Finish() {
  in_exchange_ = false;
  handler_.OnDone(*this);
  context = nullptr;
  loop_.Limit().Idle(counted_, loop_.Now());
  if (close_after_ || stopping_) {
    // Closing with the client's bytes unread would reset the connection and
    // could lose the answer on its way: they are read and dropped a while.
    socket_->CloseWrite();
    state_ = State::kLinger;
    deadlines_.Linger(loop_.Now());
    return;
  }
  head_ = HttpHead();
  decoder_.reset();
  head_only_ = false;
  state_ = State::kHead;
  deadlines_.AwaitHead(loop_.Now());
}

void HttpConnection::Stopping() {
  stopping_ = true;
  if (state_ == State::kHandshake || state_ == State::kHead || state_ == State::kBody ||
      state_ == State::kLinger)
    Close();
}

}  // namespace kvr::server
