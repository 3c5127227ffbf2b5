// The server's memory with large statements, measured from /proc on a real
// kvr61400-server process on 127.0.0.1:
//  - resident memory after five different 100,000-movement stores (goal:
//    under 400 MiB; memory of a large call is given back);
//  - peak memory during the store of one 1,000,000-movement statement
//    (goal: within 5 times the OFX file that holds it, 227 MB).
// Requests go gzip, as the client sends large ones; with --plain they go
// uncompressed (for servers that do not take gzip, and then the 1M store is
// skipped: its 104 MB of JSON pass the body limit). KVR_SERVER_BINARY names
// another server binary to measure (an older build, for comparison).
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/make_statement.h"
#include "http/body_stream.h"
#include "server_process.h"
#include "timed_post.h"

namespace {

// A SetExtratoBancario request body with count movements of account 001,
// its own year and FITIDs, written as text (no JSON tree in this process).
std::string StatementRequest(int count, int statement) {
  const std::string year = std::to_string(2100 + statement);
  std::string body =
      R"({"jsonrpc":"2.0","id":1,"method":"SetExtratoBancario","params":[{"fields":[)"
      R"({"name":"CDREDUCONT","type":"string","size":3},{"name":"CDSEQUEXTR","type":"string","size":10},)"
      R"({"name":"DTSALDINIC","type":"datetime"},{"name":"DTSALDFIN","type":"datetime"},)"
      R"({"name":"VRSALDINIC","type":"float"},{"name":"VRSALDFIM","type":"float"},)"
      R"({"name":"IDEXTRINI","type":"string","size":1},{"name":"IDEXTRFIM","type":"string","size":1}],)"
      R"("rows":[["001",null,")" + year + R"(-01-01T00:00:00",")" + year +
      R"(-01-31T00:00:00",1350.0,1500.0,"C","C"]]},{"fields":[)"
      R"({"name":"CDREDUCONT","type":"string","size":3},{"name":"CDSEQUEXTR","type":"string","size":10},)"
      R"({"name":"NRSEQMOVREAL","type":"string","size":10},{"name":"NRDOCMOVREAL","type":"string","size":20},)"
      R"({"name":"DTMOVREAL","type":"datetime"},{"name":"IDMOVREAL","type":"string","size":1},)"
      R"({"name":"VRMOVREAL","type":"float"},{"name":"DSHISTMOVREAL","type":"string","size":40},)"
      R"({"name":"IDTIPOREGI","type":"string","size":2},{"name":"CDCATELANC","type":"string","size":4},)"
      R"({"name":"IDSTCONMVBAN","type":"string","size":1},{"name":"IDTPMOVREAL","type":"string","size":1},)"
      R"({"name":"CDFITIDEXTR","type":"string","size":10}],"rows":[)";
  body.reserve(static_cast<size_t>(count) * 110 + body.size());
  char row[256];
  for (int i = 0; i < count; ++i) {
    const int day = i % 28 + 1;
    std::snprintf(row, sizeof row,
                  R"(%s["001",null,null,"%d","%s-01-%02dT00:00:00","%s",%d.%02d,"PAGAMENTO FORNECEDOR %d","0",null,"0","0","S%d-%d"])",
                  i == 0 ? "" : ",", i, year.c_str(), day, i % 3 == 0 ? "C" : "D", 1 + i % 997,
                  i % 100, i, statement, i);
    body += row;
  }
  body += "]},true]}";
  return body;
}

long StatusMiB(pid_t pid, const char* name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(name) + ":";
  while (std::getline(status, line))
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size())) / 1024;
  return -1;
}

std::unique_ptr<kvr::testing::ServerProcess> FreshServer(const std::filesystem::path& folder,
                                                         const std::string& name) {
  const std::string db = (folder / name).string();
  std::filesystem::remove(db);
  auto added = kvr::testing::RunServerCommand({"conta", "add", "--db", db, "--codigo", "001",
                                               "--banco", "341", "--agencia", "1234", "--conta",
                                               "123456", "--tipo", "C", "--mascara", "99999-9"});
  if (added.code != 0) throw std::runtime_error("conta add: " + added.err);
  auto server = std::make_unique<kvr::testing::ServerProcess>(db);
  server->Start();
  return server;
}

// Stores one statement; returns the seconds it took (-1 when refused).
double Store(int port, const std::string& body, bool gzip) {
  if (!gzip) return kvr::bench::TimedPost(port, body);
  return kvr::bench::TimedPost(port, kvr::server::GzipCompress(body),
                               {{"Content-Encoding", "gzip"}});
}

}  // namespace

int main(int argc, char** argv) {
  const bool plain = argc > 1 && std::string(argv[1]) == "--plain";
  const auto folder = std::filesystem::temp_directory_path() /
                      ("kvr-server-memory-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::printf("server: %s (%s bodies)\n", kvr::testing::ServerBinary(), plain ? "plain" : "gzip");

  {
    auto server = FreshServer(folder, "five.db");
    std::printf("resident at start: %ld MiB\n", StatusMiB(server->Pid(), "VmRSS"));
    for (int i = 1; i <= 5; ++i) {
      const double seconds = Store(server->Port(), StatementRequest(100000, i), !plain);
      std::printf("100k store %d: %.2f s, resident %ld MiB\n", i, seconds,
                  StatusMiB(server->Pid(), "VmRSS"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("resident after five 100k stores: %ld MiB (peak %ld MiB)\n",
                StatusMiB(server->Pid(), "VmRSS"), StatusMiB(server->Pid(), "VmHWM"));
  }

  if (!plain) {
    const std::string ofx = (folder / "extrato-1000000.ofx").string();
    const double file_mib =
        static_cast<double>(kvr::bench::WriteStatement(ofx, 1000000, true)) / (1024 * 1024);
    std::filesystem::remove(ofx);
    const std::string body = StatementRequest(1000000, 9);
    auto server = FreshServer(folder, "million.db");
    const long before = StatusMiB(server->Pid(), "VmRSS");
    const double seconds = Store(server->Port(), body, true);
    const long peak = StatusMiB(server->Pid(), "VmHWM");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("1M store: %.2f s, request %.0f MiB of JSON; server resident before %ld MiB, "
                "peak %ld MiB = %.2fx the %.0f MiB OFX file; resident after %ld MiB\n",
                seconds, static_cast<double>(body.size()) / (1024 * 1024), before, peak,
                static_cast<double>(peak) / file_mib, file_mib, StatusMiB(server->Pid(), "VmRSS"));
  }
  std::filesystem::remove_all(folder);
  return 0;
}
