// The screen as created from its layout description: the loader on a small
// description of its own, the built-in description against the screen it
// builds, and what the screen's code adds to it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "platform/errors.h"
#include "screen/layout_loader.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

using ScreenLayout = ScreenTest;

// A form named "frmTeste" with the description applied; clicks of the
// handler "btnClick" are counted.
class LayoutLoader : public ::testing::Test {
 protected:
  LayoutLoader() {
    form.Name = "frmTeste";
    handlers.notify["btnClick"] = [this](TComponent*) { ++clicks; };
  }
  void Apply(const std::string& text) { ApplyLayout(form, LayoutDescription::Parse(text), handlers); }
  template <typename T>
  T& Get(const std::string& name) {
    auto* c = dynamic_cast<T*>(FindOwnedComponent(form, name));
    if (c == nullptr) throw std::runtime_error("no " + name);
    return *c;
  }

  TForm form{nullptr};
  LayoutHandlers handlers;
  int clicks = 0;
};

TEST_F(LayoutLoader, BuildsControlsTablesAndLinks) {
  Apply(R"(
object frmTeste: TfrmImportOFX
  ClientWidth = 300
  ClientHeight = 120
  BorderStyle = bsSingle
end
object grbDados: TGroupBox
  Left = 4
  Top = 6
  Width = 250
  Height = 100
  Caption = "Período"
end
object edtNome: TEdit
  Parent = grbDados
  Left = 10
  Top = 20
  Width = 80
  Enabled = false
  Color = clInfoBk
  FontBold = true
end
object btnIr: TBtnPesquisa
  Parent = grbDados
  OnClick = btnClick
end
object depDia: TDateEditPlus
  Parent = grbDados
  ValidDateColor = clRed
  DayNames = (
    "D"
    "S"
    "T"
    "Q"
    "Q"
    "S"
    "Sáb"
  )
end
object cdsMov: TClientDataSet
  IndexFieldNames = "DTMOVREAL"
  Fields = (
    "DTMOVREAL|datetime|"
    "VRMOVREAL|float|"
    "DSHIST|string|40"
  )
end
object dtsMov: TDataSource
  DataSet = cdsMov
end
object dbgMov: TDBGrid
  Parent = grbDados
  DataSource = dtsMov
  Options = (
    "dgTitles"
    "dgTabs"
  )
  Columns = (
    "DTMOVREAL|Data|65|true"
    "VRMOVREAL|||false"
  )
end
object msgTeste: TMessages
  Messages = (
    "S|Sim"
    "N|Não"
  )
end
)");
  EXPECT_EQ(form.ClientWidth(), 300);
  EXPECT_EQ(form.BorderStyle(), TFormBorderStyle::bsSingle);

  TGroupBox& group = Get<TGroupBox>("grbDados");
  EXPECT_EQ(group.Parent(), &form);  // no Parent: on the form
  EXPECT_EQ(group.Caption(), "Período"_cp1252);
  EXPECT_EQ(group.Height(), 100);

  TEdit& edit = Get<TEdit>("edtNome");
  EXPECT_EQ(edit.Parent(), &group);
  EXPECT_EQ(edit.Left(), 10);
  EXPECT_EQ(edit.Top(), 20);
  EXPECT_EQ(edit.Width(), 80);
  EXPECT_FALSE(edit.Enabled());
  EXPECT_EQ(edit.Color(), clInfoBk);
  EXPECT_TRUE(edit.Font().Bold);

  Get<TBtnPesquisa>("btnIr").UserClick();
  EXPECT_EQ(clicks, 1);

  TDateEditPlus& date = Get<TDateEditPlus>("depDia");
  EXPECT_EQ(date.ValidDateColor, clRed);
  EXPECT_EQ(date.WeekDayNames[6], "Sáb"_cp1252);

  TClientDataSet& table = Get<TClientDataSet>("cdsMov");
  EXPECT_EQ(table.IndexFieldNames(), "DTMOVREAL");
  ASSERT_EQ(table.FieldDefs.size(), 3u);
  EXPECT_EQ(table.FieldDefs[0].DataType, TFieldType::ftDateTime);
  EXPECT_EQ(table.FieldDefs[1].DataType, TFieldType::ftFloat);
  EXPECT_EQ(table.FieldDefs[2].Name, "DSHIST");
  EXPECT_EQ(table.FieldDefs[2].Size, 40);
  EXPECT_EQ(table.FieldDefs[0].Size, 0);

  TDBGrid& grid = Get<TDBGrid>("dbgMov");
  EXPECT_EQ(grid.DataSource(), &table);  // through the data source
  EXPECT_EQ(grid.Options(), dgTitles | dgTabs);
  ASSERT_EQ(grid.Columns().size(), 2u);
  EXPECT_EQ(grid.Columns()[0].Title, "Data");
  EXPECT_EQ(grid.Columns()[0].Width, 65);
  EXPECT_TRUE(grid.Columns()[0].Visible);
  EXPECT_EQ(grid.Columns()[1].Title, "");
  EXPECT_EQ(grid.Columns()[1].Width, -1);  // empty: the column's default
  EXPECT_FALSE(grid.Columns()[1].Visible);

  TMessages& messages = Get<TMessages>("msgTeste");
  EXPECT_EQ(messages.Msg("N"), "Não"_cp1252);
}

TEST_F(LayoutLoader, WrongDescriptionsNameTheLineAndTheProblem) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"object a: TBotao\nend\n", "descrição de tela, linha 1: a: tipo desconhecido: TBotao"},
      {"object a: TEdit\n  Altura = 3\nend\n",
       "descrição de tela, linha 2: Altura: propriedade desconhecida para TEdit"},
      {"object a: TEdit\n  Left = 3x\nend\n", "descrição de tela, linha 2: Left: número inválido: 3x"},
      {"object a: TEdit\n  Color = clRosa\nend\n",
       "descrição de tela, linha 2: Color: cor desconhecida: clRosa"},
      {"object a: TEdit\n  Parent = b\nend\n", "descrição de tela, linha 2: Parent: elemento desconhecido: b"},
      {"object a: TEdit\n  OnChange = aChange\nend\n",
       "descrição de tela, linha 2: OnChange: tratador desconhecido: aChange"},
      {"object t: TClientDataSet\n  Fields = (\n    \"A|texto|3\"\n  )\nend\n",
       "descrição de tela, linha 2: Fields: tipo de coluna desconhecido: A|texto|3"},
      {"object n: TNetConnection\n  Connected = true\nend\n",
       "descrição de tela, linha 2: Connected: a conexão abre na criação da tela, não na "
       "descrição"},
  };
  for (const Case& c : cases) {
    TForm form(nullptr);
    try {
      ApplyLayout(form, LayoutDescription::Parse(c.text), handlers);
      ADD_FAILURE() << "no error for: " << c.text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST_F(LayoutLoader, AnElementOfTheFormMustKeepItsKind) {
  auto* existing = new TEdit(&form);
  existing->Name = "edtNome";
  try {
    Apply("object edtNome: TLabel\nend\n");
    ADD_FAILURE() << "a TEdit taken for a TLabel";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()),
              "descrição de tela, linha 1: edtNome: o elemento existente não é TLabel");
  }
  Apply("object edtNome: TEdit\n  Left = 7\nend\n");
  EXPECT_EQ(existing->Left(), 7);  // adjusted, not created again
}

// The screen shows what its description says: every element exists with the
// kind it names, and every position, size, caption, state and parent the
// description gives is the control's once the screen is created (the screen
// changes none of them on creation).
TEST_F(ScreenLayout, ScreenIsItsDescription) {
  TfrmImportOFX& f = Form();
  const LayoutDescription layout = LayoutDescription::Parse(ImportOFXLayoutText());
  ASSERT_GT(layout.Objects().size(), 30u);
  for (const LayoutObject& o : layout.Objects()) {
    TComponent* c = o.name == f.Name ? &f : FindOwnedComponent(f, o.name);
    ASSERT_NE(c, nullptr) << o.name;
    auto* control = dynamic_cast<TControl*>(c);
    if (control == nullptr) continue;
    if (control != &f) {
      EXPECT_EQ(control->ClassName(), o.kind) << o.name;
    }
    for (const LayoutProperty& p : o.properties) {
      const std::string& n = p.name;
      std::string shown;
      if (n == "Left") shown = std::to_string(control->Left());
      else if (n == "Top") shown = std::to_string(control->Top());
      else if (n == "Width") shown = std::to_string(control->Width());
      else if (n == "Height") shown = std::to_string(control->Height());
      else if (n == "Caption") shown = control->Caption();
      else if (n == "Enabled") shown = control->Enabled() ? "true" : "false";
      else if (n == "Visible") shown = control->Visible() ? "true" : "false";
      else if (n == "Parent") shown = control->Parent() != nullptr ? control->Parent()->Name : "";
      else continue;
      EXPECT_EQ(shown, p.value) << o.name << "." << n;
    }
  }
}

// What the screen's code sets beyond its description.
TEST_F(ScreenLayout, ScreenWiresWhatTheDescriptionDoesNotHold) {
  TfrmImportOFX& f = Form();
  EXPECT_EQ(f.Height(), 377);  // the client area and the title bar
  EXPECT_TRUE(static_cast<bool>(f.sbtConfirma->OnClick));
  EXPECT_EQ(f.sbtConfirma->Parent(), f.panBotoes);
  EXPECT_FALSE(f.grbDtMovimento->Visible());  // shown for banks 104 and 237
  EXPECT_FALSE(f.cdsMovExtrBanco->Active());
}

TEST_F(ScreenLayout, TransactionsAreListedByDateAndBlockedRowsReappear) {
  const std::vector<Trn> trns = {{"20240110", "1.00", "C", "1", "TERCEIRO"},
                                 {"20240105", "1.00", "A", "1", "PRIMEIRO"},
                                 {"20240105", "2.00", "B", "1", "SEGUNDO"}};
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "1", "20240101", "20240131", trns, "1"))), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(Column("DSHISTMOVREAL"), (std::vector<std::string>{"PRIMEIRO", "SEGUNDO", "TERCEIRO"}));
  EXPECT_EQ(Column("DTMOVREAL"), (std::vector<std::string>{"05/01/2024", "05/01/2024", "10/01/2024"}));
  f.cdsMovExtrBanco->SetFilter("1 = 2");
  f.cdsMovExtrBanco->SetFiltered(true);
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
  f.cdsMovExtrBanco->SetFiltered(false);
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 3);
}

}  // namespace
}  // namespace kvr::testing
