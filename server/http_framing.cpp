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
};

MHD_Result Collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto& headers = *static_cast<FramingHeaders*>(cls);
  const std::string text = value != nullptr ? value : "";
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
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &Collect, &headers);
  const bool http10 = version != nullptr && strcmp(version, MHD_HTTP_VERSION_1_0) == 0;
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
