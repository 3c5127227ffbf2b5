#include "qt/busy_indicator.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

namespace kvr::qt {

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent) {
  setObjectName("busyIndicator");
  setAttribute(Qt::WA_NoSystemBackground);
  auto* layout = new QVBoxLayout(this);
  layout->addStretch();
  label_ = new QLabel(QString::fromUtf8("Aguarde..."), this);
  label_->setObjectName("busyIndicatorText");
  label_->setAlignment(Qt::AlignCenter);
  QFont font = label_->font();
  font.setBold(true);
  font.setPointSize(font.pointSize() + 2);
  label_->setFont(font);
  layout->addWidget(label_, 0, Qt::AlignHCenter);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 0);
  bar_->setTextVisible(false);
  bar_->setFixedWidth(220);
  layout->addWidget(bar_, 0, Qt::AlignHCenter);
  layout->addStretch();
  hide();
  parent->installEventFilter(this);
}

BusyIndicator::~BusyIndicator() { Deactivate(); }

void BusyIndicator::Activate() {
  if (active_) return;
  active_ = true;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (dialogs_ > 0) return;
  setGeometry(parentWidget()->rect());
  show();
  raise();
  repaint();
}

void BusyIndicator::BeginDialog() {
  if (++dialogs_ == 1 && isVisible()) hide();
}

void BusyIndicator::EndDialog() {
  if (dialogs_ == 0 || --dialogs_ > 0 || !active_) return;
  setGeometry(parentWidget()->rect());
  show();
  raise();
  repaint();
}

void BusyIndicator::Deactivate() {
  if (!active_) return;
  active_ = false;
  hide();
  QApplication::restoreOverrideCursor();
}

bool BusyIndicator::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize && active_) {
    setGeometry(parentWidget()->rect());
  }
  return QWidget::eventFilter(watched, event);
}

void BusyIndicator::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(0, 0, 0, 70));
  const QRect box(width() / 2 - 140, height() / 2 - 45, 280, 90);
  painter.setPen(palette().color(QPalette::Mid));
  painter.setBrush(palette().color(QPalette::Window));
  painter.drawRoundedRect(box, 6, 6);
  QWidget::paintEvent(event);
}

}  // namespace kvr::qt
