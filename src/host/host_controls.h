#pragma once

#include <string>
#include <vector>

#include "host/host_library.h"
#include "platform/controls.h"
#include "platform/sysutils.h"

namespace kvr {

// The host library's date edit: a text box holding a date "dd/mm/yyyy"
// (FormatSettings.DateSeparator) or nothing. OnChange runs whenever the text
// changes, by program (SetDate, Clear) or user (UserSetText).
class TDateEditPlus : public TEdit {
 public:
  explicit TDateEditPlus(TComponent* owner);
  std::string ClassName() const override { return "TDateEditPlus"; }

  // The date the text holds (whole day unless SaveTime), or 0 when the text
  // is empty or no valid date.
  TDateTime Date() const;
  // Shows the date ("dd/mm/yyyy"); 0 clears the text. The time of day is
  // dropped unless SaveTime.
  void SetDate(TDateTime date);
  // True when the text is a valid date.
  bool IsValidDate() const;
  // Throws EConvertError when the text is neither empty nor a valid date,
  // saying the format to type (Windows-1252): "Data inválida: \"01032024\".
  // Digite a data no formato dd/mm/aaaa: 01/03/2024." for eight digits that
  // make a date, else "Data inválida: \"31/02/2024\". Digite uma data que
  // existe, no formato dd/mm/aaaa (por exemplo, 05/03/2024)." (the
  // locale's date separator).
  void CheckValidDate() const;
  // As TEdit's, but eight digits typed without separators ("01032024") are
  // placed into the edit mask "99/99/9999" (the locale's date separator),
  // as the mask's literals are inserted: "01/03/2024".
  void UserSetText(const std::string& text) override;

  // Keep the time of day of the dates set (off in this module).
  bool SaveTime = false;
  // Weekday names, Sunday first, for the calendar a view shows.
  std::vector<std::string> WeekDayNames;
  // Text colour a view uses while the text is a valid date.
  TColor ValidDateColor = clBlue;
};

// The host library's number edit: a text box showing a number with
// DisplayFormat ("#,##0.00") or nothing.
class TNumberEdit : public TEdit {
 public:
  using TEdit::TEdit;
  std::string ClassName() const override { return "TNumberEdit"; }

  // Shows value formatted with DisplayFormat.
  void SetValue(double value);
  // The user types a number; it is shown again formatted when the text is a
  // number (FloatMaskOut), as is when not.
  void UserSetText(const std::string& text) override;

  std::string DisplayFormat = "#,##0.00";
};

// The host library's search button (a magnifier glyph) with a hint.
class TBtnPesquisa : public TButton {
 public:
  explicit TBtnPesquisa(TComponent* owner);
  std::string ClassName() const override { return "TBtnPesquisa"; }
};

// The host library's flat push button.
class TButtonFlat : public TButton {
 public:
  using TButton::TButton;
  std::string ClassName() const override { return "TButtonFlat"; }
};

// Buttons of the message dialogs (a set).
using TMsgDlgButtons = unsigned;
constexpr TMsgDlgButtons mbYes = 1u << 0;
constexpr TMsgDlgButtons mbNo = 1u << 1;
constexpr TMsgDlgButtons mbOK = 1u << 2;
constexpr TMsgDlgButtons mbCancel = 1u << 3;
// Results of ShowMsg.
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

// The host library's keyed message table: lines "KEY|text" (Windows-1252).
class TMessages : public TComponent {
 public:
  explicit TMessages(TComponent* owner) : TComponent(owner) {}

  // The table's lines, "KEY|text".
  std::vector<std::string> Messages;

  // The text of the first line whose key equals key exactly; for a key the
  // table lacks, "Mensagem não cadastrada: KEY" (Windows-1252).
  std::string Msg(const std::string& key) const;
  // Shows the key's text in a modal dialog of the given kind through the
  // installed host library: with buttons mbOK alone through ShowMessage
  // (returns mrOk), otherwise as a question through MsgAlert with the
  // captions "Sim", "Não", "OK", "Cancelar" of the buttons given, in that
  // order (returns mrYes, mrNo, mrOk or mrCancel for the one chosen).
  int ShowMsg(const std::string& key, TMsgDlgType kind, TMsgDlgButtons buttons, int help_context);
};

}  // namespace kvr
