#pragma once

// Statement files written for the tests of the screen and the command line.

#include <string>
#include <vector>

namespace kvr::testing {

// One transaction of a statement written by OfxText.
struct Trn {
  std::string posted;  // yyyymmdd
  std::string amount;  // as the file writes it, e.g. "-50.00"
  std::string fitid;
  std::string checknum;
  std::string memo;
};

// A statement in the standard line layout (one tag per line).
inline std::string OfxText(const std::string& bank, const std::string& account,
                           const std::string& start, const std::string& end,
                           const std::vector<Trn>& trns, const std::string& balance) {
  std::string s = "OFXHEADER:100\nDATA:OFXSGML\n\n<OFX>\n<BANKACCTFROM>\n<BANKID>" + bank +
                  "\n<ACCTID>" + account + "\n</BANKACCTFROM>\n<BANKTRANLIST>\n<DTSTART>" + start +
                  "\n<DTEND>" + end + "\n";
  for (const auto& t : trns) {
    s += "<STMTTRN>\n<TRNTYPE>OTHER\n<DTPOSTED>" + t.posted + "\n<TRNAMT>" + t.amount +
         "\n<FITID>" + t.fitid + "\n<CHECKNUM>" + t.checknum + "\n<MEMO>" + t.memo +
         "\n</STMTTRN>\n";
  }
  s += "</BANKTRANLIST>\n<LEDGERBAL>\n<BALAMT>" + balance + "\n</LEDGERBAL>\n</OFX>\n";
  return s;
}

// A bank-237 statement of 01/03 to 08/03/2024, one movement a day (B1 to B8,
// adding up to 5,60), closing at 1.000,00.
inline std::string Bank237Week() {
  return OfxText("237", "54321-0", "20240301", "20240308",
                 {{"20240301", "100.00", "B1", "1", "A"}, {"20240302", "-30.00", "B2", "2", "B"},
                  {"20240303", "0.10", "B3", "3", "C"}, {"20240304", "0.20", "B4", "4", "D"},
                  {"20240305", "-50.00", "B5", "5", "E"}, {"20240306", "0.30", "B6", "6", "F"},
                  {"20240307", "-20.00", "B7", "7", "G"}, {"20240308", "5.00", "B8", "8", "H"}},
                 "1000.00");
}

}  // namespace kvr::testing
