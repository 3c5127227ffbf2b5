#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "store/statement.h"
#include "store/store.h"

// What the SQL store's queries share with its tests: the repeat check's
// comparison of movements.
namespace kvr::server {

// The movements of a statement as the repeat check looks them up, and the
// range of their dates: only stored movements of the account inside [first,
// last] (or undated ones, when undated) can be equal to one of them.
// movements must outlive the keys and stay unchanged. The table of the keys
// is built by the first look-up: a statement whose dates no stored movement
// shares (the usual new one) never needs it.
class MovementKeys {
 public:
  explicit MovementKeys(const PackedRows& movements);

  // True when a movement equals one with these cells on DTMOVREAL,
  // VRMOVREAL, NRDOCMOVREAL and the FITID: texts by their bytes, amounts
  // by value (0.0 equals -0.0), null only equal to null. A value that is not
  // a number, or a text column that is not a text, counts as null. The FITID
  // is compared whole (CDFITIDCOMPL) where both movements have it, else by
  // its first 10 characters (CDFITIDEXTR): rows stored, and packets sent,
  // before the whole FITID was kept have only those.
  bool Contains(const Cell& date, const Cell& value, const Cell& document, const Cell& fitid,
                const Cell& whole_fitid) const;

  std::string first, last;
  bool undated = false;

  // The same movements now live in moved (a PackedRows moved from the one
  // the keys were built on: its texts stay where they were).
  void Follow(const PackedRows& moved) { movements_ = &moved; }

 private:
  // The four cells of a movement in that order, then CDFITIDCOMPL (not
  // hashed: equal whole FITIDs have equal first 10 characters).
  struct Key {
    CellView cells[5];
  };

  Key KeyOf(size_t row) const;
  // Fills table_ (once, whichever thread looks up first).
  void Build() const;
  static std::uint64_t Hash(const Key& key);
  // Equal as the repeat check compares movements (the FITID whole or cut).
  static bool Same(const Key& a, const Key& b);
  // Equal on all five cells.
  static bool Identical(const Key& a, const Key& b);

  const PackedRows* movements_;
  size_t columns_[5];
  // Open addressing by the low bits of the hash: row + 1 of a movement (0
  // for a free slot) with the high bits of its hash.
  struct Entry {
    std::uint32_t check = 0;
    std::uint32_t row = 0;
  };
  mutable std::once_flag built_;
  mutable std::vector<Entry> table_;
  mutable size_t mask_ = 0;
};

// The keys of statement's movements, built at the first call and kept in it.
const MovementKeys& KeysOf(const Statement& statement);

}  // namespace kvr::server
