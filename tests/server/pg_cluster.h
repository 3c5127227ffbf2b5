#pragma once

#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>

namespace kvr::testing {

// A free TCP port on 127.0.0.1 (free when asked; taken soon after).
inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A PostgreSQL cluster of its own for one test (or benchmark) process:
// initdb in a temporary folder, a postgres server listening on no TCP port at
// all, only on its Unix socket in that folder (no port to race for with
// other processes), trust authentication for the user "postgres". Run as
// that system user when the process is root, since PostgreSQL refuses root.
// Stopped and removed when the process ends. durable false turns fsync off:
// faster, and safe while the machine stays up.
class PgCluster {
 public:
  // The process's cluster, started on first use. Throws std::runtime_error
  // saying what failed (its server log included) when it cannot start.
  static PgCluster& Get(bool durable = false) {
    static std::unique_ptr<PgCluster> cluster;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    if (!cluster) cluster.reset(new PgCluster(durable));
    return *cluster;
  }

  ~PgCluster() {
    Run(Tool("pg_ctl") + " -D " + data_ + " -m immediate -w stop >/dev/null 2>&1");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  // The port number in the name of the cluster's socket (no TCP port).
  static constexpr int kPort = 5432;

  // The URI of database name on this cluster: its socket folder as the host,
  // written percent-encoded ("postgresql://postgres@%2Ftmp%2F...:5432/NAME").
  std::string Uri(const std::string& name) const {
    std::string host;
    for (const char c : root_) {
      const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                         c == '.' || c == '~';
      if (plain) {
        host += c;
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
        host += escaped;
      }
    }
    return "postgresql://postgres@" + host + ":" + std::to_string(kPort) + "/" + name;
  }

  // Creates an empty database with a new name and returns its URI.
  std::string NewDatabase() {
    static std::atomic<int> next{0};
    const std::string name = "kvr_" + std::to_string(getpid()) + "_" + std::to_string(++next);
    Execute("postgres", "CREATE DATABASE " + name + " ENCODING 'UTF8' TEMPLATE template0");
    return Uri(name);
  }

  // Runs sql on database name; returns the first value of its first row
  // (empty when none). Throws std::runtime_error with the server's message.
  std::string Execute(const std::string& name, const std::string& sql) const {
    PGconn* conn = PQconnectdb(Uri(name).c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
      std::string message = PQerrorMessage(conn);
      PQfinish(conn);
      throw std::runtime_error("PostgreSQL: " + message);
    }
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    std::string value;
    if (status == PGRES_TUPLES_OK && PQntuples(result) > 0 && PQnfields(result) > 0)
      value = PQgetvalue(result, 0, 0);
    std::string message = PQerrorMessage(conn);
    PQclear(result);
    PQfinish(conn);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
      throw std::runtime_error("PostgreSQL: " + message);
    return value;
  }

  // The postmaster's process id and those of its children (the sessions and
  // the background workers), for a test that freezes the database.
  std::vector<pid_t> Processes() const {
    std::vector<pid_t> found;
    std::ifstream pid_file(data_ + "/postmaster.pid");
    pid_t postmaster = 0;
    if (!(pid_file >> postmaster)) return found;
    found.push_back(postmaster);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::ifstream stat(entry.path() / "stat");
      std::string line;
      if (!std::getline(stat, line)) continue;
      // "pid (name) state ppid ...": the name may hold blanks, not ")".
      const size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 1));
      std::string state;
      pid_t parent = 0;
      if (rest >> state >> parent && parent == postmaster)
        found.push_back(static_cast<pid_t>(std::stol(line)));
    }
    return found;
  }

  // Stops the server (fast: sessions are ended) until Start.
  void Stop() {
    if (!Run(Tool("pg_ctl") + " -D " + data_ + " -m fast -w -t 60 stop >/dev/null"))
      throw std::runtime_error("pg_ctl stop failed");
  }
  // Starts a stopped server again.
  void Start() {
    if (!Run(Tool("pg_ctl") + " -D " + data_ + " -w -t 60 -l " + data_ + "/server.log start >/dev/null"))
      throw std::runtime_error("pg_ctl start failed; see " + data_ + "/server.log");
  }

  // Freezes the server and every session of it (SIGSTOP), as a database
  // machine that stopped answering, or thaws them (SIGCONT). Connections are
  // still accepted by the system while it is frozen; nothing answers them.
  void Freeze(bool frozen) const {
    const std::vector<pid_t> processes = Processes();
    if (processes.empty()) throw std::runtime_error("no postmaster.pid in " + data_);
    for (const pid_t pid : processes) kill(pid, frozen ? SIGSTOP : SIGCONT);
  }

  // Stops the server (fast: sessions are ended) and starts it again.
  void Restart() {
    if (!Run(Tool("pg_ctl") + " -D " + data_ + " -m fast -w -t 60 -l " + data_ +
             "/server.log restart >/dev/null"))
      throw std::runtime_error("pg_ctl restart failed");
  }

 private:
  explicit PgCluster(bool durable) {
    // As root the folder must be reachable by the postgres user: /tmp is,
    // a TMPDIR under /root may not be.
    const std::filesystem::path temp =
        geteuid() == 0 ? std::filesystem::path("/tmp") : std::filesystem::temp_directory_path();
    std::string pattern = (temp / "kvr61400-pg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    data_ = root_ + "/data";
    bindir_ = BinDir();
    if (geteuid() == 0) {
      const passwd* user = getpwnam("postgres");
      if (user == nullptr)
        throw std::runtime_error("running as root but there is no postgres user to run PostgreSQL");
      if (chown(root_.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error("chown of " + root_);
      as_ = "runuser -u postgres -- ";
    }
    if (!Run(Tool("initdb") + " -D " + data_ +
             " -U postgres -E UTF8 --locale=C --auth=trust --no-sync >" + root_ +
             "/initdb.log 2>&1"))
      throw std::runtime_error("initdb failed; see " + root_ + "/initdb.log");
    // Settings written into the cluster's own file, so that a restart keeps
    // them: no TCP at all, the socket in the cluster's folder.
    std::ofstream settings(data_ + "/postgresql.conf", std::ios::app);
    settings << "listen_addresses = ''\n"
             << "unix_socket_directories = '" << root_ << "'\n"
             << "port = " << kPort << "\n"
             << "max_connections = 200\nshared_buffers = 64MB\n";
    if (!durable) settings << "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n";
    settings.close();
    if (!settings) throw std::runtime_error("cannot write " + data_ + "/postgresql.conf");
    Start();
  }

  static std::string BinDir() {
    if (const char* dir = std::getenv("KVR_PG_BINDIR")) return dir;
    std::string dir;
    if (FILE* pipe = popen("pg_config --bindir 2>/dev/null", "r")) {
      char line[512];
      if (std::fgets(line, sizeof line, pipe) != nullptr) dir = line;
      pclose(pipe);
    }
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == ' ')) dir.pop_back();
    if (!dir.empty() && std::filesystem::exists(dir + "/initdb")) return dir;
    return "/usr/lib/postgresql/15/bin";
  }

  std::string Tool(const std::string& name) const { return as_ + bindir_ + "/" + name; }
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

  std::string root_, data_, bindir_, as_;
};

}  // namespace kvr::testing

namespace kvr::testing {

// The storage engines the server's suites run against.
enum class Engine { kSqlite, kPostgres };

// Shown by GoogleTest (and CTest's test list) as the engine's name.
inline void PrintTo(Engine engine, std::ostream* out) {
  *out << (engine == Engine::kSqlite ? "SQLite" : "PostgreSQL");
}

// "SQLite" or "PostgreSQL", for parameterised test names.
struct EngineName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return info.param == Engine::kSqlite ? "SQLite" : "PostgreSQL";
  }
};

// A new, empty database of engine: the file name in folder for SQLite (not
// created yet), a new database on the process's cluster for PostgreSQL.
inline std::string NewDatabase(Engine engine, const std::string& file) {
  return engine == Engine::kSqlite ? file : PgCluster::Get().NewDatabase();
}

}  // namespace kvr::testing
