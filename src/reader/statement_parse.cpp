#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/string_services.h"
#include "platform/cp1252.h"
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

// A fixed position of a layout: the block moves to the next line, then past
// the line of each optional tag in turn that holds it (taking its field when
// it is one), and takes field from the line it is on.
struct FieldPosition {
  std::uint32_t field;
  std::uint32_t optional[2] = {0, 0};
};

// The positions after "<STMTTRN>", by layout: TRNTYPE, DTPOSTED, DTUSER
// when there, TRNAMT, FITID, CHECKNUM, PAYEEID and REFNUM when there, MEMO;
// bank 336 writes TRNAMT before DTPOSTED, bank 21 its own order.
constexpr FieldPosition kStandard[] = {{kTrnType}, {kDtPosted}, {kTrnAmt, {kDtUser}},
                                       {kFitId},   {kCheckNum}, {kMemo, {kPayeeId, kRefNum}}};
constexpr FieldPosition kBank336[] = {{kTrnType}, {kTrnAmt},   {kDtPosted, {kDtUser}},
                                      {kFitId},   {kCheckNum}, {kMemo, {kPayeeId, kRefNum}}};
constexpr FieldPosition kBank21[] = {
    {kFitId}, {kTrnType}, {kDtPosted}, {kTrnAmt, {kDtUser}}, {kMemo, {kCheckNum, kNumRef}}};

std::string LineLabel(long long line) {
  return "linha " + std::to_string(line + 1) + ": ";
}

}  // namespace

// One run of the parse over a whole text. The pieces of lines are walked
// forward, one counter shared by the main scan and the transaction blocks;
// a transaction that misses fields looks again at its own lines with a copy
// of the walk. No list of lines is kept.
class TVQOFXReader::Parser {
  // The header values of one statement of the file, as the reader holds them.
  using HeaderTuple = std::tuple<std::string, std::string, TDateTime, TDateTime, double,
                                 std::string, bool, std::vector<std::string>, std::string>;
  auto Header() {
    return std::tie(reader_.Banco, reader_.Conta, reader_.DataIncial, reader_.DataFinal,
                    reader_.Balance, reader_.balance_text_, reader_.CartaoCredito, reader_.Avisos,
                    reader_.Moeda);
  }

 public:
  Parser(TVQOFXReader& reader, std::string_view text, FileContents* file)
      : reader_(reader), pieces_(text), file_(file), released_(text.data()) {}

  bool Run() {
    bool ofx = false;
    while (NextForScan()) {
      if (line_.tags & kOfx) ofx = true;
      if (!ofx) continue;
      if (line_.tags & kHeaderTags) HeaderLine();
      // After a block, the line below is the block's last line.
      if (line_.tags & kStmtTrn) Transaction();
      if (line_.tags & (kAvailBal | kBalAmt | kAvailBalEnd)) Balances();
    }
    EndStatement();
    const int found = static_cast<int>(reader_.Extratos.size());
    if (reader_.Extrato == 0 && with_movements_.size() > 1)
      throw EConvertError(SeveralStatements());
    if (reader_.Extrato > found && found > 0) {
      throw EConvertError("O arquivo contém " + std::to_string(found) +
                          (found == 1 ? " extrato" : " extratos") +
                          " com movimentos: não há o extrato " +
                          std::to_string(reader_.Extrato) + ".");
    }
    if (chosen_) Header() = *chosen_;
    reader_.ValorFinal = reader_.Balance != 0 ? reader_.Balance : 0;
    reader_.ValorIncial = reader_.Balance != 0 ? OpeningBalance() : 0;
    return ofx;
  }

 private:
  // The lines of the header values, few in a file, apart from the rest.
  static constexpr std::uint32_t kHeaderTags =
      kStmtRs | kCcStmtRs | kBankId | kAcctId | kDtStart | kDtEnd | kCurDef;
  void HeaderLine() {
    if (line_.tags & (kStmtRs | kCcStmtRs)) StartStatement((line_.tags & kCcStmtRs) != 0);
    if (line_.tags & kBankId) reader_.Banco.assign(line_.value);
    if (line_.tags & kAcctId) reader_.Conta.assign(line_.value);
    // The period is read once the statement's transactions are known.
    if (line_.tags & kDtStart) start_ = {std::string(line_.value), line_.number};
    if (line_.tags & kDtEnd) end_ = {std::string(line_.value), line_.number};
    if (line_.tags & kCurDef) reader_.Moeda.assign(Trim(line_.value));
  }

  // A file may hold several statements, each with its own account: the one
  // with transactions is the file's statement, wherever it stands; those
  // without are skipped (a bank writes an empty statement of another
  // account before the real one). Only one statement may have transactions.
  void StartStatement(bool card) {
    EndStatement();
    // Nothing of the statement before carries over to this one.
    if (statements_++ > 0) Header() = HeaderTuple();
    reader_.CartaoCredito = card;
    first_item_ = reader_.items_.size();
    total_before_ = total_;
    exact_total_before_ = exact_total_;
    in_avail_ = false;
    ledger_read_ = false;
  }

  // Takes note of the statement that ends here when it had transactions,
  // and reads its period; when another one is wanted (Extrato), its records
  // are dropped.
  void EndStatement() {
    if (reader_.items_.size() == first_item_) {
      ResolvePeriod(false);
      return;
    }
    ResolvePeriod(true);
    with_movements_.push_back({reader_.Conta, reader_.Moeda});
    reader_.Extratos.push_back({reader_.Banco, reader_.Conta, reader_.Moeda, reader_.DataIncial,
                                reader_.DataFinal,
                                static_cast<int>(reader_.items_.size() - first_item_),
                                reader_.CartaoCredito});
    const int wanted = reader_.Extrato;
    if (wanted > 0 && static_cast<int>(reader_.Extratos.size()) != wanted) {
      reader_.items_.resize(first_item_);
      total_ = total_before_;
      exact_total_ = exact_total_before_;
    } else {
      chosen_ = Header();
    }
    first_item_ = reader_.items_.size();
  }

  // The period of the present statement from its DTSTART and DTEND. With
  // transactions, a period that is none (a date in no date form, or a start
  // after the end) becomes the first to the last posting date, with a
  // warning; a bank writing its generation time unpadded ("2025021101520",
  // day 1) would otherwise be misread or refused. Without transactions the
  // dates are read by the first eight characters, an error as ever.
  void ResolvePeriod(bool with_items) {
    const auto [start_text, start_line] = std::exchange(start_, {});
    const auto [end_text, end_line] = std::exchange(end_, {});
    const bool has_start = start_line >= 0;
    const bool has_end = end_line >= 0;
    if (!with_items) {
      if (has_start) reader_.DataIncial = DateOf(start_text, "DTSTART", start_line);
      if (has_end) reader_.DataFinal = DateOf(end_text, "DTEND", end_line);
      return;
    }
    const std::optional<TDateTime> start = has_start ? HeaderDate(start_text) : std::nullopt;
    const std::optional<TDateTime> end = has_end ? HeaderDate(end_text) : std::nullopt;
    if (start) reader_.DataIncial = *start;
    if (end) reader_.DataFinal = *end;
    std::string problem;
    if ((has_start && !start) || (has_end && !end)) {
      // The first date that is none is named.
      const bool start_bad = has_start && !start;
      problem = "ilegível ("_cp1252 + std::string(start_bad ? "DTSTART" : "DTEND") + " \"" +
                (start_bad ? start_text : end_text) + "\")";
    } else if (has_start && has_end && reader_.DataIncial > reader_.DataFinal) {
      problem =
          "invertido (" + ShownDay(reader_.DataIncial) + " a " + ShownDay(reader_.DataFinal) + ")";
    } else {
      return;
    }
    TDateTime first = reader_.items_[first_item_]->PostedDate;
    TDateTime last = first;
    for (size_t i = first_item_; i < reader_.items_.size(); ++i) {
      first = std::min(first, reader_.items_[i]->PostedDate);
      last = std::max(last, reader_.items_[i]->PostedDate);
    }
    reader_.DataIncial = first;
    reader_.DataFinal = last;
    reader_.Avisos.push_back("Período do arquivo "_cp1252 + problem +
                             ": usado o período dos movimentos, "_cp1252 + ShownDay(first) + " a " +
                             ShownDay(last) + ".");
  }

  static std::string ShownDay(TDateTime date) {
    int year = 0, month = 0, day = 0;
    DecodeDate(date, year, month, day);
    char text[16];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", day, month, year);
    return text;
  }

  // "O arquivo contém 2 extratos com movimentos (contas 111 e 222): ...";
  // the currencies are named when the accounts are the same.
  std::string SeveralStatements() const {
    bool same_account = true;
    for (const auto& [account, currency] : with_movements_)
      same_account = same_account && account == with_movements_[0].first;
    std::string accounts;
    for (size_t i = 0; i < with_movements_.size(); ++i) {
      if (i > 0) accounts += i + 1 == with_movements_.size() ? " e " : ", ";
      accounts += with_movements_[i].first;
      if (same_account && !with_movements_[i].second.empty())
        accounts += " (" + with_movements_[i].second + ")";
    }
    return "O arquivo contém " + std::to_string(with_movements_.size()) + " extratos com movimentos (contas " +
           Cp1252ToUtf8(accounts) + "): exporte um extrato por arquivo.";
  }

  // The statement's balance is the ledger balance: a BALAMT inside
  // "<AVAILBAL>" never replaces one read outside it, as the available
  // credit of a card would the amount owed; alone, it is the balance.
  void Balances() {
    if (line_.tags & kAvailBal) in_avail_ = true;
    if ((line_.tags & kBalAmt) && !(in_avail_ && ledger_read_)) {
      SetBalance(line_.value);
      if (!in_avail_) ledger_read_ = true;
    }
    if (line_.tags & kAvailBalEnd) in_avail_ = false;
  }

  // The main scan's next piece: the one a block left unread, or the next of
  // the text. False at the end.
  bool NextForScan() {
    if (held_) {
      held_ = false;
      line_ = held_line_;
      return true;
    }
    return pieces_.Next(line_);
  }

  // A block's move to its next position. Returns false, without moving,
  // when the block has read the transaction's closing tag, or when that
  // line opens a transaction: the block then ends on the line it is on, and
  // the main scan starts the next transaction with that line instead of the
  // block swallowing it. Throws when the text ends there.
  bool NextInBlock() {
    if (closed_) return false;
    // The scan writes straight into line_: a copy of a line just written is
    // slow to read back whole. The line before is kept for the rare way back.
    const ScanLine last = line_;
    if (!pieces_.Next(line_)) {
      throw EListError("Arquivo incompleto: termina na linha " + std::to_string(last.number + 1) +
                           ", dentro da transação iniciada na linha " +
                           std::to_string(block_start_ + 1) + ".",
                       last.number + 1);
    }
    if (line_.tags & kStmtTrn) {
      held_ = true;
      held_line_ = line_;
      line_ = last;
      return false;
    }
    closed_ = (line_.tags & kStmtTrnEnd) != 0;
    return true;
  }

  // The file's pages behind the parse are not looked at again: giving them
  // back keeps a large statement from being held whole beside its records.
  void ReleaseBehind() {
    constexpr std::ptrdiff_t kStep = 4 << 20;
    if (file_ == nullptr || line_.text.data() - released_ < kStep) return;
    released_ = line_.text.data();
    file_->ReleaseBefore(released_);
  }

  void Transaction() {
    block_start_ = line_.number;
    // The walk as it stands after the "<STMTTRN>" line: the transaction's own
    // lines start here.
    const PieceReader own_lines = pieces_;
    ReleaseBehind();
    TOFXItem& item = *reader_.Add();
    taken_ = 0;
    closed_ = false;
    bank21_ = reader_.Banco == "21";
    if (bank21_)
      Positions<kBank21>(item);
    else if (reader_.Banco == "336")
      Positions<kBank336>(item);
    else
      Positions<kStandard>(item);
    if ((taken_ & kFields) != kFields) TakeFromOwnLines(item, own_lines);
    if ((taken_ & kDtPosted) == 0) {
      throw EConvertError(LineLabel(block_start_) + "transação sem data (DTPOSTED)");
    }
    if ((taken_ & kTrnAmt) == 0) {
      throw EConvertError(LineLabel(block_start_) + "transação sem valor (TRNAMT)");
    }
  }

  // Each field the positions left unset, from the first of the
  // transaction's own lines that holds its tag: after "<STMTTRN>" up to the
  // first line holding "</STMTTRN>", stopping before a line that opens
  // another transaction and at the text's end. Banks that write no CHECKNUM
  // line, or a NAME line before MEMO, put their lines off the positions.
  // A transaction without a MEMO line takes its description from its first
  // NAME line, the payee that many banks write instead.
  void TakeFromOwnLines(TOFXItem& item, PieceReader lines) {
    ScanLine line;
    ScanLine name;
    while ((taken_ & kFields) != kFields && lines.Next(line)) {
      if (line.tags & kStmtTrn) break;
      const std::uint32_t wanted = line.tags & kFields & ~taken_;
      if (wanted != 0) Take(item, wanted, line.value, line.number);
      if ((line.tags & kName) && name.number < 0) name = line;
      if (line.tags & kStmtTrnEnd) break;
    }
    if ((taken_ & kMemo) == 0 && name.number >= 0) Take(item, kMemo, name.value, name.number);
  }

  // Sets the fields of the bits in which (read from one line) from value.
  void Take(TOFXItem& item, std::uint32_t which, std::string_view value, long long line_no) {
    if (which & kTrnType) item.TrnType = reader_.arena_.Copy(value);
    if (which & kDtPosted) item.PostedDate = DateOf(value, "DTPOSTED", line_no);
    if (which & kTrnAmt) SetAmount(item, value, line_no);
    if (which & kFitId) item.FitId = reader_.arena_.Copy(value);
    if (which & kCheckNum) item.CheckNum = reader_.arena_.Copy(value);
    if (which & kMemo) SetMemo(item, value);
    taken_ |= which;
  }

  // The field of tag taken from the current line when the line holds it.
  void Position(TOFXItem& item, std::uint32_t tag) {
    if (line_.tags & tag) Take(item, tag, line_.value, line_.number);
  }

  // The block's walk through the fixed positions of a layout, unrolled so
  // that each tag is a constant where its field is taken: as quick as the
  // positions written out one by one.
  template <const auto& kPositions>
  void Positions(TOFXItem& item) {
#pragma GCC unroll 8
    for (const FieldPosition& position : kPositions) {
      if (!NextInBlock()) return;
#pragma GCC unroll 2
      for (const std::uint32_t optional : position.optional) {
        if ((line_.tags & optional) == 0) continue;
        Position(item, optional & kFields);
        if (!NextInBlock()) return;
      }
      Position(item, position.field);
    }
  }

  void SetMemo(TOFXItem& item, std::string_view value) {
    if (bank21_) {
      // This bank writes its memos in UTF-8.
      item.Memo = reader_.arena_.Copy(Utf8ToCp1252(value));
      return;
    }
    // Memos in UTF-8 reach the other layouts too ("Transferência" written
    // as two bytes); a Windows-1252 memo is not valid multi-byte UTF-8, so it
    // is taken as it is.
    std::string decoded;
    if (IsMultiByteUtf8(value)) {
      decoded = Utf8ToCp1252(value);
      value = decoded;
    }
    if (value.empty()) return;
    char* const memo = static_cast<char*>(reader_.arena_.Allocate(value.size(), 1));
    std::copy(value.begin(), value.end(), memo);
    RemoveAcentosInPlace({memo, value.size()});
    item.Memo = std::string_view(memo, value.size());
  }

  // The value of digits [from, from + count) of text, all digits.
  static int Number(std::string_view text, size_t from, size_t count) {
    int n = 0;
    for (size_t i = from; i < from + count; ++i) n = n * 10 + (text[i] - '0');
    return n;
  }

  static bool AllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  }

  // The day of year, month and day, when they make one.
  static std::optional<TDateTime> Day(int year, int month, int day) {
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1])
      return std::nullopt;
    if (month == 2 && day == 29 && !(year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)))
      return std::nullopt;
    return EncodeDate(year, month, day);
  }

  // The day of an ISO 8601 date: "2026-02-01", with a time "T00:00:00"
  // (minutes or seconds, seconds with a fraction) and then "Z" or an offset
  // ("-03:00", "-0300", "-03"), read as the calendar day written.
  static std::optional<TDateTime> IsoDay(std::string_view text) {
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !AllDigits(text.substr(0, 4)) ||
        !AllDigits(text.substr(5, 2)) || !AllDigits(text.substr(8, 2)))
      return std::nullopt;
    std::string_view rest = text.substr(10);
    auto two_digits = [&rest](int limit) {
      if (rest.size() < 2 || !AllDigits(rest.substr(0, 2)) || Number(rest, 0, 2) > limit)
        return false;
      rest.remove_prefix(2);
      return true;
    };
    if (!rest.empty() && (rest[0] == 'T' || rest[0] == 't' || rest[0] == ' ')) {
      rest.remove_prefix(1);
      if (!two_digits(23) || rest.empty() || rest[0] != ':') return std::nullopt;
      rest.remove_prefix(1);
      if (!two_digits(59)) return std::nullopt;
      if (!rest.empty() && rest[0] == ':') {
        rest.remove_prefix(1);
        if (!two_digits(60)) return std::nullopt;
        if (!rest.empty() && (rest[0] == '.' || rest[0] == ',')) {
          rest.remove_prefix(1);
          const size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
          if (digits == 0) return std::nullopt;
          rest.remove_prefix(digits);
        }
      }
      if (rest == "Z" || rest == "z") rest = {};
      if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        rest.remove_prefix(1);
        if (!two_digits(23)) return std::nullopt;
        if (!rest.empty() && rest[0] == ':') rest.remove_prefix(1);
        if (!rest.empty() && !two_digits(59)) return std::nullopt;
      }
    }
    if (!Trim(rest).empty()) return std::nullopt;
    return Day(Number(text, 0, 4), Number(text, 5, 2), Number(text, 8, 2));
  }

  // The day of a header date in one of the date forms: 8, 12 or 14 digits
  // (a day, then hours, minutes and seconds), optionally ".XXX" after the
  // seconds and a "[offset:zone]" suffix; or the ISO 8601 form. None for
  // anything else, as the 13 unpadded digits of "2025021101520".
  static std::optional<TDateTime> HeaderDate(std::string_view value) {
    const std::string_view text = Trim(value);
    if (const std::optional<TDateTime> iso = IsoDay(text)) return iso;
    const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    if (digits != 8 && digits != 12 && digits != 14) return std::nullopt;
    if (digits >= 12 && (Number(text, 8, 2) > 23 || Number(text, 10, 2) > 59)) return std::nullopt;
    if (digits == 14 && Number(text, 12, 2) > 60) return std::nullopt;
    std::string_view rest = text.substr(digits);
    if (digits == 14 && !rest.empty() && rest[0] == '.') {
      rest.remove_prefix(1);
      const size_t fraction = std::min(rest.find_first_not_of("0123456789"), rest.size());
      if (fraction == 0) return std::nullopt;
      rest.remove_prefix(fraction);
    }
    rest = Trim(rest);
    if (!rest.empty()) {
      // "[-3:GMT]", "[-03:EST]", "[0]": the offset, its zone optional.
      if (rest.size() < 3 || rest[0] != '[' || rest.back() != ']') return std::nullopt;
      std::string_view offset = rest.substr(1, rest.size() - 2);
      offset = offset.substr(0, offset.find(':'));
      if (!offset.empty() && (offset[0] == '+' || offset[0] == '-')) offset.remove_prefix(1);
      if (offset.empty() || offset.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    }
    return Day(Number(text, 0, 4), Number(text, 4, 2), Number(text, 6, 2));
  }

  // Characters 1-4, 5-6 and 7-8 of the value as year, month and day, or the
  // day of an ISO 8601 date ("2026-02-01T00:00:00Z").
  static TDateTime DateOf(std::string_view value, const char* tag, long long line_no) {
    if (value.size() >= 8 && std::all_of(value.begin(), value.begin() + 8,
                                         [](char c) { return c >= '0' && c <= '9'; })) {
      // The usual form: eight digits first, read at once.
      auto number = [value](size_t from, size_t count) {
        int n = 0;
        for (size_t i = from; i < from + count; ++i) n = n * 10 + (value[i] - '0');
        return n;
      };
      const int year = number(0, 4);
      const int month = number(4, 2);
      const int day = number(6, 2);
      if (year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= 28) {
        return EncodeDate(year, month, day);
      }
    }
    if (const std::optional<TDateTime> iso = IsoDay(value)) return *iso;
    auto part = [value](size_t from, size_t count) {
      return from < value.size() ? value.substr(from, count) : std::string_view();
    };
    const int year = StrToIntDef(part(0, 4), 0);
    const int month = StrToIntDef(part(4, 2), 0);
    const int day = StrToIntDef(part(6, 2), 0);
    try {
      return EncodeDate(year, month, day);
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel(line_no) + "data \"" + Cp1252ToUtf8(value) + "\" de " + tag + " inválida");
    }
  }

  // The value filtered by CampoValido and trimmed, in scratch_.
  std::string_view Filtered(std::string_view value) {
    scratch_.resize(value.size());
    std::transform(value.begin(), value.end(), scratch_.begin(), ValidChar);
    return Trim(scratch_);
  }

  // The usual amount: an optional "-", then at most fifteen digits with at
  // most one mark (mark or other_mark) among them, neither first nor last.
  // Returns false for any other text; otherwise sets amount to the number
  // as StrToFloat reads it, and units and scale so that it is, exactly,
  // units / 10^scale.
  static bool UsualAmount(std::string_view text, char mark, char other_mark, double& amount,
                          std::int64_t& units, int& scale) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) i = 1;
    std::int64_t read = 0;
    int digits = 0;
    int before = -1;  // digits before the mark, once it is seen
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (c >= '0' && c <= '9') {
        read = read * 10 + (c - '0');
        if (++digits > 15) return false;
      } else if ((c == mark || c == other_mark) && before < 0) {
        before = digits;
      } else {
        return false;
      }
    }
    if (digits == 0 || before == 0 || before == digits) return false;
    scale = before < 0 ? 0 : digits - before;
    units = negative ? -read : read;
    // Both numbers of the quotient are exact doubles, so the quotient is the
    // correctly rounded value, as StrToFloat gives it ("-0" included).
    const double value = static_cast<double>(read) / kPow10[scale];
    amount = negative ? -value : value;
    return true;
  }

  void SetAmount(TOFXItem& item, std::string_view value, long long line_no) {
    const char separator = FormatSettings.DecimalSeparator;
    std::int64_t units = 0;
    int scale = 0;
    // The usual amount, digits with a "." or a "," among them, is read as it
    // stands: CampoValido keeps each of its bytes, and PrepareFloat makes its
    // mark the decimal separator.
    double amount = 0;
    if ((separator == '.' || separator == ',') &&
        UsualAmount(value, '.', ',', amount, units, scale)) {
      item.Amount = amount;
      total_ -= item.Amount;
      exact_total_.AddUnits(-units, scale);
      return;
    }
    const std::string_view filtered = Filtered(value);
    // PrepareFloat: every "." and "," becomes the decimal separator.
    const auto begin = scratch_.begin() + (filtered.data() - scratch_.data());
    const auto end = begin + static_cast<std::ptrdiff_t>(filtered.size());
    std::replace_if(
        begin, end, [](char c) { return c == '.' || c == ','; }, separator);
    // StrToFloat, the usual amount read here.
    const bool plain = UsualAmount(filtered, separator, separator, amount, units, scale);
    try {
      item.Amount = plain ? amount : StrToFloat(filtered);
    } catch (const EConvertError&) {
      throw EConvertError(LineLabel(line_no) + "valor \"" + Cp1252ToUtf8(value) +
                          "\" de TRNAMT não é um número");
    }
    total_ -= item.Amount;
    if (plain && (separator == '.' || separator == ',')) {
      // The number the sum would read from the text, already at hand.
      exact_total_.AddUnits(-units, scale);
      return;
    }
    // The same number as the file writes it, for the exact opening balance.
    // The separator may be neither "." nor ","; the sum reads either.
    if (separator != '.' && separator != ',') std::replace(begin, end, separator, '.');
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
      throw EConvertError(LineLabel(line_.number) + "saldo \"" + Cp1252ToUtf8(text) +
                          "\" de BALAMT não é um número");
    }
  }

  // The closing balance less the movements, as the double nearest to the
  // exact decimal result; with doubles only when the numbers are beyond the
  // exact sum's reach.
  double OpeningBalance() const {
    ExactDecimal opening;
    opening.Add(reader_.balance_text_.empty() ? std::string_view("0") : reader_.balance_text_);
    opening.Add(exact_total_);
    return opening.Exact() ? opening.ToDouble() : reader_.Balance + total_;
  }

  TVQOFXReader& reader_;
  PieceReader pieces_;
  FileContents* file_;
  const char* released_;
  ScanLine line_;  // the line the parse is on
  bool held_ = false;
  ScanLine held_line_;
  long long block_start_ = 0;
  bool closed_ = false;
  std::uint32_t taken_ = 0;
  bool bank21_ = false;  // the transaction's layout is bank 21's
  // The statements of the file: how many began, the first record of the
  // present one, the accounts of those with transactions and the header of
  // the last of them; where the present one is in its balances.
  int statements_ = 0;
  size_t first_item_ = 0;
  std::vector<std::pair<std::string, std::string>> with_movements_;
  std::optional<HeaderTuple> chosen_;
  bool in_avail_ = false;
  bool ledger_read_ = false;
  // The present statement's DTSTART and DTEND as written, with their lines
  // (-1: not read).
  struct TRawDate {
    std::string text;
    long long line = -1;
  };
  TRawDate start_, end_;
  // Minus the sum of the amounts, as doubles and exactly; and as they stood
  // when the present statement began.
  double total_ = 0;
  ExactDecimal exact_total_;
  double total_before_ = 0;
  ExactDecimal exact_total_before_;
  std::string scratch_;
};

namespace {

// The text of a file that starts with a UTF-16 byte-order mark (Windows
// tools write such files) in 8 bits, as the parse reads every file; lines
// stay where they are. Empty for any other text.
std::string FromUtf16(std::string_view text) {
  if (text.size() < 2) return {};
  const auto b0 = static_cast<unsigned char>(text[0]);
  const auto b1 = static_cast<unsigned char>(text[1]);
  const bool little = b0 == 0xFF && b1 == 0xFE;
  if (!little && !(b0 == 0xFE && b1 == 0xFF)) return {};
  std::u16string wide((text.size() - 2) / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    const auto lo = static_cast<unsigned char>(text[2 + 2 * i + (little ? 0 : 1)]);
    const auto hi = static_cast<unsigned char>(text[2 + 2 * i + (little ? 1 : 0)]);
    wide[i] = static_cast<char16_t>(hi << 8 | lo);
  }
  return Utf16ToCp1252(wide);
}

}  // namespace

bool TVQOFXReader::Parse(std::string_view text, FileContents* file) {
  CartaoCredito = false;
  Avisos.clear();
  Moeda.clear();
  Extratos.clear();
  if (text.size() >= 2 && (text[0] == '\xFF' || text[0] == '\xFE')) {
    const std::string narrow = FromUtf16(text);
    if (!narrow.empty()) return Parse(narrow, nullptr);
  }
  // A UTF-8 byte-order mark is no part of the text.
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  // The records and their texts take less room than the statement's text,
  // as a rule, and few transactions take fewer than kTransactionBytes of it:
  // room for both is taken at once, its pages touched only as it fills,
  // rather than in growing steps that each fault in pages of their own.
  constexpr size_t kTransactionBytes = 64;
  arena_.Reserve(text.size());
  try {
    items_.reserve(text.size() / kTransactionBytes);
  } catch (const std::bad_alloc&) {
    // The list then grows as it goes.
  }
  return Parser(*this, text, file).Run();
}

}  // namespace kvr
