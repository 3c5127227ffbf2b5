#include "screen/layout_loader.h"

#include <charconv>
#include <set>

#include "host/host_controls.h"
#include "host/net_connection.h"
#include "platform/errors.h"

namespace kvr {

namespace {

// Fails on the line of a property or an element, naming it.
template <typename Element>
[[noreturn]] void Fail(const Element& e, const std::string& what) {
  throw EConvertError("descri\xE7\xE3o de tela, linha " + std::to_string(e.line) + ": " + e.name +
                      ": " + what);
}

// The number text, a part of the value of p, denotes.
int Int(const LayoutProperty& p, const std::string& text) {
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size())
    Fail(p, "n\xFAmero inv\xE1lido: " + text);
  return v;
}

int Int(const LayoutProperty& p) {
  if (p.quoted || p.is_list) Fail(p, "n\xFAmero inv\xE1lido: " + p.value);
  return Int(p, p.value);
}

bool Bool(const LayoutProperty& p) {
  if (!p.quoted && p.value == "true") return true;
  if (!p.quoted && p.value == "false") return false;
  Fail(p, "esperado true ou false: " + p.value);
}

const std::string& Text(const LayoutProperty& p) {
  if (!p.quoted) Fail(p, "esperado um texto entre aspas: " + p.value);
  return p.value;
}

const std::vector<std::string>& List(const LayoutProperty& p) {
  if (!p.is_list) Fail(p, "esperada uma lista");
  return p.items;
}

const std::string& Word(const LayoutProperty& p) {
  if (p.quoted || p.is_list) Fail(p, "esperado um nome");
  return p.value;
}

// The value name stands for in names; fails with "unknown: name" otherwise.
template <typename T>
T Lookup(const std::map<std::string, T>& names, const LayoutProperty& p, const std::string& name,
         const char* unknown) {
  auto it = names.find(name);
  if (it == names.end()) Fail(p, unknown + (": " + name));
  return it->second;
}

// The flags the items of the list p name, together.
template <typename T>
T Flags(const std::map<std::string, T>& names, const LayoutProperty& p, const char* unknown) {
  T set = 0;
  for (const auto& item : List(p)) set |= Lookup(names, p, item, unknown);
  return set;
}

TColor Color(const LayoutProperty& p) {
  static const std::map<std::string, TColor> colors = {
      {"clBlack", clBlack},   {"clWhite", clWhite},     {"clRed", clRed},
      {"clBlue", clBlue},     {"clNavy", clNavy},       {"clWindow", clWindow},
      {"clWindowText", clWindowText}, {"clBtnFace", clBtnFace}, {"clInfoBk", clInfoBk}};
  return Lookup(colors, p, Word(p), "cor desconhecida");
}

// The parts of a column item of p, "NAME|...|...", split at every bar: count
// of them, the name not empty.
std::vector<std::string> ColumnParts(const LayoutProperty& p, const std::string& item,
                                     size_t count) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t bar = item.find('|'); bar != std::string::npos; bar = item.find('|', start)) {
    parts.push_back(item.substr(start, bar - start));
    start = bar + 1;
  }
  parts.push_back(item.substr(start));
  if (parts.size() != count || parts[0].empty()) Fail(p, "coluna inv\xE1lida: " + item);
  return parts;
}

TComponent* Create(const std::string& kind, TComponent* owner) {
  if (kind == "TLabel") return new TLabel(owner);
  if (kind == "TEdit") return new TEdit(owner);
  if (kind == "TComboBox") return new TComboBox(owner);
  if (kind == "TPanel") return new TPanel(owner);
  if (kind == "TGroupBox") return new TGroupBox(owner);
  if (kind == "TDBGrid") return new TDBGrid(owner);
  if (kind == "TBtnPesquisa") return new TBtnPesquisa(owner);
  if (kind == "TButtonFlat") return new TButtonFlat(owner);
  if (kind == "TButton") return new TButton(owner);
  if (kind == "TDateEditPlus") return new TDateEditPlus(owner);
  if (kind == "TNumberEdit") return new TNumberEdit(owner);
  if (kind == "TOpenDialog") return new TOpenDialog(owner);
  if (kind == "TNetConnection") return new TNetConnection(owner);
  if (kind == "TClientDataSet") return new TClientDataSet(owner);
  if (kind == "TDataSource") return new TDataSource(owner);
  if (kind == "TMessages") return new TMessages(owner);
  return nullptr;
}

// The kind an existing component answers to, for the check against the
// element's kind.
bool IsOfKind(TComponent* c, const std::string& kind, const TForm& form) {
  if (c == &form) return true;
  if (auto* control = dynamic_cast<TControl*>(c)) return control->ClassName() == kind;
  if (kind == "TOpenDialog") return dynamic_cast<TOpenDialog*>(c) != nullptr;
  if (kind == "TNetConnection") return dynamic_cast<TNetConnection*>(c) != nullptr;
  if (kind == "TClientDataSet") return dynamic_cast<TClientDataSet*>(c) != nullptr;
  if (kind == "TDataSource") return dynamic_cast<TDataSource*>(c) != nullptr;
  if (kind == "TMessages") return dynamic_cast<TMessages*>(c) != nullptr;
  return false;
}

class Applier {
 public:
  Applier(TForm& form, const LayoutHandlers& handlers) : form_(form), handlers_(handlers) {}

  void Apply(const LayoutObject& o, TComponent* c) {
    for (const auto& p : o.properties) {
      if (!ApplyProperty(p, c)) Fail(p, "propriedade desconhecida para " + o.kind);
    }
    if (auto* control = dynamic_cast<TControl*>(c); control != nullptr && control != &form_ &&
                                                     control->Parent() == nullptr) {
      control->SetParent(&form_);
    }
  }

 private:
  TComponent* Named(const LayoutProperty& p) {
    TComponent* c = FindOwnedComponent(form_, Word(p));
    if (c == nullptr && Word(p) == form_.Name) c = &form_;
    if (c == nullptr) Fail(p, "elemento desconhecido: " + p.value);
    return c;
  }

  TNotifyEvent Notify(const LayoutProperty& p) {
    return Lookup(handlers_.notify, p, Word(p), "tratador desconhecido");
  }

  bool ApplyProperty(const LayoutProperty& p, TComponent* c) {
    if (auto* control = dynamic_cast<TControl*>(c)) {
      if (ApplyControl(p, *control)) return true;
    }
    if (auto* form = dynamic_cast<TForm*>(c)) return ApplyForm(p, *form);
    if (auto* edit = dynamic_cast<TEdit*>(c)) {
      if (p.name == "OnChange") {
        edit->OnChange = Notify(p);
        return true;
      }
      if (p.name == "ReadOnly") {
        edit->SetReadOnly(Bool(p));
        return true;
      }
    }
    if (auto* date = dynamic_cast<TDateEditPlus*>(c)) return ApplyDateEdit(p, *date);
    if (auto* number = dynamic_cast<TNumberEdit*>(c)) return ApplyNumberEdit(p, *number);
    if (auto* combo = dynamic_cast<TComboBox*>(c)) return ApplyCombo(p, *combo);
    if (auto* grid = dynamic_cast<TDBGrid*>(c)) return ApplyGrid(p, *grid);
    if (auto* dialog = dynamic_cast<TOpenDialog*>(c)) {
      if (p.name == "Filter") dialog->Filter = Text(p);
      else if (p.name == "Title") dialog->Title = Text(p);
      else if (p.name == "MultiSelect") dialog->MultiSelect = Bool(p);
      else return false;
      return true;
    }
    if (auto* net = dynamic_cast<TNetConnection*>(c)) return ApplyConnection(p, *net);
    if (auto* table = dynamic_cast<TClientDataSet*>(c)) return ApplyTable(p, *table);
    if (auto* link = dynamic_cast<TDataSource*>(c)) {
      if (p.name != "DataSet") return false;
      link->DataSet = dynamic_cast<TClientDataSet*>(Named(p));
      if (link->DataSet == nullptr) Fail(p, "n\xE3o \xE9 uma tabela: " + p.value);
      return true;
    }
    if (auto* messages = dynamic_cast<TMessages*>(c)) {
      if (p.name != "Messages") return false;
      for (const auto& line : List(p)) {
        if (line.find('|') == std::string::npos) Fail(p, "mensagem sem \"|\": " + line);
      }
      messages->Messages = List(p);
      return true;
    }
    return false;
  }

  bool ApplyControl(const LayoutProperty& p, TControl& c) {
    const std::string& n = p.name;
    if (n == "Left") c.SetLeft(Int(p));
    else if (n == "Top") c.SetTop(Int(p));
    else if (n == "Width") c.SetWidth(Int(p));
    else if (n == "Height") c.SetHeight(Int(p));
    else if (n == "Caption") c.SetCaption(Text(p));
    else if (n == "Hint") c.SetHint(Text(p));
    else if (n == "ShowHint") c.SetShowHint(Bool(p));
    else if (n == "Enabled") c.SetEnabled(Bool(p));
    else if (n == "Visible") c.SetVisible(Bool(p));
    else if (n == "Color") c.SetColor(Color(p));
    else if (n == "TabOrder") Int(p);  // the front ends keep their own focus order
    else if (n == "FontBold" || n == "FontName" || n == "FontHeight") {
      TFont font = c.Font();
      if (n == "FontBold") font.Bold = Bool(p);
      else if (n == "FontName") font.Name = Text(p);
      else font.Height = Int(p);
      c.SetFont(font);
    } else if (n == "Parent") {
      auto* parent = dynamic_cast<TControl*>(Named(p));
      if (parent == nullptr) Fail(p, "n\xE3o \xE9 um controle: " + p.value);
      c.SetParent(parent);
    } else if (n == "Align") {
      static const std::map<std::string, TAlign> aligns = {
          {"alNone", TAlign::alNone}, {"alTop", TAlign::alTop},     {"alBottom", TAlign::alBottom},
          {"alLeft", TAlign::alLeft}, {"alRight", TAlign::alRight}, {"alClient", TAlign::alClient}};
      c.SetAlign(Lookup(aligns, p, Word(p), "alinhamento desconhecido"));
    } else if (n == "Anchors") {
      static const std::map<std::string, TAnchors> anchors = {
          {"akLeft", akLeft}, {"akTop", akTop}, {"akRight", akRight}, {"akBottom", akBottom}};
      c.SetAnchors(Flags(anchors, p, "\xE2ncora desconhecida"));
    } else if (n == "OnClick") c.OnClick = Notify(p);
    else if (n == "OnExit") c.OnExit = Notify(p);
    else if (n == "OnEnter") c.OnEnter = Notify(p);
    else if (n == "OnKeyDown")
      c.OnKeyDown = Lookup(handlers_.key, p, Word(p), "tratador desconhecido");
    else {
      return false;
    }
    return true;
  }

  bool ApplyForm(const LayoutProperty& p, TForm& f) {
    if (p.name == "ClientWidth") f.SetClientWidth(Int(p));
    else if (p.name == "ClientHeight") f.SetClientHeight(Int(p));
    else if (p.name == "BorderStyle") {
      static const std::map<std::string, TFormBorderStyle> styles = {
          {"bsNone", TFormBorderStyle::bsNone},         {"bsSingle", TFormBorderStyle::bsSingle},
          {"bsSizeable", TFormBorderStyle::bsSizeable}, {"bsDialog", TFormBorderStyle::bsDialog},
          {"bsToolWindow", TFormBorderStyle::bsToolWindow},
          {"bsSizeToolWin", TFormBorderStyle::bsSizeToolWin}};
      f.SetBorderStyle(Lookup(styles, p, Word(p), "borda desconhecida"));
    } else if (p.name == "FormStyle") {
      // Checked only: every front end shows a screen as a child of its window.
      static const std::set<std::string> styles = {"fsNormal", "fsMDIChild", "fsMDIForm", "fsStayOnTop"};
      if (styles.count(Word(p)) == 0) Fail(p, "estilo desconhecido: " + p.value);
    } else {
      return false;
    }
    return true;
  }

  bool ApplyDateEdit(const LayoutProperty& p, TDateEditPlus& d) {
    if (p.name == "SaveTime") d.SaveTime = Bool(p);
    else if (p.name == "ValidDateColor") d.ValidDateColor = Color(p);
    else if (p.name == "DayNames") {
      if (List(p).size() != 7) Fail(p, "esperados 7 nomes de dias");
      d.WeekDayNames = List(p);
    } else {
      return false;
    }
    return true;
  }

  bool ApplyNumberEdit(const LayoutProperty& p, TNumberEdit& e) {
    if (p.name == "DisplayFormat") e.DisplayFormat = Text(p);
    // Checked only: DisplayFormat alone says how the number is shown.
    else if (p.name == "Decimals") Int(p);
    else if (p.name == "Currency" || p.name == "Thousands") Bool(p);
    else return false;
    return true;
  }

  bool ApplyCombo(const LayoutProperty& p, TComboBox& c) {
    if (p.name == "Style") {
      if (Word(p) == "csDropDownList") c.SetStyle(TComboBoxStyle::csDropDownList);
      else if (Word(p) == "csDropDown") c.SetStyle(TComboBoxStyle::csDropDown);
      else Fail(p, "estilo desconhecido: " + p.value);
    } else if (p.name == "OnChange") {
      c.OnChange = Notify(p);
    } else if (p.name == "Items") {
      c.Items.Clear();
      for (const auto& item : List(p)) c.Items.Add(item);
    } else {
      return false;
    }
    return true;
  }

  bool ApplyGrid(const LayoutProperty& p, TDBGrid& g) {
    if (p.name == "DataSource") {
      auto* link = dynamic_cast<TDataSource*>(Named(p));
      if (link == nullptr) Fail(p, "n\xE3o \xE9 uma liga\xE7\xE3o de dados: " + p.value);
      g.SetDataSource(link->DataSet);
    } else if (p.name == "Options") {
      static const std::map<std::string, TDBGridOptions> options = {
          {"dgEditing", dgEditing},         {"dgAlwaysShowEditor", dgAlwaysShowEditor},
          {"dgTitles", dgTitles},           {"dgIndicator", dgIndicator},
          {"dgColumnResize", dgColumnResize}, {"dgColLines", dgColLines},
          {"dgRowLines", dgRowLines},       {"dgTabs", dgTabs},
          {"dgRowSelect", dgRowSelect},     {"dgAlwaysShowSelection", dgAlwaysShowSelection},
          {"dgConfirmDelete", dgConfirmDelete}, {"dgCancelOnExit", dgCancelOnExit},
          {"dgMultiSelect", dgMultiSelect}};
      g.SetOptions(Flags(options, p, "op\xE7\xE3o desconhecida"));
    } else if (p.name == "Columns") {
      std::vector<TColumn> columns;
      for (const auto& item : List(p)) {
        const std::vector<std::string> parts = ColumnParts(p, item, 4);
        TColumn column;
        column.FieldName = parts[0];
        column.Title = parts[1];
        if (!parts[2].empty()) column.Width = Int(p, parts[2]);
        if (parts[3] != "true" && parts[3] != "false") Fail(p, "coluna inv\xE1lida: " + item);
        column.Visible = parts[3] == "true";
        columns.push_back(column);
      }
      g.SetColumns(std::move(columns));
    } else {
      return false;
    }
    return true;
  }

  bool ApplyConnection(const LayoutProperty& p, TNetConnection& net) {
    if (p.name == "ServerName") net.ServerName = Text(p);
    else if (p.name == "ThrowException") net.ThrowException = Bool(p);
    else if (p.name == "Connected") {
      // Connecting is the screen's creation handler's business, not the
      // layout's; the layout only states that a new screen starts closed.
      if (Bool(p)) Fail(p, "a conex\xE3o abre na cria\xE7\xE3o da tela, n\xE3o na descri\xE7\xE3o");
    } else if (p.name == "OnBeforeConnect") {
      net.OnBeforeConnect = Notify(p);
    } else {
      return false;
    }
    return true;
  }

  bool ApplyTable(const LayoutProperty& p, TClientDataSet& t) {
    if (p.name == "IndexFieldNames") {
      t.SetIndexFieldNames(Text(p));
    } else if (p.name == "Fields") {
      t.FieldDefs.clear();
      static const std::map<std::string, TFieldType> types = {{"string", TFieldType::ftString},
                                                              {"datetime", TFieldType::ftDateTime},
                                                              {"float", TFieldType::ftFloat}};
      for (const auto& item : List(p)) {
        const std::vector<std::string> parts = ColumnParts(p, item, 3);
        const auto type = types.find(parts[1]);
        if (type == types.end()) Fail(p, "tipo de coluna desconhecido: " + item);
        t.AddFieldDef(parts[0], type->second, parts[2].empty() ? 0 : Int(p, parts[2]));
      }
    } else {
      return false;
    }
    return true;
  }

  TForm& form_;
  const LayoutHandlers& handlers_;
};

// Tables and their links come first, so that a grid finds its table.
int Pass(const std::string& kind) {
  if (kind == "TClientDataSet") return 0;
  if (kind == "TDataSource") return 1;
  return 2;
}

}  // namespace

TComponent* FindOwnedComponent(const TComponent& owner, const std::string& name) {
  for (int i = 0; i < owner.ComponentCount(); ++i) {
    if (owner.Components(i)->Name == name) return owner.Components(i);
  }
  return nullptr;
}

void ApplyLayout(TForm& form, const LayoutDescription& layout, const LayoutHandlers& handlers) {
  std::vector<TComponent*> components;
  for (const auto& o : layout.Objects()) {
    TComponent* c = o.name == form.Name ? &form : FindOwnedComponent(form, o.name);
    if (c == nullptr) {
      c = Create(o.kind, &form);
      if (c == nullptr) Fail(o, "tipo desconhecido: " + o.kind);
      c->Name = o.name;
    } else if (!IsOfKind(c, o.kind, form)) {
      Fail(o, "o elemento existente n\xE3o \xE9 " + o.kind);
    }
    components.push_back(c);
  }
  Applier applier(form, handlers);
  for (int pass = 0; pass < 3; ++pass) {
    for (size_t i = 0; i < components.size(); ++i) {
      const LayoutObject& o = layout.Objects()[i];
      if (Pass(o.kind) == pass) applier.Apply(o, components[i]);
    }
  }
}

}  // namespace kvr
