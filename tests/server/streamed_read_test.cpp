// A request body read into its call while it arrives, in pieces cut
// anywhere, reads as the same body read whole at its end; a reading whose
// request goes gives back every byte of memory it took, also in a real
// server.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "http/body_stream.h"
#include "metrics_probe.h"
#include "packets.h"
#include "piecewise.h"
#include "rpc/json_rpc.h"
#include "rpc/streamed_read.h"
#include "raw_client.h"
#include "server_process.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace kvr::server {
namespace {

// What a read call holds, as one text to compare.
std::string Summary(const RpcCall& call) {
  std::string text = std::to_string(call.status) + " " + std::to_string(call.error_code) + " " +
                     call.error_message + " | " + call.method + " |";
  for (const CallParam& param : call.params) {
    text += " [" + std::to_string(static_cast<int>(param.kind));
    if (param.packet)
      text += " " + std::to_string(param.packet->count) + " rows, " +
              std::to_string(param.packet->rows.size()) + " kept " + param.packet->error + " " +
              param.packet->statement_error;
    text += "]";
  }
  return text;
}

// The memory budget of a test: counts what is taken and given back.
struct Counted {
  std::atomic<size_t> taken{0}, given{0};
  size_t limit = SIZE_MAX;
  StreamedRead::Grow Grow() {
    return [this](size_t bytes) {
      if (taken + bytes - given > limit) return false;
      taken += bytes;
      return true;
    };
  }
  StreamedRead::Give Give() {
    return [this](size_t bytes) { given += bytes; };
  }
};

// wire read through a StreamedRead, handed over in the pieces ending at ends.
RpcCall ReadStreamed(const std::string& wire, bool gzip, const std::vector<size_t>& ends,
                     const BodyLimits& limits, Counted& memory) {
  StreamedReads reads(1);
  std::string first = wire.substr(0, ends[0]);
  std::shared_ptr<StreamedRead> read = reads.Start(first, gzip, limits, memory.Grow(), memory.Give());
  EXPECT_TRUE(read != nullptr);
  if (!read) return RpcCall();
  for (size_t i = 1; i < ends.size(); ++i)
    read->Append(wire.data() + ends[i - 1], ends[i] - ends[i - 1]);
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  read->End([&] {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    done_changed.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  done_changed.wait(lock, [&] { return done; });
  EXPECT_EQ(wire, read->TakeBody());
  memory.given += read->TakeMemory();
  return read->TakeCall();
}

TEST(StreamedRead, ABodyInPiecesCutAnywhereReadsAsTheWholeBody) {
  const std::string header = testing::Header().dump();
  const std::string movements = testing::ManyMovements(40).dump();
  auto call = [](const std::string& params) {
    return R"({"jsonrpc":"2.0","id":7,"method":"ValidExtrato","params":[)" + params + "]}";
  };
  const std::string valid = call(header + "," + movements);
  std::string bad_row = valid;
  bad_row.replace(bad_row.find("\"D\""), 3, "\"X\"");
  const std::string gzip = GzipCompress(valid);
  struct Case {
    const char* what;
    std::string wire;
    bool gzip;
  };
  const Case cases[] = {
      {"valid, gzip", gzip, true},
      {"valid, plain", valid, false},
      {"two gzip members", GzipCompress(valid.substr(0, 1000)) + GzipCompress(valid.substr(1000)),
       true},
      {"gzip cut short", gzip.substr(0, gzip.size() / 2), true},
      {"gzip cut in its trailer", gzip.substr(0, gzip.size() - 3), true},
      {"gzip and junk after it", gzip + "{}", true},
      {"not gzip", valid, true},
      {"a row refused", GzipCompress(bad_row), true},
      {"JSON broken halfway", GzipCompress(valid.substr(0, valid.size() / 2) + "}" +
                                           valid.substr(valid.size() / 2)),
       true},
      {"a NUL byte", GzipCompress(valid.substr(0, 2000) + std::string(1, '\0') + valid.substr(2000)),
       true},
      {"a NUL byte, plain", valid.substr(0, 2000) + std::string(1, '\0') + valid.substr(2000),
       false},
      {"inflates past the cap", GzipCompress(call(header + "," + movements + std::string(9000, ' '))),
       true},
      {"empty", "", true},
  };
  BodyLimits limits;
  limits.max_inflated = valid.size() + 4096;
  for (const Case& c : cases) {
    const std::string whole = Summary(ReadRpcCall(c.wire, c.gzip, limits));
    for (const testing::Feeding& feeding : testing::Feedings(c.wire.size())) {
      kvr::testing::PieceSource pieces(c.wire, feeding.ends);
      EXPECT_EQ(whole, Summary(ReadRpcCall(pieces, c.gzip, limits)))
          << c.what << ", " << feeding.name;
    }
    // On a thread of its own, the pieces appended as they come.
    for (const size_t cut : {c.wire.size(), c.wire.size() / 2}) {
      Counted memory;
      const std::vector<size_t> ends =
          cut == c.wire.size() ? std::vector<size_t>{cut} : std::vector<size_t>{cut, c.wire.size()};
      EXPECT_EQ(whole, Summary(ReadStreamed(c.wire, c.gzip, ends, limits, memory)))
          << c.what << ", on a thread, cut at " << cut;
      EXPECT_EQ(memory.taken, memory.given) << c.what;
    }
  }
  // What the rows take is charged while they are read, and a reading that
  // finds no room is refused as one read at the end is (the server then
  // reads the body again after waiting for its memory).
  Counted memory;
  memory.limit = 64;
  const RpcCall refused = ReadStreamed(gzip, true, {gzip.size()}, limits, memory);
  EXPECT_EQ(503, refused.status);
  EXPECT_EQ(memory.taken, memory.given);
}

// A request that goes while its body comes (refused halfway, its connection
// closed, the server stopping) leaves nothing of its reading: the memory
// goes back, from the reading's thread or at once.
TEST(StreamedRead, AReadingWhoseRequestGoesGivesBackAllItTook) {
  const std::string gzip = GzipCompress(testing::StoreCallBody(3000));
  for (const size_t cut : {size_t{0}, gzip.size() / 3, gzip.size()}) {
    for (const bool stop_first : {false, true}) {
      Counted memory;
      {
        StreamedReads reads(1);
        std::string first = gzip.substr(0, 100);
        std::shared_ptr<StreamedRead> read =
            reads.Start(first, true, BodyLimits(), memory.Grow(), memory.Give());
        ASSERT_TRUE(read != nullptr);
        EXPECT_EQ(nullptr, reads.Start(first, true, BodyLimits(), memory.Grow(), memory.Give()))
            << "one reading at most";
        if (cut > 100) read->Append(gzip.data() + 100, cut - 100);
        // The whole body: its rows are read (and charged) before it goes.
        if (cut == gzip.size())
          testing::WaitUntil(std::chrono::seconds(30), [&] { return memory.taken > 0; });
        if (stop_first) reads.Stop();
        read->Abandon();
      }
      EXPECT_EQ(memory.taken, memory.given) << "cut at " << cut << (stop_first ? ", stopped" : "");
      if (cut == gzip.size()) {
        EXPECT_GT(memory.taken, 0u) << "the rows were charged";
      }
    }
  }
}

// The server reads a large statement's rows (and charges them) while its
// body still comes, and a client that goes halfway leaves nothing taken.
TEST(StreamedRead, TheServerReadsABodyAsItComesAndForgetsOneCutHalfway) {
  testing::TempDir dir;
  testing::ServerProcess server(dir.File("corte.db"));
  server.Start();
  testing::MetricsProbe probe(server.Port());
  const std::string gzip = GzipCompress(testing::StoreCallBody(60'000));
  ASSERT_GT(gzip.size(), 512u * 1024u);
  const auto in_use = [&](auto done) {
    return probe.WaitFor("kvr61400_memory_budget_in_use_bytes", done);
  };
  {
    testing::RawClient client(server.Port());
    ASSERT_TRUE(client.Send("POST /kvr61400.rdmImportOFX HTTP/1.1\r\nHost: x\r\n"
                            "Content-Encoding: gzip\r\nContent-Length: " +
                            std::to_string(gzip.size()) + "\r\n\r\n" +
                            gzip.substr(0, gzip.size() * 3 / 4)));
    // More than the body's own share: its rows, read before it ended.
    EXPECT_GT(in_use([&](double bytes) { return bytes > static_cast<double>(gzip.size()); }),
              static_cast<double>(gzip.size()));
  }
  EXPECT_EQ(0, in_use([](double bytes) { return bytes == 0; }));
}

}  // namespace
}  // namespace kvr::server
