#pragma once

#include <string_view>

#include "platform/sysutils.h"

namespace kvr {

// One transaction of a statement, as the reader's parse fills it. A new
// record has empty texts and zero in both numbers; a field whose tag the
// parse does not find keeps that value. Records are created only by
// TVQOFXReader::Add and belong to the reader.
//
// The texts are views of bytes the reader holds: they stay valid as long as
// the record, and go with it when the reader's list is cleared or the reader
// is destroyed. A text set from outside the parse must be held as long:
// TVQOFXReader::Keep makes such a copy.
class TOFXItem {
 public:
  std::string_view TrnType;   // TRNTYPE value
  TDateTime PostedDate = 0;   // DTPOSTED date, a whole day
  double Amount = 0;          // TRNAMT: below 0 a debit, 0 or more a credit
  std::string_view FitId;     // FITID value
  std::string_view CheckNum;  // CHECKNUM value: the document number
  std::string_view Memo;      // MEMO value, without accents (bank 21: decoded)
};

}  // namespace kvr
