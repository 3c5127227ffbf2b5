#include "http_framing.h"

#include <microhttpd.h>
#include <strings.h>

#include <cstring>

#include <vector>

namespace kvr::server {

namespace {

// The header lines of a request that decide its framing.
struct FramingHeaders {
  std::vector<std::string> lengths;
  std::vector<std::string> encodings;
  int hosts = 0;
  bool bad_name = false;   // a name that is not a token (blank before the colon, folded line)
  bool bad_value = false;  // a value holding a control character (bare CR among them)
};

// Whether the size bytes at text are a token: the only shape a field name may
// have (letters, digits and !#$%&'*+-.^_`|~, at least one).
bool IsToken(const char* text, size_t size) {
  static constexpr char kMarks[] = "!#$%&'*+-.^_`|~";
  if (size == 0) return false;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && (c == 0 || strchr(kMarks, c) == nullptr)) return false;
  }
  return true;
}

// Whether the size bytes at text hold a control character other than tab.
bool HasControl(const char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  }
  return false;
}

MHD_Result Collect(void* cls, MHD_ValueKind, const char* key, size_t key_size, const char* value,
                   size_t value_size) {
  auto& headers = *static_cast<FramingHeaders*>(cls);
  const std::string text = value != nullptr ? std::string(value, value_size) : "";
  if (!IsToken(key, key_size)) headers.bad_name = true;
  if (HasControl(text.data(), text.size())) headers.bad_value = true;
  if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
    headers.lengths.push_back(text);
  else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0)
    headers.encodings.push_back(text);
  else if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0)
    ++headers.hosts;
  return MHD_YES;
}

// The codings of the Transfer-Encoding lines, in order, without blanks.
std::vector<std::string> Codings(const std::vector<std::string>& lines) {
  std::vector<std::string> codings;
  for (const std::string& line : lines) {
    size_t start = 0;
    while (start <= line.size()) {
      size_t end = line.find(',', start);
      if (end == std::string::npos) end = line.size();
      std::string coding = line.substr(start, end - start);
      coding.erase(0, coding.find_first_not_of(" \t"));
      coding.erase(coding.find_last_not_of(" \t") + 1);
      codings.push_back(coding);
      start = end + 1;
    }
  }
  return codings;
}

}  // namespace

FramingFault CheckFraming(MHD_Connection* connection, const char* version) {
  FramingHeaders headers;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &Collect, &headers);
  const bool http10 = version != nullptr && strcmp(version, MHD_HTTP_VERSION_1_0) == 0;
  if (headers.bad_name)
    return {400, "Requisição recusada: nome de cabeçalho com espaço ou caractere inválido, ou "
                 "linha de cabeçalho dobrada; envie cada cabeçalho numa linha \"Nome: valor\", "
                 "sem espaço antes dos dois-pontos."};
  if (headers.bad_value)
    return {400, "Requisição recusada: valor de cabeçalho com caractere de controle (CR "
                 "solto, por exemplo); termine cada linha com CRLF e envie só texto nos "
                 "valores."};
  if (!headers.encodings.empty() && !headers.lengths.empty())
    return {400, "Requisição recusada: Content-Length e Transfer-Encoding juntos tornam o fim do "
                 "corpo ambíguo; envie só um dos dois."};
  for (const std::string& length : headers.lengths)
    if (length != headers.lengths.front())
      return {400, "Requisição recusada: Content-Length repetido com valores diferentes; envie um "
                   "só."};
  if (!http10 && headers.hosts == 0)
    return {400, "Requisição recusada: falta o cabeçalho Host, obrigatório em HTTP/1.1."};
  if (headers.hosts > 1)
    return {400, "Requisição recusada: o cabeçalho Host aparece mais de uma vez; envie um só."};
  if (!headers.encodings.empty()) {
    if (http10)
      return {400, "Requisição recusada: Transfer-Encoding não existe em HTTP/1.0; envie "
                   "Content-Length."};
    const std::vector<std::string> codings = Codings(headers.encodings);
    if (codings.size() != 1 || strcasecmp(codings.front().c_str(), "chunked") != 0) {
      std::string named;
      for (const std::string& line : headers.encodings) named += (named.empty() ? "" : ", ") + line;
      if (named.size() > 60) named = named.substr(0, 60) + "...";
      return {501, "Transfer-Encoding \"" + named + "\" não suportado; envie o corpo com "
                   "Content-Length ou Transfer-Encoding: chunked."};
    }
  }
  return {};
}

}  // namespace kvr::server
