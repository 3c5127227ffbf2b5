#include "host/host_controls.h"

#include <cmath>

#include "host/string_services.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/format_settings.h"

namespace kvr {

namespace {

// Reads "d/m/yyyy" (1 or 2 digit day and month, 4 digit year, the locale's
// date separator, blanks around allowed). Returns false when it is no date.
bool ParseDate(const std::string& text, TDateTime& date) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  int parts[3] = {0, 0, 0};
  int widths[3] = {0, 0, 0};
  for (int p = 0; p < 3; ++p) {
    while (i < n && text[i] >= '0' && text[i] <= '9' && widths[p] < 4) {
      parts[p] = parts[p] * 10 + (text[i] - '0');
      ++widths[p];
      ++i;
    }
    if (widths[p] == 0) return false;
    if (p < 2) {
      if (i >= n || text[i] != FormatSettings.DateSeparator) return false;
      ++i;
    }
  }
  while (i < n && text[i] == ' ') ++i;
  if (i != n || widths[0] > 2 || widths[1] > 2 || widths[2] != 4) return false;
  try {
    date = EncodeDate(parts[2], parts[1], parts[0]);
  } catch (const EConvertError&) {
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- TDateEditPlus

TDateEditPlus::TDateEditPlus(TComponent* owner)
    : TEdit(owner),
      WeekDayNames{"Domingo", "Segunda", "Ter\xE7" "a", "Quarta", "Quinta", "Sexta", "S\xE1" "bado"} {}

TDateTime TDateEditPlus::Date() const {
  TDateTime date = 0;
  if (!ParseDate(Text(), date)) return 0;
  return date;
}

void TDateEditPlus::SetDate(TDateTime date) {
  if (date == 0) {
    SetText("");
    return;
  }
  SetText(FormatDateTime(SaveTime ? "dd/mm/yyyy hh:nn:ss" : "dd/mm/yyyy", date));
}

bool TDateEditPlus::IsValidDate() const {
  TDateTime date = 0;
  return ParseDate(Text(), date);
}

void TDateEditPlus::CheckValidDate() const {
  if (Text().empty() || IsValidDate()) return;
  const char sep = FormatSettings.DateSeparator;
  const std::string format = std::string("dd") + sep + "mm" + sep + "aaaa";
  // Eight digits typed without separators ("01032024"): the date they
  // would be, written as the edit reads it.
  const std::string& text = Text();
  bool digits = text.size() == 8;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  const std::string written = digits ? text.substr(0, 2) + sep + text.substr(2, 2) + sep + text.substr(4) : "";
  TDateTime date = 0;
  if (!written.empty() && ParseDate(written, date))
    throw EConvertError("Data inv\xE1lida: \"" + text + "\". Digite a data no formato " + format + ": " + written +
                        ".");
  throw EConvertError("Data inv\xE1lida: \"" + text + "\". Digite uma data que existe, no formato " + format +
                      " (por exemplo, 05" + sep + "03" + sep + "2024).");
}

// ---------------------------------------------------------------- TNumberEdit

TNumberEdit::TNumberEdit(TComponent* owner) : TEdit(owner) {}

void TNumberEdit::SetValue(double value) {
  SetText(FormatFloat(DisplayFormat, value));
}

void TNumberEdit::Clear() {
  SetText("");
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

// ---------------------------------------------------------------- buttons

TBtnPesquisa::TBtnPesquisa(TComponent* owner) : TButton(owner) {
  SetShowHint(true);
}

TButtonFlat::TButtonFlat(TComponent* owner) : TButton(owner) {}

// ---------------------------------------------------------------- TMessages

std::string TMessages::Msg(const std::string& key) const {
  for (const std::string& line : Messages) {
    const size_t bar = line.find('|');
    if (bar == std::string::npos) continue;
    if (line.compare(0, bar, key) == 0 && bar == key.size()) return line.substr(bar + 1);
  }
  return "Mensagem n\xE3o cadastrada: " + key;
}

int TMessages::ShowMsg(const std::string& key, TMsgDlgType kind, TMsgDlgButtons buttons,
                       int help_context) {
  const std::string text = Msg(key);
  if (buttons == mbOK || buttons == 0) {
    HostLibrary().ShowMessage(text, kind, help_context);
    return mrOk;
  }
  struct Choice {
    TMsgDlgButtons button;
    const char* caption;
    int result;
  };
  static const Choice kChoices[] = {
      {mbYes, "Sim", mrYes}, {mbNo, "N\xE3o", mrNo}, {mbOK, "OK", mrOk}, {mbCancel, "Cancelar", mrCancel}};
  std::vector<std::string> captions;
  std::vector<int> results;
  for (const Choice& c : kChoices) {
    if ((buttons & c.button) != 0) {
      captions.emplace_back(c.caption);
      results.push_back(c.result);
    }
  }
  const int answer = HostLibrary().MsgAlert(text, kind, captions, help_context);
  const int index = answer - 11;
  if (index < 0 || index >= static_cast<int>(results.size())) return mrCancel;
  return results[static_cast<size_t>(index)];
}

}  // namespace kvr
