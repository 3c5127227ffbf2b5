// make_statement N FILE: writes a generated bank-341 statement of N
// transactions (bench/make_statement.h) to FILE and prints its size in bytes.
// make_statement --scan FILE: prints the seconds of a plain line scan of FILE
// (std::getline over the file, nothing else done; the best of three), the
// yardstick of bench/import_scale.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <string_view>

#include "bench/make_statement.h"

namespace {

double ScanSeconds(const char* path) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    // The plainest way to walk a file's lines in C++.
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::size_t count = 0;
    while (std::getline(in, line)) ++count;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (count > 0 && seconds < best) best = seconds;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "uso: make_statement TRANSACOES ARQUIVO | make_statement --scan ARQUIVO\n");
    return 64;
  }
  try {
    if (std::strcmp(argv[1], "--scan") == 0) {
      std::printf("%.3f\n", ScanSeconds(argv[2]));
      return 0;
    }
    const std::size_t size = kvr::bench::WriteStatement(argv[2], std::strtoull(argv[1], nullptr, 10), true);
    std::printf("%zu\n", size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_statement: %s\n", e.what());
    return 2;
  }
  return 0;
}
