#include "huge_pages.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace kvr::server {

void RestartWithHugePages(char** argv) {
  const char* const tunable = "glibc.malloc.hugetlb";
  const char* const current = std::getenv("GLIBC_TUNABLES");
  const std::string tunables = current != nullptr ? current : "";
  if (tunables.find(tunable) != std::string::npos) return;
  std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(setting, modes);
  if (modes.find("[madvise]") == std::string::npos) return;
  const std::string value = (tunables.empty() ? "" : tunables + ":") + tunable + "=1";
  if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Still here: the restart failed; carry on as we are.
  if (current != nullptr)
    setenv("GLIBC_TUNABLES", current, 1);
  else
    unsetenv("GLIBC_TUNABLES");
}

}  // namespace kvr::server
