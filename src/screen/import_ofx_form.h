#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/base_screen.h"
#include "host/host_controls.h"
#include "host/net_connection.h"
#include "platform/client_dataset.h"
#include "platform/controls.h"
#include "platform/sysutils.h"
#include "screen/layout_loader.h"
#include "screen/narrowed_header.h"

namespace kvr {

class TVQOFXReader;
struct TOFXStatement;

// The currency of every account: a statement in another one is refused.
inline constexpr const char* kMoedaConta = "BRL";

// The line shown under "Arquivo importado não é um extrato válido." when the
// file is a credit-card statement (Windows-1252).
inline constexpr const char* kLinhaCartao =
    "O arquivo \xE9 um extrato de cart\xE3o de cr\xE9" "dito: esta tela importa extratos "
    "banc\xE1rios, de conta corrente. Exporte do banco o extrato da conta corrente.";

// What ContaProcurada says of the account a file names.
struct TContaProcurada {
  std::string procurada;
  std::string cadastro;
};

// The screen "Importação de Extrato Bancário (OFX)" as a model: its controls
// are the platform's state objects, every user action is a handler below, and
// a front end (the desktop, the console) only mirrors the controls and
// forwards the user's input. The host library (HostLibrary()) must be
// installed before the screen is created and must outlive it.
//
// Every handler that ends the user action early does so by throwing: EAbort
// after a message shown through MensErro, kvr::Exception (or a derived one)
// for a parse, table, conversion or connection error. Front ends catch EAbort
// quietly and show every other exception.
//
// Owns its controls, its four tables, its connection and every statement
// reader it creates (one per loaded file, released with the screen).
class TfrmImportOFX : public TfrmRotiGeral {
 public:
  // Builds the screen from its layout description (ImportOFXLayoutText) and
  // runs FormCreate, which connects to the server. owner may be null (the
  // caller then owns the screen). Throws what connecting throws; no screen
  // is left then.
  explicit TfrmImportOFX(TComponent* owner);
  ~TfrmImportOFX() override;

  // ---- controls and elements (owned by the screen)
  TLabel* lblArquivo;
  TEdit* edtFile;
  TBtnPesquisa* BtnPesquisa1;
  TLabel* lblBanco;
  TEdit* edtBanco;
  TLabel* lblConta;
  TEdit* edtConta;
  TComboBox* cbTipoConta;
  TLabel* lblDtIni;
  TDateEditPlus* depDtIni;
  TLabel* lblDtFim;
  TDateEditPlus* depDtFim;
  TLabel* lblVrIni;
  TNumberEdit* nedValorIni;
  TLabel* lblVrFim;
  TNumberEdit* nedValorFim;
  TPanel* pnlExtrBanc;
  TDBGrid* dbgExtrBanco;
  TGroupBox* grbDtMovimento;
  TLabel* Label1;
  TDateEditPlus* depMovDe;
  TLabel* Label2;
  TDateEditPlus* depMovAte;
  TOpenDialog* odlArquivo;
  TNetConnection* netImportOFX;
  TClientDataSet* cdsExtrBanco;
  TClientDataSet* cdsMovExtrBanco;
  TClientDataSet* cdsMovExtrAux;
  TClientDataSet* cdsContaCorrente;
  TDataSource* dtsExtrBanco;
  TDataSource* dtsMovExtrBanco;
  TDataSource* dtsContCorr;
  TComboBox* cbExtrato;
  TPanel* pnlFila;
  TLabel* lblFila;
  TDBGrid* dbgFila;
  TButton* sbtPular;
  TClientDataSet* cdsFila;
  TDataSource* dtsFila;

  // The day the bank-237 range starts from (yesterday of it); the system's
  // date unless a test fixes it.
  std::function<TDateTime()> Today;

  // ---- lifecycle

  // Runs the base handler, clears depDtIni and depDtFim, and connects
  // netImportOFX (which runs netImportOFXBeforeConnect first).
  void FormCreate(TComponent* sender) override;
  // Runs the base handler (which asks for the screen's release), clears the
  // created flag and disconnects netImportOFX.
  void FormClose(TComponent* sender, TCloseAction& action) override;
  // Takes the server address from the host library: Host = WebURL, Port =
  // WebPort. Runs at every connect.
  void netImportOFXBeforeConnect(TComponent* sender);

  // ---- statement load

  // The choose-file action: LimpaCampos, the file chooser, then (when a file
  // name is known) edtFile, ReaderOFX and FiltraPeriodoExtrato. Cancelling
  // the chooser after an earlier file was chosen loads that file again.
  // With SegueFila the files chosen (one or several) start a new queue
  // (EnfileiraArquivos), whose first statement is loaded so.
  void BtnPesquisa1Click(TComponent* sender);
  // Clears the header edits (running their change handlers) and empties the
  // transaction table, creating it first when it is not active.
  void LimpaCampos();
  // Parses the chooser's file with a new reader and fills the header edits,
  // the account list, cdsExtrBanco (one row) and cdsMovExtrBanco (one row per
  // transaction). edtConta shows the first account's number through its
  // picture (CDPICTCONT), or as stored when it has none. Ends the action through MensErro with ARQ_INV when the
  // file is no statement or lacks bank or account (for a credit-card
  // statement, kLinhaCartao on a line of its own under it), through
  // Vd_ContaCorrente when the account is unknown, and when the statement's
  // currency is not the account's (kMoedaConta). Of a file holding several
  // statements with transactions, reads the one Extrato() names. Parse
  // errors pass through.
  void ReaderOFX();
  // Change handler of edtFile: empties cbTipoConta and gives it the
  // button-face colour.
  void edtFileChange(TComponent* sender);

  // ---- files with several statements

  // The statements with transactions of the file last read, in file order
  // (empty before a load, or when the parse failed before its end).
  const std::vector<TOFXStatement>& Extratos() const;
  // The 1-based statement of the file that the screen shows; a new file
  // starts at PrimeiroExtrato (0: the file's only one).
  int Extrato() const { return extrato_; }
  // The statement a newly chosen file opens at, 1-based: a front end's
  // choice (kvr61400 import --extrato). 0 refuses a file where several
  // statements have transactions, naming their accounts, as the reader does.
  // The screen shows which statement it holds and offers the others in
  // cbExtrato, so it opens at the first.
  int PrimeiroExtrato = 1;
  // Which statement the screen shows when the file holds more than one with
  // transactions: "Extrato 2 de 3: banco 341, conta 12345-6, 01/03/2024 a
  // 31/03/2024, 52 movimentos"; empty otherwise. With n, the same of
  // statement n of the file (empty when there is no such one).
  std::string ExtratoTexto(int n = 0) const;
  // The clerk's choice of another statement of the same file: loads
  // statement n (1-based) as BtnPesquisa1Click loads a file, to its own
  // account. Ends the action as a load does; throws EConvertError when the
  // file holds no statement n.
  void EscolheExtrato(int n);

  // Change handler of cbExtrato, the statement chooser (shown while the file
  // holds several statements with transactions, one entry ExtratoTexto(n)
  // each): loads the statement chosen (EscolheExtrato). In a queue it takes
  // the place of the one shown, which waits again.
  void cbExtratoChange(TComponent* sender);

  // ---- the queue

  // What one statement of the queue came to.
  enum class TEstadoFila { Aguardando, NaTela, Importado, JaCadastrado, Cancelado, Recusado, Pulado };
  struct TItemFila {
    std::string arquivo;  // the path, as the file system's bytes
    int extrato = 1;      // its place among the file's statements with movements
    int extratos = 0;     // how many the file holds; 0 until read, or unreadable
    std::string banco, conta;  // Windows-1252; empty until known
    TDateTime data_inicial = 0, data_final = 0;  // the period stored; 0 until known
    int movimentos = -1;  // the movements sent (or read); -1 until known
    std::string codigo;   // the account's code it went to (CDREDUCONT)
    TEstadoFila estado = TEstadoFila::Aguardando;
    std::string motivo;   // why it was not imported (Windows-1252)
  };

  // Whether the screen queues what it is given and goes on to the next
  // statement after each answer (the desktop). kvr61400 import runs its own
  // loop over files and statements and turns it off: the screen then keeps
  // to one statement at a time, as before there were queues.
  bool SegueFila = true;
  // Appends files to the queue, each to be read in turn (every statement
  // with transactions of a file one after the other), as files dropped on
  // the screen are. When no statement waits on the screen for an answer
  // (no queue, or it has ended) a new queue starts and its first statement
  // is loaded; a file that cannot be loaded is marked with its reason
  // (shown to the user as a load shows it) and the next is tried.
  void EnfileiraArquivos(const std::vector<std::string>& files);
  // The queue in its order; empty before any.
  const std::vector<TItemFila>& Fila() const { return fila_; }
  // The entry of the queue on the screen awaiting an answer, or -1.
  int ItemAtual() const { return atual_; }
  // Click handler of sbtPular: the statement on the screen is left not
  // imported ("pulado") and the next one is loaded.
  void sbtPularClick(TComponent* sender);
  // What the queue came to (Windows-1252), once it has ended: "5 extratos: 3
  // importados, 1 já cadastrado, 1 não importado; 93 movimentos gravados",
  // then "Continuidade: sem problemas" or the problems of the statements
  // stored (StoredContinuity), one a line. Shown in a message and kept in
  // lblFila when the queue held more than one statement.
  std::string ResumoFila() const { return resumo_; }

  // ---- account resolution

  // The account text as the server is asked for it: unchanged for bank
  // "001"; otherwise a check digit "X"/"x" after the first "-" becomes "0"
  // and every "-" is removed ("12345-X" -> "123450", "12-34-5" -> "12345").
  std::string RetiraSimbolosContCorr(const std::string& banco, const std::string& conta) const;
  // Asks the server for the accounts of bank and conta (GetContaCorrente),
  // loads them into cdsContaCorrente and one entry per account into
  // cbTipoConta ("Circulante" for C, "Aplicação" for L, "Garantida" for any
  // other type), selecting the first. Ends the action with CONTCORR_NCAD when
  // there is none, or with the server's report. The busy indicator shows
  // during the call and is hidden however it ends.
  void Vd_ContaCorrente(const std::string& banco, const std::string& conta);

  // ---- movement date filter

  // Change handler of edtBanco. Bank key "237": shows the movement date
  // group, sets both dates to yesterday, focuses depMovDe and filters the
  // transactions to that day. Any other key: filter off, group hidden.
  void edtBancoChange(TComponent* sender);
  // Last step of a load: for bank key "104" filters the transactions to the
  // statement's period (depDtIni to depDtFim).
  void FiltraPeriodoExtrato();
  // Change handlers of the movement dates: no transaction passes until the
  // edit is left with a valid range.
  void depMovDeChange(TComponent* sender);
  void depMovAteChange(TComponent* sender);
  // Exit handlers of the movement dates: check the edit's date and the range
  // (Vd_PeriodoMov), then filter the transactions to the range.
  void depMovDeExit(TComponent* sender);
  void depMovAteExit(TComponent* sender);
  // Ends the action with DATA_MOV_INI_INF, DATA_MOV_FIN_INF or
  // DATA_MOV_FIN_MAIOR (focusing the edit to correct first) when the
  // movement date range is incomplete or reversed.
  void Vd_PeriodoMov();

  // The bank key of edtBanco: characters 2 to 4 of its text right-aligned in
  // four ("237" for 237 and 0237).
  std::string ChaveBanco() const;

  // ---- grid presentation

  // Display text of an IDMOVREAL column: "Débito" for D, "Crédito" for C,
  // nothing else; empty while cdsMovExtrBanco shows no row.
  void cdsMovExtrBancoIDMOVREALGetText(TField& sender, std::string& text, bool display_text);
  // Display text of a VRMOVREAL column: "#,##0.00" in the locale's
  // separators; nothing for null.
  void cdsMovExtrBancoVRMOVREALGetText(TField& sender, std::string& text, bool display_text);
  // Key handler of the grid: swallows Ctrl+Delete (key becomes 0).
  void dbgExtrBancoKeyDown(TComponent* sender, TKey& key, TShiftState shift);
  // What the grid says while it shows no movement of a bank 237 statement:
  // the range chosen, the statement's period and how to choose another
  // range; empty otherwise.
  std::string dbgExtrBancoEmptyText() const;

  // ---- confirmation

  // Stamps the chosen account on the statement, copies the visible
  // transactions into cdsMovExtrAux in the grid's order noting repeats
  // (equal account, amount, document, date and whole FITID, CDFITIDCOMPL),
  // asks whether to go on when there are any (the question followed, after
  // a blank line, by the rows of DescricaoRepetidos, which the grid shows
  // marked), has the server validate and store the statement and
  // reports the outcome (ARQ_IMP_SUCESSO, or MOV_JA_CAD through MensErro;
  // nothing when the user declined the repeat question, which still calls
  // SetExtratoBancario with false).
  // ARQ_SEM_DADOS when no transaction is visible. With a bank-237 range in
  // force the header sent describes the movements sent (NarrowedPeriod);
  // otherwise it is the file's. The busy indicator is
  // hidden and cdsMovExtrAux emptied however it ends.
  void sbtConfirmaClick(TComponent* sender);

  // The warnings of the loaded file's reader, one line each (Windows-1252):
  // a header period that is none, replaced by the movements' period. Empty
  // before a load and for a file without any. Front ends show them beside
  // the statement.
  std::vector<std::string> Avisos() const;

  // The text of a key of msgPadrao.
  std::string Msg(const std::string& key) const;

  // The account the loaded file asked the server for (Windows-1252), from
  // the header edits as the load left them: procurada says "conta procurada
  // no servidor: banco 341, conta 123456" (with the file's form when it
  // differs), cadastro the `kvr61400-server conta add` that registers it
  // (with --agencia when the file writes "AGENCIA/CONTA", and --id-extrato
  // when the number is longer than the 10 characters an account holds).
  TContaProcurada ContaProcurada() const;

  // The rows of the grid (0-based, ascending) that the last confirmation
  // found repeating another movement of the statement, each with the one it
  // repeats; the grid shows them marked. Emptied when the rows shown change
  // (a file read, a range chosen).
  const std::vector<int>& MovRepetidos() const { return repetidos_; }
  // One line (Windows-1252) per row of MovRepetidos: "linha 3: 05/01/2024,
  // Débito, 150,00, documento 123, PAGAMENTO ...", at most kRepetidosListados
  // of them and then how many more.
  std::vector<std::string> DescricaoRepetidos() const;
  static constexpr int kRepetidosListados = 20;

 private:
  template <typename T>
  T* Element(const std::string& name);
  void CreateTable(TClientDataSet* table);
  // Filters cdsMovExtrBanco to the movements dated from de to ate.
  void FiltraDatas(TDateTime de, TDateTime ate, const char* junction);
  // Writes period into the current row of cdsExtrBanco (in edit or insert).
  void SetHeaderPeriod(const TStatementPeriod& period);
  // ReaderOFX but for the statement chooser.
  void LeExtrato();
  // sbtConfirmaClick without the queue; true when the statement was stored.
  bool Confirma();
  // Loads entry k of the queue (it becomes the one on the screen). Throws
  // as a load does.
  void CarregaItem(size_t k);
  // Loads the next waiting entry, marking each that fails; at the queue's
  // end, FimDaFila. Throws what the last failed load threw when nothing is
  // left on the screen.
  void SegueParaProximo();
  // Marks entry atual_ as estado, with what the screen shows of it.
  void MarcaAtual(TEstadoFila estado, const std::string& motivo);
  // Adds the other statements of entry k's file to the queue after it.
  void ExpandeArquivo(size_t k);
  void FimDaFila();
  // The chooser, the date group, the grid and the queue panel placed and
  // shown as the statement and the queue need.
  void Arruma();
  void MostraFila();

  // The reader of the loaded file (owned by the screen); null before a load.
  TVQOFXReader* leitor_ = nullptr;
  std::vector<int> repetidos_;
  // The statement of the file to read, 1-based; 0: the file's only one.
  int extrato_ = 0;
  std::vector<TItemFila> fila_;
  int atual_ = -1;
  bool fila_aberta_ = false;  // the host was told a queue runs
  std::string resumo_;
};

// The one screen instance; set when it is created, not cleared on close.
extern TfrmImportOFX* frmImportOFX;
// True while a screen instance exists (from its creation to its close).
extern bool frmImportOFXCreated;

// Where the connection of each new screen sends its calls: null (the
// default) keeps the HTTP transport; tests plug in a server double. The
// factory must outlive the screens it serves.
void SetImportOFXTransportFactory(std::function<std::unique_ptr<TRpcTransport>()> factory);

// Shows the import screen, creating it first when none exists (with the
// hourglass cursor meanwhile). Throws what creating it throws (the created
// flag then stays false, so the next call tries again).
void CriaImportOFX();

}  // namespace kvr

// The package's entry: opens the import screen (CriaImportOFX). Catches
// everything: the end of an action quietly, any other error shown through the
// host library's error message.
extern "C" __attribute__((visibility("default"))) void IniProc();
