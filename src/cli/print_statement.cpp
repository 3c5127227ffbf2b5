// kvr61400 inspect: runs the statement reader on a file and prints what it
// read, for people (a summary and a table) or for programs (--json).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/import_report.h"
#include "platform/cp1252.h"
#include "platform/data_packet.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/format_settings.h"
#include "platform/sysutils.h"
#include "platform/text_file.h"
#include "reader/vq_ofx_reader.h"

namespace kvr::cli {

const char* const kInspectUsage = "inspect [--json] [--decimal-separator C] ARQUIVO";

const char* const kInspectHelp =
    "uso: kvr61400 inspect [--json] [--decimal-separator C] ARQUIVO\n"
    "\n"
    "Lê ARQUIVO com o leitor de extratos e mostra o que encontrou: banco, conta,\n"
    "período, saldos inicial e final e a tabela dos lançamentos.\n"
    "\n"
    "  --json                   um objeto JSON (UTF-8) em vez do texto\n"
    "  --decimal-separator C    separador decimal dos valores, \".\" ou \",\"\n"
    "                           (padrão: o do idioma do sistema; sem idioma,\n"
    "                           a vírgula)\n"
    "  --help                   esta ajuda\n"
    "\n"
    "Exemplo:\n"
    "  kvr61400 inspect examples/extrato-341.ofx\n"
    "\n"
    "Status de saída: 0 o arquivo é um extrato; 1 não é (ou não existe);\n"
    "2 erro na leitura (a mensagem diz a linha); 64 erro de uso.\n";

std::string IsoDate(TDateTime date) {
  return FormatDateTime("yyyy-mm-dd", date);
}

namespace {

int UsageError(const std::string& problem) {
  std::cerr << "kvr61400 inspect: " << problem << "\nuso: kvr61400 " << kInspectUsage
            << "\n";
  return kExitUsage;
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

// Output on stdout through one large buffer: a statement of 100,000
// transactions is written as it is formatted, never built as a whole first.
struct StdoutSink : JsonSink {
  ~StdoutSink() override { Flush(); }
  void Flush() override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    text.clear();
  }
};

// Each Windows-1252 byte as it stands in a JSON string: UTF-8, with the
// quote, the backslash and the control characters escaped.
struct JsonByteTable {
  std::string text[256];
  JsonByteTable() {
    for (int b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      text[b] = b < 0x20 ? escape : Cp1252ToUtf8(std::string_view(&c, 1));
    }
    const std::pair<char, const char*> kShort[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"},
                                                   {'\f', "\\f"}, {'\n', "\\n"},  {'\r', "\\r"},
                                                   {'\t', "\\t"}};
    for (const auto& [c, escape] : kShort) text[static_cast<unsigned char>(c)] = escape;
  }
};

// A text field: the name, then the text as a JSON string.
void PutJsonField(std::string& out, const char* name, std::string_view text) {
  static const JsonByteTable table;
  out += name;
  out += '"';
  size_t plain = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') continue;
    out += text.substr(plain, i - plain);
    out += table.text[b];
    plain = i + 1;
  }
  out += text.substr(plain);
  out += '"';
}

// A number field as JSON writers commonly print a double: the shortest
// digits that read back to it, "1350.0" for a whole number, an exponent beyond
// 15 digits or below 1e-4 ("1e+16", "1e-05"), null for what is not finite.
void PutJsonField(std::string& text, const char* name, double value) {
  text += name;
  if (!std::isfinite(value)) {
    text += "null";
    return;
  }
  if (value == 0) {
    text += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  char sci[40];
  char* end =
      std::to_chars(sci, std::end(sci), std::fabs(value), std::chars_format::scientific).ptr;
  *end = '\0';
  char* e = std::find(sci, end, 'e');
  std::string digits(sci, e);  // d[.ddd]
  if (digits.size() > 1) digits.erase(1, 1);
  const int k = static_cast<int>(digits.size());
  const int n = std::atoi(e + 1) + 1;  // where the decimal point goes
  if (value < 0) text += '-';
  if (k <= n && n <= 15) {
    text += digits;
    text.append(static_cast<size_t>(n - k), '0');
    text += ".0";
  } else if (0 < n && n <= 15) {
    text.append(digits, 0, static_cast<size_t>(n));
    text.push_back('.');
    text.append(digits, static_cast<size_t>(n));
  } else if (-4 < n && n <= 0) {
    text += "0.";
    text.append(static_cast<size_t>(-n), '0');
    text += digits;
  } else {
    text.push_back(digits[0]);
    if (k > 1) {
      text.push_back('.');
      text.append(digits, 1);
    }
    char exponent[16];
    std::snprintf(exponent, sizeof exponent, "e%c%02d", n - 1 < 0 ? '-' : '+', std::abs(n - 1));
    text += exponent;
  }
}

void PrintJson(const TVQOFXReader& reader, bool ofx) {
  StdoutSink sink;
  std::string& out = sink.text;
  out += ofx ? "{\"ofx\":true" : "{\"ofx\":false";
  PutJsonField(out, ",\"banco\":", reader.Banco);
  PutJsonField(out, ",\"conta\":", reader.Conta);
  PutJsonField(out, ",\"dataInicial\":", IsoDate(reader.DataIncial));
  PutJsonField(out, ",\"dataFinal\":", IsoDate(reader.DataFinal));
  PutJsonField(out, ",\"valorInicial\":", reader.ValorIncial);
  PutJsonField(out, ",\"valorFinal\":", reader.ValorFinal);
  out += ",\"avisos\":[";
  for (size_t i = 0; i < reader.Avisos.size(); ++i)
    PutJsonField(out, i == 0 ? "" : ",", reader.Avisos[i]);
  out += "],\"itens\":[";
  for (int i = 0; i < reader.Count(); ++i) {
    const TOFXItem& item = *reader.Get(i);
    PutJsonField(out, i == 0 ? "{\"trnType\":" : ",{\"trnType\":", item.TrnType);
    PutJsonField(out, ",\"postedDate\":", IsoDate(item.PostedDate));
    PutJsonField(out, ",\"amount\":", item.Amount);
    PutJsonField(out, ",\"fitId\":", item.FitId);
    PutJsonField(out, ",\"checkNum\":", item.CheckNum);
    PutJsonField(out, ",\"memo\":", item.Memo);
    out += '}';
    sink.Spill();
  }
  out += "]}\n";
}

void PrintHuman(const TVQOFXReader& reader, bool ofx, const std::string& file) {
  StdoutSink out;
  auto line = [&out](const std::string& label, const std::string& value) {
    out.text += Cp1252ToUtf8(Pad(label, 16) + value + "\n");
  };
  // The name as it is on disk: a character the code page lacks is no "?".
  out.text += Cp1252ToUtf8(Pad("Arquivo:", 16)) + file + "\n";
  line("Extrato OFX:", ofx ? "sim" : "não"_cp1252);
  // A file that is no statement has no bank, period or balances to show:
  // zeros would read as a statement of 30/12/1899.
  if (!ofx) return;
  line("Banco:", reader.Banco);
  line("Conta:", reader.Conta);
  // A statement without its dates shows "-", not day zero (30/12/1899).
  auto day = [](TDateTime date) { return date == 0 ? std::string("-") : FormatDateTime("dd/mm/yyyy", date); };
  line("Período:"_cp1252, day(reader.DataIncial) + " a " + day(reader.DataFinal));
  for (const std::string& warning : reader.Avisos) line("Aviso:", warning);
  line("Saldo inicial:", ShownAmount(reader.ValorIncial));
  line("Saldo final:", ShownAmount(reader.ValorFinal));
  line("Lançamentos:"_cp1252, Thousands(reader.Count()));
  if (reader.Count() == 0) return;
  // Two passes over the records, the column widths first, so that no copy
  // of the table is held.
  const std::vector<std::string> heads = {"Data",  "Tipo",      "Valor",
                                          "FITID", "Documento", "Histórico"_cp1252};
  auto cells = [](const TOFXItem& item) {
    return std::vector<std::string>{FormatDateTime("dd/mm/yyyy", item.PostedDate),
                                    std::string(item.TrnType),
                                    ShownAmount(item.Amount),
                                    std::string(item.FitId),
                                    std::string(item.CheckNum),
                                    std::string(item.Memo)};
  };
  std::vector<size_t> widths(heads.size());
  for (size_t c = 0; c < heads.size(); ++c) widths[c] = heads[c].size();
  for (int i = 0; i < reader.Count(); ++i) {
    const std::vector<std::string> row = cells(*reader.Get(i));
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  auto row_text = [&widths](const std::vector<std::string>& row) {
    std::string text;
    for (size_t c = 0; c + 1 < row.size(); ++c) text += Pad(row[c], widths[c], c == 2) + "  ";
    return Cp1252ToUtf8(text + row.back() + "\n");
  };
  out.text += "\n" + row_text(heads);
  for (int i = 0; i < reader.Count(); ++i) {
    out.text += row_text(cells(*reader.Get(i)));
    out.Spill();
  }
}

}  // namespace

namespace {

// Prints each of the statements with transactions of a file that holds
// several: as text, each under "Extrato 2 de 3"; as JSON, {"ofx":true,
// "extratos":[...]} with one object per statement as a file of one prints it.
int InspectEach(const std::string& file, int statements, bool json) {
  if (json) std::cout << "{\"ofx\":true,\"extratos\":[\n";
  for (int n = 1; n <= statements; ++n) {
    TVQOFXReader reader(nullptr);
    reader.OFXFile = file;
    reader.Extrato = n;
    try {
      reader.Process();
    } catch (const std::exception& e) {
      std::cerr << "kvr61400 inspect: " << file << ": " << e.what() << "\n";
      return kExitError;
    }
    if (json) {
      if (n > 1) std::cout << ",";
      std::cout << std::flush;
      PrintJson(reader, true);
    } else {
      std::cout << (n > 1 ? "\n" : "") << "Extrato " << n << " de " << statements << "\n"
                << std::flush;
      PrintHuman(reader, true, file);
    }
  }
  if (json) std::cout << "]}\n";
  return kExitOk;
}

}  // namespace

int RunInspect(const std::vector<std::string>& args) {
  bool json = false;
  std::string file;
  bool only_files = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!only_files && a == "--json") {
      json = true;
    } else if (!only_files && a == "--decimal-separator") {
      if (i + 1 >= args.size()) return UsageError("falta o caractere de --decimal-separator");
      const std::string& c = args[++i];
      if (c != "." && c != ",") {
        return UsageError("--decimal-separator aceita \".\" ou \",\", não \"" + c + "\"");
      }
      FormatSettings.DecimalSeparator = c[0];
    } else if (!only_files && a == "--") {
      only_files = true;
    } else if (!only_files && a.size() > 1 && a[0] == '-') {
      return UsageError("opção desconhecida: \"" + a + "\"");
    } else if (file.empty()) {
      file = a;
    } else {
      return UsageError("apenas um arquivo por vez: \"" + a + "\"");
    }
  }
  if (file.empty()) return UsageError("falta o arquivo");

  TVQOFXReader reader(nullptr);
  reader.OFXFile = file;
  reader.Extrato = 1;
  bool ofx = false;
  try {
    ofx = reader.Process();
  } catch (const std::exception& e) {
    std::cerr << "kvr61400 inspect: " << file << ": " << e.what() << "\n";
    return kExitError;
  }
  if (!ofx && !FileExists(file)) {
    std::cerr << "kvr61400 inspect: arquivo não encontrado: " << file
              << " (confira o caminho e o nome)\n";
  } else if (!ofx && !json) {
    std::cerr << "kvr61400 inspect: " << file
              << ": não é um extrato OFX (nenhuma linha <OFX>); escolha o arquivo .ofx "
                 "exportado pelo banco\n";
  }
  const int statements = static_cast<int>(reader.Extratos.size());
  if (ofx && statements > 1) return InspectEach(file, statements, json);
  if (json) {
    PrintJson(reader, ofx);
  } else {
    PrintHuman(reader, ofx, file);
  }
  return ofx ? kExitOk : kExitNotStatement;
}

}  // namespace kvr::cli
