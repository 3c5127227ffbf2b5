// Confirmation: the account stamp, the repeat scan and its question, the two
// server calls with their packets, the outcome and the clean-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

class Confirmation : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    script->accounts = {{"001", "341", "1", "111", "999", "C"},
                        {"002", "341", "1", "222", "999", "L"},
                        {"003", "341", "1", "333", "999", "G"},
                        {"004", "341", "1", "444", "999", "G"}};
  }
  std::string LoadTrns(const std::vector<Trn>& trns) {
    return Load(WriteFile("a.ofx", OfxText("341", "111", "20240101", "20240131", trns, "100")));
  }
  // The values of one column of a packet's rows.
  static std::vector<nlohmann::json> PacketColumn(const nlohmann::json& packet,
                                                  const std::string& field) {
    size_t index = 0;
    for (size_t i = 0; i < packet["fields"].size(); ++i) {
      if (packet["fields"][i]["name"] == field) index = i;
    }
    std::vector<nlohmann::json> out;
    for (const auto& row : packet["rows"]) out.push_back(row[index]);
    return out;
  }
  // The same, in ascending order: the copy table's row order is its own.
  static std::vector<nlohmann::json> Sorted(std::vector<nlohmann::json> values) {
    std::sort(values.begin(), values.end());
    return values;
  }
};

const std::vector<Trn> kDistinct = {
    {"20240105", "200.00", "A1", "1001", "DEPOSITO"},
    {"20240110", "-50.00", "A2", "1002", "TARIFA"},
};

// An answer that is no boolean is no answer of the import module: a 1 taken
// as true would report as stored a statement that perhaps was not.
TEST_F(Confirmation, AnswersOfTheWrongTypeAreFailuresNotSuccess) {
  const struct {
    const char* method;
    nlohmann::json answer;
    const char* shown;
  } cases[] = {
      {"SetExtratoBancario", 1, "1"},
      {"SetExtratoBancario", "true", "\"true\""},
      {"ValidExtrato", nullptr, "null"},
      {"ValidExtrato", nlohmann::json::array({true}), "[true]"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(LoadTrns(kDistinct), "");
    host.log.clear();
    script->odd_method = c.method;
    script->odd_answer = c.answer;
    EXPECT_EQ(Confirm(), std::string("Resposta inesperada do servidor de aplicação em ") + c.method +
                             " (esperado true ou false): " + c.shown + ".");
    EXPECT_TRUE(host.messages.empty()) << c.shown;
    EXPECT_EQ(Form().cdsMovExtrAux->RecordCount(), 0);
  }
}

TEST_F(Confirmation, WithoutRepeatsValidatesStoresAndReportsSuccess) {
  ASSERT_EQ(LoadTrns(kDistinct), "");
  host.log.clear();
  EXPECT_EQ(Confirm(), "");
  TfrmImportOFX& f = Form();

  EXPECT_TRUE(host.questions.empty());
  EXPECT_EQ(script->Methods(),
            (std::vector<std::string>{"GetContaCorrente", "ValidExtrato", "SetExtratoBancario"}));
  const auto valid = script->CallsOf("ValidExtrato")[0].params;
  const auto stored = script->CallsOf("SetExtratoBancario")[0].params;
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0], valid[0]);
  EXPECT_EQ(stored[1], valid[1]);
  EXPECT_EQ(stored[2], true);

  const nlohmann::json& header = stored[0];
  EXPECT_EQ(header["fields"][0], nlohmann::json::parse(R"({"name":"CDREDUCONT","type":"string","size":3})"));
  EXPECT_EQ(header["fields"].size(), 8u);
  EXPECT_EQ(PacketColumn(header, "CDREDUCONT"), (std::vector<nlohmann::json>{"001"}));
  EXPECT_EQ(PacketColumn(header, "DTSALDINIC"), (std::vector<nlohmann::json>{"2024-01-01T00:00:00"}));
  // Closing 100 after +200 and -50: the opening balance was -50.
  EXPECT_EQ(PacketColumn(header, "VRSALDINIC"), (std::vector<nlohmann::json>{50.0}));
  EXPECT_EQ(PacketColumn(header, "IDEXTRINI"), (std::vector<nlohmann::json>{"D"}));

  const nlohmann::json& movements = stored[1];
  EXPECT_EQ(movements["fields"].size(), 15u);
  EXPECT_EQ(PacketColumn(movements, "DSHISTCOMPL"), PacketColumn(movements, "DSHISTMOVREAL"));
  EXPECT_EQ(Sorted(PacketColumn(movements, "CDFITIDCOMPL")), (std::vector<nlohmann::json>{"A1", "A2"}));
  EXPECT_EQ(PacketColumn(movements, "CDREDUCONT"), (std::vector<nlohmann::json>{"001", "001"}));
  EXPECT_EQ(Sorted(PacketColumn(movements, "VRMOVREAL")), (std::vector<nlohmann::json>{50.0, 200.0}));
  EXPECT_EQ(Sorted(PacketColumn(movements, "IDMOVREAL")), (std::vector<nlohmann::json>{"C", "D"}));
  EXPECT_EQ(PacketColumn(movements, "CDSEQUEXTR"), (std::vector<nlohmann::json>{nullptr, nullptr}));
  EXPECT_EQ(PacketColumn(movements, "CDCATELANC"), (std::vector<nlohmann::json>{nullptr, nullptr}));
  EXPECT_EQ(Sorted(PacketColumn(movements, "NRDOCMOVREAL")),
            (std::vector<nlohmann::json>{"                1001", "                1002"}));

  EXPECT_EQ(host.messages, (std::vector<std::string>{"Arquivo importado com sucesso."}));
  EXPECT_EQ(host.message_kinds, (std::vector<TMsgDlgType>{TMsgDlgType::mtInformation}));
  EXPECT_EQ(host.message_help_contexts, (std::vector<int>{0}));
  EXPECT_EQ(host.log, (std::vector<std::string>{"avi-on", "avi-off",
                                                "message:Arquivo importado com sucesso."}));
  EXPECT_TRUE(f.cdsMovExtrAux->IsEmpty());
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 2);
  EXPECT_EQ(AllRows(*f.cdsMovExtrBanco, "CDREDUCONT"), (std::vector<std::string>{"001", "001"}));
  EXPECT_EQ(AllRows(*f.cdsExtrBanco, "CDREDUCONT"), (std::vector<std::string>{"001"}));

  // Nothing is cleared: a second confirmation sends the same statement again.
  EXPECT_EQ(Confirm(), "");
  EXPECT_EQ(script->CallsOf("SetExtratoBancario")[1].params, stored);
}

TEST_F(Confirmation, RepeatsBringUpTheQuestionOnceWhateverTheirNumber) {
  struct Case {
    const char* name;
    std::vector<Trn> trns;
    bool asks;
  };
  const Case cases[] = {
      {"memo differs only", {{"20240105", "10.00", "F1", "7", "UM"}, {"20240105", "10.00", "F1", "7", "DOIS"}}, true},
      {"document in other case", {{"20240105", "10.00", "F1", "abc", "M"}, {"20240105", "10.00", "F1", "ABC", "M"}}, true},
      {"FITID in other case", {{"20240105", "10.00", "f1", "7", "M"}, {"20240105", "10.00", "F1", "7", "M"}}, true},
      {"credit and debit of one magnitude", {{"20240105", "10.00", "F1", "7", "M"}, {"20240105", "-10.00", "F1", "7", "M"}}, true},
      {"three equal", {{"20240105", "1.00", "F", "", ""}, {"20240105", "1.00", "F", "", ""}, {"20240105", "1.00", "F", "", ""}}, true},
      {"other amount", {{"20240105", "10.00", "F1", "7", "M"}, {"20240105", "10.01", "F1", "7", "M"}}, false},
      {"other date", {{"20240105", "10.00", "F1", "7", "M"}, {"20240106", "10.00", "F1", "7", "M"}}, false},
      {"other document", {{"20240105", "10.00", "F1", "7", "M"}, {"20240105", "10.00", "F1", "8", "M"}}, false},
      {"other FITID", {{"20240105", "10.00", "F1", "7", "M"}, {"20240105", "10.00", "F2", "7", "M"}}, false},
      // Two transfers of one day whose FITIDs share their first 10 characters.
      {"FITIDs apart after 10 characters", {{"20230331", "3000.00", "202303310772", "", "PIX"}, {"20230331", "3000.00", "202303310773", "", "PIX"}}, false},
      {"long FITID twice", {{"20230331", "3000.00", "202303310772", "", "PIX"}, {"20230331", "3000.00", "202303310772", "", "PIX"}}, true},
  };
  for (const auto& c : cases) {
    host.questions.clear();
    ASSERT_EQ(LoadTrns(c.trns), "") << c.name;
    EXPECT_EQ(Confirm(), "") << c.name;
    ASSERT_EQ(host.questions.size(), c.asks ? 1u : 0u) << c.name;
    if (c.asks) {
      const auto& q = host.questions[0];
      // The question, then the rows it is about, one line each.
      const std::string question = "Existem movimentações com mesmo número, valor e data, deseja "_cp1252
                                   "realizar a importação?\n\nMovimentos repetidos (marcados na grade):\n"_cp1252;
      EXPECT_EQ(q.text.substr(0, question.size()), question) << c.name;
      EXPECT_EQ(std::count(q.text.begin(), q.text.end(), '\n'), 3 + static_cast<long>(Form().MovRepetidos().size()) - 1)
          << q.text;
      EXPECT_EQ(q.kind, TMsgDlgType::mtConfirmation);
      EXPECT_EQ(q.buttons, (std::vector<std::string>{"Não"_cp1252, "Sim"}));
      EXPECT_EQ(q.help_context, 0);
    }
  }
}

TEST_F(Confirmation, DecliningStoresNothingAndDoesNotSayAlreadyRecorded) {
  const std::vector<Trn> twice = {{"20240105", "10.00", "F1", "7", "UM"},
                                  {"20240105", "10.00", "F1", "7", "DOIS"}};
  ASSERT_EQ(LoadTrns(twice), "");
  script->calls.clear();
  host.WillAnswer(11);
  script->stored = false;
  EXPECT_EQ(Confirm(), "");
  EXPECT_EQ(script->Methods(), (std::vector<std::string>{"SetExtratoBancario"}));
  EXPECT_EQ(script->calls[0].params[2], false);
  // Nothing was recorded: the user said no, so no "already recorded".
  EXPECT_TRUE(host.errors.empty());
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(Form().cdsMovExtrAux->RecordCount(), 0);
  // The question is asked while the busy indicator is on.
  EXPECT_EQ(host.log.back(), "avi-off");
  EXPECT_FALSE(host.avi_on);

  // The same statement refused by the server is still "already recorded".
  script->calls.clear();
  script->valid = false;
  host.WillAnswer(12);
  EXPECT_EQ(Confirm(), "abort");
  EXPECT_EQ(host.errors,
            (std::vector<std::string>{"Arquivo de movimentação bancária já cadastrado."_cp1252}));
  script->valid = true;

  script->calls.clear();
  host.WillAnswer(12);
  script->stored = true;
  EXPECT_EQ(Confirm(), "");
  EXPECT_EQ(script->Methods(), (std::vector<std::string>{"ValidExtrato", "SetExtratoBancario"}));
}

TEST_F(Confirmation, EqualTransactionsOfTwoConfirmationsAreNoRepeat) {
  const std::vector<Trn> one = {{"20240105", "10.00", "F1", "7", "UM"}};
  ASSERT_EQ(LoadTrns(one), "");
  EXPECT_EQ(Confirm(), "");
  ASSERT_EQ(LoadTrns(one), "");
  EXPECT_EQ(Confirm(), "");
  EXPECT_EQ(Confirm(), "");
  EXPECT_TRUE(host.questions.empty());
}

TEST_F(Confirmation, ChosenTypeSelectsTheFirstAccountOfThatType) {
  struct Case {
    int index;  // entry chosen in cbTipoConta; -1 none
    const char* code;
  };
  // Entries: Circulante, Aplicação, Garantida, Garantida.
  const Case cases[] = {{0, "001"}, {1, "002"}, {2, "003"}, {3, "003"}, {-1, "003"}};
  for (const auto& c : cases) {
    ASSERT_EQ(LoadTrns(kDistinct), "");
    Form().cbTipoConta->SetItemIndex(c.index);
    EXPECT_EQ(Confirm(), "") << c.index;
    EXPECT_EQ(PacketColumn(script->CallsOf("SetExtratoBancario").back().params[0], "CDREDUCONT"),
              (std::vector<nlohmann::json>{c.code}))
        << c.index;
    EXPECT_EQ(Form().cdsContaCorrente->Filter(),
              std::string("IDTIPOCCORR= '") + (c.index == 0 ? "C" : c.index == 1 ? "L" : "G") + "'");
  }
}

TEST_F(Confirmation, NoAccountOfTheChosenTypeStampsAnEmptyCodeAndStillCallsTheServer) {
  script->accounts = {{"001", "341", "1", "111", "999", "C"}};
  ASSERT_EQ(LoadTrns(kDistinct), "");
  Form().cbTipoConta->Items.Add("Garantida");
  Form().cbTipoConta->SetItemIndex(1);
  EXPECT_EQ(Confirm(), "");
  const auto params = script->CallsOf("SetExtratoBancario")[0].params;
  EXPECT_EQ(PacketColumn(params[0], "CDREDUCONT"), (std::vector<nlohmann::json>{""}));
  EXPECT_EQ(PacketColumn(params[1], "CDREDUCONT"), (std::vector<nlohmann::json>{"", ""}));
  EXPECT_EQ(script->CallsOf("ValidExtrato").size(), 1u);
}

TEST_F(Confirmation, EveryFailureHidesTheBusyIndicatorAndEmptiesTheCopy) {
  struct Case {
    const char* name;
    std::string failing, broken;
    bool stored;
    std::string outcome;
    std::vector<std::string> methods;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"ValidExtrato refused", "ValidExtrato", "", true, "abort", {"ValidExtrato"}, {"Falha no servidor."}},
      {"SetExtratoBancario refused", "SetExtratoBancario", "", true, "abort",
       {"ValidExtrato", "SetExtratoBancario"}, {"Falha no servidor."}},
      {"connection lost", "", "SetExtratoBancario", true, "conexão perdida",
       {"ValidExtrato", "SetExtratoBancario"}, {}},
      {"already recorded", "", "", false, "abort", {"ValidExtrato", "SetExtratoBancario"},
       {"Arquivo de movimentação bancária já cadastrado."_cp1252}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(LoadTrns(kDistinct), "");
    script->calls.clear();
    host.errors.clear();
    script->failing_method = c.failing;
    script->broken_method = c.broken;
    script->stored = c.stored;
    EXPECT_EQ(Confirm(), c.outcome) << c.name;
    EXPECT_EQ(script->Methods(), c.methods) << c.name;
    EXPECT_EQ(host.errors, c.errors) << c.name;
    EXPECT_FALSE(host.avi_on) << c.name;
    EXPECT_TRUE(Form().cdsMovExtrAux->IsEmpty()) << c.name;
    EXPECT_TRUE(host.messages.empty()) << c.name;
    // The stamps written before the end stay.
    EXPECT_EQ(AllRows(*Form().cdsMovExtrBanco, "CDREDUCONT"),
              (std::vector<std::string>{"001", "001"}))
        << c.name;
  }
}

TEST_F(Confirmation, BeforeAnyLoadThereIsNothingToImport) {
  EXPECT_EQ(Confirm(), "abort");
  EXPECT_EQ(host.errors, (std::vector<std::string>{"Arquivo sem dados para importação."_cp1252}));
  EXPECT_TRUE(script->calls.empty());
  EXPECT_FALSE(host.avi_on);
}

// A bank-237 range sends part of the movements; the header sent describes
// them. The file: 01/03 to 08/03, closing 1.000,00 after 5,60 of movements.
TEST_F(Confirmation, NarrowedRangeSendsAHeaderThatDescribesTheMovementsSent) {
  script->accounts = {{"010", "237", "1", "543210", "", "C"}};
  const std::string file = WriteFile("237.ofx", Bank237Week());
  struct Case {
    const char* de;
    const char* ate;
    const char* first;
    const char* last;
    double opening, closing;
    const char* opening_sign;
    size_t movements;
  };
  const Case cases[] = {
      {"01/03/2024", "03/03/2024", "2024-03-01T00:00:00", "2024-03-03T00:00:00", 994.4, 1064.5, "C", 3},
      {"04/03/2024", "05/03/2024", "2024-03-04T00:00:00", "2024-03-05T00:00:00", 1064.5, 1014.7, "C", 2},
      // Clipped to the file's period.
      {"06/03/2024", "12/03/2024", "2024-03-06T00:00:00", "2024-03-08T00:00:00", 1014.7, 1000.0, "C", 3},
      // The whole file: its own period and balances.
      {"29/02/2024", "08/03/2024", "2024-03-01T00:00:00", "2024-03-08T00:00:00", 994.4, 1000.0, "C", 8},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Load(file), "");
    TfrmImportOFX& f = Form();
    f.depMovDe->UserSetText(c.de);
    f.depMovAte->UserSetText(c.ate);
    ASSERT_EQ(Act([&] { f.depMovAteExit(f.depMovAte); }), "") << c.de;
    script->calls.clear();
    ASSERT_EQ(Confirm(), "") << c.de;
    const nlohmann::json params = script->CallsOf("SetExtratoBancario")[0].params;
    const nlohmann::json& header = params[0];
    const nlohmann::json& movements = params[1];
    EXPECT_EQ(PacketColumn(header, "DTSALDINIC"), (std::vector<nlohmann::json>{c.first})) << c.de;
    EXPECT_EQ(PacketColumn(header, "DTSALDFIN"), (std::vector<nlohmann::json>{c.last})) << c.de;
    EXPECT_EQ(PacketColumn(header, "VRSALDINIC"), (std::vector<nlohmann::json>{c.opening})) << c.de;
    EXPECT_EQ(PacketColumn(header, "VRSALDFIM"), (std::vector<nlohmann::json>{c.closing})) << c.de;
    EXPECT_EQ(PacketColumn(header, "IDEXTRINI"), (std::vector<nlohmann::json>{c.opening_sign})) << c.de;
    EXPECT_EQ(movements["rows"].size(), c.movements) << c.de;
    // The screen still shows the file's own period and balances.
    EXPECT_EQ(f.depDtIni->Text(), "01/03/2024");
    EXPECT_EQ(f.nedValorFim->Text(), "1.000,00");
  }
}

}  // namespace
}  // namespace kvr::testing
