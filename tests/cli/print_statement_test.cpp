// Runs the built kvr61400 on shipped files, as a user or a script would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

struct PrintRun {
  int status;
  std::string out;
  std::string err;
};

// Runs kvr61400 with the shell-quoted arguments in the C locale.
PrintRun RunCli(const std::string& args) {
  const std::string err_file = std::filesystem::temp_directory_path() /
                               ("kvr61400-cli-err-" + std::to_string(::getpid()));
  const std::string command =
      "LC_ALL=C '" KVR61400_EXE "' " + args + " 2>'" + err_file + "'";
  PrintRun run{-1, "", ""};
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
  const PrintRun run = RunCli("inspect --json " + Data("exemplo-999.ofx"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            R"({"ofx":true,"banco":"999","conta":"12345-6","dataInicial":"2024-01-01",)"
            R"("dataFinal":"2024-01-31","valorInicial":1350.0,"valorFinal":1500.0,"avisos":[],"itens":[)"
            R"({"trnType":"CREDIT","postedDate":"2024-01-05","amount":200.0,"fitId":"A1",)"
            R"("checkNum":"1001","memo":"DEPOSITO"},)"
            R"({"trnType":"DEBIT","postedDate":"2024-01-10","amount":-50.0,"fitId":"A2",)"
            R"("checkNum":"1002","memo":"TARIFA"}]})"
            "\n");
}

TEST(InspectCli, DecimalSeparatorOptionAndHumanForm) {
  const PrintRun run = RunCli("inspect --decimal-separator , " + Data("exemplo-999.ofx"));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Saldo inicial:  1.350,00\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Período:        01/01/2024 a 31/01/2024\n"), std::string::npos);
  EXPECT_NE(run.out.find("10/01/2024  DEBIT   -50,00  A2     1002       TARIFA\n"),
            std::string::npos)
      << run.out;
}

TEST(InspectCli, TextsReachJsonAsUtf8) {
  const PrintRun run = RunCli("inspect --json " + Example("extrato-021.ofx"));
  ASSERT_EQ(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["banco"], "21");
  EXPECT_EQ(doc["valorInicial"], 2000.0);
  EXPECT_EQ(doc["itens"][0]["memo"], "Depósito em conta");
  EXPECT_EQ(doc["itens"][2]["memo"], "Pagamento boleto – condomínio");
  const PrintRun standard = RunCli("inspect --json " + Example("extrato-341.ofx"));
  ASSERT_EQ(standard.status, 0);
  EXPECT_EQ(nlohmann::json::parse(standard.out)["itens"][0]["memo"], "PIX RECEBIDO JOSE DA SILVA");
}

TEST(InspectCli, ShapesOfRealExportersAsJson) {
  struct Case {
    std::string file;
    std::string json;
  };
  const Case cases[] = {
      {"sem-quebras.ofx",
       R"({"ofx":true,"banco":"0260","conta":"1234567-8","dataInicial":"2024-04-01","dataFinal":"2024-04-30","valorInicial":1000.0,"valorFinal":1104.1,"avisos":[],"itens":[)"
       R"({"trnType":"CREDIT","postedDate":"2024-04-02","amount":150.0,"fitId":"N1","checkNum":"","memo":"Pix recebido"},)"
       R"({"trnType":"DEBIT","postedDate":"2024-04-05","amount":-45.9,"fitId":"N2","checkNum":"","memo":"Compra no debito"}]})"},
      {"stmttrn-junto.ofx",
       R"({"ofx":true,"banco":"033","conta":"13000123-4","dataInicial":"2024-05-01","dataFinal":"2024-05-31","valorInicial":1620.5,"valorFinal":2500.0,"avisos":[],"itens":[)"
       R"({"trnType":"PAYMENT","postedDate":"2024-05-10","amount":-120.5,"fitId":"20240510001","checkNum":"001","memo":"PAGAMENTO DE BOLETO"},)"
       R"({"trnType":"DEP","postedDate":"2024-05-20","amount":1000.0,"fitId":"20240520002","checkNum":"002","memo":"DEPOSITO EM CONTA"}]})"},
      {"sem-checknum.ofx",
       R"({"ofx":true,"banco":"0260","conta":"98765432-1","dataInicial":"2024-06-01","dataFinal":"2024-06-30","valorInicial":500.0,"valorFinal":717.1,"avisos":[],"itens":[)"
       R"({"trnType":"DEBIT","postedDate":"2024-06-03","amount":-32.9,"fitId":"6650a1b2-0001","checkNum":"","memo":"Compra no debito - Mercado"},)"
       R"({"trnType":"CREDIT","postedDate":"2024-06-05","amount":250.0,"fitId":"6650a1b2-0002","checkNum":"","memo":"Transferencia recebida pelo Pix"}]})"},
      {"name-antes-memo.ofx",
       R"({"ofx":true,"banco":"0237","conta":"4321-0","dataInicial":"2024-07-01","dataFinal":"2024-07-31","valorInicial":2000.0,"valorFinal":3410.1,"avisos":[],"itens":[)"
       R"({"trnType":"DEBIT","postedDate":"2024-07-02","amount":-89.9,"fitId":"0702001","checkNum":"0702001","memo":"COMPRA CARTAO DEBITO"},)"
       R"({"trnType":"CREDIT","postedDate":"2024-07-15","amount":1500.0,"fitId":"0715002","checkNum":"0715002","memo":"SALARIO"}]})"},
      {"memo-utf8.ofx",
       R"({"ofx":true,"banco":"0077","conta":"7654321-0","dataInicial":"2024-08-01","dataFinal":"2024-08-31","valorInicial":1000.0,"valorFinal":1280.1,"avisos":[],"itens":[)"
       R"({"trnType":"CREDIT","postedDate":"2024-08-02","amount":300.0,"fitId":"A1","checkNum":"1","memo":"Transferencia recebida"},)"
       R"({"trnType":"DEBIT","postedDate":"2024-08-10","amount":-19.9,"fitId":"A2","checkNum":"2","memo":"Tarifa de manutencao"}]})"},
      {"saldo-moeda.ofx",
       R"({"ofx":true,"banco":"0104","conta":"00012345-6","dataInicial":"2024-09-01","dataFinal":"2024-09-30","valorInicial":52207.3,"valorFinal":55103.65,"avisos":[],"itens":[)"
       R"({"trnType":"CREDIT","postedDate":"2024-09-03","amount":3000.0,"fitId":"C1","checkNum":"000101","memo":"CRED SALARIO"},)"
       R"({"trnType":"DEBIT","postedDate":"2024-09-10","amount":-103.65,"fitId":"C2","checkNum":"000102","memo":"DEB CONTA AGUA"}]})"},
      {"utf16-le.ofx",
       R"({"ofx":true,"banco":"999","conta":"12345-6","dataInicial":"2024-01-01","dataFinal":"2024-01-31","valorInicial":1350.0,"valorFinal":1500.0,"avisos":[],"itens":[)"
       R"({"trnType":"CREDIT","postedDate":"2024-01-05","amount":200.0,"fitId":"A1","checkNum":"1001","memo":"DEPOSITO"},)"
       R"({"trnType":"DEBIT","postedDate":"2024-01-10","amount":-50.0,"fitId":"A2","checkNum":"1002","memo":"TARIFA"}]})"},
      {"extrato-vazio-antes.ofx",
       R"({"ofx":true,"banco":"0341","conta":"222","dataInicial":"2024-02-01","dataFinal":"2024-02-29","valorInicial":235.78,"valorFinal":4225.79,"avisos":[],"itens":[)"
       R"({"trnType":"DEBIT","postedDate":"2024-02-10","amount":-9.99,"fitId":"A1","checkNum":"","memo":"PADARIA CENTRAL"},)"
       R"({"trnType":"CREDIT","postedDate":"2024-02-15","amount":4000.0,"fitId":"A2","checkNum":"","memo":"SALARIO EMPRESA"}]})"},
      {"cartao.ofx",
       R"({"ofx":true,"banco":"","conta":"4444333322221111","dataInicial":"2024-01-01","dataFinal":"2024-01-31","valorInicial":0.0,"valorFinal":-500.0,"avisos":[],"itens":[)"
       R"({"trnType":"DEBIT","postedDate":"2024-01-10","amount":-9.99,"fitId":"C1","checkNum":"","memo":"PADARIA CENTRAL"},)"
       R"({"trnType":"DEBIT","postedDate":"2024-01-12","amount":-490.01,"fitId":"C2","checkNum":"","memo":"LOJA DE PECAS"}]})"},
  };
  for (const auto& c : cases) {
    const PrintRun run = RunCli("inspect --json " + Data(c.file));
    EXPECT_EQ(run.status, 0) << c.file;
    EXPECT_EQ(run.err, "") << c.file;
    EXPECT_EQ(run.out, c.json + "\n") << c.file;
  }
}

// Header periods and dates as banks write them today: the period read, and
// the warning when the movements' period stands in for one that is none.
TEST(InspectCli, HeaderPeriodsOfTodaysExports) {
  struct Case {
    std::string file;
    std::string start, end;
    std::string warning;  // UTF-8; "" for none
  };
  const Case cases[] = {
      {"periodo-sem-zeros.ofx", "2025-02-03", "2025-02-04",
       "Período do arquivo ilegível (DTSTART \"2025025173830[-3:GMT]\"): usado o "
       "período dos movimentos, 03/02/2025 a 04/02/2025."},
      {"periodo-dia-1.ofx", "2025-02-03", "2025-02-10",
       "Período do arquivo ilegível (DTSTART \"2025021101520[-3:GMT]\"): usado o "
       "período dos movimentos, 03/02/2025 a 10/02/2025."},
      {"periodo-invertido-104.ofx", "2024-09-02", "2024-10-01",
       "Período do arquivo invertido (30/09/2024 a 01/09/2024): usado o período dos "
       "movimentos, 02/09/2024 a 01/10/2024."},
      {"datas-iso.ofx", "2026-02-01", "2026-02-28", ""},
      {"exportacao-237.ofx", "2024-08-28", "2024-08-28", ""},
  };
  for (const Case& c : cases) {
    const PrintRun run = RunCli("inspect --json " + Data(c.file));
    ASSERT_EQ(run.status, 0) << c.file << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["dataInicial"], c.start) << c.file;
    EXPECT_EQ(doc["dataFinal"], c.end) << c.file;
    const nlohmann::json warnings =
        c.warning.empty() ? nlohmann::json::array() : nlohmann::json::array({c.warning});
    EXPECT_EQ(doc["avisos"], warnings) << c.file;
    const PrintRun human = RunCli("inspect " + Data(c.file));
    EXPECT_EQ(human.out.find("Aviso:          " + c.warning + "\n") != std::string::npos,
              !c.warning.empty())
        << human.out;
  }
  EXPECT_EQ(nlohmann::json::parse(RunCli("inspect --json " + Data("datas-iso.ofx")).out)["itens"][1]
                ["postedDate"],
            "2026-02-27");
  // One account in two currencies: two statements, each shown with its own balances.
  const PrintRun currencies = RunCli("inspect --json " + Data("duas-moedas.ofx"));
  ASSERT_EQ(currencies.status, 0) << currencies.err;
  const nlohmann::json both = nlohmann::json::parse(currencies.out)["extratos"];
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0]["valorFinal"], 90.0);
  EXPECT_EQ(both[1]["valorFinal"], 45.0);
}

TEST(InspectCli, OnlyRegularFilesAreRead) {
  // A pipe used to hang and /dev/zero to eat all memory: both are refused at
  // once (the pipe has no writer, so reading it would block for ever).
  const std::string fifo = std::filesystem::temp_directory_path() /
                           ("kvr61400-cli-fifo-" + std::to_string(::getpid()));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string kind;
  };
  const Case cases[] = {{fifo, "um pipe"}, {"/dev/zero", "um dispositivo"}, {"/tmp", "uma pasta"}};
  for (const auto& c : cases) {
    const PrintRun run = RunCli("inspect --json '" + c.path + "'");
    EXPECT_EQ(run.status, 2) << c.path;
    EXPECT_EQ(run.out, "") << c.path;
    EXPECT_NE(run.err.find("\"" + c.path + "\" não é um arquivo comum, é " + c.kind),
              std::string::npos)
        << run.err;
  }
  std::filesystem::remove(fifo);
}

TEST(InspectCli, MissingFileSaysSoOnStderr) {
  const PrintRun run = RunCli("inspect --json /nao/existe/extrato.ofx");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "kvr61400 inspect: arquivo não encontrado: /nao/existe/extrato.ofx (confira o "
            "caminho e o nome)\n");
  EXPECT_EQ(nlohmann::json::parse(run.out)["ofx"], false);
}

TEST(InspectCli, JsonEscapesWhatJsonMust) {
  // The JSON is written as a stream: quotes, backslashes, control characters
  // and Windows-1252 letters must come out as a JSON reader reads them back.
  const std::string path = std::filesystem::temp_directory_path() /
                           ("kvr61400-cli-esc-" + std::to_string(::getpid()) + ".ofx");
  std::ofstream(path, std::ios::binary)
      << "<OFX>\n<BANKID>21\n<STMTTRN>\n<FITID>\"F\\1\"\n<TRNTYPE>A\x01\tB\n<DTPOSTED>20240110\n"
         "<TRNAMT>0.1\n<MEMO>Crédito €\n</STMTTRN>\n<BALAMT>10000000000000000\n";
  const PrintRun run = RunCli("inspect --json '" + path + "'");
  std::filesystem::remove(path);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(R"("fitId":"\"F\\1\"")"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(R"("valorFinal":1e+16,)"), std::string::npos) << run.out;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["itens"][0]["trnType"], "A\x01\tB");
  EXPECT_EQ(doc["itens"][0]["amount"], 0.1);
  EXPECT_EQ(doc["itens"][0]["memo"], "Crédito €");
}

TEST(InspectCli, NoStatementExitsWithOneAndStillPrints) {
  for (const std::string& file : {Data("planilha.csv"), Data("nao-existe.ofx")}) {
    const PrintRun run = RunCli("inspect --json " + file);
    EXPECT_EQ(run.status, 1) << file;
    EXPECT_EQ(run.out,
              R"({"ofx":false,"banco":"","conta":"","dataInicial":"1899-12-30",)"
              R"("dataFinal":"1899-12-30","valorInicial":0.0,"valorFinal":0.0,"avisos":[],"itens":[]})"
              "\n");
  }
}

TEST(InspectCli, FileThatIsNoStatementShowsNoPeriodOrBalancesAndSaysSo) {
  const PrintRun run = RunCli("inspect " + Data("planilha.csv"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Arquivo:        " KVR_TEST_DATA_DIR "/planilha.csv\nExtrato OFX:    não\n");
  EXPECT_EQ(run.err, "kvr61400 inspect: " KVR_TEST_DATA_DIR "/planilha.csv: não é um extrato OFX (nenhuma "
                     "linha <OFX>); escolha o arquivo .ofx exportado pelo banco\n");
}

TEST(InspectCli, ParseErrorsExitWithTwoAndNothingOnStdout) {
  struct Case {
    std::string file;
    std::string message;
  };
  const Case cases[] = {
      {"valor-invalido.ofx",
       "linha 20: valor \"12,5x\" de TRNAMT não é um número\n"},
      {"truncado.ofx",
       "Arquivo incompleto: termina na linha 20, dentro da transação iniciada na linha "
       "16.\n"},
  };
  for (const auto& c : cases) {
    const PrintRun run = RunCli("inspect --json " + Data(c.file));
    EXPECT_EQ(run.status, 2) << c.file;
    EXPECT_EQ(run.out, "");
    const std::string tail = run.err.size() >= c.message.size()
                                 ? run.err.substr(run.err.size() - c.message.size())
                                 : run.err;
    EXPECT_EQ(tail, c.message);
  }
}

TEST(InspectCli, FileWithSeveralStatementsPrintsEach) {
  const PrintRun json = RunCli("inspect --json " + Data("dois-extratos.ofx"));
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json doc = nlohmann::json::parse(json.out);
  ASSERT_EQ(doc["extratos"].size(), 2u) << json.out;
  EXPECT_EQ(doc["extratos"][0]["conta"], "111");
  EXPECT_EQ(doc["extratos"][0]["itens"][0]["fitId"], "A1");
  EXPECT_EQ(doc["extratos"][1]["conta"], "4444");
  EXPECT_EQ(doc["extratos"][1]["itens"][0]["fitId"], "C1");
  const PrintRun text = RunCli("inspect " + Data("dois-extratos.ofx"));
  EXPECT_EQ(text.status, 0);
  const size_t second = text.out.find("Extrato 2 de 2\n");
  ASSERT_NE(second, std::string::npos) << text.out;
  EXPECT_LT(text.out.find("Conta:          111\n"), second) << text.out;
  EXPECT_NE(text.out.find("Conta:          4444\n", second), std::string::npos) << text.out;
}

TEST(InspectCli, UsageErrorsExitWith64) {
  const char* cases[] = {"",
                         "inspect",
                         "inspect --json",
                         "inspect --bogus x.ofx",
                         "inspect --decimal-separator",
                         "inspect --decimal-separator ab x.ofx",
                         "inspect --decimal-separator x x.ofx",
                         "inspect --decimal-separator 0 x.ofx",
                         "inspect a.ofx b.ofx",
                         "unknown"};
  for (const char* args : cases) {
    const PrintRun run = RunCli(args);
    EXPECT_EQ(run.status, 64) << args;
    EXPECT_EQ(run.out, "") << args;
    EXPECT_NE(run.err.find("uso:"), std::string::npos) << args;
  }
}

}  // namespace
