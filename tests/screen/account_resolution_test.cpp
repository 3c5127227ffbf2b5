// Account resolution: the account text as the server is asked for it, the
// accounts it returns, the account-type list and the busy indicator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

using AccountResolution = ScreenTest;

TEST_F(AccountResolution, AccountTextIsNormalisedExceptForBank001) {
  struct Case {
    const char* conta;
    const char* other_bank;
  };
  const Case cases[] = {
      {"12345-6", "123456"}, {"12345-X", "123450"}, {"12345-x", "123450"},
      {"12345", "12345"},    {"X", "0"},            {"12-34-5", "12345"},
      {"1234-X-1", "1234X1"}, {"12345-", "12345"},  {"-7", "7"},
  };
  TfrmImportOFX& f = Form();
  for (const auto& c : cases) {
    EXPECT_EQ(f.RetiraSimbolosContCorr("341", c.conta), c.other_bank) << c.conta;
    EXPECT_EQ(f.RetiraSimbolosContCorr("001", c.conta), c.conta) << c.conta;
  }
  // Only the exact text "001" keeps the account as it is.
  EXPECT_EQ(f.RetiraSimbolosContCorr("1", "12345-6"), "123456");
  EXPECT_EQ(f.RetiraSimbolosContCorr("0001", "12345-6"), "123456");
}

TEST_F(AccountResolution, ServerIsAskedWithTheBankAsReadAndTheNormalisedAccount) {
  const std::vector<Trn> one = {{"20240105", "1.00", "A", "1", "M"}};
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "12345-x", "20240101", "20240131", one, "1"))),
            "");
  ASSERT_EQ(Load(WriteFile("b.ofx", OfxText("001", "12345-x", "20240101", "20240131", one, "1"))),
            "");
  auto calls = script->CallsOf("GetContaCorrente");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].server_name, "kvr61400.rdmImportOFX");
  EXPECT_EQ(calls[0].params, nlohmann::json::parse(R"(["341","123450"])"));
  EXPECT_EQ(calls[1].params, nlohmann::json::parse(R"(["001","12345-x"])"));
}

TEST_F(AccountResolution, OneEntryPerAccountByItsTypeLetterFirstSelected) {
  script->accounts = {{"001", "341", "1", "111", "999", "C"},
                      {"002", "341", "1", "222", "999", "B"},
                      {"003", "341", "1", "333", "999", "c"},
                      {"004", "341", "1", "444", "999", "L"},
                      {"005", "341", "1", "555", "999", ""},
                      {"006", "341", "1", "666", "999", "C"}};
  TfrmImportOFX& f = Form();
  f.cbTipoConta->Items.Add("velha");
  f.Vd_ContaCorrente("341", "111");
  EXPECT_EQ(f.cbTipoConta->Items.Strings(),
            (std::vector<std::string>{"Circulante", "Garantida", "Garantida", "Aplicação"_cp1252,
                                      "Garantida", "Circulante"}));
  EXPECT_EQ(f.cbTipoConta->ItemIndex(), 0);
  EXPECT_EQ(f.cbTipoConta->Text(), "Circulante");
  EXPECT_EQ(f.cbTipoConta->Color(), clInfoBk);
  EXPECT_EQ(f.cdsContaCorrente->RecNo(), 1);
  EXPECT_EQ(f.cdsContaCorrente->FieldByName("CDREDUCONT").AsString(), "001");
  EXPECT_EQ(host.avi_shown, 1);
  EXPECT_EQ(host.avi_hidden, 1);
  EXPECT_EQ(host.avi_windows, (std::vector<TComponent*>{&host.main_form}));
  EXPECT_EQ(host.avi_kinds, (std::vector<int>{1}));
}

TEST_F(AccountResolution, EmptyAnswerShowsContaNaoCadastradaAndHidesTheBusyIndicator) {
  script->accounts.clear();
  TfrmImportOFX& f = Form();
  EXPECT_EQ(Act([&] { f.Vd_ContaCorrente("341", "1"); }), "abort");
  EXPECT_EQ(host.errors, (std::vector<std::string>{"Conta corrente não cadastrada."_cp1252}));
  EXPECT_FALSE(host.avi_on);
  EXPECT_EQ(f.cbTipoConta->Items.Count(), 0);
  EXPECT_TRUE(f.cdsContaCorrente->IsEmpty());
}

TEST_F(AccountResolution, LostConnectionPassesOnAfterHidingTheBusyIndicator) {
  script->broken_method = "GetContaCorrente";
  TfrmImportOFX& f = Form();
  EXPECT_EQ(Act([&] { f.Vd_ContaCorrente("341", "1"); }), "conexão perdida");
  EXPECT_FALSE(host.avi_on);
  EXPECT_EQ(host.log, (std::vector<std::string>{"avi-on", "avi-off"}));
  EXPECT_TRUE(host.errors.empty());
}

TEST_F(AccountResolution, NewResolutionSeesAllAccountsAfterATypeFilter) {
  script->accounts = {{"001", "341", "1", "111", "999", "C"},
                      {"002", "341", "1", "222", "999", "L"}};
  const std::vector<Trn> one = {{"20240105", "1.00", "A", "1", "M"}};
  const std::string path =
      WriteFile("a.ofx", OfxText("341", "111", "20240101", "20240131", one, "1"));
  ASSERT_EQ(Load(path), "");
  TfrmImportOFX& f = Form();
  f.cbTipoConta->UserSelect(1);
  ASSERT_EQ(Confirm(), "");
  EXPECT_TRUE(f.cdsContaCorrente->Filtered());
  EXPECT_EQ(f.cdsContaCorrente->RecordCount(), 1);
  ASSERT_EQ(Load(path), "");
  EXPECT_FALSE(f.cdsContaCorrente->Filtered());
  EXPECT_EQ(f.cdsContaCorrente->RecordCount(), 2);
  EXPECT_EQ(f.cbTipoConta->Items.Strings(),
            (std::vector<std::string>{"Circulante", "Aplicação"_cp1252}));
}

}  // namespace
}  // namespace kvr::testing
