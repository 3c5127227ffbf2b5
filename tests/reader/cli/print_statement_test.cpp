// Runs the built kvr61400 on shipped files, as a user or a script would.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

struct TRun {
  int status;
  std::string out;
  std::string err;
};

// Runs kvr61400 with the shell-quoted arguments in the C locale.
TRun RunCli(const std::string& args) {
  const std::string err_file = std::filesystem::temp_directory_path() /
                               ("kvr61400-cli-err-" + std::to_string(::getpid()));
  const std::string command =
      "LC_ALL=C '" KVR61400_EXE "' " + args + " 2>'" + err_file + "'";
  TRun run{-1, "", ""};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
  const int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream err(err_file, std::ios::binary);
  std::stringstream text;
  text << err.rdbuf();
  run.err = text.str();
  std::filesystem::remove(err_file);
  return run;
}

std::string Data(const std::string& name) { return "'" KVR_TEST_DATA_DIR "/" + name + "'"; }
std::string Example(const std::string& name) { return "'" KVR_EXAMPLES_DIR "/" + name + "'"; }

TEST(InspectCli, JsonOfTheTwoTransactionStatement) {
  const TRun run = RunCli("inspect --json " + Data("exemplo-999.ofx"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            R"({"ofx":true,"banco":"999","conta":"12345-6","dataInicial":"2024-01-01",)"
            R"("dataFinal":"2024-01-31","valorInicial":1350.0,"valorFinal":1500.0,"itens":[)"
            R"({"trnType":"CREDIT","postedDate":"2024-01-05","amount":200.0,"fitId":"A1",)"
            R"("checkNum":"1001","memo":"DEPOSITO"},)"
            R"({"trnType":"DEBIT","postedDate":"2024-01-10","amount":-50.0,"fitId":"A2",)"
            R"("checkNum":"1002","memo":"TARIFA"}]})"
            "\n");
}

TEST(InspectCli, DecimalSeparatorOptionAndHumanForm) {
  const TRun run = RunCli("inspect --decimal-separator , " + Data("exemplo-999.ofx"));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Saldo inicial:  1.350,00\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Per\xC3\xADodo:        01/01/2024 a 31/01/2024\n"), std::string::npos);
  EXPECT_NE(run.out.find("10/01/2024  DEBIT   -50,00  A2     1002       TARIFA\n"),
            std::string::npos)
      << run.out;
}

TEST(InspectCli, TextsReachJsonAsUtf8) {
  const TRun run = RunCli("inspect --json " + Example("extrato-021.ofx"));
  ASSERT_EQ(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["banco"], "21");
  EXPECT_EQ(doc["valorInicial"], 2000.0);
  EXPECT_EQ(doc["itens"][0]["memo"], "Dep\xC3\xB3sito em conta");
  EXPECT_EQ(doc["itens"][2]["memo"], "Pagamento boleto \xE2\x80\x93 condom\xC3\xADnio");
  const TRun standard = RunCli("inspect --json " + Example("extrato-341.ofx"));
  ASSERT_EQ(standard.status, 0);
  EXPECT_EQ(nlohmann::json::parse(standard.out)["itens"][0]["memo"], "PIX RECEBIDO JOSE DA SILVA");
}

TEST(InspectCli, NoStatementExitsWithOneAndStillPrints) {
  for (const std::string& file : {Data("planilha.csv"), Data("nao-existe.ofx")}) {
    const TRun run = RunCli("inspect --json " + file);
    EXPECT_EQ(run.status, 1) << file;
    EXPECT_EQ(run.out,
              R"({"ofx":false,"banco":"","conta":"","dataInicial":"1899-12-30",)"
              R"("dataFinal":"1899-12-30","valorInicial":0.0,"valorFinal":0.0,"itens":[]})"
              "\n");
  }
}

TEST(InspectCli, ParseErrorsExitWithTwoAndNothingOnStdout) {
  struct Case {
    std::string file;
    std::string message;
  };
  const Case cases[] = {
      {"valor-invalido.ofx",
       "linha 20: valor \"12,5x\" de TRNAMT n\xC3\xA3o \xC3\xA9 um n\xC3\xBAmero\n"},
      {"truncado.ofx",
       "linha 16: o arquivo termina na linha 20, dentro da transa\xC3\xA7\xC3\xA3o iniciada nela\n"},
  };
  for (const auto& c : cases) {
    const TRun run = RunCli("inspect --json " + Data(c.file));
    EXPECT_EQ(run.status, 2) << c.file;
    EXPECT_EQ(run.out, "");
    const std::string tail = run.err.size() >= c.message.size()
                                 ? run.err.substr(run.err.size() - c.message.size())
                                 : run.err;
    EXPECT_EQ(tail, c.message);
  }
}

TEST(InspectCli, UsageErrorsExitWith64) {
  const char* cases[] = {"",
                         "inspect",
                         "inspect --json",
                         "inspect --bogus x.ofx",
                         "inspect --decimal-separator",
                         "inspect --decimal-separator ab x.ofx",
                         "inspect a.ofx b.ofx",
                         "unknown"};
  for (const char* args : cases) {
    const TRun run = RunCli(args);
    EXPECT_EQ(run.status, 64) << args;
    EXPECT_EQ(run.out, "") << args;
    EXPECT_NE(run.err.find("uso:"), std::string::npos) << args;
  }
}

}  // namespace
