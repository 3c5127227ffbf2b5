#include "qt/server_call_runner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>

namespace kvr::qt {

namespace {

int running_calls = 0;

bool IsUserInput(const QEvent& event) {
  static constexpr QEvent::Type kInput[] = {
      QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick, QEvent::KeyPress,
      QEvent::KeyRelease,       QEvent::ShortcutOverride,   QEvent::Wheel,               QEvent::TouchBegin,
      QEvent::TouchUpdate,      QEvent::TouchEnd,           QEvent::ContextMenu};
  return std::find(std::begin(kInput), std::end(kInput), event.type()) != std::end(kInput);
}

// Drops what the user typed or clicked while the call ran: delivered after
// it, a second click on "Confirmar" would send the statement again.
class InputSwallower : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->spontaneous() && IsUserInput(*event)) return true;
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

void RunServerCallWhilePainting(const std::function<void()>& work) {
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr || QThread::currentThread() != application->thread()) {
    work();
    return;
  }
  InputSwallower swallower;
  application->installEventFilter(&swallower);
  ++running_calls;
  struct Restore {
    QCoreApplication* application;
    InputSwallower* swallower;
    ~Restore() {
      application->removeEventFilter(swallower);
      --running_calls;
    }
  } restore{application, &swallower};
  QEventLoop loop;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
    // Queued: quit runs on the interface thread inside exec below, also when
    // the work ends before exec has started.
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  // exec also returns when the application is told to quit meanwhile; the
  // caller still needs the call's answer, so the wait goes on.
  while (!done.load()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
  // The input held back during the wait arrives now, and is dropped.
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool ServerCallRunning() { return running_calls > 0; }

}  // namespace kvr::qt
