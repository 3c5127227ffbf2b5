#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/client_dataset.h"
#include "platform/component.h"
#include "platform/controls.h"
#include "screen/layout_description.h"

namespace kvr {

// The link between a table and the controls that show it. Holds no data.
class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner) : TComponent(owner) {}
  // The table linked; not owned, must outlive the link.
  TClientDataSet* DataSet = nullptr;
};

// The screen's handlers by the names the layout gives them.
struct LayoutHandlers {
  std::map<std::string, TNotifyEvent> notify;  // OnClick, OnChange, OnExit, OnEnter, OnBeforeConnect
  std::map<std::string, TKeyEvent> key;        // OnKeyDown
};

// Builds a screen from its layout description. The element named like the
// form (form.Name) adjusts the form itself; an element whose name is already
// one of the form's components is adjusted; every other element is created,
// owned by the form, with that name. A control without Parent goes on the
// form. Kinds: TLabel, TEdit, TComboBox, TPanel, TGroupBox, TDBGrid,
// TBtnPesquisa, TButtonFlat, TDateEditPlus, TNumberEdit, TOpenDialog,
// TNetConnection, TClientDataSet, TDataSource, TMessages.
//
// Throws EConvertError naming the line for an unknown kind, property, value,
// parent or handler, and for an element whose kind differs from the existing
// component of that name. Components created before the error stay with the
// form.
void ApplyLayout(TForm& form, const LayoutDescription& layout, const LayoutHandlers& handlers);

// The component owned by owner with that Name, or null.
TComponent* FindOwnedComponent(const TComponent& owner, const std::string& name);

}  // namespace kvr
