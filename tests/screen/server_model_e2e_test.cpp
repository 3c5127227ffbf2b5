// The import screen's model against a real kvr61400-server on 127.0.0.1 (free
// port, fresh SQLite file), stored rows checked through the server's own
// listing. The command line against the server: tests/cli.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../server/server_process.h"
#include "screen_fixture.h"

namespace kvr::testing {
namespace {

class ServerEndToEnd : public ScreenTest {
 protected:
  void SetUp() override {
    ScreenTest::SetUp();
    SetImportOFXTransportFactory(nullptr);  // the real HTTP transport
    db_ = WriteFile("db.sqlite", "");
    std::remove(db_.c_str());
    AddAccount("001", "C");
    AddAccount("002", "L");
    server_ = std::make_unique<ServerProcess>(db_);
    server_->Start();
    host.url = "127.0.0.1";
    host.port = server_->Port();
  }
  void TearDown() override {
    server_.reset();
    ScreenTest::TearDown();
  }

  // An account of bank 341, agency 1234, number 123456, of kind C or L.
  void AddAccount(const std::string& code, const std::string& kind) {
    const CommandResult r = RunServerCommand({"conta", "add", "--db", db_, "--codigo", code,
                                              "--banco", "341", "--agencia", "1234", "--conta",
                                              "123456", "--tipo", kind, "--mascara", "99999-9"});
    ASSERT_EQ(r.code, 0) << r.err;
  }

  std::string db_;
  std::unique_ptr<ServerProcess> server_;
};

std::string Example(const std::string& name) {
  return std::string(KVR_EXAMPLES_DIR) + "/" + name;
}

TEST_F(ServerEndToEnd, ModelLoadsConfirmsAndTheSecondConfirmationIsAlreadyRecorded) {
  ASSERT_EQ(Load(Example("extrato-341.ofx")), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(f.edtConta->Text(), "12345-6");
  EXPECT_EQ(f.cbTipoConta->Items.Strings(),
            (std::vector<std::string>{"Circulante", "Aplica\xE7\xE3o"}));
  f.cbTipoConta->UserSelect(1);
  ASSERT_EQ(Confirm(), "");
  EXPECT_EQ(host.messages, (std::vector<std::string>{"Arquivo importado com sucesso."}));

  nlohmann::json list = StoredStatements(db_);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["CDREDUCONT"], "002");
  EXPECT_EQ(list[0]["MOVIMENTOS"], 8);
  EXPECT_EQ(list[0]["DTSALDINIC"], "2024-01-01T00:00:00");
  EXPECT_EQ(list[0]["VRSALDFIM"], 3203.5);
  nlohmann::json shown = StoredStatement(
      db_, list[0]["CDSEQUEXTR"].is_string() ? std::stoi(list[0]["CDSEQUEXTR"].get<std::string>())
                                             : list[0]["CDSEQUEXTR"].get<int>());
  ASSERT_EQ(shown["MOVIMENTOS"].size(), 8u);
  double credits = 0, debits = 0;
  for (const auto& m : shown["MOVIMENTOS"]) {
    EXPECT_EQ(m["CDREDUCONT"], "002");
    (m["IDMOVREAL"] == "C" ? credits : debits) += m["VRMOVREAL"].get<double>();
  }
  EXPECT_DOUBLE_EQ(credits, 3700.75);
  EXPECT_DOUBLE_EQ(debits, 1997.25);

  EXPECT_EQ(Confirm(), "abort");
  EXPECT_EQ(host.errors,
            (std::vector<std::string>{"Arquivo de movimenta\xE7\xE3o banc\xE1ria j\xE1 cadastrado."}));
  EXPECT_EQ(StoredStatements(db_).size(), 1u);
}

}  // namespace
}  // namespace kvr::testing
