// kvr61400 import: a console host for the import screen. It opens the screen,
// presses the search button with the given file as the user's choice, shows
// what the screen shows, chooses the account type, types the movement dates
// of bank 237, presses confirm and answers the repeat question; every message
// of the screen is printed, with what to do after a refusal the user can mend.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_host.h"
#include "cli/import_batch.h"
#include "reader/vq_ofx_reader.h"
#include "cli/import_options.h"
#include "cli/import_report.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "host/server_url.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "screen/import_ofx_form.h"
#include "wire/printable_text.h"

namespace kvr::cli {

namespace {

// Statements smaller than this are quick enough to need no progress.
constexpr int kProgressAbove = 10000;
// While reading, the count is not known yet: a file this large holds about
// ten thousand transactions or more.
constexpr std::uintmax_t kProgressFileBytes = 2u << 20;

// Lines (UTF-8) that tell the clerk what to do after the screen ended the
// load with error, its last message (Windows-1252): for "Conta corrente n�o
// cadastrada.", the bank and number the server was asked for and the
// `kvr61400-server conta add` that registers that account. Empty for any
// other message. The form must hold the header edits as the load left them.
std::vector<std::string> RefusalHints(const TfrmImportOFX& form, const std::string& error) {
  if (error != form.Msg("CONTCORR_NCAD")) return {};
  const TContaProcurada conta = form.ContaProcurada();
  return {Cp1252ToUtf8(conta.procurada),
          Cp1252ToUtf8("para cadastr\xE1-la, no servidor: " + conta.cadastro)};
}

}  // namespace

int RunImport(const std::vector<std::string>& args) {
  TImportOptions options;
  if (std::string problem = ParseImportOptions(args, options); !problem.empty())
    return ImportUsageError(problem);
  std::string problem;
  const std::vector<std::string> files = ImportFiles(options.files, problem);
  if (!problem.empty()) return ImportUsageError(problem);
  // One file named alone shows the screen as it goes; several, or a folder,
  // one line per statement.
  const bool one_file = options.files.size() == 1 && files.size() == 1 &&
                        files.front() == options.files.front();
  options.batch = !one_file;
  SetHttpsCaFile(options.ca_file);
  InstallImportInterrupt();

  nlohmann::json messages = nlohmann::json::array();
  ConsoleHost host(options, messages);
  SetHostLibrary(&host);
  struct Uninstall {
    ~Uninstall() { SetHostLibrary(nullptr); }
  } uninstall;

  TfrmImportOFX* form = nullptr;
  std::string open_failure;  // why the screen could not be opened
  const bool with_grid = !options.summary;
  std::vector<TStatementOutcome> outcomes;
  bool single_reported = false;  // --json of a file named alone was printed
  Progress progress;
  const bool show_progress = !options.json && progress.Enabled();

  // Imports statement `extrato` of options.file (1-based; 0: the first, the
  // file being chosen on the screen), appending its outcome.
  auto import_statement = [&](int extrato) -> TStatementOutcome& {
    nlohmann::json report = nlohmann::json::object();
    messages = nlohmann::json::array();
    host.last_error.clear();
    host.last_message.clear();
    host.last_answer = 0;
    TStatementOutcome& outcome = outcomes.emplace_back();
    outcome.file = options.file;
    int status = kExitOk;
    std::string failure;  // the text of an error that is no screen message
    const char* result = "importado";
    bool state_known = false;
    bool attempted = false;  // the screen was asked to load this file
    bool state_known_loaded = false;  // the load went through
    const std::string about = "kvr61400 import: " + options.file + ": ";

    auto finish = [&]() -> TStatementOutcome& {
      if (attempted && !state_known) {
        report["tela"] = ScreenState(*form, with_grid && one_file);
        state_known = true;
      }
      report["arquivo"] = options.file;
      report["mensagens"] = messages;
      report["resultado"] = result;
      report["status"] = status;
      if (!failure.empty()) report["falha"] = failure;
      if (InterruptedWhileWaiting())
        std::cerr << about
                  << "a resposta do servidor chegou depois do Ctrl-C: " << OutcomeText(status)
                  << "\n";
      outcome.status = status;
      outcome.resultado = result;
      outcome.mensagens = messages;
      if (!failure.empty()) {
        outcome.motivo = failure;
      } else if (status != kExitOk && !host.last_error.empty()) {
        outcome.motivo = Printable(host.last_error);
      } else if (status == kExitDeclined) {
        outcome.motivo = "\"Não\" à pergunta sobre movimentos repetidos";
      }
      if (attempted) {
        outcome.extratos = static_cast<int>(form->Extratos().size());
        outcome.extrato = form->Extrato();
        const nlohmann::json& tela = report["tela"];
        outcome.banco = tela.value("banco", "");
        outcome.conta = tela.value("conta", "");
        outcome.data_inicial = tela.value("data_inicial", nlohmann::json());
        outcome.data_final = tela.value("data_final", nlohmann::json());
        outcome.movimentos = tela["resumo"].value("movimentos", 0);
        const auto& all = form->Extratos();
        if (!state_known_loaded && outcome.extrato >= 1 && outcome.extrato <= outcome.extratos) {
          // A load that ended early: what the file says of the statement.
          const TOFXStatement& read = all[static_cast<size_t>(outcome.extrato - 1)];
          outcome.banco = Cp1252ToUtf8(read.Banco);
          outcome.conta = Cp1252ToUtf8(read.Conta);
          outcome.data_inicial = IsoDate(read.DataIncial);
          outcome.data_final = IsoDate(read.DataFinal);
          outcome.movimentos = read.Movimentos;
        }
        if (form->cdsContaCorrente->Active() && !form->cdsContaCorrente->IsEmpty())
          outcome.codigo = form->cdsContaCorrente->FieldByName("CDREDUCONT").AsString();
        if (outcome.extratos > 1) report["extrato"] = {{"numero", outcome.extrato},
                                                       {"de", outcome.extratos}};
      }
      if (options.json) {
        // A file named alone with one statement is reported whole, as it was
        // before files could hold several.
        if (!options.batch && (outcome.extratos <= 1 || options.extrato)) {
          PrintReport(report, attempted ? form : nullptr);
          single_reported = true;
        }
      } else if (options.batch) {
        if (!failure.empty()) std::cerr << about << EscapeControls(failure) << "\n";
        std::cout << OutcomeLine(outcome) << "\n" << std::flush;
      } else {
        if (!failure.empty()) std::cerr << about << EscapeControls(failure) << "\n";
        std::cout << "Resultado: " << OutcomeText(status) << " (status " << status << ")\n";
      }
      return outcome;
    };
    auto fail = [&](const std::string& text) {
      failure = text;
      status = kExitError;
      result = "erro";
    };
    // Runs one user action of the screen; false when it ended early, with the
    // status and result set.
    auto act = [&](auto&& action) {
      try {
        action();
        return true;
      } catch (const EAbort&) {
        const bool recorded = host.last_error == frmImportOFX->Msg("MOV_JA_CAD");
        status = recorded ? kExitAlreadyRecorded : kExitEnded;
        result = recorded ? "ja_cadastrado" : "recusado";
      } catch (const EConvertError& e) {
        // A date typed into a movement date edit that is no date is shown to
        // the user like any message; a parse error of the file is not.
        if (!state_known) {
          fail(Cp1252ToUtf8(e.what()));
          return false;
        }
        host.ShowError(e.what());
        status = kExitEnded;
        result = "recusado";
      } catch (const std::exception& e) {
        fail(Cp1252ToUtf8(e.what()));
      }
      return false;
    };

    if (!open_failure.empty()) {
      fail(open_failure);
      return finish();
    }
    if (extrato == 0) {
      if (!options.json && !options.batch) std::cout << "Arquivo: " << options.file << "\n";
      // The screen would call a missing file "no valid statement".
      std::error_code missing;
      if (!std::filesystem::is_regular_file(options.file, missing)) {
        fail(std::filesystem::exists(options.file, missing)
                 ? "não é um arquivo (confira o caminho e o nome)"
                 : "arquivo não encontrado (confira o caminho e o nome)");
        return finish();
      }
    }
    if (form == nullptr) {
      try {
        CriaImportOFX();
      } catch (const std::exception& e) {
        open_failure = Cp1252ToUtf8(e.what());
        fail(open_failure);
        return finish();
      }
      form = frmImportOFX;
    }
    form->PrimeiroExtrato = options.extrato.value_or(1);
    // The files and statements go in turn through the loop below.
    form->SegueFila = false;
    attempted = true;

    if (show_progress && extrato == 0) {
      std::error_code ignored;
      const std::uintmax_t size = std::filesystem::file_size(options.file, ignored);
      if (!ignored && size >= kProgressFileBytes) progress.Begin("Lendo o extrato");
    }
    form->netImportOFX->OnCall = [&](const std::string& method, bool done) {
      if (method == "SetExtratoBancario") done ? StoreCallAnswered() : StoreCallSent();
      if (!show_progress) return;
      const int rows = form->cdsMovExtrAux->Active() ? form->cdsMovExtrAux->RecordCount() : 0;
      if (rows <= kProgressAbove) return;
      if (done) {
        progress.End();
      } else if (method == "ValidExtrato") {
        progress.Begin("Enviando " + Thousands(rows) + " movimentos ao servidor para validação");
      } else if (method == "SetExtratoBancario") {
        progress.Begin("Gravando " + Thousands(rows) + " movimentos no servidor");
      }
    };
    // The statement about to be loaded, before what the screen says of it.
    if (!options.batch && !options.json && extrato > 1)
      std::cout << Cp1252ToUtf8(form->ExtratoTexto(extrato)) << "\n";
    const bool loaded = act([&] {
      if (extrato == 0)
        form->BtnPesquisa1->UserClick();
      else
        form->EscolheExtrato(extrato);
    });
    progress.End();
    // What the reader warns of (a period of the file replaced by the
    // movements'), whether or not the load went on.
    nlohmann::json warnings = nlohmann::json::array();
    for (const std::string& warning : form->Avisos()) {
      warnings.push_back(Cp1252ToUtf8(warning));
      if (!options.json) std::cout << "Aviso: " << Cp1252ToUtf8(warning) << "\n";
    }
    report["avisos"] = warnings;
    if (!loaded) {
      std::string hints;
      for (const std::string& line : RefusalHints(*form, host.last_error)) {
        hints += (hints.empty() ? "" : "\n") + line;
        if (!options.json) std::cerr << about << line << "\n";
      }
      if (!hints.empty()) report["dica"] = hints;
      return finish();
    }
    state_known = true;
    state_known_loaded = true;
    if (!options.batch && !options.json && extrato == 0 && !form->ExtratoTexto().empty())
      std::cout << Cp1252ToUtf8(form->ExtratoTexto()) << "\n";

    if (options.de || options.ate) {
      if (!form->grbDtMovimento->Visible()) {
        if (!options.json) {
          std::cerr << "kvr61400 import: aviso: --de e --ate valem só para o banco 237; "
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

    const auto& entries = form->cbTipoConta->Items.Strings();
    const auto tipo = std::find_if(entries.begin(), entries.end(), [&](const std::string& entry) {
      return options.tipo && Folded(entry) == Folded(*options.tipo);
    });
    if (tipo != entries.end())
      form->cbTipoConta->UserSelect(static_cast<int>(tipo - entries.begin()));

    report["tela"] = ScreenState(*form, with_grid && one_file);
    if (!options.json && !options.batch) PrintState(report["tela"], with_grid, *form);
    if (options.tipo && tipo == entries.end()) {
      std::string offered;
      for (const auto& e : entries) offered += (offered.empty() ? "" : ", ") + Cp1252ToUtf8(e);
      failure =
          "tipo de conta \"" + Cp1252ToUtf8(*options.tipo) + "\" não oferecido (" + offered + ")";
      status = kExitUsage;
      result = "erro";
      return finish();
    }
    // A bank-237 range that leaves no row ends in "Arquivo sem dados para
    // importação."; say how to choose another one.
    const nlohmann::json& shown = report["tela"];
    if (form->grbDtMovimento->Visible() && shown["resumo"]["movimentos"] == 0 &&
        shown["movimentos_no_extrato"].get<int>() > 0) {
      const nlohmann::json& texts = shown["textos"];
      const std::string hint = "nenhum movimento de " + texts["movimento_de"].get<std::string>() +
                               " a " + texts["movimento_ate"].get<std::string>() +
                               "; o extrato vai de " + texts["data_inicial"].get<std::string>() +
                               " a " + texts["data_final"].get<std::string>() +
                               ": escolha o período com --de DD/MM/AAAA --ate DD/MM/AAAA";
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
  };

  bool interrupted = false;
  // Where the lines of a batch do not reach the terminal, the terminal is
  // told which file is being imported.
  const bool count_files = options.batch && progress.Enabled() && isatty(STDOUT_FILENO) == 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    options.file = file;
    if (count_files)
      std::cerr << "Arquivo " << i + 1 << " de " << files.size() << ": " << file << "\n";
    const TStatementOutcome& first = import_statement(0);
    // The other statements of the file, each to its own account; a file that
    // could not be read is not read again.
    const int count = first.status == kExitError ? 0 : first.extratos;
    for (int n = 2; n <= count && !options.extrato; ++n) {
      if ((interrupted = InterruptedWhileWaiting())) break;
      NextStatementOfBatch();
      import_statement(n);
    }
    if (interrupted || (interrupted = InterruptedWhileWaiting())) break;
    NextStatementOfBatch();
  }

  const bool several = outcomes.size() > 1 || options.batch;
  nlohmann::json continuity = nlohmann::json::array();
  std::string continuity_error;
  if (form != nullptr) {
    if (several) {
      try {
        continuity = BatchContinuity(*form->netImportOFX, outcomes);
      } catch (const std::exception& e) {
        continuity_error = Cp1252ToUtf8(e.what());
      }
    }
    form->Close();
    if (form->ReleaseRequested()) delete form;
  }
  if (several) {
    if (options.json) {
      if (!single_reported) std::cout << BatchJson(outcomes, continuity, continuity_error).dump(2) << "\n";
    } else {
      PrintBatchSummary(outcomes, continuity, continuity_error);
    }
  }
  // A Ctrl-C that stopped a batch says so; one statement keeps its own end.
  if (interrupted && several) return kExitInterrupted;
  return BatchStatus(outcomes);
}

}  // namespace kvr::cli
