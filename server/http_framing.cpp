#include "http_framing.h"

#include <strings.h>

#include <string>
#include <vector>

namespace kvr::server {

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
  const bool http10 = head.http10;
  if (!encodings.empty() && !lengths.empty())
    return {400, "Requisição recusada: Content-Length e Transfer-Encoding juntos tornam o fim do "
                 "corpo ambíguo; envie só um dos dois."};
  for (const std::string& length : lengths)
    if (length != lengths.front())
      return {400, "Requisição recusada: Content-Length repetido com valores diferentes; envie um "
                   "só."};
  if (!lengths.empty() && (lengths.front().empty() ||
                           lengths.front().find_first_not_of("0123456789") != std::string::npos))
    return {400, "Requisição recusada: Content-Length \"" + lengths.front().substr(0, 40) +
                     "\" não é um número; envie o tamanho do corpo em bytes."};
  if (!http10 && hosts == 0)
    return {400, "Requisição recusada: falta o cabeçalho Host, obrigatório em HTTP/1.1."};
  if (hosts > 1)
    return {400, "Requisição recusada: o cabeçalho Host aparece mais de uma vez; envie um só."};
  if (!encodings.empty()) {
    if (http10)
      return {400, "Requisição recusada: Transfer-Encoding não existe em HTTP/1.0; envie "
                   "Content-Length."};
    std::vector<std::string> codings;
    for (const std::string& line : encodings)
      for (std::string& coding : ListItems(line)) codings.push_back(std::move(coding));
    if (codings.size() != 1 || strcasecmp(codings.front().c_str(), "chunked") != 0) {
      std::string named;
      for (const std::string& line : encodings) named += (named.empty() ? "" : ", ") + line;
      if (named.size() > 60) named = named.substr(0, 60) + "...";
      return {501, "Transfer-Encoding \"" + named + "\" não suportado; envie o corpo com "
                   "Content-Length ou Transfer-Encoding: chunked."};
    }
  }
  return {};
}

}  // namespace kvr::server
