// Speed of the in-memory table on statement-sized work: 100,000 movements
// inserted in date order, a date filter switched on, the confirmation's
// search-then-insert walk, and a data packet to JSON text and back.
// Goals: insert < 200 ms, filter < 20 ms, Locate+insert < 300 ms, packet
// round trip < 1 s. The packet written alone, into a sink that drops each
// chunk as the request's body hands it to the compressor, is the writer's
// own time.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "platform/client_dataset.h"
#include "platform/data_packet.h"
#include "platform/format_settings.h"

namespace kvr {
namespace {

constexpr int kRows = 100000;
constexpr double kFirstDay = 45292;  // 01/01/2024

void DefineMovements(TClientDataSet& ds) {
  ds.AddFieldDef("CDREDUCONT", TFieldType::ftString, 3);
  ds.AddFieldDef("CDSEQUEXTR", TFieldType::ftString, 10);
  ds.AddFieldDef("NRSEQMOVREAL", TFieldType::ftString, 10);
  ds.AddFieldDef("NRDOCMOVREAL", TFieldType::ftString, 20);
  ds.AddFieldDef("DTMOVREAL", TFieldType::ftDateTime);
  ds.AddFieldDef("IDMOVREAL", TFieldType::ftString, 1);
  ds.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
  ds.AddFieldDef("DSHISTMOVREAL", TFieldType::ftString, 40);
  ds.AddFieldDef("IDTIPOREGI", TFieldType::ftString, 2);
  ds.AddFieldDef("CDCATELANC", TFieldType::ftString, 4);
  ds.AddFieldDef("IDSTCONMVBAN", TFieldType::ftString, 1);
  ds.AddFieldDef("IDTPMOVREAL", TFieldType::ftString, 1);
  ds.AddFieldDef("CDFITIDEXTR", TFieldType::ftString, 10);
}

struct Movement {
  double value;
  std::string memo, doc, fitid;
  double date;
};

std::vector<Movement> MakeMovements() {
  std::mt19937 rng(61400);
  std::uniform_int_distribution<int> day(0, 364), cents(1, 999999);
  std::vector<Movement> out;
  out.reserve(kRows);
  for (int i = 0; i < kRows; ++i) {
    Movement m;
    m.value = cents(rng) / 100.0;
    m.memo = "PAGAMENTO DE TITULO " + std::to_string(i);
    m.doc = std::string(14, ' ') + std::to_string(100000 + i);
    m.fitid = std::to_string(9000000 + i);
    m.date = kFirstDay + day(rng);
    out.push_back(std::move(m));
  }
  return out;
}

const std::vector<Movement>& Movements() {
  static const std::vector<Movement> movements = MakeMovements();
  return movements;
}

// The load's insert of one transaction row.
void InsertMovement(TClientDataSet& ds, const Movement& m) {
  ds.Insert();
  ds.FieldByName("VRMOVREAL").SetAsFloat(m.value);
  ds.FieldByName("DSHISTMOVREAL").SetAsString(m.memo);
  ds.FieldByName("NRDOCMOVREAL").SetAsString(m.doc);
  ds.FieldByName("DTMOVREAL").SetAsDateTime(m.date);
  ds.FieldByName("CDFITIDEXTR").SetAsString(m.fitid);
  ds.FieldByName("IDTPMOVREAL").SetAsString("0");
  ds.FieldByName("IDSTCONMVBAN").SetAsString("0");
  ds.FieldByName("IDTIPOREGI").SetAsString("0");
  ds.FieldByName("IDMOVREAL").SetAsString("C");
  ds.Post();
}

void Fill(TClientDataSet& ds) {
  DefineMovements(ds);
  ds.SetIndexFieldNames("DTMOVREAL");
  ds.CreateDataSet();
  for (const Movement& m : Movements()) InsertMovement(ds, m);
}

void BM_InsertOrderedByDate(benchmark::State& state) {
  Movements();
  for (auto _ : state) {
    TClientDataSet ds(nullptr);
    DefineMovements(ds);
    ds.SetIndexFieldNames("DTMOVREAL");
    ds.CreateDataSet();
    for (const Movement& m : Movements()) InsertMovement(ds, m);
    benchmark::DoNotOptimize(ds.RecordCount());
    state.PauseTiming();
    ds.Close();  // freeing the rows is not part of the insert
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InsertOrderedByDate)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_DateFilterOn(benchmark::State& state) {
  FormatSettings.DateSeparator = '/';
  TClientDataSet ds(nullptr);
  Fill(ds);
  ds.SetFilter("DTMOVREAL>= '01/03/2024'AND DTMOVREAL<= '31/03/2024'");
  for (auto _ : state) {
    ds.SetFiltered(true);
    benchmark::DoNotOptimize(ds.RecordCount());
    state.PauseTiming();
    ds.SetFiltered(false);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_DateFilterOn)->Unit(benchmark::kMillisecond)->Iterations(20);

// The confirmation's search-then-insert: for each movement, search the copy
// table on the five key columns, then insert the copy. The movements' key
// texts are read beforehand, so the figure is that of Locate and Insert.
void BM_LocateThenInsert(benchmark::State& state) {
  FormatSettings.DecimalSeparator = ',';
  struct Copy {
    std::string value_text;
    const Movement* m;
  };
  std::vector<Copy> copies;
  copies.reserve(kRows);
  {
    TClientDataSet probe(nullptr);
    probe.AddFieldDef("VRMOVREAL", TFieldType::ftFloat);
    probe.CreateDataSet();
    for (const Movement& m : Movements()) {
      probe.Append();
      probe.FieldByName("VRMOVREAL").SetAsFloat(m.value);
      probe.Post();
      copies.push_back(Copy{probe.FieldByName("VRMOVREAL").AsString(), &m});
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    TClientDataSet aux(nullptr);
    DefineMovements(aux);
    aux.CreateDataSet();
    int repeats = 0;
    state.ResumeTiming();
    for (const Copy& c : copies) {
      const Movement& m = *c.m;
      if (aux.Locate("CDREDUCONT;VRMOVREAL;NRDOCMOVREAL;DTMOVREAL;CDFITIDEXTR",
                     {std::string("001"), c.value_text, m.doc, m.date, m.fitid}, TLocateOptions{true}))
        ++repeats;
      aux.Insert();
      aux.FieldByName("CDREDUCONT").SetAsString("001");
      aux.FieldByName("VRMOVREAL").SetAsFloat(m.value);
      aux.FieldByName("DSHISTMOVREAL").SetAsString(m.memo);
      aux.FieldByName("NRDOCMOVREAL").SetAsString(m.doc);
      aux.FieldByName("DTMOVREAL").SetAsDateTime(m.date);
      aux.FieldByName("IDTPMOVREAL").SetAsString("0");
      aux.FieldByName("IDSTCONMVBAN").SetAsString("0");
      aux.FieldByName("IDTIPOREGI").SetAsString("0");
      aux.FieldByName("IDMOVREAL").SetAsString("C");
      aux.FieldByName("CDFITIDEXTR").SetAsString(m.fitid);
      aux.Post();
    }
    benchmark::DoNotOptimize(repeats);
    state.PauseTiming();
    aux.Close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_LocateThenInsert)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_PacketRoundTrip(benchmark::State& state) {
  TClientDataSet ds(nullptr);
  Fill(ds);
  for (auto _ : state) {
    const std::string text = ds.GetData().dump();
    TClientDataSet copy(nullptr);
    copy.SetData(nlohmann::json::parse(text));
    benchmark::DoNotOptimize(copy.RecordCount());
    state.PauseTiming();
    copy.Close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PacketRoundTrip)->Unit(benchmark::kMillisecond)->Iterations(3);

// A sink that forgets what it is handed, as the request body's sink hands
// it on: the text never grows past a chunk.
class DroppingSink : public JsonSink {
 public:
  std::size_t written = 0;
  void Flush() override {
    written += text.size();
    text.clear();
  }
};

void BM_WritePacket(benchmark::State& state) {
  TClientDataSet ds(nullptr);
  Fill(ds);
  for (auto _ : state) {
    DroppingSink sink;
    WriteDataPacket(ds, sink);
    sink.Flush();
    benchmark::DoNotOptimize(sink.written);
  }
}
BENCHMARK(BM_WritePacket)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace kvr

BENCHMARK_MAIN();
