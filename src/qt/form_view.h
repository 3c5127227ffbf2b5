#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

namespace kvr {
class TControl;
class TForm;
}  // namespace kvr

namespace kvr::qt {

class ControlView;

// The Qt view of a module screen: one widget per control of the form,
// built by walking the form's control tree (Parent/Controls), each placed
// where the model says and kept in step with it through the controls'
// observers. What the user types, chooses, clicks, leaves or presses goes to
// the controls' user-input entry points, one guarded user action each
// (RunUserAction). The view holds no logic of the screen.
//
// The view's size is the form's client area and follows it; a form with a
// control anchored to both sides (or to top and bottom) may be made larger
// by the user, and its anchored controls follow (see ControlView). The form
// must outlive the view unless Detach is called first.
class FormView : public QWidget {
  Q_OBJECT

 public:
  explicit FormView(TForm& form, QWidget* parent = nullptr);
  ~FormView() override;

  TForm& Form() const { return form_; }

  // The widget showing the control of that name (its objectName is the
  // control's name), or null.
  QWidget* WidgetOf(const std::string& control_name) const;
  // The control a widget (or a widget inside it) shows, or null.
  TControl* ControlOf(const QWidget* widget) const;

  // Stops observing the model: afterwards the form may be destroyed and the
  // view shows what it showed last, ignoring the user.
  void Detach();
  bool Detached() const { return detached_; }

  // True while the view copies model state into widgets; signals the
  // widgets raise meanwhile are not user input.
  bool Syncing() const { return syncing_ > 0; }

  // Runs one user action guarded (RunUserAction over this view's window);
  // ignored while syncing, detached or inside another action (a modal
  // dialog of the module gives the focus back), since then it is no user
  // input. Returns true when the action ran to its end.
  bool UserAction(const std::function<void()>& action);

  // Copies state of the form (caption, client size, visibility) into the
  // view and its window. Called by the form's observer.
  void SyncForm();

  // Moves the Qt focus to the control's widget, as the model's focus says.
  void ApplyModelFocus(TControl& control);

  // True when the user may make the view larger than the form: some control
  // is anchored to both of two opposite sides.
  bool Grows() const;
  // The size the view asks its window for: the form's, or larger when the
  // user made it so.
  QSize sizeHint() const override;

 signals:
  // The form's caption or visibility changed; the child window follows.
  void FormStateChanged();
  // A user action (UserAction) has ended, however it ended.
  void ActionEnded();

 public:
  // Marks the time the view copies model state into widgets (Syncing).
  class SyncScope {
   public:
    explicit SyncScope(FormView& view) : view_(view) { ++view_.syncing_; }
    ~SyncScope() { --view_.syncing_; }
    SyncScope(const SyncScope&) = delete;
    SyncScope& operator=(const SyncScope&) = delete;

   private:
    FormView& view_;
  };

 protected:
  void resizeEvent(QResizeEvent* event) override;
  // Files dragged from the file manager go to the form's OnDropFiles, when
  // it takes files.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void Build(TControl& parent, QWidget* parent_widget);
  void OnFocusChanged(QWidget* old_widget, QWidget* new_widget);

  TForm& form_;
  int form_observer_ = 0;
  bool detached_ = false;
  int syncing_ = 0;
  int acting_ = 0;
  // The form's client size the view last followed.
  QSize model_size_;
  mutable int grows_ = -1;
  std::vector<std::unique_ptr<ControlView>> views_;
  std::map<std::string, QWidget*> by_name_;
  std::map<const QWidget*, TControl*> by_widget_;
};

}  // namespace kvr::qt
