// Who may call the server: HTTPS with the certificate checked by the real
// client, the refusals beyond loopback, clerk keys added, used and revoked
// under running servers on both engines, the audit trail and the removal of
// a statement.
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <algorithm>
#include <cstdio>
#include <thread>

#include "access/access.h"
#include "access/clerk_key.h"
#include "host/net_connection.h"
#include "host/server_url.h"
#include "store/open_store.h"
#include "packets.h"
#include "pg_cluster.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr {
namespace {

using testing::CommandResult;
using testing::Engine;
using testing::Header;
using testing::Mov;
using testing::Movements;
using testing::PgCluster;
using testing::RunServerCommand;
using testing::ServerProcess;
using testing::StoredStatements;

const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

void Run(const std::string& command) {
  ASSERT_EQ(0, std::system((command + " 2>/dev/null").c_str())) << command;
}

// A throwaway certificate authority made by openssl in a test's folder.
class TestCa {
 public:
  TestCa(const testing::TempDir& dir, std::string name) : dir_(dir), name_(std::move(name)) {
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-keyout " + dir_.File(name_ + ".key") + " -out " + Pem() + " -subj /CN=" + name_);
  }
  std::string Pem() const { return dir_.File(name_ + ".pem"); }

  // Issues base.pem and base.key (mode 600) for the subject alternative
  // names san ("IP:127.0.0.1,DNS:localhost"), valid for two days from now or,
  // with both, from start to end (AAAAMMDDhhmmssZ, through `openssl ca`: the
  // command of openssl 3.0 that sets the dates).
  void Issue(const std::string& base, const std::string& san, const std::string& start = "",
             const std::string& end = "") const {
    const std::string key = dir_.File(base + ".key");
    const std::string csr = dir_.File(base + ".csr");
    const std::string ext = dir_.File(base + ".ext");
    std::ofstream(ext) << "subjectAltName=" << san << "\n";
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + key +
        " -out " + csr + " -subj /CN=servidor");
    if (start.empty()) {
      Run("openssl x509 -req -in " + csr + " -CA " + Pem() + " -CAkey " +
          dir_.File(name_ + ".key") + " -CAcreateserial -days 2 -out " +
          dir_.File(base + ".pem") + " -extfile " + ext);
    } else {
      const std::string config = dir_.File(name_ + "-ca.cnf");
      std::ofstream(config) << "[ca]\ndefault_ca = kvr\n[kvr]\ndatabase = "
                            << dir_.File(name_ + "-index.txt") << "\nnew_certs_dir = "
                            << dir_.File("") << "\nrand_serial = yes\ndefault_md = sha256\n"
                            << "policy = any\n[any]\ncommonName = supplied\n";
      std::ofstream(dir_.File(name_ + "-index.txt"), std::ios::app);
      Run("openssl ca -batch -notext -config " + config + " -cert " + Pem() + " -keyfile " +
          dir_.File(name_ + ".key") + " -in " + csr + " -out " + dir_.File(base + ".pem") +
          " -startdate " + start + " -enddate " + end + " -extfile " + ext);
    }
    chmod(key.c_str(), 0600);
  }

 private:
  const testing::TempDir& dir_;
  std::string name_;
};

using testing::AddAccount;
using testing::AddUser;

// The SHA-256 of text in hex, as openssl computes it.
std::string Sha256(const std::string& text) {
  FILE* pipe = popen(("printf %s " + text + " | openssl dgst -sha256 -r").c_str(), "r");
  char line[128] = {};
  const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
  if (pipe != nullptr) pclose(pipe);
  return read ? std::string(line).substr(0, 64) : "";
}

// Connects the real client to https or plain HOST (ServerUrl::HostValue
// form) at port, trusting ca; returns "" or the failure's message (UTF-8).
std::string ConnectError(const std::string& host, int port, const std::string& ca,
                         const std::string& key = "") {
  SetHttpsCaFile(ca);
  TNetConnection net(nullptr);
  net.ServerName = "kvr61400.rdmImportOFX";
  net.Token = key;
  net.Host = host;
  net.Port = port;
  try {
    net.SetConnected(true);
    TServerResult result = net.Call("GetContaCorrente", {"341", "123456"});
    SetHttpsCaFile("");
    return result.Payload()["rows"].size() == 1 ? "" : "sem a conta";
  } catch (const Exception& error) {
    SetHttpsCaFile("");
    return std::string(error.what());
  }
}

TEST(TlsServe, ClientsCheckTheCertificateAndItsNameAndSighupRenewsIt) {
  testing::TempDir dir;
  TestCa ca(dir, "ca");
  TestCa other(dir, "outra");
  ca.Issue("servidor", "IP:127.0.0.1,DNS:localhost");
  ca.Issue("nome", "DNS:outro.exemplo");
  ca.Issue("vencido", "IP:127.0.0.1", "20200101000000Z", "20200102000000Z");
  const std::string not_pem = dir.File("nao-pem.pem");
  std::ofstream(not_pem) << "isto não é um certificado\n";
  const std::string db = dir.File("tls.db");
  AddAccount(db);
  ServerProcess server(db, {"--tls-cert", dir.File("servidor.pem"), "--tls-key",
                            dir.File("servidor.key")});
  server.Start();
  const int port = server.Port();
  const std::string where = "Servidor de aplicação https://127.0.0.1:" + std::to_string(port);
  struct Case {
    std::string host, ca, error;
  };
  const Case cases[] = {
      {"https://127.0.0.1", ca.Pem(), ""},
      {"https://localhost", ca.Pem(), ""},
      {"https://127.0.0.1", other.Pem(),
       where + ": o certificado do servidor não é confiável (emitido por uma autoridade que este "
               "computador não reconhece); informe o arquivo da autoridade certificadora que o "
               "emitiu (--ca-file ou as configurações do servidor)."},
      // Without a CA file the system's trust store knows nothing of ours.
      {"https://127.0.0.1", "",
       where + ": o certificado do servidor não é confiável (emitido por uma autoridade que este "
               "computador não reconhece); informe o arquivo da autoridade certificadora que o "
               "emitiu (--ca-file ou as configurações do servidor)."},
      {"https://127.0.0.1", not_pem,
       where + ": o arquivo da autoridade certificadora \"" + not_pem +
           "\" não pôde ser lido como certificado PEM."},
      // Plain HTTP to a server that serves HTTPS: the way to reach it.
      {"127.0.0.1", ca.Pem(),
       "Servidor de aplicação 127.0.0.1:" + std::to_string(port) +
           " não responde: falha ao ler a resposta. Se o servidor atende em HTTPS, use https://127.0.0.1:" +
           std::to_string(port) + "."},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error, ConnectError(c.host, port, c.ca)) << c.ca;

  // A certificate for another name, then one that expired, read on SIGHUP by
  // the running server.
  const auto renew = [&](const std::string& base, long times) {
    std::filesystem::copy_file(dir.File(base + ".pem"), dir.File("servidor.pem"),
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(dir.File(base + ".key"), dir.File("servidor.key"),
                               std::filesystem::copy_options::overwrite_existing);
    server.Signal(SIGHUP);
    server.LogWhen([times](const std::vector<std::string>& lines) {
      return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
               return line.find("lido de novo") != std::string::npos;
             }) == times;
    });
  };
  renew("nome", 1);
  EXPECT_EQ(where + ": o certificado do servidor não vale para o nome 127.0.0.1.",
            ConnectError("https://127.0.0.1", port, ca.Pem()));
  renew("vencido", 2);
  const std::string expired =
      where + ": o certificado do servidor não é confiável (vencido); informe o arquivo da "
              "autoridade certificadora que o emitiu (--ca-file ou as configurações do "
              "servidor).";
  EXPECT_EQ(expired, ConnectError("https://127.0.0.1", port, ca.Pem()));

  // Neither a FIFO nor a device is read as the certificate: the pair in use
  // stays, and the signal thread is free for the next signal.
  const std::string pem = dir.File("servidor.pem");
  const std::string kept = "kvr61400-server: SIGHUP recebido, certificado mantido: o certificado \"" +
                           pem + "\" não é um arquivo comum; grave-o em um arquivo comum.";
  const auto keep = [&](long times) {
    server.Signal(SIGHUP);
    const auto log = server.LogWhen([&](const std::vector<std::string>& lines) {
      return std::count(lines.begin(), lines.end(), kept) == times;
    });
    EXPECT_EQ(times, std::count(log.begin(), log.end(), kept));
  };
  std::filesystem::remove(pem);
  ASSERT_EQ(0, mkfifo(pem.c_str(), 0600));
  keep(1);
  std::filesystem::remove(pem);
  std::filesystem::create_symlink("/dev/zero", pem);
  keep(2);
  EXPECT_EQ(expired, ConnectError("https://127.0.0.1", port, ca.Pem()));
  server.Signal(SIGTERM);
  const auto log = server.LogWhen([](const std::vector<std::string>& lines) {
    return std::count(lines.begin(), lines.end(), "kvr61400-server: encerrado.") > 0;
  });
  EXPECT_EQ(1, std::count(log.begin(), log.end(), "kvr61400-server: encerrado."));
}

TEST(TlsServe, BeyondLoopbackStartNeedsTlsAndAKeyAndOwnerOnlyKeyFiles) {
  testing::TempDir dir;
  TestCa ca(dir, "ca");
  ca.Issue("servidor", "IP:127.0.0.1");
  const std::string cert = dir.File("servidor.pem");
  const std::string key = dir.File("servidor.key");
  const std::string shared_key = dir.File("servidor-legivel.key");
  std::filesystem::copy_file(key, shared_key);
  chmod(shared_key.c_str(), 0640);
  const std::string token = dir.File("segredo");
  std::ofstream(token) << "um segredo compartilhado\n";
  chmod(token.c_str(), 0600);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Case cases[] = {
      {{"--listen", "0.0.0.0:0", "--tls-cert", cert, "--tls-key", key}, 64,
       "kvr61400-server: recuso ouvir em 0.0.0.0:0 sem autenticação: fora da interface local "
       "(127.0.0.1, ::1) toda chamada precisa de uma chave. Crie as chaves dos usuários "
       "(kvr61400-server usuario add NOME) ou passe --token-file ARQUIVO com um segredo "
       "compartilhado. Veja kvr61400-server serve --help.\n"},
      {{"--listen", "0.0.0.0:0", "--token-file", token}, 64,
       "kvr61400-server: recuso ouvir em 0.0.0.0:0 sem TLS: fora da interface local (127.0.0.1, "
       "::1) as chamadas levam extratos e chaves de acesso. Passe --tls-cert ARQUIVO --tls-key "
       "ARQUIVO (PEM), ou --sem-tls se um proxy TLS atende na frente deste servidor. Veja "
       "kvr61400-server serve --help.\n"},
      {{"--tls-cert", cert}, 64,
       "kvr61400-server: --tls-cert e --tls-key vão juntas: o certificado e sua chave privada "
       "(PEM). Veja kvr61400-server serve --help.\n"},
      {{"--tls-cert", cert, "--tls-key", shared_key}, 1,
       "kvr61400-server: o arquivo da chave privada \"" + shared_key +
           "\" pode ser acessado por outros usuários (permissões 0640); restrinja-o ao dono "
           "com chmod 600 \"" + shared_key + "\".\n"},
      {{"--tls-cert", key, "--tls-key", key}, 1, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--db",
                                     dir.File("a.db")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = RunServerCommand(args);
    EXPECT_EQ(c.code, result.code) << c.args.back();
    if (!c.err.empty()) {
      EXPECT_EQ(c.err, result.err) << c.args.back();
    }
  }
  // Plain HTTP beyond loopback for a TLS proxy in front: allowed with a
  // warning. Only bound, never sent to.
  ServerProcess proxied(dir.File("a.db"),
                        {"--listen", "0.0.0.0:0", "--sem-tls", "--token-file", token});
  proxied.Start();
  const std::vector<std::string> log = proxied.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(
      "kvr61400-server: aviso: ouvindo em 0.0.0.0:0 sem TLS (--sem-tls): as chamadas só devem "
      "chegar através de um proxy TLS.",
      log.front());
}

// One JSON-RPC call over plain loopback HTTP with key (none when empty):
// the HTTP status and the result, or the error's message as a JSON text.
struct Reply {
  int status = 0;
  nlohmann::json value;
};

Reply Rpc(int port, const std::string& key, const std::string& method,
          const nlohmann::json& params) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(20, 0);
  httplib::Headers headers;
  if (!key.empty()) headers.emplace("Authorization", "Bearer " + key);
  const std::string body =
      nlohmann::json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}}.dump();
  auto reply = http.Post("/kvr61400.rdmImportOFX", headers, body, "application/json");
  if (!reply) return {0, "sem resposta"};
  nlohmann::json answer = nlohmann::json::parse(reply->body);
  if (answer.contains("error")) return {reply->status, answer["error"]["message"]};
  return {reply->status, answer["result"]};
}

// Seconds until port refuses key (status 401), polled; 99 when it never does
// within 10 s.
double SecondsUntilRefused(int port, const std::string& key) {
  const auto start = std::chrono::steady_clock::now();
  if (!testing::WaitUntil(std::chrono::seconds(10), [&] {
        return Rpc(port, key, "GetUsuario", nlohmann::json::array()).status == 401;
      }))
    return 99;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ClerkKeyTest : public ::testing::TestWithParam<Engine> {
 protected:
  testing::TempDir dir_;
  std::string db_ = testing::NewDatabase(GetParam(), dir_.File("chaves.db"));
};

INSTANTIATE_TEST_SUITE_P(Engines, ClerkKeyTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         testing::EngineName());

TEST_P(ClerkKeyTest, KeysAreAskedUsedRevokedAndEverythingIsInTheTrail) {
  AddAccount(db_);
  ServerProcess server(db_);
  server.Start();
  const int port = server.Port();
  // No key yet: loopback is open, as an administrator without a name.
  EXPECT_EQ((nlohmann::json{{"usuario", ""}, {"administrador", true}}),
            Rpc(port, "", "GetUsuario", nlohmann::json::array()).value);
  const std::string ana = AddUser(db_, "ana", false);
  const std::string chefe = AddUser(db_, "chefe", true);
  EXPECT_NE(ana, chefe);
  // Once a key exists every request needs one, loopback included.
  Reply refused;
  testing::WaitUntil(std::chrono::seconds(10), [&] {
    return (refused = Rpc(port, "", "GetUsuario", nlohmann::json::array())).status == 401;
  });
  EXPECT_EQ(401, refused.status);
  EXPECT_EQ(
      "Acesso negado: o servidor exige uma chave de acesso (cabeçalho Authorization: Bearer).",
      refused.value);
  EXPECT_EQ(401, Rpc(port, ana + "0", "GetUsuario", nlohmann::json::array()).status);
  // The client says which of the two it was and what to do.
  const std::string where = "Servidor de aplicação 127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(where + " exige uma chave de acesso (estado HTTP 401): informe o arquivo com a sua chave "
                    "(--token-file ou as configurações do servidor).",
            ConnectError("127.0.0.1", port, ""));
  EXPECT_EQ(where + " recusou a chave de acesso informada (estado HTTP 401): confira o arquivo da chave; "
                    "uma chave revogada ou de outro servidor não vale, peça outra ao administrador.",
            ConnectError("127.0.0.1", port, "", ana + "0"));
  EXPECT_EQ("", ConnectError("127.0.0.1", port, "", ana));
  EXPECT_EQ((nlohmann::json{{"usuario", "ana"}, {"administrador", false}}),
            Rpc(port, ana, "GetUsuario", nlohmann::json::array()).value);
  EXPECT_EQ((nlohmann::json{{"usuario", "chefe"}, {"administrador", true}}),
            Rpc(port, chefe, "GetUsuario", nlohmann::json::array()).value);

  // ana imports; the same statement again is refused as recorded; a clerk
  // key may not remove it, an administrator's may, once.
  const nlohmann::json statement = {
      Header(), Movements({Mov{}, Mov{.value = 2.5, .document = "2", .fitid = "F2", .sign = "C"}}), true};
  EXPECT_EQ(true, Rpc(port, ana, "SetExtratoBancario", statement).value);
  EXPECT_EQ(false, Rpc(port, ana, "SetExtratoBancario", statement).value);
  nlohmann::json listed = StoredStatements(db_);
  ASSERT_EQ(1u, listed.size());
  EXPECT_EQ("ana", listed[0]["USUARIO"]);
  EXPECT_EQ("Somente uma chave de administrador pode excluir extratos.",
            Rpc(port, ana, "RemoveExtrato", {1, "importado na conta errada"}).value);
  EXPECT_EQ(true, Rpc(port, chefe, "RemoveExtrato", {1, "importado na conta errada"}).value);
  EXPECT_EQ("Extrato 1 não encontrado.",
            Rpc(port, chefe, "RemoveExtrato", {1, "importado na conta errada"}).value);
  EXPECT_EQ(0u, StoredStatements(db_).size());

  // Revoked: refused within 5 s, by this running server.
  CommandResult removed = RunServerCommand({"usuario", "remove", "ana", "--db", db_});
  ASSERT_EQ(0, removed.code) << removed.err;
  EXPECT_LT(SecondsUntilRefused(port, ana), 5.0);
  EXPECT_EQ(true, Rpc(port, chefe, "GetUsuario", nlohmann::json::array()).value["administrador"]);

  // The trail, oldest first. Refusals are written a moment after their
  // answer, so their place among the others is not fixed: at least three
  // (no key, a wrong key, the revoked key).
  nlohmann::json trail;
  std::vector<std::string> events;
  size_t refusals = 0;
  testing::WaitUntil(std::chrono::seconds(20), [&] {
    trail = nlohmann::json::parse(RunServerCommand({"auditoria", "--json", "--db", db_}).out);
    events.clear();
    refusals = 0;
    for (const nlohmann::json& row : trail) {
      if (row["evento"] == "acesso_negado") {
        ++refusals;
        continue;
      }
      events.push_back(row["evento"].get<std::string>() + " " +
                       (row["usuario"].is_null() ? "-" : row["usuario"].get<std::string>()));
    }
    return refusals >= 3;
  });
  EXPECT_GE(refusals, 3u);
  // Refused removals too: ana's (no administrator key) and the second one of
  // statement 1 (gone).
  EXPECT_EQ((std::vector<std::string>{"chave_criada ana", "chave_criada chefe", "importacao ana",
                                      "recusa ana", "recusa ana", "remocao chefe", "recusa chefe",
                                      "chave_removida ana"}),
            events);
  for (const nlohmann::json& row : trail)
    EXPECT_EQ(19u, row["quando"].get<std::string>().size()) << row.dump();
  const auto find = [&trail](const std::string& event) {
    for (const nlohmann::json& row : trail)
      if (row["evento"] == event) return row;
    return nlohmann::json();
  };
  nlohmann::json imported = find("importacao");
  EXPECT_EQ("127.0.0.1", imported["endereco"]);
  EXPECT_EQ("001", imported["conta"]);
  EXPECT_EQ(1, imported["extrato"]);
  EXPECT_EQ(2, imported["movimentos"]);
  EXPECT_EQ("extrato já cadastrado", find("recusa")["detalhe"]);
  nlohmann::json removal = find("remocao");
  EXPECT_EQ("importado na conta errada", removal["detalhe"]);
  EXPECT_EQ(1, removal["extrato"]);
  EXPECT_EQ(2, removal["movimentos"]);
  EXPECT_EQ("001", removal["conta"]);
  EXPECT_EQ("127.0.0.1", find("acesso_negado")["endereco"]);

  // Filters: by user, and from a day on (none is from the year 2999).
  nlohmann::json of_chefe = nlohmann::json::parse(
      RunServerCommand({"auditoria", "--usuario", "chefe", "--json", "--db", db_}).out);
  ASSERT_EQ(3u, of_chefe.size());
  EXPECT_EQ("remocao", of_chefe[1]["evento"]);
  EXPECT_EQ("[]\n",
            RunServerCommand({"auditoria", "--desde", "01/01/2999", "--json", "--db", db_}).out);
  CommandResult bad_day = RunServerCommand({"auditoria", "--desde", "2024-01-01", "--db", db_});
  EXPECT_EQ(64, bad_day.code);

  // The keys and their state; the database holds no key in clear.
  nlohmann::json users =
      nlohmann::json::parse(RunServerCommand({"usuario", "list", "--json", "--db", db_}).out);
  ASSERT_EQ(2u, users.size());
  EXPECT_EQ("ana", users[0]["usuario"]);
  EXPECT_FALSE(users[0]["revogada"].is_null());
  EXPECT_FALSE(users[0]["ultimoUso"].is_null());
  EXPECT_TRUE(users[1]["revogada"].is_null());
  EXPECT_EQ(true, users[1]["administrador"]);
  // The same removal from the command line: a reason is required, an
  // unknown number is an error.
  EXPECT_EQ(true, Rpc(port, chefe, "SetExtratoBancario", statement).value);
  // SQLite numbers it 1 again (the highest was removed), PostgreSQL 2.
  const std::string number = StoredStatements(db_)[0]["CDSEQUEXTR"];
  const std::vector<std::string> remove = {"extrato", "remove", number, "--db", db_};
  EXPECT_EQ(64, RunServerCommand(remove).code);
  std::vector<std::string> with_reason = remove;
  with_reason.insert(with_reason.end(), {"--motivo", "duplicado"});
  // What the number holds now is shown first; it goes only when confirmed,
  // on a terminal or by --sim.
  const std::string shown = "Extrato " + number +
                            ": conta 001 (banco 341, número 123456), período 01/01/2024 a "
                            "31/01/2024, 2 movimentos, importado por chefe.\n";
  std::vector<std::string> confirmed = with_reason;
  confirmed.push_back("--sim");
  const std::string no = "n\n", yes = "s\n";
  struct Case {
    const std::vector<std::string>* args;
    const std::string* typed;
    int code;
    std::string out, err;
  } cases[] = {
      {&with_reason, nullptr, 64, shown,
       "kvr61400-server: extrato remove pede confirmação e não há terminal para perguntar: "
       "confira o extrato acima e repita com --sim. Veja kvr61400-server extrato remove --help.\n"},
      {&with_reason, &no, 1, shown,
       "Excluir o extrato " + number + " e seus movimentos? (s/n) kvr61400-server: Nada foi excluído.\n"},
      {&with_reason, &yes, 0, shown + "Extrato " + number + " excluído com seus movimentos.\n",
       "Excluir o extrato " + number + " e seus movimentos? (s/n) "},
  };
  for (const Case& c : cases) {
    CommandResult result = RunServerCommand(*c.args, c.typed);
    EXPECT_EQ(c.code, result.code) << (c.typed ? *c.typed : "sem terminal");
    EXPECT_EQ(c.out, result.out);
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(true, Rpc(port, chefe, "SetExtratoBancario", statement).value);
  const std::string renumbered = StoredStatements(db_)[0]["CDSEQUEXTR"];
  confirmed[2] = with_reason[2] = renumbered;
  CommandResult removed_here = RunServerCommand(confirmed);
  EXPECT_EQ(0, removed_here.code) << removed_here.err;
  CommandResult again = RunServerCommand(confirmed);
  EXPECT_EQ(1, again.code);
  EXPECT_EQ("kvr61400-server: Extrato " + renumbered + " não encontrado.\n", again.err);
  nlohmann::json last =
      nlohmann::json::parse(RunServerCommand({"auditoria", "--json", "--db", db_}).out).back();
  EXPECT_EQ("remocao", last["evento"]);
  EXPECT_EQ("duplicado", last["detalhe"]);
  EXPECT_EQ(std::stoll(renumbered), last["extrato"]);

  const std::string hash = Sha256(chefe);
  if (GetParam() == Engine::kSqlite) {
    std::string bytes;
    for (const char* suffix : {"", "-wal", "-journal"}) {
      std::ifstream file(db_ + suffix, std::ios::binary);
      bytes.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(std::string::npos, bytes.find(hash));
    EXPECT_EQ(std::string::npos, bytes.find(ana));
    EXPECT_EQ(std::string::npos, bytes.find(chefe));
  } else {
    const std::string name = db_.substr(db_.rfind('/') + 1);
    EXPECT_EQ("1", PgCluster::Get().Execute(name, "SELECT COUNT(*) FROM USUARIO WHERE HASHCHAVE "
                                                  "= '" + hash + "'"));
    EXPECT_EQ("0", PgCluster::Get().Execute(
                       name, "SELECT (SELECT COUNT(*) FROM USUARIO u WHERE u::text LIKE '%" + ana +
                                 "%' OR u::text LIKE '%" + chefe +
                                 "%') + (SELECT COUNT(*) FROM AUDITORIA a WHERE a::text LIKE '%" +
                                 ana + "%' OR a::text LIKE '%" + chefe + "%')"));
  }
}

TEST(PostgreSQLClerkKeys, ARevokedKeyIsRefusedByEveryServerOfTheDatabase) {
  const std::string db = PgCluster::Get().NewDatabase();
  AddAccount(db);
  const std::string key = AddUser(db, "bia", false);
  // The second also takes a shared secret: "compartilhada", an
  // administrator, beside the clerk keys.
  testing::TempDir dir;
  const std::string secret = dir.File("segredo");
  std::ofstream(secret) << "segredo-compartilhado-de-teste\n";
  chmod(secret.c_str(), 0600);
  ServerProcess first(db), second(db, {"--token-file", secret});
  first.Start();
  second.Start();
  for (const ServerProcess* server : {&first, &second})
    EXPECT_EQ("bia", Rpc(server->Port(), key, "GetUsuario", nlohmann::json::array())
                         .value["usuario"]);
  EXPECT_EQ((nlohmann::json{{"usuario", "compartilhada"}, {"administrador", true}}),
            Rpc(second.Port(), "segredo-compartilhado-de-teste", "GetUsuario",
                nlohmann::json::array())
                .value);
  EXPECT_EQ(401, Rpc(first.Port(), "segredo-compartilhado-de-teste", "GetUsuario",
                     nlohmann::json::array())
                     .status);
  ASSERT_EQ(0, RunServerCommand({"usuario", "remove", "bia", "--db", db}).code);
  EXPECT_LT(SecondsUntilRefused(first.Port(), key), 5.0);
  EXPECT_LT(SecondsUntilRefused(second.Port(), key), 5.0);
}

// The decision of a Lookup, waited for.
server::AccessDecision LookedUp(server::AccessControl& access, const char* authorization) {
  std::promise<server::AccessDecision> promise;
  std::future<server::AccessDecision> decided = promise.get_future();
  access.Lookup(authorization, "127.0.0.1:40000",
                [&promise](server::AccessDecision decision) { promise.set_value(decision); });
  return decided.get();
}

// What the event loop decides at once, with no database call: a right key
// passes also from a blocked address; a wrong or missing one from there is
// 429 without a look-up; an unknown key from elsewhere is looked up (nullopt)
// once, then refused at once.
TEST(AccessDecisions, TheLoopDecidesFromTheKeysReadAndABlockOnlyStopsWrongKeys) {
  testing::TempDir dir;
  std::unique_ptr<server::Store> store = server::OpenStore(dir.File("chaves.db"), true);
  const std::string key = server::NewClerkKey();
  server::AuditEvent made;
  made.event = "chave_criada";
  store->Access()->AddClerk("ana", false, server::ClerkKeyHash(key), made);
  server::AccessControl access(store->Access(), "");
  const std::string right = "Bearer " + key;
  ASSERT_EQ("ana", LookedUp(access, right.c_str()).caller.user);
  struct Case {
    const char* authorization;
    bool blocked;
    int status;  // 200: let in; 0: nothing decided (a look-up is due)
  };
  const Case cases[] = {
      {right.c_str(), false, 200},  {right.c_str(), true, 200},
      {"Bearer errada", true, 429}, {nullptr, true, 429},
      {nullptr, false, 401},        {"Bearer errada", false, 0},
  };
  for (const Case& c : cases) {
    const std::optional<server::AccessDecision> decision =
        access.Decide(c.authorization, "127.0.0.1:40000", c.blocked);
    const int status = !decision ? 0 : decision->allowed ? 200 : decision->status;
    EXPECT_EQ(c.status, status) << (c.authorization ? c.authorization : "(nenhuma)") << c.blocked;
  }
  EXPECT_EQ(401, LookedUp(access, "Bearer errada").status);
  const auto again = access.Decide("Bearer errada", "127.0.0.1:40000", false);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(401, again->status);
  // Once the server stops, no request waits for a look-up.
  access.StopLookups();
  EXPECT_EQ(503, LookedUp(access, "Bearer outra").status);
}

// The status of GET path with key, or 0 without an answer within 10 s.
int GetStatus(int port, const std::string& key, const std::string& path) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(10, 0);
  auto reply = http.Get(path, httplib::Headers{{"Authorization", "Bearer " + key}});
  return reply ? reply->status : 0;
}

// Whether the server ends within 10 s of a SIGTERM, whatever its database
// does: a clean end, or one that stopped waiting for calls stuck there.
void EndsSoonAfterSigterm(ServerProcess& server) {
  server.Signal(SIGTERM);
  int code = -1;
  ASSERT_TRUE(server.EndsWithin(std::chrono::seconds(10), code));
  const std::vector<std::string> log = server.Log();
  const bool clean = std::count(log.begin(), log.end(), "kvr61400-server: encerrado.") == 1;
  const bool given_up =
      std::count(log.begin(), log.end(),
                 "kvr61400-server: o encerramento esperou 5 segundos por chamadas que não "
                 "terminaram (o banco de dados não responde?); encerrado sem elas.") == 1;
  EXPECT_TRUE(clean || given_up) << log.back();
  EXPECT_EQ(given_up ? 1 : 0, code);
}

// The event loops never wait for the database: while a DBA's LOCK TABLE
// holds the key table, and while the database server is frozen, the
// connect check and the calls that need no locked table are answered, and
// SIGTERM ends the server soon.
TEST(PostgreSQLStall, ALockedKeyTableOrAFrozenDatabaseNeverStallsTheServer) {
  PgCluster& cluster = PgCluster::Get();
  const std::string db = cluster.NewDatabase();
  const std::string name = db.substr(db.rfind('/') + 1);
  AddAccount(db);
  const std::string key = AddUser(db, "ana", false);
  const nlohmann::json account = {"341", "123456"};
  {
    ServerProcess server(db);
    server.Start();
    ASSERT_EQ(200, Rpc(server.Port(), key, "GetContaCorrente", account).status);
    PGconn* dba = PQconnectdb(db.c_str());
    ASSERT_EQ(CONNECTION_OK, PQstatus(dba));
    PQclear(PQexec(dba, "BEGIN; LOCK TABLE usuario IN ACCESS EXCLUSIVE MODE"));
    // The server's next read of the keys waits for the lock.
    testing::WaitUntil(std::chrono::seconds(20), [&] {
      return cluster.Execute(name, "SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = "
                                   "'kvr61400-server' AND wait_event_type = 'Lock' AND query LIKE "
                                   "'SELECT%USUARIO%'") != "0";
    });
    // Answered while the lock is still held.
    EXPECT_EQ(200, GetStatus(server.Port(), key, "/"));
    const Reply accounts = Rpc(server.Port(), key, "GetContaCorrente", account);
    EXPECT_EQ(200, accounts.status);
    EXPECT_EQ(1u, accounts.value["rows"].size()) << accounts.value;
    EndsSoonAfterSigterm(server);
    PQclear(PQexec(dba, "ROLLBACK"));
    PQfinish(dba);
  }
  {
    // A lock held past the lock timeout fails the call with its own
    // message; a timeout the URI sets wins over the server's.
    ServerProcess server(db + "?options=-c%20lock_timeout%3D300");
    server.Start();
    PGconn* dba = PQconnectdb(db.c_str());
    ASSERT_EQ(CONNECTION_OK, PQstatus(dba));
    PQclear(PQexec(dba, "BEGIN; LOCK TABLE contcorr IN ACCESS EXCLUSIVE MODE"));
    const Reply locked = Rpc(server.Port(), key, "GetContaCorrente", account);
    PQclear(PQexec(dba, "ROLLBACK"));
    PQfinish(dba);
    EXPECT_NE(std::string::npos,
              locked.value.get<std::string>().find(
                  "uma tabela ficou bloqueada por outra sessão do banco de dados além do tempo "
                  "limite (lock_timeout); tente de novo em instantes"))
        << locked.value;
  }
  ServerProcess server(db);
  server.Start();
  ASSERT_EQ(200, Rpc(server.Port(), key, "GetContaCorrente", account).status);
  struct Thaw {
    PgCluster& cluster;
    ~Thaw() { cluster.Freeze(false); }
  } thaw{cluster};
  cluster.Freeze(true);
  EXPECT_EQ(200, GetStatus(server.Port(), key, "/"));
  // A call that needs no database is still answered by a worker.
  EXPECT_EQ("Método \"NaoExiste\" desconhecido no módulo kvr61400.rdmImportOFX.",
            Rpc(server.Port(), key, "NaoExiste", nlohmann::json::array()).value);
  EndsSoonAfterSigterm(server);
}

}  // namespace
}  // namespace kvr
