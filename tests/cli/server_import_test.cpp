// `kvr61400 import` against a real kvr61400-server on 127.0.0.1 (free port,
// fresh SQLite file), stored rows checked through the server's own listing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../server/metrics_probe.h"
#include "../server/server_process.h"
#include "../server/temp_dir.h"
#include "fake_http_server.h"
#include "ofx_text.h"

namespace kvr::testing {
namespace {

struct CliResult {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs kvr61400 with args (stdin from the file input, empty by default) and
// collects stdout and stderr.
CliResult RunCli(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
  char err_file[] = "/tmp/kvr-cli-err-XXXXXX";
  const int err_fd = mkstemp(err_file);
  if (err_fd >= 0) close(err_fd);
  std::string command = std::string("'") + KVR61400_EXE + "'";
  for (const auto& a : args) command += " '" + a + "'";
  command += " <'" + input + "' 2>'" + err_file + "'";
  CliResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream err(err_file, std::ios::binary);
  result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  std::remove(err_file);
  return result;
}

// kvr61400 running in the background with its standard streams on pipes
// (stdin kept open until the object goes), for Ctrl-C while it works.
class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      std::vector<char*> argv{const_cast<char*>(KVR61400_EXE)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(KVR61400_EXE, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    readers_.emplace_back([this, fd = out[0]] { Read(fd, out_); });
    readers_.emplace_back([this, fd = err[0]] { Read(fd, err_); });
  }
  ~CliProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    for (std::thread& reader : readers_)
      if (reader.joinable()) reader.join();
    close(stdin_);
  }
  void Interrupt() { kill(pid_, SIGINT); }
  // True once stderr holds text (waits up to 20 seconds).
  bool ErrorHas(const std::string& text) { return ErrorHasOneOf({text}) == 0; }
  // The first of texts that stderr holds, waiting up to 20 s; -1 if none.
  int ErrorHasOneOf(const std::vector<std::string>& texts) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    changed_.wait_for(lock, std::chrono::seconds(20), [&] {
      for (size_t i = 0; i < texts.size() && found < 0; ++i)
        if (err_.find(texts[i]) != std::string::npos) found = static_cast<int>(i);
      return found >= 0;
    });
    return found;
  }
  // True while the process runs (it is left to Wait to collect).
  bool Running() {
    siginfo_t info{};
    return pid_ > 0 && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  // The exit status, once the process ended and all it wrote was read.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    for (std::thread& reader : readers_)
      if (reader.joinable()) reader.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Out() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
  }
  std::string Err() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
  }

 private:
  void Read(int fd, std::string& into) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      into.append(buffer, static_cast<size_t>(n));
      changed_.notify_all();
    }
    close(fd);
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::vector<std::thread> readers_;
};

// The SQLite database held by a write transaction of its own while the
// object lives (or until Release): the server's store then waits for it.
class DatabaseHold {
 public:
  explicit DatabaseHold(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~DatabaseHold() {
    Release();
    sqlite3_close(db_);
  }
  bool Held() const { return held_; }
  void Release() {
    if (held_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    held_ = false;
  }

 private:
  sqlite3* db_ = nullptr;
  bool held_ = false;
};

std::string Example(const std::string& name) { return std::string(KVR_EXAMPLES_DIR) + "/" + name; }

class ServerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("db.sqlite");
    AddAccount("001", "341", "1234", "123456", "C", "99999-9");
    AddAccount("002", "341", "1234", "123456", "L", "99999-9");
    AddAccount("010", "237", "0001", "543210", "C", "99999-9");
    AddAccount("020", "104", "0002", "123456", "C", "99999-9");
    server_ = std::make_unique<ServerProcess>(db_);
    server_->Start();
  }

  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = dir_.File(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  void AddAccount(const std::string& code, const std::string& bank, const std::string& agency,
                  const std::string& number, const std::string& kind, const std::string& mask) {
    CommandResult r = RunServerCommand({"conta", "add", "--db", db_, "--codigo", code, "--banco", bank,
                                        "--agencia", agency, "--conta", number, "--tipo", kind,
                                        "--mascara", mask});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  std::string Server() { return "127.0.0.1:" + std::to_string(server_->Port()); }

  TempDir dir_;
  std::string db_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(ServerEndToEnd, CommandLineImportsBank237WithItsRangeThenAnswersAlreadyRecorded) {
  CliResult first = RunCli({"import", Example("extrato-237.ofx"), "--server", Server(), "--de",
                            "04/03/2024", "--ate", "06/03/2024", "--json"});
  ASSERT_EQ(first.code, 0) << first.out;
  nlohmann::json report = nlohmann::json::parse(first.out);
  EXPECT_EQ(report["resultado"], "importado");
  EXPECT_EQ(report["tela"]["filtro"], "DTMOVREAL>= '04/03/2024' AND DTMOVREAL<= '06/03/2024'");
  // Dates and amounts as inspect --json writes them; the screen's texts
  // under keys of their own.
  EXPECT_EQ(report["tela"]["data_inicial"], "2024-03-01");
  EXPECT_EQ(report["tela"]["movimento_de"], "2024-03-04");
  EXPECT_EQ(report["tela"]["movimento_ate"], "2024-03-06");
  EXPECT_TRUE(report["tela"]["valor_final"].is_number()) << report["tela"].dump();
  EXPECT_EQ(report["tela"]["textos"]["data_inicial"], "01/03/2024");
  EXPECT_EQ(report["tela"]["textos"]["movimento_de"], "04/03/2024");
  const auto& rows = report["tela"]["grade"]["linhas"];
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& row : rows) {
    const std::string date = row[0].get<std::string>();
    EXPECT_TRUE(date == "2024-03-04" || date == "2024-03-05" || date == "2024-03-06") << date;
  }
  EXPECT_EQ(rows[0][3], 78.43) << rows[0].dump();
  EXPECT_EQ(report["mensagens"][0]["texto"], "Arquivo importado com sucesso.");
  nlohmann::json list = StoredStatements(db_);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["CDREDUCONT"], "010");
  EXPECT_EQ(list[0]["MOVIMENTOS"], 4);

  CliResult again = RunCli({"import", Example("extrato-237.ofx"), "--server", Server(), "--de",
                            "04/03/2024", "--ate", "06/03/2024"});
  EXPECT_EQ(again.code, 3);
  EXPECT_NE(again.out.find("[erro] Arquivo de movimentação bancária já cadastrado."),
            std::string::npos)
      << again.out;
  EXPECT_EQ(StoredStatements(db_).size(), 1u);
}

// A bank-237 file of 01/03 to 08/03 imported in two ranges, then the rest:
// each part stored once, with balances its movements close, in sequence.
TEST_F(ServerEndToEnd, NarrowedImportsInTwoRangesThenTheRestEachStoredOnceAndClosing) {
  const std::string file = WriteFile("237.ofx", Bank237Week());
  const std::vector<std::pair<std::string, std::string>> ranges = {
      {"01/03/2024", "03/03/2024"}, {"04/03/2024", "05/03/2024"}, {"06/03/2024", "08/03/2024"}};
  for (const auto& [de, ate] : ranges) {
    EXPECT_EQ(RunCli({"import", file, "--server", Server(), "--de", de, "--ate", ate}).code, 0) << de;
    EXPECT_EQ(RunCli({"import", file, "--server", Server(), "--de", de, "--ate", ate}).code, 3) << de;
  }
  CommandResult r = RunServerCommand({"extrato", "continuidade", "--conta", "010", "--json", "--db", db_});
  ASSERT_EQ(r.code, 0) << r.err;
  nlohmann::json statements = nlohmann::json::parse(r.out)[0]["extratos"];
  ASSERT_EQ(statements.size(), 3u);
  const struct {
    const char* first;
    const char* last;
    double opening, closing;
    int movements;
  } expected[] = {{"2024-03-01", "2024-03-03", 994.4, 1064.5, 3},
                  {"2024-03-04", "2024-03-05", 1064.5, 1014.7, 2},
                  {"2024-03-06", "2024-03-08", 1014.7, 1000.0, 3}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(statements[i]["dataInicial"], expected[i].first);
    EXPECT_EQ(statements[i]["dataFinal"], expected[i].last);
    EXPECT_EQ(statements[i]["saldoInicial"], expected[i].opening);
    EXPECT_EQ(statements[i]["saldoFinal"], expected[i].closing);
    EXPECT_EQ(statements[i]["movimentos"], expected[i].movements);
    EXPECT_EQ(statements[i]["problemas"], nlohmann::json::array()) << statements[i].dump();
  }
}

// Today's exports of the largest banks, imported as a clerk would: each
// stored with a header its movements close, with the warning when the
// movements' period stood in for the file's.
TEST_F(ServerEndToEnd, TodaysExportsImportWithHeadersTheirMovementsClose) {
  auto data = [](const std::string& name) { return std::string(KVR_TEST_DATA_DIR) + "/" + name; };
  AddAccount("021", "104", "0002", "98765-4", "C", "99999-9");
  AddAccount("022", "422", "0003", "77123-4", "C", "99999-9");
  AddAccount("023", "756", "0004", "55667-8", "C", "99999-9");
  struct Case {
    std::string file;
    std::vector<std::string> range;  // --de, --ate
    std::string account, first, last;
    double opening, closing;
    int movements;
    std::string warning;  // UTF-8; "" for none
  };
  const Case cases[] = {
      // Bank 104's period filter keeps 3 of 5: the header says so.
      {Example("extrato-104.ofx"), {}, "020", "2024-05-01", "2024-05-31", 390, 1009.5, 3, ""},
      {data("periodo-invertido-104.ofx"), {}, "021", "2024-09-02", "2024-10-01", 1000, 1210, 2,
       "Período do arquivo invertido (30/09/2024 a 01/09/2024): usado o período "
       "dos movimentos, 02/09/2024 a 01/10/2024."},
      // Bank 237 declares the day of export; the clerk narrows to the movements.
      {data("exportacao-237.ofx"), {"--de", "19/08/2024", "--ate", "27/08/2024"}, "010",
       "2024-08-19", "2024-08-27", 1000, 1200, 3, ""},
      {data("periodo-sem-zeros.ofx"), {}, "022", "2025-02-03", "2025-02-04", 1000, 2165, 2,
       "Período do arquivo ilegível (DTSTART \"2025025173830[-3:GMT]\"): usado o "
       "período dos movimentos, 03/02/2025 a 04/02/2025."},
      {data("periodo-dia-1.ofx"), {}, "022", "2025-02-03", "2025-02-10", 1000, 1465, 2,
       "Período do arquivo ilegível (DTSTART \"2025021101520[-3:GMT]\"): usado o "
       "período dos movimentos, 03/02/2025 a 10/02/2025."},
      {data("datas-iso.ofx"), {}, "023", "2026-02-01", "2026-02-28", 1000, 1787.5, 2, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"import", c.file, "--server", Server(), "--json"};
    args.insert(args.end(), c.range.begin(), c.range.end());
    const CliResult run = RunCli(args);
    ASSERT_EQ(run.code, 0) << c.file << "\n" << run.out << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    const nlohmann::json warnings =
        c.warning.empty() ? nlohmann::json::array() : nlohmann::json::array({c.warning});
    EXPECT_EQ(report["avisos"], warnings) << c.file;
  }
  CommandResult r = RunServerCommand({"extrato", "continuidade", "--json", "--db", db_});
  ASSERT_EQ(r.code, 0) << r.err;
  const nlohmann::json accounts = nlohmann::json::parse(r.out);
  for (const Case& c : cases) {
    bool found = false;
    for (const auto& account : accounts) {
      if (account["conta"] != c.account) continue;
      for (const auto& st : account["extratos"]) {
        if (st["dataInicial"] != c.first || st["dataFinal"] != c.last) continue;
        found = true;
        EXPECT_EQ(st["saldoInicial"], c.opening) << c.file;
        EXPECT_EQ(st["saldoFinal"], c.closing) << c.file;
        EXPECT_EQ(st["movimentos"], c.movements) << c.file;
        for (const auto& problem : st["problemas"])
          EXPECT_NE(problem["tipo"], "fechamento") << c.file << " " << st.dump();
      }
    }
    EXPECT_TRUE(found) << c.file << " " << r.out;
  }
  // The text form prints the warning on a line of its own.
  const CliResult text = RunCli({"import", data("periodo-sem-zeros.ofx"), "--server", Server()});
  EXPECT_NE(text.out.find("\nAviso: Período do arquivo ilegível"), std::string::npos)
      << text.out;
}

TEST_F(ServerEndToEnd, CommandLineExitStatusesForEachEnd) {
  // Bank 104, its own period: two of the five transactions lie outside it.
  CliResult banco104 = RunCli({"import", Example("extrato-104.ofx"), "--server", Server(), "--json"});
  EXPECT_EQ(banco104.code, 0) << banco104.out;
  nlohmann::json list = StoredStatements(db_);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["MOVIMENTOS"], 3);

  CliResult unknown = RunCli({"import", Example("extrato-336.ofx"), "--server", Server(), "--json"});
  EXPECT_EQ(unknown.code, 4);
  EXPECT_EQ(nlohmann::json::parse(unknown.out)["mensagens"][0]["texto"],
            "Conta corrente não cadastrada.");

  const std::string not_ofx = WriteFile("nada.ofx", "nada\n");
  EXPECT_EQ(RunCli({"import", not_ofx, "--server", Server()}).code, 4);

  const std::string broken = WriteFile("quebrado.ofx", "<OFX>\n<DTSTART>2024\n");
  EXPECT_EQ(RunCli({"import", broken, "--server", Server()}).code, 2);

  server_.reset();
  EXPECT_EQ(RunCli({"import", Example("extrato-341.ofx"), "--server", "127.0.0.1:1"}).code, 2);
  EXPECT_EQ(RunCli({"import"}).code, 64);
}

TEST_F(ServerEndToEnd, ClerkImportsOverHttpsWithTheirOwnKeyAndTheTrailNamesThem) {
  const std::string ca = WriteFile("ca.pem", ""), cert = WriteFile("servidor.pem", "");
  const std::string key = cert.substr(0, cert.size() - 4) + ".key";
  const std::string ext = WriteFile("servidor.ext", "subjectAltName=IP:127.0.0.1\n");
  const std::string make =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout " +
      ca + ".key -out " + ca + " -subj /CN=ca 2>/dev/null && openssl req -newkey ec -pkeyopt "
      "ec_paramgen_curve:prime256v1 -nodes -keyout " + key + " -out " + cert +
      ".csr -subj /CN=servidor 2>/dev/null && openssl x509 -req -in " + cert + ".csr -CA " + ca +
      " -CAkey " + ca + ".key -CAcreateserial -days 2 -out " + cert + " -extfile " + ext +
      " 2>/dev/null && chmod 600 " + key;
  ASSERT_EQ(std::system(make.c_str()), 0);
  CommandResult added = RunServerCommand({"usuario", "add", "ana", "--db", db_});
  ASSERT_EQ(added.code, 0) << added.err;
  const std::string key_file = WriteFile("chave-ana", added.out);
  server_.reset();
  server_ = std::make_unique<ServerProcess>(db_, std::vector<std::string>{"--tls-cert", cert,
                                                                          "--tls-key", key});
  server_->Start();
  const std::string https = "https://127.0.0.1:" + std::to_string(server_->Port());

  CliResult imported = RunCli({"import", Example("extrato-341.ofx"), "--server", https,
                               "--ca-file", ca, "--token-file", key_file, "--json"});
  EXPECT_EQ(imported.code, 0) << imported.out;
  EXPECT_EQ(StoredStatements(db_)[0]["USUARIO"], "ana");
  CommandResult trail = RunServerCommand({"auditoria", "--usuario", "ana", "--json", "--db", db_});
  nlohmann::json rows = nlohmann::json::parse(trail.out);
  ASSERT_EQ(rows.size(), 2u) << trail.out;
  EXPECT_EQ(rows[1]["evento"], "importacao");

  // No CA file: the system's trust store does not know ours; never plain HTTP.
  EXPECT_EQ(RunCli({"import", Example("extrato-104.ofx"), "--server", https, "--token-file",
                    key_file}).code, 2);
  // A key never goes in plain HTTP beyond loopback (0.0.0.0 would reach
  // this machine anyway); an unknown scheme is no address.
  EXPECT_EQ(RunCli({"import", Example("extrato-104.ofx"), "--server", "0.0.0.0:1",
                    "--token-file", key_file}).code, 64);
  EXPECT_EQ(RunCli({"import", Example("extrato-104.ofx"), "--server", "ftp://127.0.0.1:1"}).code,
            64);
  EXPECT_EQ(StoredStatements(db_).size(), 1u);
}

TEST_F(ServerEndToEnd, CommandLineSaysWhatWasLookedUpAndImportsEachShapeOnceRegistered) {
  auto data = [](const std::string& name) { return std::string(KVR_TEST_DATA_DIR) + "/" + name; };
  const std::string card_message =
      "Arquivo importado não é um extrato válido.\nO arquivo é um "
      "extrato de cartão de crédito: esta tela importa extratos bancários, de "
      "conta corrente. Exporte do banco o extrato da conta corrente.";
  CliResult card = RunCli({"import", data("cartao.ofx"), "--server", Server(), "--json"});
  EXPECT_EQ(card.code, 4);
  EXPECT_EQ(nlohmann::json::parse(card.out)["mensagens"][0]["texto"], card_message);

  // Each file's account is unknown; the hint's command, run as it is
  // written, registers what the screen then finds.
  const std::string long_id = WriteFile(
      "longo.ofx",
      "<OFX>\n<BANKID>1\n<ACCTID>0123400000123456\n<DTSTART>20240301\n<DTEND>20240331\n"
      "<STMTTRN><TRNTYPE>DEBIT<DTPOSTED>20240305<TRNAMT>-1.00<FITID>L1<NAME>TARIFA</STMTTRN>\n"
      "<LEDGERBAL><BALAMT>10.00</LEDGERBAL>\n");
  struct Case {
    std::string file;
    std::string hint;
    std::vector<std::string> fill;  // what the administrator puts for the placeholders
    double closing;
    std::vector<std::string> memos;  // in alphabetical order
  };
  const Case cases[] = {
      {data("extrato-vazio-antes.ofx"),
       "conta procurada no servidor: banco 0341, conta 222\npara cadastrá-la, no servidor: "
       "sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 0341 --conta 222 --tipo C",
       {"030"}, 4225.79, {"PADARIA CENTRAL", "SALARIO EMPRESA"}},
      {data("utf16-le.ofx"),
       "conta procurada no servidor: banco 999, conta 123456 (no arquivo: 12345-6)\npara "
       "cadastrá-la, no servidor: sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 999 --conta 12345-6 "
       "--tipo C",
       {"031"}, 1500, {"DEPOSITO", "TARIFA"}},
      {long_id,
       "conta procurada no servidor: banco 1, conta 0123400000123456\npara cadastrá-la, no servidor: "
       "sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 1 --agencia AGENCIA --conta CONTA "
       "--id-extrato 0123400000123456 --tipo C",
       {"032", "1234", "56789-0"}, 10, {"TARIFA"}},
      // A savings account and its variation: registered by the file's own
      // "11111-4/1", never by what follows the "/".
      {data("poupanca-variacao.ofx"),
       "conta procurada no servidor: banco 1, conta 111114/1 (no arquivo: 11111-4/1)\npara "
       "cadastrá-la, no servidor: sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 1 --agencia AGENCIA "
       "--conta CONTA --id-extrato 11111-4/1 --tipo C",
       {"033", "3333-3", "11111-4"}, 1025, {"RENDIMENTO"}},
      {data("agencia-com-digito.ofx"),
       "conta procurada no servidor: banco 0380, conta 145995011 (no arquivo: 1459950-11)\npara "
       "cadastrá-la, no servidor: sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 0380 --conta "
       "1459950-11 --tipo C",
       {"034"}, 90, {"TARIFA"}},
      {data("conta-zeros.ofx"),
       "conta procurada no servidor: banco 0212, conta 000000 (no arquivo: 00000-0)\npara "
       "cadastrá-la, no servidor: sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco 0212 --conta "
       "00000-0 --tipo C",
       {"035"}, 5, {"CREDITO TESTE"}},
  };
  for (const Case& c : cases) {
    CliResult first = RunCli({"import", c.file, "--server", Server(), "--json"});
    EXPECT_EQ(first.code, 4) << c.file;
    const nlohmann::json report = nlohmann::json::parse(first.out);
    EXPECT_EQ(report["mensagens"][0]["texto"], "Conta corrente não cadastrada.");
    ASSERT_EQ(report.value("dica", ""), c.hint) << c.file;
    std::vector<std::string> command;
    std::string word;
    size_t filled = 0;
    const std::string line = c.hint.substr(c.hint.find("conta add"));
    for (size_t i = 0; i <= line.size(); ++i) {
      if (i < line.size() && line[i] != ' ') {
        word += line[i];
        continue;
      }
      if (word == "CODIGO" || word == "AGENCIA" || word == "CONTA") word = c.fill.at(filled++);
      command.push_back(word);
      word.clear();
    }
    command.insert(command.end(), {"--db", db_});
    CommandResult added = RunServerCommand(command);
    ASSERT_EQ(added.code, 0) << added.err;
    CliResult second = RunCli({"import", c.file, "--server", Server(), "--json"});
    EXPECT_EQ(second.code, 0) << second.out;
    const nlohmann::json list = StoredStatements(db_);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back()["CDREDUCONT"], c.fill[0]);
    EXPECT_EQ(list.back()["VRSALDFIM"], c.closing) << c.file;
    std::vector<std::string> memos;
    const nlohmann::json shown = StoredStatement(db_, static_cast<int>(list.size()));
    for (const auto& m : shown["MOVIMENTOS"])
      memos.push_back(m["DSHISTMOVREAL"].get<std::string>());
    std::sort(memos.begin(), memos.end());
    EXPECT_EQ(memos, c.memos) << c.file;
  }
}

TEST_F(ServerEndToEnd, MemoIsKeptWholeBesideItsFirst40AndShownInPostingOrder) {
  const std::string memo = "PAGAMENTO BOLETO CONSTRUTORA E INCORPORADORA CONSTRUCAO FORTE";
  const std::string file = WriteFile(
      "memo.ofx", OfxText("341", "12345-6", "20240701", "20240731",
                          {{"20240709", "-10.00", "L2", "5", "TARIFA"}, {"20240705", "-20.00", "L1", "4", memo}},
                          "70"));
  CliResult run = RunCli({"import", file, "--server", Server(), "--sim"});
  ASSERT_EQ(run.code, 0) << run.out;
  EXPECT_NE(run.out.find(memo), std::string::npos) << "the grid printed cut\n" << run.out;
  const nlohmann::json shown = StoredStatement(db_, 1)["MOVIMENTOS"];
  ASSERT_EQ(shown.size(), 2u);
  // Stored in the order the grid shows them, by date.
  EXPECT_EQ(shown[0]["NRSEQMOVREAL"], "1");
  EXPECT_EQ(shown[0]["DSHISTMOVREAL"], memo.substr(0, 40));
  EXPECT_EQ(shown[0]["DSHISTCOMPL"], memo);
  EXPECT_EQ(shown[1]["DSHISTCOMPL"], "TARIFA");
  CommandResult table = RunServerCommand({"extrato", "show", "1", "--db", db_});
  EXPECT_NE(table.out.find("D    20,00 L1    " + memo + "\n"), std::string::npos) << table.out;
}

TEST_F(ServerEndToEnd, RepeatQuestionIsAnsweredFromTheCommandLine) {
  const std::string twice = WriteFile(
      "twice.ofx", OfxText("341", "12345-6", "20240601", "20240630",
                           {{"20240605", "10.00", "R1", "77", "UM"},
                            {"20240605", "10.00", "R1", "77", "DOIS"}},
                           "100"));
  // "Não": nothing stored, and not "already recorded" either.
  CliResult no = RunCli({"import", twice, "--server", Server(), "--nao", "--json"});
  EXPECT_EQ(no.code, 5);
  nlohmann::json report = nlohmann::json::parse(no.out);
  EXPECT_EQ(report["mensagens"][0]["tipo"], "pergunta");
  EXPECT_EQ(report["mensagens"][0]["resposta"], "Não");
  EXPECT_EQ(report["mensagens"][0]["texto"],
            "Existem movimentações com mesmo número, valor e data, deseja realizar a "
            "importação?");
  EXPECT_EQ(report["mensagens"][0]["detalhe"],
            nlohmann::json({"Movimentos repetidos (marcados na grade):",
                            "linha 1: 05/06/2024, Crédito, 10,00, documento 77, UM",
                            "linha 2: 05/06/2024, Crédito, 10,00, documento 77, DOIS"}));
  EXPECT_EQ(report["mensagens"].size(), 1u);
  EXPECT_EQ(report["resultado"], "cancelado");
  EXPECT_EQ(StoredStatements(db_).size(), 0u);

  CliResult yes = RunCli({"import", twice, "--server", Server(), "--sim", "--tipo", "Aplicacao"});
  EXPECT_EQ(yes.code, 0) << yes.out;
  // The rows it is about come before the question.
  const size_t rows = yes.out.find("Movimentos repetidos (marcados na grade):\nlinha 1: 05/06/2024");
  EXPECT_NE(rows, std::string::npos) << yes.out;
  EXPECT_LT(rows, yes.out.find("[pergunta] ")) << yes.out;
  nlohmann::json list = StoredStatements(db_);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["CDREDUCONT"], "002");
  EXPECT_EQ(list[0]["MOVIMENTOS"], 2);

  // Without an answer on the command line the terminal's empty input says no.
  EXPECT_EQ(RunCli({"import", twice, "--server", Server()}).code, 5);

  // A typed answer: an unknown word is asked again, then "s" says yes. The
  // first account type (Circulante, account 001) has no statement yet.
  const std::string typed = WriteFile("answers.txt", "talvez\ns\n");
  CliResult asked = RunCli({"import", twice, "--server", Server(), "--json"}, typed);
  EXPECT_EQ(asked.code, 0);
  nlohmann::json answered = nlohmann::json::parse(asked.out);
  EXPECT_EQ(answered["mensagens"][0]["resposta"], "Sim");
  EXPECT_EQ(answered["mensagens"][1]["texto"], "Arquivo importado com sucesso.");
  EXPECT_EQ(StoredStatements(db_).size(), 2u);
}

// What the command line can tell wrong before reading the statement is a
// usage error (64) with nothing of the statement printed; a missing file is
// named as missing.
TEST_F(ServerEndToEnd, CommandLineRefusesBadArgumentsBeforeTheScreenRuns) {
  const std::string file = Example("extrato-237.ofx");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string said;
  };
  const Case cases[] = {
      {{"import", file, "--tipo", "Poupança"}, 64,
       "--tipo espera Circulante, Aplicação ou Garantida, não \"Poupança\""},
      {{"import", file, "--de", "01/03/2024"}, 64, "--de sem --ate"},
      {{"import", file, "--ate", "01/03/2024"}, 64, "--ate sem --de"},
      {{"import", file, "--de", "2024-03-01", "--ate", "05/03/2024"}, 64,
       "--de espera uma data DD/MM/AAAA, não \"2024-03-01\""},
      {{"import", file, "--de", "01/03/2024", "--ate", "30/02/2024"}, 64,
       "--ate espera uma data DD/MM/AAAA, não \"30/02/2024\""},
      {{"import", "nao-existe.ofx", "--server", Server()}, 2,
       "kvr61400 import: nao-existe.ofx: arquivo não encontrado"},
  };
  for (const Case& c : cases) {
    const CliResult r = RunCli(c.args);
    EXPECT_EQ(r.code, c.code) << c.args[3];
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Banco"), std::string::npos) << r.out;
  }
  // The help names every option of the usage line.
  const CliResult help = RunCli({"import", "--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* option : {"\n  --server", "\n  --tipo", "\n  --token-file", "\n  --de D, --ate D",
                             "\n  --sim, --nao", "\n  --sem-grade", "\n  --json", "\nCtrl-C"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option << "\n" << help.out;
  const CliResult json = RunCli({"import", "nao-existe.ofx", "--json"});
  EXPECT_EQ(json.code, 2);
  EXPECT_EQ(nlohmann::json::parse(json.out)["falha"],
            "arquivo não encontrado (confira o caminho e o nome)");
  EXPECT_TRUE(StoredStatements(db_).empty());
}

// Ctrl-C before the store call is sent: nothing stored, status 130.
TEST_F(ServerEndToEnd, InterruptBeforeTheStoreCallStoresNothing) {
  const std::string twice = WriteFile(
      "twice.ofx", OfxText("341", "12345-6", "20240101", "20240131",
                           {{"20240105", "10.00", "F1", "7", "UM"}, {"20240105", "10.00", "F1", "7", "DOIS"}},
                           "100.00"));
  CliProcess cli({"import", twice, "--server", Server(), "--tipo", "Circulante"});
  // The repeat question waits for the terminal.
  ASSERT_TRUE(cli.ErrorHas("(Não/Sim)")) << cli.Err();
  cli.Interrupt();
  EXPECT_EQ(cli.Wait(), 130);
  EXPECT_TRUE(cli.ErrorHas("Importação interrompida: nada foi gravado.")) << cli.Err();
  EXPECT_TRUE(StoredStatements(db_).empty());
}

// Ctrl-C once the store call is sent: the first waits for the answer and
// reports it; a second leaves, saying the statement may be stored, which
// importing the file again tells.
TEST_F(ServerEndToEnd, InterruptAfterTheStoreCallWaitsThenLeavesOnASecondOne) {
  const std::string waiting = "Aguardando a resposta do servidor";
  const std::string again = "Ctrl-C de novo para sair sem esperar";
  auto validated = [&](size_t count) {
    return [count](const std::vector<std::string>& lines) {
      size_t seen = 0;
      for (const std::string& line : lines) seen += line.find("ValidExtrato") != std::string::npos;
      return seen >= count;
    };
  };
  // The store call follows the validation's answer at once; the store then
  // waits for the database, so it stays among the requests under way, beside
  // the probe's own. The validation's request counts there too from its log
  // line until its loop has written its answer: three reads in a row, each a
  // round trip through the server, see the store call alone. Should a Ctrl-C
  // still come first, the import ends with nothing stored and is tried again.
  size_t validations = 0;
  auto interrupted_once_sent = [&](const std::vector<std::string>& args) {
    std::unique_ptr<CliProcess> cli;
    for (int attempt = 0; attempt < 4; ++attempt) {
      cli = std::make_unique<CliProcess>(args);
      server_->LogWhen(validated(++validations));
      int in_a_row = 0;
      MetricsProbe(server_->Port()).WaitFor("kvr61400_requests_in_flight", [&](double under_way) {
        in_a_row = under_way >= 2 ? in_a_row + 1 : 0;
        return in_a_row >= 3;
      });
      cli->Interrupt();
      if (cli->ErrorHasOneOf({again, "nada foi gravado"}) != 1) break;
      EXPECT_EQ(cli->Wait(), 130);
    }
    return cli;
  };
  {
    DatabaseHold hold(db_);
    ASSERT_TRUE(hold.Held());
    std::unique_ptr<CliProcess> sent =
        interrupted_once_sent({"import", Example("extrato-341.ofx"), "--server", Server()});
    CliProcess& cli = *sent;
    ASSERT_TRUE(cli.ErrorHas(again)) << cli.Err();
    EXPECT_NE(cli.Err().find(waiting), std::string::npos);
    EXPECT_TRUE(cli.Running());
    hold.Release();
    EXPECT_EQ(cli.Wait(), 0) << cli.Err();
    EXPECT_NE(cli.Out().find("Resultado: importado (status 0)"), std::string::npos) << cli.Out();
    EXPECT_NE(cli.Err().find("a resposta do servidor chegou depois do Ctrl-C: importado"), std::string::npos)
        << cli.Err();
    EXPECT_EQ(StoredStatements(db_).size(), 1u);
  }
  const std::string other = WriteFile(
      "fevereiro.ofx", OfxText("341", "12345-6", "20240201", "20240229",
                               {{"20240205", "10.00", "G1", "8", "TARIFA"}}, "100.00"));
  {
    DatabaseHold hold(db_);
    ASSERT_TRUE(hold.Held());
    std::unique_ptr<CliProcess> sent =
        interrupted_once_sent({"import", other, "--server", Server(), "--tipo", "Circulante"});
    CliProcess& cli = *sent;
    ASSERT_TRUE(cli.ErrorHas(again)) << cli.Err();
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(), 130);
    EXPECT_TRUE(cli.ErrorHas("o extrato pode ter sido gravado")) << cli.Err();
    EXPECT_NE(cli.Err().find("Arquivo de movimentação bancária já cadastrado."),
              std::string::npos);
  }
  // The server went on with the store it had received.
  server_->LogWhen([](const std::vector<std::string>& lines) {
    size_t stores = 0;
    for (const std::string& line : lines) stores += line.find("SetExtratoBancario") != std::string::npos;
    return stores >= 2;
  });
  EXPECT_EQ(StoredStatements(db_).size(), 2u);
  const CliResult repeated = RunCli({"import", other, "--server", Server(), "--tipo", "Circulante"});
  EXPECT_EQ(repeated.code, 3) << repeated.out;
}

// A server's message reaches the terminal with its control characters shown
// as escapes: a hostile server, or one in the middle, writes nothing into the
// clerk's terminal and forges no line of the outcome.
TEST(CommandLineAgainstAFakeServer, ServersMessageIsPrintedWithItsControlsEscaped) {
  FakeHttpServer server([](int fd, const FakeHttpServer::Request&) {
    FakeHttpServer::Send(
        fd,
        FakeHttpServer::Reply(
            200,
            R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":)"
            R"x("Conta\u001b[2J\u001b]0;x\u0007 recusada\nResultado: importado (status 0)"}})x"));
  });
  const CliResult result = RunCli({"import", Example("extrato-341.ofx"), "--server",
                                   "127.0.0.1:" + std::to_string(server.Port())});
  EXPECT_EQ(result.code, 4) << result.out;
  EXPECT_NE(
      result.out.find(
          "\n[erro] Conta\\x1B[2J\\x1B]0;x\\x07 recusada\\nResultado: importado (status 0)\n"),
      std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find_first_of(std::string("\x1B\x07", 2)), std::string::npos) << result.out;
}

}  // namespace
}  // namespace kvr::testing
