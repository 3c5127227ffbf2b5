#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "platform/client_dataset.h"
#include "platform/cp1252.h"
#include "platform/data_packet.h"
#include "platform/errors.h"
#include "platform/format_settings.h"

namespace kvr {
namespace {

using nlohmann::json;

class DataPacket : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings = TFormatSettings{',', '.', '/'};
    ds.AddFieldDef("CDREDUCONT", TFieldType::ftString, 3);
    ds.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
    ds.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
    ds.AddFieldDef("DSHISTMOVREAL", TFieldType::ftString, 40);
    ds.CreateDataSet();
  }
  void TearDown() override { FormatSettings = TFormatSettings{}; }

  TClientDataSet ds{nullptr};
};

TEST_F(DataPacket, TableToJsonInTheAgreedForm) {
  ds.Append();
  ds.FieldByName("CDREDUCONT").SetAsString("001");
  ds.FieldByName("DTMOVREAL").SetAsDateTime(45296);  // 05/01/2024
  ds.FieldByName("VRMOVREAL").SetAsFloat(200);
  ds.FieldByName("DSHISTMOVREAL").SetAsString("Depósito em cartão"_cp1252);
  ds.Post();
  ds.Append();
  ds.FieldByName("DTMOVREAL").SetAsDateTime(45296.5);
  ds.Post();
  const json expected = json::parse(R"({
    "fields":[{"name":"CDREDUCONT","type":"string","size":3},{"name":"DTMOVREAL","type":"datetime"},
              {"name":"VRMOVREAL","type":"float"},{"name":"DSHISTMOVREAL","type":"string","size":40}],
    "rows":[["001","2024-01-05T00:00:00",200.0,"Depósito em cartão"],
            [null,"2024-01-05T12:00:00",null,null]]})");
  EXPECT_EQ(ds.GetData(), expected);
}

TEST_F(DataPacket, FilterDoesNotNarrowThePacket) {
  for (const char* code : {"001", "002"}) {
    ds.Append();
    ds.FieldByName("CDREDUCONT").SetAsString(code);
    ds.Post();
  }
  ds.SetFilter("CDREDUCONT = '001'");
  ds.SetFiltered(true);
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_EQ(ds.GetData()["rows"].size(), 2u);
}

TEST_F(DataPacket, RoundTripKeepsTypesNullsAndAccents) {
  ds.Append();
  ds.FieldByName("CDREDUCONT").SetAsString("AÇÃ"_cp1252);
  ds.FieldByName("DTMOVREAL").SetAsDateTime(45356.25);
  ds.FieldByName("VRMOVREAL").SetAsFloat(-1500.25);
  ds.Post();
  ds.Append();
  ds.Post();
  const json packet = ds.GetData();

  TClientDataSet copy(nullptr);
  copy.SetData(json::parse(packet.dump()));
  ASSERT_TRUE(copy.Active());
  EXPECT_EQ(copy.FieldCount(), 4);
  EXPECT_EQ(copy.FieldByName("CDREDUCONT").Size(), 3);
  EXPECT_EQ(copy.FieldByName("DTMOVREAL").DataType(), TFieldType::ftDateTime);
  EXPECT_EQ(copy.RecordCount(), 2);
  copy.First();
  EXPECT_EQ(copy.FieldByName("CDREDUCONT").AsString(), "AÇÃ"_cp1252);
  EXPECT_EQ(copy.FieldByName("DTMOVREAL").AsDateTime(), 45356.25);
  EXPECT_EQ(copy.FieldByName("VRMOVREAL").AsFloat(), -1500.25);
  copy.Next();
  EXPECT_TRUE(copy.FieldByName("CDREDUCONT").IsNull());
  EXPECT_TRUE(copy.FieldByName("DTMOVREAL").IsNull());
  EXPECT_TRUE(copy.FieldByName("VRMOVREAL").IsNull());
  EXPECT_EQ(copy.GetData(), packet);
}

TEST_F(DataPacket, LoadingReplacesRowsAndKeepsHandlersOfTheSameColumns) {
  ds.Append();
  ds.Post();
  int calls = 0;
  ds.FieldByName("VRMOVREAL").OnGetText = [&](TField&, std::string& text, bool) {
    ++calls;
    text = "x";
  };
  ds.SetData(json::parse(R"({"fields":[{"name":"CDREDUCONT","type":"string","size":3},
      {"name":"DTMOVREAL","type":"datetime"},{"name":"VRMOVREAL","type":"float"},
      {"name":"DSHISTMOVREAL","type":"string","size":40}],
      "rows":[["abcdef","2024-03-05T00:00:00",1,"x"],["b",null,2,null],["c",null,3.5,null]]})"));
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.FieldByName("CDREDUCONT").AsString(), "abc");  // first row, cut to its size
  EXPECT_EQ(ds.FieldByName("VRMOVREAL").DisplayText(), "x");
  EXPECT_EQ(calls, 1);
}

TEST_F(DataPacket, MalformedPacketsAreClearErrorsAndChangeNothing) {
  ds.Append();
  ds.FieldByName("CDREDUCONT").SetAsString("keep");
  ds.Post();
  struct Case {
    const char* packet;
    const char* message;
  };
  const Case cases[] = {
      {R"([1,2])", "Pacote de dados inválido: não é um objeto JSON."},
      {R"({"rows":[]})", "Pacote de dados inválido: falta a lista \"fields\"."},
      {R"({"fields":[{"name":"A","type":"float"}]})", "Pacote de dados inválido: falta a lista \"rows\"."},
      {R"({"fields":[],"rows":[]})", "Pacote de dados inválido: nenhuma coluna definida."},
      {R"({"fields":[{"type":"float"}],"rows":[]})", "Pacote de dados inválido: coluna 1 sem nome."},
      {R"({"fields":[{"name":"A"}],"rows":[]})", "Pacote de dados inválido: coluna 1 sem tipo."},
      {R"({"fields":[{"name":"A","type":"blob"}],"rows":[]})",
       "Pacote de dados inválido: coluna 1 (A): tipo \"blob\" desconhecido."},
      {R"({"fields":[{"name":"A","type":"string","size":-1}],"rows":[]})",
       "Pacote de dados inválido: coluna 1 (A): tamanho inválido."},
      {R"({"fields":[{"name":"A","type":"float"},{"name":"a","type":"float"}],"rows":[]})",
       "Pacote de dados inválido: coluna 2 (a) definida duas vezes."},
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[[1],[1,2]]})",
       "Pacote de dados inválido: linha 2 tem 2 valores para 1 colunas."},
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[5]})",
       "Pacote de dados inválido: linha 1 não é uma lista."},
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[["1"]]})",
       "Pacote de dados inválido: linha 1, coluna A: esperado um número."},
      {R"({"fields":[{"name":"A","type":"string","size":2}],"rows":[[1]]})",
       "Pacote de dados inválido: linha 1, coluna A: esperado um texto."},
      {R"({"fields":[{"name":"D","type":"datetime"}],"rows":[["2024-02-30T00:00:00"]]})",
       "Pacote de dados inválido: linha 1, coluna D: data \"2024-02-30T00:00:00\" inválida."},
      {R"({"fields":[{"name":"D","type":"datetime"}],"rows":[[45356]]})",
       "Pacote de dados inválido: linha 1, coluna D: esperada uma data."},
  };
  for (const Case& c : cases) {
    try {
      ds.SetData(json::parse(c.packet));
      ADD_FAILURE() << c.packet;
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.packet;
    }
    EXPECT_EQ(ds.RecordCount(), 1) << c.packet;
    EXPECT_EQ(ds.FieldCount(), 4) << c.packet;
  }
}

// The streamed writer and reader: every value comes back exactly, through the
// text alone (no tree on either side).
TEST_F(DataPacket, StreamedRoundTripKeepsEveryValueExactly) {
  struct Row {
    TVariant code, date, value, memo;
  };
  const Row rows[] = {
      {std::string("Ção"_cp1252), 45296.0, 0.1, std::string("São João \"aspas\" \\ barra"_cp1252)},
      {TVariant{}, 45296.5, 123456789.123456, std::string("tab\there\nnova linha \x01 fim")},
      {std::string("x"), 45296.75, -1500.25, std::string(40, '\x80')},
      {std::string(""), TVariant{}, 1e21, TVariant{}},
      {std::string("q"), 2.0, 5e-324, std::string("\x81\x8D\x8F\x90\x9D")},
      {std::string("z"), 73050.0, -0.0, std::string(40, 'a')},
  };
  ds.FieldDefs.back().Size = 0;  // no limit: a text longer than 255 bytes
  ds.CreateDataSet();
  for (const Row& r : rows) {
    ds.Append();
    ds.FieldByName("CDREDUCONT").SetValue(r.code);
    ds.FieldByName("DTMOVREAL").SetValue(r.date);
    ds.FieldByName("VRMOVREAL").SetValue(r.value);
    ds.FieldByName("DSHISTMOVREAL").SetValue(r.memo);
    ds.Post();
  }
  ds.Append();
  ds.FieldByName("DSHISTMOVREAL").SetAsString(std::string(300, 'y'));
  ds.Post();

  JsonSink sink;
  WriteDataPacket(ds, sink);
  TClientDataSet copy(nullptr);
  copy.SetData(std::string_view(sink.text));
  ASSERT_EQ(copy.RecordCount(), 7);
  copy.First();
  for (const Row& r : rows) {
    EXPECT_EQ(copy.FieldByName("CDREDUCONT").Value(), r.code.index() == 2 && std::get<2>(r.code).size() > 3
                                                          ? TVariant{std::get<2>(r.code).substr(0, 3)}
                                                          : r.code);
    EXPECT_EQ(copy.FieldByName("DTMOVREAL").Value(), r.date);
    EXPECT_EQ(copy.FieldByName("VRMOVREAL").Value(), r.value) << sink.text;
    EXPECT_EQ(copy.FieldByName("DSHISTMOVREAL").Value(), r.memo);
    copy.Next();
  }
  EXPECT_EQ(copy.FieldByName("DSHISTMOVREAL").AsString(), std::string(300, 'y'));
  // The same text as the tree gives, parsed.
  EXPECT_EQ(json::parse(sink.text), ds.GetData());
}

TEST_F(DataPacket, MalformedJsonTextIsAMalformedPacket) {
  const std::string nest = std::string(70, '[') + std::string(70, ']');
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[[1]]} x)",
       "Pacote de dados inválido: JSON inválido: texto depois do fim do valor (byte 55)."},
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[[01]]})",
       "Pacote de dados inválido: JSON inválido: número com zero à esquerda (byte 50)."},
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[[1],]})",
       "Pacote de dados inválido: JSON inválido: valor inesperado (byte 53)."},
      {R"({"rows":)" + nest + "}",
       "Pacote de dados inválido: JSON inválido: aninhamento além de 64 níveis (byte 72)."},
      {R"({"fields":[{"name":"A","type":"float"}],"rows":[[1e999]]})",
       "Pacote de dados inválido: JSON inválido: número fora do intervalo (byte 50)."},
      {R"({"fields":[{"name":"A","type":"string","size":3}],"rows":[[")" "\xFF" R"("]]})",
       "Pacote de dados inválido: JSON inválido: texto que não é UTF-8 válido (byte 61)."},
  };
  for (const auto& c : cases) {
    try {
      ds.SetData(std::string_view(c.text));
      ADD_FAILURE() << c.text;
    } catch (const EDatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.text;
    }
    EXPECT_EQ(ds.FieldCount(), 4);
  }
}

TEST_F(DataPacket, InactiveTableHasNoPacket) {
  ds.Close();
  EXPECT_THROW(ds.GetData(), EDatabaseError);
}

TEST_F(DataPacket, RowsAreWrittenInTheShortestTextThatReadsBack) {
  struct Row {
    double date;  // 0: null
    double value;
  };
  const Row rows[] = {
      {45296, 0.01},  {45296, -0.05},          {45296.5, 0.5},   {45296, 1234.5}, {45297, 999999999999.99},
      {0, 200},       {45297, 100000},         {45297, 0.1 + 0.2}, {45297, 0.285}, {45297, -0.0},
      {45297, 1e21},  {45297, 1000000000000.5}, {45297, 0.001},  {45297, -1500.25}, {45297, 12345678.9},
  };
  for (const Row& r : rows) {
    ds.Append();
    if (r.date != 0) ds.FieldByName("DTMOVREAL").SetAsDateTime(r.date);
    ds.FieldByName("VRMOVREAL").SetAsFloat(r.value);
    ds.Post();
  }
  ds.First();
  ds.Edit();
  ds.FieldByName("CDREDUCONT").SetAsString("001");
  ds.FieldByName("DSHISTMOVREAL").SetAsString("Ação \"x\"\\\x01\n\t\r"_cp1252);
  ds.Post();
  // Bytes to escape past the first eight, which are read eight at a time.
  ds.Next();
  ds.Edit();
  ds.FieldByName("DSHISTMOVREAL").SetAsString("ABCDEFGH\"IJKLMNOP\\QRSTUVWX\x1fYZÉ"_cp1252);
  ds.Post();
  JsonSink sink;
  WriteDataPacket(ds, sink);
  const std::string rows_text = sink.text.substr(sink.text.find("\"rows\":"));
  EXPECT_EQ(rows_text,
            R"("rows":[["001","2024-01-05T00:00:00",0.01,"Ação \"x\"\\\u0001\n\t\r"],)"
            R"([null,"2024-01-05T00:00:00",-0.05,"ABCDEFGH\"IJKLMNOP\\QRSTUVWX\u001fYZÉ"],)"
            R"([null,"2024-01-05T12:00:00",0.5,null],)"
            R"([null,"2024-01-05T00:00:00",1234.5,null],)"
            R"([null,"2024-01-06T00:00:00",999999999999.99,null],)"
            R"([null,null,200.0,null],)"
            R"([null,"2024-01-06T00:00:00",1e+05,null],)"
            R"([null,"2024-01-06T00:00:00",0.30000000000000004,null],)"
            R"([null,"2024-01-06T00:00:00",0.285,null],)"
            R"([null,"2024-01-06T00:00:00",-0.0,null],)"
            R"([null,"2024-01-06T00:00:00",1e+21,null],)"
            R"([null,"2024-01-06T00:00:00",1000000000000.5,null],)"
            R"([null,"2024-01-06T00:00:00",0.001,null],)"
            R"([null,"2024-01-06T00:00:00",-1500.25,null],)"
            R"([null,"2024-01-06T00:00:00",12345678.9,null]]})");
}

}  // namespace
}  // namespace kvr
