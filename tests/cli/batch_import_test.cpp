// `kvr61400 import` of several files, a folder and files holding several
// statements, against a real kvr61400-server on 127.0.0.1 (free port, fresh
// SQLite file); what was stored is checked through the server's own listing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../server/server_process.h"

namespace kvr::testing {
namespace {

struct CliRun {
  int code = -1;
  std::string out, err;
};

CliRun RunImport(std::vector<std::string> args) {
  const std::string err_file =
      (std::filesystem::temp_directory_path() / ("kvr-batch-err-" + std::to_string(::getpid())))
          .string();
  std::string command = std::string("'") + KVR61400_EXE + "' import";
  for (const auto& a : args) command += " '" + a + "'";
  command += " </dev/null 2>'" + err_file + "'";
  CliRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream err(err_file, std::ios::binary);
  run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  std::remove(err_file.c_str());
  return run;
}

// One statement aggregate of account (bank 341) for a month of 2024, its
// movements each of amount on days 10, 11, ...; the closing balance is
// opening plus the movements.
std::string Statement(const std::string& account, int month, double opening,
                      const std::vector<double>& amounts, const std::string& currency = "BRL") {
  static const int kLast[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  char period[64];
  std::snprintf(period, sizeof period, "<DTSTART>2024%02d01<DTEND>2024%02d%02d", month, month,
                kLast[month - 1]);
  std::string text = "<STMTTRNRS><STMTRS><CURDEF>" + currency +
                     "<BANKACCTFROM><BANKID>341<ACCTID>" + account +
                     "</BANKACCTFROM>\n<BANKTRANLIST>" + period + "\n";
  double closing = opening;
  for (size_t i = 0; i < amounts.size(); ++i) {
    char trn[200];
    std::snprintf(trn, sizeof trn,
                  "<STMTTRN><TRNTYPE>OTHER<DTPOSTED>2024%02d%02d<TRNAMT>%.2f<FITID>%s%02d%02zu"
                  "<MEMO>MOV %zu</STMTTRN>\n",
                  month, static_cast<int>(10 + i), amounts[i], account.c_str(), month, i, i);
    text += trn;
    closing += amounts[i];
  }
  char balance[64];
  std::snprintf(balance, sizeof balance, "%.2f", closing);
  return text + "</BANKTRANLIST><LEDGERBAL><BALAMT>" + balance +
         "</LEDGERBAL></STMTRS></STMTTRNRS>\n";
}

std::string Ofx(const std::string& statements) {
  return "OFXHEADER:100\nDATA:OFXSGML\nVERSION:102\n\n<OFX><BANKMSGSRSV1>\n" + statements +
         "</BANKMSGSRSV1></OFX>\n";
}

class BatchImport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kvr-batch-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_ / "mes");
    db_ = (dir_ / "db.sqlite").string();
    for (const auto& [code, number] : {std::pair{"001", "123456"}, std::pair{"111", "111"}}) {
      const CommandResult r =
          RunServerCommand({"conta", "add", "--db", db_, "--codigo", code, "--banco", "341",
                            "--agencia", "1234", "--conta", number, "--tipo", "C"});
      ASSERT_EQ(r.code, 0) << r.err;
    }
    server_ = std::make_unique<ServerProcess>(db_);
    server_->Start();
  }
  void TearDown() override {
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string Server() { return "127.0.0.1:" + std::to_string(server_->Port()); }
  // The stored statements as "account first-day count", in the listing's order.
  std::vector<std::string> Stored() {
    const CommandResult r = RunServerCommand({"extrato", "list", "--json", "--db", db_});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> out;
    for (const auto& s : nlohmann::json::parse(r.out)) {
      out.push_back(s["CDREDUCONT"].get<std::string>() + " " +
                    s["DTSALDINIC"].get<std::string>().substr(0, 10) + " " +
                    std::to_string(s["MOVIMENTOS"].get<int>()));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  std::filesystem::path dir_;
  std::string db_;
  std::unique_ptr<ServerProcess> server_;
};

// Batches run one after another on one server: what each statement came to,
// the exit status and what the server holds after it.
TEST_F(BatchImport, BatchesOfFilesEachStatementWithItsResultAndTheStatus) {
  const std::string jan = Write("mes/01-jan.ofx", Ofx(Statement("12345-6", 1, 100, {10, -5})));
  const std::string feb = Write("mes/02-fev.ofx", Ofx(Statement("12345-6", 2, 105, {1, 2, 3})));
  // Cut off inside its transaction, as a broken download leaves it.
  const std::string march = Ofx(Statement("12345-6", 3, 111, {7}));
  const std::string broken = Write("mes/03-quebrado.ofx", march.substr(0, march.find("<FITID>")));
  const std::string apr = Write("mes/04-abr.ofx", Ofx(Statement("12345-6", 4, 118, {-8})));
  // Two accounts' statements in one file, with an empty one between them.
  const std::string both = Write(
      "ambas.ofx", Ofx(Statement("12345-6", 5, 110, {4}) + Statement("111", 5, 0, {}) +
                       Statement("111", 5, 0, {20, 30})));
  const std::string dollars = Write(
      "dolares.ofx", Ofx(Statement("111", 6, 50, {5}) + Statement("111", 7, 0, {9}, "USD")));
  const std::string missing = (dir_ / "nao-existe.ofx").string();

  struct Case {
    std::vector<std::string> files;
    int status;
    std::vector<std::string> results;  // "resultado" of each statement, in order
    std::vector<std::string> stored;   // the server's statements after the batch
  };
  const Case cases[] = {
      // All new.
      {{jan, feb}, 0, {"importado", "importado"}, {"001 2024-01-01 2", "001 2024-02-01 3"}},
      // Some already recorded, an unreadable one in the middle: the others go on.
      {{feb, broken, apr},
       4,
       {"ja_cadastrado", "erro", "importado"},
       {"001 2024-01-01 2", "001 2024-02-01 3", "001 2024-04-01 1"}},
      // The folder: its files in name order; the same month again is safe.
      {{(dir_ / "mes").string()},
       4,
       {"ja_cadastrado", "ja_cadastrado", "erro", "ja_cadastrado"},
       {"001 2024-01-01 2", "001 2024-02-01 3", "001 2024-04-01 1"}},
      // Several statements in a file, each to its own account.
      {{both},
       0,
       {"importado", "importado"},
       {"001 2024-01-01 2", "001 2024-02-01 3", "001 2024-04-01 1", "001 2024-05-01 1",
        "111 2024-05-01 2"}},
      // The same batch twice: nothing stored again.
      {{both, jan},
       0,
       {"ja_cadastrado", "ja_cadastrado", "ja_cadastrado"},
       {"001 2024-01-01 2", "001 2024-02-01 3", "001 2024-04-01 1", "001 2024-05-01 1",
        "111 2024-05-01 2"}},
      // A statement in dollars is refused, the other of its file imported; a
      // missing file is said and the batch goes on.
      {{dollars, missing},
       4,
       {"importado", "recusado", "erro"},
       {"001 2024-01-01 2", "001 2024-02-01 3", "001 2024-04-01 1", "001 2024-05-01 1",
        "111 2024-05-01 2", "111 2024-06-01 1"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    std::vector<std::string> args = c.files;
    for (const char* a : {"--server", "--sim", "--json"}) args.push_back(a);
    args.insert(args.begin() + static_cast<long>(args.size()) - 2, Server());
    const CliRun run = RunImport(args);
    EXPECT_EQ(run.code, c.status) << "batch " << i << "\n" << run.out << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << "batch " << i << "\n" << run.out;
    std::vector<std::string> results;
    for (const auto& s : report["extratos"]) results.push_back(s["resultado"]);
    EXPECT_EQ(results, c.results) << "batch " << i;
    EXPECT_EQ(report["totais"]["status"], c.status) << "batch " << i;
    EXPECT_EQ(report["totais"]["extratos"], c.results.size()) << "batch " << i;
    EXPECT_EQ(Stored(), c.stored) << "batch " << i;
  }
}

// The text of a batch: a line per statement as it ends, the table, the total
// and the continuity of what was stored (March missing between February and
// April).
TEST_F(BatchImport, LinesTableTotalAndTheGapOfTheMonthImported) {
  const std::string feb = Write("mes/02.ofx", Ofx(Statement("12345-6", 2, 105, {1, 2, 3})));
  const std::string apr = Write("mes/04.ofx", Ofx(Statement("12345-6", 4, 118, {-8})));
  const std::string two = Write("duas.ofx", Ofx(Statement("111", 5, 0, {20, 30}) +
                                                Statement("12345-6", 5, 110, {4})));
  const CliRun run = RunImport({(dir_ / "mes").string(), two, "--server", Server(), "--sim"});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  const std::string lines[] = {
      feb + ": banco 341, conta 123456, 01/02/2024 a 29/02/2024, 3 movimentos: importado\n",
      apr + ": banco 341, conta 123456, 01/04/2024 a 30/04/2024, 1 movimento: importado\n",
      two + " (extrato 1 de 2): banco 341, conta 111, 01/05/2024 a 31/05/2024, 2 movimentos: "
            "importado\n",
      two + " (extrato 2 de 2): banco 341, conta 123456, 01/05/2024 a 31/05/2024, 1 movimento: "
            "importado\n",
      "Total: 4 extratos: 4 importados, 0 já cadastrados, 0 não importados; 7 movimentos "
      "gravados\n",
      "Continuidade: 2 problemas\n",
      "  conta 001, extrato 01/04/2024 a 30/04/2024: lacuna de 31 dias antes dele\n",
      "  conta 001, extrato 01/04/2024 a 30/04/2024: saldo inicial difere do final do anterior "
      "em R$ 7,00\n"};
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = run.out.find(line, at);
    EXPECT_NE(found, std::string::npos) << line << "\nin\n" << run.out;
    if (found != std::string::npos) at = found + line.size();
  }
  // The screen's messages are not repeated line by line in a batch.
  EXPECT_EQ(run.out.find("[mensagem]"), std::string::npos) << run.out;
}

// One file with one statement keeps the exit status of its end; several
// statements take 0 or 4.
TEST_F(BatchImport, ExitStatusOfOneStatementIsItsOwn) {
  const std::string jan = Write("jan.ofx", Ofx(Statement("12345-6", 1, 100, {10, -5})));
  EXPECT_EQ(RunImport({jan, "--server", Server(), "--sim"}).code, 0);
  EXPECT_EQ(RunImport({jan, "--server", Server(), "--sim"}).code, 3);
  const std::string two = Write("duas.ofx", Ofx(Statement("111", 5, 0, {20}) +
                                                Statement("12345-6", 5, 110, {4})));
  const CliRun second = RunImport({two, "--server", Server(), "--sim", "--extrato", "2", "--json"});
  EXPECT_EQ(second.code, 0) << second.out << second.err;
  const nlohmann::json report = nlohmann::json::parse(second.out, nullptr, false);
  EXPECT_EQ(report["extrato"], (nlohmann::json{{"numero", 2}, {"de", 2}})) << second.out;
  EXPECT_EQ(report["tela"]["conta"], "123456");
  EXPECT_EQ(RunImport({two, "--server", Server(), "--sim", "--extrato", "3"}).code, 2);
  EXPECT_EQ(RunImport({(dir_ / "vazia").string(), "--server", Server()}).code, 2);
  std::filesystem::create_directories(dir_ / "vazia");
  const CliRun empty = RunImport({(dir_ / "vazia").string(), "--server", Server()});
  EXPECT_EQ(empty.code, 64);
  EXPECT_NE(empty.err.find("não tem arquivos .ofx ou .qfx"), std::string::npos) << empty.err;
}

}  // namespace
}  // namespace kvr::testing
