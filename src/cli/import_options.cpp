// The arguments of kvr61400 import.
#include "cli/import_options.h"

#include <iostream>

#include "cli/commands.h"
#include "host/server_url.h"
#include "host/token_file.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/sysutils.h"
#include "platform/text_file.h"

namespace kvr::cli {

const char* const kImportUsage =
    "import ARQUIVO [--server [https://]HOST:PORTA] [--ca-file ARQUIVO] [--tipo Circulante|Aplica\xC3\xA7\xC3\xA3o|Garantida] "
    "[--token-file ARQUIVO] [--de DD/MM/AAAA --ate DD/MM/AAAA] [--sim | --nao] [--sem-grade] [--json]";

std::string ParseImportOptions(const std::vector<std::string>& args, TImportOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> bool {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--json") {
      o.json = true;
    } else if (a == "--token-file") {
      if (!value(v)) return "--token-file espera o arquivo com a senha de acesso do servidor";
      try {
        o.token = ReadTokenFile(v);
      } catch (const Exception& e) {
        return Cp1252ToUtf8(e.what());
      }
    } else if (a == "--sem-grade") {
      o.summary = true;
    } else if (a == "--sim" || a == "--nao" || a == "--n\xC3\xA3o") {
      const bool answer = a == "--sim";
      if (o.answer && *o.answer != answer) return "--sim e --nao se excluem";
      o.answer = answer;
    } else if (a == "--server") {
      if (!value(v)) return "--server espera HOST:PORTA ou https://HOST:PORTA";
      const std::optional<TServerUrl> url = ParseServerUrl(v);
      if (!url) {
        return "--server espera HOST:PORTA, http://HOST:PORTA ou https://HOST:PORTA, n\xC3\xA3o \"" +
               v + "\"";
      }
      o.host = url->HostValue();
      o.port = url->port;
    } else if (a == "--ca-file") {
      if (!value(v)) return "--ca-file espera o arquivo (PEM) da autoridade certificadora";
      if (!FileExists(v)) return "--ca-file: arquivo n\xC3\xA3o encontrado: " + v;
      o.ca_file = v;
    } else if (a == "--tipo") {
      if (!value(v)) return "--tipo espera Circulante, Aplica\xC3\xA7\xC3\xA3o ou Garantida";
      o.tipo = Utf8ToCp1252(v);
    } else if (a == "--de") {
      if (!value(v)) return "--de espera uma data DD/MM/AAAA";
      o.de = v;
    } else if (a == "--ate" || a == "--at\xC3\xA9") {
      if (!value(v)) return "--ate espera uma data DD/MM/AAAA";
      o.ate = v;
    } else if (!a.empty() && a[0] == '-') {
      return "op\xC3\xA7\xC3\xA3o desconhecida: " + a;
    } else if (o.file.empty()) {
      o.file = a;
    } else {
      return "mais de um arquivo: " + a;
    }
  }
  if (o.file.empty()) return "falta o ARQUIVO";
  const TServerUrl url = SplitHostValue(o.host, o.port);
  if (!o.token.empty() && !url.https && !IsLoopbackName(url.host)) {
    return "a senha de acesso n\xC3\xA3o vai sem criptografia para fora desta m\xC3\xA1quina: use "
           "--server https://" + url.host + ":" + std::to_string(o.port);
  }
  return "";
}

int ImportUsageError(const std::string& problem) {
  std::cerr << "kvr61400 import: " << problem << "\nuso: kvr61400 " << kImportUsage << "\n";
  return kExitUsage;
}

}  // namespace kvr::cli
