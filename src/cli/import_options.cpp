// The arguments of kvr61400 import.
#include "cli/import_options.h"

#include <iostream>
#include <utility>

#include "cli/commands.h"
#include "cli/console_host.h"
#include "host/server_url.h"
#include "host/token_file.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/sysutils.h"
#include "platform/text_file.h"

namespace kvr::cli {

namespace {

// True when text is a day written DD/MM/AAAA that the calendar has.
bool IsDayText(const std::string& text) {
  if (text.size() != 10 || text[2] != '/' || text[5] != '/') return false;
  for (size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  try {
    EncodeDate(std::stoi(text.substr(6)), std::stoi(text.substr(3, 2)),
               std::stoi(text.substr(0, 2)));
    return true;
  } catch (const EConvertError&) {
    return false;
  }
}

}  // namespace

const char* const kImportUsage =
    "import ARQUIVO [--server [https://]HOST:PORTA] [--ca-file ARQUIVO] "
    "[--tipo Circulante|Aplicação|Garantida] [--token-file ARQUIVO] "
    "[--de DD/MM/AAAA --ate DD/MM/AAAA] [--sim | --nao] [--sem-grade] [--json]";

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
    } else if (a == "--sim" || a == "--nao" || a == "--não") {
      const bool answer = a == "--sim";
      if (o.answer && *o.answer != answer) return "--sim e --nao se excluem";
      o.answer = answer;
    } else if (a == "--server") {
      if (!value(v)) return "--server espera HOST:PORTA ou https://HOST:PORTA";
      const std::optional<TServerUrl> url = ParseServerUrl(v);
      if (!url) {
        return "--server espera HOST:PORTA, http://HOST:PORTA ou https://HOST:PORTA, não \"" + v +
               "\"";
      }
      o.host = url->HostValue();
      o.port = url->port;
    } else if (a == "--ca-file") {
      if (!value(v)) return "--ca-file espera o arquivo (PEM) da autoridade certificadora";
      if (!FileExists(v)) return "--ca-file: arquivo não encontrado: " + v;
      o.ca_file = v;
    } else if (a == "--tipo") {
      if (!value(v)) return "--tipo espera Circulante, Aplicação ou Garantida";
      o.tipo = Utf8ToCp1252(v);
    } else if (a == "--de") {
      if (!value(v)) return "--de espera uma data DD/MM/AAAA";
      o.de = v;
    } else if (a == "--ate" || a == "--até") {
      if (!value(v)) return "--ate espera uma data DD/MM/AAAA";
      o.ate = v;
    } else if (!a.empty() && a[0] == '-') {
      return "opção desconhecida: " + a;
    } else if (o.file.empty()) {
      o.file = a;
    } else {
      return "mais de um arquivo: " + a;
    }
  }
  if (o.file.empty()) return "falta o ARQUIVO";
  // What the screen would refuse only after reading and showing the whole
  // statement is refused here first.
  if (o.tipo && Folded(*o.tipo) != "circulante" && Folded(*o.tipo) != "aplicacao" &&
      Folded(*o.tipo) != "garantida")
    return "--tipo espera Circulante, Aplicação ou Garantida, não \"" + Cp1252ToUtf8(*o.tipo) +
           "\"";
  if (o.de.has_value() != o.ate.has_value())
    return std::string(o.de ? "--de sem --ate" : "--ate sem --de") +
           ": informe as duas datas do período (--de DD/MM/AAAA --ate DD/MM/AAAA)";
  for (const auto& [name, date] : {std::pair{"--de", &o.de}, std::pair{"--ate", &o.ate}})
    if (*date && !IsDayText(**date))
      return std::string(name) + " espera uma data DD/MM/AAAA, não \"" + **date + "\"";
  const TServerUrl url = SplitHostValue(o.host, o.port);
  if (!o.token.empty() && !url.https && !IsLoopbackName(url.host))
    return "a senha de acesso não vai sem criptografia para fora desta máquina: use --server "
           "https://" +
           url.host + ":" + std::to_string(o.port);
  return "";
}

int ImportUsageError(const std::string& problem) {
  std::cerr << "kvr61400 import: " << problem << "\nuso: kvr61400 " << kImportUsage << "\n";
  return kExitUsage;
}

}  // namespace kvr::cli
