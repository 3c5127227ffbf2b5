#pragma once

// Ctrl-C during kvr61400 import. Until the call that stores the statement is
// sent, nothing can have been stored: Ctrl-C says so and ends at once. Once
// it is sent, the server may store the statement whatever the client does,
// so the first Ctrl-C only says that the answer is awaited (the answer is
// then reported as it comes) and a second one leaves without it, saying that
// the statement may have been stored and how to find out.
namespace kvr::cli {

// The exit status after Ctrl-C (128 + SIGINT).
constexpr int kExitInterrupted = 130;

// Installs the SIGINT handler for one import: from now on Ctrl-C writes
// "Importação interrompida: nada foi gravado." on stderr and ends the
// process with kExitInterrupted.
void InstallImportInterrupt();

// The call that stores the statement is about to be sent: from now on the
// first Ctrl-C writes that the server's answer is awaited, and a second one
// writes that the server may have stored it and ends with kExitInterrupted.
void StoreCallSent();

// The store call's answer came (or the call failed): a Ctrl-C now is
// ignored, the outcome being reported at once.
void StoreCallAnswered();

// The next statement of a batch begins, after one that may have been stored:
// from now on Ctrl-C ends at once, saying that nothing more was stored and
// that the statements already imported stay stored.
void NextStatementOfBatch();

// True when a Ctrl-C came while the answer was awaited.
bool InterruptedWhileWaiting();

}  // namespace kvr::cli
