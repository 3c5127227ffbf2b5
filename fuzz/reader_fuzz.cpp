// Feeds arbitrary bytes to the statement parse. Besides crashes, leaks and
// undefined behaviour, it stops on a parse error that is not one of the
// module's exceptions and on any disagreement between the one-pass line and
// tag scanner and the plain definitions (line splitting and FindString).
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
                             "<REFNUM>",  "<MEMO>"};

void CheckScanner(std::string_view text) {
  kvr::TLineReader plain(text);
  kvr::tag_scan::TTagLineReader scanner(text);
  std::string_view expected, line;
  std::uint32_t tags = 0;
  while (plain.Next(expected)) {
    if (!scanner.Next(line, tags) || line != expected) __builtin_trap();
    const std::string copy(line);
    for (int bit = 0; bit < 17; ++bit) {
      const bool found = kvr::TVQOFXReader::FindString(kTags[bit], copy);
      if (((tags >> bit) & 1u) != (found ? 1u : 0u)) __builtin_trap();
    }
    if (kvr::TVQOFXReader::CampoValido(copy).size() != copy.size()) __builtin_trap();
  }
  if (scanner.Next(line, tags)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckScanner(text);
  // Both conventions of the decimal separator.
  kvr::FormatSettings.DecimalSeparator = size % 2 == 0 ? '.' : ',';
  kvr::TVQOFXReader reader(nullptr);
  try {
    reader.ProcessBuffer(text);
  } catch (const kvr::Exception&) {
    // Conversion and index errors are the parse's answer to bad input.
  }
  for (int i = 0; i < reader.Count(); ++i) {
    if (reader.Get(i) == nullptr) __builtin_trap();
  }
  return 0;
}
