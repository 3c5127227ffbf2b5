#include <algorithm>
#include <string>

#include "host/string_services.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "platform/text_file.h"
#include "reader/tag_scan.h"
#include "reader/vq_ofx_reader.h"

namespace kvr {

using namespace tag_scan;

// One run of the parse over a whole text. The lines are walked forward
// only, one counter shared by the main scan and the transaction blocks, so
// no list of them is kept.
class TVQOFXReader::TParse {
 public:
  TParse(TVQOFXReader& reader, std::string_view text) : reader_(reader), lines_(text) {}

  bool Run() {
    bool ofx = false;
    while (NextForScan()) {
      if (tags_ & kOfx) ofx = true;
      if (!ofx) continue;
      if (tags_ & kBankId) reader_.Banco.assign(ValueOf(line_));
      if (tags_ & kAcctId) reader_.Conta.assign(ValueOf(line_));
      if (tags_ & kDtStart) reader_.DataIncial = DateOf(ValueOf(line_), "DTSTART");
      if (tags_ & kDtEnd) reader_.DataFinal = DateOf(ValueOf(line_), "DTEND");
      // After a block, the tags below are those of the block's last line.
      if (tags_ & kStmtTrn) Transaction();
      if (tags_ & kBalAmt) reader_.Balance = BalanceOf(ValueOf(line_));
    }
    if (reader_.Balance != 0) {
      reader_.ValorFinal = reader_.Balance;
      // total_ holds minus the sum of the amounts: the opening balance is the
      // closing one less the movements.
      reader_.ValorIncial = reader_.Balance + total_;
    } else {
      reader_.ValorFinal = 0;
      reader_.ValorIncial = 0;
    }
    return ofx;
  }

 private:
  // The main scan's next line: the one a block left unread, or the next of
  // the text. False at the end.
  bool NextForScan() {
    if (held_) {
      held_ = false;
      line_ = held_line_;
      tags_ = held_tags_;
      ++index_;
      return true;
    }
    if (!lines_.Next(line_, tags_)) return false;
    ++index_;
    return true;
  }

  // A block's move to its next position. Throws when the text ends there.
  // Returns false, without moving, when that line opens a transaction: the
  // block then ends on the line it is on, and the main scan starts the next
  // transaction with that line instead of the block swallowing it.
  bool NextInBlock() {
    std::string_view line;
    std::uint32_t tags = 0;
    if (!lines_.Next(line, tags)) {
      throw EListError("linha " + std::to_string(block_start_ + 1) + ": o arquivo termina na linha " +
                           std::to_string(index_ + 1) + ", dentro da transa\xE7\xE3o iniciada nela",
                       index_ + 1);
    }
    if (tags & kStmtTrn) {
      held_ = true;
      held_line_ = line;
      held_tags_ = tags;
      return false;
    }
    line_ = line;
    tags_ = tags;
    ++index_;
    return true;
  }

  void Transaction() {
    block_start_ = index_;
    TOFXItem& item = *reader_.Add();
    if (reader_.Banco == "21") {
      Bank21(item);
    } else if (reader_.Banco == "336") {
      Bank336(item);
    } else {
      Standard(item);
    }
  }

  void Standard(TOFXItem& item) {
    if (!NextInBlock()) return;
    if (tags_ & kTrnType) item.TrnType.assign(ValueOf(line_));
    if (!NextInBlock()) return;
    if (tags_ & kDtPosted) item.PostedDate = DateOf(ValueOf(line_), "DTPOSTED");
    if (!NextInBlock()) return;
    if ((tags_ & kDtUser) && !NextInBlock()) return;
    if (tags_ & kTrnAmt) SetAmount(item);
    if (!NextInBlock()) return;
    if (tags_ & kFitId) item.FitId.assign(ValueOf(line_));
    if (!NextInBlock()) return;
    if (tags_ & kCheckNum) item.CheckNum.assign(ValueOf(line_));
    Tail(item);
  }

  void Bank336(TOFXItem& item) {
    if (!NextInBlock()) return;
    if (tags_ & kTrnType) item.TrnType.assign(ValueOf(line_));
    if (!NextInBlock()) return;
    if (tags_ & kTrnAmt) SetAmount(item);
    if (!NextInBlock()) return;
    if ((tags_ & kDtUser) && !NextInBlock()) return;
    if (tags_ & kDtPosted) item.PostedDate = DateOf(ValueOf(line_), "DTPOSTED");
    if (!NextInBlock()) return;
    if (tags_ & kFitId) item.FitId.assign(ValueOf(line_));
    if (!NextInBlock()) return;
    if (tags_ & kCheckNum) item.CheckNum.assign(ValueOf(line_));
    Tail(item);
  }

  // PAYEEID, REFNUM and MEMO of the standard and bank-336 layouts.
  void Tail(TOFXItem& item) {
    if (!NextInBlock()) return;
    if ((tags_ & kPayeeId) && !NextInBlock()) return;
    if ((tags_ & kRefNum) && !NextInBlock()) return;
    if (tags_ & kMemo) {
      item.Memo.assign(ValueOf(line_));
      RemoveAcentosInPlace(item.Memo);
    }
  }

  void Bank21(TOFXItem& item) {
    if (!NextInBlock()) return;
    if (tags_ & kFitId) item.FitId.assign(ValueOf(line_));
    if (!NextInBlock()) return;
    if (tags_ & kTrnType) item.TrnType.assign(ValueOf(line_));
    if (!NextInBlock()) return;
    if (tags_ & kDtPosted) item.PostedDate = DateOf(ValueOf(line_), "DTPOSTED");
    if (!NextInBlock()) return;
    if ((tags_ & kDtUser) && !NextInBlock()) return;
    if (tags_ & kTrnAmt) SetAmount(item);
    if (!NextInBlock()) return;
    if (tags_ & kCheckNum) {
      item.CheckNum.assign(ValueOf(line_));
      if (!NextInBlock()) return;
    }
    if ((tags_ & kNumRef) && !NextInBlock()) return;
    // This bank writes its memos in UTF-8.
    if (tags_ & kMemo) item.Memo = Utf16ToCp1252(Utf8ToUtf16(ValueOf(line_)));
  }

  std::string LineLabel() const { return "linha " + std::to_string(index_ + 1) + ": "; }

  // Characters 1-4, 5-6 and 7-8 of the value as year, month and day.
  TDateTime DateOf(std::string_view value, const char* tag) const {
    auto part = [value](size_t from, size_t count) {
      return from < value.size() ? value.substr(from, count) : std::string_view();
    };
    const int year = StrToIntDef(part(0, 4), 0);
    const int month = StrToIntDef(part(4, 2), 0);
    const int day = StrToIntDef(part(6, 2), 0);
    try {
      return EncodeDate(year, month, day);
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel() + "data \"" + std::string(value) + "\" de " + tag +
                          " inv\xE1lida");
    }
  }

  // The value filtered by CampoValido and trimmed, in scratch_.
  std::string_view Filtered(std::string_view value) {
    scratch_.resize(value.size());
    std::transform(value.begin(), value.end(), scratch_.begin(), ValidChar);
    return Trim(scratch_);
  }

  void SetAmount(TOFXItem& item) {
    const std::string_view value = ValueOf(line_);
    const std::string_view filtered = Filtered(value);
    // PrepareFloat: every "." and "," becomes the decimal separator.
    const char separator = FormatSettings.DecimalSeparator;
    const size_t offset = static_cast<size_t>(filtered.data() - scratch_.data());
    for (size_t i = 0; i < filtered.size(); ++i) {
      char& c = scratch_[offset + i];
      if (c == '.' || c == ',') c = separator;
    }
    try {
      item.Amount = StrToFloat(filtered);
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel() + "valor \"" + std::string(value) +
                          "\" de TRNAMT n\xE3o \xE9 um n\xFAmero");
    }
    total_ -= item.Amount;
  }

  double BalanceOf(std::string_view value) {
    const std::string text(value);
    if (EmptyString(text)) return 0;
    try {
      return FloatMaskOut(std::string(Filtered(value)));
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel() + "saldo \"" + text + "\" de BALAMT n\xE3o \xE9 um n\xFAmero");
    }
  }

  TVQOFXReader& reader_;
  TTagLineReader lines_;
  long long index_ = -1;
  std::string_view line_;
  std::uint32_t tags_ = 0;
  bool held_ = false;
  std::string_view held_line_;
  std::uint32_t held_tags_ = 0;
  long long block_start_ = 0;
  double total_ = 0;
  std::string scratch_;
};

bool TVQOFXReader::Parse(std::string_view text) { return TParse(*this, text).Run(); }

}  // namespace kvr
