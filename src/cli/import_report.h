#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "screen/import_ofx_form.h"

// What kvr61400 import prints: the screen's state as a JSON object, and that
// object as text lines or as indented JSON.
namespace kvr::cli {

// What the screen shows, as {"arquivo":..,"banco":..,"conta":..,
// "tipos_conta":[..],"tipo_conta":..,"data_inicial":..,"data_final":..,
// "valor_inicial":..,"valor_final":.., "movimento_de"/"movimento_ate" (bank
// 237),"textos":{..},"filtro":..,"filtro_descricao":..,"resumo":
// {"movimentos":n,"creditos":x,"debitos":x,"soma":x},"grade":..,
// "movimentos_no_extrato":n}, texts in UTF-8. Dates are ISO days
// ("2024-03-01") and balances signed numbers, as inspect --json writes them
// (null when the screen holds none); "textos" holds them as the screen shows
// them. with_grid false leaves the grid out (--sem-grade). The grid's rows
// are left as a placeholder that PrintReport fills. Moves the current rows
// of the transaction and header tables.
nlohmann::json ScreenState(TfrmImportOFX& f, bool with_grid);

// Prints a ScreenState as text lines on stdout: the screen's fields, the
// count and sums of the movements to import and, unless with_grid is false,
// the grid as a table. The file name was printed first.
void PrintState(const nlohmann::json& s, bool with_grid, TfrmImportOFX& f);

// Prints the report as indented JSON on stdout, with the grid's rows
// written straight from f's grid in place of their placeholder (f may be
// null when no screen was opened): one list per row in the grid's order and
// columns, dates as ISO days and amounts as numbers, the other cells as the
// grid shows them.
void PrintReport(const nlohmann::json& report, TfrmImportOFX* f);

// The end of an import in words for the last line ("importado", "já
// cadastrado, nada gravado"...), from its exit status.
const char* OutcomeText(int status);

// A count with its thousands grouped by the locale's separator:
// "1.000.000", "1,000,000".
std::string Thousands(long long n);

}  // namespace kvr::cli
