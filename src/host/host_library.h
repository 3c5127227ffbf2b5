#pragma once

#include <string>
#include <vector>

namespace kvr {

class TComponent;
class TForm;

// Dialog kinds of the host library's message routines.
enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Screen cursor codes of the host.
constexpr int crDefault = 0;
constexpr int crHourGlass = -11;

// What the module needs of the host's shared component library: dialogs, the
// busy indicator, the server address, the file chooser, the screen cursor and
// the host's application and main window. Front ends implement it (the Qt
// host, the console host of the command line); tests supply recording doubles.
// The implementation is installed with SetHostLibrary before IniProc.
class THostLibrary {
 public:
  virtual ~THostLibrary() = default;

  // Shows text as a modal error message. (MensErro then ends the action.)
  virtual void ShowError(const std::string& text) = 0;
  // Asks a modal question with the given button captions, in order; returns
  // 11 for the first button and 12, 13, ... for the next ones.
  virtual int MsgAlert(const std::string& text, TMsgDlgType kind,
                       const std::vector<std::string>& buttons, int help_context) = 0;
  // Shows text in a modal dialog of the given kind with a single OK button.
  virtual void ShowMessage(const std::string& text, TMsgDlgType kind, int help_context) = 0;

  // Shows and hides the busy indicator over the given window. Hiding it when
  // it is not shown is harmless.
  virtual void ActiveShowAvi(TComponent* window, int kind) = 0;
  virtual void DeactiveShowAvi() = 0;

  // The application server's host name and port.
  virtual std::string WebURL() = 0;
  virtual int WebPort() = 0;
  // The shared secret that server demands (sent with every call as
  // Authorization: Bearer), empty when it demands none.
  virtual std::string WebToken() { return ""; }

  // Shows the file chooser modally with the given filter ("OFX|*.ofx") and
  // the last confirmed file; returns true and sets file_name when the user
  // confirms a file, false (file_name unchanged) when the user cancels.
  virtual bool ExecuteOpenDialog(const std::string& filter, std::string& file_name) = 0;
  // The same chooser letting the user pick several files: returns true and
  // sets files (in the order chosen, at least one) on confirmation, false
  // (files unchanged) on cancel. Starts at files' first. The default offers
  // one file through ExecuteOpenDialog.
  virtual bool ExecuteOpenDialogFiles(const std::string& filter, std::vector<std::string>& files) {
    std::string name = files.empty() ? std::string() : files.front();
    if (!ExecuteOpenDialog(filter, name)) return false;
    files = {name};
    return true;
  }

  // A screen of the module began (running true) or ended (false) a queue
  // of statements, each loaded after the user's answer to the one before: a
  // front end holds back what it does after each stored statement (a
  // refresh of its lists) until the queue ends. The default does nothing.
  virtual void QueueRunning(TForm& /*form*/, bool /*running*/) {}

  // Sets the host's screen cursor (crHourGlass, crDefault).
  virtual void SetScreenCursor(int cursor) = 0;

  // Shows a screen of the module as a child window of the host's main window
  // and brings it to the front; a front end builds or raises its view of the
  // form's controls here. Called by the module each time it shows a screen.
  virtual void ShowForm(TForm& form) = 0;

  // The host application (owner of the module's screen) and its main window
  // (parent of the screen and of the busy indicator). May be null.
  virtual TComponent* Application() = 0;
  virtual TComponent* MainForm() = 0;
};

// Installs the host library the module calls; the object must outlive every
// call. Passing null uninstalls it.
void SetHostLibrary(THostLibrary* host);
// The installed host library. Throws kvr::Exception when none is installed.
THostLibrary& HostLibrary();

// Shows text as an error message through the host library and, when
// end_action is true, ends the current user action by throwing EAbort.
void MensErro(const std::string& text, bool end_action);

}  // namespace kvr
