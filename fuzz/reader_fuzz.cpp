// Feeds arbitrary bytes to the statement parse. Besides crashes, leaks and
// undefined behaviour, it stops on a parse error that is not one of the
// module's exceptions and on any disagreement between the one-pass line and
// tag scanner and the plain definitions (line splitting, FindString and the
// value of a line).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/format_settings.h"
#include "platform/text_file.h"
#include "reader/tag_scan.h"
#include "reader/vq_ofx_reader.h"

namespace {

const char* const kTags[] = {"<OFX>",     "<BANKID>",  "<ACCTID>",   "<DTSTART>", "<DTEND>",
                             "<STMTTRN>", "<BALAMT>",  "<TRNTYPE>",  "<DTPOSTED>", "<DTUSER>",
                             "<TRNAMT>",  "<FITID>",   "<CHECKNUM>", "<NUMREF>",  "<PAYEEID>",
                             "<REFNUM>",  "<MEMO>",    "</STMTTRN>", "<NAME>",    "<STMTRS>",
                             "<CCSTMTRS>", "<AVAILBAL>", "</AVAILBAL>", "<CURDEF>"};
constexpr int kTagCount = 24;

bool OpensTag(std::string_view text, size_t i) {
  if (i + 1 >= text.size() || text[i] != '<') return false;
  const char c = text[i + 1];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The value of a line by its plain definition: trim, then the text between
// the first ">" and the first "</" (or the end).
std::string PlainValue(std::string_view line) {
  size_t first = 0, last = line.size();
  while (first < last && static_cast<unsigned char>(line[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(line[last - 1]) <= 32) --last;
  const std::string_view t = line.substr(first, last - first);
  const size_t gt = t.find('>');
  if (gt == std::string_view::npos) return {};
  const size_t close = t.find("</");
  const size_t end = close == std::string_view::npos ? t.size() : close;
  const size_t start = gt + 1;
  return end > start ? std::string(t.substr(start, end - start)) : std::string();
}

void CheckScanner(std::string_view text) {
  kvr::LineReader plain(text);
  kvr::tag_scan::TagLineReader scanner(text);
  kvr::tag_scan::PieceReader pieces(text);
  std::string_view expected;
  kvr::tag_scan::ScanLine line, piece;
  long long number = -1;
  while (plain.Next(expected)) {
    ++number;
    if (!scanner.Next(line) || line.text != expected) __builtin_trap();
    const std::string copy(line.text);
    for (int bit = 0; bit < kTagCount; ++bit) {
      const bool found = kvr::TVQOFXReader::FindString(kTags[bit], copy);
      if (((line.tags >> bit) & 1u) != (found ? 1u : 0u)) __builtin_trap();
    }
    if (kvr::TVQOFXReader::CampoValido(copy).size() != copy.size()) __builtin_trap();
    const std::string value = PlainValue(line.text);
    if (kvr::TVQOFXReader::InfLine(copy) != value || line.value != value) __builtin_trap();
    // The pieces: the line cut before each opening tag but its first.
    size_t opens = 0, from = 0;
    for (size_t i = 0; i <= line.text.size(); ++i) {
      const bool end = i == line.text.size();
      if (!end && !OpensTag(line.text, i)) continue;
      if (!end && opens++ == 0) continue;
      if (!pieces.Next(piece) || piece.number != number ||
          piece.text != line.text.substr(from, i - from) || piece.value != PlainValue(piece.text)) {
        __builtin_trap();
      }
      const std::string piece_copy(piece.text);
      for (int bit = 0; bit < kTagCount; ++bit) {
        const bool found = kvr::TVQOFXReader::FindString(kTags[bit], piece_copy);
        if (((piece.tags >> bit) & 1u) != (found ? 1u : 0u)) __builtin_trap();
      }
      from = i;
    }
    if (((line.tags & kvr::tag_scan::kSeveralOpen) != 0) != (opens > 1)) __builtin_trap();
  }
  if (scanner.Next(line) || pieces.Next(piece)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckScanner(text);
  // Both conventions of the decimal separator.
  kvr::FormatSettings.DecimalSeparator = size % 2 == 0 ? '.' : ',';
  kvr::TVQOFXReader reader(nullptr);
  bool read = false;
  try {
    reader.ProcessBuffer(text);
    read = true;
  } catch (const kvr::Exception&) {
    // Conversion and index errors are the parse's answer to bad input.
  }
  // A period replaced by the movements' is never inverted.
  if (read && !reader.Avisos.empty() && reader.DataIncial > reader.DataFinal) __builtin_trap();
  for (int i = 0; i < reader.Count(); ++i) {
    if (reader.Get(i) == nullptr) __builtin_trap();
  }
  return 0;
}
