// The server's reading of a large request body while it arrives, alone: the
// body of a SetExtratoBancario call with 1,000,000 movements, gzip-compressed
// as a client posts it, handed to ReadRpcCall in pieces of 64 KiB (as the
// event loop passes them on), inflated, checked and parsed into the call's
// rows. On the two-core machine a client shares with the server, every
// processor second spent here is one the client's upload does not get.
// Run with bench/compare to set two builds side by side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "http/body_stream.h"
#include "packets.h"
#include "piecewise.h"
#include "rpc/json_rpc.h"

namespace {

// The call's body for count movements, written row by row (a JSON tree of a
// million rows would cost gigabytes).
std::string StoreBody(int count) {
  const nlohmann::json empty = kvr::testing::ManyMovements(0);
  std::string rows;
  for (int i = 0; i < count; i += 10000) {
    std::string part = kvr::testing::ManyMovements(std::min(10000, count - i), "001", "N" +
                                                   std::to_string(i) + "-")["rows"].dump();
    if (!rows.empty()) rows += ',';
    rows.append(part, 1, part.size() - 2);
  }
  std::string movements = nlohmann::json{{"fields", empty["fields"]}, {"rows", "@"}}.dump();
  movements.replace(movements.find("\"@\""), 3, "[" + rows + "]");
  std::string body = nlohmann::json{{"jsonrpc", "2.0"},
                                    {"id", 1},
                                    {"method", "SetExtratoBancario"},
                                    {"params", {kvr::testing::Header(), "@", true}}}
                         .dump();
  body.replace(body.find("\"@\""), 3, movements);
  return body;
}

void BM_ReadGzipStoreCall1M_Streamed(benchmark::State& state) {
  const std::string body = StoreBody(1000000);
  const std::string gzip = kvr::server::GzipCompress(body);
  kvr::server::BodyLimits limits;
  for (auto _ : state) {
    kvr::testing::PieceSource pieces(gzip, kvr::testing::EndsEvery(gzip.size(), 64 * 1024));
    kvr::server::RpcCall call = kvr::server::ReadRpcCall(pieces, true, limits);
    if (call.error_code != 0) {
      state.SkipWithError(call.error_message.c_str());
      break;
    }
    benchmark::DoNotOptimize(call);
  }
  state.counters["inflated_MB"] = static_cast<double>(body.size()) / 1e6;
  state.counters["gzip_MB"] = static_cast<double>(gzip.size()) / 1e6;
}
BENCHMARK(BM_ReadGzipStoreCall1M_Streamed)->Unit(benchmark::kMillisecond)->Iterations(3);

// The inflating and checking alone: the body stream read to its end.
void BM_InflateStoreBody1M(benchmark::State& state) {
  const std::string body = StoreBody(1000000);
  const std::string gzip = kvr::server::GzipCompress(body);
  for (auto _ : state) {
    kvr::testing::PieceSource pieces(gzip, kvr::testing::EndsEvery(gzip.size(), 64 * 1024));
    kvr::server::BodyStreamBuf buffer(pieces, true, body.size());
    size_t total = 0;
    char chunk[64 * 1024];
    for (std::streamsize got; (got = buffer.sgetn(chunk, sizeof chunk)) > 0;) total += got;
    if (total != body.size()) {
      state.SkipWithError("short body");
      break;
    }
  }
}
BENCHMARK(BM_InflateStoreBody1M)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
