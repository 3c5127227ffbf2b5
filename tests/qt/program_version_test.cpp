// The three programs' --version, and the host shell's --pacote naming a
// package that is not there, run as processes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kvr::qt {
namespace {

struct ProgramRun {
  int code = -1;
  std::string out;
};

// Runs command (stderr joined to stdout) with no display to open.
ProgramRun RunProgram(const std::string& command) {
  ProgramRun run;
  FILE* pipe = popen(("env -u DISPLAY -u WAYLAND_DISPLAY " + command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

TEST(Programs, EachAnswersVersionWithTheProjectsVersion) {
  const std::string build = KVR_BUILD_DIR;
  const struct {
    std::string binary;
    std::string name;
  } programs[] = {{build + "/src/cli/kvr61400", "kvr61400"},
                  {KVR_HOST_BIN, "kvr61400-host"},
                  {build + "/server/kvr61400-server", "kvr61400-server"}};
  for (const auto& program : programs) {
    const ProgramRun run = RunProgram("'" + program.binary + "' --version");
    EXPECT_EQ(run.code, 0) << program.name;
    EXPECT_EQ(run.out, program.name + " " KVR_PROJECT_VERSION "\n");
  }
}

TEST(Programs, HostRefusesAPackagePathThatIsNotThere) {
  for (const std::string option : {"--pacote /nao/existe", "--pacote=/nao/existe", "--pacote /tmp"}) {
    const ProgramRun run = RunProgram(std::string("'") + KVR_HOST_BIN + "' " + option);
    EXPECT_EQ(run.code, 1) << option;
    EXPECT_NE(run.out.find("kvr61400-host: pacote do módulo não encontrado em --pacote"),
              std::string::npos)
        << run.out;
  }
}

}  // namespace
}  // namespace kvr::qt
