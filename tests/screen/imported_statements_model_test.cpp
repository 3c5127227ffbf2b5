// The model of the window "Extratos importados": the server's continuity as
// accounts, table rows, summary and chart data, and its refresh through a
// server double. (The desktop's smoke test of the window runs it against a
// real kvr61400-server.)
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cp1252.h"
#include "platform/format_settings.h"
#include "recording_host.h"
#include "screen/imported_statements_model.h"
#include "server_double.h"

namespace kvr::testing {
namespace {

using Cells = std::array<std::string, 6>;

// Account 001 with a gap before its third statement and an overlap and a
// balance break before its fourth; 002 with one statement; 003 with none.
const nlohmann::json kContinuity = nlohmann::json::parse(R"([
  {"conta":"001","banco":"341","numero":"123456","tipo":"C","extratos":[
    {"extrato":"1","dataInicial":"2024-01-01","dataFinal":"2024-01-31","saldoInicial":1000.0,
     "saldoFinal":1250.4,"movimentos":1,"problemas":[]},
    {"extrato":"2","dataInicial":"2024-02-01","dataFinal":"2024-02-29","saldoInicial":1250.4,
     "saldoFinal":980.1,"movimentos":1,"problemas":[]},
    {"extrato":"3","dataInicial":"2024-04-01","dataFinal":"2024-04-30","saldoInicial":980.1,
     "saldoFinal":-320.0,"movimentos":1,"problemas":[{"tipo":"lacuna","dias":31}]},
    {"extrato":"4","dataInicial":"2024-04-24","dataFinal":"2024-05-31","saldoInicial":-307.5,
     "saldoFinal":410.75,"movimentos":1,
     "problemas":[{"tipo":"sobreposicao","dias":7},{"tipo":"saldo","diferenca":12.5}]}]},
  {"conta":"002","banco":"341","numero":"123456","tipo":"L","extratos":[
    {"extrato":"5","dataInicial":"2024-01-01","dataFinal":"2024-01-31","saldoInicial":5000.0,
     "saldoFinal":5100.0,"movimentos":3,"problemas":[]}]},
  {"conta":"003","banco":"237","numero":"543210","tipo":"G","extratos":[]}])");

std::vector<Cells> CellsOf(const ImportedStatementsModel& model) {
  std::vector<Cells> cells;
  for (const StatementRow& row : model.Rows()) cells.push_back(row.cells);
  return cells;
}

std::vector<std::string> Captions(const ImportedStatementsModel& model) {
  std::vector<std::string> captions;
  for (const StatementAccount& account : model.Accounts()) captions.push_back(account.caption);
  return captions;
}

std::string Iso(TDateTime day) {
  int year = 0, month = 0, dom = 0;
  DecodeDate(day, year, month, dom);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, dom);
  return text;
}

// "2024-02-01 1250.40" per point.
std::vector<std::string> Points(const std::vector<BalancePoint>& points) {
  std::vector<std::string> texts;
  for (const BalancePoint& point : points) {
    char amount[32];
    std::snprintf(amount, sizeof amount, " %.2f", point.reais);
    texts.push_back(Iso(point.day) + amount);
  }
  return texts;
}

// "lacuna 2024-03-01 2024-04-01" per band.
std::vector<std::string> Bands(const BalanceChart& chart) {
  std::vector<std::string> texts;
  for (const ChartBand& band : chart.bands)
    texts.push_back(std::string(band.kind == ChartBand::kGap ? "lacuna " : "sobreposicao ") +
                    Iso(band.from) + " " + Iso(band.to));
  return texts;
}

// Numbers by the given separators for as long as it lives (the window shows
// them by the process's locale, as the import screen does).
class Separators {
 public:
  Separators(char decimal, char thousands) : saved_(FormatSettings) {
    FormatSettings.DecimalSeparator = decimal;
    FormatSettings.ThousandSeparator = thousands;
  }
  ~Separators() { FormatSettings = saved_; }

 private:
  TFormatSettings saved_;
};

// An account 001 holding the given statements.
nlohmann::json OneAccount(const nlohmann::json& statements) {
  return nlohmann::json::array({{{"conta", "001"}, {"extratos", statements}}});
}

TEST(ImportedStatementsModel, RowsMarkTheBreaksOfTheChain) {
  const Separators brazilian(',', '.');
  ImportedStatementsModel model;
  model.Show(kContinuity);
  ASSERT_EQ(model.Chosen(), 0);
  EXPECT_EQ(CellsOf(model),
            (std::vector<Cells>{
                {"1", "01/01/2024 a 31/01/2024", "1.000,00 C", "1.250,40 C", "1", "primeiro extrato"},
                {"2", "01/02/2024 a 29/02/2024", "1.250,40 C", "980,10 C", "1", "em sequência"_cp1252},
                {"3", "01/04/2024 a 30/04/2024", "980,10 C", "320,00 D", "1", "lacuna de 31 dias"},
                {"4", "24/04/2024 a 31/05/2024", "307,50 D", "410,75 C", "1",
                 "sobreposição de 7 dias; saldo inicial difere do final anterior em R$ 12,50"_cp1252}}));
  std::vector<bool> marked;
  for (const StatementRow& row : model.Rows()) marked.push_back(row.problem);
  EXPECT_EQ(marked, (std::vector<bool>{false, false, true, true}));
  EXPECT_EQ(model.Summary(), "4 extratos, 3 problemas marcados.");
  EXPECT_EQ(Captions(model), (std::vector<std::string>{
                                 "001 - banco 341, conta 123456, Circulante (3 problemas)",
                                 "002 - banco 341, conta 123456, Aplicação"_cp1252,
                                 "003 - banco 237, conta 543210, Garantida"}));
}

TEST(ImportedStatementsModel, CellsOfOneStatement) {
  const Separators brazilian(',', '.');
  struct Case {
    const char* statement;
    Cells cells;
    bool problem;
  };
  const Case cases[] = {
      {R"({"extrato":"7","dataInicial":"2024-02-01","dataFinal":"2024-02-29","saldoInicial":1350,
           "saldoFinal":-0.01,"movimentos":12,"problemas":[]})",
       {"7", "01/02/2024 a 29/02/2024", "1.350,00 C", "0,01 D", "12", "primeiro extrato"}, false},
      {R"({"extrato":"8","dataInicial":"2023-12-31","dataFinal":"2024-01-01","saldoInicial":1234567.891,
           "saldoFinal":0,"movimentos":0})",
       {"8", "31/12/2023 a 01/01/2024", "1.234.567,89 C", "0,00 C", "0", "primeiro extrato"}, false},
      // No such day, no end, a date with a time: no period.
      {R"({"extrato":"9","dataInicial":"2024-02-30","dataFinal":"2024-03-31"})",
       {"9", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "primeiro extrato"}, false},
      {R"({"extrato":"10","dataInicial":"2024-03-01","dataFinal":null})",
       {"10", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "primeiro extrato"}, false},
      {R"({"extrato":"11","dataInicial":"2024-03-01T00:00:00","dataFinal":"2024-03-31"})",
       {"11", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "primeiro extrato"}, false},
      {R"({"extrato":12,"saldoInicial":"10,00","movimentos":"3","problemas":{"tipo":"lacuna"}})",
       {"", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "primeiro extrato"}, false},
      {R"({"problemas":[{"tipo":"lacuna","dias":1}]})",
       {"", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "lacuna de 1 dia"}, true},
      {R"({"problemas":[{"tipo":"sobreposicao","dias":1}]})",
       {"", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "sobreposição de 1 dia"_cp1252}, true},
      {R"({"problemas":[{"tipo":"saldo","diferenca":-1350}]})",
       {"", "sem período"_cp1252, "0,00 C", "0,00 C", "0",
        "saldo inicial difere do final anterior em -R$ 1.350,00"}, true},
      {R"({"problemas":[{"tipo":"lacuna","dias":29},{"tipo":"outro"}]})",
       {"", "sem período"_cp1252, "0,00 C", "0,00 C", "0", "lacuna de 29 dias; outro"}, true},
      {R"({"problemas":[{"tipo":"fechamento","diferenca":-1254.56}]})",
       {"", "sem período"_cp1252, "0,00 C", "0,00 C", "0",
        "movimentos não fecham o saldo: diferença de R$ -1.254,56"_cp1252}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement);
    ImportedStatementsModel model;
    model.Show(OneAccount(nlohmann::json::array({nlohmann::json::parse(c.statement)})));
    ASSERT_EQ(model.Rows().size(), 1u);
    EXPECT_EQ(model.Rows()[0].cells, c.cells);
    EXPECT_EQ(model.Rows()[0].problem, c.problem);
  }
}

TEST(ImportedStatementsModel, AmountsFollowTheLocaleAsTheImportScreenDoes) {
  const Separators english('.', ',');
  ImportedStatementsModel model;
  model.Show(OneAccount(nlohmann::json::parse(R"([{"saldoInicial":1234567.891,"saldoFinal":-0.01,
      "problemas":[{"tipo":"saldo","diferenca":-1350},{"tipo":"fechamento","diferenca":1254.56}]}])")));
  ASSERT_EQ(model.Rows().size(), 1u);
  EXPECT_EQ(model.Rows()[0].cells,
            (Cells{"", "sem período"_cp1252, "1,234,567.89 C", "0.01 D", "0",
                   "saldo inicial difere do final anterior em -R$ 1,350.00; movimentos não fecham o saldo: "_cp1252
                   "diferença de R$ 1,254.56"_cp1252}));
}

TEST(ImportedStatementsModel, CaptionsAndSummaries) {
  struct Case {
    const char* account;
    const char* caption;
    const char* summary;
  };
  const Case cases[] = {
      {R"({"conta":"004","extratos":[]})", "004", "Nenhum extrato gravado desta conta."},
      {R"({"conta":"004","banco":"1","numero":"9","tipo":"X"})", "004 - banco 1, conta 9, X",
       "Nenhum extrato gravado desta conta."},
      {R"({"conta":"004","extratos":[{}]})", "004", "1 extrato, em sequência, sem problemas."_cp1252},
      {R"({"conta":"004","extratos":[{},{"problemas":[{"tipo":"lacuna","dias":3}]}]})", "004 (1 problema)",
       "2 extratos, 1 problema marcado."},
      {R"({"conta":"004","extratos":[{"problemas":[{"tipo":"lacuna"},{"tipo":"saldo"}]},
                                     {"problemas":[{"tipo":"saldo"}]}]})",
       "004 (3 problemas)", "2 extratos, 3 problemas marcados."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account);
    ImportedStatementsModel model;
    model.Show(nlohmann::json::array({nlohmann::json::parse(c.account)}));
    EXPECT_EQ(Captions(model), std::vector<std::string>{c.caption});
    EXPECT_EQ(model.Summary(), c.summary);
  }
}

TEST(ImportedStatementsModel, TheChosenAccountSurvivesANewAnswerWhileItIsThere) {
  const Separators brazilian(',', '.');
  ImportedStatementsModel model;
  model.Show(kContinuity);
  model.ChooseIndex(1);
  ASSERT_EQ(model.Accounts()[1].code, "002");
  EXPECT_EQ(CellsOf(model), (std::vector<Cells>{{"5", "01/01/2024 a 31/01/2024", "5.000,00 C", "5.100,00 C",
                                                  "3", "primeiro extrato"}}));
  EXPECT_EQ(model.Summary(), "1 extrato, em sequência, sem problemas."_cp1252);

  // 002 moved to the end: still chosen.
  model.Show(nlohmann::json::array({kContinuity[0], kContinuity[2], kContinuity[1]}));
  EXPECT_EQ(model.Chosen(), 2);
  EXPECT_EQ(model.Rows().size(), 1u);
  // 002 gone: the first account.
  model.Show(nlohmann::json::array({kContinuity[2], kContinuity[0]}));
  EXPECT_EQ(model.Chosen(), 0);
  EXPECT_EQ(model.Summary(), "Nenhum extrato gravado desta conta.");
  EXPECT_TRUE(model.Chart().Empty());
  // No accounts at all, or an answer that is no list.
  for (const nlohmann::json& nothing : {nlohmann::json::array(), nlohmann::json::object()}) {
    model.Show(kContinuity);
    model.Show(nothing);
    EXPECT_EQ(model.Chosen(), -1);
    EXPECT_TRUE(model.Accounts().empty());
    EXPECT_TRUE(model.Rows().empty());
    EXPECT_EQ(model.Summary(), "Nenhuma conta corrente cadastrada no servidor.");
    EXPECT_TRUE(model.Chart().Empty());
  }
}

TEST(ImportedStatementsModel, ChartBreaksTheLineAtAGapAndAtAnOverlap) {
  ImportedStatementsModel model;
  model.Show(kContinuity);
  const BalanceChart& chart = model.Chart();
  ASSERT_EQ(chart.lines.size(), 3u);
  EXPECT_EQ(Points(chart.lines[0]), (std::vector<std::string>{"2024-01-01 1000.00", "2024-02-01 1250.40",
                                                              "2024-02-01 1250.40", "2024-03-01 980.10"}));
  EXPECT_EQ(Points(chart.lines[1]), (std::vector<std::string>{"2024-04-01 980.10", "2024-05-01 -320.00"}));
  EXPECT_EQ(Points(chart.lines[2]), (std::vector<std::string>{"2024-04-24 -307.50", "2024-06-01 410.75"}));
  EXPECT_EQ(Points(chart.closings), (std::vector<std::string>{"2024-02-01 1250.40", "2024-03-01 980.10",
                                                              "2024-05-01 -320.00", "2024-06-01 410.75"}));
  EXPECT_EQ(Bands(chart), (std::vector<std::string>{"lacuna 2024-03-01 2024-04-01",
                                                    "sobreposicao 2024-04-24 2024-05-01"}));
  EXPECT_EQ(Iso(chart.first), "2024-01-01");
  EXPECT_EQ(Iso(chart.last), "2024-06-01");
  // -320.00 to 1250.40, 8% of 1570.40 (125.632) beyond each.
  EXPECT_DOUBLE_EQ(chart.low, -445.632);
  EXPECT_DOUBLE_EQ(chart.high, 1376.032);
}

TEST(ImportedStatementsModel, ChartOfAStatementInsideAnotherAndOfOneWithoutPeriod) {
  ImportedStatementsModel model;
  model.Show(OneAccount(nlohmann::json::parse(R"([
    {"dataInicial":"2024-01-01","dataFinal":"2024-01-31","saldoInicial":0,"saldoFinal":0.5},
    {"dataInicial":"2024-01-10","dataFinal":"2024-01-20","saldoInicial":0.2,"saldoFinal":0.3,
     "problemas":[{"tipo":"sobreposicao","dias":11}]},
    {"saldoInicial":90000,"saldoFinal":90000},
    {"dataInicial":"2024-02-11","dataFinal":"2024-02-29","saldoInicial":0.5,"saldoFinal":0.25,
     "problemas":[{"tipo":"lacuna","dias":10}]}])")));
  const BalanceChart& chart = model.Chart();
  // The overlap ends with the inner statement; the chain still reaches
  // 1 February, where the gap starts.
  EXPECT_EQ(Bands(chart), (std::vector<std::string>{"sobreposicao 2024-01-10 2024-01-21",
                                                    "lacuna 2024-02-01 2024-02-11"}));
  ASSERT_EQ(chart.lines.size(), 3u);
  EXPECT_EQ(Points(chart.lines[1]), (std::vector<std::string>{"2024-01-10 0.20", "2024-01-21 0.30"}));
  EXPECT_EQ(Points(chart.lines[2]), (std::vector<std::string>{"2024-02-11 0.50", "2024-03-01 0.25"}));
  EXPECT_EQ(chart.closings.size(), 3u);
  EXPECT_EQ(Iso(chart.last), "2024-03-01");
  // Balances within R$ 0,50 of zero: a margin of R$ 1,00.
  EXPECT_DOUBLE_EQ(chart.low, -1.0);
  EXPECT_DOUBLE_EQ(chart.high, 1.5);

  model.Show(OneAccount(nlohmann::json::parse(R"([{"saldoInicial":5,"saldoFinal":6}])")));
  EXPECT_TRUE(model.Chart().Empty());
  EXPECT_TRUE(model.Chart().lines.empty());
}

// A model whose connection talks to a server double, on a recording host.
class ImportedStatementsRefresh : public ::testing::Test {
 protected:
  void SetUp() override {
    host.port = 18061;
    script->odd_method = "GetContinuidade";
    script->odd_answer = kContinuity;
    model.Connection().SetTransport(std::make_unique<ServerDouble>(script));
  }

  RecordingHost host;
  std::shared_ptr<ServerScript> script = std::make_shared<ServerScript>();
  ImportedStatementsModel model;
};

TEST_F(ImportedStatementsRefresh, AsksForEveryAccountUnderTheBusyIndicator) {
  ASSERT_TRUE(model.Refresh()) << model.Error();
  EXPECT_EQ(model.Error(), "");
  // The double knows no GetUsuario: no removal is offered.
  ASSERT_EQ(script->Methods(), (std::vector<std::string>{"GetContinuidade", "GetUsuario"}));
  EXPECT_EQ(script->calls[0].server_name, "kvr61400.rdmImportOFX");
  EXPECT_EQ(script->calls[0].params, nlohmann::json::array({""}));
  EXPECT_EQ(script->calls[1].params, nlohmann::json::array());
  EXPECT_FALSE(model.Administrator());
  EXPECT_EQ(script->opened, std::vector<std::string>{"127.0.0.1:18061"});
  EXPECT_EQ(script->closes, 1);
  EXPECT_EQ(host.log, (std::vector<std::string>{"avi-on", "avi-off"}));
  EXPECT_EQ(host.avi_windows, std::vector<TComponent*>{&host.main_form});
  EXPECT_EQ(model.Accounts().size(), 3u);
  EXPECT_EQ(model.Summary(), "4 extratos, 3 problemas marcados.");
}

TEST_F(ImportedStatementsRefresh, AFailureIsSaidAndWhatWasShownStays) {
  struct Case {
    const char* name;
    void (*arrange)(ServerScript&);
    const char* error;
  };
  const Case cases[] = {
      {"refusal",
       [](ServerScript& s) {
         s.odd_method.clear();
         s.failing_method = "GetContinuidade";
         s.failure_message = "Conta 009 não cadastrada.";
       },
       "Conta 009 não cadastrada."_cp1252},
      {"no list", [](ServerScript& s) { s.odd_answer = {{"conta", "001"}}; },
       "Resposta inesperada do servidor a GetContinuidade."},
      {"lost", [](ServerScript& s) { s.broken_method = "GetContinuidade"; }, "conexão perdida"_cp1252},
      {"not there", [](ServerScript& s) { s.refuse_open = true; }, "servidor 127.0.0.1:18061 não responde"_cp1252},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    *script = ServerScript();
    script->odd_method = "GetContinuidade";
    script->odd_answer = kContinuity;
    ASSERT_TRUE(model.Refresh()) << model.Error();
    model.ChooseIndex(1);
    c.arrange(*script);
    EXPECT_FALSE(model.Refresh());
    EXPECT_EQ(model.Error(), c.error);
    EXPECT_EQ(model.Accounts().size(), 3u);
    EXPECT_EQ(model.Chosen(), 1);
    EXPECT_EQ(model.Rows().size(), 1u);
    EXPECT_FALSE(host.avi_on);
    EXPECT_EQ(script->closes, static_cast<int>(script->opened.size())) << "the connection is left open";
  }
  *script = ServerScript();
  script->odd_method = "GetContinuidade";
  script->odd_answer = nlohmann::json::array();
  EXPECT_TRUE(model.Refresh());
  EXPECT_EQ(model.Error(), "");
  EXPECT_EQ(model.Chosen(), -1);
}

// A server that answers the window's calls from a table: the user of the
// key, and the statements that the removal and the movement calls know.
class WindowServer : public JsonRpcDouble {
 public:
  struct State {
    nlohmann::json continuity = kContinuity;
    nlohmann::json user = {{"usuario", "ana"}, {"administrador", true}};
    // The error RemoveExtrato answers; none when empty.
    std::string remove_error;
    nlohmann::json movements;
    std::vector<std::pair<std::string, nlohmann::json>> calls;
  };
  explicit WindowServer(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void Open(const std::string&, int) override {}
  void Close() override {}
  nlohmann::json Answer(const std::string&, const std::string& method, const nlohmann::json& params) override {
    state_->calls.emplace_back(method, params);
    if (method == "GetContinuidade") return {{"result", state_->continuity}};
    if (method == "GetUsuario") return {{"result", state_->user}};
    if (method == "RemoveExtrato" && !state_->remove_error.empty())
      return {{"error", {{"code", -32000}, {"message", state_->remove_error}}}};
    if (method == "RemoveExtrato") return {{"result", true}};
    if (method == "GetMovimentos" && params == nlohmann::json::array({3})) return {{"result", state_->movements}};
    if (method == "GetMovimentos")
      return {{"error", {{"code", -32000}, {"message", "Extrato " + params[0].dump() + " não encontrado."}}}};
    return {{"error", {{"code", -32601}, {"message", "método desconhecido"}}}};
  }

 private:
  std::shared_ptr<State> state_;
};

class ImportedStatementsActions : public ::testing::Test {
 protected:
  void SetUp() override {
    host.port = 18061;
    model.Connection().SetTransport(std::make_unique<WindowServer>(server));
  }
  std::vector<std::string> Methods() const {
    std::vector<std::string> methods;
    for (const auto& call : server->calls) methods.push_back(call.first);
    return methods;
  }

  RecordingHost host;
  std::shared_ptr<WindowServer::State> server = std::make_shared<WindowServer::State>();
  ImportedStatementsModel model;
};

TEST_F(ImportedStatementsActions, OnlyAnAdministratorsKeyMayRemove) {
  const struct {
    const char* user;
    bool administrator;
  } cases[] = {
      {R"({"usuario":"ana","administrador":true})", true},
      {R"({"usuario":"compartilhada","administrador":true})", true},
      {R"({"usuario":"","administrador":true})", true},
      {R"({"usuario":"rui","administrador":false})", false},
      {R"({"usuario":"rui","administrador":"sim"})", false},
      {R"({"usuario":"rui"})", false},
      {R"("ana")", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    server->user = nlohmann::json::parse(c.user);
    ASSERT_TRUE(model.Refresh()) << model.Error();
    EXPECT_EQ(model.Administrator(), c.administrator);
  }
  // An administrator's key that becomes a clerk's: the next refresh says so.
  server->user = nlohmann::json::parse(R"({"usuario":"ana","administrador":true})");
  ASSERT_TRUE(model.Refresh());
  server->user = nlohmann::json::parse(R"({"usuario":"ana","administrador":false})");
  ASSERT_TRUE(model.Refresh());
  EXPECT_FALSE(model.Administrator());
}

TEST_F(ImportedStatementsActions, RemovalNamesTheStatementAndSendsItsNumberAndReason) {
  ASSERT_TRUE(model.Refresh()) << model.Error();
  EXPECT_EQ(model.StatementNumber(2), 3);
  EXPECT_EQ(model.StatementNumber(4), 0);
  EXPECT_EQ(model.RemovalQuestion(2),
            "Excluir o extrato 3 da conta 001, período 01/04/2024 a 30/04/2024, com 1 movimento?\n"_cp1252
            "O extrato e os seus movimentos são apagados do servidor; a exclusão fica registrada com o "_cp1252
            "motivo.\n\nInforme o motivo da exclusão:"_cp1252);
  EXPECT_EQ(model.RemovalQuestion(7), "");

  // A blank reason or no statement sends nothing.
  server->calls.clear();
  EXPECT_FALSE(model.Remove(2, "   "));
  EXPECT_EQ(model.Error(), "Informe o motivo da exclusão do extrato 3."_cp1252);
  EXPECT_FALSE(model.Remove(9, "motivo"));
  EXPECT_EQ(model.Error(), "Escolha um extrato da lista para excluir.");
  EXPECT_TRUE(server->calls.empty());

  // The server's refusal is said and nothing changes.
  server->remove_error = "Somente uma chave de administrador pode excluir extratos.";
  EXPECT_FALSE(model.Remove(2, "Importado na conta errada"));
  EXPECT_EQ(model.Error(), "Somente uma chave de administrador pode excluir extratos.");
  EXPECT_EQ(model.Rows().size(), 4u);
  EXPECT_FALSE(host.avi_on);

  // Removed: the number as a number, the reason in UTF-8, then the window
  // asks again and shows what is left.
  server->remove_error.clear();
  server->calls.clear();
  server->continuity[0]["extratos"].erase(2);
  EXPECT_TRUE(model.Remove(2, "Importação em duplicidade"_cp1252)) << model.Error();
  EXPECT_EQ(Methods(), (std::vector<std::string>{"RemoveExtrato", "GetContinuidade", "GetUsuario"}));
  EXPECT_EQ(server->calls[0].second.dump(), R"([3,"Importação em duplicidade"])");
  EXPECT_EQ(model.Rows().size(), 3u);
  EXPECT_EQ(model.Error(), "");
}

TEST_F(ImportedStatementsActions, MovementsOfAStatement) {
  server->movements = nlohmann::json::parse(R"({"fields":[
      {"name":"CDREDUCONT","type":"string","size":3},{"name":"CDSEQUEXTR","type":"string","size":10},
      {"name":"NRSEQMOVREAL","type":"string","size":10},{"name":"NRDOCMOVREAL","type":"string","size":20},
      {"name":"DTMOVREAL","type":"datetime"},{"name":"IDMOVREAL","type":"string","size":1},
      {"name":"VRMOVREAL","type":"float"},{"name":"DSHISTMOVREAL","type":"string","size":40}],
    "rows":[["001","3","1","          0001234567","2024-04-05T00:00:00","C",3000.0,"Transferência recebida"],
            ["001","3","2",null,"2024-04-06T00:00:00","D",12.5,"Tarifa"]]})");
  ASSERT_TRUE(model.Refresh()) << model.Error();
  ASSERT_TRUE(model.LoadMovements(2)) << model.Error();
  EXPECT_EQ(server->calls.back().second, nlohmann::json::array({3}));
  ASSERT_EQ(model.Movements().size(), 2u);
  EXPECT_EQ(model.Movements()[0].cells,
            (Cells{"1", "05/04/2024", "0001234567", "Crédito"_cp1252, "3.000,00", "Transferência recebida"_cp1252}));
  EXPECT_EQ(model.Movements()[1].cells, (Cells{"2", "06/04/2024", "", "Débito"_cp1252, "12,50", "Tarifa"}));
  EXPECT_EQ(model.MovementsTitle(2), "Extrato 3 - 01/04/2024 a 30/04/2024 (1 movimento)");

  // A statement removed meanwhile: said, the movements shown before stay.
  ASSERT_TRUE(model.LoadMovements(2));
  server->continuity[0]["extratos"][1]["extrato"] = "7";
  ASSERT_TRUE(model.Refresh());
  EXPECT_FALSE(model.LoadMovements(1));
  EXPECT_EQ(model.Error(), "Extrato 7 não encontrado."_cp1252);
  EXPECT_EQ(model.Movements().size(), 2u);
  EXPECT_FALSE(host.avi_on);
}

TEST_F(ImportedStatementsActions, MissingColumnsShowEmptyAndAnAnswerThatIsNoPacketIsRefused) {
  ASSERT_TRUE(model.Refresh()) << model.Error();
  server->movements = nlohmann::json::parse(
      R"({"fields":[{"name":"NRSEQMOVREAL","type":"string","size":10}],"rows":[["1"]]})");
  ASSERT_TRUE(model.LoadMovements(2)) << model.Error();
  ASSERT_EQ(model.Movements().size(), 1u);
  EXPECT_EQ(model.Movements()[0].cells, (Cells{"1", "", "", "", "0,00", ""}));
  for (const char* answer :
       {R"([])", R"({"fields":[],"rows":[]})",
        R"({"fields":[{"name":"VRMOVREAL","type":"float"}],"rows":{}})",
        R"({"fields":[{"name":"VRMOVREAL","type":"float"}],"rows":[["12,50"]]})"}) {
    SCOPED_TRACE(answer);
    server->movements = nlohmann::json::parse(answer);
    EXPECT_FALSE(model.LoadMovements(2));
    EXPECT_EQ(model.Error(), "Resposta inesperada do servidor a GetMovimentos.");
    EXPECT_EQ(model.Movements().size(), 1u);
  }
}

}  // namespace
}  // namespace kvr::testing
