#include "qt/form_view.h"

#include <functional>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QResizeEvent>
#include <QTimer>
#include <QUrl>

#include "platform/controls.h"
#include "qt/control_views.h"
#include "qt/text.h"
#include "qt/user_action.h"

namespace kvr::qt {

FormView::FormView(TForm& form, QWidget* parent) : QWidget(parent), form_(form) {
  setObjectName(ToQString(form.Name));
  setFont(ToQFont(form.Font(), font()));
  setAutoFillBackground(true);
  {
    SyncScope scope(*this);
    Build(form_, this);
    SyncForm();
  }
  setAcceptDrops(static_cast<bool>(form.OnDropFiles));
  form_observer_ = form_.AddObserver([this](TControl&) { SyncForm(); });
  for (const auto& view : views_) view->Attach();
  if (TControl* active = form_.ActiveControl()) ApplyModelFocus(*active);
  connect(qApp, &QApplication::focusChanged, this, &FormView::OnFocusChanged);
}

FormView::~FormView() { Detach(); }

void FormView::Build(TControl& parent, QWidget* parent_widget) {
  for (int i = 0; i < parent.ControlCount(); ++i) {
    TControl& child = *parent.Controls(i);
    auto view = CreateControlView(*this, child, parent_widget);
    QWidget* widget = view->Widget();
    by_name_[child.Name] = widget;
    by_widget_[widget] = &child;
    by_widget_[view->FocusWidget()] = &child;
    views_.push_back(std::move(view));
    Build(child, widget);
  }
}

QWidget* FormView::WidgetOf(const std::string& control_name) const {
  const auto found = by_name_.find(control_name);
  return found == by_name_.end() ? nullptr : found->second;
}

TControl* FormView::ControlOf(const QWidget* widget) const {
  for (const QWidget* w = widget; w != nullptr && w != this; w = w->parentWidget()) {
    const auto found = by_widget_.find(w);
    if (found != by_widget_.end()) return found->second;
  }
  return nullptr;
}

void FormView::Detach() {
  if (detached_) return;
  detached_ = true;
  disconnect(qApp, &QApplication::focusChanged, this, &FormView::OnFocusChanged);
  form_.RemoveObserver(form_observer_);
  for (auto it = views_.rbegin(); it != views_.rend(); ++it) (*it)->Detach();
}

bool FormView::UserAction(const std::function<void()>& action) {
  if (Syncing() || detached_ || acting_ > 0) return false;
  ++acting_;
  const bool finished = RunUserAction(window(), action);
  --acting_;
  emit ActionEnded();
  return finished;
}

void FormView::SyncForm() {
  if (detached_) return;
  SyncScope scope(*this);
  const QSize size(form_.ClientWidth(), form_.ClientHeight());
  if (size.width() > 0 && size.height() > 0) {
    if (!Grows()) {
      model_size_ = size;
      if (this->size() != size) setFixedSize(size);
    } else if (minimumSize() != size || model_size_ != size) {
      // The form's own size is the least the window may have; what the user
      // made it larger by stays while the form changes its size (a bank 237
      // statement makes it taller).
      const QSize grown = model_size_.isValid() ? this->size() - model_size_ : QSize(0, 0);
      model_size_ = size;
      setMinimumSize(size);
      // A maximized window keeps the size of the area it fills.
      const QSize before = this->size();
      if (parentWidget() == nullptr || !parentWidget()->isMaximized()) resize(size + grown.expandedTo(QSize(0, 0)));
      // Kept at its size, the view gets no resize event, yet what each
      // control grows by changed with the form's size: a control moved
      // before the form grew (a bank 237 statement moves the grid's panel
      // down, then makes the form taller) would keep a geometry worked out
      // against the old size and reach below its group.
      if (this->size() == before)
        for (const auto& view : views_) view->SyncGeometry();
    }
  }
  emit FormStateChanged();
}

QSize FormView::sizeHint() const { return model_size_.isValid() ? size().expandedTo(model_size_) : size(); }

bool FormView::Grows() const {
  if (grows_ >= 0) return grows_ != 0;
  std::function<bool(const TControl&)> grows = [&](const TControl& control) {
    for (int i = 0; i < control.ControlCount(); ++i) {
      const TAnchors anchors = control.Controls(i)->Anchors();
      if ((anchors & (akLeft | akRight)) == (akLeft | akRight) || (anchors & (akTop | akBottom)) == (akTop | akBottom))
        return true;
      if (grows(*control.Controls(i))) return true;
    }
    return false;
  };
  grows_ = grows(form_) ? 1 : 0;
  return grows_ != 0;
}

void FormView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (detached_) return;
  // Parents first: the views were built walking the tree from the top.
  for (const auto& view : views_) view->SyncGeometry();
}

namespace {

// The local files a drag carries, as the file system's bytes.
std::vector<std::string> DroppedFiles(const QMimeData* data) {
  std::vector<std::string> files;
  if (data == nullptr) return files;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) files.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
  return files;
}

}  // namespace

void FormView::dragEnterEvent(QDragEnterEvent* event) {
  if (!detached_ && form_.OnDropFiles && !DroppedFiles(event->mimeData()).empty())
    event->acceptProposedAction();
}

void FormView::dropEvent(QDropEvent* event) {
  const std::vector<std::string> files = DroppedFiles(event->mimeData());
  if (detached_ || !form_.OnDropFiles || files.empty()) return;
  event->acceptProposedAction();
  // After the drop has been answered: the screen's dialogs must not run
  // inside the drag and drop exchange with the file manager.
  QTimer::singleShot(0, this, [this, files] {
    if (!detached_ && form_.OnDropFiles) UserAction([&] { form_.OnDropFiles(files); });
  });
}

void FormView::ApplyModelFocus(TControl& control) {
  if (detached_) return;
  QWidget* widget = WidgetOf(control.Name);
  if (widget == nullptr) return;
  if (QWidget* proxy = widget->focusProxy()) widget = proxy;
  if (widget->hasFocus()) return;
  SyncScope scope(*this);
  widget->setFocus(Qt::OtherFocusReason);
}

void FormView::OnFocusChanged(QWidget* /*old_widget*/, QWidget* new_widget) {
  if (Syncing() || detached_ || acting_ > 0 || new_widget == nullptr) return;
  if (!isAncestorOf(new_widget)) return;
  TControl* control = ControlOf(new_widget);
  if (control == nullptr || control == form_.ActiveControl()) return;
  UserAction([&] { form_.UserFocus(*control); });
  // An exit handler that failed, or moved the focus itself, leaves the
  // model's focus elsewhere than where the user put Qt's.
  if (detached_) return;
  TControl* active = form_.ActiveControl();
  if (active != nullptr && active != control) ApplyModelFocus(*active);
}

}  // namespace kvr::qt
