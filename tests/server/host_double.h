#pragma once

#include <string>
#include <vector>

#include "host/host_library.h"

namespace kvr::testing {

// A host library that records the error messages shown and answers nothing
// else; installed for the lifetime of the object.
class ErrorRecordingHost : public THostLibrary {
 public:
  ErrorRecordingHost() { SetHostLibrary(this); }
  ~ErrorRecordingHost() override { SetHostLibrary(nullptr); }

  void ShowError(const std::string& text) override { errors.push_back(text); }
  int MsgAlert(const std::string&, TMsgDlgType, const std::vector<std::string>&, int) override {
    return 11;
  }
  void ShowMessage(const std::string&, TMsgDlgType, int) override {}
  void ActiveShowAvi(TComponent*, int) override {}
  void DeactiveShowAvi() override {}
  std::string WebURL() override { return "127.0.0.1"; }
  int WebPort() override { return 0; }
  bool ExecuteOpenDialog(const std::string&, std::string&) override { return false; }
  void SetScreenCursor(int) override {}
  void ShowForm(TForm&) override {}
  TComponent* Application() override { return nullptr; }
  TComponent* MainForm() override { return nullptr; }

  std::vector<std::string> errors;  // Windows-1252, as shown
};

}  // namespace kvr::testing
