#include "wire/money.h"

namespace kvr {

std::string Money::Format(char decimal, char thousands) const {
  // The magnitude as unsigned: the most negative cents has no positive twin.
  const unsigned long long magnitude =
      cents_ < 0 ? 0ULL - static_cast<unsigned long long>(cents_) : static_cast<unsigned long long>(cents_);
  const std::string whole = std::to_string(magnitude / 100);
  std::string out;
  out.reserve(whole.size() + whole.size() / 3 + 5);
  if (cents_ < 0) out += '-';
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && thousands != '\0' && (whole.size() - i) % 3 == 0) out += thousands;
    out += whole[i];
  }
  const unsigned fraction = static_cast<unsigned>(magnitude % 100);
  out += decimal;
  out += static_cast<char>('0' + fraction / 10);
  out += static_cast<char>('0' + fraction % 10);
  return out;
}

std::string Money::FormatBalance(char decimal, char thousands) const {
  std::string text = Format(decimal, thousands);
  if (Negative()) text.erase(0, 1);
  return text + (Negative() ? " D" : " C");
}

}  // namespace kvr
