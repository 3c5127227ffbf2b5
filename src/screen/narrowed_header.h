#pragma once

#include "platform/sysutils.h"

namespace kvr {

class TVQOFXReader;

// The period and balances a statement header sends: balances signed (below 0
// a debit balance), dates whole days.
struct StatementPeriod {
  TDateTime DataIncial = 0;
  TDateTime DataFinal = 0;
  double ValorIncial = 0;
  double ValorFinal = 0;
};

// The header that describes the movements of reader dated from de to ate
// (both included), the bank-237 range the user chose or bank 104's period
// filter: the range clipped to the file's period, the hull of DataIncial to
// DataFinal and the movements' dates (the later of de and the earlier of
// DataIncial and the first movement, the earlier of ate and the later of
// DataFinal and the last movement), so never inverted while a movement is in
// the range; the opening balance is the file's ValorIncial plus the amounts
// dated before that first day, the closing balance the opening plus the
// amounts within the range, each the double nearest to the exact decimal sum.
// A range that covers the whole hull gives the file's own period and
// balances. reader must hold a parsed statement.
StatementPeriod NarrowedPeriod(const TVQOFXReader& reader, TDateTime de, TDateTime ate);

}  // namespace kvr
