#include "rpc/import_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "module_calls.h"
#include "store/open_store.h"
#include "rpc/packet_reader.h"
#include "packets.h"
#include "pg_cluster.h"
#include "temp_dir.h"

namespace kvr::server {
namespace {

using kvr::testing::CallModule;
using kvr::testing::Header;
using kvr::testing::ManyMovements;
using kvr::testing::Mov;
using kvr::testing::Movements;
using kvr::testing::SetExtratoBancario;
using kvr::testing::ValidExtrato;

using kvr::testing::Engine;

// The module over a fresh database of each engine, with three accounts.
class ImportModuleTest : public ::testing::TestWithParam<Engine> {
 protected:
  ImportModuleTest()
      : store_(OpenStore(kvr::testing::NewDatabase(GetParam(), dir_.File("test.db")), true)),
        module_(*store_) {
    store_->AddAccount({"001", "341", "1234", "123456", "C", "99999-9"});
    store_->AddAccount({"002", "341", "1234", "123456", "L", "99999-9"});
    store_->AddAccount({"003", "1", "0001", "000789", "C", ""});
  }

  // The error message a call of ValidExtrato answers.
  std::string ValidExtratoError(const nlohmann::json& header, const nlohmann::json& movements) {
    try {
      ValidExtrato(module_, header, movements);
    } catch (const RpcError& error) {
      EXPECT_EQ(kRefused, error.Code());
      return error.what();
    }
    return "(sem erro)";
  }

  kvr::testing::TempDir dir_;
  std::unique_ptr<Store> store_;
  ImportModule module_;
};

std::vector<std::string> Codes(const nlohmann::json& packet) {
  std::vector<std::string> codes;
  for (const auto& row : packet["rows"]) codes.push_back(row[0].get<std::string>());
  return codes;
}

TEST_P(ImportModuleTest, GetContaCorrenteIgnoresLeadingZerosOnBothSides) {
  struct Case {
    std::string bank, number;
    std::vector<std::string> codes;
  };
  const Case cases[] = {
      {"341", "123456", {"001", "002"}},
      {"0341", "0123456", {"001", "002"}},
      {"001", "789", {"003"}},
      {"1", "00000789", {"003"}},
      {"341", "12345", {}},
      {"342", "123456", {}},
      {"", "", {}},
  };
  for (const Case& c : cases) {
    nlohmann::json packet = module_.GetContaCorrente(c.bank, c.number);
    EXPECT_EQ(c.codes, Codes(packet)) << c.bank << "/" << c.number;
  }
}

TEST_P(ImportModuleTest, GetContaCorrenteAnswersTheAccountLayout) {
  nlohmann::json packet = module_.GetContaCorrente("1", "789");
  EXPECT_EQ(R"([{"name":"CDREDUCONT","size":3,"type":"string"},{"name":"CDBANCO","size":3,"type":"string"},{"name":"CDAGENCIA","size":5,"type":"string"},{"name":"CDCONTCORR","size":10,"type":"string"},{"name":"CDPICTCONT","size":20,"type":"string"},{"name":"IDTIPOCCORR","size":20,"type":"string"}])",
            packet["fields"].dump());
  EXPECT_EQ(R"([["003","1","0001","000789","","C"]])", packet["rows"].dump());
}

TEST_P(ImportModuleTest, NewStatementIsValidAndStoredOnce) {
  nlohmann::json header = Header();
  nlohmann::json movements = Movements({Mov{}, Mov{.document = "2", .fitid = "F2"}});
  EXPECT_TRUE(ValidExtrato(module_, header, movements));
  EXPECT_TRUE(SetExtratoBancario(module_, header, movements, true));
  EXPECT_FALSE(ValidExtrato(module_, header, movements));
  EXPECT_FALSE(SetExtratoBancario(module_, header, movements, true));

  std::vector<StatementSummary> stored = store_->ListStatements();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(2, stored[0].movements);
  std::optional<StoredStatement> statement = store_->GetStatement(stored[0].seq);
  ASSERT_TRUE(statement.has_value());
  ASSERT_EQ(2u, statement->movements.size());
  EXPECT_EQ("2", CellText(statement->movements[1][ColumnIndex(MovExtrLayout(), "NRSEQMOVREAL")]));
  EXPECT_EQ("F2", CellText(statement->movements[1][ColumnIndex(MovExtrLayout(), "CDFITIDEXTR")]));
}

TEST_P(ImportModuleTest, WholeFitidsTellApartTransfersThatShareTheirFirstTenCharacters) {
  // Two R$ 3.000,00 transfers of one day whose FITIDs differ only after the
  // 10th character, in statements of consecutive periods.
  auto transfer = [](const std::string& whole) {
    return Mov{.value = 3000.0, .document = "", .date = "2023-03-31T00:00:00",
               .fitid = whole.substr(0, 10), .whole = whole};
  };
  const nlohmann::json first = Header("001", "2023-03-30T00:00:00", "2023-03-31T00:00:00");
  const nlohmann::json second = Header("001", "2023-03-31T00:00:00", "2023-04-01T00:00:00");
  const nlohmann::json third = Header("001", "2023-03-31T00:00:00", "2023-04-02T00:00:00");
  ASSERT_TRUE(SetExtratoBancario(module_, first, Movements({transfer("202303310772")}), true));
  EXPECT_TRUE(ValidExtrato(module_, second, Movements({transfer("202303310773")})));
  ASSERT_TRUE(SetExtratoBancario(module_, second, Movements({transfer("202303310773")}), true));
  EXPECT_FALSE(ValidExtrato(module_, third, Movements({transfer("202303310773")})));
  // A client without the column compares the first 10 characters.
  Mov older = transfer("202303310774");
  older.whole.reset();
  EXPECT_FALSE(ValidExtrato(module_, third, Movements({older})));

  std::optional<StoredStatement> stored = store_->GetStatement(store_->ListStatements()[1].seq);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ("2023033107", CellText(stored->movements[0][ColumnIndex(MovExtrLayout(), "CDFITIDEXTR")]));
  EXPECT_EQ("202303310773",
            CellText(stored->movements[0][ColumnIndex(MovExtrLayout(), "CDFITIDCOMPL")]));
}

TEST_P(ImportModuleTest, MovementsStoredWithoutTheWholeFitidCompareByItsFirstTenCharacters) {
  Mov older{.value = 3000.0, .date = "2023-03-31T00:00:00", .fitid = "2023033107"};
  ASSERT_TRUE(SetExtratoBancario(module_, Header("001", "2023-03-01T00:00:00", "2023-03-31T00:00:00"),
                                         Movements({older}), true));
  Mov newer = older;
  newer.whole = "202303310773";
  EXPECT_FALSE(ValidExtrato(module_, Header("001", "2023-03-31T00:00:00", "2023-04-01T00:00:00"),
                                    Movements({newer})));
}

TEST_P(ImportModuleTest, SetExtratoBancarioWithFalseStoresNothing) {
  EXPECT_FALSE(SetExtratoBancario(module_, Header(), Movements({Mov{}}), false));
  EXPECT_TRUE(store_->ListStatements().empty());
  EXPECT_TRUE(ValidExtrato(module_, Header(), Movements({Mov{}})));
}

TEST_P(ImportModuleTest, SamePeriodOfTheSameAccountIsRecorded) {
  ASSERT_TRUE(SetExtratoBancario(module_, Header(), Movements({Mov{}}), true));
  Mov other{.value = 99.0, .document = "X", .fitid = "OTHER"};
  EXPECT_FALSE(ValidExtrato(module_, Header(), Movements({other})));
  // Another period with other movements is new; so is the same period of
  // another account.
  EXPECT_TRUE(ValidExtrato(module_, Header("001", "2024-02-01T00:00:00", "2024-02-29T00:00:00"),
                                   Movements({other})));
  other.account = "002";
  EXPECT_TRUE(ValidExtrato(module_, Header("002"), Movements({other})));
}

TEST_P(ImportModuleTest, OneEqualMovementMakesTheStatementRecorded) {
  ASSERT_TRUE(SetExtratoBancario(module_, Header(), Movements({Mov{}}), true));
  const nlohmann::json february = Header("001", "2024-02-01T00:00:00", "2024-02-29T00:00:00");
  struct Case {
    const char* what;
    Mov movement;
    bool valid;
  };
  const Case cases[] = {
      {"equal on all five", Mov{}, false},
      {"only the memo differs", Mov{.memo = "Outro"}, false},
      {"only the sign differs", Mov{.sign = "C"}, false},
      {"value differs", Mov{.value = 10.01}, true},
      {"document differs", Mov{.document = "2"}, true},
      {"date differs", Mov{.date = "2024-01-06T00:00:00"}, true},
      {"FITID differs", Mov{.fitid = "F9"}, true},
      {"FITID differs in case", Mov{.fitid = "f1"}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.valid, ValidExtrato(module_, february, Movements({Mov{.fitid = "ZZ"}, c.movement})))
        << c.what;
  }
  // The same movement in another account is no repeat.
  EXPECT_TRUE(ValidExtrato(module_, Header("002", "2024-02-01T00:00:00", "2024-02-29T00:00:00"),
                                   Movements({Mov{.account = "002"}})));
}

TEST_P(ImportModuleTest, NullColumnsCompareEqualToNulls) {
  nlohmann::json movements = Movements({Mov{}});
  movements["rows"][0][3] = nullptr;   // NRDOCMOVREAL
  movements["rows"][0][12] = nullptr;  // CDFITIDEXTR
  ASSERT_TRUE(SetExtratoBancario(module_, Header(), movements, true));
  EXPECT_FALSE(
      ValidExtrato(module_, Header("001", "2024-03-01T00:00:00", "2024-03-31T00:00:00"), movements));
}

TEST_P(ImportModuleTest, RacingStoresOfOneStatementStoreItOnce) {
  const nlohmann::json header = Header();
  const nlohmann::json movements = ManyMovements(2000);
  std::atomic<int> stored{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&] {
      if (SetExtratoBancario(module_, header, movements, true)) ++stored;
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(1, stored.load());
  ASSERT_EQ(1u, store_->ListStatements().size());
  EXPECT_EQ(2000, store_->ListStatements()[0].movements);
}

TEST_P(ImportModuleTest, MalformedStatementsAreRefusedWithTheirReason) {
  nlohmann::json extra_column = Movements({Mov{}});
  extra_column["fields"].push_back({{"name", "EXTRA"}, {"type", "string"}});
  nlohmann::json missing_column = Header();
  missing_column["fields"].erase(7);
  for (auto& row : missing_column["rows"]) row.erase(7);
  nlohmann::json wrong_type = Movements({Mov{}});
  wrong_type["fields"][6]["type"] = "string";
  nlohmann::json short_row = Movements({Mov{}, Mov{}});
  short_row["rows"][1].erase(12);
  nlohmann::json number_as_text = Movements({Mov{}});
  number_as_text["rows"][0][6] = "10,00";
  nlohmann::json huge_number = Movements({Mov{}});
  huge_number["rows"][0][6] = std::numeric_limits<double>::infinity();
  nlohmann::json bad_date = Movements({Mov{.date = "2024-02-30T00:00:00"}});
  nlohmann::json two_headers = Header();
  two_headers["rows"].push_back(two_headers["rows"][0]);
  nlohmann::json no_date = Movements({Mov{}});
  no_date["rows"][0][4] = nullptr;

  struct Case {
    const char* what;
    nlohmann::json header, movements;
    std::string message;
  };
  const Case cases[] = {
      {"not a packet", nlohmann::json::array(), Movements({Mov{}}),
       "O pacote do cabeçalho do extrato não é um pacote de dados (objeto com \"fields\" e "
       "\"rows\")."},
      {"extra column", Header(), extra_column,
       "O pacote de movimentos tem a coluna desconhecida \"EXTRA\"."},
      {"missing column", missing_column, Movements({Mov{}}),
       "O pacote do cabeçalho do extrato não tem a coluna IDEXTRFIM."},
      {"wrong column type", Header(), wrong_type,
       "A coluna VRMOVREAL do pacote de movimentos deve ser do tipo float, não \"string\"."},
      {"short row", Header(), short_row,
       "A linha 2 do pacote de movimentos tem 12 valores; esperados 13."},
      {"number as text", Header(), number_as_text,
       "O valor da coluna VRMOVREAL (linha 1 do pacote de movimentos) deve ser um número, não "
       "um texto."},
      {"not finite", Header(), huge_number,
       "O valor da coluna VRMOVREAL (linha 1 do pacote de movimentos) não é um número finito."},
      {"text too long", Header(), Movements({Mov{.memo = std::string(41, 'a')}}),
       "O texto \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\" da coluna DSHISTMOVREAL (linha 1 do "
       "pacote de movimentos) tem 41 caracteres; o limite é 40."},
      {"invalid date", Header(), bad_date,
       "A data \"2024-02-30T00:00:00\" da coluna DTMOVREAL (linha 1 do pacote de movimentos) "
       "não é válida (esperado AAAA-MM-DD ou AAAA-MM-DDTHH:MM:SS)."},
      {"two header rows", two_headers, Movements({Mov{}}),
       "O pacote do cabeçalho do extrato deve ter uma linha; tem 2."},
      {"unknown account", Header("009"), Movements({Mov{.account = "009"}}),
       "Conta corrente de código \"009\" não cadastrada no servidor."},
      {"empty account", Header(""), Movements({Mov{.account = ""}}),
       "O extrato não informa a conta corrente (CDREDUCONT vazio)."},
      {"no movements", Header(), Movements({}), "O extrato não tem movimentos."},
      {"movement of another account", Header(), Movements({Mov{}, Mov{.account = "002"}}),
       "O movimento (linha 2 do pacote de movimentos) é da conta \"002\", não da conta \"001\" "
       "do extrato."},
      {"movement without date", Header(), no_date,
       "O movimento (linha 1 do pacote de movimentos) não tem data (DTMOVREAL)."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.message, ValidExtratoError(c.header, c.movements)) << c.what;
  }
  EXPECT_TRUE(store_->ListStatements().empty());
}

TEST_P(ImportModuleTest, TextLimitsCountCharactersNotBytes) {
  // 40 accented letters are 80 UTF-8 bytes but 40 Windows-1252 characters.
  std::string memo;
  for (int i = 0; i < 40; ++i) memo += "\xC3\xA7";
  EXPECT_TRUE(ValidExtrato(module_, Header(), Movements({Mov{.memo = memo}})));
}

TEST_P(ImportModuleTest, CallChecksParameters) {
  struct Case {
    const char* method;
    nlohmann::json params;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"GetContaCorrente", {"341"}, kInvalidParams,
       "GetContaCorrente espera 2 parâmetros; recebeu 1."},
      {"GetContaCorrente", {"341", 123456}, kInvalidParams,
       "O parâmetro 2 de GetContaCorrente deve ser um texto."},
      {"SetExtratoBancario", {Header(), Movements({Mov{}}), "true"}, kInvalidParams,
       "O parâmetro 3 de SetExtratoBancario deve ser um booleano."},
      {"ValidExtrato", {Header()}, kInvalidParams, "ValidExtrato espera 2 parâmetros; recebeu 1."},
      {"DropTables", nlohmann::json::array(), kMethodNotFound,
       "Método \"DropTables\" desconhecido no módulo kvr61400.rdmImportOFX."},
  };
  for (const Case& c : cases) {
    CallInfo info;
    try {
      CallModule(module_, c.method, c.params, info);
      ADD_FAILURE() << c.method << " accepted " << c.params.dump();
    } catch (const RpcError& error) {
      EXPECT_EQ(c.code, error.Code()) << c.message;
      EXPECT_EQ(c.message, error.what());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, ImportModuleTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         kvr::testing::EngineName());

// The rows of packet as the module's packet reader reads them, in layout's
// column order; throws InvalidRequest with the reader's first reason.
std::vector<Row> CheckPacket(const nlohmann::json& packet, const Layout& layout,
                             const std::string& packet_name) {
  PacketReader reader(layout, packet_name);
  EmitJson(packet, reader);
  PacketRows result = reader.Finish();
  if (!result.error.empty()) throw InvalidRequest(result.error);
  std::vector<Row> rows;
  for (size_t i = 0; i < result.rows.size(); ++i) rows.push_back(result.rows.RowAt(i));
  return rows;
}

TEST(PacketCheck, DatesAreNormalised) {
  nlohmann::json movements = Movements({Mov{.date = "2024-01-05"}, Mov{.date = "2024-01-05T00:00:00.000"},
                                        Mov{.date = "2024-02-29T13:45:10.250"},
                                        Mov{.date = "2024-01-05 08:30:00"}});
  std::vector<Row> rows = CheckPacket(movements, MovExtrLayout(), "pacote de movimentos");
  ASSERT_EQ(4u, rows.size());
  EXPECT_EQ("2024-01-05T00:00:00", CellText(rows[0][4]));
  EXPECT_EQ("2024-01-05T00:00:00", CellText(rows[1][4]));
  EXPECT_EQ("2024-02-29T13:45:10.250", CellText(rows[2][4]));
  EXPECT_EQ("2024-01-05T08:30:00", CellText(rows[3][4]));
  for (const char* bad : {"2023-02-29T00:00:00", "2024-13-01T00:00:00", "05/01/2024",
                          "2024-01-05T24:00:00", "2024-01-05X00:00:00"}) {
    EXPECT_THROW(CheckPacket(Movements({Mov{.date = bad}}), MovExtrLayout(), "p"), InvalidRequest)
        << bad;
  }
}

TEST(PacketCheck, ColumnsMayComeInAnyOrder) {
  nlohmann::json header = Header();
  std::swap(header["fields"][0], header["fields"][7]);
  std::swap(header["rows"][0][0], header["rows"][0][7]);
  std::vector<Row> rows = CheckPacket(header, ExtrBancoLayout(), "p");
  EXPECT_EQ("001", CellText(rows[0][0]));
  EXPECT_EQ("C", CellText(rows[0][7]));
}

TEST_P(ImportModuleTest, DuplicateAccountsAreRefused) {
  struct Case {
    Account account;
    std::string message;
  };
  const Case cases[] = {
      {{"001", "237", "1", "9", "C", ""}, "Conta corrente de código \"001\" já cadastrada."},
      {{"004", "0341", "1", "0123456", "C", ""},
       "A conta 0123456 do banco 0341, tipo C, já está cadastrada com o código \"001\"."},
  };
  for (const Case& c : cases) {
    std::string message;
    try {
      store_->AddAccount(c.account);
    } catch (const EDatabaseError& error) {
      message = error.what();
    }
    EXPECT_EQ(c.message, message);
  }
  EXPECT_EQ(3u, store_->ListAccounts().size());
}

}  // namespace
}  // namespace kvr::server
