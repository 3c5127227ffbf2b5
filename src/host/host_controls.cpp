#include "host/host_controls.h"

#include <algorithm>
#include <tuple>

#include "host/string_services.h"
#include "platform/cp1252.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/filter_expression.h"
#include "platform/format.h"
#include "platform/format_settings.h"

namespace kvr {

TDateEditPlus::TDateEditPlus(TComponent* owner)
    : TEdit(owner),
      WeekDayNames{"Domingo", "Segunda", "Terça"_cp1252, "Quarta", "Quinta", "Sexta", "Sábado"_cp1252} {}

TDateTime TDateEditPlus::Date() const {
  TDateTime date = 0;
  return ParseDisplayDate(Text(), date, false) ? date : 0;
}

void TDateEditPlus::SetDate(TDateTime date) {
  SetText(date == 0 ? "" : FormatDateTime(SaveTime ? "dd/mm/yyyy hh:nn:ss" : "dd/mm/yyyy", date));
}

bool TDateEditPlus::IsValidDate() const {
  TDateTime date = 0;
  return ParseDisplayDate(Text(), date, false);
}

void TDateEditPlus::UserSetText(const std::string& text) {
  const bool digits = text.size() == 8 && std::all_of(text.begin(), text.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) return TEdit::UserSetText(text);
  const char sep = FormatSettings.DateSeparator;
  TEdit::UserSetText(text.substr(0, 2) + sep + text.substr(2, 2) + sep + text.substr(4));
}

void TDateEditPlus::CheckValidDate() const {
  if (Text().empty() || IsValidDate()) return;
  const char sep = FormatSettings.DateSeparator;
  const std::string format = std::string("dd") + sep + "mm" + sep + "aaaa";
  // Eight digits typed without separators ("01032024"): the date they
  // would be, written as the edit reads it.
  const std::string& text = Text();
  const bool digits = text.size() == 8 && std::all_of(text.begin(), text.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
  const std::string written = digits ? text.substr(0, 2) + sep + text.substr(2, 2) + sep + text.substr(4) : "";
  TDateTime date = 0;
  // The text, the separator and so the message are the edit's (Windows-1252).
  if (!written.empty() && ParseDisplayDate(written, date, false))
    throw EConvertError(Cp1252ToUtf8("Data inválida: \""_cp1252 + text + "\". Digite a data no formato " + format +
                                     ": " + written + "."));
  throw EConvertError(Cp1252ToUtf8("Data inválida: \""_cp1252 + text +
                                   "\". Digite uma data que existe, no formato " + format + " (por exemplo, 05" +
                                   sep + "03" + sep + "2024)."));
}

void TNumberEdit::SetValue(double value) {
  SetText(FormatFloat(DisplayFormat, value));
}

void TNumberEdit::UserSetText(const std::string& text) {
  if (ReadOnly() || !CanFocus()) return;
  if (EmptyString(text)) {
    SetText("");
    return;
  }
  try {
    SetValue(FloatMaskOut(text));
  } catch (const EConvertError&) {
    SetText(text);
  }
}

TBtnPesquisa::TBtnPesquisa(TComponent* owner) : TButton(owner) {
  SetShowHint(true);
}

std::string TMessages::Msg(const std::string& key) const {
  for (const std::string& line : Messages) {
    const size_t bar = line.find('|');
    if (bar == key.size() && line.compare(0, bar, key) == 0) return line.substr(bar + 1);
  }
  return "Mensagem não cadastrada: "_cp1252 + key;
}

int TMessages::ShowMsg(const std::string& key, TMsgDlgType kind, TMsgDlgButtons buttons,
                       int help_context) {
  const std::string text = Msg(key);
  if (buttons == mbOK || buttons == 0) {
    HostLibrary().ShowMessage(text, kind, help_context);
    return mrOk;
  }
  static const std::tuple<TMsgDlgButtons, const char*, int> kChoices[] = {
      {mbYes, "Sim", mrYes},
      {mbNo, "Não"_cp1252, mrNo},
      {mbOK, "OK", mrOk},
      {mbCancel, "Cancelar", mrCancel}};
  std::vector<std::string> captions;
  std::vector<int> results;
  for (const auto& [button, caption, result] : kChoices) {
    if ((buttons & button) != 0) {
      captions.emplace_back(caption);
      results.push_back(result);
    }
  }
  const int answer = HostLibrary().MsgAlert(text, kind, captions, help_context);
  const int index = answer - 11;
  if (index < 0 || index >= static_cast<int>(results.size())) return mrCancel;
  return results[static_cast<size_t>(index)];
}

}  // namespace kvr
