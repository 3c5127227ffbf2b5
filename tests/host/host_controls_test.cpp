#include "host/host_controls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "recording_host.h"

namespace kvr {
namespace {

// Records the dialogs it is asked to show, one line each; answers questions
// with `answer`.
class DialogRecorder : public testing::RecordingHost {
 public:
  void ShowError(const std::string& text) override { shown.push_back("error:" + text); }
  int MsgAlert(const std::string& text, TMsgDlgType, const std::vector<std::string>& buttons, int) override {
    std::string line = "alert:" + text;
    for (const auto& b : buttons) line += "|" + b;
    shown.push_back(line);
    return answer;
  }
  void ShowMessage(const std::string& text, TMsgDlgType kind, int help) override {
    shown.push_back("message:" + text + (kind == TMsgDlgType::mtInformation ? ":info:" : ":other:") +
                    std::to_string(help));
  }

  std::vector<std::string> shown;
  int answer = 11;
};

class HostControls : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings = TFormatSettings{',', '.', '/'};
    SetHostLibrary(&host);
  }
  void TearDown() override {
    SetHostLibrary(nullptr);
    FormatSettings = TFormatSettings{};
  }
  DialogRecorder host;
};

TEST_F(HostControls, DateEditShowsAndReadsDates) {
  TDateEditPlus dep(nullptr);
  std::vector<std::string> changes;
  dep.OnChange = [&](TComponent*) { changes.push_back(dep.Text()); };
  dep.SetDate(EncodeDate(2024, 3, 5) + 0.75);  // time of day dropped
  EXPECT_EQ(dep.Text(), "05/03/2024");
  EXPECT_EQ(dep.Date(), 45356.0);
  dep.Clear();
  EXPECT_EQ(dep.Text(), "");
  EXPECT_EQ(dep.Date(), 0.0);  // empty reads as day 0
  dep.UserSetText("6/3/2024");
  EXPECT_EQ(dep.Date(), 45357.0);
  const std::vector<std::string> expected = {"05/03/2024", "", "6/3/2024"};
  EXPECT_EQ(changes, expected);
}

TEST_F(HostControls, CheckValidDateRejectsWhatIsNoDate) {
  TDateEditPlus dep(nullptr);
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {{"", true},          {"05/03/2024", true}, {"29/02/2024", true}, {"29/02/2023", false},
                        {"32/01/2024", false}, {"05/13/2024", false}, {"05/03/24", false}, {"ab/cd/efgh", false},
                        {"05-03-2024", false}, {"  /  /    ", false}};
  for (const Case& c : cases) {
    dep.SetText(c.text);
    if (c.valid) {
      EXPECT_NO_THROW(dep.CheckValidDate()) << c.text;
    } else {
      EXPECT_THROW(dep.CheckValidDate(), EConvertError) << c.text;
      EXPECT_EQ(dep.Date(), 0.0) << c.text;
    }
  }
  // The message says the format to type; eight digits that make a date get
  // it written that way.
  const struct {
    const char* text;
    char separator;
    const char* message;
  } refused[] = {
      {"31/02/2024", '/',
       "Data inválida: \"31/02/2024\". Digite uma data que existe, no formato dd/mm/aaaa (por exemplo, "
       "05/03/2024)."},
      {"01032024", '/', "Data inválida: \"01032024\". Digite a data no formato dd/mm/aaaa: 01/03/2024."},
      {"01032024", '.', "Data inválida: \"01032024\". Digite a data no formato dd.mm.aaaa: 01.03.2024."},
      {"31022024", '/',
       "Data inválida: \"31022024\". Digite uma data que existe, no formato dd/mm/aaaa (por exemplo, "
       "05/03/2024)."},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.text);
    FormatSettings.DateSeparator = r.separator;
    dep.SetText(r.text);
    try {
      dep.CheckValidDate();
      FAIL();
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), r.message);
    }
  }
}

TEST_F(HostControls, DateEditPlacesEightTypedDigitsIntoItsMask) {
  TDateEditPlus dep(nullptr);
  const struct {
    const char* typed;
    char separator;
    const char* shown;
  } cases[] = {
      {"01032024", '/', "01/03/2024"}, {"01032024", '.', "01.03.2024"},
      {"31022024", '/', "31/02/2024"},  // placed, then refused as no date
      {"0103202", '/', "0103202"},      {"01/03/2024", '/', "01/03/2024"},
      {"010320245", '/', "010320245"},  {"0103 2024", '/', "0103 2024"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    FormatSettings.DateSeparator = c.separator;
    dep.UserSetText(c.typed);
    EXPECT_EQ(c.shown, dep.Text());
  }
  FormatSettings.DateSeparator = '/';
  dep.UserSetText("01032024");
  EXPECT_TRUE(dep.IsValidDate());
}

TEST_F(HostControls, NumberEditFormatsWithTheLocale) {
  TNumberEdit ned(nullptr);
  ned.SetValue(-1500.25);
  EXPECT_EQ(ned.Text(), "-1.500,25");
  ned.SetValue(0);
  EXPECT_EQ(ned.Text(), "0,00");
  ned.Clear();
  EXPECT_EQ(ned.Text(), "");
  ned.UserSetText("1234,5");
  EXPECT_EQ(ned.Text(), "1.234,50");
  FormatSettings = TFormatSettings{'.', ',', '/'};
  ned.SetValue(1234.5);
  EXPECT_EQ(ned.Text(), "1,234.50");
}

TEST_F(HostControls, ButtonsClickWithThemselvesAsSender) {
  TBtnPesquisa btn(nullptr);
  TButtonFlat flat(nullptr);
  int clicks = 0;
  btn.OnClick = [&](TComponent* sender) { clicks += sender == &btn ? 1 : 100; };
  flat.OnClick = [&](TComponent* sender) { clicks += sender == &flat ? 10 : 100; };
  btn.UserClick();
  flat.UserClick();
  EXPECT_EQ(clicks, 11);
}

TEST_F(HostControls, MessagesLookUpByExactKey) {
  TMessages msg(nullptr);
  msg.Messages.push_back("Debito|Débito"_cp1252);
  msg.Messages.push_back("N|Não"_cp1252);
  msg.Messages.push_back("sem barra");
  msg.Messages.push_back("ARQ_INV|Arquivo importado não é um extrato válido."_cp1252);
  EXPECT_EQ(msg.Msg("Debito"), "Débito"_cp1252);
  EXPECT_EQ(msg.Msg("N"), "Não"_cp1252);
  EXPECT_EQ(msg.Msg("ARQ_INV"), "Arquivo importado não é um extrato válido."_cp1252);
  EXPECT_EQ(msg.Msg("debito"), "Mensagem não cadastrada: debito"_cp1252);
  EXPECT_EQ(msg.Msg("Deb"), "Mensagem não cadastrada: Deb"_cp1252);
}

TEST_F(HostControls, ShowMsgGoesThroughTheHostLibrary) {
  TMessages msg(nullptr);
  msg.Messages.push_back("ARQ_IMP_SUCESSO|Arquivo importado com sucesso.");
  EXPECT_EQ(msg.ShowMsg("ARQ_IMP_SUCESSO", TMsgDlgType::mtInformation, mbOK, 0), mrOk);
  host.answer = 12;
  EXPECT_EQ(msg.ShowMsg("ARQ_IMP_SUCESSO", TMsgDlgType::mtConfirmation, mbYes | mbNo, 0), mrNo);
  const std::vector<std::string> expected = {"message:Arquivo importado com sucesso.:info:0",
                                             "alert:Arquivo importado com sucesso.|Sim|Não"_cp1252};
  EXPECT_EQ(host.shown, expected);
}

}  // namespace
}  // namespace kvr
