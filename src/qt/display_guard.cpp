#include "qt/display_guard.h"

#include <cstdio>
#include <cstdlib>

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QtGlobal>

namespace kvr::qt {

namespace {

QtMessageHandler previous_handler = nullptr;
// The first message of Qt's platform plugin: why the display did not open.
QByteArray* reason = nullptr;

void HoldPlatformMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const QByteArray category = context.category != nullptr ? QByteArray(context.category) : QByteArray();
  if (type == QtFatalMsg) {
    const QString text = NoDisplayMessage(qEnvironmentVariable("DISPLAY"), qEnvironmentVariable("WAYLAND_DISPLAY"));
    std::fprintf(stderr, "kvr61400-host: %s\n", text.toLocal8Bit().constData());
    if (reason != nullptr && !reason->isEmpty()) std::fprintf(stderr, "Detalhe do Qt: %s\n", reason->constData());
    std::fflush(stderr);
    // Qt aborts after the handler returns; the process ends here instead.
    std::_Exit(kExitNoDisplay);
  }
  if (category.startsWith("qt.qpa")) {
    if (reason != nullptr && reason->isEmpty()) *reason = category + ": " + message.toLocal8Bit();
    return;
  }
  if (previous_handler != nullptr) previous_handler(type, context, message);
}

}  // namespace

DisplayGuard::DisplayGuard() {
  reason = new QByteArray;
  previous_handler = qInstallMessageHandler(HoldPlatformMessages);
}

DisplayGuard::~DisplayGuard() {
  qInstallMessageHandler(previous_handler);
  previous_handler = nullptr;
  delete reason;
  reason = nullptr;
}

QString NoDisplayMessage(const QString& display, const QString& wayland_display) {
  const QString after = QString::fromUtf8(
      " Abra o programa numa sessão gráfica (ou ajuste a variável DISPLAY); sem display, importe com "
      "\"kvr61400 import\".");
  if (display.isEmpty() && wayland_display.isEmpty())
    return QString::fromUtf8("não há display: as variáveis DISPLAY e WAYLAND_DISPLAY estão vazias.") + after;
  return QString::fromUtf8("não foi possível abrir o display \"%1\".").arg(display.isEmpty() ? wayland_display : display) +
         after;
}

QStringList WithoutQtOptions(const QStringList& arguments) {
  // QGuiApplication's and QApplication's own options.
  static const QSet<QString> with_value = {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                           "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session",
                                           "-display", "-geometry", "-style", "-stylesheet", "-qmljsdebugger"};
  static const QSet<QString> flags = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"};
  QStringList kept;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    const QString name = argument.section('=', 0, 0);
    if (i > 0 && flags.contains(argument)) continue;
    if (i > 0 && with_value.contains(name)) {
      if (!argument.contains('=')) ++i;
      continue;
    }
    kept << argument;
  }
  return kept;
}

}  // namespace kvr::qt
