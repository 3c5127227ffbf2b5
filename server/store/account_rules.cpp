#include "store/account_rules.h"

#include <string_view>

#include "store/printable_text.h"

namespace kvr::server {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Digits with an optional "-" and a check digit of 1 to check_max
// characters (digits or letters, as the "X" some banks use): "123456",
// "12345-6", "1234-X", "1459950-11".
bool IsCheckedNumber(const std::string& text, size_t check_max) {
  const size_t digits = text.find_first_not_of("0123456789");
  if (text.empty() || digits == 0) return false;
  if (digits == std::string::npos) return true;
  const size_t check = text.size() - digits - 1;
  if (text[digits] != '-' || check < 1 || check > check_max) return false;
  for (size_t i = digits + 1; i < text.size(); ++i)
    if (!IsDigit(text[i]) && !IsLetter(text[i])) return false;
  return true;
}

// text without its leading zeros while it is longer than max.
std::string ShortenedTo(std::string text, size_t max) {
  while (text.size() > max && text[0] == '0') text.erase(0, 1);
  return text;
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

// Letters and digits of text upper-cased, leading zeros dropped; "0" for
// zeros only.
std::string Significant(const std::string& text) {
  std::string out;
  bool zeros = false;
  for (char c : text) {
    if (!IsDigit(c) && !IsLetter(c)) continue;
    zeros = zeros || c == '0';
    if (out.empty() && c == '0') continue;
    out += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return out.empty() && zeros ? "0" : out;
}

// An account number as it is compared: letters and digits, a final check
// character X read as 0, leading zeros dropped.
std::string NumberKey(const std::string& number) {
  std::string kept;
  for (char c : number)
    if (IsDigit(c) || IsLetter(c)) kept += c;
  if (!kept.empty() && (kept.back() == 'X' || kept.back() == 'x')) kept.back() = '0';
  return Significant(kept);
}

// A statement identifier as it is compared: whole, each part between "/"
// as an account number ("0011111-4/01" and "11111-4/1" are "111114/1").
std::string IdentifierKey(const std::string& id) {
  std::string key;
  size_t from = 0;
  for (;;) {
    const size_t slash = id.find('/', from);
    if (from > 0) key += '/';
    key += NumberKey(id.substr(from, slash == std::string::npos ? slash : slash - from));
    if (slash == std::string::npos) return key;
    from = slash + 1;
  }
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
  canonical.number = NumberKey(number);
  return canonical;
}

bool IdentifierMatches(const Account& account, const std::string& written) {
  if (account.statement_id.empty()) return false;
  const std::string seen = IdentifierKey(written);
  return !NumberKey(written).empty() && seen == IdentifierKey(account.statement_id);
}

bool AccountMatches(const Account& account, const std::string& written) {
  const CanonicalAccount seen = Canonical(written);
  if (seen.number.empty()) return false;
  const std::string agency = AgencyKey(account.agency);
  if (Canonical(account.number).number == seen.number &&
      (seen.agency.empty() || agency.empty() || seen.agency == agency))
    return true;
  return IdentifierMatches(account, written);
}

std::vector<Account> BestMatches(std::vector<Account> accounts, const std::string& written) {
  std::vector<Account> by_identifier;
  for (const Account& account : accounts)
    if (IdentifierMatches(account, written)) by_identifier.push_back(account);
  if (!by_identifier.empty()) return by_identifier;
  std::erase_if(accounts, [&written](const Account& a) { return !AccountMatches(a, written); });
  return accounts;
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

  // The agency is stored without its check digit, as files write it
  // ("4343-5" is 4343).
  checked.agency = ShortenedTo(account.agency.substr(0, account.agency.find('-')), 5);
  if (!account.agency.empty() && (!IsCheckedNumber(account.agency, 1) || checked.agency.size() > 5))
    Refuse("Agência (--agencia) inválida", account.agency,
           "Use até 5 algarismos, com \"-\" e dígito verificador opcionais, como 1234 ou "
           "4343-5.");

  // The limit counts the number without its "-" and leading zeros, as it is
  // compared ("530619772-6" is 10).
  if (!IsCheckedNumber(account.number, 2) || Canonical(account.number).number.size() > 10)
    Refuse("Número da conta (--conta) inválido", account.number,
           "Use até 10 algarismos, sem contar o \"-\" e os zeros à esquerda, com \"-\" e dígito "
           "verificador de 1 ou 2 caracteres opcionais, como 123456, 12345-6 ou 1459950-11.");

  CheckAccountKind(account.kind);
  checked.number = CheckAccountMask(account.mask, account.number);
  if (checked.number.size() > 10) {
    // Longer than the column holds: stored without its "-" (and leading
    // zeros), the mask then checked against that.
    std::string plain = checked.number;
    std::erase(plain, '-');
    checked.number = CheckAccountMask(account.mask, ShortenedTo(plain, 10));
  }
  CheckStatementId(account.statement_id);
  return checked;
}

}  // namespace kvr::server
