// Two servers on one PostgreSQL database behind HAProxy, configured as the
// shipped example says: imports go on when a server stops, fail with a clear
// message while the database is down, resume after, and store nothing twice.
#include <gtest/gtest.h>
#include <httplib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/net_connection.h"
#include "packets.h"
#include "pg_cluster.h"
#include "platform/errors.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

using Clock = std::chrono::steady_clock;
using testing::Header;
using testing::ManyMovements;
using testing::PgCluster;
using testing::RunServerCommand;
using testing::ServerProcess;

const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

// The haproxy program, or "" when it is not installed.
std::string HaproxyBinary() {
  for (const char* path : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

// text with from replaced by to; from must be there (the example and this
// test must not drift apart).
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) {
    ADD_FAILURE() << "the example has no \"" << from << "\"";
    return text;
  }
  return text.replace(at, from.size(), to);
}

// The shipped example on loopback: its global section (a daemon dropping
// privileges in a chroot) replaced, plain HTTP to the balancer and to the
// servers (TLS is tested with the server itself), quicker health checks.
std::string LoopbackConfig(int balancer, int one, int two) {
  std::ifstream file(KVR_SOURCE_DIR "/packaging/examples/haproxy.cfg");
  std::stringstream read;
  read << file.rdbuf();
  std::string config;
  bool global = false;
  std::istringstream lines(read.str());
  for (std::string line; std::getline(lines, line);) {
    if (line == "global") global = true;
    else if (!line.empty() && line[0] != ' ' && line[0] != '#') global = false;
    if (!global) config += line + "\n";
  }
  const std::string tls = " ssl verify required ca-file /etc/kvr61400/ac.pem";
  config = Replaced(config, "bind :8061 ssl crt /etc/haproxy/kvr61400.pem",
                    "bind 127.0.0.1:" + std::to_string(balancer));
  config = Replaced(config, "10.0.0.11:8061 check" + tls, "127.0.0.1:" + std::to_string(one) + " check");
  config = Replaced(config, "10.0.0.12:8061 check" + tls, "127.0.0.1:" + std::to_string(two) + " check");
  config = Replaced(config, "inter 2s", "inter 300ms");
  config = Replaced(config, "/etc/haproxy/errors/kvr61400-503.http",
                    KVR_SOURCE_DIR "/packaging/examples/kvr61400-503.http");
  return "global\n    maxconn 256\n\n" + config;
}

// haproxy in the foreground, stopped when the object goes.
class Balancer {
 public:
  Balancer(const std::string& binary, const std::string& config, const std::string& log) {
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      execl(binary.c_str(), binary.c_str(), "-db", "-f", config.c_str(), nullptr);
      _exit(127);
    }
  }
  ~Balancer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Balancer(const Balancer&) = delete;
  Balancer& operator=(const Balancer&) = delete;

 private:
  pid_t pid_;
};

// GET /saude at port until it answers status (or 20 s pass); its last answer.
std::string SaudeWhen(int port, int status) {
  std::string last = "(sem resposta)";
  testing::WaitUntil(std::chrono::seconds(20), [&] {
    httplib::Client http("127.0.0.1", port);
    http.set_connection_timeout(2);
    httplib::Result answer = http.Get("/saude");
    if (answer) last = std::to_string(answer->status) + " " + answer->body;
    return answer && answer->status == status;
  });
  return last;
}

// Imports statement n (January of year 2020 + n, three movements) through
// the server at port as the screen does; "" when stored, else what failed.
std::string Import(int port, int n) {
  const std::string year = std::to_string(2020 + n);
  const nlohmann::json header = Header("001", year + "-01-01T00:00:00", year + "-01-31T00:00:00");
  const nlohmann::json movements = ManyMovements(3, "001", "B" + std::to_string(n), year);
  try {
    TNetConnection net(nullptr);
    net.ServerName = "kvr61400.rdmImportOFX";
    net.Host = "127.0.0.1";
    net.Port = port;
    net.SetConnected(true);
    if (CheckResultServ(net.Call("GetContaCorrente", {"341", "123456"}), false, 0)["rows"].size() != 1)
      return "conta não encontrada";
    const bool valid = CheckResultServ(net.Call("ValidExtrato", {TServerArg::Packet(header),
                                                                 TServerArg::Packet(movements)}),
                                       false, 0)
                           .get<bool>();
    // Stored regardless of the answer: the server must refuse a repeat.
    (void)valid;
    const bool stored =
        CheckResultServ(net.Call("SetExtratoBancario", {TServerArg::Packet(header),
                                                        TServerArg::Packet(movements), true}),
                        false, 0)
            .get<bool>();
    return stored ? "" : "já cadastrado";
  } catch (const std::exception& error) {
    return error.what();
  }
}

// Starts the cluster again when the test leaves it stopped.
struct ClusterRunning {
  PgCluster& cluster;
  bool stopped = false;
  ~ClusterRunning() {
    if (stopped) cluster.Start();
  }
};

TEST(LoadBalancer, TwoServersOnOnePostgreSQLBehindHAProxy) {
  const std::string haproxy = HaproxyBinary();
  if (haproxy.empty())
    GTEST_SKIP() << "haproxy não está instalado (scripts/install-deps o instala): o teste do "
                    "balanceador de carga não roda.";
  PgCluster& cluster = PgCluster::Get();
  const std::string uri = cluster.NewDatabase();
  testing::CommandResult added =
      RunServerCommand({"conta", "add", "--codigo", "001", "--banco", "341", "--agencia", "1234",
                        "--conta", "123456", "--tipo", "C", "--db", uri});
  ASSERT_EQ(0, added.code) << added.err;
  ServerProcess one(uri), two(uri);
  one.Start();
  two.Start();

  testing::TempDir dir;
  const int port = testing::FreeLoopbackPort();
  {
    std::ofstream(dir.File("haproxy.cfg")) << LoopbackConfig(port, one.Port(), two.Port());
  }
  const std::string check = haproxy + " -c -q -f " + dir.File("haproxy.cfg") + " 2>" +
                            dir.File("check.log");
  ASSERT_EQ(0, std::system(check.c_str())) << "haproxy -c recusou a configuração; veja " << dir.File("check.log");
  Balancer balancer(haproxy, dir.File("haproxy.cfg"), dir.File("haproxy.log"));
  ASSERT_EQ(R"(200 {"status":"ok","banco":"ok"})", SaudeWhen(port, 200));

  EXPECT_EQ("", Import(port, 1));
  one.Signal(SIGTERM);
  EXPECT_EQ(0, one.Wait());
  // Before and after the balancer sees it down.
  EXPECT_EQ("", Import(port, 2));
  EXPECT_EQ("", Import(port, 3));

  ClusterRunning running{cluster};
  cluster.Stop();
  running.stopped = true;
  EXPECT_EQ(R"(503 {"status":"falha","banco":"inacessível"})", SaudeWhen(two.Port(), 503));
  const std::string failed = Import(port, 4);
  // The server's word or the balancer's, both in Portuguese (Windows-1252).
  EXPECT_NE(std::string::npos, failed.find("banco de dados")) << failed;
  EXPECT_EQ(503, std::stoi(SaudeWhen(port, 503)));

  cluster.Start();
  running.stopped = false;
  EXPECT_EQ(R"(200 {"status":"ok","banco":"ok"})", SaudeWhen(port, 200));
  EXPECT_EQ("", Import(port, 4));
  EXPECT_EQ("já cadastrado", Import(port, 1));
  EXPECT_EQ("já cadastrado", Import(port, 2));

  const std::string name = uri.substr(uri.rfind('/') + 1);
  EXPECT_EQ("4", cluster.Execute(name, "SELECT count(*) FROM extrbanco"));
  EXPECT_EQ("12", cluster.Execute(name, "SELECT count(*) FROM movextrbanco"));
}

}  // namespace
}  // namespace kvr
