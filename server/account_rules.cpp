#include "account_rules.h"

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
  if (text.empty() || text.size() > max) return false;
  size_t digits = text.size();
  const size_t dash = text.find('-');
  if (dash != std::string::npos) {
    if (dash + 2 != text.size() || !(IsDigit(text.back()) || IsLetter(text.back()))) return false;
    digits = dash;
  }
  if (digits == 0) return false;
  for (size_t i = 0; i < digits; ++i)
    if (!IsDigit(text[i])) return false;
  return true;
}

// what names the field and says it is wrong ("Banco (--banco) inválido").
[[noreturn]] void Refuse(const std::string& what, const std::string& value,
                         const std::string& advice) {
  throw InvalidRequest(what + ": \"" + EscapeControls(value) + "\". " + advice);
}

// A mask of one "9" per character of number, with the check character
// apart ("99999-9") when number has no "-" of its own.
std::string SuggestedMask(const std::string& number) {
  const size_t length = Utf8Length(number);
  if (length < 2 || number.find('-') != std::string::npos) return std::string(length, '9');
  return std::string(length - 1, '9') + "-9";
}

}  // namespace

void CheckAccountKind(const std::string& kind) {
  if (kind != "C" && kind != "L" && kind != "G")
    Refuse("Tipo da conta (--tipo) inválido", kind,
           "Use C (Circulante), L (Aplicação) ou G (Garantida), em maiúscula.");
}

void CheckAccountMask(const std::string& mask, const std::string& number) {
  if (mask.empty()) return;
  size_t positions = 0;
  bool known = mask.size() <= 20;
  for (char c : mask) {
    if (c == '9' || c == '0' || c == '#')
      ++positions;
    else
      known = known && (c == '-' || c == '.' || c == ' ');
  }
  const std::string example = SuggestedMask(number);
  if (!known)
    Refuse("Máscara da conta (--mascara) inválida", mask,
           "Use até 20 caracteres: 9 para cada caractere da conta e os separadores \"-\", \".\" "
           "ou espaço, como " +
               example + ".");
  const size_t length = Utf8Length(number);
  if (positions != length)
    throw InvalidRequest("Máscara da conta (--mascara) \"" + mask + "\" não serve para a conta \"" +
                         EscapeControls(number) + "\": tem " + std::to_string(positions) +
                         (positions == 1 ? " posição" : " posições") + " e a conta " +
                         std::to_string(length) + (length == 1 ? " caractere" : " caracteres") +
                         ". Use uma máscara com " + std::to_string(length) +
                         (length == 1 ? " posição" : " posições") + ", como " + example + ".");
}

Account CheckAccount(const Account& account) {
  Account checked = account;
  bool code = !account.code.empty() && account.code.size() <= 3;
  for (char c : account.code) code = code && (IsDigit(c) || IsLetter(c));
  if (!code)
    Refuse("Código da conta (--codigo) inválido", account.code,
           "Use de 1 a 3 letras ou algarismos, como 001.");

  bool bank = !account.bank.empty() && account.bank.size() <= 4;
  for (char c : account.bank) bank = bank && IsDigit(c);
  if (bank && account.bank.size() == 4) {
    // "0341" is written by some banks' files; the code itself has three.
    bank = account.bank[0] == '0';
    checked.bank = account.bank.substr(1);
  }
  if (!bank)
    Refuse("Banco (--banco) inválido", account.bank,
           "Use o código do banco com 1 a 4 algarismos, até 3 significativos, como 341 ou 0341.");

  if (!account.agency.empty() && !IsAccountNumber(account.agency, 5))
    Refuse("Agência (--agencia) inválida", account.agency,
           "Use até 5 caracteres: algarismos com \"-\" e dígito verificador opcionais, como 1234 "
           "ou 123-4.");

  if (!IsAccountNumber(account.number, 10))
    Refuse("Número da conta (--conta) inválido", account.number,
           "Use até 10 caracteres: algarismos com \"-\" e dígito verificador opcionais, como "
           "123456 ou 12345-6.");

  CheckAccountKind(account.kind);
  CheckAccountMask(account.mask, account.number);
  return checked;
}

}  // namespace kvr::server
