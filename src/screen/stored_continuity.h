#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/net_connection.h"

// What the statement continuity says of statements just stored: the
// problems (a gap, an overlap, a balance break, movements that do not close
// the balance) of those statements, as kvr61400 import's batch and the
// screen's queue show them with their summary.
namespace kvr {

// A statement stored, or found already stored, by a batch.
struct TStoredStatement {
  std::string codigo;        // the account's code (CDREDUCONT), Windows-1252
  std::string data_inicial;  // "2024-03-01", the period stored
  std::string data_final;
};

// Asks the server for the continuity of each account of stored
// (GetContinuidade, one call per account) through net, which must be
// connected, and keeps the problems of those statements (matched by account
// and period), in account and period order, as {"conta","extrato",
// "data_inicial","data_final","tipo","dias" or "diferenca","texto"} (UTF-8).
// Throws what the call throws.
nlohmann::json StoredContinuity(TNetConnection& net, const std::vector<TStoredStatement>& stored);

// A problem of the continuity in words (UTF-8): "lacuna de 4 dias antes
// dele", "sobreposição de 1 dia com o anterior", "saldo inicial difere do
// final do anterior em R$ 12,50", "movimentos não fecham o saldo: diferença
// de R$ 0,10".
std::string ContinuityProblemText(const nlohmann::json& problem);

// One problem of StoredContinuity on a line (UTF-8): "conta 001, extrato
// 01/03/2024 a 31/03/2024: lacuna de 4 dias antes dele".
std::string ContinuityProblemLine(const nlohmann::json& problem);

}  // namespace kvr
