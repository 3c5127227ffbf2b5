#include "admin/usage.h"

#include <map>

namespace kvr::server {

namespace {

const char* const kCommonOptions =
    "  --db BANCO         arquivo SQLite ou banco PostgreSQL:\n"
    "                     postgresql://USUARIO@SERVIDOR:PORTA/BANCO.\n"
    "  --config ARQUIVO   o banco da linha \"db\" desse arquivo de configuração do\n"
    "                     servidor (o de serve --config).\n"
    "                     Sem --db nem --config: o banco da linha \"db\" de\n"
    "                     /etc/kvr61400/servidor.conf, quando esse arquivo existe\n"
    "                     (o do serviço instalado; rode como o usuário kvr61400);\n"
    "                     senão kvr61400.db no diretório atual.\n"
    "                     Só serve e conta add criam o banco.\n"
    "  --help             mostra esta ajuda.\n";

// serve reads no configuration unless told to (--config, below).
const char* const kServeOptions =
    "  --db BANCO            arquivo SQLite (padrão: kvr61400.db no diretório atual)\n"
    "                        ou banco PostgreSQL:\n"
    "                        postgresql://USUARIO@SERVIDOR:PORTA/BANCO; criado\n"
    "                        quando não existe (e apagado de novo se o servidor não\n"
    "                        chega a atender).\n"
    "  --help                mostra esta ajuda.\n";

// A command's help: head (its usage, what it does and its own options), the
// options every command shares, then the examples.
std::string WithCommon(const char* head, const char* examples) {
  return std::string(head) + kCommonOptions + "\nExemplo:\n" + examples;
}

const std::map<std::string, std::string>& Texts() {
  static const std::map<std::string, std::string> texts = {
      {"",
       "Uso: kvr61400-server COMANDO [SUBCOMANDO] [OPÇÕES]\n"
       "\n"
       "Servidor de aplicação do módulo kvr61400.rdmImportOFX (importação de extrato\n"
       "bancário OFX): atende a tela de importação, guarda as contas correntes e os\n"
       "extratos importados e mostra o que foi gravado.\n"
       "\n"
       "Comandos:\n"
       "  serve                  atende as chamadas da tela (JSON-RPC em HTTP).\n"
       "  conta add              cadastra uma conta corrente.\n"
       "  conta list             lista as contas correntes.\n"
       "  conta edit             altera o tipo ou a máscara de uma conta corrente.\n"
       "  conta remove           exclui uma conta corrente sem extratos gravados.\n"
       "  extrato list           lista os extratos gravados.\n"
       "  extrato show           mostra um extrato e seus movimentos.\n"
       "  extrato continuidade   mostra lacunas, sobreposições e quebras de saldo\n"
       "                         entre os extratos de cada conta.\n"
       "  extrato remove         exclui um extrato e seus movimentos (com motivo).\n"
       "  copiar                 copia contas e extratos para outro banco (SQLite ou\n"
       "                         PostgreSQL).\n"
       "  backup                 grava uma cópia de um banco SQLite, também com o\n"
       "                         servidor atendendo (padrão: em /var/backups/kvr61400).\n"
       "  restaurar              repõe um banco SQLite a partir de uma cópia de backup.\n"
       "  usuario add            cria a chave de acesso de um usuário.\n"
       "  usuario list           lista os usuários e suas chaves.\n"
       "  usuario remove         revoga a chave de um usuário.\n"
       "  auditoria              mostra a trilha de auditoria.\n"
       "\n"
       "Opções comuns:\n" +
           std::string(kCommonOptions) +
           "\n"
           "Cada comando tem sua ajuda: kvr61400-server conta add --help.\n"
           "\n"
           "Exemplo:\n"
           "  kvr61400-server conta add --codigo 001 --banco 341 --agencia 1234 \\\n"
           "                            --conta 123456 --tipo C --mascara 99999-9\n"
           "  kvr61400-server serve --listen 127.0.0.1:8061\n"
           "\n"
           "Saída: 0 feito; 1 falhou (o motivo na saída de erro); 64 uso incorreto.\n"},
      {"serve", std::string(
       "Uso: kvr61400-server serve [--listen HOST:PORTA] [--token-file ARQUIVO] [--threads N]\n"
       "                             [--tls-cert ARQUIVO --tls-key ARQUIVO] [--sem-tls]\n"
       "                             [--max-connections N] [--timeout SEGUNDOS]\n"
       "                             [--max-inflated MIB] [--max-memory MIB] [--db BANCO]\n"
       "                             [--config ARQUIVO]\n"
       "\n"
       "Atende as chamadas JSON-RPC do módulo em HTTP POST /kvr61400.rdmImportOFX até\n"
       "receber SIGINT ou SIGTERM; registra uma linha por chamada na saída de erro.\n"
       "\n"
       "Opções:\n"
       "  --config ARQUIVO      lê as opções de um arquivo, uma por linha: chave = valor\n"
       "                        com os nomes das opções sem \"--\" (db = /srv/kvr.db);\n"
       "                        linhas iniciadas por # são comentários. As opções da\n"
       "                        linha de comando valem sobre as do arquivo.\n"
       "  --listen HOST:PORTA   endereço de escuta (padrão 127.0.0.1:8061; porta 0\n"
       "                        escolhe uma porta livre, informada na linha\n"
       "                        \"ouvindo em\"; IPv6 entre colchetes: [::1]:8061).\n"
       "  --token-file ARQUIVO  arquivo com o segredo compartilhado na primeira linha\n"
       "                        (ao menos 16 caracteres; o arquivo só pode ser lido\n"
       "                        pelo dono: chmod 600); toda chamada deve enviá-lo em\n"
       "                        Authorization: Bearer. O segredo vale como o usuário\n"
       "                        \"compartilhada\". Dez chaves erradas de um endereço\n"
       "                        em 60 s bloqueiam esse endereço por 60 s (HTTP 429).\n"
       "  --tls-cert ARQUIVO    certificado do servidor (PEM) para atender em HTTPS\n"
       "                        (TLS 1.2 ou mais novo); SIGHUP lê de novo um\n"
       "                        certificado renovado, sem parar o servidor.\n"
       "  --tls-key ARQUIVO     chave privada do certificado (PEM; só o dono pode\n"
       "                        ler: chmod 600).\n"
       "  --sem-tls             aceita HTTP sem TLS fora de 127.0.0.1 e ::1, para\n"
       "                        um proxy TLS na frente.\n"
       "                        Fora de 127.0.0.1 e ::1 o servidor exige TLS (ou\n"
       "                        --sem-tls) e chaves de usuário ou --token-file.\n"
       "                        Com chaves de usuário cadastradas, toda chamada\n"
       "                        leva uma chave válida, também em 127.0.0.1.\n"
       "  --threads N           chamadas atendidas ao mesmo tempo (1 a 999, padrão 8).\n"
       "  --max-connections N   conexões abertas ao mesmo tempo (padrão 1000); cheias,\n"
       "                        a conexão ociosa há mais tempo dá lugar à nova.\n"
       "  --timeout SEGUNDOS    conexão calada é encerrada após esse tempo (padrão 30);\n"
       "                        cabeçalho que não chega inteiro nele, ou corpo parado\n"
       "                        por ele, recebe 408; depois dele, também um corpo a\n"
       "                        menos de 64 KiB/s por 10 s.\n"
       "  --max-inflated MIB    limite do corpo enviado em gzip, descompactado\n"
       "                        (padrão 1024).\n"
       "  --max-memory MIB      memória de todas as requisições ao mesmo tempo (corpos\n"
       "                        e linhas; padrão 2048); a que não cabe espera, na ordem\n"
       "                        de chegada, até --timeout e então recebe 503.\n") +
           kServeOptions +
           "\n"
           "Saída: 0 parado por SIGINT ou SIGTERM; 1 não pôde começar (porta em uso,\n"
           "segredo, certificado ou chave ilegível ou aberto a outros, banco); 64 uso\n"
           "incorreto (também ouvir fora de 127.0.0.1 e ::1 sem TLS ou sem chaves).\n"
           "\n"
           "Exemplo:\n"
           "  kvr61400-server serve --listen 127.0.0.1:8061 --db /srv/kvr/kvr61400.db\n"
           "  kvr61400-server serve --config /etc/kvr61400/servidor.conf\n"},
      {"conta",
       "Uso: kvr61400-server conta SUBCOMANDO [OPÇÕES]\n"
       "\n"
       "Administra as contas correntes (tabela CONTCORR) que a tela procura pelo\n"
       "banco e pelo número da conta do extrato.\n"
       "\n"
       "Subcomandos:\n"
       "  add      cadastra uma conta corrente.\n"
       "  list     lista as contas correntes.\n"
       "  edit     altera o tipo ou a máscara de uma conta corrente.\n"
       "  remove   exclui uma conta corrente sem extratos gravados.\n"
       "\n"
       "Exemplo:\n"
       "  kvr61400-server conta list\n"
       "  kvr61400-server conta add --help\n"},
      {"conta add", WithCommon(
       "Uso: kvr61400-server conta add --codigo C --banco B --conta N --tipo T\n"
       "                               [--agencia A] [--mascara M] [--id-extrato I]\n"
       "                               [--db BANCO]\n"
       "\n"
       "Cadastra uma conta corrente.\n"
       "\n"
       "Opções:\n"
       "  --codigo C    código da conta: 1 a 3 letras ou algarismos (CDREDUCONT).\n"
       "  --banco B     código do banco: 1 a 4 letras ou algarismos, até 3\n"
       "                significativos (0341 é gravado como 341; gnt).\n"
       "  --agencia A   agência: até 5 caracteres, algarismos com \"-\" e dígito\n"
       "                verificador opcionais.\n"
       "  --conta N     número da conta: até 10 caracteres, algarismos com \"-\" e\n"
       "                dígito verificador opcionais. A tela a encontra escrita de\n"
       "                qualquer forma: sem separadores, zeros à esquerda e agência\n"
       "                antes de \"/\", dígito X lido como 0.\n"
       "  --tipo T      C (Circulante), L (Aplicação) ou G (Garantida).\n"
       "  --mascara M   como a tela mostra o número: uma posição (9, 0, #, L, l, A, a,\n"
       "                C ou c) por caractere da conta e separadores como \"-\", \".\"\n"
       "                ou espaço (vazia: o número como está). Com 99999-9, a conta\n"
       "                12345-6 é gravada 123456 e mostrada 12345-6.\n"
       "  --id-extrato I  a conta como os arquivos do banco a escrevem (ACCTID), quando\n"
       "                não é o número da conta: agência e conta num número só, de\n"
       "                até 40 caracteres (0123456789012345).\n",
       "  kvr61400-server conta add --codigo 001 --banco 341 --agencia 1234 \\\n"
       "                            --conta 123456 --tipo C --mascara 99999-9\n")},
      {"conta list", WithCommon(
       "Uso: kvr61400-server conta list [--json] [--db BANCO]\n"
       "\n"
       "Lista as contas correntes em ordem de código; com --json, um vetor JSON com as\n"
       "colunas de CONTCORR.\n"
       "\n"
       "Opções:\n"
       "  --json        imprime JSON (UTF-8).\n",
       "  kvr61400-server conta list --json\n")},
      {"conta edit", WithCommon(
       "Uso: kvr61400-server conta edit --codigo C [--tipo T] [--mascara M]\n"
       "                                [--id-extrato I] [--db BANCO]\n"
       "\n"
       "Altera o tipo, a máscara ou o identificador nos extratos da conta corrente de\n"
       "código C; os outros campos ficam. Pelo menos uma de --tipo, --mascara e\n"
       "--id-extrato.\n"
       "\n"
       "Opções:\n"
       "  --codigo C    a conta a alterar.\n"
       "  --tipo T      o novo tipo: C (Circulante), L (Aplicação) ou G (Garantida).\n"
       "  --mascara M   a nova máscara, uma posição 9 por caractere da conta (vazia:\n"
       "                sem máscara).\n"
       "  --id-extrato I  a conta como os arquivos do banco a escrevem (vazio: nenhum).\n",
       "  kvr61400-server conta edit --codigo 001 --mascara 99999-9\n")},
      {"conta remove", WithCommon(
       "Uso: kvr61400-server conta remove --codigo C [--db BANCO]\n"
       "\n"
       "Exclui a conta corrente de código C. Enquanto houver extratos dela gravados a\n"
       "exclusão é recusada, com o número de extratos.\n"
       "\n"
       "Opções:\n"
       "  --codigo C    a conta a excluir.\n",
       "  kvr61400-server conta remove --codigo 002\n")},
      {"extrato",
       "Uso: kvr61400-server extrato SUBCOMANDO [OPÇÕES]\n"
       "\n"
       "Consulta os extratos gravados pela tela de importação.\n"
       "\n"
       "Subcomandos:\n"
       "  list           lista os extratos gravados.\n"
       "  show           mostra um extrato e seus movimentos.\n"
       "  continuidade   mostra, por conta, os extratos em ordem de período e o que\n"
       "                 quebra a sequência: lacunas, sobreposições e saldos.\n"
       "  remove         exclui um extrato e seus movimentos, com o motivo.\n"
       "\n"
       "Exemplo:\n"
       "  kvr61400-server extrato list\n"
       "  kvr61400-server extrato continuidade --conta 001\n"},
      {"extrato list", WithCommon(
       "Uso: kvr61400-server extrato list [--json] [--db BANCO]\n"
       "\n"
       "Lista os extratos gravados em ordem de número (CDSEQUEXTR): conta, período,\n"
       "saldos e número de movimentos.\n"
       "\n"
       "Opções:\n"
       "  --json        imprime JSON (UTF-8).\n",
       "  kvr61400-server extrato list --db /srv/kvr/kvr61400.db\n")},
      {"extrato show", WithCommon(
       "Uso: kvr61400-server extrato show NUMERO [--json] [--db BANCO]\n"
       "\n"
       "Mostra o extrato de número NUMERO (CDSEQUEXTR, dado por extrato list) e seus\n"
       "movimentos. Caracteres de controle gravados aparecem como \\n, \\t, \\xHH.\n"
       "\n"
       "Opções:\n"
       "  --json        imprime JSON (UTF-8).\n",
       "  kvr61400-server extrato show 1\n")},
      {"copiar",
       "Uso: kvr61400-server copiar --de BANCO --para BANCO\n"
       "\n"
       "Copia as contas correntes, os extratos (com seus números) e os movimentos do\n"
       "banco --de para o banco --para, numa só transação: de SQLite para PostgreSQL\n"
       "ou o contrário. O banco --para deve estar vazio (é criado quando não existe);\n"
       "no fim diz quanto copiou.\n"
       "\n"
       "Opções:\n"
       "  --de BANCO     o banco de origem (arquivo SQLite ou postgresql://...).\n"
       "  --para BANCO   o banco de destino, vazio.\n"
       "  --help         mostra esta ajuda.\n"
       "\n"
       "Exemplo:\n"
       "  kvr61400-server copiar --de kvr61400.db \\\n"
       "                         --para postgresql://kvr@dbhost:5432/kvr61400\n"},
      {"backup", WithCommon(
       "Uso: kvr61400-server backup [--para ARQUIVO|PASTA] [--db BANCO]\n"
       "\n"
       "Grava uma cópia consistente do banco SQLite, também enquanto um servidor o\n"
       "usa: a cópia é o banco como estava num só momento. O arquivo é criado só\n"
       "para o dono (0600) e nunca substitui outro. Para PostgreSQL use pg_dump.\n"
       "A cópia volta com kvr61400-server restaurar --de ARQUIVO.\n"
       "\n"
       "Opções:\n"
       "  --para ARQUIVO|PASTA  a cópia, um arquivo que ainda não existe, ou uma\n"
       "                     pasta onde ela ganha o nome do banco e o momento\n"
       "                     (kvr61400-2024-03-31-183000.db). Padrão: a pasta\n"
       "                     /var/backups/kvr61400, que o pacote kvr61400-server cria\n"
       "                     para o usuário kvr61400 e que a remoção do pacote mantém.\n",
       "  sudo -u kvr61400 kvr61400-server backup\n"
       "  kvr61400-server backup --db kvr61400.db --para copia-2024-03-31.db\n")},
      {"restaurar", WithCommon(
       "Uso: kvr61400-server restaurar --de COPIA [--db BANCO]\n"
       "\n"
       "Repõe o banco SQLite a partir de COPIA, uma cópia feita por backup. Antes de\n"
       "mexer no banco confere a integridade da cópia, que ela tem as tabelas do\n"
       "servidor e um esquema que este servidor lê (um mais antigo é atualizado).\n"
       "Recusa enquanto um servidor atende o banco: pare-o antes (sudo systemctl stop\n"
       "kvr61400-server). O banco substituído fica ao lado, BANCO.anterior-MOMENTO,\n"
       "com o seu -wal; nenhum -wal antigo fica junto do banco restaurado. Rodando\n"
       "como root, o arquivo restaurado fica com o dono do que substituiu.\n"
       "Para PostgreSQL use pg_restore.\n"
       "\n"
       "Opções:\n"
       "  --de COPIA         o arquivo da cópia.\n",
       "  sudo systemctl stop kvr61400-server\n"
       "  sudo -u kvr61400 kvr61400-server restaurar \\\n"
       "       --de /var/backups/kvr61400/kvr61400-2024-03-31-183000.db\n"
       "  sudo systemctl start kvr61400-server\n")},
      {"extrato remove", WithCommon(
       "Uso: kvr61400-server extrato remove NUMERO --motivo TEXTO [--sim] [--db BANCO]\n"
       "\n"
       "Mostra o extrato NUMERO (conta, período, movimentos, quem o importou), pergunta\n"
       "no terminal se o exclui e então exclui o extrato e todos os seus movimentos\n"
       "em uma transação, registrando a exclusão, com o motivo, na trilha de\n"
       "auditoria. Sem terminal (num script) é preciso --sim. Resposta \"n\": nada é\n"
       "excluído (saída 1).\n"
       "\n"
       "Opções:\n"
       "  --motivo TEXTO   por que o extrato é excluído (obrigatório).\n"
       "  --sim            exclui sem perguntar.\n",
       "  kvr61400-server extrato remove 12 --motivo \"importado na conta errada\"\n")},
      {"usuario", WithCommon(
       "Uso: kvr61400-server usuario SUBCOMANDO [OPÇÕES]\n"
       "\n"
       "Administra as chaves de acesso dos usuários. O banco guarda só o SHA-256 de\n"
       "cada chave. Com uma chave cadastrada, toda chamada ao servidor precisa de uma\n"
       "chave válida (Authorization: Bearer CHAVE).\n"
       "\n"
       "Subcomandos:\n"
       "  add NOME [--administrador]   cria a chave e a imprime uma vez, sozinha\n"
       "                               na linha.\n"
       "  list [--json]                lista usuários, criação, último uso e revogação.\n"
       "  remove NOME                  revoga a chave; os servidores a recusam em até\n"
       "                               5 segundos.\n",
       "  kvr61400-server usuario add ana > chave-ana && chmod 600 chave-ana\n")},
      {"usuario add", WithCommon(
       "Uso: kvr61400-server usuario add NOME [--administrador] [--db BANCO]\n"
       "\n"
       "Cria uma chave de acesso aleatória para o usuário NOME (até 40 letras sem\n"
       "acento, dígitos, \".\", \"_\" ou \"-\", sem começar com \"-\") e a imprime uma\n"
       "única vez, sozinha na linha.\n"
       "Só uma chave de administrador pode excluir extratos pela tela.\n"
       "\n"
       "Opções:\n"
       "  --administrador   a chave pode excluir extratos.\n",
       "  kvr61400-server usuario add ana > chave-ana && chmod 600 chave-ana\n")},
      {"usuario list", WithCommon(
       "Uso: kvr61400-server usuario list [--json] [--db BANCO]\n"
       "\n"
       "Lista os usuários: administrador ou não, criação da chave, último uso e\n"
       "revogação. Com --json: [{\"usuario\":\"ana\",\"administrador\":false,\n"
       "\"criada\":\"2024-03-05T14:30:00\",\"ultimoUso\":null,\"revogada\":null}].\n",
       "  kvr61400-server usuario list\n")},
      {"usuario remove", WithCommon(
       "Uso: kvr61400-server usuario remove NOME [--db BANCO]\n"
       "\n"
       "Revoga a chave do usuário NOME: todo servidor deste banco passa a recusá-la\n"
       "em até 5 segundos. A revogação fica na trilha de auditoria.\n",
       "  kvr61400-server usuario remove ana\n")},
      {"auditoria", WithCommon(
       "Uso: kvr61400-server auditoria [--desde DD/MM/AAAA] [--usuario NOME] [--json]\n"
       "                               [--db BANCO]\n"
       "\n"
       "Mostra a trilha de auditoria, da mais antiga à mais nova: importações,\n"
       "importações recusadas, exclusões de extratos, acessos negados, chaves\n"
       "criadas e revogadas; quando, usuário, endereço, conta, extrato, movimentos\n"
       "e detalhe.\n"
       "\n"
       "Opções:\n"
       "  --desde DD/MM/AAAA   só a partir desse dia.\n"
       "  --usuario NOME       só desse usuário.\n"
       "  --json               imprime uma lista JSON de objetos com as chaves quando,\n"
       "                       usuario, endereco, evento, conta, extrato, movimentos,\n"
       "                       detalhe.\n",
       "  kvr61400-server auditoria --desde 01/03/2024 --usuario ana\n")},
      {"extrato continuidade", WithCommon(
       "Uso: kvr61400-server extrato continuidade [--conta CODIGO] [--json] [--db BANCO]\n"
       "\n"
       "Mostra, por conta, os extratos gravados em ordem de período e o que quebra a\n"
       "sequência entre cada um e o anterior: lacuna (dias sem extrato),\n"
       "sobreposição (dias em dois extratos) ou saldo inicial diferente do saldo final\n"
       "anterior (a diferença com sinal; saldos C positivos, D negativos).\n"
       "\n"
       "Opções:\n"
       "  --conta CODIGO   só a conta desse código (CDREDUCONT).\n"
       "  --json           imprime JSON (UTF-8): [{\"conta\":\"001\",\"extratos\":[{\"extrato\":\"1\",\n"
       "                   \"dataInicial\":\"2024-01-01\",...,\"problemas\":[{\"tipo\":\"lacuna\",\n"
       "                   \"dias\":29}]}]}].\n",
       "  kvr61400-server extrato continuidade --conta 001\n")},
  };
  return texts;
}

std::string Key(const std::vector<std::string>& words, size_t count) {
  std::string key;
  for (size_t i = 0; i < count; ++i) key += (i == 0 ? "" : " ") + words[i];
  return key;
}

}  // namespace

std::optional<std::string> HelpText(const std::vector<std::string>& words) {
  auto it = Texts().find(Key(words, words.size()));
  if (it == Texts().end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> KnownCommand(const std::vector<std::string>& words) {
  size_t known = 0;
  for (size_t count = 1; count <= words.size() && count <= 2; ++count)
    if (Texts().count(Key(words, count)) != 0) known = count;
  return std::vector<std::string>(words.begin(), words.begin() + static_cast<long>(known));
}

}  // namespace kvr::server
