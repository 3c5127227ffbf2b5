// The HTTP engine's time limits, on one event loop turned by hand with a
// clock moved by hand: real sockets (a socket pair per client), no sleep.
// Each row is what clients send and when, and what each one sees: its
// answers' statuses, the end of its stream (eof) and the server's close
// (gone), each at the moment worked out by hand from the limits
// (ConnectionDeadlines, T = 2 s here).
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/connection_limit.h"
#include "http/http_loop.h"

namespace kvr::server {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::chrono::seconds kTimeout{2};
constexpr size_t kKiB = 1024;

// Answers what a handler of the engine would, without a module: GET / and
// any body with 200; /wait and /grant wait (SuspendUntil, T after their
// head) until the test grants them (200) or the moment comes (503); /big
// with 8 MiB.
class Handler : public HttpHandler {
 public:
  std::map<std::string, HttpExchange*> waiting;  // by client

  void OnHead(HttpExchange& exchange) override {
    const std::string& target = exchange.Head().target;
    if (target == "/wait") {
      waiting[exchange.Client()] = &exchange;
      return exchange.SuspendUntil(exchange.Now() + kTimeout);
    }
    if (target == "/big") return exchange.Answer({.body = std::string(8 << 20, 'x')});
    exchange.ReadBody();
  }
  void OnRefused(HttpExchange& exchange, const HeadFault& fault) override {
    exchange.Answer({.status = fault.status, .close = true});
  }
  bool OnBody(HttpExchange&, const char*, size_t) override { return true; }
  void OnBodyEnd(HttpExchange& exchange) override { exchange.Answer({.body = "ok"}); }
  void OnExpired(HttpExchange& exchange, Expiry expiry) override {
    if (expiry != Expiry::kWait) return exchange.Answer({.status = 408, .close = true});
    expired_.push_back(&exchange);
    exchange.Resume();
  }
  void OnResumed(HttpExchange& exchange) override {
    waiting.erase(exchange.Client());
    const bool expired = std::find(expired_.begin(), expired_.end(), &exchange) != expired_.end();
    expired_.erase(std::remove(expired_.begin(), expired_.end(), &exchange), expired_.end());
    exchange.Answer(expired ? HttpAnswer{.status = 503, .close = true} : HttpAnswer{.body = "ok"});
  }
  void OnDone(HttpExchange&) override {}

 private:
  std::vector<HttpExchange*> expired_;
};

// What a client does at a moment: connect (its first step), send text,
// stream body bytes (rate a second, total in all, from then on), or have
// its waiting request granted.
struct Step {
  int at_ms;
  int client;
  std::string send = "";
  size_t rate = 0, total = 0;
  bool grant = false;
};

struct Row {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> seen;  // what each client saw, in order
  int reads_from_ms = 0;          // clients leave the answers unread until then
};

std::string Post(const std::string& target, size_t length, const std::string& body = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(length) +
         "\r\n\r\n" + body;
}
const std::string kGet = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";

// Plays steps on one loop for 20 s in ticks of 100 ms; returns what each
// client saw.
class Player {
 public:
  explicit Player(size_t limit = 100) : limit_(limit) {}
  ~Player() {
    for (auto& [index, client] : clients_) close(client.fd);
  }

  std::vector<std::string> Play(const Row& row) {
    for (int ms = 0; ms <= 20000; ms += 100) {
      now_ = kStart + milliseconds(ms);
      // The loop reads the new time (a connection it takes starts then).
      loop_.Turn(Clock::duration::zero());
      for (const Step& step : row.steps) {
        if (step.at_ms > ms) continue;
        Client& client = Get(step.client);
        if (step.at_ms == ms) {
          Send(client, step.send);
          if (step.grant) handler_.waiting.at(Name(step.client))->Resume();
        }
        if (step.rate > 0 && client.streamed < step.total) {
          const size_t due = std::min(step.total, step.rate * (ms - step.at_ms + 100) / 1000);
          Send(client, std::string(due - client.streamed, ' '));
          client.streamed = due;
        }
      }
      for (int i = 0; i < 4; ++i) loop_.Turn(Clock::duration::zero());
      for (auto& [index, client] : clients_) Look(client, ms, ms >= row.reads_from_ms);
    }
    std::vector<std::string> seen;
    for (auto& [index, client] : clients_) seen.push_back(client.seen.substr(1));
    return seen;
  }

 private:
  struct Client {
    int fd = -1;
    size_t streamed = 0;
    std::string in;
    size_t statuses = 0;
    bool eof = false, gone = false;
    std::string seen;
  };
  static constexpr Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

  static std::string Name(int client) { return "c" + std::to_string(client); }

  Client& Get(int index) {
    Client& client = clients_[index];
    if (client.fd < 0) {
      int pair[2];
      EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair));
      client.fd = pair[0];
      loop_.Adopt(pair[1], Name(index));
    }
    return client;
  }

  // Sends all of text, turning the loop while the socket is full.
  void Send(Client& client, const std::string& text) {
    for (size_t sent = 0; sent < text.size();) {
      const ssize_t n = send(client.fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      else if (n < 0 && errno == EAGAIN) loop_.Turn(Clock::duration::zero());
      else return;  // the server closed
    }
  }

  void Look(Client& client, int ms, bool read) {
    const std::string at = "@" + std::to_string(ms);
    if (read && !client.eof) Read(client, at);
    pollfd hup{client.fd, POLLIN, 0};
    poll(&hup, 1, 0);
    if (!client.gone && (hup.revents & POLLHUP) != 0) {
      client.gone = true;
      client.seen += " gone" + at;
    }
  }

  // Takes the answers' statuses and the end of the stream.
  void Read(Client& client, const std::string& at) {
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = recv(client.fd, buffer, sizeof buffer, 0)) > 0) client.in.append(buffer, n);
    for (size_t p = client.in.find("HTTP/1.1 "); p != std::string::npos;
         p = client.in.find("HTTP/1.1 ", p + 1)) {
      if (p + 12 > client.in.size()) break;
      client.seen += " " + client.in.substr(p + 9, 3) + at;
      client.in.erase(0, p + 12);
      p = 0;
      ++client.statuses;
    }
    if (n == 0) {
      client.eof = true;
      client.seen += " eof" + at;
    }
  }

  Clock::time_point now_ = kStart;
  Handler handler_;
  ConnectionLimit limit_;
  HttpLoop loop_{handler_, limit_, {.timeout = kTimeout}, [this] { return now_; }};
  std::map<int, Client> clients_;
};

TEST(HttpLoopDeadlines, EachLimitHasOneAnswerAtItsMoment) {
  const Row rows[] = {
      {"a connection that sends nothing is closed at T",
       {{0, 0}},
       {"eof@2000 gone@2000"}},
      {"part of a head is answered 408 at T; more bytes earn no time; the client has 2 s to "
       "close",
       {{0, 0, "GET / HTTP/1.1\r\n"}, {1500, 0, "Host: x\r\n"}},
       {"408@2000 eof@2000 gone@4000"}},
      {"a kept-alive connection is closed T after its last answer",
       {{0, 0, kGet}, {1500, 0, kGet}},
       {"200@0 200@1500 eof@3500 gone@3500"}},
      {"a closing answer leaves the client 2 s to close",
       {{0, 0, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"}},
       {"200@0 eof@0 gone@2000"}},
      {"a body at 8 times the floor is served, judged from T + 10 s on",
       {{0, 0, Post("/", 8 << 20), 512 * kKiB, 8 << 20}},
       {"200@15900 eof@17900 gone@17900"}},
      {"a body at an eighth of the floor is answered 408 once a window after T is judged",
       {{0, 0, Post("/", 1 << 20), 8 * kKiB, 1 << 20}},
       {"408@12000 eof@12000 gone@14000"}},
      {"a body that stops is answered 408 T after its last byte",
       {{0, 0, Post("/", 1 << 20)}, {1000, 0, std::string(500, ' ')}},
       {"408@3000 eof@3000 gone@5000"}},
      {"a body not whole by T plus its length at the floor is answered 408, bytes or not",
       {{0, 0, Post("/", 1000), 100, 1000}},
       {"408@2000 eof@2000 gone@4000"}},
      {"a wait (memory) not granted by its moment is answered 503",
       {{0, 0, Post("/wait", 0)}},
       {"503@2000 eof@2000 gone@4000"}},
      {"a wait granted before its moment goes on",
       {{0, 0, Post("/wait", 0)}, {1000, 0, "", 0, 0, true}},
       {"200@1000 eof@3000 gone@3000"}},
      {"an answer that moves no byte for T is given up",
       {{0, 0, "GET /big HTTP/1.1\r\nHost: x\r\n\r\n"}},
       {"gone@2000 200@5000 eof@5000"},
       5000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Player player;
    EXPECT_EQ(row.seen, player.Play(row));
  }
}

// Past the limit, the connection idle longest makes room (a request waiting
// for memory counts as idle since it began to wait), never one whose
// request is under way; with no other to spare, the newcomer goes.
TEST(HttpLoopDeadlines, PastTheLimitTheIdleLongestMakesRoom) {
  const Row row{
      "limit 2",
      {{0, 0},
       {500, 1, Post("/wait", 0)},
       {1000, 2},
       {1100, 2, Post("/", 1000, std::string(500, ' '))},
       {1200, 3, Post("/", 1000, std::string(500, ' '))},
       {1400, 4},
       {1500, 2, std::string(500, ' ')}},
      {"eof@1000 gone@1000", "503@1200 eof@1200 gone@3200", "200@1500 eof@3500 gone@3500",
       "408@3200 eof@3200 gone@5200", "eof@1400 gone@1400"}};
  Player player(2);
  EXPECT_EQ(row.seen, player.Play(row));
}

}  // namespace
}  // namespace kvr::server
