#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/component.h"
#include "platform/sysutils.h"
#include "reader/arena.h"
#include "reader/ofx_item.h"

namespace kvr {

class FileContents;

// A statement of a file that has transactions, as the parse found it: its
// bank and account as the file writes them, its currency (CURDEF, empty when
// the file writes none), its period and how many transactions it holds.
struct OfxStatement {
  std::string Banco;
  std::string Conta;
  std::string Moeda;
  TDateTime DataIncial = 0;
  TDateTime DataFinal = 0;
  int Movimentos = 0;
  bool CartaoCredito = false;
};

// The statement reader: reads one OFX bank-statement file into an ordered
// list of transaction records and the statement's header values.
//
// Owned by its owner component (or by the caller when created without one)
// and destroyed with it. The reader owns every record in its list; a record
// pointer returned by Add or Get is lent: the caller never frees it, and it
// stays valid only until that record is deleted, the list is cleared
// (Process begins by clearing it) or the reader is destroyed.
// Used on one thread at a time.
class TVQOFXReader : public TComponent {
 public:
  // Creates an empty reader registered with owner (which may be null).
  explicit TVQOFXReader(TComponent* owner);
  // Frees every record still held, then leaves the owner.
  ~TVQOFXReader() override;

  // Path of the statement file; set before Process.
  std::string OFXFile;
  // Bank code (BANKID) and account number (ACCTID), as the file writes them.
  std::string Banco;
  std::string Conta;
  // First and last day of the statement period (DTSTART, DTEND; the first and
  // last posting dates when those are no period, see Process).
  TDateTime DataIncial = 0;
  TDateTime DataFinal = 0;
  // Opening balance (the closing balance less the movements) and closing
  // balance; both 0 when the statement gives no balance or a zero one.
  double ValorIncial = 0;
  double ValorFinal = 0;
  // True when the statement read is a credit card's ("<CCSTMTRS>"), which
  // writes no bank code.
  bool CartaoCredito = false;
  // Warnings about the statement read, one line each (Windows-1252): a
  // header period that is none, replaced by the movements' period ("Período
  // do arquivo ilegível (DTSTART "2025025173830[-3:GMT]"): usado o período
  // dos movimentos, 03/02/2025 a 04/02/2025.").
  std::vector<std::string> Avisos;

  // The currency of the statement read (CURDEF, as the file writes it);
  // empty when it writes none.
  std::string Moeda;

  // Which statement with transactions to read, 1 for the first in the file;
  // 0 (the default) reads the file's only one and refuses a file where
  // several have transactions. Set before Process.
  int Extrato = 0;
  // Every statement of the file that has transactions, in file order, as the
  // last parse found them (also after it refused a file for holding several).
  std::vector<OfxStatement> Extratos;

  // Creates an empty record, appends it at the end of the list and returns
  // it (lent, see above).
  TOFXItem* Add();
  // Removes the record at the 0-based index; later records move up one
  // place. Its memory and texts are given back with the list's by Clear.
  // Throws EListError carrying the index when it is outside 0..Count()-1;
  // nothing is removed then.
  void Delete(int index);
  // Removes every record and gives back the memory of the records, of their
  // texts and of the list. Harmless on an empty list.
  void Clear();
  // The number of records.
  int Count() const { return static_cast<int>(items_.size()); }
  // The record at the 0-based index, which stays in the list (lent). Throws
  // EListError carrying the index when it is outside 0..Count()-1.
  TOFXItem* Get(int index) const;
  // A copy of text that the reader holds as it holds its records' texts,
  // until Clear or its end: how a text is set on a record from outside the
  // parse (item->Memo = reader.Keep(memo)).
  std::string_view Keep(std::string_view text) { return arena_.Copy(text); }

  // Reads the statement file named by OFXFile into the records and the
  // header values. Returns false when no file exists at the path (the list
  // is then empty and nothing else changes) or when no line holds "<OFX>";
  // true otherwise.
  //
  // Lines are read as the bank's fixed layout places them, with these
  // repairs: a line holding several opening tags is cut before each opening
  // tag after its first, each piece counting as a line; a transaction ends at
  // the line holding "</STMTTRN>" or before a line holding "<STMTTRN>"; a
  // field its positions did not give is taken from the first of the
  // transaction's own lines that holds its tag, and a transaction without a
  // MEMO line takes its NAME line as its memo; memos in valid multi-byte
  // UTF-8 are decoded in every layout; ValorIncial is the double nearest to
  // the exact decimal balance less the amounts as the file writes them.
  // The balance is the ledger balance: a BALAMT inside "<AVAILBAL>" is used
  // only when no other was read. A file holding several statements ("<STMTRS>"
  // or "<CCSTMTRS>" aggregates) gives the one with transactions, with its own
  // account, period and balance; those without transactions are skipped
  // (with none, the last one is given); with Extrato set, the records and
  // the header values are those of that statement alone. A file that starts with a UTF-16
  // byte-order mark is read as its Windows-1252 conversion; a UTF-8 one is
  // skipped. Dates are read in the OFX form or the ISO 8601 one. In a
  // statement with transactions, a DTSTART or DTEND in no date form (8, 12 or
  // 14 digits, optionally ".XXX" and "[offset:zone]"; or ISO 8601), or a
  // start after the end, gives the period of the first to the last posting
  // date, with a line in Avisos.
  //
  // Throws EFileError when something other than a regular file is at the
  // path (a folder, a pipe, a device) or the file cannot be read;
  // EConvertError for an invalid DTPOSTED date, or DTSTART or DTEND of a
  // statement without transactions, a TRNAMT
  // that is not a number, a BALAMT that FloatMaskOut rejects, or a
  // transaction without DTPOSTED or TRNAMT, or a file where more than one
  // statement has transactions ("O arquivo contém 2 extratos com movimentos
  // (contas 111 e 222): exporte um extrato por arquivo.") while Extrato is 0,
  // or an Extrato beyond the statements with transactions ("O arquivo
  // contém 2 extratos com movimentos: não há o extrato 3."); and EListError (carrying the
  // 0-based index of the missing line) when the file ends inside a
  // transaction ("Arquivo incompleto: termina na linha 75, dentro da
  // transação iniciada na linha 72."). Messages name the 1-based line of the
  // file and quote the value. After an error the reader holds what was read
  // up to it, and ValorIncial and ValorFinal are not updated.
  bool Process();

  // Process on text held in memory, as if it were the whole content of an
  // existing file (so the result is whether a line holds "<OFX>"). OFXFile is
  // neither read nor changed.
  bool ProcessBuffer(std::string_view text);

  // Tag and text helpers. They keep no state and never fail.

  // True when tag occurs in line, comparing the ASCII letters a to z without
  // regard to case and every other byte exactly. False for an empty tag or an
  // empty line.
  static bool FindString(const std::string& tag, const std::string& line);

  // The value of a tag line: the line is trimmed of leading and trailing
  // bytes of code 32 or less, then the text between its first ">" and its
  // first "</" (or its end) is returned, not trimmed. Empty when the line has
  // no ">" or when its first "</" comes before its first ">".
  static std::string InfLine(const std::string& line);

  // A text of the same length in which each byte, upper-cased, stays when it
  // is a blank, "%", ",", "-", ".", "/", a digit, a letter other than "R", or
  // a backslash; an accented A, C, E, I, O or U becomes its plain capital;
  // every other byte becomes a blank.
  static std::string CampoValido(const std::string& value);

  // The value with every "." and then every "," replaced by the current
  // FormatSettings.DecimalSeparator.
  static std::string PrepareFloat(const std::string& value);

  // Every occurrence of pattern in source, left to right and without
  // overlaps, replaced by replacement; with ignore_case the ASCII letters
  // match in either case. An empty pattern is never found.
  static std::string ReplaceString(const std::string& source, const std::string& pattern,
                                   const std::string& replacement, bool ignore_case);

  // The UTF-8 text decoded into UTF-16; each malformed sequence becomes
  // U+FFFD.
  static std::u16string UTF8ToWideString(const std::string& value);

 private:
  class Parser;

  // The parse of text; file, when given, holds text and is told how far the
  // parse has come.
  bool Parse(std::string_view text, FileContents* file);

  // The balance last read by a parse, and the same as plain decimal text
  // ("-1234.56"; empty for 0) for the exact opening balance.
  double Balance = 0;
  std::string balance_text_;
  // The records and their texts, side by side in the arena, and the
  // records in list order.
  Arena arena_;
  std::vector<TOFXItem*, LargeAllocator<TOFXItem*>> items_;
};

}  // namespace kvr
