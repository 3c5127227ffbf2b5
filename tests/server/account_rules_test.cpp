#include "store/account_rules.h"

#include <gtest/gtest.h>

namespace kvr::server {
namespace {

TEST(AccountRules, FieldsOfAnAccountToRegister) {
  struct Case {
    Account account;
    std::string message;  // empty: accepted
  };
  const Account good{"001", "341", "1234", "123456", "C", "99999-9"};
  auto with = [&good](auto change) {
    Account a = good;
    change(a);
    return a;
  };
  const Case cases[] = {
      {good, ""},
      {with([](Account& a) { a.code = "A1"; }), ""},
      {with([](Account& a) { a.bank = "1"; }), ""},
      {with([](Account& a) { a.agency = ""; }), ""},
      {with([](Account& a) { a.agency = "123-X"; }), ""},
      {with([](Account& a) { a.number = "12345-6"; a.mask = "9999999"; }), ""},
      {with([](Account& a) { a.number = "1234-X"; a.mask = ""; }), ""},
      {with([](Account& a) { a.number = "1234567"; a.mask = "999.999-9"; }), ""},
      {with([](Account& a) { a.kind = "L"; }), ""},
      {with([](Account& a) { a.kind = "G"; }), ""},
      {with([](Account& a) { a.code = ""; }),
       "Código da conta (--codigo) inválido: \"\". Use de 1 a 3 letras ou algarismos, como 001."},
      {with([](Account& a) { a.code = "0001"; }),
       "Código da conta (--codigo) inválido: \"0001\". Use de 1 a 3 letras ou algarismos, como "
       "001."},
      {with([](Account& a) { a.code = "0\n1"; }),
       "Código da conta (--codigo) inválido: \"0\\n1\". Use de 1 a 3 letras ou algarismos, como "
       "001."},
      {with([](Account& a) { a.bank = "gnt"; }), ""},
      {with([](Account& a) { a.bank = "A-C"; }),
       "Banco (--banco) inválido: \"A-C\". Use o código do banco com 1 a 4 letras ou algarismos, "
       "até 3 significativos, como 341, 0341 ou gnt."},
      {with([](Account& a) { a.bank = "1341"; }),
       "Banco (--banco) inválido: \"1341\". Use o código do banco com 1 a 4 letras ou algarismos, "
       "até 3 significativos, como 341, 0341 ou gnt."},
      {with([](Account& a) { a.bank = "03411"; }),
       "Banco (--banco) inválido: \"03411\". Use o código do banco com 1 a 4 letras ou "
       "algarismos, até 3 significativos, como 341, 0341 ou gnt."},
      {with([](Account& a) { a.statement_id = "0123 4567/8901-2345"; }), ""},
      {with([](Account& a) { a.statement_id = std::string(41, '1'); }),
       "Identificador do extrato (--id-extrato) inválido: \"" + std::string(41, '1') +
           "\". Use até 40 caracteres: algarismos e letras, com \"-\", \".\", \"/\" ou espaço, "
           "como o arquivo do banco escreve a conta em ACCTID, por exemplo 0123456789012345."},
      {with([](Account& a) { a.statement_id = "12;34"; }),
       "Identificador do extrato (--id-extrato) inválido: \"12;34\". Use até 40 caracteres: "
       "algarismos e letras, com \"-\", \".\", \"/\" ou espaço, como o arquivo do banco escreve "
       "a conta em ACCTID, por exemplo 0123456789012345."},
      {with([](Account& a) { a.agency = "123456"; }),
       "Agência (--agencia) inválida: \"123456\". Use até 5 algarismos, com \"-\" e dígito "
       "verificador opcionais, como 1234 ou 4343-5."},
      {with([](Account& a) { a.number = ""; }),
       "Número da conta (--conta) inválido: \"\". Use até 10 algarismos, sem contar o \"-\" e os zeros à "
       "esquerda, com \"-\" e dígito verificador de 1 ou 2 caracteres opcionais, como 123456, "
       "12345-6 ou 1459950-11."},
      {with([](Account& a) { a.number = "12.345-6"; }),
       "Número da conta (--conta) inválido: \"12.345-6\". Use até 10 algarismos, sem contar o \"-\" e os zeros à "
       "esquerda, com \"-\" e dígito verificador de 1 ou 2 caracteres opcionais, como 123456, "
       "12345-6 ou 1459950-11."},
      {with([](Account& a) { a.number = "12345-678"; }),
       "Número da conta (--conta) inválido: \"12345-678\". Use até 10 algarismos, sem contar o \"-\" e os zeros à "
       "esquerda, com \"-\" e dígito verificador de 1 ou 2 caracteres opcionais, como 123456, "
       "12345-6 ou 1459950-11."},
      {with([](Account& a) { a.number = "12345678901"; a.mask = ""; }),
       "Número da conta (--conta) inválido: \"12345678901\". Use até 10 algarismos, sem contar o \"-\" e os zeros à "
       "esquerda, com \"-\" e dígito verificador de 1 ou 2 caracteres opcionais, como 123456, "
       "12345-6 ou 1459950-11."},
      {with([](Account& a) { a.number = "1459950-11"; a.mask = ""; }), ""},
      {with([](Account& a) { a.number = "00000-0"; a.mask = ""; }), ""},
      {with([](Account& a) { a.kind = "X"; }),
       "Tipo da conta (--tipo) inválido: \"X\". Use C (Circulante), L (Aplicação) ou G "
       "(Garantida), em maiúscula."},
      {with([](Account& a) { a.kind = "c"; }),
       "Tipo da conta (--tipo) inválido: \"c\". Use C (Circulante), L (Aplicação) ou G "
       "(Garantida), em maiúscula."},
      {with([](Account& a) { a.mask = "99;999-9"; }),
       "Máscara da conta (--mascara) inválida: \"99;999-9\". Use até 20 caracteres: uma posição "
       "(9, 0, #, L, l, A, a, C ou c) para cada caractere da conta e separadores como \"-\", "
       "\".\" ou espaço, sem \";\", como 99999-9."},
      {with([](Account& a) { a.mask = "999-9"; }),
       "Máscara da conta (--mascara) \"999-9\" não serve para a conta \"123456\": tem 4 posições "
       "e a conta 6 caracteres. Use uma máscara com 6 posições, como 99999-9."},
      {with([](Account& a) { a.mask = "9999999-9"; }),
       "Máscara da conta (--mascara) \"9999999-9\" não serve para a conta \"123456\": tem 8 "
       "posições e a conta 6 caracteres. Use uma máscara com 6 posições, como 99999-9."},
      {with([](Account& a) { a.number = "12345-6"; a.mask = "9999-9"; }),
       "Máscara da conta (--mascara) \"9999-9\" não serve para a conta \"12345-6\": tem 5 "
       "posições e a conta 6 caracteres sem o \"-\". Use uma máscara com 6 posições, como "
       "99999-9."},
  };
  for (const Case& c : cases) {
    std::string message;
    try {
      CheckAccount(c.account);
    } catch (const InvalidRequest& error) {
      message = error.what();
    }
    EXPECT_EQ(c.message, message) << c.account.code << "/" << c.account.bank << "/"
                                  << c.account.number << "/" << c.account.mask;
  }
  EXPECT_EQ("341", CheckAccount(with([](Account& a) { a.bank = "0341"; })).bank);
  // What real files write is stored as the columns hold it: an agency
  // without its check digit, a number of 10 without its "-".
  struct Stored {
    std::string agency, number, mask;
    std::string stored_agency, stored_number;
  };
  const Stored stored[] = {
      {"4343-5", "1459950-11", "", "4343", "1459950-11"},
      {"0001-9", "530619772-6", "999999999-9", "0001", "5306197726"},
      {"", "530619772-6", "", "", "5306197726"},
      {"", "00000530619772-6", "", "", "5306197726"},
      {"", "00000-0", "", "", "00000-0"},
  };
  for (const Stored& c : stored) {
    const Account checked = CheckAccount(with([&c](Account& a) {
      a.agency = c.agency;
      a.number = c.number;
      a.mask = c.mask;
    }));
    EXPECT_EQ(checked.agency, c.stored_agency) << c.number;
    EXPECT_EQ(checked.number, c.stored_number) << c.number;
  }
}

TEST(AccountRules, MasksOfEditMaskPositionsAndTheNumberStoredWithThem) {
  struct Case {
    std::string mask, number;
    std::string stored;  // empty: refused
  };
  const Case cases[] = {
      {"CCCCCCC", "12345-X", "12345-X"},
      {"99999-C", "12345-X", "12345X"},
      {"99999-9", "12345-6", "123456"},
      {"99999-9", "123456", "123456"},
      {"0000.00-0", "1234567", "1234567"},
      {"#####-L", "12345-X", "12345X"},
      {"llll aaaa", "12345678", "12345678"},
      {"!>AAAA-A", "ABCDE", "ABCDE"},
      {"\\9\\0-99999", "12345", "12345"},
      {"999/9999", "1234567", "1234567"},
      {"99999-999", "12345-6", ""},
      {"9999\\", "1234", ""},
      {"99999-9;0", "123456", ""},
  };
  for (const Case& c : cases) {
    std::string stored;
    try {
      stored = CheckAccountMask(c.mask, c.number);
    } catch (const InvalidRequest&) {
    }
    EXPECT_EQ(c.stored, stored) << c.mask << " " << c.number;
  }
}

}  // namespace
}  // namespace kvr::server
