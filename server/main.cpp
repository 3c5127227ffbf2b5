#include <iostream>
#include <string>
#include <vector>

#include "admin.h"
#include "platform/huge_page_heap.h"

int main(int argc, char** argv) {
  kvr::UseHugePageHeap(argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  return kvr::server::RunCommand(args, std::cout, std::cerr);
}
