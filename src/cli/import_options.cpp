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
    "import ARQUIVO|PASTA... [--extrato N] [--server [https://]HOST:PORTA] [--ca-file ARQUIVO] "
    "[--tipo Circulante|Aplicação|Garantida] [--token-file ARQUIVO] "
    "[--de DD/MM/AAAA --ate DD/MM/AAAA] [--sim | --nao] [--sem-grade] [--json]";

const char* const kImportHelp =
    "uso: kvr61400 import ARQUIVO|PASTA... [--extrato N]\n"
    "                     [--server [https://]HOST:PORTA] [--ca-file ARQUIVO]\n"
    "                     [--token-file ARQUIVO] [--tipo Circulante|Aplicação|Garantida]\n"
    "                     [--de DD/MM/AAAA --ate DD/MM/AAAA] [--sim | --nao]\n"
    "                     [--sem-grade] [--json]\n"
    "\n"
    "Importa ARQUIVO pela tela \"Importação de Extrato Bancário (OFX)\", como um\n"
    "usuário faria: escolhe o arquivo, mostra os dados e a grade, escolhe o tipo\n"
    "de conta, informa as datas do movimento (banco 237) e confirma.\n"
    "\n"
    "Vários arquivos, ou uma pasta (seus arquivos .ofx e .qfx em ordem de nome),\n"
    "passam um a um pela mesma tela, numa só conexão, com as mesmas opções: uma\n"
    "linha por extrato ao terminar, depois um quadro e o total, e os problemas de\n"
    "continuidade dos extratos gravados. Um arquivo que falha não para os outros;\n"
    "importar o mesmo mês de novo responde \"já cadastrado\" a cada extrato.\n"
    "Um arquivo com vários extratos com movimentos importa cada um na sua conta,\n"
    "um por vez.\n"
    "\n"
    "  --extrato N          só o extrato N de cada arquivo (padrão: todos)\n"
    "  --server ENDEREÇO    servidor de aplicação: HOST:PORTA ou http://HOST:PORTA\n"
    "                       (HTTP), https://HOST:PORTA (HTTPS: o certificado do\n"
    "                       servidor conferido com as autoridades do sistema ou\n"
    "                       com --ca-file, e com o nome HOST; nunca volta para\n"
    "                       HTTP). Padrão 127.0.0.1:8061; vários, separados por\n"
    "                       vírgula, são tentados em ordem quando um não pode ser\n"
    "                       alcançado (nunca depois de enviada a chamada)\n"
    "  --ca-file ARQUIVO    a autoridade certificadora (PEM) que assina o\n"
    "                       certificado de um servidor https://\n"
    "  --token-file ARQUIVO arquivo com a sua chave de acesso na primeira linha:\n"
    "                       a que o administrador criou para você com\n"
    "                       kvr61400-server usuario add (ou o segredo\n"
    "                       compartilhado do servidor). Para fora desta máquina\n"
    "                       a chave só vai por https://\n"
    "  --tipo T             tipo de conta (padrão: o primeiro oferecido)\n"
    "  --de D, --ate D      período do movimento de um extrato do banco 237, as\n"
    "                       duas datas juntas (sem elas: ontem a ontem, como na\n"
    "                       tela); grava o cabeçalho desse período, e o resto do\n"
    "                       arquivo pode ser importado depois com outro período\n"
    "  --sim, --nao         resposta à pergunta sobre movimentos repetidos\n"
    "                       (sem elas, pergunta no terminal)\n"
    "  --sem-grade          só o cabeçalho, a conta, a quantidade e a soma dos\n"
    "                       movimentos a importar e o resultado, sem a grade\n"
    "  --json               um objeto JSON (UTF-8) em vez do texto: valores\n"
    "                       como números e datas AAAA-MM-DD, como em inspect --json\n"
    "  --help               esta ajuda\n"
    "\n"
    "Ctrl-C antes de o extrato ser enviado para gravação: nada é gravado (status\n"
    "130). Depois de enviado, o primeiro Ctrl-C espera a resposta do servidor e a\n"
    "mostra; o segundo sai sem esperar: o servidor pode ter gravado o extrato, e\n"
    "importar o mesmo arquivo de novo responde \"já cadastrado\" se gravou.\n"
    "\n"
    "Exemplo:\n"
    "  kvr61400 import examples/extrato-237.ofx --server 127.0.0.1:8061 \\\n"
    "      --de 01/03/2024 --ate 08/03/2024 --sem-grade\n"
    "  kvr61400 import extrato.ofx --server https://servidor.empresa:8061 \\\n"
    "      --ca-file empresa-ca.pem --token-file ~/.chave-kvr61400\n"
    "\n"
    "Status de saída: 0 importado; 2 arquivo não encontrado, erro de leitura do\n"
    "arquivo ou de conexão;\n"
    "3 já cadastrado; 4 outra mensagem que encerra a ação (extrato inválido, conta\n"
    "não cadastrada, período recusado, recusa do servidor); 5 \"Não\" à pergunta\n"
    "sobre movimentos repetidos (nada gravado); 64 erro de uso; 130 interrompido.\n"
    "Com mais de um extrato: 0 quando todos foram importados ou já estavam\n"
    "cadastrados, 4 quando algum foi recusado, cancelado ou não pôde ser lido.\n"
    "\n"
    "Exemplo de um mês:\n"
    "  kvr61400 import extratos/2024-03/ --server 127.0.0.1:8061 --sim\n";

std::string ParseImportOptions(const std::vector<std::string>& args, ImportOptions& o) {
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
      if (!value(v)) return "--token-file espera o arquivo com a sua chave de acesso ao servidor";
      try {
        o.token = ReadTokenFile(v);
      } catch (const Exception& e) {
        return e.what();
      }
    } else if (a == "--sem-grade") {
      o.summary = true;
    } else if (a == "--sim" || a == "--nao" || a == "--não") {
      const bool answer = a == "--sim";
      if (o.answer && *o.answer != answer) return "--sim e --nao se excluem";
      o.answer = answer;
    } else if (a == "--server") {
      if (!value(v)) return "--server espera HOST:PORTA ou https://HOST:PORTA";
      const std::optional<std::vector<ServerUrl>> urls = ParseServerList(v);
      if (!urls) {
        return "--server espera HOST:PORTA, http://HOST:PORTA ou https://HOST:PORTA (vários "
               "separados por vírgula), não \"" + v + "\"";
      }
      o.host = ListHostValue(*urls);
      o.port = urls->front().port;
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
    } else if (a == "--extrato") {
      if (!value(v)) return "--extrato espera o número do extrato no arquivo (1, 2, ...)";
      const int n = v.size() <= 6 && !v.empty() &&
                            v.find_first_not_of("0123456789") == std::string::npos
                        ? std::stoi(v)
                        : 0;
      if (n < 1) return "--extrato espera o número do extrato no arquivo (1, 2, ...), não \"" + v + "\"";
      o.extrato = n;
    } else if (!a.empty() && a[0] == '-') {
      return "opção desconhecida: " + a;
    } else {
      o.files.push_back(a);
    }
  }
  if (o.files.empty()) return "falta o ARQUIVO";
  o.file = o.files.front();
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
  const ServerUrl url = SplitHostValue(o.host, o.port);
  if (!o.token.empty() && !url.https && !IsLoopbackName(url.host))
    return "a chave de acesso não vai sem criptografia para fora desta máquina: use --server "
           "https://" +
           url.host + ":" + std::to_string(o.port);
  return "";
}

int ImportUsageError(const std::string& problem) {
  std::cerr << "kvr61400 import: " << problem << "\nuso: kvr61400 " << kImportUsage << "\n";
  return kExitUsage;
}

}  // namespace kvr::cli
