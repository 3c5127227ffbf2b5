#include "cli/interrupt.h"

#include <unistd.h>

#include <csignal>

namespace kvr::cli {

namespace {

enum Stage : int {
  kBeforeStore,
  kStoreSent,
  kWaitingAfterInterrupt,
  kAnswered,
  kAnsweredAfterInterrupt,
  kBeforeStoreInBatch,
};

volatile std::sig_atomic_t g_stage = kBeforeStore;

constexpr char kNothingStored[] = "\nImportação interrompida: nada foi gravado.\n";
constexpr char kNothingMoreStored[] =
    "\nImportação interrompida: nada mais foi gravado; os extratos já "
    "importados continuam gravados.\n";
constexpr char kWaiting[] =
    "\nAguardando a resposta do servidor, que já recebeu o extrato para gravar... "
    "Ctrl-C de novo para sair sem esperar.\n";
constexpr char kMayBeStored[] =
    "\nImportação interrompida sem a resposta do servidor: o extrato pode ter sido "
    "gravado. Importe o mesmo arquivo de novo: se foi gravado, a resposta será "
    "\"Arquivo de movimentação bancária já cadastrado.\"\n";

// Only write(2) and _exit(2) here: both are safe in a signal handler.
void Say(const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, size);
    if (written <= 0) return;
    text += written;
    size -= static_cast<std::size_t>(written);
  }
}

void OnInterrupt(int /*signal*/) {
  switch (g_stage) {
    case kBeforeStore:
      Say(kNothingStored, sizeof kNothingStored - 1);
      ::_exit(kExitInterrupted);
    case kBeforeStoreInBatch:
      Say(kNothingMoreStored, sizeof kNothingMoreStored - 1);
      ::_exit(kExitInterrupted);
    case kStoreSent:
      g_stage = kWaitingAfterInterrupt;
      Say(kWaiting, sizeof kWaiting - 1);
      return;
    case kWaitingAfterInterrupt:
      Say(kMayBeStored, sizeof kMayBeStored - 1);
      ::_exit(kExitInterrupted);
    default:
      return;
  }
}

}  // namespace

void InstallImportInterrupt() {
  g_stage = kBeforeStore;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // The transfer in flight goes on after the handler returns.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

void StoreCallSent() {
  if (g_stage == kBeforeStore || g_stage == kBeforeStoreInBatch) g_stage = kStoreSent;
}

void StoreCallAnswered() {
  g_stage = g_stage == kWaitingAfterInterrupt ? kAnsweredAfterInterrupt : kAnswered;
}

void NextStatementOfBatch() { g_stage = kBeforeStoreInBatch; }

bool InterruptedWhileWaiting() { return g_stage == kAnsweredAfterInterrupt; }

}  // namespace kvr::cli
