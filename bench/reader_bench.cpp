// Throughput of the statement reader on generated statements of 1,000,
// 100,000 and 1,000,000 transactions, beside a plain line scan of the same
// files, the peak memory of one Process, and the whole `kvr61400 inspect
// --json` run as a user runs it (time and peak memory of the process).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/make_statement.h"
#include "platform/format_settings.h"
#include "platform/text_file.h"
#include "reader/vq_ofx_reader.h"

namespace {

struct StatementFile {
  std::string path;
  std::size_t size = 0;
};

const std::filesystem::path& Folder() { return kvr::bench::RunFolder("kvr-reader-bench"); }

// The statement of n transactions, written once per run.
const StatementFile& Statement(std::size_t n) {
  static std::map<std::size_t, StatementFile> files;
  auto it = files.find(n);
  if (it == files.end()) {
    StatementFile f;
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
  const StatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
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
  const StatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text;
    kvr::ReadWholeFile(file.path, text);
    kvr::LineReader lines(text);
    std::string_view line;
    std::size_t count = 0;
    while (lines.Next(line)) ++count;
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}

// The least any reading of the file takes: the file read as Process reads
// it (FileContents) and its line feeds counted with memchr. (The line scan
// above reads into a buffer of std::string: at 1,000,000 transactions the
// page faults and zero filling of that fresh buffer, not its lines, take
// most of its time.)
void BM_ReadLineCount(benchmark::State& state) {
  const StatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    kvr::FileContents contents;
    contents.Open(file.path);
    const std::string_view text = contents.Text();
    std::size_t count = 0;
    for (const char* p = text.data(), *end = p + text.size();
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr;
         ++p) {
      ++count;
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
}

// The memory one Process holds at its peak, beyond what the process held
// before it, as a multiple of the file's size (the reader's records included).
void BM_ProcessPeakMemory(benchmark::State& state) {
  const StatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
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

// Runs program with args, its output to /dev/null, from a process forked
// when this program was still small (the launcher): a spawned child's peak
// memory counts the peak of the process it was spawned from. False when it
// could not be run or did not exit with 0. peak_kb: its peak resident size.
int g_launcher_in = -1;   // requests to the launcher
int g_launcher_out = -1;  // its answers

bool SpawnAndWait(const std::vector<std::string>& args, long& peak_kb) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  peak_kb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The launcher: reads requests (the arguments, each ending in a NUL, then an
// empty one) and answers each with its outcome and peak, until its input
// closes.
void RunLauncher(int in, int out) {
  FILE* requests = ::fdopen(in, "r");
  std::vector<std::string> args;
  std::string arg;
  int c;
  while ((c = std::fgetc(requests)) != EOF) {
    if (c != 0) {
      arg.push_back(static_cast<char>(c));
      continue;
    }
    if (!arg.empty()) {
      args.push_back(arg);
      arg.clear();
      continue;
    }
    long reply[2] = {0, 0};
    reply[0] = SpawnAndWait(args, reply[1]) ? 1 : 0;
    if (::write(out, reply, sizeof reply) != sizeof reply) break;
    args.clear();
  }
  std::_Exit(0);
}

void StartLauncher() {
  int to[2], from[2];
  if (::pipe(to) != 0 || ::pipe(from) != 0) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(to[1]);
    ::close(from[0]);
    RunLauncher(to[0], from[1]);
  }
  ::close(to[0]);
  ::close(from[1]);
  if (pid > 0) {
    g_launcher_in = to[1];
    g_launcher_out = from[0];
  }
}

bool RunProgram(const std::string& program, const std::vector<std::string>& args, long& peak_kb) {
  if (g_launcher_in < 0) return false;
  std::string request = program + '\0';
  for (const auto& a : args) request += a + '\0';
  request += '\0';
  if (::write(g_launcher_in, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    return false;
  }
  long reply[2];
  if (::read(g_launcher_out, reply, sizeof reply) != sizeof reply) return false;
  peak_kb = reply[1];
  return reply[0] == 1;
}

// `program args... FILE > /dev/null`, wall time per run, with the process's
// peak memory as a multiple of the file (peak_x_file). For inspect the
// program is the kvr61400 built beside this benchmark, or the one named by
// KVR_INSPECT_BASELINE for BM_InspectJsonBaseline (an older build, measured
// in the same run).
void InspectJson(benchmark::State& state, const std::string& program,
                 std::vector<std::string> args) {
  const StatementFile& file = Statement(static_cast<std::size_t>(state.range(0)));
  args.push_back(file.path);
  long peak_kb = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!RunProgram(program, args, peak_kb)) {
      state.SkipWithError(("could not run " + program).c_str());
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size));
  state.counters["peak_x_file"] = static_cast<double>(peak_kb) * 1024.0 / static_cast<double>(file.size);
}

void BM_InspectJson(benchmark::State& state) {
  InspectJson(state, KVR61400_BINARY, {"inspect", "--json"});
}

// The plain line scan as a process, measured as inspect is: this program
// run with --line-list, which reads the file into a list of line strings
// (the string list the parse was first built on) and prints their count.
void BM_LineListProcess(benchmark::State& state) {
  static const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  InspectJson(state, self, {"--line-list"});
}

void BM_InspectJsonBaseline(benchmark::State& state) {
  const char* baseline = std::getenv("KVR_INSPECT_BASELINE");
  if (baseline == nullptr) {
    for (auto _ : state) state.SkipWithError("KVR_INSPECT_BASELINE not set");
    return;
  }
  InspectJson(state, baseline, {"inspect", "--json"});
}

BENCHMARK(BM_Process)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineScan)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLineCount)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessPeakMemory)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineListProcess)->Arg(100000)->UseManualTime()->MinTime(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InspectJson)->Arg(100000)->UseManualTime()->MinTime(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InspectJsonBaseline)->Arg(100000)->UseManualTime()->MinTime(2)->Unit(benchmark::kMillisecond);


}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--line-list") {
    std::string text;
    if (!kvr::ReadWholeFile(argv[2], text)) return 1;
    kvr::LineReader lines(text);
    std::vector<std::string> list;
    std::string_view line;
    while (lines.Next(line)) list.emplace_back(line);
    std::printf("%zu\n", list.size());
    return 0;
  }
  StartLauncher();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
