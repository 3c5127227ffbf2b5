#include "qt/dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <utility>

#include "qt/busy_indicator.h"

namespace kvr::qt {

namespace {

// The icon and window title of a box of the kind.
std::pair<QMessageBox::Icon, QString> LookOf(TMsgDlgType kind) {
  switch (kind) {
    case TMsgDlgType::mtWarning:
      return {QMessageBox::Warning, QString::fromUtf8("Aviso")};
    case TMsgDlgType::mtError:
      return {QMessageBox::Critical, QString::fromUtf8("Erro")};
    case TMsgDlgType::mtInformation:
      return {QMessageBox::Information, QString::fromUtf8("Informação")};
    case TMsgDlgType::mtConfirmation:
      return {QMessageBox::Question, QString::fromUtf8("Confirmação")};
    case TMsgDlgType::mtCustom:
      break;
  }
  return {QMessageBox::NoIcon, QString::fromUtf8("Mensagem")};
}

QWidget* ParentOr(QWidget* parent) {
  return parent != nullptr ? parent : QApplication::activeWindow();
}

// A dialog shown while the busy indicator or the hourglass is on must show
// the normal cursor, or the user cannot tell that it waits for an answer.
// A box shown while the busy layer covers the window takes the layer away
// while it is open: drawn behind the box, "Aguarde..." would say the
// program is still working while it waits for the user.
class NoBusyLookWhileOpen {
 public:
  explicit NoBusyLookWhileOpen(QWidget* parent)
      : busy_(parent != nullptr ? parent->window()->findChild<BusyIndicator*>(
                                      QString(), Qt::FindDirectChildrenOnly)
                                : nullptr) {
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    if (busy_ != nullptr) busy_->BeginDialog();
  }
  ~NoBusyLookWhileOpen() {
    if (busy_ != nullptr) busy_->EndDialog();
    QApplication::restoreOverrideCursor();
  }
  NoBusyLookWhileOpen(const NoBusyLookWhileOpen&) = delete;
  NoBusyLookWhileOpen& operator=(const NoBusyLookWhileOpen&) = delete;

 private:
  QPointer<BusyIndicator> busy_;
};

}  // namespace

void ShowErrorBox(QWidget* parent, const QString& text) {
  ShowMessageBox(parent, text, TMsgDlgType::mtError);
}

void ShowMessageBox(QWidget* parent, const QString& text, TMsgDlgType kind) {
  AskQuestion(parent, text, kind, {});
}

int AskQuestion(QWidget* parent, const QString& text, TMsgDlgType kind,
                const QStringList& buttons) {
  NoBusyLookWhileOpen look(ParentOr(parent));
  const auto [icon, title] = LookOf(kind);
  QMessageBox box(icon, title, text, QMessageBox::NoButton, ParentOr(parent));
  box.setObjectName("messageBox");
  QList<QAbstractButton*> added;
  for (const QString& caption : buttons)
    added.append(box.addButton(caption, QMessageBox::ActionRole));
  if (added.isEmpty()) added.append(box.addButton("OK", QMessageBox::AcceptRole));
  box.setEscapeButton(added.first());
  box.setDefaultButton(qobject_cast<QPushButton*>(added.first()));
  box.exec();
  return static_cast<int>(std::max<qsizetype>(0, added.indexOf(box.clickedButton())));
}

}  // namespace kvr::qt
