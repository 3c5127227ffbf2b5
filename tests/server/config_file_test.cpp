#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "admin/admin.h"
#include "admin/config_file.h"
#include "server_process.h"
#include "temp_dir.h"

namespace kvr {
namespace {

using testing::ServerProcess;

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct BadFile {
  std::string text;
  const char* extra;  // one more command-line option, or ""
  std::string message;
};

// Each file is refused before the server binds, naming the file and the
// line (serve would otherwise run until a signal and the test hang).
TEST(ServeConfigFile, UnknownKeysAndBadValuesNameTheLine) {
  const BadFile cases[] = {
      {"threads = abc\n", "",
       "linha 1: --threads espera um número de 1 a 999, não \"abc\"."},
      {"# comentário\n\n   porta = 8061\n", "",
       "linha 3: chave desconhecida \"porta\"; as chaves são as opções de serve: "},
      // an option of another command is no option of serve
      {"listen = 127.0.0.1:0\ncodigo = 001\n", "", "linha 2: chave desconhecida \"codigo\""},
      {"listen 127.0.0.1:0\n", "", "linha 1: falta \"=\" entre a chave e o valor"},
      {" = 8\n", "", "linha 1: falta a chave antes de \"=\""},
      {"db =\n", "", "linha 1: falta o valor de \"db\""},
      // a key alone that needs a value must not take the next line's option
      {"db\nlisten = 127.0.0.1:0\n", "", "linha 1: falta o valor de \"db\"; escreva db = valor."},
      {"threads\n", "", "linha 1: falta o valor de \"threads\""},
      {"porta =\n", "", "linha 1: chave desconhecida \"porta\""},
      {"timeout = 5\ntimeout = 6\n", "", "linha 2: a chave \"timeout\" já foi dada na linha 1."},
      {"\xEF\xBB\xBFthreads = 4\nlisten = 127.0.0.1:99999\n", "",
       "linha 2: porta \"99999\" inválida em --listen."},
      // the command line's value wins: the file's bad threads is never used
      {"threads = abc\nmax-inflated = 0\n", "--threads=2",
       "linha 2: --max-inflated espera um número de 1 a 65536, não \"0\"."},
      {std::string("threads = 4\0 8\n", 15), "",
       "linha 1: caractere nulo; grave o arquivo como texto (chave = valor em cada linha)."},
      // a long value is quoted cut, never whole
      {"timeout = 1\ndb = " + std::string(5000, 'a') + "\n", "",
       "linha 2: o valor de \"db\" tem 5000 bytes, mais que o limite de 4096 (\"" +
           std::string(60, 'a') + "...\"); confira a linha."},
      {"threads = " + std::string(4000, '9') + "\n", "",
       "linha 1: --threads espera um número de 1 a 999, não \"" + std::string(60, '9') + "...\"."},
  };
  testing::TempDir dir;
  const std::string path = dir.File("servidor.conf");
  for (const BadFile& bad : cases) {
    SCOPED_TRACE(bad.text);
    Write(path, bad.text);
    std::vector<std::string> args = {"serve", "--config", path, "--db", dir.File("x.db")};
    if (*bad.extra != '\0') args.push_back(bad.extra);
    std::ostringstream out, err;
    EXPECT_EQ(64, server::RunCommand(args, out, err));
    EXPECT_NE(std::string::npos, err.str().find("\"" + path + "\", " + bad.message)) << err.str();
    EXPECT_LT(err.str().size(), 1000u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.db")));
  }
  std::filesystem::create_directory(dir.File("pasta"));
  // Neither a FIFO nor a device is read: start-up must not wait on a FIFO
  // nor fill the memory from /dev/zero.
  ASSERT_EQ(0, mkfifo(dir.File("fifo.conf").c_str(), 0600));
  std::filesystem::create_symlink("/dev/zero", dir.File("zero.conf"));
  Write(dir.File("grande.conf"), std::string(70 * 1024, '#'));
  const std::pair<std::string, std::string> unreadable[] = {
      {dir.File("falta.conf"),
       "não foi possível ler o arquivo de configuração \"" + dir.File("falta.conf") + "\""},
      {dir.File("pasta"), "\"" + dir.File("pasta") + "\" é uma pasta"},
      {dir.File("fifo.conf"), "o arquivo de configuração \"" + dir.File("fifo.conf") +
                                  "\" não é um arquivo comum; grave-o em um arquivo comum."},
      {dir.File("zero.conf"), "o arquivo de configuração \"" + dir.File("zero.conf") +
                                  "\" não é um arquivo comum; grave-o em um arquivo comum."},
      {dir.File("grande.conf"), "o arquivo de configuração \"" + dir.File("grande.conf") +
                                    "\" tem 71680 bytes, mais que o limite de 64 KiB; confira se "
                                    "é o arquivo certo."},
  };
  for (const auto& [config, message] : unreadable) {
    std::ostringstream out, err;
    EXPECT_EQ(1, server::RunCommand({"serve", "--config", config, "--db", dir.File("x.db")}, out,
                                    err));
    EXPECT_NE(std::string::npos, err.str().find(message)) << err.str();
  }
}

// "#" starts a comment anywhere on a line, as in postgresql.conf; the
// blanks before it are not part of the value.
TEST(ServeConfigFile, AHashStartsACommentAnywhereOnALine) {
  struct Case {
    std::string line;
    std::string key;
    std::string value;
  };
  const Case cases[] = {
      {"db = main.db  # banco principal", "db", "main.db"},
      {"db = main.db#colado", "db", "main.db"},
      {"\tthreads=4\t# quatro\r", "threads", "4"},
      {"sem-tls # um proxy atende na frente", "sem-tls", ""},
      {"   # só comentário", "", ""},
      {"# db = outro.db", "", ""},
  };
  testing::TempDir dir;
  const std::string path = dir.File("servidor.conf");
  for (const Case& c : cases) {
    Write(path, c.line + "\n");
    const std::vector<server::admin::ConfigEntry> entries = server::admin::ReadConfigFile(path);
    ASSERT_EQ(c.key.empty() ? 0u : 1u, entries.size()) << c.line;
    if (c.key.empty()) continue;
    EXPECT_EQ(c.key, entries[0].key) << c.line;
    EXPECT_EQ(c.value, entries[0].value) << c.line;
  }
}

// The packaged example: every option it shows commented out is one serve
// takes, so uncommenting any of them gives a valid file.
TEST(ServeConfigFile, PackagedExampleOnlyShowsOptionsOfServe) {
  const std::string example = KVR_SOURCE_DIR "/packaging/servidor.conf";
  std::ifstream file(example);
  ASSERT_TRUE(file) << example;
  std::string text, line;
  int active = 0, shown = 0;
  const std::regex commented_option("^# ?([a-z-]+ = .*)$");
  while (std::getline(file, line)) {
    std::smatch match;
    if (std::regex_match(line, match, commented_option)) {
      line = match[1];
      ++shown;
    } else if (!line.empty() && line[0] != '#') {
      ++active;
    }
    text += line + "\n";
  }
  EXPECT_EQ(2, active);  // listen and db
  EXPECT_EQ(8, shown);
  testing::TempDir dir;
  Write(dir.File("todas.conf"), text);
  std::vector<server::admin::ConfigEntry> entries =
      server::admin::ReadConfigFile(dir.File("todas.conf"));
  ASSERT_EQ(10u, entries.size());
  EXPECT_EQ("listen", entries[0].key);
  EXPECT_EQ("127.0.0.1:8061", entries[0].value);
  EXPECT_EQ("db", entries[1].key);
  EXPECT_EQ("/var/lib/kvr61400/kvr61400.db", entries[1].value);
}

// A server whose file names another database and an impossible port, both
// given on the command line too, serves on the command line's; and started
// by a notify unit, it says READY once it listens.
TEST(ServeConfigFile, CommandLineWinsAndReadinessIsNotified) {
  testing::TempDir dir;
  Write(dir.File("servidor.conf"), "listen = 127.0.0.1:99999\ndb = " + dir.File("outro.db") +
                                       "\nthreads = 2\n");
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_LE(0, notify);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = dir.File("notify");
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(0, bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address));
  timeval wait{10, 0};
  setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  ServerProcess server(dir.File("kvr61400.db"), {"--config", dir.File("servidor.conf")});
  server.Start();
  unsetenv("NOTIFY_SOCKET");
  char message[256] = {};
  const ssize_t received = recv(notify, message, sizeof message - 1, 0);
  close(notify);
  EXPECT_EQ("READY=1", std::string(message, received > 0 ? received : 0));
  EXPECT_TRUE(std::filesystem::exists(dir.File("kvr61400.db")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("outro.db")));
  server.Signal(SIGTERM);
  EXPECT_EQ(0, server.Wait());
}

}  // namespace
}  // namespace kvr
