#pragma once

#include <string>
#include <vector>

namespace kvr {
class TfrmImportOFX;
}

namespace kvr::cli {

// Lines (UTF-8) that tell the clerk what to do after the screen ended the
// load with error, its last message (Windows-1252): for "Conta corrente não
// cadastrada.", the bank and number the server was asked for and the
// `kvr61400-server conta add` that registers that account (with --agencia
// when the file writes "AGENCIA/CONTA", and --id-extrato when the number is
// longer than the 10 characters an account number holds). Empty for any
// other message. The form must hold the header edits as the load left them.
std::vector<std::string> RefusalHints(const TfrmImportOFX& form, const std::string& error);

}  // namespace kvr::cli
