// kvr61400 inspect: runs the statement reader on a file and prints what it
// read, for people (a summary and a table) or for programs (--json).
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "reader/vq_ofx_reader.h"

namespace kvr::cli {

const char* const kInspectUsage = "inspect [--json] [--decimal-separator C] ARQUIVO";

namespace {

struct TInspectOptions {
  bool json = false;
  std::string file;
};

int UsageError(const std::string& problem) {
  std::cerr << "kvr61400 inspect: " << Cp1252ToUtf8(problem) << "\nuso: kvr61400 " << kInspectUsage
            << "\n";
  return kExitUsage;
}

std::string IsoDate(TDateTime date) {
  int y = 0, m = 0, d = 0;
  DecodeDate(date, y, m, d);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

// An amount as the screen shows it ("#,##0.00": "1.350,00"). A decimal
// separator given on the command line that equals the thousands one takes
// the thousands one's place away.
std::string ShownAmount(double value) {
  const TFormatSettings saved = FormatSettings;
  if (FormatSettings.ThousandSeparator == FormatSettings.DecimalSeparator) {
    FormatSettings.ThousandSeparator = FormatSettings.DecimalSeparator == ',' ? '.' : ',';
  }
  std::string out = FormatFloat("#,##0.00", value);
  FormatSettings = saved;
  return out;
}

// Windows-1252 text padded to width characters (one byte is one character).
std::string Pad(const std::string& text, size_t width, bool right = false) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

void PrintJson(const TVQOFXReader& reader, bool ofx) {
  nlohmann::ordered_json out;
  out["ofx"] = ofx;
  out["banco"] = Cp1252ToUtf8(reader.Banco);
  out["conta"] = Cp1252ToUtf8(reader.Conta);
  out["dataInicial"] = IsoDate(reader.DataIncial);
  out["dataFinal"] = IsoDate(reader.DataFinal);
  out["valorInicial"] = reader.ValorIncial;
  out["valorFinal"] = reader.ValorFinal;
  out["itens"] = nlohmann::ordered_json::array();
  for (int i = 0; i < reader.Count(); ++i) {
    const TOFXItem& item = *reader.Get(i);
    nlohmann::ordered_json row;
    row["trnType"] = Cp1252ToUtf8(item.TrnType);
    row["postedDate"] = IsoDate(item.PostedDate);
    row["amount"] = item.Amount;
    row["fitId"] = Cp1252ToUtf8(item.FitId);
    row["checkNum"] = Cp1252ToUtf8(item.CheckNum);
    row["memo"] = Cp1252ToUtf8(item.Memo);
    out["itens"].push_back(std::move(row));
  }
  std::cout << out.dump() << "\n";
}

void PrintHuman(const TVQOFXReader& reader, bool ofx, const std::string& file) {
  std::string text;
  auto line = [&text](const std::string& label, const std::string& value) {
    text += Pad(label, 16) + value + "\n";
  };
  line("Arquivo:", Utf8ToCp1252(file));
  line("Extrato OFX:", ofx ? "sim" : "n\xE3o");
  line("Banco:", reader.Banco);
  line("Conta:", reader.Conta);
  line("Per\xEDodo:", FormatDateTime("dd/mm/yyyy", reader.DataIncial) + " a " +
                         FormatDateTime("dd/mm/yyyy", reader.DataFinal));
  line("Saldo inicial:", ShownAmount(reader.ValorIncial));
  line("Saldo final:", ShownAmount(reader.ValorFinal));
  line("Lan\xE7" "amentos:", std::to_string(reader.Count()));
  if (reader.Count() > 0) {
    const std::vector<std::string> heads = {"Data", "Tipo", "Valor", "FITID", "Documento",
                                            "Hist\xF3rico"};
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < reader.Count(); ++i) {
      const TOFXItem& item = *reader.Get(i);
      rows.push_back({FormatDateTime("dd/mm/yyyy", item.PostedDate), item.TrnType,
                      ShownAmount(item.Amount), item.FitId, item.CheckNum, item.Memo});
    }
    std::vector<size_t> widths(heads.size());
    for (size_t c = 0; c < heads.size(); ++c) {
      widths[c] = heads[c].size();
      for (const auto& row : rows) widths[c] = std::max(widths[c], row[c].size());
    }
    auto row_text = [&widths](const std::vector<std::string>& cells) {
      std::string out;
      for (size_t c = 0; c < cells.size(); ++c) {
        const bool last = c + 1 == cells.size();
        out += last ? cells[c] : Pad(cells[c], widths[c], c == 2);
        if (!last) out += "  ";
      }
      return out + "\n";
    };
    text += "\n" + row_text(heads);
    for (const auto& row : rows) text += row_text(row);
  }
  std::cout << Cp1252ToUtf8(text);
}

}  // namespace

int RunInspect(const std::vector<std::string>& args) {
  TInspectOptions options;
  bool only_files = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!only_files && a == "--json") {
      options.json = true;
    } else if (!only_files && a == "--decimal-separator") {
      if (i + 1 >= args.size()) return UsageError("falta o caractere de --decimal-separator");
      const std::string& c = args[++i];
      if (c.size() != 1) return UsageError("--decimal-separator espera um \xFAnico caractere, n\xE3o \"" +
                                 Utf8ToCp1252(c) + "\"");
      FormatSettings.DecimalSeparator = c[0];
    } else if (!only_files && a == "--") {
      only_files = true;
    } else if (!only_files && a.size() > 1 && a[0] == '-') {
      return UsageError("op\xE7\xE3o desconhecida: \"" + Utf8ToCp1252(a) + "\"");
    } else if (options.file.empty()) {
      options.file = a;
    } else {
      return UsageError("apenas um arquivo por vez: \"" + Utf8ToCp1252(a) + "\"");
    }
  }
  if (options.file.empty()) return UsageError("falta o arquivo");

  TVQOFXReader reader(nullptr);
  reader.OFXFile = options.file;
  bool ofx = false;
  try {
    ofx = reader.Process();
  } catch (const std::exception& e) {
    std::cerr << "kvr61400 inspect: " << options.file << ": " << Cp1252ToUtf8(e.what()) << "\n";
    return kExitError;
  }
  if (options.json) {
    PrintJson(reader, ofx);
  } else {
    PrintHuman(reader, ofx, options.file);
  }
  return ofx ? kExitOk : kExitNotStatement;
}

}  // namespace kvr::cli
