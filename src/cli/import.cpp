// kvr61400 import: a console host for the import screen. It opens the screen,
// presses the search button with the given file as the user's choice, shows
// what the screen shows, chooses the account type, types the movement dates
// of bank 237, presses confirm and answers the repeat question; every message
// of the screen is printed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "host/host_library.h"
#include "host/string_services.h"
#include "host/token_file.h"
#include "platform/data_packet.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "screen/import_ofx_form.h"
#include "wire/utf8.h"

namespace kvr::cli {

const char* const kImportUsage =
    "import ARQUIVO [--server HOST:PORTA] [--tipo Circulante|Aplica\xC3\xA7\xC3\xA3o|Garantida] "
    "[--token-file ARQUIVO] [--de DD/MM/AAAA --ate DD/MM/AAAA] [--sim | --nao] [--sem-grade] [--json]";

namespace {

constexpr int kExitAlreadyRecorded = 3;
constexpr int kExitEnded = 4;

struct TImportOptions {
  std::string file;
  std::string host = "127.0.0.1";
  int port = 8061;
  std::string token;  // read from --token-file
  std::optional<std::string> tipo;  // Windows-1252
  std::optional<std::string> de, ate;
  std::optional<bool> answer;  // true: "Sim", false: "Não"
  bool json = false;
  bool summary = false;  // --sem-grade
};

std::string Utf8(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

// Lower case of the ASCII letters of a text without its accents, for
// comparing what the user typed with an entry of the screen.
std::string Folded(const std::string& cp1252) {
  std::string s = RemoveAcentos(cp1252);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The console's host library: messages on stdout (or into the JSON report),
// the question answered by an option or from the terminal, the server address
// from the command line, and the file chooser answering the given file.
class ConsoleHost : public THostLibrary {
 public:
  ConsoleHost(const TImportOptions& options, nlohmann::json& messages)
      : options_(options), messages_(messages) {}

  void ShowError(const std::string& text) override {
    last_error = text;
    Report("erro", text);
  }

  int MsgAlert(const std::string& text, TMsgDlgType /*kind*/, const std::vector<std::string>& buttons,
               int /*help_context*/) override {
    int chosen = ChooseButton(text, buttons);
    nlohmann::json entry = {{"tipo", "pergunta"}, {"texto", Utf8(text)}};
    nlohmann::json captions = nlohmann::json::array();
    for (const auto& b : buttons) captions.push_back(Utf8(b));
    entry["botoes"] = captions;
    entry["resposta"] = chosen >= 0 ? Utf8(buttons[static_cast<size_t>(chosen)]) : "";
    messages_.push_back(entry);
    last_answer = 11 + (chosen >= 0 ? chosen : 0);
    if (!options_.json) {
      std::cout << "[pergunta] " << Utf8(text) << " -> "
                << (chosen >= 0 ? Utf8(buttons[static_cast<size_t>(chosen)]) : "") << "\n";
    }
    return 11 + (chosen >= 0 ? chosen : 0);
  }

  void ShowMessage(const std::string& text, TMsgDlgType /*kind*/, int /*help_context*/) override {
    last_message = text;
    Report("mensagem", text);
  }

  void ActiveShowAvi(TComponent* /*window*/, int /*kind*/) override {}
  void DeactiveShowAvi() override {}
  std::string WebURL() override { return options_.host; }
  int WebPort() override { return options_.port; }
  std::string WebToken() override { return options_.token; }

  bool ExecuteOpenDialog(const std::string& /*filter*/, std::string& file_name) override {
    file_name = options_.file;
    return true;
  }

  void SetScreenCursor(int /*cursor*/) override {}
  void ShowForm(TForm& /*form*/) override {}
  TComponent* Application() override { return &application_; }
  TComponent* MainForm() override { return nullptr; }

  std::string last_error;
  std::string last_message;
  int last_answer = 0;  // what MsgAlert returned last; 0 before any question

 private:
  void Report(const char* kind, const std::string& text) {
    messages_.push_back({{"tipo", kind}, {"texto", Utf8(text)}});
    if (!options_.json) std::cout << "[" << kind << "] " << Utf8(text) << "\n";
  }

  // The index of the button the answer names: an option, or a line typed on
  // the terminal ("s"/"sim", "n"/"nao"/"não"); the end of the input answers
  // with the caption "Não".
  int ChooseButton(const std::string& text, const std::vector<std::string>& buttons) {
    auto find = [&](const std::string& folded) {
      for (size_t i = 0; i < buttons.size(); ++i) {
        if (Folded(buttons[i]) == folded) return static_cast<int>(i);
      }
      return -1;
    };
    if (options_.answer) return find(*options_.answer ? "sim" : "nao");
    std::string captions;
    for (const auto& b : buttons) captions += (captions.empty() ? "" : "/") + Utf8(b);
    while (true) {
      std::cerr << Utf8(text) << " (" << captions << ") " << std::flush;
      std::string line;
      if (!std::getline(std::cin, line)) return find("nao");
      std::string folded = Folded(Utf8ToCp1252(line));
      while (!folded.empty() && (folded.back() == ' ' || folded.back() == '\r')) folded.pop_back();
      if (folded == "s") folded = "sim";
      if (folded == "n") folded = "nao";
      int i = find(folded);
      if (i >= 0) return i;
    }
  }

  const TImportOptions& options_;
  nlohmann::json& messages_;
  TComponent application_{nullptr};
};

// The end of an import in words, for the last line.
const char* OutcomeText(int status) {
  switch (status) {
    case kExitOk:
      return "importado";
    case kExitAlreadyRecorded:
      return "j\xC3\xA1 cadastrado, nada gravado";
    case kExitEnded:
      return "n\xC3\xA3o importado";
    case kExitDeclined:
      return "cancelado na pergunta sobre movimentos repetidos, nada gravado";
    case kExitUsage:
      return "erro de uso";
    default:
      return "erro";
  }
}

int UsageError(const std::string& problem) {
  std::cerr << "kvr61400 import: " << problem << "\nuso: kvr61400 " << kImportUsage << "\n";
  return kExitUsage;
}

// Reads the options; returns an error text, empty when they are sound.
std::string ParseOptions(const std::vector<std::string>& args, TImportOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) -> bool {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--json") {
      o.json = true;
    } else if (a == "--token-file") {
      if (!value(v)) return "--token-file espera o arquivo com a senha de acesso do servidor";
      try {
        o.token = ReadTokenFile(v);
      } catch (const Exception& e) {
        return Utf8(e.what());
      }
    } else if (a == "--sem-grade") {
      o.summary = true;
    } else if (a == "--sim" || a == "--nao" || a == "--n\xC3\xA3o") {
      const bool answer = a == "--sim";
      if (o.answer && *o.answer != answer) return "--sim e --nao se excluem";
      o.answer = answer;
    } else if (a == "--server") {
      if (!value(v)) return "--server espera HOST:PORTA";
      const size_t colon = v.rfind(':');
      const int port = colon == std::string::npos ? 0 : StrToIntDef(v.substr(colon + 1), 0);
      if (colon == 0 || colon == std::string::npos || port <= 0 || port > 65535) {
        return "--server espera HOST:PORTA, n\xC3\xA3o \"" + v + "\"";
      }
      o.host = v.substr(0, colon);
      o.port = port;
    } else if (a == "--tipo") {
      if (!value(v)) return "--tipo espera Circulante, Aplica\xC3\xA7\xC3\xA3o ou Garantida";
      o.tipo = Utf8ToCp1252(v);
    } else if (a == "--de") {
      if (!value(v)) return "--de espera uma data DD/MM/AAAA";
      o.de = v;
    } else if (a == "--ate" || a == "--at\xC3\xA9") {
      if (!value(v)) return "--ate espera uma data DD/MM/AAAA";
      o.ate = v;
    } else if (!a.empty() && a[0] == '-') {
      return "op\xC3\xA7\xC3\xA3o desconhecida: " + a;
    } else if (o.file.empty()) {
      o.file = a;
    } else {
      return "mais de um arquivo: " + a;
    }
  }
  if (o.file.empty()) return "falta o ARQUIVO";
  return "";
}

// The filter in force as the user reads it: "movimentos de 01/05/2024 a
// 08/05/2024" for a date range, "nenhum movimento" for the filter that no
// row passes, empty for none; any other expression as it is.
std::string DescribeFilter(const std::string& filter) {
  static const std::regex range(R"(^DTMOVREAL>= '([^']*)' ?AND DTMOVREAL<= '([^']*)'$)");
  std::smatch match;
  if (filter.empty()) return "";
  if (std::regex_match(filter, match, range)) return "movimentos de " + match[1].str() + " a " + match[2].str();
  if (filter == "1 = 2") return "nenhum movimento";
  return filter;
}

// Cents of the visible rows of the transaction table: how many, the credits
// and the debits (magnitudes).
struct TTotals {
  int count = 0;
  long long credit_cents = 0;
  long long debit_cents = 0;
};

TTotals VisibleTotals(TClientDataSet& table) {
  TTotals totals;
  if (!table.Active()) return totals;
  TField& value = table.FieldByName("VRMOVREAL");
  TField& kind = table.FieldByName("IDMOVREAL");
  for (table.First(); !table.Eof(); table.Next()) {
    ++totals.count;
    const long long cents = std::llround(value.AsFloat() * 100.0);
    (kind.AsString() == "D" ? totals.debit_cents : totals.credit_cents) += cents;
  }
  table.First();
  return totals;
}

// Cents as the module writes amounts ("1.234,50", "-0,75").
std::string Amount(long long cents) { return Utf8(FormatFloat("#,##0.00", static_cast<double>(cents) / 100.0)); }

// Stands for the grid's rows in the report until they are written.
const char* const kRowsPlaceholder = "\x01linhas";

// The grid columns shown, by index.
std::vector<int> ShownColumns(const TDBGrid& grid) {
  std::vector<int> shown;
  const auto& cols = grid.Columns();
  for (size_t i = 0; i < cols.size(); ++i)
    if (cols[i].Visible) shown.push_back(static_cast<int>(i));
  return shown;
}

// The grid's titles and row count; the rows are written straight from the
// grid when printed (PrintState, PrintReport): a million of them as a tree
// would take gigabytes.
nlohmann::json GridState(TDBGrid& grid) {
  nlohmann::json columns = nlohmann::json::array();
  for (int c : ShownColumns(grid)) columns.push_back(Utf8(grid.Columns()[static_cast<size_t>(c)].Title));
  return {{"colunas", columns}, {"linhas", kRowsPlaceholder}, {"quantidade", grid.RowCount()}};
}

// What the screen shows, for printing; with_grid false leaves the grid's
// rows out (--sem-grade).
nlohmann::json ScreenState(TfrmImportOFX& f, bool with_grid) {
  nlohmann::json s;
  s["arquivo"] = Utf8(f.edtFile->Text());
  s["banco"] = Utf8(f.edtBanco->Text());
  s["conta"] = Utf8(f.edtConta->Text());
  nlohmann::json tipos = nlohmann::json::array();
  for (const auto& t : f.cbTipoConta->Items.Strings()) tipos.push_back(Utf8(t));
  s["tipos_conta"] = tipos;
  s["tipo_conta"] = Utf8(f.cbTipoConta->Text());
  s["data_inicial"] = Utf8(f.depDtIni->Text());
  s["data_final"] = Utf8(f.depDtFim->Text());
  s["valor_inicial"] = Utf8(f.nedValorIni->Text());
  s["valor_final"] = Utf8(f.nedValorFim->Text());
  if (f.grbDtMovimento->Visible()) {
    s["movimento_de"] = Utf8(f.depMovDe->Text());
    s["movimento_ate"] = Utf8(f.depMovAte->Text());
  }
  TClientDataSet& table = *f.cdsMovExtrBanco;
  s["filtro"] = table.Active() && table.Filtered() ? Utf8(table.Filter()) : "";
  s["filtro_descricao"] = DescribeFilter(s["filtro"].get<std::string>());
  const TTotals totals = VisibleTotals(table);
  s["resumo"] = {{"movimentos", totals.count},
                 {"creditos", static_cast<double>(totals.credit_cents) / 100.0},
                 {"debitos", static_cast<double>(totals.debit_cents) / 100.0},
                 {"soma", static_cast<double>(totals.credit_cents - totals.debit_cents) / 100.0}};
  if (with_grid) s["grade"] = GridState(*f.dbgExtrBanco);
  s["movimentos_no_extrato"] = table.Active() ? [&] {
    const bool filtered = table.Filtered();
    if (!filtered) return table.RecordCount();
    // Counting the hidden rows too needs the filter off for a moment; the
    // current row moves, which nothing after this depends on.
    table.SetFiltered(false);
    const int all = table.RecordCount();
    table.SetFiltered(true);
    return all;
  }() : 0;
  return s;
}


// The screen's fields and, unless with_grid is false, the grid. The file
// name was printed first.
void PrintState(const nlohmann::json& s, bool with_grid, TfrmImportOFX& f) {
  auto line = [](const char* label, const nlohmann::json& v) {
    std::cout << label << ": " << v.get<std::string>() << "\n";
  };
  line("Banco", s["banco"]);
  line("Conta", s["conta"]);
  std::string tipos;
  for (const auto& t : s["tipos_conta"]) tipos += (tipos.empty() ? "" : ", ") + t.get<std::string>();
  std::cout << "Tipo de conta: " << s["tipo_conta"].get<std::string>() << " (" << tipos << ")\n";
  line("Data inicial", s["data_inicial"]);
  line("Data Final", s["data_final"]);
  line("Valor inicial", s["valor_inicial"]);
  line("Valor Final", s["valor_final"]);
  if (s.contains("movimento_de")) {
    std::cout << "Data do movimento: de " << s["movimento_de"].get<std::string>() << " at\xC3\xA9 "
              << s["movimento_ate"].get<std::string>() << "\n";
  }
  const auto& grid = s["grade"];
  const auto& totals = s["resumo"];
  const std::string filter = s["filtro_descricao"].get<std::string>();
  std::cout << "Movimentos: " << totals["movimentos"].get<int>() << " de "
            << s["movimentos_no_extrato"].get<int>() << (filter.empty() ? "" : " (" + filter + ")") << "\n";
  auto cents = [](const nlohmann::json& v) { return std::llround(v.get<double>() * 100.0); };
  std::cout << "Soma: " << Amount(cents(totals["soma"])) << " (cr\xC3\xA9" "ditos " << Amount(cents(totals["creditos"]))
            << "; d\xC3\xA9" "bitos " << Amount(cents(totals["debitos"])) << ")\n";
  if (!with_grid) return;
  TDBGrid& g = *f.dbgExtrBanco;
  const int row_count = grid["quantidade"].get<int>();
  const std::vector<int> shown = ShownColumns(g);
  std::vector<size_t> widths;
  for (const auto& c : grid["colunas"]) widths.push_back(Utf8Length(c.get<std::string>()));
  // Two passes over the grid (widths, then lines) instead of a copy of it.
  for (int r = 0; r < row_count; ++r) {
    for (size_t i = 0; i < shown.size(); ++i)
      widths[i] = std::max(widths[i], Utf8Length(Utf8(g.CellText(r, shown[i]))));
  }
  // Amounts line up on the right, as in the grid.
  std::vector<bool> right;
  for (const auto& c : grid["colunas"]) right.push_back(c.get<std::string>() == "Valor");
  std::string out;
  auto print_row = [&](const std::vector<std::string>& cells) {
    out.clear();
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string& text = cells[i];
      const std::string pad(widths[i] - Utf8Length(text), ' ');
      out += right[i] ? pad + text : text;
      if (i + 1 < cells.size()) out += right[i] ? "  " : pad + "  ";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::cout << "  " << out << "\n";
  };
  std::vector<std::string> cells;
  for (const auto& c : grid["colunas"]) cells.push_back(c.get<std::string>());
  print_row(cells);
  for (int r = 0; r < row_count; ++r) {
    for (size_t i = 0; i < shown.size(); ++i) cells[i] = Utf8(g.CellText(r, shown[i]));
    print_row(cells);
  }
}

// Prints the report as indented JSON, with the grid's rows written from the
// grid in place of their placeholder.
void PrintReport(const nlohmann::json& report, TfrmImportOFX* f) {
  const std::string text = report.dump(2);
  const std::string mark = nlohmann::json(kRowsPlaceholder).dump();
  const size_t at = text.find(mark);
  if (at == std::string::npos || f == nullptr) {
    std::cout << text << "\n";
    return;
  }
  std::cout << text.substr(0, at) << "[";
  TDBGrid& g = *f->dbgExtrBanco;
  const std::vector<int> shown = ShownColumns(g);
  std::string line;
  const int rows = g.RowCount();
  for (int r = 0; r < rows; ++r) {
    line = r == 0 ? "\n" : ",\n";
    line += "        [";
    for (size_t i = 0; i < shown.size(); ++i) {
      if (i > 0) line += ", ";
      AppendJsonString(line, g.CellText(r, shown[i]));
    }
    line += "]";
    std::cout << line;
  }
  std::cout << (rows > 0 ? "\n      ]" : "]") << text.substr(at + mark.size()) << "\n";
}

// Progress of the long steps of a large statement on the terminal: one line
// per step on stderr, its elapsed seconds ticking, then its duration. Silent
// when stderr is no terminal.
class Progress {
 public:
  Progress() : enabled_(isatty(STDERR_FILENO) != 0) {}
  ~Progress() { End(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool Enabled() const { return enabled_; }

  // Starts a step (ending the one in progress).
  void Begin(const std::string& label) {
    if (!enabled_) return;
    End();
    std::lock_guard<std::mutex> lock(mutex_);
    label_ = label;
    start_ = Clock::now();
    running_ = true;
    std::cerr << label_ << "..." << std::flush;
    ticker_ = std::thread([this] { Tick(); });
  }
  // Ends the step in progress, with its duration.
  void End() {
    if (!enabled_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running_) return;
      running_ = false;
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.1f", Elapsed());
      std::string shown = buf;
      std::replace(shown.begin(), shown.end(), '.', ',');
      std::cerr << "\r" << label_ << ": " << shown << " s\n" << std::flush;
    }
    changed_.notify_all();
    if (ticker_.joinable()) ticker_.join();
  }

 private:
  using Clock = std::chrono::steady_clock;
  double Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  void Tick() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
      if (changed_.wait_for(lock, std::chrono::seconds(1), [this] { return !running_; })) break;
      std::cerr << "\r" << label_ << "... " << static_cast<int>(Elapsed()) << " s" << std::flush;
    }
  }

  bool enabled_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string label_;
  Clock::time_point start_;
  bool running_ = false;
  std::thread ticker_;
};

// Statements smaller than this are quick enough to need no progress.
constexpr int kProgressAbove = 10000;
// While reading, the count is not known yet: a file this large holds about
// ten thousand transactions or more.
constexpr std::uintmax_t kProgressFileBytes = 2u << 20;

std::string Thousands(long long n) {
  std::string digits = std::to_string(n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ".");
  return digits;
}

}  // namespace

int RunImport(const std::vector<std::string>& args) {
  TImportOptions options;
  if (std::string problem = ParseOptions(args, options); !problem.empty()) return UsageError(problem);

  nlohmann::json report = nlohmann::json::object();
  nlohmann::json messages = nlohmann::json::array();
  ConsoleHost host(options, messages);
  SetHostLibrary(&host);
  struct Uninstall {
    ~Uninstall() { SetHostLibrary(nullptr); }
  } uninstall;

  int status = kExitOk;
  std::string failure;  // the text of an error that is no screen message
  const char* result = "importado";
  bool state_known = false;
  TfrmImportOFX* form = nullptr;

  const bool with_grid = !options.summary;
  // Every line of an error names the file it is about.
  const std::string about = "kvr61400 import: " + options.file + ": ";
  auto finish = [&]() {
    if (form != nullptr && !state_known) {
      report["tela"] = ScreenState(*form, with_grid);
      state_known = true;
    }
    report["arquivo"] = options.file;
    report["mensagens"] = messages;
    report["resultado"] = result;
    report["status"] = status;
    if (!failure.empty()) report["falha"] = failure;
    if (options.json) {
      PrintReport(report, form);
    } else {
      if (!failure.empty()) std::cerr << about << failure << "\n";
      std::cout << "Resultado: " << OutcomeText(status) << " (status " << status << ")\n";
    }
    if (form != nullptr) {
      form->Close();
      if (form->ReleaseRequested()) delete form;
    }
    return status;
  };
  // Runs one user action of the screen; false when it ended early, with the
  // status and result set.
  auto act = [&](auto&& action) {
    try {
      action();
      return true;
    } catch (const EAbort&) {
      if (host.last_error == frmImportOFX->Msg("MOV_JA_CAD")) {
        status = kExitAlreadyRecorded;
        result = "ja_cadastrado";
      } else {
        status = kExitEnded;
        result = "recusado";
      }
    } catch (const EConvertError& e) {
      // A date typed into a movement date edit that is no date is shown to
      // the user like any message; a parse error of the file is not.
      if (state_known) {
        host.ShowError(e.what());
        status = kExitEnded;
        result = "recusado";
      } else {
        failure = Utf8(e.what());
        status = kExitError;
        result = "erro";
      }
    } catch (const std::exception& e) {
      failure = Utf8(e.what());
      status = kExitError;
      result = "erro";
    }
    return false;
  };

  if (!options.json) std::cout << "Arquivo: " << options.file << "\n";
  try {
    CriaImportOFX();
  } catch (const std::exception& e) {
    failure = Utf8(e.what());
    status = kExitError;
    result = "erro";
    return finish();
  }
  form = frmImportOFX;

  Progress progress;
  if (!options.json && progress.Enabled()) {
    std::error_code ignored;
    const std::uintmax_t size = std::filesystem::file_size(options.file, ignored);
    if (!ignored && size >= kProgressFileBytes) progress.Begin("Lendo o extrato");
    form->netImportOFX->OnCall = [&](const std::string& method, bool done) {
      const int rows = form->cdsMovExtrAux->Active() ? form->cdsMovExtrAux->RecordCount() : 0;
      if (rows <= kProgressAbove) return;
      if (done) {
        progress.End();
      } else if (method == "ValidExtrato") {
        progress.Begin("Enviando " + Thousands(rows) + " movimentos ao servidor para valida\xC3\xA7\xC3\xA3o");
      } else if (method == "SetExtratoBancario") {
        progress.Begin("Gravando " + Thousands(rows) + " movimentos no servidor");
      }
    };
  }
  const bool loaded = act([&] { form->BtnPesquisa1->UserClick(); });
  progress.End();
  if (!loaded) return finish();
  state_known = true;

  if (options.de || options.ate) {
    if (!form->grbDtMovimento->Visible()) {
      if (!options.json) {
        std::cerr << "kvr61400 import: aviso: --de e --ate valem s\xC3\xB3 para o banco 237; "
                     "ignorados.\n";
      }
    } else {
      if (options.de) form->depMovDe->UserSetText(*options.de);
      if (options.ate) form->depMovAte->UserSetText(*options.ate);
      form->SetActiveControl(form->depMovDe);
      if (!act([&] { form->UserFocus(*form->depMovAte); })) return finish();
      if (!act([&] { form->UserFocus(*form->dbgExtrBanco); })) return finish();
    }
  }

  if (options.tipo) {
    const auto& entries = form->cbTipoConta->Items.Strings();
    int chosen = -1;
    for (size_t i = 0; i < entries.size() && chosen < 0; ++i) {
      if (Folded(entries[i]) == Folded(*options.tipo)) chosen = static_cast<int>(i);
    }
    if (chosen < 0) {
      std::string offered;
      for (const auto& e : entries) offered += (offered.empty() ? "" : ", ") + Utf8(e);
      failure = "tipo de conta \"" + Utf8(*options.tipo) + "\" n\xC3\xA3o oferecido (" + offered + ")";
      status = kExitUsage;
      result = "erro";
      report["tela"] = ScreenState(*form, with_grid);
      if (!options.json) PrintState(report["tela"], with_grid, *form);
      return finish();
    }
    form->cbTipoConta->UserSelect(chosen);
  }

  report["tela"] = ScreenState(*form, with_grid);
  if (!options.json) PrintState(report["tela"], with_grid, *form);
  // A bank-237 range that leaves no row ends in "Arquivo sem dados para
  // importação."; say how to choose another one.
  const nlohmann::json& shown = report["tela"];
  if (form->grbDtMovimento->Visible() && shown["resumo"]["movimentos"] == 0 &&
      shown["movimentos_no_extrato"].get<int>() > 0) {
    const std::string hint = "nenhum movimento de " + shown["movimento_de"].get<std::string>() + " a " +
                             shown["movimento_ate"].get<std::string>() + "; o extrato vai de " +
                             shown["data_inicial"].get<std::string>() + " a " +
                             shown["data_final"].get<std::string>() +
                             ": escolha o per\xC3\xADodo com --de DD/MM/AAAA --ate DD/MM/AAAA";
    report["dica"] = hint;
    if (!options.json) std::cerr << about << hint << "\n";
  }

  const bool confirmed = act([&] { form->sbtConfirma->UserClick(); });
  if (confirmed && host.last_answer == 11 && host.last_message.empty()) {
    // "Não" to the repeated movements: the server was told to store nothing.
    status = kExitDeclined;
    result = "cancelado";
  }
  return finish();
}

}  // namespace kvr::cli
