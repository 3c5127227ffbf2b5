#include "account_rules.h"

#include <string_view>

#include "printable_text.h"

namespace kvr::server {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Digits with an optional "-" and one check character (a digit or a
// letter, as the "X" some banks use): "123456", "12345-6", "1234-X".
bool IsAccountNumber(const std::string& text, size_t max) {
  const size_t digits = text.find_first_not_of("0123456789");
  if (text.empty() || text.size() > max || digits == 0) return false;
  return digits == std::string::npos || (text[digits] == '-' && digits + 2 == text.size() &&
                                         (IsDigit(text.back()) || IsLetter(text.back())));
}

// what names the field and says it is wrong ("Banco (--banco) inválido").
[[noreturn]] void Refuse(const std::string& what, const std::string& value,
                         const std::string& advice) {
  throw InvalidRequest(what + ": \"" + EscapeControls(value) + "\". " + advice);
}

// A mask of one "9" per character of number without its "-", with the
// check character apart ("99999-9") when number has more than one.
std::string SuggestedMask(const std::string& number) {
  std::string plain = number;
  std::erase(plain, '-');
  const size_t length = Utf8Length(plain);
  if (length < 2) return std::string(length, '9');
  return std::string(length - 1, '9') + "-9";
}

bool IsMaskPosition(char c) {
  return std::string_view("09#LlAaCc").find(c) != std::string_view::npos;
}

// Letters and digits of text upper-cased, leading zeros dropped.
std::string Significant(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (!IsDigit(c) && !IsLetter(c)) continue;
    if (out.empty() && c == '0') continue;
    out += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out;
}

// An agency as it is compared: its check character is no part of it.
std::string AgencyKey(std::string agency) {
  if (const size_t dash = agency.find('-'); dash != std::string::npos) agency.resize(dash);
  return Significant(agency);
}

}  // namespace

void CheckAccountKind(const std::string& kind) {
  if (kind != "C" && kind != "L" && kind != "G")
    Refuse("Tipo da conta (--tipo) inválido", kind,
           "Use C (Circulante), L (Aplicação) ou G (Garantida), em maiúscula.");
}

std::string CheckAccountMask(const std::string& mask, const std::string& number) {
  if (mask.empty()) return number;
  size_t positions = 0;
  bool known = mask.size() <= 20;
  for (size_t i = 0; i < mask.size(); ++i) {
    const char c = mask[i];
    if (c == '\\') {
      // The next character is a literal; a final backslash has none.
      known = known && ++i < mask.size();
    } else if (IsMaskPosition(c)) {
      ++positions;
    } else {
      // ";" would end the mask where the screen appends its own parts.
      known = known && c != ';' && static_cast<unsigned char>(c) >= 32;
    }
  }
  const std::string example = SuggestedMask(number);
  if (!known)
    Refuse("Máscara da conta (--mascara) inválida", mask,
           "Use até 20 caracteres: uma posição (9, 0, #, L, l, A, a, C ou c) para cada caractere "
           "da conta e separadores como \"-\", \".\" ou espaço, sem \";\", como " +
               example + ".");
  const size_t length = Utf8Length(number);
  if (positions == length) return number;
  std::string plain = number;
  std::erase(plain, '-');
  // The mask shows the separator itself: the number is stored without it.
  if (plain.size() != number.size() && positions == Utf8Length(plain)) return plain;
  const size_t wanted = Utf8Length(plain);
  throw InvalidRequest("Máscara da conta (--mascara) \"" + EscapeControls(mask) +
                       "\" não serve para a conta \"" + EscapeControls(number) + "\": tem " +
                       std::to_string(positions) + (positions == 1 ? " posição" : " posições") +
                       " e a conta " + std::to_string(wanted) +
                       (wanted == 1 ? " caractere" : " caracteres") +
                       (plain.size() != number.size() ? " sem o \"-\"" : "") +
                       ". Use uma máscara com " + std::to_string(wanted) +
                       (wanted == 1 ? " posição" : " posições") + ", como " + example + ".");
}

void CheckStatementId(const std::string& id) {
  if (id.empty()) return;
  bool good = id.size() <= 40;
  for (char c : id)
    good = good && (IsDigit(c) || IsLetter(c) || c == '-' || c == '.' || c == '/' || c == ' ');
  if (!good || Canonical(id).number.empty())
    Refuse("Identificador do extrato (--id-extrato) inválido", id,
           "Use até 40 caracteres: algarismos e letras, com \"-\", \".\", \"/\" ou espaço, como o "
           "arquivo do banco escreve a conta em ACCTID, por exemplo 0123456789012345.");
}

CanonicalAccount Canonical(const std::string& written) {
  CanonicalAccount canonical;
  std::string number = written;
  if (const size_t slash = written.rfind('/'); slash != std::string::npos) {
    canonical.agency = AgencyKey(written.substr(0, slash));
    number = written.substr(slash + 1);
  }
  std::string kept;
  for (char c : number)
    if (IsDigit(c) || IsLetter(c)) kept += c;
  if (!kept.empty() && (kept.back() == 'X' || kept.back() == 'x')) kept.back() = '0';
  canonical.number = Significant(kept);
  return canonical;
}

bool AccountMatches(const Account& account, const std::string& written) {
  const CanonicalAccount seen = Canonical(written);
  if (seen.number.empty()) return false;
  auto same_agency = [&seen](const std::string& agency) {
    return seen.agency.empty() || agency.empty() || seen.agency == agency;
  };
  if (Canonical(account.number).number == seen.number && same_agency(AgencyKey(account.agency)))
    return true;
  if (account.statement_id.empty()) return false;
  const CanonicalAccount id = Canonical(account.statement_id);
  return id.number == seen.number && same_agency(id.agency);
}

Account RegisteredAccount(Store& store, const std::string& code) {
  std::optional<Account> account = store.FindAccount(code);
  if (!account)
    throw InvalidRequest("Conta corrente de código \"" + EscapeControls(code) +
                         "\" não cadastrada.");
  return *account;
}

Account CheckAccount(const Account& account) {
  Account checked = account;
  bool code = !account.code.empty() && account.code.size() <= 3;
  for (char c : account.code) code = code && (IsDigit(c) || IsLetter(c));
  if (!code)
    Refuse("Código da conta (--codigo) inválido", account.code,
           "Use de 1 a 3 letras ou algarismos, como 001.");

  bool bank = !account.bank.empty() && account.bank.size() <= 4;
  for (char c : account.bank) bank = bank && (IsDigit(c) || IsLetter(c));
  if (bank && account.bank.size() == 4) {
    // "0341" is written by some banks' files; the code itself has three.
    bank = account.bank[0] == '0';
    checked.bank = account.bank.substr(1);
  }
  if (!bank)
    Refuse("Banco (--banco) inválido", account.bank,
           "Use o código do banco com 1 a 4 letras ou algarismos, até 3 significativos, como 341, "
           "0341 ou gnt.");

  if (!account.agency.empty() && !IsAccountNumber(account.agency, 5))
    Refuse("Agência (--agencia) inválida", account.agency,
           "Use até 5 caracteres: algarismos com \"-\" e dígito verificador opcionais, como 1234 "
           "ou 123-4.");

  if (!IsAccountNumber(account.number, 10))
    Refuse("Número da conta (--conta) inválido", account.number,
           "Use até 10 caracteres: algarismos com \"-\" e dígito verificador opcionais, como "
           "123456 ou 12345-6.");

  CheckAccountKind(account.kind);
  checked.number = CheckAccountMask(account.mask, account.number);
  CheckStatementId(account.statement_id);
  return checked;
}

}  // namespace kvr::server
