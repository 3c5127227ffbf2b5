#pragma once

#include <string>

#include "statement.h"
#include "store.h"

namespace kvr::server {

// Checks the fields of an account to be registered and returns them as they
// are stored: code 1 to 3 letters or digits; bank 1 to 4 digits, at most 3
// significant (a fourth leading zero is dropped: CDBANCO holds 3); agency
// empty or digits with an optional "-" and check character, up to 5; number
// the same, 1 to 10; type C, L or G; mask as CheckAccountMask. Throws
// InvalidRequest with a Portuguese sentence naming the field (and its
// option), the value and what to write instead.
Account CheckAccount(const Account& account);

// Checks a type for IDTIPOCCORR: "C" (Circulante), "L" (Aplicação) or "G"
// (Garantida). Throws InvalidRequest otherwise.
void CheckAccountKind(const std::string& kind);

// Checks a display mask (CDPICTCONT) for the account number: empty (the
// screen shows the number as stored), or up to 20 characters of input
// positions "9", "0" and "#" and the separators "-", "." and " ", with one
// input position per character of number (the screen fills the positions
// with the number's characters, so fewer cut it and more leave blanks).
// Throws InvalidRequest otherwise.
void CheckAccountMask(const std::string& mask, const std::string& number);

}  // namespace kvr::server
