// kvr61400 import: a console host for the import screen. It opens the screen,
// presses the search button with the given file as the user's choice, shows
// what the screen shows, chooses the account type, types the movement dates
// of bank 237, presses confirm and answers the repeat question; every message
// of the screen is printed, with what to do after a refusal the user can mend.
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

// Digits with an optional "-" and one check character, up to max: what
// conta add takes as --conta and --agencia.
bool Registrable(const std::string& text, size_t max) {
  const size_t digits = text.find_first_not_of("0123456789");
  if (text.empty() || text.size() > max || digits == 0) return false;
  return digits == std::string::npos || (text[digits] == '-' && digits + 2 == text.size());
}

std::string WithoutLeadingZeros(const std::string& text) {
  const size_t first = text.find_first_not_of('0');
  if (first == std::string::npos || first == 0 || text[first] < '1' || text[first] > '9')
    return text;
  return text.substr(first);
}

// Lines (UTF-8) that tell the clerk what to do after the screen ended the
// load with error, its last message (Windows-1252): for "Conta corrente não
// cadastrada.", the bank and number the server was asked for and the
// `kvr61400-server conta add` that registers that account (with --agencia
// when the file writes "AGENCIA/CONTA", and --id-extrato when the number is
// longer than the 10 characters an account number holds). Empty for any
// other message. The form must hold the header edits as the load left them.
std::vector<std::string> RefusalHints(const TfrmImportOFX& form, const std::string& error) {
  if (error != form.Msg("CONTCORR_NCAD")) return {};
  const std::string banco = form.edtBanco->Text();
  const std::string conta = form.edtConta->Text();
  const std::string asked = form.RetiraSimbolosContCorr(banco, conta);
  std::string looked = "conta procurada no servidor: banco " + banco + ", conta " + asked;
  if (asked != conta) looked += " (no arquivo: " + conta + ")";

  std::string agency;
  std::string number = conta;
  if (const size_t slash = conta.rfind('/'); slash != std::string::npos) {
    agency = conta.substr(0, slash);
    number = conta.substr(slash + 1);
  }
  number = WithoutLeadingZeros(number);
  std::string add =
      "para cadastr\xE1-la, no servidor: sudo -u kvr61400 kvr61400-server conta add --codigo "
      "CODIGO --banco " +
      banco;
  if (Registrable(agency, 5)) add += " --agencia " + agency;
  if (Registrable(number, 10)) {
    add += " --conta " + number;
  } else {
    // Agency and account as one long number: the account's own number goes
    // in --conta, the file's in --id-extrato.
    add += " --agencia AGENCIA --conta CONTA --id-extrato " + conta;
  }
  add += " --tipo C";
  return {Cp1252ToUtf8(looked), Cp1252ToUtf8(add)};
}

}  // namespace

int RunImport(const std::vector<std::string>& args) {
  TImportOptions options;
  if (std::string problem = ParseImportOptions(args, options); !problem.empty())
    return ImportUsageError(problem);
  SetHttpsCaFile(options.ca_file);
  InstallImportInterrupt();

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
    if (InterruptedWhileWaiting())
      std::cerr << about
                << "a resposta do servidor chegou depois do Ctrl-C: " << OutcomeText(status)
                << "\n";
    if (options.json) {
      PrintReport(report, form);
    } else {
      if (!failure.empty()) std::cerr << about << EscapeControls(failure) << "\n";
      std::cout << "Resultado: " << OutcomeText(status) << " (status " << status << ")\n";
    }
    if (form != nullptr) {
      form->Close();
      if (form->ReleaseRequested()) delete form;
    }
    return status;
  };
  // An error that is no screen message ends the run.
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

  if (!options.json) std::cout << "Arquivo: " << options.file << "\n";
  // The screen would call a missing file "no valid statement".
  std::error_code missing;
  if (!std::filesystem::is_regular_file(options.file, missing)) {
    fail(std::filesystem::exists(options.file, missing)
             ? "não é um arquivo (confira o caminho e o nome)"
             : "arquivo não encontrado (confira o caminho e o nome)");
    return finish();
  }
  try {
    CriaImportOFX();
  } catch (const std::exception& e) {
    fail(Cp1252ToUtf8(e.what()));
    return finish();
  }
  form = frmImportOFX;

  Progress progress;
  const bool show_progress = !options.json && progress.Enabled();
  if (show_progress) {
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
  const bool loaded = act([&] { form->BtnPesquisa1->UserClick(); });
  progress.End();
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

  report["tela"] = ScreenState(*form, with_grid);
  if (!options.json) PrintState(report["tela"], with_grid, *form);
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
}

}  // namespace kvr::cli
