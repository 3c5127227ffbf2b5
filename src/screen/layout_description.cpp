#include "screen/layout_description.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "platform/encoding.h"
#include "platform/errors.h"

namespace kvr {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

[[noreturn]] void Fail(int line, const std::string& what) {
  throw EConvertError("descrição de tela, linha " + std::to_string(line) + ": " + what);
}

bool IsIdentifier(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.' || c == '-';
  });
}

// Reads a quoted text that begins at s[0] == '"' and must fill the whole of s.
std::string Unquote(std::string_view s, int line) {
  std::string out;
  size_t i = 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      out.push_back(s[++i]);
    } else if (c == '"') {
      break;
    } else {
      out.push_back(c);
    }
  }
  if (i >= s.size()) Fail(line, "texto sem aspas de fechamento: " + std::string(s));
  if (i + 1 != s.size()) Fail(line, "conteúdo após o texto: " + std::string(s));
  return Utf8ToCp1252(out);
}

}  // namespace

LayoutDescription LayoutDescription::Parse(std::string_view text) {
  LayoutDescription result;
  std::set<std::string, std::less<>> names;
  LayoutObject* current = nullptr;
  LayoutProperty* list = nullptr;
  int line_no = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = Trim(text.substr(pos, eol - pos));
    pos = eol + 1;
    ++line_no;
    if (line.empty() || line.front() == '#') continue;

    if (list != nullptr) {
      if (line == ")") {
        list = nullptr;
      } else if (line.front() == '"') {
        list->items.push_back(Unquote(line, line_no));
      } else {
        Fail(line_no, "item de lista sem aspas: " + std::string(line));
      }
      continue;
    }

    if (line.substr(0, 7) == "object ") {
      if (current != nullptr) Fail(line_no, "\"object\" dentro de outro elemento");
      std::string_view rest = Trim(line.substr(7));
      size_t colon = rest.find(':');
      if (colon == std::string_view::npos) Fail(line_no, "esperado \"object NOME: TIPO\"");
      std::string name(Trim(rest.substr(0, colon)));
      std::string kind(Trim(rest.substr(colon + 1)));
      if (!IsIdentifier(name) || !IsIdentifier(kind)) {
        Fail(line_no, "esperado \"object NOME: TIPO\"");
      }
      if (!names.insert(name).second) Fail(line_no, "elemento repetido: " + name);
      result.objects_.push_back(LayoutObject{name, kind, {}, line_no});
      current = &result.objects_.back();
      continue;
    }
    if (line == "end") {
      if (current == nullptr) Fail(line_no, "\"end\" sem \"object\"");
      current = nullptr;
      continue;
    }
    if (current == nullptr) Fail(line_no, "propriedade fora de um elemento: " + std::string(line));

    size_t eq = line.find('=');
    if (eq == std::string_view::npos) Fail(line_no, "esperado \"Propriedade = valor\"");
    LayoutProperty prop;
    prop.name = std::string(Trim(line.substr(0, eq)));
    prop.line = line_no;
    if (!IsIdentifier(prop.name)) Fail(line_no, "nome de propriedade inválido: " + prop.name);
    std::string_view value = Trim(line.substr(eq + 1));
    if (value == "(") {
      prop.is_list = true;
    } else if (!value.empty() && value.front() == '"') {
      prop.quoted = true;
      prop.value = Unquote(value, line_no);
    } else if (!value.empty()) {
      prop.value = std::string(value);
    } else {
      Fail(line_no, "propriedade sem valor: " + prop.name);
    }
    current->properties.push_back(std::move(prop));
    if (current->properties.back().is_list) list = &current->properties.back();
  }
  if (list != nullptr) Fail(line_no, "lista sem \")\" de fechamento");
  if (current != nullptr) Fail(line_no, "elemento " + current->name + " sem \"end\"");
  return result;
}

}  // namespace kvr
