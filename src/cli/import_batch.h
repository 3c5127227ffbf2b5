#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/net_connection.h"

// kvr61400 import of several statements: several files, a folder, a file
// holding several statements. What each statement came to, the lines and the
// table that tell it, the exit status and the continuity of what was stored.
namespace kvr::cli {

// What one statement of a batch came to.
struct StatementOutcome {
  std::string file;        // as named on the command line or found in a folder
  int extrato = 1;         // its place among the file's statements with movements
  int extratos = 0;        // how many the file holds; 0 when it could not be read
  std::string banco;       // UTF-8, as the file writes it; empty when unknown
  std::string conta;       // UTF-8, as the screen shows it
  std::string codigo;      // the code of the account it went to (CDREDUCONT); empty if none
  nlohmann::json data_inicial = nullptr;  // "2024-03-01", null when unknown
  nlohmann::json data_final = nullptr;
  int movimentos = 0;      // the movements sent (those the screen shows)
  int status = 0;          // the exit status a single import would have had
  std::string resultado;   // "importado", "ja_cadastrado", "recusado", "cancelado", "erro"
  std::string motivo;      // UTF-8: the message or failure that ended it; empty when imported
  nlohmann::json mensagens = nlohmann::json::array();
};

// The files named by args (files and folders, in that order): a folder gives
// its regular files ending in .ofx or .qfx (any letter case), in name order.
// Sets problem (UTF-8) and returns nothing when a folder holds none of them or
// cannot be read; a name that is neither is kept, for the import to say so.
std::vector<std::string> ImportFiles(const std::vector<std::string>& args, std::string& problem);

// The line that tells how a statement ended, as it ends:
// "marco/341.ofx: banco 341, conta 12345-6, 01/03/2024 a 31/03/2024, 52
// movimentos: importado"; "(extrato 2 de 3)" after the file when it holds
// several.
std::string OutcomeLine(const StatementOutcome& outcome);

// The exit status of a batch: the statement's own when there is one; else 0
// when every statement was imported or already recorded, kExitEnded when any
// was refused, declined or unreadable.
int BatchStatus(const std::vector<StatementOutcome>& outcomes);

// What the continuity of the accounts a batch stored to says about the
// statements it imported or found already recorded: asks the server
// (GetContinuidade, one call per account) through net, which must be
// connected, and keeps the problems of those statements (matched by account
// and period) as {"conta","data_inicial","data_final","tipo","dias" or
// "diferenca","texto"}. Throws what the call throws.
nlohmann::json BatchContinuity(TNetConnection& net, const std::vector<StatementOutcome>& outcomes);

// Prints the table of the batch (file, statement, bank, account, period,
// movements, result), the total and the continuity problems on stdout.
void PrintBatchSummary(const std::vector<StatementOutcome>& outcomes,
                       const nlohmann::json& continuity, const std::string& continuity_error);

// The batch as JSON: {"extratos":[one object per statement],"totais":{...},
// "continuidade":[...]} (and "continuidade_erro" when it could not be asked).
nlohmann::json BatchJson(const std::vector<StatementOutcome>& outcomes,
                         const nlohmann::json& continuity, const std::string& continuity_error);

}  // namespace kvr::cli
