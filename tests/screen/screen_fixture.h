#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ofx_text.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "recording_host.h"
#include "screen/import_ofx_form.h"
#include "server_double.h"

namespace kvr::testing {

// A screen on a recording host and a server double, with files written to a
// fresh directory. The locale convention is Brazilian ("," decimals) unless
// a test changes it; "today" is 6 March 2024.
class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = FormatSettings;
    FormatSettings.DecimalSeparator = ',';
    FormatSettings.ThousandSeparator = '.';
    FormatSettings.DateSeparator = '/';
    script = std::make_shared<ServerScript>();
    script->accounts = {{"001", "341", "1234", "123456", "99999-9", "C"}};
    auto s = script;
    SetImportOFXTransportFactory([s] { return std::make_unique<ServerDouble>(s); });
    dir_ = std::filesystem::temp_directory_path() /
           ("kvr-screen-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }

  void TearDown() override {
    if (frmImportOFXCreated && frmImportOFX != nullptr) delete frmImportOFX;
    frmImportOFX = nullptr;
    frmImportOFXCreated = false;
    form_.reset();
    SetImportOFXTransportFactory(nullptr);
    FormatSettings = saved_settings_;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A screen of our own (not the entry's single instance).
  TfrmImportOFX& Form() {
    if (!form_) {
      form_ = std::make_unique<TfrmImportOFX>(nullptr);
      form_->Today = [] { return EncodeDate(2024, 3, 6); };
    }
    return *form_;
  }

  std::string WriteFile(const std::string& name, const std::string& content) {
    auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // Runs one user action; returns "" when it ran to its end, "abort" when it
  // ended through MensErro or CheckResultServ, or the message of any other
  // exception.
  std::string Act(const std::function<void()>& action) {
    try {
      action();
    } catch (const EAbort&) {
      return "abort";
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  // Chooses path in the file chooser and presses the search button.
  std::string Load(const std::string& path) {
    host.WillChoose(path);
    return Act([&] { Form().BtnPesquisa1Click(Form().BtnPesquisa1); });
  }
  std::string Confirm() {
    return Act([&] { Form().sbtConfirmaClick(Form().sbtConfirma); });
  }

  // The texts of the grid's visible column (by field name), top to bottom.
  std::vector<std::string> Column(const std::string& field) {
    TDBGrid& grid = *Form().dbgExtrBanco;
    int col = -1;
    for (size_t i = 0; i < grid.Columns().size(); ++i) {
      if (grid.Columns()[i].FieldName == field) col = static_cast<int>(i);
    }
    std::vector<std::string> out;
    for (int r = 0; r < grid.RowCount(); ++r) out.push_back(grid.CellText(r, col));
    return out;
  }

  // A column of every row of a table, filter off for the walk and restored.
  static std::vector<std::string> AllRows(TClientDataSet& table, const std::string& field) {
    std::vector<std::string> out;
    const bool filtered = table.Filtered();
    table.SetFiltered(false);
    for (table.First(); !table.Eof(); table.Next()) out.push_back(table.FieldByName(field).AsString());
    table.SetFiltered(filtered);
    return out;
  }

  RecordingHost host;
  std::shared_ptr<ServerScript> script;

 private:
  std::unique_ptr<TfrmImportOFX> form_;
  std::filesystem::path dir_;
  TFormatSettings saved_settings_;
};

}  // namespace kvr::testing
