#include "platform/controls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/client_dataset.h"
#include "platform/cp1252.h"
#include "platform/errors.h"

namespace kvr {
namespace {

TEST(Controls, ChangeRunsOnProgramAndUserTextChangesOnly) {
  TForm form(nullptr);
  auto* edt = new TEdit(&form);
  edt->SetParent(&form);
  std::vector<std::string> seen;
  edt->OnChange = [&](TComponent* sender) { seen.push_back(static_cast<TEdit*>(sender)->Text()); };
  edt->SetText("a");
  edt->SetText("a");  // same text: no change
  edt->UserSetText("b");
  edt->Clear();
  edt->Clear();
  const std::vector<std::string> expected = {"a", "b", ""};
  EXPECT_EQ(seen, expected);
}

TEST(Controls, UserInputNeedsAnEnabledVisibleControl) {
  TForm form(nullptr);
  TGroupBox group(&form);
  group.SetParent(&form);
  TEdit edt(&form);
  edt.SetParent(&group);
  int clicks = 0;
  TButton btn(&form);
  btn.SetParent(&form);
  btn.OnClick = [&](TComponent*) { ++clicks; };

  edt.SetEnabled(false);
  edt.UserSetText("typed");
  EXPECT_EQ(edt.Text(), "");
  edt.SetText("program");  // the program still may
  EXPECT_EQ(edt.Text(), "program");
  edt.SetEnabled(true);
  group.SetVisible(false);
  edt.UserSetText("typed");
  EXPECT_EQ(edt.Text(), "program");
  group.SetVisible(true);
  edt.SetReadOnly(true);
  edt.UserSetText("typed");
  EXPECT_EQ(edt.Text(), "program");

  btn.UserClick();
  btn.SetEnabled(false);
  btn.UserClick();
  EXPECT_EQ(clicks, 1);
}

TEST(Controls, ObserversSeeEveryStateChange) {
  TPanel panel(nullptr);
  int count = 0;
  const int id = panel.AddObserver([&](TControl&) { ++count; });
  panel.SetTop(168);
  panel.SetTop(168);
  panel.SetVisible(false);
  panel.SetColor(clInfoBk);
  TFont font;
  font.Bold = true;
  panel.SetFont(font);
  panel.SetCaption("x");
  panel.SetBounds(1, 2, 3, 4);
  EXPECT_EQ(count, 6);
  panel.RemoveObserver(id);
  panel.SetTop(1);
  EXPECT_EQ(count, 6);
}

TEST(Controls, ParentChildAndOwnership) {
  auto* form = new TForm(nullptr);
  auto* group = new TGroupBox(form);
  group->SetParent(form);
  auto* label = new TLabel(form);
  label->SetParent(group);
  auto* edit = new TEdit(form);
  edit->SetParent(group);
  EXPECT_EQ(group->ControlCount(), 2);
  EXPECT_EQ(group->Controls(1), edit);
  EXPECT_EQ(label->ParentForm(), form);
  delete label;
  EXPECT_EQ(group->ControlCount(), 1);
  EXPECT_EQ(form->ComponentCount(), 2);
  delete form;  // releases group and edit
}

TEST(Controls, FocusAndExit) {
  TForm form(nullptr);
  TEdit de(&form), ate(&form);
  de.SetParent(&form);
  ate.SetParent(&form);
  std::vector<std::string> events;
  de.OnExit = [&](TComponent*) { events.push_back("de exit"); };
  ate.OnEnter = [&](TComponent*) { events.push_back("ate enter"); };

  de.SetFocus();  // program focus: no events
  EXPECT_EQ(form.ActiveControl(), &de);
  EXPECT_TRUE(de.Focused());
  EXPECT_TRUE(events.empty());

  form.UserFocus(ate);
  EXPECT_EQ(form.ActiveControl(), &ate);
  const std::vector<std::string> expected = {"de exit", "ate enter"};
  EXPECT_EQ(events, expected);
}

TEST(Controls, FailingExitKeepsTheFocusTheHandlerChose) {
  TForm form(nullptr);
  TEdit de(&form), ate(&form), other(&form);
  for (TEdit* e : {&de, &ate, &other}) e->SetParent(&form);
  de.OnExit = [&](TComponent*) {
    ate.SetFocus();
    throw EAbort();
  };
  de.SetFocus();
  EXPECT_THROW(form.UserFocus(other), EAbort);
  EXPECT_EQ(form.ActiveControl(), &ate);
}

TEST(Controls, KeyDownHandlerMayCancelTheKey) {
  TDBGrid grid(nullptr);
  grid.OnKeyDown = [](TComponent*, TKey& key, TShiftState shift) {
    if ((shift & ssCtrl) != 0 && key == VK_DELETE) key = 0;
  };
  EXPECT_EQ(grid.UserKeyDown(VK_DELETE, ssCtrl), 0);
  EXPECT_EQ(grid.UserKeyDown(VK_DELETE, ssCtrl | ssShift), 0);
  EXPECT_EQ(grid.UserKeyDown(VK_DELETE, ssShift), VK_DELETE);
  EXPECT_EQ(grid.UserKeyDown(VK_DELETE, 0), VK_DELETE);
}

TEST(Controls, ComboListTextFollowsTheSelection) {
  TComboBox cb(nullptr);
  cb.SetStyle(TComboBoxStyle::csDropDownList);
  int changes = 0;
  cb.OnChange = [&](TComponent*) { ++changes; };
  cb.Items.Add("Circulante");
  cb.Items.Add("Garantida");
  EXPECT_EQ(cb.Text(), "");
  cb.SetItemIndex(1);
  EXPECT_EQ(cb.Text(), "Garantida");
  EXPECT_EQ(changes, 0);  // program selection
  cb.UserSelect(0);
  EXPECT_EQ(cb.Text(), "Circulante");
  EXPECT_EQ(changes, 1);
  cb.UserSetText("Nada");  // no such entry in a choice-only list
  EXPECT_EQ(cb.ItemIndex(), 0);
  cb.Items.Clear();
  EXPECT_EQ(cb.ItemIndex(), -1);
  EXPECT_EQ(cb.Text(), "");
  EXPECT_THROW(cb.Items[0], EListError);
}

TEST(Controls, FormSizesShowAndClose) {
  TForm form(nullptr);
  form.SetClientWidth(528);
  form.SetClientHeight(338);
  EXPECT_EQ(form.Height(), 377);
  form.SetHeight(423);
  EXPECT_EQ(form.ClientHeight(), 384);
  EXPECT_FALSE(form.Visible());
  form.Show();
  form.Show();
  EXPECT_TRUE(form.Visible());
  EXPECT_EQ(form.ShowCount(), 2);
  form.OnClose = [](TComponent*, TCloseAction& action) { action = TCloseAction::caFree; };
  form.Close();
  EXPECT_FALSE(form.Visible());
  EXPECT_TRUE(form.ReleaseRequested());
}

TEST(Controls, GridCellsComeFromTheTablesDisplayTexts) {
  TClientDataSet ds(nullptr);
  ds.AddFieldDef("IDMOVREAL", TFieldType::ftString, 1);
  ds.AddFieldDef("NRDOCMOVREAL", TFieldType::ftString, 20);
  ds.CreateDataSet();
  ds.FieldByName("IDMOVREAL").OnGetText = [](TField& f, std::string& text, bool) {
    if (f.AsString() == "D") text = "Débito"_cp1252;
  };
  ds.Append();
  ds.FieldByName("IDMOVREAL").SetAsString("D");
  ds.FieldByName("NRDOCMOVREAL").SetAsString("77");
  ds.Post();
  TDBGrid grid(nullptr);
  grid.SetColumns({{"IDMOVREAL", "Tipo", 43, true}, {"NRDOCMOVREAL", "Documento", 129, true}, {"XX", "", -1, false}});
  EXPECT_EQ(grid.RowCount(), 0);
  grid.SetDataSource(&ds);
  EXPECT_EQ(grid.RowCount(), 1);
  EXPECT_EQ(grid.CellText(0, 0), "Débito"_cp1252);
  EXPECT_EQ(grid.CellText(0, 1), "77");
  EXPECT_EQ(grid.CellText(0, 2), "");
}

TEST(Controls, OpenDialogRemembersTheLastConfirmedFile) {
  TOpenDialog dlg(nullptr);
  EXPECT_FALSE(dlg.Execute());  // no hook
  std::vector<std::string> answers = {"/tmp/a.ofx", ""};
  size_t next = 0;
  dlg.ExecuteHook = [&](const std::string& filter, std::string& name) {
    EXPECT_EQ(filter, "OFX|*.ofx");
    const std::string answer = answers[next++];
    if (answer.empty()) return false;
    name = answer;
    return true;
  };
  dlg.Filter = "OFX|*.ofx";
  EXPECT_TRUE(dlg.Execute());
  EXPECT_EQ(dlg.FileName, "/tmp/a.ofx");
  EXPECT_FALSE(dlg.Execute());
  EXPECT_EQ(dlg.FileName, "/tmp/a.ofx");
}

}  // namespace
}  // namespace kvr
