#include "http/http_head_parser.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

namespace kvr::server {

namespace {

const char* const kBareLineFeed =
    "Requisição recusada: linha do cabeçalho terminada só com LF; termine cada linha com CRLF.";
const char* const kBadRequestLine =
    "Requisição recusada: linha de requisição inválida; envie \"MÉTODO /caminho HTTP/1.1\", "
    "separados por um espaço, sem caracteres de controle.";
const char* const kBadName =
    "Requisição recusada: nome de cabeçalho com espaço ou caractere inválido, ou linha de "
    "cabeçalho dobrada; envie cada cabeçalho numa linha \"Nome: valor\", sem espaço antes dos "
    "dois-pontos.";
const char* const kBadValue =
    "Requisição recusada: valor de cabeçalho com caractere de controle (CR solto, por exemplo); "
    "termine cada linha com CRLF e envie só texto nos valores.";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

HeadFault ParseRequestLine(std::string_view line, HttpHead& head) {
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return {400, kBadRequestLine};
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, last - first - 1);
  const std::string_view version = line.substr(last + 1);
  if (!IsToken(method) || target.empty()) return {400, kBadRequestLine};
  for (const char c : target) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return {400, kBadRequestLine};
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    if (version.size() == 8 && version.substr(0, 5) == "HTTP/" && version[5] >= '0' &&
        version[5] <= '9' && version[6] == '.' && version[7] >= '0' && version[7] <= '9')
      return {505, "Versão " + std::string(version) + " não suportada; envie HTTP/1.1."};
    return {400, kBadRequestLine};
  }
  head.http10 = version == "HTTP/1.0";
  head.method = method;
  head.target = target;
  return {};
}

}  // namespace

const std::string* HttpHead::Find(std::string_view name) const {
  for (const HttpField& field : fields)
    if (field.name.size() == name.size() &&
        strncasecmp(field.name.data(), name.data(), name.size()) == 0)
      return &field.value;
  return nullptr;
}

std::optional<std::string> HttpHead::Joined(std::string_view name) const {
  std::optional<std::string> joined;
  for (const HttpField& field : fields)
    if (field.name.size() == name.size() &&
        strncasecmp(field.name.data(), name.data(), name.size()) == 0)
      joined = joined ? *joined + ", " + field.value : field.value;
  return joined;
}

std::vector<std::string> ListItems(std::string_view value) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(',', start);
    if (end == std::string_view::npos) end = value.size();
    std::string_view item = value.substr(start, end - start);
    const size_t first = item.find_first_not_of(" \t");
    item = first == std::string_view::npos ? std::string_view() : item.substr(first);
    items.emplace_back(item.substr(0, item.find_last_not_of(" \t") + 1));
    start = end + 1;
  }
  return items;
}

bool IsToken(std::string_view text) {
  static constexpr char kMarks[] = "!#$%&'*+-.^_`|~";
  if (text.empty()) return false;
  for (const char c : text) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && (c == 0 || std::strchr(kMarks, c) == nullptr)) return false;
  }
  return true;
}

size_t FindHeadEnd(std::string_view data, size_t& scanned, HeadFault& fault) {
  const size_t limit = std::min(data.size(), kMaxHead);
  for (size_t i = scanned; i < limit; ++i) {
    if (data[i] != '\n') continue;
    if (i == 0 || data[i - 1] != '\r') {
      fault = {400, kBareLineFeed};
      return 0;
    }
    if (i >= 3 && data[i - 2] == '\n' && data[i - 3] == '\r') return i + 1;
  }
  scanned = limit;
  if (data.size() >= kMaxHead)
    fault = {431, "Requisição recusada: o cabeçalho passa de " + std::to_string(kMaxHead / 1024) +
                      " KiB; envie menos cabeçalhos ou mais curtos."};
  return 0;
}

HeadFault ParseField(std::string_view line, HttpField& field) {
  if (line.empty() || IsBlank(line.front())) return {400, kBadName};
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return {400, kBadName};
  std::string_view value = line.substr(colon + 1);
  for (const char c : value)
    if (!IsFieldChar(static_cast<unsigned char>(c))) return {400, kBadValue};
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
  field.name = line.substr(0, colon);
  field.value = value;
  return {};
}

HeadFault ParseHead(std::string_view text, HttpHead& head) {
  // The head ends with an empty line: drop it, and the CRLF before it.
  if (text.size() >= 4) text.remove_suffix(4);
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 2;
    if (first) {
      first = false;
      // A CR alone inside the request line is a control character there.
      if (line.find('\r') != std::string_view::npos) return {400, kBadRequestLine};
      if (HeadFault fault = ParseRequestLine(line, head); fault.status != 0) return fault;
      continue;
    }
    HttpField field;
    if (HeadFault fault = ParseField(line, field); fault.status != 0) return fault;
    head.fields.push_back(std::move(field));
  }
  // Read as one value, a second line would be ignored by one reader and
  // used by another (a proxy in front, the server behind it).
  for (const char* name : {"Authorization", "Content-Type", "Content-Encoding", "Host"}) {
    int count = 0;
    for (const HttpField& field : head.fields) count += strcasecmp(field.name.c_str(), name) == 0;
    if (count > 1)
      return {400, std::string("Requisição recusada: o cabeçalho ") + name +
                       " aparece mais de uma vez; envie um só."};
  }
  return {};
}

HeadFault CheckFraming(const HttpHead& head) {
  std::vector<std::string> lengths;
  std::vector<std::string> encodings;
  int hosts = 0;
  for (const HttpField& field : head.fields) {
    if (strcasecmp(field.name.c_str(), "Content-Length") == 0)
      lengths.push_back(field.value);
    else if (strcasecmp(field.name.c_str(), "Transfer-Encoding") == 0)
      encodings.push_back(field.value);
    else if (strcasecmp(field.name.c_str(), "Host") == 0)
      ++hosts;
  }
  if (!encodings.empty() && !lengths.empty())
    return {400,
            "Requisição recusada: Content-Length e Transfer-Encoding juntos tornam o fim do "
            "corpo ambíguo; envie só um dos dois."};
  for (const std::string& length : lengths)
    if (length != lengths.front())
      return {400,
              "Requisição recusada: Content-Length repetido com valores diferentes; envie um "
              "só."};
  if (!lengths.empty() && (lengths.front().empty() ||
                           lengths.front().find_first_not_of("0123456789") != std::string::npos))
    return {400, "Requisição recusada: Content-Length \"" + lengths.front().substr(0, 40) +
                     "\" não é um número; envie o tamanho do corpo em bytes."};
  if (!head.http10 && hosts == 0)
    return {400, "Requisição recusada: falta o cabeçalho Host, obrigatório em HTTP/1.1."};
  if (hosts > 1)
    return {400, "Requisição recusada: o cabeçalho Host aparece mais de uma vez; envie um só."};
  if (!encodings.empty()) {
    if (head.http10)
      return {400,
              "Requisição recusada: Transfer-Encoding não existe em HTTP/1.0; envie "
              "Content-Length."};
    std::vector<std::string> codings;
    for (const std::string& line : encodings)
      for (std::string& coding : ListItems(line)) codings.push_back(std::move(coding));
    if (codings.size() != 1 || strcasecmp(codings.front().c_str(), "chunked") != 0) {
      std::string named;
      for (const std::string& line : encodings) named += (named.empty() ? "" : ", ") + line;
      if (named.size() > 60) named = named.substr(0, 60) + "...";
      return {501, "Transfer-Encoding \"" + named +
                       "\" não suportado; envie o corpo com "
                       "Content-Length ou Transfer-Encoding: chunked."};
    }
  }
  return {};
}

}  // namespace kvr::server
