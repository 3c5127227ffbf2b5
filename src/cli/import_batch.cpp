// kvr61400 import of several statements: the files of a folder, the lines,
// the table, the status and the continuity of a batch.
#include "cli/import_batch.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "cli/import_report.h"
#include "platform/encoding.h"
#include "platform/format_settings.h"
#include "screen/stored_continuity.h"
#include "wire/utf8.h"

namespace kvr::cli {

namespace {

bool IsStatementName(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".ofx" || ext == ".qfx";
}

// "2024-03-01" as "01/03/2024"; "?" for null.
std::string Day(const nlohmann::json& iso) {
  if (!iso.is_string()) return "?";
  const std::string d = iso.get<std::string>();
  return d.size() == 10 ? d.substr(8, 2) + "/" + d.substr(5, 2) + "/" + d.substr(0, 4) : d;
}

std::string Period(const TStatementOutcome& o) {
  if (o.data_inicial.is_null() && o.data_final.is_null()) return "";
  return Day(o.data_inicial) + " a " + Day(o.data_final);
}

std::string FileLabel(const TStatementOutcome& o) {
  return o.extratos > 1 ? o.file + " (extrato " + std::to_string(o.extrato) + " de " +
                              std::to_string(o.extratos) + ")"
                        : o.file;
}

// The result as the table says it.
std::string ResultText(const TStatementOutcome& o) {
  if (o.resultado == "importado") return "importado";
  if (o.resultado == "ja_cadastrado") return "já cadastrado";
  if (o.resultado == "cancelado") return "cancelado (nada gravado)";
  if (o.resultado == "erro") return o.extratos == 0 ? "ilegível" : "erro";
  return "recusado";
}

bool Accepted(const TStatementOutcome& o) {
  return o.resultado == "importado" || o.resultado == "ja_cadastrado";
}

struct TTotals {
  int imported = 0, recorded = 0, refused = 0, movements = 0;
};

TTotals Totals(const std::vector<TStatementOutcome>& outcomes) {
  TTotals t;
  for (const auto& o : outcomes) {
    if (o.resultado == "importado") {
      ++t.imported;
      t.movements += o.movimentos;
    } else if (o.resultado == "ja_cadastrado") {
      ++t.recorded;
    } else {
      ++t.refused;
    }
  }
  return t;
}

std::string Plural(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<std::string> ImportFiles(const std::vector<std::string>& args, std::string& problem) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  for (const std::string& arg : args) {
    std::error_code error;
    if (!fs::is_directory(arg, error)) {
      files.push_back(arg);
      continue;
    }
    std::vector<std::string> found;
    for (fs::directory_iterator it(arg, error), end; !error && it != end; it.increment(error)) {
      std::error_code ignored;
      if (it->is_regular_file(ignored) && IsStatementName(it->path()))
        found.push_back(it->path().string());
    }
    if (error) {
      problem = "a pasta " + arg + " não pôde ser lida: " + error.message();
      return {};
    }
    if (found.empty()) {
      problem = "a pasta " + arg + " não tem arquivos .ofx ou .qfx";
      return {};
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  return files;
}

std::string OutcomeLine(const TStatementOutcome& o) {
  std::string line = FileLabel(o) + ": ";
  if (!o.banco.empty()) line += "banco " + o.banco + ", ";
  if (!o.conta.empty()) line += "conta " + o.conta + ", ";
  if (const std::string period = Period(o); !period.empty()) line += period + ", ";
  if (o.extratos > 0) line += Plural(o.movimentos, "movimento", "movimentos") + ": ";
  line += ResultText(o);
  if (!o.motivo.empty() && !Accepted(o)) line += " (" + o.motivo + ")";
  return line;
}

int BatchStatus(const std::vector<TStatementOutcome>& outcomes) {
  if (outcomes.size() == 1) return outcomes.front().status;
  return std::all_of(outcomes.begin(), outcomes.end(), Accepted) ? kExitOk : kExitEnded;
}

nlohmann::json BatchContinuity(TNetConnection& net, const std::vector<TStatementOutcome>& outcomes) {
  std::vector<TStoredStatement> stored;
  for (const auto& o : outcomes) {
    if (Accepted(o) && o.data_inicial.is_string() && o.data_final.is_string())
      stored.push_back({o.codigo, o.data_inicial.get<std::string>(), o.data_final.get<std::string>()});
  }
  return StoredContinuity(net, stored);
}

void PrintBatchSummary(const std::vector<TStatementOutcome>& outcomes,
                       const nlohmann::json& continuity, const std::string& continuity_error) {
  const std::vector<std::string> titles = {"Arquivo", "Extrato",    "Banco",    "Conta",
                                           "Período", "Movimentos", "Resultado"};
  std::vector<std::vector<std::string>> rows;
  for (const auto& o : outcomes) {
    rows.push_back({o.file,
                    o.extratos > 0 ? std::to_string(o.extrato) + "/" + std::to_string(o.extratos)
                                   : "-",
                    o.banco, o.conta, Period(o),
                    o.extratos > 0 ? std::to_string(o.movimentos) : "", ResultText(o)});
  }
  std::vector<size_t> widths;
  for (const auto& t : titles) widths.push_back(Utf8Length(t));
  for (const auto& r : rows)
    for (size_t i = 0; i < r.size(); ++i) widths[i] = std::max(widths[i], Utf8Length(r[i]));
  auto print = [&](const std::vector<std::string>& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string pad(widths[i] - Utf8Length(cells[i]), ' ');
      // The movement counts line up on the right.
      line += i == 5 ? pad + cells[i] : cells[i] + (i + 1 < cells.size() ? pad : "");
      if (i + 1 < cells.size()) line += "  ";
    }
    std::cout << "  " << line << "\n";
  };
  std::cout << "\nResumo:\n";
  print(titles);
  for (const auto& r : rows) print(r);
  const TTotals t = Totals(outcomes);
  std::cout << "Total: " << Plural(static_cast<int>(outcomes.size()), "extrato", "extratos")
            << ": " << Plural(t.imported, "importado", "importados") << ", "
            << Plural(t.recorded, "já cadastrado", "já cadastrados") << ", "
            << Plural(t.refused, "não importado", "não importados") << "; "
            << Thousands(t.movements) << (t.movements == 1 ? " movimento gravado" : " movimentos gravados")
            << "\n";
  if (!continuity_error.empty()) {
    std::cout << "Continuidade: não verificada (" << continuity_error << ")\n";
  } else if (continuity.empty()) {
    if (t.imported + t.recorded > 0) std::cout << "Continuidade: sem problemas\n";
  } else {
    std::cout << "Continuidade: " << Plural(static_cast<int>(continuity.size()), "problema",
                                             "problemas")
              << "\n";
    for (const auto& p : continuity) std::cout << "  " << ContinuityProblemLine(p) << "\n";
  }
}

nlohmann::json BatchJson(const std::vector<TStatementOutcome>& outcomes,
                         const nlohmann::json& continuity, const std::string& continuity_error) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& o : outcomes) {
    nlohmann::json j = {{"arquivo", o.file},
                        {"extrato", o.extrato},
                        {"extratos", o.extratos},
                        {"banco", o.banco},
                        {"conta", o.conta},
                        {"codigo_conta", o.codigo},
                        {"data_inicial", o.data_inicial},
                        {"data_final", o.data_final},
                        {"movimentos", o.movimentos},
                        {"resultado", o.resultado},
                        {"status", o.status},
                        {"mensagens", o.mensagens}};
    if (!o.motivo.empty()) j["motivo"] = o.motivo;
    list.push_back(std::move(j));
  }
  const TTotals t = Totals(outcomes);
  nlohmann::json out = {{"extratos", list},
                        {"totais",
                         {{"extratos", outcomes.size()},
                          {"importados", t.imported},
                          {"ja_cadastrados", t.recorded},
                          {"nao_importados", t.refused},
                          {"movimentos_gravados", t.movements},
                          {"status", BatchStatus(outcomes)}}},
                        {"continuidade", continuity}};
  if (!continuity_error.empty()) out["continuidade_erro"] = continuity_error;
  return out;
}

}  // namespace kvr::cli
