#pragma once

#include <string>

#include "platform/sysutils.h"

namespace kvr {

// One transaction of a statement, as the reader's parse fills it. A new
// record has empty texts and zero in both numbers; a field whose tag the
// parse does not find keeps that value. Records are created only by
// TVQOFXReader::Add and belong to the reader.
class TOFXItem {
 public:
  std::string TrnType;        // TRNTYPE value
  TDateTime PostedDate = 0;   // DTPOSTED date, a whole day
  double Amount = 0;          // TRNAMT: below 0 a debit, 0 or more a credit
  std::string FitId;          // FITID value
  std::string CheckNum;       // CHECKNUM value: the document number
  std::string Memo;           // MEMO value, without accents (bank 21: decoded)
};

}  // namespace kvr
