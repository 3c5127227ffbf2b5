#include "host/base_screen.h"

#include <array>

namespace kvr {

namespace {

// A new T owned by form, named name, on parent at bounds (left, top, width,
// height).
template <typename T>
T* Place(TForm* form, const char* name, TControl* parent, const std::array<int, 4>& bounds) {
  auto* control = new T(form);
  control->Name = name;
  control->SetParent(parent);
  control->SetBounds(bounds[0], bounds[1], bounds[2], bounds[3]);
  return control;
}

}  // namespace

TfrmRotiGeral::TfrmRotiGeral(TComponent* owner) : TForm(owner) {
  SetBorderStyle(TFormBorderStyle::bsSingle);
  SetClientWidth(528);
  SetClientHeight(338);

  grbDadosRel = Place<TGroupBox>(this, "grbDadosRel", this, {0, 0, 473, 338});
  grbDadosRel->SetAnchors(akLeft | akTop | akRight | akBottom);
  lblCodTela = Place<TLabel>(this, "lblCodTela", grbDadosRel, {8, 0, 60, 13});
  panMenu = Place<TPanel>(this, "panMenu", this, {473, 0, 55, 338});
  panMenu->SetAnchors(akTop | akRight | akBottom);
  panBotoes = Place<TPanel>(this, "panBotoes", panMenu, {1, 1, 53, 60});
  sbtConfirma = Place<TButtonFlat>(this, "sbtConfirma", panBotoes, {2, 2, 49, 49});
  sbtConfirma->SetCaption("Confirmar");
  sbtConfirma->SetHint("Confirmar");
  sbtConfirma->SetShowHint(true);

  msgPadrao = new TMessages(this);
  msgPadrao->Name = "msgPadrao";

  OnCreate = [this](TComponent* sender) { FormCreate(sender); };
  OnClose = [this](TComponent* sender, TCloseAction& action) { FormClose(sender, action); };
}

void TfrmRotiGeral::FormCreate(TComponent* /*sender*/) {}

void TfrmRotiGeral::FormClose(TComponent* /*sender*/, TCloseAction& action) {
  action = TCloseAction::caFree;
}

void TfrmRotiGeral::SetHeight(int v) {
  const int delta = v - Height();
  TForm::SetHeight(v);
  if (delta == 0) return;
  for (int i = 0; i < ControlCount(); ++i) {
    TControl* child = Controls(i);
    if ((child->Anchors() & akBottom) == 0 || child->Align() != TAlign::alNone) continue;
    if ((child->Anchors() & akTop) != 0) {
      child->SetHeight(child->Height() + delta);
    } else {
      child->SetTop(child->Top() + delta);
    }
  }
}

}  // namespace kvr
