// The movement repeat check with identical keys beside distinct ones, on real
// kvr61400-server processes on 127.0.0.1: ValidExtrato of a statement of
// 160,000 movements that all share one key (date, amount, document, FITID),
// then of one whose keys all differ, in turn, for five rounds. Prints each
// server's medians and the ratio identical / distinct (goal: under 2, the
// check being linear whatever the keys).
//
//   repeat_check_bench [SERVER_BINARY ...]
//
// Each argument names a server binary (an older build, to compare with);
// without any, this build's. All servers are measured in the same rounds, call
// by call, so that the load of other processes weighs on all alike.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "packets.h"
#include "server_process.h"
#include "timed_post.h"

namespace {

constexpr int kMovements = 160000;
constexpr int kRounds = 5;

std::string ValidExtratoBody(const nlohmann::json& movements) {
  return nlohmann::json{{"jsonrpc", "2.0"},
                        {"id", 1},
                        {"method", "ValidExtrato"},
                        {"params", {kvr::testing::Header(), movements}}}
      .dump();
}

// One server under test with its own database and account 001.
struct Measured {
  std::string binary;
  std::unique_ptr<kvr::testing::ServerProcess> server;
  std::vector<double> identical, distinct;
};

// Starts binary on a fresh database in folder (server_process.h takes the
// binary from KVR_SERVER_BINARY).
std::unique_ptr<kvr::testing::ServerProcess> Start(const std::string& binary,
                                                   const std::filesystem::path& folder, int n) {
  setenv("KVR_SERVER_BINARY", binary.c_str(), 1);
  const std::string db = (folder / ("repeat-" + std::to_string(n) + ".db")).string();
  auto added = kvr::testing::RunServerCommand({"conta", "add", "--db", db, "--codigo", "001",
                                               "--banco", "341", "--agencia", "1234", "--conta",
                                               "123456", "--tipo", "C", "--mascara", "99999-9"});
  if (added.code != 0) throw std::runtime_error(binary + ": conta add: " + added.err);
  auto server = std::make_unique<kvr::testing::ServerProcess>(db);
  server->Start();
  return server;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Measured> measured;
  for (int i = 1; i < argc; ++i) measured.push_back({argv[i], nullptr, {}, {}});
  if (measured.empty()) measured.push_back({KVR_SERVER_BINARY, nullptr, {}, {}});

  const auto folder =
      std::filesystem::temp_directory_path() / ("kvr-repeat-check-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  for (size_t i = 0; i < measured.size(); ++i)
    measured[i].server = Start(measured[i].binary, folder, static_cast<int>(i));

  const std::string identical =
      ValidExtratoBody(kvr::testing::Movements(std::vector<kvr::testing::Mov>(kMovements)));
  const std::string distinct = ValidExtratoBody(kvr::testing::ManyMovements(kMovements));
  for (int round = 0; round < kRounds; ++round) {
    for (Measured& m : measured) {
      m.identical.push_back(kvr::bench::TimedPost(m.server->Port(), identical));
      m.distinct.push_back(kvr::bench::TimedPost(m.server->Port(), distinct));
    }
  }

  std::printf("ValidExtrato of %d movements, median of %d rounds:\n", kMovements, kRounds);
  for (const Measured& m : measured) {
    const double same = Median(m.identical), apart = Median(m.distinct);
    std::printf("  %s\n    identical keys %.3f s, distinct keys %.3f s, ratio %.2f\n",
                m.binary.c_str(), same, apart, apart > 0 ? same / apart : 0);
  }
  if (measured.size() > 1) {
    const double last = Median(measured.back().identical);
    for (size_t i = 0; i + 1 < measured.size(); ++i)
      std::printf("  identical keys: %s takes %.2f times the time of %s\n",
                  measured[i].binary.c_str(), last > 0 ? Median(measured[i].identical) / last : 0,
                  measured.back().binary.c_str());
  }
  measured.clear();
  std::filesystem::remove_all(folder);
  return 0;
}
