#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/import_options.h"
#include "host/host_library.h"
#include "platform/component.h"

namespace kvr::cli {

// Lower case of the ASCII letters of a Windows-1252 text without its accents,
// for comparing what the user typed with an entry of the screen.
std::string Folded(const std::string& cp1252);

// A Windows-1252 text as the terminal is given it: UTF-8, control
// characters shown as escapes ("\x1B"), so that a message (a server's among
// them) never writes into the terminal itself.
std::string Printable(const std::string& cp1252);

// The console's host library: messages on stdout (or into the JSON report),
// the question answered by an option or from the terminal, the server address
// from the command line, and the file chooser answering the given file.
class ConsoleHost : public THostLibrary {
 public:
  // options and messages must outlive the host; each message and question
  // is appended to messages as {"tipo":..,"texto":..} in UTF-8.
  ConsoleHost(const ImportOptions& options, nlohmann::json& messages)
      : options_(options), messages_(messages) {}

  void ShowError(const std::string& text) override;
  int MsgAlert(const std::string& text, TMsgDlgType kind, const std::vector<std::string>& buttons,
               int help_context) override;
  void ShowMessage(const std::string& text, TMsgDlgType kind, int help_context) override;
  void ActiveShowAvi(TComponent* /*window*/, int /*kind*/) override {}
  void DeactiveShowAvi() override {}
  std::string WebURL() override { return options_.host; }
  int WebPort() override { return options_.port; }
  std::string WebToken() override { return options_.token; }
  // Answers the file of the command line.
  bool ExecuteOpenDialog(const std::string& filter, std::string& file_name) override;
  void SetScreenCursor(int /*cursor*/) override {}
  void ShowForm(TForm& /*form*/) override {}
  TComponent* Application() override { return &application_; }
  TComponent* MainForm() override { return nullptr; }

  std::string last_error;
  std::string last_message;
  int last_answer = 0;  // what MsgAlert returned last; 0 before any question

 private:
  void Report(const char* kind, const std::string& text);
  // The index of the button the answer names: an option, or a line typed on
  // the terminal ("s"/"sim", "n"/"nao"/"não"); the end of the input answers
  // with the caption "Não".
  int ChooseButton(const std::string& text, const std::vector<std::string>& buttons);

  const ImportOptions& options_;
  nlohmann::json& messages_;
  TComponent application_{nullptr};
};

}  // namespace kvr::cli
