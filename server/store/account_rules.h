#pragma once

#include <string>
#include <vector>

#include "store/statement.h"
#include "store/store.h"

namespace kvr::server {

// Checks the fields of an account to be registered and returns them as they
// are stored: code 1 to 3 letters or digits; bank 1 to 4 letters or digits,
// at most 3 significant (a fourth leading zero is dropped: CDBANCO holds 3);
// agency empty or up to 5 digits with an optional "-" and check character
// (stored without it); number digits with an optional "-" and a check digit
// of 1 or 2 characters, up to 10 without the "-" and leading zeros (stored
// without its "-" when longer than 10); type C, L or G; mask and number as
// CheckAccountMask; statement identifier as CheckStatementId. Throws
// InvalidRequest with a Portuguese sentence naming the field (and its
// option), the value and what to write instead.
Account CheckAccount(const Account& account);

// Checks a type for IDTIPOCCORR: "C" (Circulante), "L" (Aplicação) or "G"
// (Garantida). Throws InvalidRequest otherwise.
void CheckAccountKind(const std::string& kind);

// Checks a display mask (CDPICTCONT) for the account number and returns the
// number as it is stored with it. The mask is empty (the screen shows the
// number as stored; the number stays as it is), or up to 20 characters of
// edit-mask input positions (0 9 # L l A a C c), the modifiers "!", ">" and
// "<", and literals (any other character but ";"; "\" makes the next one a
// literal). The screen fills the positions with the stored number's
// characters, so there must be one per character of the number, or one per
// character of the number without its "-" (then stored without it: the mask's
// literals show the separator, "99999-9" for "12345-6" stores "123456").
// Throws InvalidRequest otherwise, suggesting a mask that fits.
std::string CheckAccountMask(const std::string& mask, const std::string& number);

// Checks the identifier an account's bank writes in its statement files
// (conta --id-extrato): empty (none), or up to 40 letters, digits, "-", ".",
// "/" and blanks holding at least one letter or digit. Throws
// InvalidRequest otherwise.
void CheckStatementId(const std::string& id);

// The canonical form in which account numbers are compared, whichever way
// they are typed or written by a bank's file: what comes before a "/" (an
// agency, "3590/14902") is set apart; blanks and separators are dropped,
// letters upper-cased, a final check character X read as 0, leading zeros
// dropped (zeros only are "0"). "0025475-4" and "254754" give the number
// "254754"; "70251-X" gives "702510"; "00000-0" gives "0".
struct CanonicalAccount {
  std::string agency;  // the agency before a "/", its check character and leading zeros dropped
  std::string number;
};
CanonicalAccount Canonical(const std::string& written);

// True when written, an account number as a statement file writes it (or as
// the screen sends it), is account's number in the canonical form (an agency
// written before "/" must then be the account's, when it has one), or is its
// statement identifier (IdentifierMatches).
bool AccountMatches(const Account& account, const std::string& written);

// True when written is account's statement identifier, compared whole in the
// canonical form without the agency split: "11111-4/1" (an account and its
// savings variation) and "111114/1" are the same identifier.
bool IdentifierMatches(const Account& account, const std::string& written);

// Those of accounts that written matches: the ones whose statement
// identifier it is, when there are any (an identifier is the bank's own
// name for the account and wins over a plain number); else those whose
// number it is.
std::vector<Account> BestMatches(std::vector<Account> accounts, const std::string& written);

// The account of code in store. Throws InvalidRequest ("Conta corrente de
// código "001" não cadastrada.") when there is none.
Account RegisteredAccount(Store& store, const std::string& code);

}  // namespace kvr::server
