#pragma once

#include <string>
#include <unordered_set>

#include "statement.h"
#include "store.h"

// What both storage engines share: the schema's version, the stored columns
// and the repeat check's comparison of movements.
namespace kvr::server {

// The version of the tables this server writes, kept in VERSAOESQUEMA.
// 1: CONTCORR, EXTRBANCO and MOVEXTRBANCO without a version table (databases
//    made before versions were kept).
// 2: VERSAOESQUEMA; one statement per account and period (unique index
//    EXTRBANCO_PERIODO), the database's own guard of exactly-once.
constexpr int kSchemaVersion = 2;

// The message that refuses a database of a newer schema than this server's.
std::string NewerSchemaMessage(const std::string& database, int version);

// The header columns stored, in ExtrBancoLayout order without CDSEQUEXTR.
extern const char* const kHeaderColumns[7];
constexpr size_t kHeaderCount = 7;
// The movement columns stored after CDSEQUEXTR and NRSEQMOVREAL, in
// MovExtrLayout order.
extern const char* const kMovementColumns[11];
constexpr size_t kMovementCount = 11;

// "a, b, c" (each with prefix).
std::string JoinColumns(const char* const* columns, size_t count, const char* prefix = "");

// The five columns that make two movements equal, as one text: a tag per
// cell so that null, a text and a number never meet; 0.0 and -0.0 are equal.
std::string MovementKey(const Cell& date, const Cell& value, const Cell& document,
                        const Cell& fitid);

// The keys of a statement's movements and the range of their dates, for the
// repeat check: only stored movements of the account inside [first, last]
// (or undated ones, when undated) can be equal to one of them.
struct MovementKeys {
  std::unordered_set<std::string> keys;
  std::string first, last;
  bool undated = false;
};
MovementKeys KeysOf(const Statement& statement);

// The shortest decimal text that reads back as number ("10.01", "-0.5",
// "1e+21"): the exact decimal the packet's number denotes.
std::string DecimalText(double number);

// The CDSEQUEXTR and NRSEQMOVREAL of a stored statement's rows, as numbers.
long long StoredNumber(const Cell& cell);

}  // namespace kvr::server
