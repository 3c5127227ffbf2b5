#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

namespace kvr::qt {

// The busy indicator of the host: a translucent layer over the whole of its
// parent (the main window) with the text "Aguarde..." and a running bar,
// plus the wait cursor. It is painted at once when shown; during the server
// call it announces, the bar keeps moving (RunServerCallWhilePainting).
class BusyIndicator : public QWidget {
  Q_OBJECT

 public:
  // parent must not be null; it owns the indicator.
  explicit BusyIndicator(QWidget* parent);
  ~BusyIndicator() override;

  // Covers the parent, sets the wait cursor and paints. Showing it while
  // shown does nothing.
  void Activate();
  // Hides it and takes the wait cursor back. Harmless when not shown.
  void Deactivate();
  bool Active() const { return active_; }
  // A dialog opens over the window: the layer is taken away while it is
  // open (the dialog is what the user must see), and comes back at
  // EndDialog when the indicator is still active. Calls nest.
  void BeginDialog();
  void EndDialog();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  bool active_ = false;
  int dialogs_ = 0;
  QLabel* label_ = nullptr;
  QProgressBar* bar_ = nullptr;
};

}  // namespace kvr::qt
