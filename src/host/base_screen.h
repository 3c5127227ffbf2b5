#pragma once

#include "host/host_controls.h"
#include "platform/controls.h"

namespace kvr {

// The host library's base screen, from which the module's screens derive. It
// supplies the screen-code label, the data group, the side menu panel with
// the confirm button, and the keyed message table, and the creation and
// close handlers that a screen's own handlers run first.
//
// The controls are owned by the screen and live as long as it does. A screen
// grows and shrinks its anchored children with its height: a child anchored
// to the top and the bottom grows with it, one anchored to the bottom only
// moves with it.
class TfrmRotiGeral : public TForm {
 public:
  // Creates the base controls with their design: lblCodTela (top left),
  // grbDadosRel (0, 0, 473 x 338), panMenu (473, 0, 55 x 338) holding
  // panBotoes with sbtConfirma ("Confirmar"), and msgPadrao (empty). The
  // screen is a fixed-size child window of 528 x 338 inside; owner may be
  // null. Runs no handler: the derived screen calls DoCreate when it is
  // complete, which runs FormCreate through OnCreate.
  explicit TfrmRotiGeral(TComponent* owner);

  TLabel* lblCodTela;
  TGroupBox* grbDadosRel;
  TPanel* panMenu;
  TPanel* panBotoes;
  TButtonFlat* sbtConfirma;
  TMessages* msgPadrao;

  // Creation handler (OnCreate). The base has nothing of its own to do; a
  // derived screen runs it first all the same.
  virtual void FormCreate(TComponent* sender);
  // Close handler (OnClose). The base releases the screen on close: it sets
  // action to caFree, so the front end deletes it once Close returns (see
  // TForm::ReleaseRequested). A derived screen runs it first.
  virtual void FormClose(TComponent* sender, TCloseAction& action);

  // Changes the outer height and moves or stretches the children anchored to
  // the bottom by the same amount.
  void SetHeight(int v) override;
};

}  // namespace kvr
