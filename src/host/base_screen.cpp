#include "host/base_screen.h"

namespace kvr {

TfrmRotiGeral::TfrmRotiGeral(TComponent* owner) : TForm(owner) {
  SetBorderStyle(TFormBorderStyle::bsSingle);
  SetClientWidth(528);
  SetClientHeight(338);

  grbDadosRel = new TGroupBox(this);
  grbDadosRel->Name = "grbDadosRel";
  grbDadosRel->SetParent(this);
  grbDadosRel->SetBounds(0, 0, 473, 338);
  grbDadosRel->SetAnchors(akLeft | akTop | akRight | akBottom);

  lblCodTela = new TLabel(this);
  lblCodTela->Name = "lblCodTela";
  lblCodTela->SetParent(grbDadosRel);
  lblCodTela->SetBounds(8, 0, 60, 13);

  panMenu = new TPanel(this);
  panMenu->Name = "panMenu";
  panMenu->SetParent(this);
  panMenu->SetBounds(473, 0, 55, 338);
  panMenu->SetAnchors(akTop | akRight | akBottom);

  panBotoes = new TPanel(this);
  panBotoes->Name = "panBotoes";
  panBotoes->SetParent(panMenu);
  panBotoes->SetBounds(1, 1, 53, 60);

  sbtConfirma = new TButtonFlat(this);
  sbtConfirma->Name = "sbtConfirma";
  sbtConfirma->SetParent(panBotoes);
  sbtConfirma->SetBounds(2, 2, 49, 49);
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
