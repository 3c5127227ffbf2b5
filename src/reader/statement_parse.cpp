#include <algorithm>
#include <string>

#include "host/string_services.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "platform/text_file.h"
#include "reader/exact_decimal.h"
#include "reader/tag_scan.h"
#include "reader/vq_ofx_reader.h"

namespace kvr {

using namespace tag_scan;

namespace {

// The fields of a record, by the bit of their tag.
constexpr std::uint32_t kFields = kTrnType | kDtPosted | kTrnAmt | kFitId | kCheckNum | kMemo;

enum class TLayout { kStandard, kBank336, kBank21 };

std::string LineLabel(long long line) { return "linha " + std::to_string(line + 1) + ": "; }

}  // namespace

// One run of the parse over a whole text. The pieces of lines are walked
// forward, one counter shared by the main scan and the transaction blocks;
// a transaction that misses fields looks again at its own lines with a copy
// of the walk. No list of lines is kept.
class TVQOFXReader::TParse {
 public:
  TParse(TVQOFXReader& reader, std::string_view text, TFileContents* file)
      : reader_(reader), pieces_(text), file_(file), released_(text.data()) {}

  bool Run() {
    bool ofx = false;
    while (NextForScan()) {
      if (tags_ & kOfx) ofx = true;
      if (!ofx) continue;
      if (tags_ & kBankId) reader_.Banco.assign(ValueOf(line_));
      if (tags_ & kAcctId) reader_.Conta.assign(ValueOf(line_));
      if (tags_ & kDtStart) reader_.DataIncial = DateOf(ValueOf(line_), "DTSTART", line_no_);
      if (tags_ & kDtEnd) reader_.DataFinal = DateOf(ValueOf(line_), "DTEND", line_no_);
      // After a block, the tags below are those of the block's last line.
      if (tags_ & kStmtTrn) Transaction();
      if (tags_ & kBalAmt) SetBalance(ValueOf(line_));
    }
    if (reader_.Balance != 0) {
      reader_.ValorFinal = reader_.Balance;
      reader_.ValorIncial = OpeningBalance();
    } else {
      reader_.ValorFinal = 0;
      reader_.ValorIncial = 0;
    }
    return ofx;
  }

 private:
  // The main scan's next piece: the one a block left unread, or the next of
  // the text. False at the end.
  bool NextForScan() {
    if (held_) {
      held_ = false;
      line_ = held_line_;
      tags_ = held_tags_;
      line_no_ = held_line_no_;
      return true;
    }
    return pieces_.Next(line_, tags_, line_no_);
  }

  // A block's move to its next position. Returns false, without moving,
  // when the block has read the transaction's closing tag, or when that
  // line opens a transaction: the block then ends on the line it is on, and
  // the main scan starts the next transaction with that line instead of the
  // block swallowing it. Throws when the text ends there.
  bool NextInBlock() {
    if (closed_) return false;
    std::string_view line;
    std::uint32_t tags = 0;
    long long line_no = 0;
    if (!pieces_.Next(line, tags, line_no)) {
      throw EListError("Arquivo incompleto: termina na linha " + std::to_string(line_no_ + 1) +
                           ", dentro da transa\xE7\xE3o iniciada na linha " +
                           std::to_string(block_start_ + 1) + ".",
                       line_no_ + 1);
    }
    if (tags & kStmtTrn) {
      held_ = true;
      held_line_ = line;
      held_tags_ = tags;
      held_line_no_ = line_no;
      return false;
    }
    line_ = line;
    tags_ = tags;
    line_no_ = line_no;
    closed_ = (tags & kStmtTrnEnd) != 0;
    return true;
  }

  // The file's pages behind the parse are not looked at again: giving them
  // back keeps a large statement from being held whole beside its records.
  void ReleaseBehind() {
    constexpr std::ptrdiff_t kStep = 4 << 20;
    if (file_ == nullptr || line_.data() - released_ < kStep) return;
    released_ = line_.data();
    file_->ReleaseBefore(released_);
  }

  void Transaction() {
    block_start_ = line_no_;
    // The walk as it stands after the "<STMTTRN>" line: the transaction's own
    // lines start here.
    const TPieceReader own_lines = pieces_;
    ReleaseBehind();
    TOFXItem& item = *reader_.Add();
    taken_ = 0;
    closed_ = false;
    if (reader_.Banco == "21") {
      layout_ = TLayout::kBank21;
      Bank21(item);
    } else if (reader_.Banco == "336") {
      layout_ = TLayout::kBank336;
      Bank336(item);
    } else {
      layout_ = TLayout::kStandard;
      Standard(item);
    }
    if ((taken_ & kFields) != kFields) TakeFromOwnLines(item, own_lines);
    if ((taken_ & kDtPosted) == 0) {
      throw EConvertError(LineLabel(block_start_) + "transa\xE7\xE3o sem data (DTPOSTED)");
    }
    if ((taken_ & kTrnAmt) == 0) {
      throw EConvertError(LineLabel(block_start_) + "transa\xE7\xE3o sem valor (TRNAMT)");
    }
  }

  // Each field the positions left unset, from the first of the
  // transaction's own lines that holds its tag: after "<STMTTRN>" up to the
  // first line holding "</STMTTRN>", stopping before a line that opens
  // another transaction and at the text's end. Banks that write no CHECKNUM
  // line, or a NAME line before MEMO, put their lines off the positions.
  void TakeFromOwnLines(TOFXItem& item, TPieceReader lines) {
    std::string_view line;
    std::uint32_t tags = 0;
    long long line_no = 0;
    while ((taken_ & kFields) != kFields && lines.Next(line, tags, line_no)) {
      if (tags & kStmtTrn) break;
      const std::uint32_t wanted = tags & kFields & ~taken_;
      if (wanted != 0) Take(item, wanted, ValueOf(line), line_no);
      if (tags & kStmtTrnEnd) break;
    }
  }

  // Sets the fields of the bits in which (read from one line) from value.
  void Take(TOFXItem& item, std::uint32_t which, std::string_view value, long long line_no) {
    if (which & kTrnType) item.TrnType.assign(value);
    if (which & kDtPosted) item.PostedDate = DateOf(value, "DTPOSTED", line_no);
    if (which & kTrnAmt) SetAmount(item, value, line_no);
    if (which & kFitId) item.FitId.assign(value);
    if (which & kCheckNum) item.CheckNum.assign(value);
    if (which & kMemo) SetMemo(item, value);
    taken_ |= which;
  }

  // The field of tag taken from the current line when the line holds it.
  void Position(TOFXItem& item, std::uint32_t tag) {
    if (tags_ & tag) Take(item, tag, ValueOf(line_), line_no_);
  }

  void Standard(TOFXItem& item) {
    if (!NextInBlock()) return;
    Position(item, kTrnType);
    if (!NextInBlock()) return;
    Position(item, kDtPosted);
    if (!NextInBlock()) return;
    if ((tags_ & kDtUser) && !NextInBlock()) return;
    Position(item, kTrnAmt);
    if (!NextInBlock()) return;
    Position(item, kFitId);
    if (!NextInBlock()) return;
    Position(item, kCheckNum);
    Tail(item);
  }

  void Bank336(TOFXItem& item) {
    if (!NextInBlock()) return;
    Position(item, kTrnType);
    if (!NextInBlock()) return;
    Position(item, kTrnAmt);
    if (!NextInBlock()) return;
    if ((tags_ & kDtUser) && !NextInBlock()) return;
    Position(item, kDtPosted);
    if (!NextInBlock()) return;
    Position(item, kFitId);
    if (!NextInBlock()) return;
    Position(item, kCheckNum);
    Tail(item);
  }

  // PAYEEID, REFNUM and MEMO of the standard and bank-336 layouts.
  void Tail(TOFXItem& item) {
    if (!NextInBlock()) return;
    if ((tags_ & kPayeeId) && !NextInBlock()) return;
    if ((tags_ & kRefNum) && !NextInBlock()) return;
    Position(item, kMemo);
  }

  void Bank21(TOFXItem& item) {
    if (!NextInBlock()) return;
    Position(item, kFitId);
    if (!NextInBlock()) return;
    Position(item, kTrnType);
    if (!NextInBlock()) return;
    Position(item, kDtPosted);
    if (!NextInBlock()) return;
    if ((tags_ & kDtUser) && !NextInBlock()) return;
    Position(item, kTrnAmt);
    if (!NextInBlock()) return;
    if (tags_ & kCheckNum) {
      Position(item, kCheckNum);
      if (!NextInBlock()) return;
    }
    if ((tags_ & kNumRef) && !NextInBlock()) return;
    Position(item, kMemo);
  }

  void SetMemo(TOFXItem& item, std::string_view value) {
    if (layout_ == TLayout::kBank21) {
      // This bank writes its memos in UTF-8.
      item.Memo = Utf16ToCp1252(Utf8ToUtf16(value));
      return;
    }
    // Memos in UTF-8 reach the other layouts too ("Transfer\xEAncia" written
    // as two bytes); a Windows-1252 memo is not valid multi-byte UTF-8, so it
    // is taken as it is.
    if (IsMultiByteUtf8(value)) {
      item.Memo = Utf16ToCp1252(Utf8ToUtf16(value));
    } else {
      item.Memo.assign(value);
    }
    RemoveAcentosInPlace(item.Memo);
  }

  // Characters 1-4, 5-6 and 7-8 of the value as year, month and day.
  static TDateTime DateOf(std::string_view value, const char* tag, long long line_no) {
    auto part = [value](size_t from, size_t count) {
      return from < value.size() ? value.substr(from, count) : std::string_view();
    };
    const int year = StrToIntDef(part(0, 4), 0);
    const int month = StrToIntDef(part(4, 2), 0);
    const int day = StrToIntDef(part(6, 2), 0);
    try {
      return EncodeDate(year, month, day);
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel(line_no) + "data \"" + std::string(value) + "\" de " + tag +
                          " inv\xE1lida");
    }
  }

  // The value filtered by CampoValido and trimmed, in scratch_.
  std::string_view Filtered(std::string_view value) {
    scratch_.resize(value.size());
    std::transform(value.begin(), value.end(), scratch_.begin(), ValidChar);
    return Trim(scratch_);
  }

  void SetAmount(TOFXItem& item, std::string_view value, long long line_no) {
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
      throw EConvertError(LineLabel(line_no) + "valor \"" + std::string(value) +
                          "\" de TRNAMT n\xE3o \xE9 um n\xFAmero");
    }
    total_ -= item.Amount;
    // The same number as the file writes it, for the exact opening balance.
    // The separator may be neither "." nor ","; the sum reads either.
    if (separator != '.' && separator != ',') {
      for (size_t i = 0; i < filtered.size(); ++i) {
        char& c = scratch_[offset + i];
        if (c == separator) c = '.';
      }
    }
    exact_total_.Add(filtered, true);
  }

  void SetBalance(std::string_view value) {
    const std::string text(value);
    if (EmptyString(text)) {
      reader_.Balance = 0;
      reader_.balance_text_.clear();
      return;
    }
    try {
      std::string plain = FloatMaskOutText(std::string(Filtered(value)));
      reader_.Balance = FloatMaskOut(plain);
      reader_.balance_text_ = std::move(plain);
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel(line_no_) + "saldo \"" + text + "\" de BALAMT n\xE3o \xE9 um n\xFAmero");
    }
  }

  // The closing balance less the movements, as the double nearest to the
  // exact decimal result; with doubles only when the numbers are beyond the
  // exact sum's reach.
  double OpeningBalance() const {
    TExactDecimal opening;
    opening.Add(reader_.balance_text_.empty() ? std::string_view("0") : reader_.balance_text_);
    opening.Add(exact_total_);
    return opening.Exact() ? opening.ToDouble() : reader_.Balance + total_;
  }

  TVQOFXReader& reader_;
  TPieceReader pieces_;
  TFileContents* file_;
  const char* released_;
  std::string_view line_;
  std::uint32_t tags_ = 0;
  long long line_no_ = -1;
  bool held_ = false;
  std::string_view held_line_;
  std::uint32_t held_tags_ = 0;
  long long held_line_no_ = 0;
  long long block_start_ = 0;
  bool closed_ = false;
  std::uint32_t taken_ = 0;
  TLayout layout_ = TLayout::kStandard;
  // Minus the sum of the amounts, as doubles and exactly.
  double total_ = 0;
  TExactDecimal exact_total_;
  std::string scratch_;
};

bool TVQOFXReader::Parse(std::string_view text, TFileContents* file) {
  return TParse(*this, text, file).Run();
}

}  // namespace kvr
