#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wait_until.h"

namespace kvr::testing {

// True when this build runs under AddressSanitizer (memory figures then
// count its own shadow and quarantine).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The server binary under test; the environment variable KVR_SERVER_BINARY
// names another (benchmarks compare builds with it).
inline const char* ServerBinary() {
  const char* other = std::getenv("KVR_SERVER_BINARY");
  return other != nullptr && *other != '\0' ? other : KVR_SERVER_BINARY;
}

// A kvr61400-server serving on 127.0.0.1 with a free port (or as the extra
// arguments of serve say), started by the test and stopped (SIGKILL when
// still running) when the object goes. Its stderr is read all along so that
// the log never blocks it.
class ServerProcess {
 public:
  explicit ServerProcess(std::string db, std::vector<std::string> extra = {})
      : db_(std::move(db)), extra_(std::move(extra)) {}
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The server runs with at most bytes of address space (RLIMIT_AS), so
  // that a request that outgrows it fails there and then instead of taking
  // the machine's memory. Ignored under AddressSanitizer, whose shadow memory
  // needs terabytes of addresses.
  void LimitAddressSpace(size_t bytes) { address_space_ = bytes; }

  // The most memory the server held resident so far (VmHWM), in bytes; 0
  // when it cannot be read.
  size_t PeakResident() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
  }

  // Starts the server and waits for its "ouvindo em" line; throws when it
  // does not come within 10 s.
  void Start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      if (address_space_ > 0 && !kSanitized) {
        const rlimit limit{address_space_, address_space_};
        setrlimit(RLIMIT_AS, &limit);
      }
      std::vector<const char*> argv = {ServerBinary(), "serve", "--listen", "127.0.0.1:0",
                                       "--db", db_.c_str()};
      for (const std::string& arg : extra_) argv.push_back(arg.c_str());
      argv.push_back(nullptr);
      execv(ServerBinary(), const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { ReadLog(fd); });
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return port_ > 0 || ended_; }) ||
        port_ <= 0)
      throw std::runtime_error("kvr61400-server did not start");
  }

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

  void Signal(int signal) { kill(pid_, signal); }

  // Waits for the process to end; returns its exit code, or 128 + signal.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Whether the process ended within limit (polled every 10 ms); when it
  // did, its exit code is in code (as Wait returns it).
  bool EndsWithin(std::chrono::milliseconds limit, int& code) {
    int status = 0;
    if (!WaitUntil(limit, [&] { return waitpid(pid_, &status, WNOHANG) != 0; },
                   std::chrono::milliseconds(10)))
      return false;
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // The log once done(lines) holds, or as it is after 10 seconds: a line is
  // written before the answer goes out, but read here by another thread.
  template <typename Done>
  std::vector<std::string> LogWhen(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ended_ || done(lines_); });
    return lines_;
  }

 private:
  void ReadLog(int fd) {
    std::string pending;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
      pending.append(buffer, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string marker = "ouvindo em ";
        if (auto at = line.find(marker); at != std::string::npos && port_ == 0) {
          const std::string address = line.substr(at + marker.size());
          const size_t colon = address.rfind(':', address.find(' '));
          port_ = std::stoi(address.substr(colon + 1));
        }
        lines_.push_back(line);
        changed_.notify_all();
      }
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  std::string db_;
  std::vector<std::string> extra_;
  size_t address_space_ = 0;
  pid_t pid_ = -1;
  int port_ = 0;
  bool ended_ = false;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// What one administration command printed and answered.
struct CommandResult {
  int code = -1;
  std::string out, err;
};

// Runs kvr61400-server with args and collects its output. Its standard
// input is empty (never the terminal the tests run from) or, with terminal,
// a terminal on which that text was typed.
inline CommandResult RunServerCommand(const std::vector<std::string>& args,
                                      const std::string* terminal = nullptr) {
  int out_fds[2], err_fds[2];
  if (pipe2(out_fds, O_CLOEXEC) != 0 || pipe2(err_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  int master = -1;
  if (terminal != nullptr) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      throw std::runtime_error("pty");
    // Typed ahead: the terminal keeps it until the command reads.
    if (write(master, terminal->data(), terminal->size()) != static_cast<ssize_t>(terminal->size()))
      throw std::runtime_error("pty write");
  }
  pid_t pid = fork();
  if (pid == 0) {
    const int in = master >= 0 ? open(ptsname(master), O_RDWR) : open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out_fds[1], 1);
    dup2(err_fds[1], 2);
    close(out_fds[0]);
    close(err_fds[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ServerBinary()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(ServerBinary(), argv.data());
    _exit(127);
  }
  close(out_fds[1]);
  close(err_fds[1]);
  CommandResult result;
  std::thread err_reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read(err_fds[0], buffer, sizeof buffer)) > 0)
      result.err.append(buffer, static_cast<size_t>(n));
  });
  char buffer[4096];
  ssize_t n;
  while ((n = read(out_fds[0], buffer, sizeof buffer)) > 0)
    result.out.append(buffer, static_cast<size_t>(n));
  err_reader.join();
  close(out_fds[0]);
  close(err_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (master >= 0) close(master);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// What kvr61400-server printed for args, read as JSON; null (and the test
// failed) when the command did not succeed.
inline nlohmann::json CommandJson(const std::vector<std::string>& args) {
  CommandResult result = RunServerCommand(args);
  EXPECT_EQ(0, result.code) << result.err;
  return result.code == 0 ? nlohmann::json::parse(result.out) : nlohmann::json();
}

// The statements stored in the database at db, as `extrato list` lists them.
inline nlohmann::json StoredStatements(const std::string& db) {
  return CommandJson({"extrato", "list", "--json", "--db", db});
}

// Statement seq of the database at db, as `extrato show` shows it.
inline nlohmann::json StoredStatement(const std::string& db, int seq) {
  return CommandJson({"extrato", "show", std::to_string(seq), "--json", "--db", db});
}

// Registers account 001 (bank 341, agency 1234, account 123456) in db.
inline void AddAccount(const std::string& db) {
  CommandResult result =
      RunServerCommand({"conta", "add", "--codigo", "001", "--banco", "341", "--agencia", "1234",
                        "--conta", "123456", "--tipo", "C", "--db", db});
  ASSERT_EQ(0, result.code) << result.err;
}

// The key usuario add printed: its whole output, one line.
inline std::string AddUser(const std::string& db, const std::string& name, bool administrator) {
  std::vector<std::string> args = {"usuario", "add", name, "--db", db};
  if (administrator) args.push_back("--administrador");
  CommandResult result = RunServerCommand(args);
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(49u, result.out.size()) << result.out;
  return result.out.substr(0, result.out.find('\n'));
}

}  // namespace kvr::testing
