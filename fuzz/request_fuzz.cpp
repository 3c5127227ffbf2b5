// Feeds arbitrary bytes to the server's request path as a POST body is
// answered (ReadRpcCall and AnswerRpcCall: the body stream, the JSON reader, the packet readers,
// the envelope checks and the module's methods), over a store that holds one
// account in memory. Besides crashes, leaks and undefined behaviour it stops
// when a reply is not one JSON-RPC answer with a status the endpoint gives,
// when the log line holds a control character, and when the body sent gzip
// (read across the inflater's 64 KiB window) is answered otherwise than plain,
// or bytes that open as gzip are answered otherwise in small pieces than whole
// (in pieces, the bytes a broken stream inflates to before its fault shows
// may be refused as JSON first: a refusal still).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/body_stream.h"
#include "piecewise.h"
#include "rpc/import_module.h"
#include "rpc/json_rpc.h"

namespace {

// The ends of body's pieces of 1 to 8 bytes (the first byte of each says
// how long), as a slow socket may hand them on.
std::vector<size_t> SmallPieceEnds(const std::string& body) {
  std::vector<size_t> ends;
  for (size_t at = 0; at < body.size();)
    ends.push_back(at = std::min(body.size(), at + 1 + (static_cast<unsigned char>(body[at]) & 7)));
  return ends;
}

using kvr::server::Account;
using kvr::server::Statement;
using kvr::server::StatementSummary;
using kvr::server::StoredStatement;

// The store of the fuzzed calls: account 001 (bank 341, agency 1234, account
// 123456), no statement recorded and nothing kept, so that every input is
// answered the same however many came before it.
class OneAccountStore : public kvr::server::Store {
 public:
  void AddAccount(const Account&) override {}
  std::vector<Account> ListAccounts() override { return {account_}; }
  std::optional<Account> FindAccount(const std::string& code) override {
    if (code == account_.code) return account_;
    return std::nullopt;
  }
  std::vector<Account> MatchAccounts(const std::string& bank, const std::string& number) override {
    if (bank == account_.bank && number == account_.number) return {account_};
    return {};
  }
  bool IsRecorded(const Statement&) override { return false; }
  std::optional<long long> StoreIfNew(const Statement&, const kvr::server::AuditEvent*) override {
    return 1;
  }
  std::vector<StatementSummary> ListStatements(bool) override { return {}; }
  std::optional<StoredStatement> GetStatement(long long) override { return std::nullopt; }
  bool UpdateAccount(const Account&) override { return false; }
  long long RemoveAccount(const std::string&) override { return 0; }

 private:
  Account account_{"001", "341", "1234", "123456", "C", "99999-9"};
};

// The inflater hands the reader 64 KiB at a time; the differential check
// puts the middle of the input on that edge.
constexpr size_t kWindow = 64 * 1024;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "request_fuzz: %s\n%s\n", what, detail.substr(0, 2000).c_str());
  std::abort();
}

// The reply must be what the endpoint sends: 204 without a body, or one
// JSON-RPC 2.0 answer (a result or an error with an integer code and a
// message) with 200, or an error with 400 (gzip only) or 413.
void CheckReply(const kvr::server::RpcReply& reply, bool gzip) {
  if (reply.status == 204) {
    if (!reply.body.empty()) Fail("204 with a body", reply.body);
    return;
  }
  if (reply.status != 200 && reply.status != 413 && !(gzip && reply.status == 400))
    Fail("unexpected status", std::to_string(reply.status));
  const nlohmann::json answer = nlohmann::json::parse(reply.body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) Fail("reply is not a JSON object", reply.body);
  if (answer.value("jsonrpc", "") != "2.0" || !answer.contains("id"))
    Fail("reply without jsonrpc 2.0 and id", reply.body);
  const bool result = answer.contains("result"), error = answer.contains("error");
  if (result == error) Fail("reply without exactly one of result and error", reply.body);
  if (result && reply.status != 200) Fail("result with an error status", reply.body);
  if (error && (!answer["error"]["code"].is_number_integer() ||
                !answer["error"]["message"].is_string() ||
                answer["error"]["message"].get<std::string>().empty()))
    Fail("error without an integer code and a message", reply.body);
}

void CheckLog(const std::string& line) {
  for (const char c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      Fail("control character in the log", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static OneAccountStore store;
  static kvr::server::ImportModule module(store);
  const kvr::server::BodyLimits limits;  // far above any input
  int lines = 0;
  const auto log = [&lines](const std::string& line) {
    ++lines;
    CheckLog(line);
  };
  const std::string body(reinterpret_cast<const char*>(data), size);
  // The reply to text as a POST of it gets.
  const auto answer = [&](const std::string& text, bool gzip) {
    kvr::server::RpcCall call = kvr::server::ReadRpcCall(text, gzip, limits);
    return kvr::server::AnswerRpcCall(module, kvr::server::ImportModule::kName, call, log);
  };

  const kvr::server::RpcReply plain = answer(body, false);
  CheckReply(plain, false);
  if (lines != 1) Fail("not one log line per call", std::to_string(lines));

  // Bytes that open as gzip are also read as the gzip body they may be.
  // Whole or in pieces, alike.
  if (size >= 2 && data[0] == 0x1F && data[1] == 0x8B) {
    const kvr::server::RpcReply whole = answer(body, true);
    CheckReply(whole, true);
    kvr::testing::PieceSource pieces(body, SmallPieceEnds(body));
    kvr::server::RpcCall call = kvr::server::ReadRpcCall(pieces, true, limits);
    const kvr::server::RpcReply pieced =
        kvr::server::AnswerRpcCall(module, kvr::server::ImportModule::kName, call, log);
    const bool both_refused =
        whole.status == 400 && pieced.body.find("\"error\":") != std::string::npos;
    if (!both_refused && (whole.status != pieced.status || whole.body != pieced.body))
      Fail("gzip answered otherwise in pieces", std::to_string(whole.status) + " " + whole.body +
                                                    "\n" + std::to_string(pieced.status) + " " +
                                                    pieced.body);
  }

  // The same body gzip must be answered as plain.
  const kvr::server::RpcReply inflated = answer(kvr::server::GzipCompress(body), true);
  if (plain.status != inflated.status || plain.body != inflated.body)
    Fail("gzip and plain answers differ", std::to_string(plain.status) + " " + plain.body + "\n" +
                                              std::to_string(inflated.status) + " " +
                                              inflated.body);

  // For one input in eight (reading 64 KiB of blanks is slow under the
  // sanitizers), the same with the middle of the body on the inflater's
  // window edge. Not compared with the body alone: parse errors name their
  // column.
  if (size % 8 == 0) {
    const std::string padded =
        std::string(size / 2 < kWindow ? kWindow - size / 2 : 0, ' ') + body;
    const kvr::server::RpcReply wide = answer(padded, false);
    const kvr::server::RpcReply wide_inflated = answer(kvr::server::GzipCompress(padded), true);
    if (wide.status != wide_inflated.status || wide.body != wide_inflated.body)
      Fail("gzip and plain answers differ across the window edge",
           std::to_string(wide.status) + " " + wide.body + "\n" +
               std::to_string(wide_inflated.status) + " " + wide_inflated.body);
  }
  return 0;
}
