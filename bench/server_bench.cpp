// The application server on loopback, as the screen reaches it: a real
// RpcServer and a TNetConnection client, on each storage engine: a SQLite
// file in a temporary directory, and a PostgreSQL database on a cluster the
// benchmark makes itself (fsync on, as SQLite's synchronous = FULL). Goals:
// storing a 100,000-movement statement (packet encoding and HTTP included)
// under 3 s, on PostgreSQL within 1.5 times SQLite's time; GetContaCorrente
// round trip under 2 ms median, on PostgreSQL within 3 times SQLite's; the
// same round trip over HTTPS on a kept-alive connection within 2 times
// plain HTTP's.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "host/net_connection.h"
#include "host/server_url.h"
#include "rpc/import_module.h"
#include "store/open_store.h"
#include "packets.h"
#include "pg_cluster.h"
#include "rpc/rpc_server.h"
#include "temp_dir.h"

namespace {

using kvr::TNetConnection;
using kvr::TServerArg;
using kvr::TServerResult;

enum Engine { kSqlite, kPostgres };

// One server per engine for the whole run.
struct LoopbackServer {
  explicit LoopbackServer(Engine engine)
      : store(kvr::server::OpenStore(engine == kSqlite ? dir.File("bench.db")
                                                         : kvr::testing::PgCluster::Get(true)
                                                               .NewDatabase(),
                                     true)),
        module(*store),
        server(module, Options()) {
    store->AddAccount({"001", "341", "1234", "123456", "C", "99999-9"});
    port = server.Bind();
    thread = std::thread([this] { server.Run(); });
  }
  ~LoopbackServer() {
    server.Stop();
    thread.join();
  }
  static kvr::server::ServerOptions Options() {
    kvr::server::ServerOptions options;
    options.port = 0;
    return options;
  }
  std::unique_ptr<TNetConnection> Connect() const {
    auto net = std::make_unique<TNetConnection>(nullptr);
    net->ServerName = kvr::server::ImportModule::kName;
    net->Host = "127.0.0.1";
    net->Port = port;
    net->SetConnected(true);
    return net;
  }

  kvr::testing::TempDir dir;
  std::unique_ptr<kvr::server::Store> store;
  kvr::server::ImportModule module;
  kvr::server::RpcServer server;
  int port = 0;
  std::thread thread;
};

LoopbackServer& Server(Engine engine) {
  static LoopbackServer sqlite(kSqlite);
  if (engine == kSqlite) return sqlite;
  static LoopbackServer postgres(kPostgres);
  return postgres;
}

void BM_StoreStatementOf100000Movements(benchmark::State& state, Engine engine) {
  auto net = Server(engine).Connect();
  static int statement = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Every round stores a new statement: its own year and FITIDs.
    ++statement;
    const std::string year = std::to_string(2100 + statement);
    nlohmann::json header =
        kvr::testing::Header("001", year + "-01-01T00:00:00", year + "-01-31T00:00:00");
    nlohmann::json movements =
        kvr::testing::ManyMovements(100000, "001", "S" + std::to_string(statement) + "-", year);
    state.ResumeTiming();
    TServerResult result = net->Call(
        "SetExtratoBancario", {TServerArg::Packet(header), TServerArg::Packet(movements), true});
    if (result.Failed() || result.Payload() != true) {
      state.SkipWithError("statement not stored");
      break;
    }
    state.PauseTiming();
    bytes = movements.dump().size();
    state.ResumeTiming();
  }
  state.counters["request_bytes"] = static_cast<double>(bytes);
}
BENCHMARK_CAPTURE(BM_StoreStatementOf100000Movements, SQLite, kSqlite)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_StoreStatementOf100000Movements, PostgreSQL, kPostgres)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_GetContaCorrenteRoundTrip(benchmark::State& state, Engine engine) {
  auto net = Server(engine).Connect();
  for (auto _ : state) {
    TServerResult result = net->Call("GetContaCorrente", {"0341", "123456"});
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK_CAPTURE(BM_GetContaCorrenteRoundTrip, SQLite, kSqlite)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_GetContaCorrenteRoundTrip, PostgreSQL, kPostgres)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Seconds since start.
double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The engines compared call by call: SQLite, then PostgreSQL, then SQLite
// again, so that the load of other processes on the machine weighs on both
// alike. call(net) makes one call and returns the seconds it took (negative
// when it failed). Counters: each engine's median (in unit per second) and
// the ratio PostgreSQL / SQLite (goals: under 1.5 for the store, under 3 for
// the account round trip).
template <typename Call>
void Alternate(benchmark::State& state, Call&& call, double unit) {
  std::unique_ptr<TNetConnection> nets[2] = {Server(kSqlite).Connect(),
                                             Server(kPostgres).Connect()};
  std::vector<double> times[2];
  for (auto _ : state) {
    for (int engine = 0; engine < 2; ++engine) {
      const double seconds = call(*nets[engine]);
      if (seconds < 0) {
        state.SkipWithError("call failed");
        return;
      }
      times[engine].push_back(seconds * unit);
    }
  }
  const double sqlite = Median(times[0]), postgres = Median(times[1]);
  state.counters["sqlite"] = sqlite;
  state.counters["postgresql"] = postgres;
  state.counters["ratio"] = sqlite > 0 ? postgres / sqlite : 0;
}

void BM_EnginesAlternating_Store100000Movements_ms(benchmark::State& state) {
  static int statement = 0;
  Alternate(
      state,
      [](TNetConnection& net) {
        ++statement;
        const std::string year = std::to_string(3100 + statement);
        nlohmann::json header =
            kvr::testing::Header("001", year + "-01-01T00:00:00", year + "-01-31T00:00:00");
        nlohmann::json movements = kvr::testing::ManyMovements(
            100000, "001", "A" + std::to_string(statement) + "-", year);
        const auto start = std::chrono::steady_clock::now();
        TServerResult result = net.Call(
            "SetExtratoBancario", {TServerArg::Packet(header), TServerArg::Packet(movements), true});
        const double seconds = Since(start);
        return !result.Failed() && result.Payload() == true ? seconds : -1.0;
      },
      1e3);
}
BENCHMARK(BM_EnginesAlternating_Store100000Movements_ms)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_EnginesAlternating_GetContaCorrente_us(benchmark::State& state) {
  Alternate(
      state,
      [](TNetConnection& net) {
        const auto start = std::chrono::steady_clock::now();
        TServerResult result = net.Call("GetContaCorrente", {"0341", "123456"});
        const double seconds = Since(start);
        return !result.Failed() && result.Payload()["rows"].size() == 1 ? seconds : -1.0;
      },
      1e6);
}
BENCHMARK(BM_EnginesAlternating_GetContaCorrente_us)->Unit(benchmark::kMicrosecond);

// The SQLite store served twice at once, over plain HTTP and over HTTPS with
// a certificate of a throwaway CA made by openssl.
struct TlsAndPlain {
  TlsAndPlain()
      : store(kvr::server::OpenStore(dir.File("tls.db"), true)), module(*store) {
    store->AddAccount({"001", "341", "1234", "123456", "C", "99999-9"});
    const std::string ca = dir.File("ca"), cert = dir.File("cert");
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-keyout " + ca + ".key -out " + ca + ".pem -subj /CN=ca 2>/dev/null && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + cert +
        ".key -out " + cert + ".csr -subj /CN=127.0.0.1 2>/dev/null && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' > " + cert + ".ext && "
        "openssl x509 -req -in " + cert + ".csr -CA " + ca + ".pem -CAkey " + ca +
        ".key -CAcreateserial -days 2 -out " + cert + ".pem -extfile " + cert +
        ".ext 2>/dev/null";
    if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl failed");
    chmod((cert + ".key").c_str(), 0600);
    ca_file = ca + ".pem";
    tls = std::make_unique<kvr::server::TlsCredentials>(cert + ".pem", cert + ".key");
    kvr::server::ServerOptions options;
    options.port = 0;
    plain = std::make_unique<kvr::server::RpcServer>(module, options);
    options.tls = tls.get();
    secure = std::make_unique<kvr::server::RpcServer>(module, options);
    ports[0] = plain->Bind();
    ports[1] = secure->Bind();
    threads[0] = std::thread([this] { plain->Run(); });
    threads[1] = std::thread([this] { secure->Run(); });
  }
  ~TlsAndPlain() {
    plain->Stop();
    secure->Stop();
    for (std::thread& thread : threads) thread.join();
  }

  kvr::testing::TempDir dir;
  std::unique_ptr<kvr::server::Store> store;
  kvr::server::ImportModule module;
  std::unique_ptr<kvr::server::TlsCredentials> tls;
  std::unique_ptr<kvr::server::RpcServer> plain, secure;
  std::string ca_file;
  int ports[2] = {0, 0};
  std::thread threads[2];
};

// GetContaCorrente over plain HTTP and over HTTPS in turn, each on its own
// kept-alive connection. Counters: each one's median (microseconds) and the
// ratio HTTPS / HTTP (goal: under 2).
void BM_TlsVsPlain_GetContaCorrente_us(benchmark::State& state) {
  static TlsAndPlain servers;
  kvr::SetHttpsCaFile(servers.ca_file);
  std::unique_ptr<TNetConnection> nets[2];
  for (int i = 0; i < 2; ++i) {
    nets[i] = std::make_unique<TNetConnection>(nullptr);
    nets[i]->ServerName = kvr::server::ImportModule::kName;
    nets[i]->Host = i == 0 ? "127.0.0.1" : "https://127.0.0.1";
    nets[i]->Port = servers.ports[i];
    nets[i]->SetConnected(true);
  }
  std::vector<double> times[2];
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      const auto start = std::chrono::steady_clock::now();
      TServerResult result = nets[i]->Call("GetContaCorrente", {"0341", "123456"});
      times[i].push_back(Since(start) * 1e6);
      if (result.Failed() || result.Payload()["rows"].size() != 1) {
        state.SkipWithError("call failed");
        return;
      }
    }
  }
  const double plain = Median(times[0]), tls = Median(times[1]);
  state.counters["http"] = plain;
  state.counters["https"] = tls;
  state.counters["ratio"] = plain > 0 ? tls / plain : 0;
}
BENCHMARK(BM_TlsVsPlain_GetContaCorrente_us)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
