// The entry: one screen at a time, connected while it is open, with the
// server address taken at every connect.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

using Lifecycle = ScreenTest;

// Closes the entry's screen as a front end does: Close, then release it when
// the screen asks for that.
void CloseScreen() {
  TfrmImportOFX* f = frmImportOFX;
  f->Close();
  if (f->ReleaseRequested()) delete f;
}

TEST_F(Lifecycle, IniProcTwiceYieldsOneScreenShownTwice) {
  IniProc();
  TfrmImportOFX* first = frmImportOFX;
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(frmImportOFXCreated);
  IniProc();
  EXPECT_EQ(frmImportOFX, first);
  EXPECT_EQ(first->ShowCount(), 2);
  EXPECT_TRUE(first->Visible());
  EXPECT_EQ(host.shown_forms, (std::vector<TForm*>{first, first}));
  EXPECT_EQ(host.cursors, (std::vector<int>{crHourGlass, crDefault, crHourGlass, crDefault}));
  EXPECT_EQ(first->Owner(), &host.application);
  EXPECT_EQ(script->opened, (std::vector<std::string>{"127.0.0.1:8061"}));
  EXPECT_TRUE(first->netImportOFX->Connected());
}

TEST_F(Lifecycle, OpenCloseOpenCreatesAFreshConnectedScreenWithTheNewAddress) {
  IniProc();
  frmImportOFX->depDtIni->SetDate(EncodeDate(2024, 1, 1));
  CloseScreen();
  EXPECT_FALSE(frmImportOFXCreated);
  EXPECT_EQ(script->closes, 1);

  host.url = "10.0.0.5";
  host.port = 9000;
  IniProc();
  ASSERT_NE(frmImportOFX, nullptr);
  EXPECT_TRUE(frmImportOFXCreated);
  EXPECT_EQ(frmImportOFX->depDtIni->Text(), "");
  EXPECT_EQ(frmImportOFX->depDtFim->Text(), "");
  EXPECT_TRUE(frmImportOFX->netImportOFX->Connected());
  EXPECT_EQ(script->opened, (std::vector<std::string>{"127.0.0.1:8061", "10.0.0.5:9000"}));
  EXPECT_EQ(host.address_reads, 2);
}

TEST_F(Lifecycle, FailedConnectLeavesNoScreenAndTheNextCallTriesAgain) {
  script->refuse_open = true;
  IniProc();
  EXPECT_FALSE(frmImportOFXCreated);
  EXPECT_EQ(host.application.ComponentCount(), 0);
  EXPECT_EQ(host.errors, (std::vector<std::string>{"servidor 127.0.0.1:8061 não responde"_cp1252}));
  EXPECT_EQ(host.cursors, (std::vector<int>{crHourGlass, crDefault}));
  EXPECT_TRUE(host.shown_forms.empty());

  EXPECT_THROW(CriaImportOFX(), Exception);
  EXPECT_FALSE(frmImportOFXCreated);

  script->refuse_open = false;
  IniProc();
  EXPECT_TRUE(frmImportOFXCreated);
  EXPECT_EQ(host.application.ComponentCount(), 1);
  EXPECT_EQ(host.shown_forms.size(), 1u);
}

TEST_F(Lifecycle, ScreenReleasedWithItsOwnerLetsTheEntryCreateANewOne) {
  IniProc();
  delete frmImportOFX;
  EXPECT_EQ(frmImportOFX, nullptr);
  EXPECT_FALSE(frmImportOFXCreated);
  IniProc();
  EXPECT_NE(frmImportOFX, nullptr);
}

}  // namespace
}  // namespace kvr::testing
