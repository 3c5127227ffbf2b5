#include "screen/narrowed_header.h"

#include <algorithm>
#include <string>

#include "reader/exact_decimal.h"
#include "reader/vq_ofx_reader.h"
#include "wire/packet_format.h"

namespace kvr {

namespace {

// Adds a double read from the file: its shortest text is the decimal the
// file wrote, so the sum carries no binary noise.
void AddAmount(ExactDecimal& sum, double amount, double& fallback) {
  std::string text;
  AppendNumber(text, amount);
  sum.Add(text);
  fallback += amount;
}

}  // namespace

StatementPeriod NarrowedPeriod(const TVQOFXReader& reader, TDateTime de, TDateTime ate) {
  StatementPeriod period{reader.DataIncial, reader.DataFinal, reader.ValorIncial,
                         reader.ValorFinal};
  // The file's period is the hull of its declared one and its movements'
  // dates: a bank may declare the day of export while its movements span the
  // days before.
  TDateTime first = reader.DataIncial;
  TDateTime last = reader.DataFinal;
  for (int i = 0; i < reader.Count(); ++i) {
    first = std::min(first, reader.Get(i)->PostedDate);
    last = std::max(last, reader.Get(i)->PostedDate);
  }
  if (de <= first && ate >= last) return period;
  period.DataIncial = std::max(de, first);
  period.DataFinal = std::min(ate, last);

  ExactDecimal opening, closing;
  double opening_fallback = 0, closing_fallback = 0;
  AddAmount(opening, reader.ValorIncial, opening_fallback);
  for (int i = 0; i < reader.Count(); ++i) {
    const TOFXItem* item = reader.Get(i);
    if (item->PostedDate < period.DataIncial) AddAmount(opening, item->Amount, opening_fallback);
  }
  closing.Add(opening);
  closing_fallback = opening_fallback;
  for (int i = 0; i < reader.Count(); ++i) {
    const TOFXItem* item = reader.Get(i);
    if (item->PostedDate >= de && item->PostedDate <= ate)
      AddAmount(closing, item->Amount, closing_fallback);
  }
  period.ValorIncial = opening.Exact() ? opening.ToDouble() : opening_fallback;
  period.ValorFinal = closing.Exact() ? closing.ToDouble() : closing_fallback;
  return period;
}

}  // namespace kvr
