// The server process against crowds, slow bodies, ambiguous heads and
// guessed secrets, over raw sockets on 127.0.0.1 (and 127.0.0.2 as a second
// client address). Every loop is bounded in count and time.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "raw_client.h"
#include "server_process.h"
#include "temp_dir.h"

namespace kvr {
namespace {

using Clock = std::chrono::steady_clock;
using testing::CommandResult;
using testing::RunServerCommand;
using testing::ServerProcess;

const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

const std::string kCall =
    R"({"jsonrpc":"2.0","id":7,"method":"GetContaCorrente","params":["237","55"]})";

using Client = testing::RawClient;

std::string Post(const std::string& body, const std::string& headers = "") {
  return "POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
         headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The status of the first answer in reply (0 when none).
int Status(const std::string& reply) {
  return reply.rfind("HTTP/1.", 0) == 0 && reply.size() > 12 ? std::stoi(reply.substr(9, 3)) : 0;
}

// The JSON-RPC error message of an answer, or "" when it has none.
std::string ErrorText(const std::string& reply) {
  const size_t body = reply.find("\r\n\r\n");
  if (body == std::string::npos) return "";
  nlohmann::json answer = nlohmann::json::parse(reply.substr(body + 4), nullptr, false);
  return answer.is_object() && answer.contains("error") ? answer["error"]["message"] : "";
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommandResult added =
        RunServerCommand({"conta", "add", "--codigo", "003", "--banco", "237", "--agencia", "1",
                          "--conta", "55", "--tipo", "C", "--db", db_});
    ASSERT_EQ(0, added.code) << added.err;
  }
  std::unique_ptr<ServerProcess> Start(std::vector<std::string> extra = {}) {
    auto server = std::make_unique<ServerProcess>(db_, std::move(extra));
    server->Start();
    return server;
  }
  // A file holding text with the given permissions.
  std::string Secret(const std::string& name, const std::string& text, mode_t mode = 0600) {
    const std::string path = dir_.File(name);
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }

  testing::TempDir dir_;
  std::string db_ = dir_.File("guard.db");
};

TEST_F(GuardTest, AmbiguousHeadsAreRefusedAndWhatFollowsIsNeverServed) {
  auto server = Start();
  const std::string head = "POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\n";
  const std::string length = "Content-Length: " + std::to_string(kCall.size()) + "\r\n";
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  const std::string chunks = "4a\r\n" + kCall + "\r\n0\r\n\r\n";
  // Each shape is followed by a second request a server reading it the
  // other way would answer.
  const std::string smuggled = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string bad_name =
      "Requisição recusada: nome de cabeçalho com espaço ou caractere inválido, ou linha de "
      "cabeçalho dobrada; envie cada cabeçalho numa linha \"Nome: valor\", sem espaço antes dos "
      "dois-pontos.";
  const std::string bad_value =
      "Requisição recusada: valor de cabeçalho com caractere de controle (CR solto, por "
      "exemplo); termine cada linha com CRLF e envie só texto nos valores.";
  const std::string bad_chunk =
      "Requisição recusada: corpo em pedaços (chunked) malformado; envie cada pedaço como tamanho "
      "em hexadecimal, CRLF, os bytes e CRLF, e termine com \"0\", CRLF e CRLF.";
  struct Case {
    const char* what;
    std::string bytes;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"length and chunked", head + length + chunked + "\r\n" + chunks, 400,
       "Requisição recusada: Content-Length e Transfer-Encoding juntos tornam o fim do corpo "
       "ambíguo; envie só um dos dois."},
      {"two lengths", head + length + "Content-Length: 5\r\n\r\n" + kCall, 400,
       "Requisição recusada: Content-Length repetido com valores diferentes; envie um só."},
      {"no host", "POST /kvr61400.rdmImportOFX HTTP/1.1\r\n" + length + "\r\n" + kCall, 400,
       "Requisição recusada: falta o cabeçalho Host, obrigatório em HTTP/1.1."},
      {"two hosts", head + "Host: y\r\n" + length + "\r\n" + kCall, 400,
       "Requisição recusada: o cabeçalho Host aparece mais de uma vez; envie um só."},
      {"two keys", head + "Authorization: Bearer um\r\nAuthorization: Bearer dois\r\n" + length +
           "\r\n" + kCall,
       400, "Requisição recusada: o cabeçalho Authorization aparece mais de uma vez; envie um só."},
      {"chunked in HTTP/1.0",
       "POST /kvr61400.rdmImportOFX HTTP/1.0\r\n" + chunked + "\r\n" + chunks, 400,
       "Requisição recusada: Transfer-Encoding não existe em HTTP/1.0; envie Content-Length."},
      {"unknown coding", head + "Transfer-Encoding: xchunked\r\n\r\n" + chunks, 501,
       "Transfer-Encoding \"xchunked\" não suportado; envie o corpo com Content-Length ou "
       "Transfer-Encoding: chunked."},
      {"chunked after another coding", head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunks,
       501,
       "Transfer-Encoding \"gzip, chunked\" não suportado; envie o corpo com Content-Length ou "
       "Transfer-Encoding: chunked."},
      {"blank before the colon", head + "Content-Length : 5\r\n" + length + "\r\n" + kCall, 400,
       bad_name},
      {"line folded right after the request line",
       "POST /kvr61400.rdmImportOFX HTTP/1.1\r\n Content-Length: 5\r\nHost: x\r\n" + length +
           "\r\n" + kCall,
       400, bad_name},
      {"bare CR inside a line", head + "X-A: a\rContent-Length: 5\r\n" + length + "\r\n" + kCall,
       400, bad_value},
      {"escape in a value", head + "X-A: a\x1b[2J\r\n" + length + "\r\n" + kCall, 400, bad_value},
      {"NUL in a value", head + std::string("X-A: a\0b\r\n", 10) + length + "\r\n" + kCall, 400,
       bad_value},
      {"line folded onto a header", head + "X-A: a\r\n b\r\n" + length + "\r\n" + kCall, 400,
       bad_name},
      {"bare LF line ends",
       "POST /kvr61400.rdmImportOFX HTTP/1.1\nHost: x\nContent-Length: " +
           std::to_string(kCall.size()) + "\n\n" + kCall,
       400,
       "Requisição recusada: linha do cabeçalho terminada só com LF; termine cada linha com "
       "CRLF."},
      {"chunk longer than its size", head + chunked + "\r\n4b\r\n" + kCall + "\r\n0\r\n\r\n",
       400, bad_chunk},
      {"chunk size past 64 bits",
       head + chunked + "\r\n1000000000000000004a\r\n" + kCall + "\r\n0\r\n\r\n", 400, bad_chunk},
      {"NUL in the target",
       std::string("POST /kvr61400.rdm\0ImportOFX HTTP/1.1\r\nHost: x\r\n", 48) + length +
           "\r\n" + kCall,
       400,
       "Requisição recusada: linha de requisição inválida; envie \"MÉTODO /caminho HTTP/1.1\", "
       "separados por um espaço, sem caracteres de controle."},
  };
  for (const Case& c : cases) {
    Client client(server->Port());
    ASSERT_TRUE(client.Send(c.bytes + smuggled)) << c.what;
    const std::string reply = client.Read(5);
    EXPECT_EQ(c.status, Status(reply)) << c.what;
    EXPECT_EQ(c.text, ErrorText(reply)) << c.what;
    EXPECT_EQ(1, Count(reply, "HTTP/1.1 ")) << c.what << ": " << reply;
    EXPECT_TRUE(client.Closed()) << c.what;
  }
  // The same shapes as the second request of a kept-alive connection: the
  // first is served, the second refused, the third never read.
  for (const Case& c : cases) {
    Client client(server->Port());
    ASSERT_TRUE(client.Send(head + length + "\r\n" + kCall + c.bytes + smuggled)) << c.what;
    const std::string reply = client.Read(5);
    EXPECT_EQ(200, Status(reply)) << c.what;
    EXPECT_EQ(1, Count(reply, "HTTP/1.1 " + std::to_string(c.status))) << c.what << ": " << reply;
    EXPECT_EQ(2, Count(reply, "HTTP/1.1 ")) << c.what << ": " << reply;
    EXPECT_TRUE(client.Closed()) << c.what;
  }
  // A refusal after a HEAD of the same connection still carries its body.
  for (const Case& c : cases) {
    Client client(server->Port());
    ASSERT_TRUE(client.Send("HEAD / HTTP/1.1\r\nHost: x\r\n\r\n" + c.bytes)) << c.what;
    const std::string reply = client.Read(5);
    EXPECT_EQ(c.text, ErrorText(reply.substr(reply.rfind("HTTP/1.1 ")))) << c.what << ": " << reply;
    EXPECT_TRUE(client.Closed()) << c.what;
  }
  // The framings that are sound are served, the request after them too.
  const Case served[] = {
      {"one length", head + length + "\r\n" + kCall, 200, ""},
      {"the same length twice", head + length + length + "\r\n" + kCall, 200, ""},
      {"chunked", head + chunked + "\r\n" + chunks, 200, ""},
  };
  for (const Case& c : served) {
    Client client(server->Port());
    ASSERT_TRUE(client.Send(c.bytes + "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    const std::string reply = client.Read(5);
    EXPECT_EQ(200, Status(reply)) << c.what;
    EXPECT_NE(std::string::npos, reply.find("\"003\"")) << c.what;
    EXPECT_EQ(2, Count(reply, "HTTP/1.1 200")) << c.what;
  }
  // "close" on a later Connection line closes as on the first.
  Client closing(server->Port());
  ASSERT_TRUE(closing.Send(head + "Connection: keep-alive\r\nConnection: close\r\n" + length +
                           "\r\n" + kCall + smuggled));
  const std::string closed = closing.Read(5);
  EXPECT_EQ(1, Count(closed, "HTTP/1.1 ")) << closed;
  EXPECT_NE(std::string::npos, closed.find("Connection: close\r\n")) << closed;
  EXPECT_TRUE(closing.Closed());
  // HTTP/1.0 needs no Host.
  Client old(server->Port());
  ASSERT_TRUE(old.Send("POST /kvr61400.rdmImportOFX HTTP/1.0\r\n" + length + "\r\n" + kCall));
  EXPECT_EQ(200, Status(old.Read(5)));
}

TEST_F(GuardTest, IdleConnectionsPastTheLimitMakeRoomAndGoAtTheirTimeout) {
  auto server = Start({"--max-connections", "8", "--timeout", "2"});
  // A request under way: its head and half its body.
  Client busy(server->Port());
  const std::string whole = Post(kCall);
  ASSERT_TRUE(busy.Send(whole.substr(0, whole.size() - 30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Twenty connections that send nothing, one after the other.
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(std::make_unique<Client>(server->Port()));
    ASSERT_TRUE(idle.back()->Open()) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A call still gets in and is answered.
  Client call(server->Port());
  ASSERT_TRUE(call.Send(Post(kCall)));
  const std::string answer = call.Read(5);
  EXPECT_EQ(200, Status(answer));
  // The busy one was never cut for them (its body ends before its own limit,
  // T from its start).
  ASSERT_TRUE(busy.Send(whole.substr(whole.size() - 30)));
  EXPECT_EQ(200, Status(busy.Read(5)));
  // Room was made by closing the idle ones that came first: 8 slots hold the
  // busy one, the call and the 6 newest idle ones.
  std::vector<int> closed;
  for (int i = 0; i < 20; ++i) {
    idle[i]->Read(0.2);
    if (idle[i]->Closed()) closed.push_back(i);
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), closed);
  // Without a request head, the rest go once the timeout (2 s) passes.
  int gone = 0;
  for (int i = 14; i < 20; ++i) {
    idle[i]->Read(6);
    gone += idle[i]->Closed() ? 1 : 0;
  }
  EXPECT_EQ(6, gone);
}

TEST_F(GuardTest, ABodySlowerThanTheFloorIsCutWhileAFastOneIsServed) {
  auto server = Start({"--timeout", "1"});
  // 8 KiB/s against a floor of 64 KiB/s, judged over 10 s after the first
  // second: cut at about 11 s.
  std::string trickled_reply;
  std::thread trickle([&] {
    Client client(server->Port());
    if (!client.Send("POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\nContent-Length: "
                     "10000000\r\n\r\n{"))
      return;
    const auto give_up = Clock::now() + std::chrono::seconds(25);
    while (Clock::now() < give_up && !client.Closed()) {
      if (!client.Send(std::string(4096, ' '))) break;
      trickled_reply += client.Read(0.5);
    }
    trickled_reply += client.Read(1);
  });
  // 1.2 MB at about 100 KiB/s over 12 s: above the floor, answered.
  std::string body = R"({"jsonrpc":"2.0","id":1,"method":"GetContaCorrente","params":["237","55"],"x":[)";
  while (body.size() < 1'200'000) body += "0,";
  body += "0]}";
  Client fast(server->Port());
  const std::string request = Post(body);
  for (size_t sent = 0; sent < request.size(); sent += 25 * 1024) {
    ASSERT_TRUE(fast.Send(request.substr(sent, 25 * 1024)));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  const std::string fast_reply = fast.Read(10);
  trickle.join();
  EXPECT_EQ(200, Status(fast_reply)) << fast_reply.substr(0, 200);
  EXPECT_EQ(408, Status(trickled_reply)) << trickled_reply.substr(0, 200);
  EXPECT_EQ("Requisição encerrada: o corpo chegou a menos de 64 KiB/s; confira a rede e envie de "
            "novo.",
            ErrorText(trickled_reply));
  const auto log = server->LogWhen([](const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("(408)") != std::string::npos;
    });
  });
  EXPECT_EQ(1, std::count_if(log.begin(), log.end(), [](const std::string& line) {
              return line.find("POST /kvr61400.rdmImportOFX: corpo a menos de 64 KiB/s; conexão "
                               "encerrada (408).") != std::string::npos;
            }));
}

TEST_F(GuardTest, BodiesBeyondTheMemoryBudgetWaitAndAreAllAnswered) {
  auto server = Start({"--max-memory", "16", "--timeout", "2"});
  const std::string no_memory =
      "O servidor está sem memória livre para esta requisição (limite de 16 MiB em "
      "--max-memory); tente de novo em instantes.";
  // Six bodies of 2 MB at once: each takes 6 MB with its rows, two fit.
  std::string body = R"({"jsonrpc":"2.0","id":1,"method":"GetContaCorrente","params":["237","55"],"x":[)";
  while (body.size() < 2'000'000) body += "0,";
  body += "0]}";
  std::vector<std::string> replies(6);
  std::vector<std::thread> senders;
  for (int i = 0; i < 6; ++i)
    senders.emplace_back([&, i] {
      Client client(server->Port());
      if (client.Send(Post(body))) replies[i] = client.Read(20);
    });
  for (std::thread& sender : senders) sender.join();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(200, Status(replies[i])) << i << replies[i].substr(0, 300);
  // One that could never fit is answered at once.
  Client huge(server->Port());
  ASSERT_TRUE(huge.Send("POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\nContent-Length: "
                        "8000000\r\n\r\n"));
  const std::string refused = huge.Read(5);
  EXPECT_EQ(503, Status(refused));
  EXPECT_EQ(no_memory, ErrorText(refused));
  // A chunked body (the client streams its calls so) that outgrows the
  // budget as it comes is read to its end and answered, not cut.
  Client streamed(server->Port());
  ASSERT_TRUE(streamed.Send("POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\n"
                            "Transfer-Encoding: chunked\r\n\r\n"));
  for (int i = 0; i < 4; ++i) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", body.size());
    ASSERT_TRUE(streamed.Send(size + body + "\r\n")) << i;
  }
  ASSERT_TRUE(streamed.Send("0\r\n\r\n"));
  const std::string outgrown = streamed.Read(10);
  EXPECT_EQ(503, Status(outgrown));
  EXPECT_EQ(no_memory, ErrorText(outgrown));
  // A body that holds 16.5 MB of the 16.8 (kept alive a byte at a time)
  // makes the next one (600 kB with its rows) wait its timeout (2 s), then
  // 503; once the first goes, room is back.
  Client holder(server->Port());
  ASSERT_TRUE(holder.Send("POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\nContent-Length: "
                          "5500000\r\n\r\n{"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string next = body.substr(0, 200'000) + (body[199'999] == ',' ? "0]}" : ",0]}");
  Client waiter(server->Port());
  const auto start = Clock::now();
  ASSERT_TRUE(waiter.Send(Post(next)));
  std::string waited;
  while (Clock::now() - start < std::chrono::seconds(8) && !waiter.Closed()) {
    holder.Send(" ");
    waited += waiter.Read(0.5);
  }
  EXPECT_EQ(503, Status(waited));
  EXPECT_EQ(no_memory, ErrorText(waited));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1900));
  holder.Send("x");  // not JSON: the holder's answer ends it
  holder.Read(5);
  Client after(server->Port());
  ASSERT_TRUE(after.Send(Post(next)));
  EXPECT_EQ(200, Status(after.Read(5)));
}

// Behind one address (loopback, a proxy) a guesser must not lock the clerks
// out: ten wrong keys block wrong and missing keys from that address alone,
// and a right key still passes; with the shared secret and with a clerk's key.
TEST_F(GuardTest, TenWrongKeysBlockWrongKeysFromTheirAddressAloneForAMinute) {
  const std::string secret = "um-segredo-de-teste-longo";
  CommandResult added = RunServerCommand({"usuario", "add", "ana", "--db", db_});
  ASSERT_EQ(0, added.code) << added.err;
  const std::string clerk = added.out.substr(0, added.out.find('\n'));
  auto server = Start({"--token-file", Secret("segredo", secret + "\n")});
  auto ask = [&](const char* source, const std::string& key) {
    Client client(server->Port(), source);
    const std::string header = key.empty() ? "" : "Authorization: Bearer " + key + "\r\n";
    if (!client.Open() || !client.Send(Post(kCall, header))) return std::string("sem conexão");
    return client.Read(5);
  };
  for (int i = 0; i < 10; ++i) EXPECT_EQ(401, Status(ask("127.0.0.1", "errado"))) << i;
  const std::string blocked = ask("127.0.0.1", "errado");
  EXPECT_EQ(429, Status(blocked));
  EXPECT_NE(std::string::npos, blocked.find("Retry-After: 60\r\n"));
  EXPECT_EQ("Muitos segredos errados a partir de 127.0.0.1; tente de novo em 60 segundos.",
            ErrorText(blocked));
  EXPECT_EQ(429, Status(ask("127.0.0.1", "")));
  EXPECT_EQ(429, Status(ask("127.0.0.1", "outro-errado")));
  EXPECT_EQ(200, Status(ask("127.0.0.1", secret)));
  EXPECT_EQ(200, Status(ask("127.0.0.1", clerk)));
  // Another address is not affected.
  EXPECT_EQ(200, Status(ask("127.0.0.2", clerk)));
  EXPECT_EQ(401, Status(ask("127.0.0.2", "errado")));
  auto blocks = [](const std::vector<std::string>& lines) {
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("bloqueado") != std::string::npos;
    });
  };
  const auto log = server->LogWhen([&](const std::vector<std::string>& lines) {
    return blocks(lines) > 0;
  });
  EXPECT_EQ(1, blocks(log));
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(),
                                 "kvr61400-server: 127.0.0.1 bloqueado por 60 segundos: 10 "
                                 "segredos errados em 60 segundos."));
}

TEST_F(GuardTest, SecretFilesMustBePrivateSmallAndLongEnough) {
  const std::string open_file = Secret("aberto", "um-segredo-de-teste-longo\n", 0644);
  const std::string group_file = Secret("grupo", "um-segredo-de-teste-longo\n", 0640);
  const std::string big = Secret("grande", "um-segredo-de-teste-longo\n" + std::string(5000, '#'));
  const std::string short_one = Secret("curto", "quinze-letras-a\n");
  struct Case {
    std::string path;
    std::string err;
  };
  const Case cases[] = {
      {open_file, "o arquivo de segredo \"" + open_file +
                      "\" pode ser acessado por outros usuários (permissões 0644); restrinja-o ao "
                      "dono com chmod 600 \"" + open_file + "\"."},
      {group_file, "o arquivo de segredo \"" + group_file +
                       "\" pode ser acessado por outros usuários (permissões 0640); restrinja-o "
                       "ao dono com chmod 600 \"" + group_file + "\"."},
      {dir_.File("."), "o arquivo de segredo \"" + dir_.File(".") +
                           "\" não é um arquivo comum; grave-o em um arquivo comum e dê-lhe chmod "
                        "600."},
      {"/dev/zero", "o arquivo de segredo \"/dev/zero\" não é um arquivo comum; grave-o em um "
                    "arquivo comum e dê-lhe chmod 600."},
      {big, "o arquivo de segredo \"" + big +
                "\" tem 5026 bytes, mais que o limite de 4 KiB; confira se é o arquivo certo."},
      {short_one, "o segredo de \"" + short_one +
                      "\" tem 15 caracteres; use ao menos 16 (gere um com: umask 077; openssl "
                      "rand -hex 24 > \"" + short_one + "\")."},
  };
  for (const Case& c : cases) {
    CommandResult result = RunServerCommand({"serve", "--db", db_, "--listen", "127.0.0.1:0",
                                             "--token-file", c.path});
    EXPECT_EQ(1, result.code) << c.path;
    EXPECT_EQ("kvr61400-server: " + c.err + "\n", result.err) << c.path;
  }
  // Sixteen characters in a private file serve.
  auto server = Start({"--token-file", Secret("certo", "dezesseis-letras\n")});
  Client client(server->Port());
  ASSERT_TRUE(client.Send(Post(kCall, "Authorization: Bearer dezesseis-letras\r\n")));
  EXPECT_EQ(200, Status(client.Read(5)));
}

}  // namespace
}  // namespace kvr
