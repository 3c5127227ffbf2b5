// What an administrator runs the server with: the health answer, the metrics,
// the log lines, and clients that know several servers.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/un.h>

#include <map>
#include <thread>
#include <sstream>

#include "fake_http_server.h"
#include "host/net_connection.h"
#include "rpc/log_text.h"
#include "packets.h"
#include "pg_cluster.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

using testing::CommandResult;
using testing::FakeHttpServer;
using testing::Header;
using testing::Mov;
using testing::Movements;
using testing::RunServerCommand;
using testing::ServerProcess;

using testing::AddAccount;
using testing::AddUser;

// The samples of a metrics page: "name{labels}" -> value.
std::map<std::string, double> Samples(const std::string& page) {
  std::map<std::string, double> samples;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

// A connection to the server at host (one address or several) with key.
std::unique_ptr<TNetConnection> Connect(const std::string& host, int port,
                                        const std::string& key = "") {
  auto net = std::make_unique<TNetConnection>(nullptr);
  net->ServerName = "kvr61400.rdmImportOFX";
  net->Host = host;
  net->Port = port;
  net->Token = key;
  net->SetConnected(true);
  return net;
}

// A statement of account 001 in January 2024 with two movements.
std::vector<TServerArg> Statement(bool valid) {
  const nlohmann::json movements = Movements(
      {Mov{.value = 10, .document = "1", .fitid = "A1"}, Mov{.value = 20, .document = "2", .fitid = "A2"}});
  return {TServerArg::Packet(Header()), TServerArg::Packet(movements), TServerArg(valid)};
}

TEST(ServerOperations, HealthForAnyoneMetricsForAdministratorsAndCountersThatMove) {
  testing::TempDir dir;
  const std::string db = dir.File("ops.db");
  AddAccount(db);
  const std::string chefe = AddUser(db, "chefe", true);
  const std::string maria = AddUser(db, "maria", false);
  ServerProcess server(db);
  server.Start();
  httplib::Client http("127.0.0.1", server.Port());

  httplib::Result health = http.Get("/saude");
  ASSERT_TRUE(health);
  EXPECT_EQ(200, health->status);
  EXPECT_EQ(R"({"status":"ok","banco":"ok"})", health->body);

  struct Case {
    std::string key;
    int status;
  };
  for (const Case& c : {Case{"", 401}, Case{maria, 403}, Case{chefe, 200}}) {
    httplib::Headers headers;
    if (!c.key.empty()) headers.emplace("Authorization", "Bearer " + c.key);
    httplib::Result page = http.Get("/metrics", headers);
    ASSERT_TRUE(page);
    EXPECT_EQ(c.status, page->status) << c.key;
  }

  auto net = Connect("127.0.0.1", server.Port(), maria);
  EXPECT_EQ(0u, CheckResultServ(net->Call("GetContaCorrente", {"999", "1"}), false, 0)["rows"].size());
  EXPECT_TRUE(CheckResultServ(net->Call("SetExtratoBancario", Statement(true)), false, 0).get<bool>());
  EXPECT_FALSE(CheckResultServ(net->Call("SetExtratoBancario", Statement(true)), false, 0).get<bool>());
  net->SetConnected(false);
  EXPECT_THROW(Connect("127.0.0.1", server.Port(), "chave-errada-de-proposito"), Exception);

  httplib::Result page = http.Get("/metrics", {{"Authorization", "Bearer " + chefe}});
  ASSERT_TRUE(page);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", page->get_header_value("Content-Type"));
  std::map<std::string, double> samples = Samples(page->body);
  const std::map<std::string, double> expected = {
      {"kvr61400_statements_stored_total", 1},
      {"kvr61400_movements_stored_total", 2},
      {R"(kvr61400_calls_total{method="SetExtratoBancario",outcome="ok"})", 2},
      {R"(kvr61400_calls_total{method="GetContaCorrente",outcome="ok"})", 1},
      {R"(kvr61400_refusals_total{reason="ja_cadastrado"})", 1},
      {R"(kvr61400_refusals_total{reason="conta_nao_cadastrada"})", 1},
      {R"(kvr61400_refusals_total{reason="pacote_recusado"})", 0},
      // The /metrics without a key and the wrong key.
      {R"(kvr61400_refusals_total{reason="nao_autorizado"})", 2},
      {"kvr61400_store_duration_seconds_count", 2},
      {R"(kvr61400_store_duration_seconds_bucket{le="+Inf"})", 2},
      {"kvr61400_database_errors_total", 0},
      {"kvr61400_memory_budget_waiting_requests", 0},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(value, samples[name]) << name;
  EXPECT_GT(samples["kvr61400_request_bytes_total"], 1000);
  EXPECT_GT(samples["kvr61400_response_bytes_total"], 100);
  EXPECT_GE(samples["kvr61400_open_connections"], 1);
  EXPECT_GE(samples["kvr61400_requests_in_flight"], 1);  // this one, and ones about to end

  // The log names who did what, in Portuguese.
  // A line is written before its answer goes out, but read by another thread.
  std::vector<std::string> log = server.LogWhen([](const std::vector<std::string>& lines) {
    int calls = 0;
    for (const std::string& line : lines) calls += line.find("SetExtratoBancario") != std::string::npos;
    return calls >= 2;
  });
  auto logged = [&log](const std::string& text) {
    for (const std::string& line : log)
      if (line.find(text) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(logged(R"(: usuário "maria" em 127.0.0.1: GetContaCorrente banco 999 conta 1: conta não cadastrada )"));
  EXPECT_TRUE(logged(R"(: usuário "maria" em 127.0.0.1: SetExtratoBancario conta 001, 2 movimentos: extrato 1 gravado )"));
  EXPECT_TRUE(logged(R"(: usuário "maria" em 127.0.0.1: SetExtratoBancario conta 001, 2 movimentos: extrato já cadastrado; nada gravado )"));
}

TEST(ServerOperations, MetricsOfAServerWithoutKeysOnlyOnLoopback) {
  testing::TempDir dir;
  ServerProcess server(dir.File("aberto.db"));
  server.Start();
  httplib::Client http("127.0.0.1", server.Port());
  httplib::Result page = http.Get("/metrics");
  ASSERT_TRUE(page);
  EXPECT_EQ(200, page->status);
  EXPECT_NE(std::string::npos, page->body.find("# TYPE kvr61400_store_duration_seconds histogram\n"));
}

TEST(ServerLog, PriorityPrefixKeptForTheJournalDroppedElsewhere) {
  struct Case {
    std::string line;
    bool journal;
    std::string written;
  };
  for (const Case& c : {
           Case{"<4>kvr61400-server: aviso", true, "<4>kvr61400-server: aviso"},
           Case{"<4>kvr61400-server: aviso", false, "kvr61400-server: aviso"},
           Case{"kvr61400-server: ouvindo", true, "<6>kvr61400-server: ouvindo"},
           Case{"kvr61400-server: ouvindo", false, "kvr61400-server: ouvindo"},
           Case{"<9>x", true, "<6><9>x"},
       })
    EXPECT_EQ(c.written, server::LogForSink(c.line, c.journal)) << c.line;
}

// The first address cannot be reached: the client uses the next one, at
// connect and for each call, and the server it reached is the one that
// stores. Once a request went out, another address is never tried.
TEST(ServerList, UnreachableAddressesAreSkippedAndASentCallIsNeverSentAgain) {
  testing::TempDir dir;
  AddAccount(dir.File("primeiro.db"));
  AddAccount(dir.File("segundo.db"));
  ServerProcess first(dir.File("primeiro.db")), second(dir.File("segundo.db"));
  first.Start();
  second.Start();
  const int closed = testing::FreeLoopbackPort();
  const std::string list = "127.0.0.1:" + std::to_string(closed) + ",127.0.0.1:" +
                           std::to_string(first.Port()) + ",127.0.0.1:" +
                           std::to_string(second.Port());
  auto net = Connect(list, first.Port());
  EXPECT_EQ(1u, CheckResultServ(net->Call("GetContaCorrente", {"341", "123456"}), false, 0)["rows"].size());
  first.Signal(SIGKILL);
  first.Wait();
  EXPECT_TRUE(CheckResultServ(net->Call("SetExtratoBancario", Statement(true)), false, 0).get<bool>());
  const std::vector<std::string> log = second.LogWhen([](const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
      if (line.find("SetExtratoBancario") != std::string::npos) return true;
    return false;
  });
  EXPECT_NE(log.end(), std::find_if(log.begin(), log.end(), [](const std::string& line) {
              return line.find("extrato 1 gravado") != std::string::npos;
            }));

  // A server that takes the request and drops the connection unanswered.
  FakeHttpServer dropping([](int fd, const FakeHttpServer::Request&) { shutdown(fd, SHUT_RDWR); });
  auto to_dropping = Connect("127.0.0.1:" + std::to_string(dropping.Port()) + ",127.0.0.1:" +
                                 std::to_string(second.Port()),
                             dropping.Port());
  EXPECT_THROW(to_dropping->Call("SetExtratoBancario", Statement(true)), Exception);
  EXPECT_EQ(1u, dropping.Received().size());
  for (const std::string& line : second.Log())
    EXPECT_EQ(std::string::npos, line.find("já cadastrado")) << line;
}

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// A datagram socket standing for systemd's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() { close(fd_); }
  // The next message, or "" when none comes within 10 s.
  std::string Next() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return "";
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_;
};

// Under a unit with WatchdogSec= the server tells it that it listens, then,
// while it turns, its status with WATCHDOG=1, and STOPPING=1 at the end.
TEST(ServiceNotifications, ReadyThenStatusWithWatchdogThenStopping) {
  testing::TempDir dir;
  NotifySocket notify(dir.File("notify"));
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "300000", 1);
  ServerProcess server(dir.File("vigia.db"));
  server.Start();
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  EXPECT_EQ("READY=1", notify.Next());
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ("STATUS=0 conexões abertas, 0 requisições em andamento\nWATCHDOG=1", notify.Next());
  server.Signal(SIGTERM);
  std::string message = notify.Next();
  while (message.rfind("STATUS=0 ", 0) == 0) message = notify.Next();
  EXPECT_EQ("STOPPING=1\nSTATUS=encerrando", message);
  EXPECT_EQ(0, server.Wait());
}

}  // namespace
}  // namespace kvr

namespace kvr {
namespace {

// Every process of the test cluster stopped (SIGSTOP) while it lives: a
// database that hangs, answering nothing and refusing nothing.
class FrozenDatabase {
 public:
  explicit FrozenDatabase(testing::PgCluster& cluster) : cluster_(cluster) { cluster_.Freeze(true); }
  ~FrozenDatabase() { cluster_.Freeze(false); }
  FrozenDatabase(const FrozenDatabase&) = delete;
  FrozenDatabase& operator=(const FrozenDatabase&) = delete;

 private:
  testing::PgCluster& cluster_;
};

TEST(ServerHealth, AHungPostgreSQLIsAnswered503EachTimeItIsAsked) {
  testing::PgCluster& cluster = testing::PgCluster::Get();
  ServerProcess server(cluster.NewDatabase());
  server.Start();
  httplib::Client http("127.0.0.1", server.Port());
  http.set_read_timeout(10);
  httplib::Result before = http.Get("/saude");
  ASSERT_TRUE(before);
  EXPECT_EQ(200, before->status);
  {
    ASSERT_GE(cluster.Processes().size(), 2u);
    FrozenDatabase frozen(cluster);
    for (int i = 0; i < 2; ++i) {
      httplib::Result hung = http.Get("/saude");
      ASSERT_TRUE(hung);
      EXPECT_EQ(503, hung->status);
      EXPECT_EQ(R"({"status":"falha","banco":"sem resposta em 1 s"})", hung->body);
    }
  }
  std::string last;
  testing::WaitUntil(std::chrono::seconds(10), [&] {
    if (httplib::Result after = http.Get("/saude")) last = std::to_string(after->status);
    return last == "200";
  });
  EXPECT_EQ("200", last);
}

}  // namespace
}  // namespace kvr
