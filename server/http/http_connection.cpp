#include "http/http_connection.h"

#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "http/http_engine.h"

namespace kvr::server {

namespace {

// Bytes read from the socket at a time.
constexpr size_t kReadSize = 64 * 1024;
// A connection answered and closing waits this long for the client to take
// the answer and close: closing with its bytes unread would reset the
// connection and could lose the answer on its way.
constexpr auto kLinger = std::chrono::seconds(2);

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
                               HttpHandler& handler, ConnectionDeadlines& deadlines,
                               ConnectionDeadlines::Connection* tracked, HttpLoop& loop)
    : socket_(std::move(socket)),
      client_(std::move(client)),
      handler_(handler),
      deadlines_(deadlines),
      tracked_(tracked),
      loop_(loop),
      state_(State::kHandshake) {}

HttpConnection::~HttpConnection() {
  Close();
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
  if (in_exchange_) {
    in_exchange_ = false;
    handler_.OnDone(*this);
  }
}

void HttpConnection::Drive(short revents) {
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
    moved_ = std::chrono::steady_clock::now();
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
  in_exchange_ = true;
  state_ = State::kHandler;
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
    ConnectionDeadlines::Received(tracked_, take);
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
    ConnectionDeadlines::Received(tracked_, used);
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
  handler_.OnBodyEnd(*this);
}

void HttpConnection::Refuse(const HeadFault& fault) {
  close_after_ = true;
  in_exchange_ = true;
  state_ = State::kHandler;
  handler_.OnRefused(*this, fault);
}

void HttpConnection::ReadBody() {
  state_ = State::kBody;
  moved_ = std::chrono::steady_clock::now();
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
  moved_ = std::chrono::steady_clock::now();
}

void HttpConnection::Expire(std::chrono::steady_clock::time_point now,
                            std::chrono::seconds timeout) {
  if (state_ == State::kBody && tracked_->cut) {
    // The deadlines cut the body for its rate: the client is answered.
    close_after_ = true;
    state_ = State::kHandler;
    handler_.OnCut(*this);
    ready_ = true;
  } else if ((state_ == State::kBody || state_ == State::kWriting) && now - moved_ > timeout) {
    Close();
  }
}

void HttpConnection::Suspend() { state_ = State::kSuspended; }

void HttpConnection::Resume() { loop_.Post(this); }

void HttpConnection::Resumed() {
  if (state_ != State::kSuspended) return;
  state_ = State::kHandler;
  handler_.OnResumed(*this);
  ready_ = true;
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
    moved_ = std::chrono::steady_clock::now();
  }
  out_.clear();
  out_pos_ = 0;
  return true;
}

void HttpConnection::Finish() {
  in_exchange_ = false;
  handler_.OnDone(*this);
  context = nullptr;
  if (close_after_ || stopping_) {
    socket_->CloseWrite();
    state_ = State::kLinger;
    deadlines_.Set(tracked_, ConnectionDeadlines::Clock::now() + kLinger);
    return;
  }
  head_ = HttpHead();
  decoder_.reset();
  head_only_ = false;
  state_ = State::kHead;
}

void HttpConnection::Stopping() {
  stopping_ = true;
  if (state_ == State::kHandshake || state_ == State::kHead || state_ == State::kBody ||
      state_ == State::kLinger)
    Close();
}

}  // namespace kvr::server
