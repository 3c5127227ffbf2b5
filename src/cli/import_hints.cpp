#include "cli/import_hints.h"

#include "platform/encoding.h"
#include "screen/import_ofx_form.h"

namespace kvr::cli {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Digits with an optional "-" and one check character, up to max: what
// conta add takes as --conta and --agencia.
bool Registrable(const std::string& text, size_t max) {
  if (text.empty() || text.size() > max) return false;
  const size_t dash = text.find('-');
  const size_t digits = dash == std::string::npos ? text.size() : dash;
  if (digits == 0 || (dash != std::string::npos && dash + 2 != text.size())) return false;
  for (size_t i = 0; i < digits; ++i)
    if (!IsDigit(text[i])) return false;
  return true;
}

std::string WithoutLeadingZeros(const std::string& text) {
  const size_t first = text.find_first_not_of('0');
  if (first == std::string::npos || first == 0 || !IsDigit(text[first])) return text;
  return text.substr(first);
}

}  // namespace

std::vector<std::string> RefusalHints(const TfrmImportOFX& form, const std::string& error) {
  if (error != form.Msg("CONTCORR_NCAD")) return {};
  const std::string banco = form.edtBanco->Text();
  const std::string conta = form.edtConta->Text();
  const std::string asked = form.RetiraSimbolosContCorr(banco, conta);
  std::string looked = "conta procurada no servidor: banco " + banco + ", conta " + asked;
  if (asked != conta) looked += " (no arquivo: " + conta + ")";

  std::string agency;
  std::string number = conta;
  if (const size_t slash = conta.rfind('/'); slash != std::string::npos) {
    agency = conta.substr(0, slash);
    number = conta.substr(slash + 1);
  }
  number = WithoutLeadingZeros(number);
  std::string add = "para cadastr\xE1-la: kvr61400-server conta add --codigo CODIGO --banco " + banco;
  if (Registrable(agency, 5)) add += " --agencia " + agency;
  if (Registrable(number, 10)) {
    add += " --conta " + number;
  } else {
    // Agency and account as one long number: the account's own number goes
    // in --conta, the file's in --id-extrato.
    add += " --agencia AGENCIA --conta CONTA --id-extrato " + conta;
  }
  add += " --tipo C";
  return {Cp1252ToUtf8(looked), Cp1252ToUtf8(add)};
}

}  // namespace kvr::cli
