// make_statement N FILE: writes a generated bank-341 statement of N
// transactions (bench/make_statement.h) to FILE and prints its size in bytes.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "bench/make_statement.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "uso: make_statement TRANSACOES ARQUIVO\n");
    return 64;
  }
  try {
    const std::size_t size = kvr::bench::WriteStatement(argv[2], std::strtoull(argv[1], nullptr, 10), true);
    std::printf("%zu\n", size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_statement: %s\n", e.what());
    return 2;
  }
  return 0;
}
