#include "qt/control_views.h"

#include <QAbstractButton>
#include <QAction>
#include <QCalendarWidget>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

#include "host/host_controls.h"
#include "platform/sysutils.h"
#include "qt/form_view.h"
#include "qt/grid_view.h"
#include "qt/text.h"

namespace kvr::qt {

// Sends the keys pressed in a control's widget through the control's
// OnKeyDown; a key the handler cancels (sets to 0) does not reach the widget.
class KeyFilter : public QObject {
 public:
  KeyFilter(ControlView& view, QObject* parent) : QObject(parent), view_(view) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    auto* key_event = static_cast<QKeyEvent*>(event);
    const TKey key = ToKeyCode(key_event->key());
    if (key == 0) return false;
    TShiftState shift = ToShiftState(key_event->modifiers());
    if (key_event->key() == Qt::Key_Backtab) shift |= ssShift;
    TKey result = key;
    const bool finished =
        view_.form_view_.UserAction([&] { result = view_.control_.UserKeyDown(key, shift); });
    return !finished || result == 0;
  }

 private:
  ControlView& view_;
};

ControlView::ControlView(FormView& form_view, TControl& control, QWidget* widget)
    : form_view_(form_view), control_(control), widget_(widget) {
  widget_->setObjectName(ToQString(control.Name));
}

ControlView::~ControlView() {
  Detach();
}

void ControlView::Attach() {
  if (attached_) return;
  attached_ = true;
  observer_id_ = control_.AddObserver([this](TControl&) { Sync(); });
  if (FocusWidget()->focusPolicy() != Qt::NoFocus) {
    key_filter_ = new KeyFilter(*this, widget_);
    FocusWidget()->installEventFilter(key_filter_);
  }
  Sync();
}

void ControlView::Detach() {
  if (!attached_) return;
  attached_ = false;
  control_.RemoveObserver(observer_id_);
  DetachKind();
}

void ControlView::Sync() {
  if (!attached_) return;
  FormView::SyncScope scope(form_view_);
  SyncCommon();
  SyncKind();
  // Only a change of the model's focus moves Qt's: a focused control that
  // changes otherwise (its exit handler runs while the user moves on) must
  // not pull the focus back.
  const bool focused = control_.Focused();
  if (focused && !had_focus_ && control_.CanFocus()) form_view_.ApplyModelFocus(control_);
  had_focus_ = focused;
}

void ControlView::SyncGeometry() {
  if (!attached_) return;
  FormView::SyncScope scope(form_view_);
  SyncCommon();
}

void ControlView::SyncCommon() {
  QRect geometry(control_.Left(), control_.Top(), control_.Width(), control_.Height());
  QWidget* parent = widget_->parentWidget();
  // What the user widened or heightened the window by reaches the controls
  // anchored to both sides (they grow) or to the right or bottom only (they
  // move); every other control keeps the layout's position.
  QSize growth(0, 0);
  if (const TControl* model = control_.Parent(); parent != nullptr && model != nullptr) {
    QSize size(model->Width(), model->Height());
    if (const auto* form = dynamic_cast<const TForm*>(model))
      size = QSize(form->ClientWidth(), form->ClientHeight());
    growth = (parent->size() - size).expandedTo(QSize(0, 0));
  }
  const TAnchors anchors = control_.Anchors();
  const int right = (anchors & akRight) != 0 ? growth.width() : 0;
  const int bottom = (anchors & akBottom) != 0 ? growth.height() : 0;
  const int left = (anchors & akLeft) != 0 ? 0 : right;
  const int top = (anchors & akTop) != 0 ? 0 : bottom;
  geometry.adjust(left, top, right, bottom);
  if (control_.Align() == TAlign::alClient && parent != nullptr) {
    const int inset =
        (control_.Parent() != nullptr && control_.Parent()->ClassName() == "TPanel") ? 1 : 0;
    geometry = parent->rect().adjusted(inset, inset, -inset, -inset);
  }
  if (geometry.height() <= 0) geometry.setHeight(widget_->sizeHint().height());
  if (geometry.width() <= 0) geometry.setWidth(widget_->sizeHint().width());
  if (widget_->geometry() != geometry) widget_->setGeometry(geometry);

  widget_->setEnabled(control_.Enabled());
  const QString hint =
      control_.ShowHint() || !control_.Hint().empty() ? ToQString(control_.Hint()) : QString();
  if (widget_->toolTip() != hint) widget_->setToolTip(hint);

  const QFont font = ToQFont(
      control_.Font(), widget_->parentWidget() ? widget_->parentWidget()->font() : widget_->font());
  if (widget_->font() != font) widget_->setFont(font);

  QPalette palette = widget_->palette();
  const QColor text_color = ToQColor(control_.Font().Color, QPalette());
  // The screen shows what it loaded in disabled boxes; the style's grey on
  // grey would leave the values hard to read.
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    const QColor color = group == QPalette::Disabled ? DisabledTextColor(text_color) : text_color;
    palette.setColor(group, QPalette::WindowText, color);
    palette.setColor(group, QPalette::Text, color);
  }
  if (PaintsBackground()) {
    const QColor background = ToQColor(control_.Color(), QPalette());
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      palette.setColor(group, QPalette::Base, background);
      palette.setColor(group, QPalette::Window, background);
      palette.setColor(group, QPalette::Button, background);
    }
  }
  widget_->setPalette(palette);

  if (widget_->isVisibleTo(widget_->parentWidget()) != control_.Visible()) {
    widget_->setVisible(control_.Visible());
  }
}

namespace {

class LabelView : public ControlView {
 public:
  LabelView(FormView& form_view, TControl& control, QWidget* parent)
      : ControlView(form_view, control, new QLabel(parent)),
        label_(static_cast<QLabel*>(widget_)) {}

 protected:
  void SyncCommon() override {
    ControlView::SyncCommon();
    // A label sizes itself to its caption, as the design's labels do.
    if (control_.Width() <= 0) label_->adjustSize();
  }
  void SyncKind() override {
    const QString text = ToQString(control_.Caption());
    if (label_->text() != text) {
      label_->setText(text);
      if (control_.Width() <= 0) label_->adjustSize();
    }
  }
  bool PaintsBackground() const override { return false; }

 private:
  QLabel* label_;
};

class EditView : public ControlView {
 public:
  EditView(FormView& form_view, TEdit& edit, QWidget* parent)
      : ControlView(form_view, edit, new QLineEdit(parent)),
        edit_(edit),
        line_(static_cast<QLineEdit*>(widget_)) {
    QObject::connect(line_, &QLineEdit::textEdited, line_, [this](const QString& text) {
      form_view_.UserAction([&] { control_.UserSetText(FromQString(text)); });
    });
  }

 protected:
  void SyncKind() override {
    line_->setReadOnly(edit_.ReadOnly());
    const QString text = ToQString(edit_.Text());
    if (line_->text() != text) line_->setText(text);
  }

  TEdit& edit_;
  QLineEdit* line_;
};

class NumberEditView : public EditView {
 public:
  NumberEditView(FormView& form_view, TNumberEdit& edit, QWidget* parent)
      : EditView(form_view, edit, parent) {
    line_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The number is formatted when the user is done, not on every key.
    QObject::disconnect(line_, &QLineEdit::textEdited, nullptr, nullptr);
    QObject::connect(line_, &QLineEdit::editingFinished, line_, [this] {
      if (!line_->isModified()) return;
      line_->setModified(false);
      const QString text = line_->text();
      form_view_.UserAction([&] { control_.UserSetText(FromQString(text)); });
    });
  }
};

QIcon CalendarIcon() {
  QPixmap pixmap(14, 14);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setPen(QColor(60, 60, 60));
  painter.setBrush(Qt::white);
  painter.drawRect(1, 2, 11, 10);
  painter.fillRect(2, 3, 10, 3, QColor(180, 40, 40));
  for (int row = 0; row < 2; ++row) {
    for (int col = 0; col < 3; ++col)
      painter.fillRect(3 + col * 3, 7 + row * 2, 2, 1, QColor(60, 60, 60));
  }
  return QIcon(pixmap);
}

class DateEditView : public EditView {
 public:
  DateEditView(FormView& form_view, TDateEditPlus& edit, QWidget* parent)
      : EditView(form_view, edit, parent), date_edit_(edit) {
    calendar_action_ = line_->addAction(CalendarIcon(), QLineEdit::TrailingPosition);
    calendar_action_->setToolTip(QString::fromUtf8("Calendário"));
    QObject::connect(calendar_action_, &QAction::triggered, line_, [this] { ShowCalendar(); });
  }

 protected:
  void SyncKind() override {
    EditView::SyncKind();
    calendar_action_->setEnabled(control_.Enabled() && !date_edit_.ReadOnly());
    QPalette palette = line_->palette();
    const QColor color = date_edit_.IsValidDate() ? ToQColor(date_edit_.ValidDateColor, QPalette())
                                                  : ToQColor(control_.Font().Color, QPalette());
    for (const auto group : {QPalette::Active, QPalette::Inactive})
      palette.setColor(group, QPalette::Text, color);
    palette.setColor(QPalette::Disabled, QPalette::Text, DisabledTextColor(color));
    line_->setPalette(palette);
    QString tip = ToQString(control_.Hint());
    if (date_edit_.IsValidDate()) {
      const QString weekday = WeekdayName(date_edit_.Date());
      if (!weekday.isEmpty()) tip = tip.isEmpty() ? weekday : tip + " - " + weekday;
    }
    if (line_->toolTip() != tip) line_->setToolTip(tip);
  }

 private:
  // The name of the date's weekday from the edit's own names, Sunday first.
  QString WeekdayName(TDateTime date) const {
    int year = 0, month = 0, day = 0;
    DecodeDate(date, year, month, day);
    const int weekday = QDate(year, month, day).dayOfWeek() % 7;  // Sunday 0
    if (weekday < static_cast<int>(date_edit_.WeekDayNames.size())) {
      return ToQString(date_edit_.WeekDayNames[static_cast<size_t>(weekday)]);
    }
    return QLocale(QLocale::Portuguese, QLocale::Brazil).dayName(weekday == 0 ? 7 : weekday);
  }

  void ShowCalendar() {
    QMenu menu(line_);
    auto* calendar = new QCalendarWidget(&menu);
    calendar->setObjectName("calendar");
    calendar->setLocale(QLocale(QLocale::Portuguese, QLocale::Brazil));
    calendar->setFirstDayOfWeek(Qt::Sunday);
    calendar->setGridVisible(true);
    calendar->setHorizontalHeaderFormat(QCalendarWidget::NoHorizontalHeader);
    calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    auto* panel = new QWidget(&menu);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(0);
    auto* names = new QWidget(panel);
    auto* names_layout = new QHBoxLayout(names);
    names_layout->setContentsMargins(0, 0, 0, 0);
    for (const std::string& name : date_edit_.WeekDayNames) {
      auto* label = new QLabel(ToQString(name).left(3), names);
      label->setAlignment(Qt::AlignCenter);
      names_layout->addWidget(label, 1);
    }
    layout->addWidget(names);
    layout->addWidget(calendar);
    if (date_edit_.IsValidDate()) {
      int year = 0, month = 0, day = 0;
      DecodeDate(date_edit_.Date(), year, month, day);
      calendar->setSelectedDate(QDate(year, month, day));
    }
    auto* action = new QWidgetAction(&menu);
    action->setDefaultWidget(panel);
    menu.addAction(action);
    QObject::connect(calendar, &QCalendarWidget::clicked, &menu, [&](QDate date) {
      chosen_ = date;
      menu.close();
    });
    chosen_ = QDate();
    menu.exec(line_->mapToGlobal(QPoint(0, line_->height())));
    if (!chosen_.isValid()) return;
    const QString text = chosen_.toString("dd/MM/yyyy");
    line_->setFocus();
    form_view_.UserAction([&] { control_.UserSetText(FromQString(text)); });
  }

  TDateEditPlus& date_edit_;
  QAction* calendar_action_ = nullptr;
  QDate chosen_;
};

class ComboView : public ControlView {
 public:
  ComboView(FormView& form_view, TComboBox& combo, QWidget* parent)
      : ControlView(form_view, combo, new QComboBox(parent)),
        combo_(combo),
        box_(static_cast<QComboBox*>(widget_)) {
    QObject::connect(box_, &QComboBox::activated, box_, [this](int index) {
      form_view_.UserAction([&] { combo_.UserSelect(index); });
    });
  }

 protected:
  void SyncKind() override {
    const bool editable = combo_.Style() == TComboBoxStyle::csDropDown;
    if (box_->isEditable() != editable) {
      box_->setEditable(editable);
      if (editable) {
        QObject::connect(box_->lineEdit(), &QLineEdit::textEdited, box_,
                         [this](const QString& text) {
                           form_view_.UserAction([&] { combo_.UserSetText(FromQString(text)); });
                         });
      }
    }
    QStringList items;
    for (const std::string& item : combo_.Items.Strings()) items.append(ToQString(item));
    QStringList shown;
    for (int i = 0; i < box_->count(); ++i) shown.append(box_->itemText(i));
    if (shown != items) {
      box_->clear();
      box_->addItems(items);
    }
    if (box_->currentIndex() != combo_.ItemIndex()) box_->setCurrentIndex(combo_.ItemIndex());
    if (editable && box_->currentText() != ToQString(combo_.Text())) {
      box_->setEditText(ToQString(combo_.Text()));
    }
  }

 private:
  TComboBox& combo_;
  QComboBox* box_;
};

QIcon MagnifierIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(QColor(30, 30, 30));
  pen.setWidthF(1.6);
  painter.setPen(pen);
  painter.setBrush(QColor(200, 225, 255));
  painter.drawEllipse(QRectF(2, 2, 8.5, 8.5));
  pen.setWidthF(2.6);
  painter.setPen(pen);
  painter.drawLine(QPointF(9.5, 9.5), QPointF(14, 14));
  return QIcon(pixmap);
}

QIcon CheckIcon() {
  QPixmap pixmap(24, 24);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(QColor(30, 130, 40));
  pen.setWidthF(3.4);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  painter.setPen(pen);
  painter.drawPolyline(QPolygonF({QPointF(4, 13), QPointF(10, 19), QPointF(20, 5)}));
  return QIcon(pixmap);
}

// A push button, or the host library's flat button of the side menu: a
// glyph with the caption under it, raised only while the mouse is over it.
class ButtonView : public ControlView {
 public:
  ButtonView(FormView& form_view, TButton& button, QWidget* parent, bool flat)
      : ControlView(
            form_view, button,
            flat ? static_cast<QWidget*>(new QToolButton(parent)) : new QPushButton(parent)),
        button_(static_cast<QAbstractButton*>(widget_)),
        flat_(flat) {
    if (flat) {
      static_cast<QToolButton*>(button_)->setAutoRaise(true);
      static_cast<QToolButton*>(button_)->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
      button_->setIcon(CheckIcon());
      button_->setIconSize(QSize(24, 24));
      button_->setFocusPolicy(Qt::StrongFocus);
    } else if (button.ClassName() == "TBtnPesquisa") {
      button_->setIcon(MagnifierIcon());
      button_->setIconSize(QSize(14, 14));
    }
    QObject::connect(button_, &QAbstractButton::clicked, button_,
                     [this] { form_view_.UserAction([&] { control_.UserClick(); }); });
  }

 protected:
  void SyncCommon() override {
    ControlView::SyncCommon();
    if (!flat_) return;
    // The caption sits under the glyph in the button's 49 pixels.
    QFont font = button_->font();
    if (font.pixelSize() > 9) font.setPixelSize(9);
    button_->setFont(font);
  }
  void SyncKind() override {
    const QString text = ToQString(control_.Caption());
    if (button_->text() != text) button_->setText(text);
  }
  bool PaintsBackground() const override { return false; }

 private:
  QAbstractButton* button_;
  bool flat_;
};

class GroupView : public ControlView {
 public:
  GroupView(FormView& form_view, TControl& control, QWidget* parent)
      : ControlView(form_view, control, new QGroupBox(parent)),
        group_(static_cast<QGroupBox*>(widget_)) {}

 protected:
  void SyncKind() override {
    const QString text = ToQString(control_.Caption());
    if (group_->title() != text) group_->setTitle(text);
  }
  bool PaintsBackground() const override { return false; }

 private:
  QGroupBox* group_;
};

class PanelView : public ControlView {
 public:
  PanelView(FormView& form_view, TControl& control, QWidget* parent)
      : ControlView(form_view, control, new QFrame(parent)) {
    auto* frame = static_cast<QFrame*>(widget_);
    frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frame->setLineWidth(1);
    frame->setAutoFillBackground(true);
  }
};

class PlainView : public ControlView {
 public:
  PlainView(FormView& form_view, TControl& control, QWidget* parent)
      : ControlView(form_view, control, new QWidget(parent)) {}

 protected:
  bool PaintsBackground() const override { return false; }
};

}  // namespace

std::unique_ptr<ControlView> CreateControlView(FormView& form_view, TControl& control,
                                               QWidget* parent_widget) {
  if (auto* grid = dynamic_cast<TDBGrid*>(&control)) {
    return std::make_unique<GridView>(form_view, *grid, parent_widget);
  }
  if (auto* date = dynamic_cast<TDateEditPlus*>(&control)) {
    return std::make_unique<DateEditView>(form_view, *date, parent_widget);
  }
  if (auto* number = dynamic_cast<TNumberEdit*>(&control)) {
    return std::make_unique<NumberEditView>(form_view, *number, parent_widget);
  }
  if (auto* edit = dynamic_cast<TEdit*>(&control)) {
    return std::make_unique<EditView>(form_view, *edit, parent_widget);
  }
  if (auto* combo = dynamic_cast<TComboBox*>(&control)) {
    return std::make_unique<ComboView>(form_view, *combo, parent_widget);
  }
  if (auto* button = dynamic_cast<TButton*>(&control)) {
    const bool flat = dynamic_cast<TButtonFlat*>(button) != nullptr;
    return std::make_unique<ButtonView>(form_view, *button, parent_widget, flat);
  }
  if (dynamic_cast<TLabel*>(&control) != nullptr) {
    return std::make_unique<LabelView>(form_view, control, parent_widget);
  }
  if (dynamic_cast<TGroupBox*>(&control) != nullptr) {
    return std::make_unique<GroupView>(form_view, control, parent_widget);
  }
  if (dynamic_cast<TPanel*>(&control) != nullptr) {
    return std::make_unique<PanelView>(form_view, control, parent_widget);
  }
  return std::make_unique<PlainView>(form_view, control, parent_widget);
}

}  // namespace kvr::qt
