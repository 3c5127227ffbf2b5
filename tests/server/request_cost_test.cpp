// What a request may cost the server process: hostile bodies against
// --max-memory with the peak resident memory read from /proc, a key whose
// requests wait for memory against the other clerks, and gzip stores that
// must share the budget. Each server runs under an address-space limit, on
// 127.0.0.1 (and 127.0.0.2 as a second client address); every wait is
// bounded and waits on what the server logs or answers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "packets.h"
#include "raw_client.h"
#include "server_process.h"
#include "temp_dir.h"

namespace kvr {
namespace {

using Clock = std::chrono::steady_clock;
using testing::CommandResult;
using testing::RawClient;
using testing::RunServerCommand;
using testing::ServerProcess;

const bool kIgnoreBrokenPipes = (signal(SIGPIPE, SIG_IGN), true);

constexpr size_t kMiB = 1024 * 1024;
// Room enough for the server's own threads, libraries and allocator, far
// below what the bodies below cost a server that does not count them.
constexpr size_t kAddressSpace = 1536 * kMiB;

std::string Gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Post(const std::string& body, const std::string& headers = "") {
  return "POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
         headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

int Status(const std::string& reply) {
  return reply.rfind("HTTP/1.", 0) == 0 && reply.size() > 12 ? std::stoi(reply.substr(9, 3)) : 0;
}

// The JSON-RPC answer of a reply (discarded when it has none).
nlohmann::json Answer(const std::string& reply) {
  const size_t body = reply.find("\r\n\r\n");
  if (body == std::string::npos) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(reply.substr(body + 4), nullptr, false);
}

std::string ErrorText(const std::string& reply) {
  const nlohmann::json answer = Answer(reply);
  return answer.is_object() && answer.contains("error") ? answer["error"].value("message", "")
                                                        : "";
}

// A call of method whose params are items, items.size() of them.
std::string Call(const std::string& method, const std::string& items) {
  return R"({"jsonrpc":"2.0","id":1,"method":")" + method + R"(","params":[)" + items + "]}";
}

// count copies of item joined by commas.
std::string Repeat(const std::string& item, size_t count) {
  std::string out;
  out.reserve((item.size() + 1) * count);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += item;
  }
  return out;
}

size_t Lines(const std::vector<std::string>& log, const std::string& part) {
  return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
    return line.find(part) != std::string::npos;
  }));
}

const std::string kWaiting = "aguardando memória livre.";
const std::string kNoRoomNow =
    "O servidor está sem memória livre para esta requisição agora; tente de novo em instantes.";

std::string NoMemory(int mib) {
  return "O servidor está sem memória livre para esta requisição (limite de " +
         std::to_string(mib) + " MiB em --max-memory); tente de novo em instantes.";
}

class RequestCostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::vector<std::string>& account :
         {std::vector<std::string>{"003", "237", "1", "55"},
          std::vector<std::string>{"001", "341", "1234", "123456"}}) {
      CommandResult added =
          RunServerCommand({"conta", "add", "--codigo", account[0], "--banco", account[1],
                            "--agencia", account[2], "--conta", account[3], "--tipo", "C", "--db",
                            db_});
      ASSERT_EQ(0, added.code) << added.err;
    }
  }
  std::unique_ptr<ServerProcess> Start(std::vector<std::string> extra) {
    auto server = std::make_unique<ServerProcess>(db_, std::move(extra));
    server->LimitAddressSpace(kAddressSpace);
    server->Start();
    return server;
  }
  // A clerk's key, as usuario add prints it.
  std::string AddClerk(const std::string& name) {
    CommandResult added = RunServerCommand({"usuario", "add", name, "--db", db_});
    EXPECT_EQ(0, added.code) << added.err;
    return added.out.substr(0, added.out.find('\n'));
  }

  testing::TempDir dir_;
  std::string db_ = dir_.File("custo.db");
};

TEST_F(RequestCostTest, HostileBodiesCostNoMoreThanTheMemoryBudget) {
  constexpr int kBudget = 64;
  auto server = Start({"--max-memory", std::to_string(kBudget)});
  const size_t before = server->PeakResident();
  ASSERT_GT(before, 0u);

  // Under AddressSanitizer (where the peak is not judged) the bodies that
  // fit are smaller, so that the test stays within its time.
  const size_t n = testing::kSanitized ? 4 : 1;
  const std::string header = testing::Header().dump();
  const std::string movements = testing::Movements({}).dump();
  // Rows of eight values before the columns they belong to: held as they
  // came until the columns are known, far more than their bytes.
  auto rows_first = [&](size_t count) {
    return R"({"rows":[)" + Repeat("[0,1,2,3,4,5,6,7]", count) +
           R"(],"fields":)" + testing::HeaderFields().dump() + "}";
  };
  std::string lying = Gzip(Call("ValidExtrato", rows_first(900'000 / n) + "," + movements));
  // Its trailer says it inflates to 1 KiB.
  lying.replace(lying.size() - 4, 4, std::string("\x00\x04\x00\x00", 4));
  const std::string many_rows = testing::ManyMovements(80'000 / static_cast<int>(n)).dump();
  const std::string too_many_rows =
      R"({"fields":)" + testing::MovementFields().dump() + R"(,"rows":[)" +
      Repeat(R"(["001",null,null,"1","2024-01-05T00:00:00","D",10,"Pagamento","0",null,"0","0","F1"])",
             400'000) +
      "]}";
  // How a body goes: as it is, compressed here, or already gzip.
  enum Form { kPlain, kCompress, kGzip };
  struct Case {
    const char* what;
    std::string body;
    Form form;
    int status;
    std::string error;  // the JSON-RPC error message ("" when the call answers)
  };
  const Case cases[] = {
      {"eight million tiny params", Call("SetExtratoBancario", Repeat("0", 8'000'000 / n)), kPlain,
       200, "SetExtratoBancario espera 3 parâmetros; recebeu " + std::to_string(8'000'000 / n) + "."},
      {"twelve million tiny params, gzip",
       Call("SetExtratoBancario", Repeat("0", 12'000'000 / n)), kCompress, 200,
       "SetExtratoBancario espera 3 parâmetros; recebeu " + std::to_string(12'000'000 / n) + "."},
      {"params before the method",
       R"({"jsonrpc":"2.0","id":1,"params":[)" + Repeat("0", 8'000'000 / n) +
           R"(],"method":"GetUsuario"})",
       kPlain, 200, "GetUsuario não tem parâmetros."},
      {"a gzip body that inflates past the budget",
       Call("SetExtratoBancario", Repeat("0", 20'000'000)), kCompress, 503, NoMemory(kBudget)},
      {"deep lists as params",
       Call("GetContinuidade", Repeat(std::string(60, '[') + "0" + std::string(60, ']'), 120'000 / n)),
       kPlain, 200,
       "GetContinuidade espera 1 parâmetro: o código da conta corrente (texto; vazio para "
       "todas)."},
      {"deep lists in one param",
       Call("GetContinuidade", "[" + Repeat(std::string(60, '[') + "0" + std::string(60, ']'),
                                            120'000 / n) + "]"),
       kPlain, 200,
       "GetContinuidade espera 1 parâmetro: o código da conta corrente (texto; vazio para "
       "todas)."},
      {"long texts", Call("GetContaCorrente", Repeat("\"" + std::string(kMiB - 64, 'a') + "\"", 15)),
       kPlain, 200, "GetContaCorrente espera 2 parâmetros; recebeu 15."},
      {"rows before their columns",
       Call("ValidExtrato", rows_first(900'000 / n) + "," + movements),
       kPlain, 503, kNoRoomNow},
      {"rows before their columns, gzip that lies about its size", lying, kGzip, 503, kNoRoomNow},
      {"eighty thousand movements", Call("ValidExtrato", header + "," + many_rows), kPlain, 200,
       ""},
      {"movements that inflate past the budget", Call("ValidExtrato", header + "," + too_many_rows),
       kCompress, 503, NoMemory(kBudget)},
  };
  for (const Case& c : cases) {
    const std::string body = c.form == kCompress ? Gzip(c.body) : c.body;
    RawClient client(server->Port());
    ASSERT_TRUE(client.Send(Post(body, c.form != kPlain ? "Content-Encoding: gzip\r\n" : "")))
        << c.what;
    const std::string reply = client.Read(120);
    EXPECT_EQ(c.status, Status(reply)) << c.what << ": " << reply.substr(0, 300);
    EXPECT_EQ(c.error, ErrorText(reply)) << c.what;
    if (c.error.empty()) {
      EXPECT_EQ(true, Answer(reply).value("result", false)) << c.what;
    }
    // What the body cost the server: never more than the budget, its
    // allocator's slack and the reader's window besides.
    if (!testing::kSanitized) {
      EXPECT_LT(server->PeakResident(), before + (kBudget + 32) * kMiB)
          << c.what << ": " << server->PeakResident() / kMiB << " MiB at its peak";
    }
  }
  // Still serving, and it stops at once.
  RawClient after(server->Port());
  ASSERT_TRUE(after.Send(Post(Call("GetContaCorrente", R"("237","55")"))));
  EXPECT_EQ(200, Status(after.Read(10)));
  server->Signal(SIGTERM);
  EXPECT_EQ(0, server->Wait());
}

TEST_F(RequestCostTest, AKeyWhoseRequestsWaitForMemoryCannotLockTheOthersOut) {
  const std::string ana = AddClerk("ana");
  const std::string bia = AddClerk("bia");
  // 16 MiB: a body of 5 MiB takes 15 with its rows, so one of ana's fits
  // and the others wait; 8 connections in all.
  auto server = Start({"--max-memory", "16", "--max-connections", "8"});
  const std::string hostile = "POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\n"
                              "Authorization: Bearer " + ana + "\r\nContent-Length: " +
                              std::to_string(5 * kMiB) + "\r\n\r\n{";
  std::vector<std::unique_ptr<RawClient>> heads;
  for (int i = 0; i < 8; ++i) {
    heads.push_back(std::make_unique<RawClient>(server->Port()));
    ASSERT_TRUE(heads.back()->Send(hostile)) << i;
  }
  // Half the workers' worth of ana's requests wait (4 of 8); the ones past
  // that are answered 503 at once.
  const auto log = server->LogWhen([](const std::vector<std::string>& lines) {
    return Lines(lines, kWaiting) >= 4 && Lines(lines, "deste endereço à espera") >= 3;
  });
  ASSERT_EQ(4u, Lines(log, kWaiting));
  ASSERT_EQ(3u, Lines(log, "Há requisições demais desta chave ou deste endereço à espera de "
                           "memória no servidor; tente de novo em instantes."));
  // bia, from both addresses, keeps three connections idle besides her
  // calls: the room each new one needs is made by closing an idle
  // connection or one of ana's waiting requests, never by refusing bia.
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<RawClient>(server->Port()));
  const std::string call = Post(Call("GetContaCorrente", R"("237","55")"),
                                "Authorization: Bearer " + bia + "\r\n");
  for (int i = 0; i < 30; ++i) {
    RawClient client(server->Port(), i % 3 == 2 ? "127.0.0.2" : "127.0.0.1");
    ASSERT_TRUE(client.Open()) << i;
    ASSERT_TRUE(client.Send(call)) << i;
    const std::string reply = client.Read(10);
    EXPECT_EQ(200, Status(reply)) << i << ": " << reply.substr(0, 300);
  }
  // A stop while ana's requests wait: each is answered, and the server ends.
  server->Signal(SIGTERM);
  const auto start = Clock::now();
  EXPECT_EQ(0, server->Wait());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
}

TEST_F(RequestCostTest, GzipStoresSentAtOnceTakeTurnsAndAllSucceed) {
  constexpr int kStores = 4;
  constexpr int kMovements = 60'000;
  std::vector<std::string> bodies;
  size_t most = 0;
  for (int i = 0; i < kStores; ++i) {
    const std::string year = std::to_string(2001 + i);
    const std::string call =
        nlohmann::json{{"jsonrpc", "2.0"},
                       {"id", i},
                       {"method", "SetExtratoBancario"},
                       {"params",
                        {testing::Header("001", year + "-01-01T00:00:00", year + "-01-31T00:00:00"),
                         testing::ManyMovements(kMovements, "001", "G" + year, year), true}}}
            .dump();
    bodies.push_back(Gzip(call));
    // What the server takes for it: the body, and twice what it inflates to.
    most = std::max(most, bodies.back().size() + 2 * call.size());
  }
  // Room for one store at a time, not two.
  const int budget = static_cast<int>(most * 3 / 2 / kMiB) + 1;
  ASSERT_GE(budget, 16);
  ASSERT_LT(static_cast<size_t>(budget) * kMiB, 2 * most);
  auto server = Start({"--max-memory", std::to_string(budget), "--timeout", "60"});
  std::vector<std::string> replies(kStores);
  std::vector<std::thread> clerks;
  for (int i = 0; i < kStores; ++i)
    clerks.emplace_back([&, i] {
      RawClient client(server->Port());
      if (client.Send(Post(bodies[i], "Content-Encoding: gzip\r\n"))) replies[i] = client.Read(180);
    });
  for (std::thread& clerk : clerks) clerk.join();
  for (int i = 0; i < kStores; ++i) {
    EXPECT_EQ(200, Status(replies[i])) << i << ": " << replies[i].substr(0, 300);
    EXPECT_EQ(true, Answer(replies[i]).value("result", false)) << i << ": " << replies[i];
  }
  // They did have to take turns.
  EXPECT_GE(Lines(server->Log(), kWaiting), 1u);
}

}  // namespace
}  // namespace kvr
