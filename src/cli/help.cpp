// The --help texts of the subcommands (UTF-8, printed as they are).
#include "cli/commands.h"

namespace kvr::cli {

const char* const kInspectHelp =
    "uso: kvr61400 inspect [--json] [--decimal-separator C] ARQUIVO\n"
    "\n"
    "Lê ARQUIVO com o leitor de extratos e mostra o que encontrou: banco, conta,\n"
    "período, saldos inicial e final e a tabela dos lançamentos.\n"
    "\n"
    "  --json                   um objeto JSON (UTF-8) em vez do texto\n"
    "  --decimal-separator C    separador decimal dos valores, \".\" ou \",\"\n"
    "                           (padrão: o do idioma do sistema; sem idioma,\n"
    "                           a vírgula)\n"
    "  --help                   esta ajuda\n"
    "\n"
    "Exemplo:\n"
    "  kvr61400 inspect examples/extrato-341.ofx\n"
    "\n"
    "Status de saída: 0 o arquivo é um extrato; 1 não é (ou não existe);\n"
    "2 erro na leitura (a mensagem diz a linha); 64 erro de uso.\n";

const char* const kImportHelp =
    "uso: kvr61400 import ARQUIVO [--server HOST:PORTA] [--tipo Circulante|Aplicação|Garantida]\n"
    "                     [--de DD/MM/AAAA --ate DD/MM/AAAA] [--sim | --nao] [--sem-grade] [--json]\n"
    "\n"
    "Importa ARQUIVO pela tela \"Importação de Extrato Bancário (OFX)\", como um\n"
    "usuário faria: escolhe o arquivo, mostra os dados e a grade, escolhe o tipo\n"
    "de conta, informa as datas do movimento (banco 237) e confirma.\n"
    "\n"
    "  --server HOST:PORTA  servidor de aplicação (padrão 127.0.0.1:8061)\n"
    "  --tipo T             tipo de conta (padrão: o primeiro oferecido)\n"
    "  --de D, --ate D      período do movimento de um extrato do banco 237\n"
    "                       (sem eles: ontem a ontem, como na tela)\n"
    "  --sim, --nao         resposta à pergunta sobre movimentos repetidos\n"
    "                       (sem elas, pergunta no terminal)\n"
    "  --sem-grade          só o cabeçalho, a conta, a quantidade e a soma dos\n"
    "                       movimentos a importar e o resultado, sem a grade\n"
    "  --json               um objeto JSON (UTF-8) em vez do texto\n"
    "  --help               esta ajuda\n"
    "\n"
    "Exemplo:\n"
    "  kvr61400 import examples/extrato-237.ofx --server 127.0.0.1:8061 \\\n"
    "      --de 01/03/2024 --ate 08/03/2024 --sem-grade\n"
    "\n"
    "Status de saída: 0 importado; 2 erro de leitura do arquivo ou de conexão;\n"
    "3 já cadastrado; 4 outra mensagem que encerra a ação (extrato inválido, conta\n"
    "não cadastrada, período recusado, recusa do servidor); 5 \"Não\" à pergunta\n"
    "sobre movimentos repetidos (nada gravado); 64 erro de uso.\n";

}  // namespace kvr::cli
