#pragma once

#include <deque>
#include <string>
#include <vector>

#include "host/host_library.h"
#include "platform/component.h"

namespace kvr::testing {

// A host library that records what the module asks of it and answers from a
// script: the file chooser's next outcomes, the question's next answers, the
// server address. Installs itself on construction and uninstalls itself on
// destruction.
class RecordingHost : public THostLibrary {
 public:
  RecordingHost() { SetHostLibrary(this); }
  ~RecordingHost() override { SetHostLibrary(nullptr); }
  RecordingHost(const RecordingHost&) = delete;
  RecordingHost& operator=(const RecordingHost&) = delete;

  struct Question {
    std::string text;
    TMsgDlgType kind;
    std::vector<std::string> buttons;
    int help_context;
  };

  // The file chooser's next outcome: the user confirms path.
  void WillChoose(std::string path) { choices_.push_back({true, std::move(path)}); }
  // The file chooser's next outcome: the user cancels.
  void WillCancel() { choices_.push_back({false, {}}); }
  // The next question is answered with this number (11 = first button).
  void WillAnswer(int answer) { answers_.push_back(answer); }

  void ShowError(const std::string& text) override {
    errors.push_back(text);
    log.push_back("error:" + text);
  }
  int MsgAlert(const std::string& text, TMsgDlgType kind, const std::vector<std::string>& buttons,
               int help_context) override {
    questions.push_back({text, kind, buttons, help_context});
    log.push_back("question");
    if (answers_.empty()) return 12;
    int a = answers_.front();
    answers_.pop_front();
    return a;
  }
  void ShowMessage(const std::string& text, TMsgDlgType kind, int help_context) override {
    messages.push_back(text);
    message_kinds.push_back(kind);
    message_help_contexts.push_back(help_context);
    log.push_back("message:" + text);
  }
  void ActiveShowAvi(TComponent* window, int kind) override {
    ++avi_shown;
    avi_on = true;
    avi_windows.push_back(window);
    avi_kinds.push_back(kind);
    log.push_back("avi-on");
  }
  void DeactiveShowAvi() override {
    ++avi_hidden;
    avi_on = false;
    log.push_back("avi-off");
  }
  std::string WebURL() override {
    ++address_reads;
    return url;
  }
  int WebPort() override { return port; }
  bool ExecuteOpenDialog(const std::string& filter, std::string& file_name) override {
    dialog_filters.push_back(filter);
    if (choices_.empty()) return false;
    auto c = choices_.front();
    choices_.pop_front();
    if (c.confirm) file_name = c.path;
    return c.confirm;
  }
  void SetScreenCursor(int cursor) override { cursors.push_back(cursor); }
  void ShowForm(TForm& form) override {
    shown_forms.push_back(&form);
    log.push_back("show-form");
  }
  TComponent* Application() override { return &application; }
  TComponent* MainForm() override { return &main_form; }

  std::vector<std::string> errors;
  std::vector<std::string> messages;
  std::vector<TMsgDlgType> message_kinds;
  std::vector<int> message_help_contexts;
  std::vector<Question> questions;
  std::vector<std::string> log;
  std::vector<std::string> dialog_filters;
  std::vector<int> cursors;
  std::vector<TForm*> shown_forms;
  std::vector<TComponent*> avi_windows;
  std::vector<int> avi_kinds;
  int avi_shown = 0;
  int avi_hidden = 0;
  bool avi_on = false;
  int address_reads = 0;
  std::string url = "127.0.0.1";
  int port = 8061;
  TComponent application{nullptr};
  TComponent main_form{nullptr};

 private:
  struct Choice {
    bool confirm;
    std::string path;
  };
  std::deque<Choice> choices_;
  std::deque<int> answers_;
};

}  // namespace kvr::testing
