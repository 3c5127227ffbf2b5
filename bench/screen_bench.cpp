// The import screen end to end against a real kvr61400-server on 127.0.0.1:
// a 100,000-transaction statement loaded (search button to grid filled; goal
// under 1 s) and confirmed (repeat scan, packets, server validation and store;
// goal under 5 s).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/make_statement.h"
#include "host/net_connection.h"
#include "host/host_library.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "screen/import_ofx_form.h"
#include "server_process.h"

namespace {

constexpr std::size_t kTransactions = 100000;

// A host library that answers the file chooser with one file and says yes to
// every question; messages are counted, not shown.
class QuietHost : public kvr::THostLibrary {
 public:
  std::string file;
  int port = 0;
  int errors = 0;
  int successes = 0;

  void ShowError(const std::string&) override { ++errors; }
  int MsgAlert(const std::string&, kvr::TMsgDlgType, const std::vector<std::string>&, int) override {
    return 12;
  }
  void ShowMessage(const std::string&, kvr::TMsgDlgType, int) override { ++successes; }
  void ActiveShowAvi(kvr::TComponent*, int) override {}
  void DeactiveShowAvi() override {}
  std::string WebURL() override { return "127.0.0.1"; }
  int WebPort() override { return port; }
  bool ExecuteOpenDialog(const std::string&, std::string& file_name) override {
    file_name = file;
    return true;
  }
  void SetScreenCursor(int) override {}
  void ShowForm(kvr::TForm&) override {}
  kvr::TComponent* Application() override { return nullptr; }
  kvr::TComponent* MainForm() override { return nullptr; }
};

const std::filesystem::path& Folder() { return kvr::bench::RunFolder("kvr-screen-bench"); }

const std::string& StatementFile() {
  static const std::string path = [] {
    std::string p = (Folder() / "extrato-100000.ofx").string();
    kvr::bench::WriteStatement(p, kTransactions, true);
    return p;
  }();
  return path;
}

// A server with a fresh database holding the statement's account.
std::unique_ptr<kvr::testing::ServerProcess> FreshServer(int run) {
  const std::string db = (Folder() / ("db-" + std::to_string(run) + ".sqlite")).string();
  std::filesystem::remove(db);
  auto r = kvr::testing::RunServerCommand({"conta", "add", "--db", db, "--codigo", "001", "--banco",
                                           "341", "--agencia", "1234", "--conta", "123456",
                                           "--tipo", "C", "--mascara", "99999-9"});
  if (r.code != 0) throw std::runtime_error("conta add: " + r.err);
  auto server = std::make_unique<kvr::testing::ServerProcess>(db);
  server->Start();
  return server;
}

void Load(kvr::TfrmImportOFX& form) { form.BtnPesquisa1->UserClick(); }

// A server that answers at once: the account of the statement, and true to
// validation and storage. Its calls still have their bodies written (and
// counted, as the HTTP transport does before sending), so what the screen
// does before the wire is measured alone.
class InstantServer : public kvr::RpcTransport {
 public:
  void Open(const std::string&, int) override {}
  void Close() override {}
  kvr::RpcResponse Call(const std::string&, const kvr::RpcRequest& request) override {
    struct Counter : kvr::JsonSink {
      std::size_t bytes = 0;
      void Flush() override {
        bytes += text.size();
        text.clear();
      }
    } counter;
    request.WriteBody(counter);
    counter.Flush();
    const std::string id = std::to_string(request.Id());
    if (request.Method() == "GetContaCorrente") {
      return {200, R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{"fields":[)"
                   R"({"name":"CDREDUCONT","type":"string","size":3},{"name":"CDBANCO","type":"string","size":3},)"
                   R"({"name":"CDAGENCIA","type":"string","size":5},{"name":"CDCONTCORR","type":"string","size":10},)"
                   R"({"name":"CDPICTCONT","type":"string","size":20},{"name":"IDTIPOCCORR","type":"string","size":20}],)"
                   R"("rows":[["001","341","1234","123456","99999-9","C"]]}})"};
    }
    const bool full = counter.bytes > kTransactions * 50;
    return {200, R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":)" + (full ? "true" : "false") + "}"};
  }
};

// The confirmation without the wire: stamp, repeat scan, copy and packets.
void BM_ConfirmModelOnly100k(benchmark::State& state) {
  kvr::FormatSettings.DecimalSeparator = ',';
  kvr::FormatSettings.ThousandSeparator = '.';
  QuietHost host;
  host.file = StatementFile();
  kvr::SetHostLibrary(&host);
  kvr::SetImportOFXTransportFactory([] { return std::make_unique<InstantServer>(); });
  {
    kvr::TfrmImportOFX form(nullptr);
    Load(form);
    for (auto _ : state) {
      host.successes = 0;
      form.sbtConfirma->UserClick();
      if (host.successes != 1) {
        state.SkipWithError("the statement was not accepted");
        break;
      }
    }
  }
  kvr::SetImportOFXTransportFactory(nullptr);
  kvr::SetHostLibrary(nullptr);
}
BENCHMARK(BM_ConfirmModelOnly100k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LoadStatement100k(benchmark::State& state) {
  kvr::FormatSettings.DecimalSeparator = ',';
  kvr::FormatSettings.ThousandSeparator = '.';
  auto server = FreshServer(0);
  QuietHost host;
  host.file = StatementFile();
  host.port = server->Port();
  kvr::SetHostLibrary(&host);
  {
    kvr::TfrmImportOFX form(nullptr);
    for (auto _ : state) {
      Load(form);
      if (form.dbgExtrBanco->RowCount() != static_cast<int>(kTransactions)) {
        state.SkipWithError("the grid does not show every transaction");
        break;
      }
    }
  }
  kvr::SetHostLibrary(nullptr);
  state.counters["transactions"] = static_cast<double>(kTransactions);
}
BENCHMARK(BM_LoadStatement100k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ConfirmStatement100k(benchmark::State& state) {
  kvr::FormatSettings.DecimalSeparator = ',';
  kvr::FormatSettings.ThousandSeparator = '.';
  QuietHost host;
  host.file = StatementFile();
  kvr::SetHostLibrary(&host);
  int run = 1;
  for (auto _ : state) {
    state.PauseTiming();
    auto server = FreshServer(run++);
    host.port = server->Port();
    host.successes = 0;
    auto form = std::make_unique<kvr::TfrmImportOFX>(nullptr);
    Load(*form);
    state.ResumeTiming();
    try {
      form->sbtConfirma->UserClick();
    } catch (const kvr::Exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    state.PauseTiming();
    if (host.successes != 1) state.SkipWithError("the statement was not stored");
    form.reset();
    server.reset();
    state.ResumeTiming();
  }
  kvr::SetHostLibrary(nullptr);
  state.counters["transactions"] = static_cast<double>(kTransactions);
}
BENCHMARK(BM_ConfirmStatement100k)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
