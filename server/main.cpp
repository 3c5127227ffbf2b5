#include <iostream>
#include <string>
#include <vector>

#include "admin.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return kvr::server::RunCommand(args, std::cout, std::cerr);
}
