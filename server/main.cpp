#include <iostream>
#include <string>
#include <vector>

#include "admin/admin.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // The version of the build, from the project's version in CMake.
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "kvr61400-server " KVR_VERSION "\n";
    return 0;
  }
  return kvr::server::RunCommand(args, std::cout, std::cerr);
}
