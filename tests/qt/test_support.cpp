#include "test_support.h"

#include <sys/prctl.h>

#include <csignal>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include "platform/component.h"

namespace kvr::qt::test {

void ProcessEvents() {
  for (int i = 0; i < 3; ++i) QApplication::processEvents(QEventLoop::AllEvents, 50);
}

TComponent* FindComponent(TComponent& owner, const std::string& name) {
  for (int i = 0; i < owner.ComponentCount(); ++i) {
    TComponent* child = owner.Components(i);
    if (child->Name == name) return child;
    if (TComponent* found = FindComponent(*child, name)) return found;
  }
  return nullptr;
}

BoxResponder::BoxResponder() {
  timer_.setInterval(20);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start();
}

BoxResponder::~BoxResponder() { timer_.stop(); }

void BoxResponder::Poll() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  ShownBox shown;
  shown.title = box->windowTitle();
  shown.text = box->text();
  shown.icon = box->icon();
  for (QAbstractButton* button : box->buttons()) shown.buttons.append(button->text());
  boxes_.push_back(shown);
  if (!pictures_.empty()) {
    QDir().mkpath(QFileInfo(pictures_.front()).absolutePath());
    box->grab().save(pictures_.front());
    pictures_.pop_front();
  }
  QString answer;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  }
  if (answer == "<Escape>") {
    QTest::keyClick(box, Qt::Key_Escape);
    return;
  }
  for (QAbstractButton* button : box->buttons()) {
    if (answer.isEmpty() || button->text() == answer) {
      button->click();
      return;
    }
  }
  box->buttons().first()->click();
}

ServerProcess::~ServerProcess() { Stop(); }

void ServerProcess::Stop() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(2000);
    }
  }
}

bool ServerProcess::Start(const QString& server_binary) {
  binary_ = server_binary;
  if (!folder_.isValid()) {
    error_ = "no temporary folder";
    return false;
  }
  process_.setProcessChannelMode(QProcess::MergedChannels);
  // A test that crashes must not leave its server running.
  process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
  process_.start(binary_, {"serve", "--listen", "127.0.0.1:0", "--db", folder_.filePath("kvr61400.db")});
  if (!process_.waitForStarted(5000)) {
    error_ = process_.errorString();
    return false;
  }
  const QRegularExpression listening("ouvindo em 127\\.0\\.0\\.1:(\\d+)");
  QString output;
  QDeadlineTimer deadline(10000);
  while (!deadline.hasExpired()) {
    process_.waitForReadyRead(100);
    output += QString::fromUtf8(process_.readAll());
    const auto match = listening.match(output);
    if (match.hasMatch()) {
      port_ = match.captured(1).toInt();
      return true;
    }
    if (process_.state() == QProcess::NotRunning) break;
  }
  error_ = "server did not come up: " + output;
  return false;
}

QString ServerProcess::Run(const QStringList& arguments) {
  QProcess command;
  command.setProcessChannelMode(QProcess::MergedChannels);
  command.start(binary_, QStringList{"--db", folder_.filePath("kvr61400.db")} + arguments);
  command.waitForFinished(10000);
  return QString::fromUtf8(command.readAll());
}

bool ServerProcess::AddAccount(const QString& code, const QString& bank, const QString& agency,
                               const QString& account, const QString& type, const QString& mask) {
  QProcess command;
  command.setProcessChannelMode(QProcess::MergedChannels);
  command.start(binary_, {"conta", "add", "--db", folder_.filePath("kvr61400.db"), "--codigo", code, "--banco",
                          bank, "--agencia", agency, "--conta", account, "--tipo", type, "--mascara", mask});
  command.waitForFinished(10000);
  if (command.exitStatus() != QProcess::NormalExit || command.exitCode() != 0) {
    error_ = QString::fromUtf8(command.readAll());
    return false;
  }
  return true;
}

}  // namespace kvr::qt::test
