#include <iostream>
#include <string>
#include <vector>

#include "admin.h"
#include "huge_pages.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Only the server lives long and handles large statements.
  if (!args.empty() && args[0] == "serve") kvr::server::RestartWithHugePages(argv);
  return kvr::server::RunCommand(args, std::cout, std::cerr);
}
