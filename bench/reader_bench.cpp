// Throughput of the statement reader on generated statements of 1,000,
// 100,000 and 1,000,000 transactions, beside a plain line scan of the same
// files, and the peak memory of one Process.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "bench/make_statement.h"
#include "platform/format_settings.h"
#include "platform/text_file.h"
#include "reader/vq_ofx_reader.h"

namespace {

struct TStatementFile {
  std::string path;
  std::size_t size = 0;
};

std::filesystem::path Folder() {
  static const std::filesystem::path folder = [] {
    auto p = std::filesystem::temp_directory_path() /
             ("kvr-reader-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return folder;
}

// The statement of n transactions, written once per run.
const TStatementFile& Statement(std::size_t n) {
  static std::map<std::size_t, TStatementFile> files;
  auto it = files.find(n);
  if (it == files.end()) {
    TStatementFile f;
    f.path = (Folder() / ("extrato-" + std::to_string(n) + ".ofx")).string();
    f.size = kvr::bench::WriteStatement(f.path, n, true);
    it = files.emplace(n, f).first;
  }
  return it->second;
}

// A /proc/self/status value in kB.
long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string name;
  long value = 0;
  while (status >> name) {
    if (name == key) {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return -1;
}

void BM_Process(benchmark::State& state) {
  const TStatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
  kvr::FormatSettings.DecimalSeparator = '.';
  kvr::TVQOFXReader reader(nullptr);
  reader.OFXFile = file.path;
  for (auto _ : state) {
    const bool ofx = reader.Process();
    benchmark::DoNotOptimize(ofx);
    if (reader.Count() != state.range(0)) state.SkipWithError("wrong number of transactions");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
  state.counters["file_MB"] = static_cast<double>(file.size) / 1e6;
}

// Reading the same file and walking its lines, with nothing else done.
void BM_LineScan(benchmark::State& state) {
  const TStatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text;
    kvr::ReadWholeFile(file.path, text);
    kvr::TLineReader lines(text);
    std::string_view line;
    std::size_t count = 0;
    while (lines.Next(line)) ++count;
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}

// The memory one Process holds at its peak, beyond what the process held
// before it, as a multiple of the file's size (the reader's records included).
void BM_ProcessPeakMemory(benchmark::State& state) {
  const TStatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
  double ratio = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const long before = StatusKb("VmRSS:");
    {
      // Resets the peak (VmHWM) to the present size.
      std::ofstream("/proc/self/clear_refs") << "5";
    }
    state.ResumeTiming();
    {
      kvr::TVQOFXReader reader(nullptr);
      reader.OFXFile = file.path;
      reader.Process();
      benchmark::DoNotOptimize(reader.Count());
    }
    state.PauseTiming();
    const long peak = StatusKb("VmHWM:");
    ratio = static_cast<double>(peak - before) * 1024.0 / static_cast<double>(file.size);
    state.ResumeTiming();
  }
  state.counters["peak_x_file"] = ratio;
}

BENCHMARK(BM_Process)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineScan)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessPeakMemory)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(Folder());
  return 0;
}
