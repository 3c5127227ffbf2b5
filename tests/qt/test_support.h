#pragma once

#include <deque>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

namespace kvr {
class TComponent;
}

namespace kvr::qt::test {

// Runs the pending events, zero-delay timers included.
void ProcessEvents();

// The component of that name among those owner owns, directly or further
// down, or null.
TComponent* FindComponent(TComponent& owner, const std::string& name);

// What a message box showed.
struct ShownBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
};

// Answers the modal message boxes that appear while it lives: records each
// one, saves a picture of it when asked, and clicks the button whose caption
// is next in the queued answers (the first button when none is queued).
class BoxResponder {
 public:
  BoxResponder();
  ~BoxResponder();
  BoxResponder(const BoxResponder&) = delete;
  BoxResponder& operator=(const BoxResponder&) = delete;

  // Queues the caption of the button to click in the next box; "<Escape>"
  // presses Escape instead.
  void Answer(const QString& caption) { answers_.push_back(caption); }
  // Saves a picture of the next box as a PNG at path.
  void SaveNextAs(const QString& path) { pictures_.push_back(path); }
  const std::vector<ShownBox>& Boxes() const { return boxes_; }

 private:
  void Poll();

  QTimer timer_;
  std::deque<QString> answers_;
  std::deque<QString> pictures_;
  std::vector<ShownBox> boxes_;
};

// A kvr61400-server on 127.0.0.1 with a free port and a fresh database in a
// temporary folder, stopped when the object goes.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts it; returns false (with the reason in Error) when it does not
  // come up within a few seconds.
  bool Start(const QString& server_binary);
  // Stops it (harmless when not running).
  void Stop();
  // Runs "conta add" with the fields; returns true on success.
  bool AddAccount(const QString& code, const QString& bank, const QString& agency, const QString& account,
                  const QString& type, const QString& mask);
  // Runs a command of the server program against its database and returns
  // what it printed.
  QString Run(const QStringList& arguments);
  int Port() const { return port_; }
  const QString& Error() const { return error_; }

 private:
  QString binary_;
  QTemporaryDir folder_;
  QProcess process_;
  int port_ = 0;
  QString error_;
};

}  // namespace kvr::qt::test
