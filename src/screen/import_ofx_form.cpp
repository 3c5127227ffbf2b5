#include "screen/import_ofx_form.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>

#include "host/host_library.h"
#include "host/string_services.h"
#include "platform/cp1252.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "reader/vq_ofx_reader.h"
#include "screen/layout_description.h"
#include "wire/utf8.h"

namespace kvr {

TfrmImportOFX* frmImportOFX = nullptr;
bool frmImportOFXCreated = false;

namespace {

std::function<std::unique_ptr<RpcTransport>()>& TransportFactory() {
  static std::function<std::unique_ptr<RpcTransport>()> factory;
  return factory;
}

const LayoutDescription& ScreenLayout() {
  static const LayoutDescription layout = LayoutDescription::Parse(ImportOFXLayoutText());
  return layout;
}

// Calls method, whose answer must be a boolean. Anything else (a 1, a text)
// is no answer of the import module: taking it as true would report a
// statement stored that perhaps was not.
// held, when given, receives the token of the statement the server kept.
bool BooleanCall(TNetConnection& net, const char* method, const std::vector<TServerArg>& args,
                 std::string* held = nullptr) {
  const TServerResult result = net.Call(method, args);
  if (held != nullptr) *held = result.Held();
  const std::string_view payload = CheckResultServText(result, true, 0);
  if (payload == "true") return true;
  if (payload == "false") return false;
  std::string shown(payload.substr(0, Utf8Prefix(payload, 80)));
  if (shown.size() < payload.size()) shown += "...";
  throw Exception(std::string("Resposta inesperada do servidor de aplicação em ") + method +
                  " (esperado true ou false): " + shown + ".");
}

std::string AsciiUpper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The whole FITID, not its first 10 characters: a large digital bank writes
// FITIDs such as 202303310772 and 202303310773 for two transfers of one day.
constexpr const char* kRepeatKeys = "CDREDUCONT;VRMOVREAL;NRDOCMOVREAL;DTMOVREAL;CDFITIDCOMPL";

// The views of tables hear of their changes once, when it ends, instead of
// once per row: a large statement would otherwise redraw them for each.
class Quiet {
 public:
  explicit Quiet(std::vector<TClientDataSet*> tables) : tables_(std::move(tables)) {
    for (TClientDataSet* table : tables_) table->DisableControls();
  }
  ~Quiet() {
    for (auto table = tables_.rbegin(); table != tables_.rend(); ++table)
      (*table)->EnableControls();
  }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  std::vector<TClientDataSet*> tables_;
};

}  // namespace

void SetImportOFXTransportFactory(std::function<std::unique_ptr<RpcTransport>()> factory) {
  TransportFactory() = std::move(factory);
}

template <typename T>
T* TfrmImportOFX::Element(const std::string& name) {
  auto* element = dynamic_cast<T*>(FindOwnedComponent(*this, name));
  if (element == nullptr) {
    throw EConvertError("descrição de tela sem o elemento " + name + " do tipo esperado");
  }
  return element;
}

TfrmImportOFX::TfrmImportOFX(TComponent* owner) : TfrmRotiGeral(owner), Today(&kvr::Date) {
  Name = "frmImportOFX";

  LayoutHandlers handlers;
  handlers.notify["BtnPesquisa1Click"] = std::bind_front(&TfrmImportOFX::BtnPesquisa1Click, this);
  handlers.notify["edtFileChange"] = std::bind_front(&TfrmImportOFX::edtFileChange, this);
  handlers.notify["edtBancoChange"] = std::bind_front(&TfrmImportOFX::edtBancoChange, this);
  handlers.notify["depMovDeChange"] = std::bind_front(&TfrmImportOFX::depMovDeChange, this);
  handlers.notify["depMovAteChange"] = std::bind_front(&TfrmImportOFX::depMovAteChange, this);
  handlers.notify["depMovDeExit"] = std::bind_front(&TfrmImportOFX::depMovDeExit, this);
  handlers.notify["depMovAteExit"] = std::bind_front(&TfrmImportOFX::depMovAteExit, this);
  handlers.notify["netImportOFXBeforeConnect"] =
      std::bind_front(&TfrmImportOFX::netImportOFXBeforeConnect, this);
  handlers.notify["sbtConfirmaClick"] = std::bind_front(&TfrmImportOFX::sbtConfirmaClick, this);
  handlers.notify["cbExtratoChange"] = std::bind_front(&TfrmImportOFX::cbExtratoChange, this);
  handlers.notify["sbtPularClick"] = std::bind_front(&TfrmImportOFX::sbtPularClick, this);
  handlers.key["dbgExtrBancoKeyDown"] = std::bind_front(&TfrmImportOFX::dbgExtrBancoKeyDown, this);
  ApplyLayout(*this, ScreenLayout(), handlers);

  lblArquivo = Element<TLabel>("lblArquivo");
  edtFile = Element<TEdit>("edtFile");
  BtnPesquisa1 = Element<TBtnPesquisa>("BtnPesquisa1");
  lblBanco = Element<TLabel>("lblBanco");
  edtBanco = Element<TEdit>("edtBanco");
  lblConta = Element<TLabel>("lblConta");
  edtConta = Element<TEdit>("edtConta");
  cbTipoConta = Element<TComboBox>("cbTipoConta");
  lblDtIni = Element<TLabel>("lblDtIni");
  depDtIni = Element<TDateEditPlus>("depDtIni");
  lblDtFim = Element<TLabel>("lblDtFim");
  depDtFim = Element<TDateEditPlus>("depDtFim");
  lblVrIni = Element<TLabel>("lblVrIni");
  nedValorIni = Element<TNumberEdit>("nedValorIni");
  lblVrFim = Element<TLabel>("lblVrFim");
  nedValorFim = Element<TNumberEdit>("nedValorFim");
  pnlExtrBanc = Element<TPanel>("pnlExtrBanc");
  dbgExtrBanco = Element<TDBGrid>("dbgExtrBanco");
  grbDtMovimento = Element<TGroupBox>("grbDtMovimento");
  Label1 = Element<TLabel>("Label1");
  depMovDe = Element<TDateEditPlus>("depMovDe");
  Label2 = Element<TLabel>("Label2");
  depMovAte = Element<TDateEditPlus>("depMovAte");
  odlArquivo = Element<TOpenDialog>("odlArquivo");
  netImportOFX = Element<TNetConnection>("netImportOFX");
  cdsExtrBanco = Element<TClientDataSet>("cdsExtrBanco");
  cdsMovExtrBanco = Element<TClientDataSet>("cdsMovExtrBanco");
  cdsMovExtrAux = Element<TClientDataSet>("cdsMovExtrAux");
  cdsContaCorrente = Element<TClientDataSet>("cdsContaCorrente");
  dtsExtrBanco = Element<TDataSource>("dtsExtrBanco");
  dtsMovExtrBanco = Element<TDataSource>("dtsMovExtrBanco");
  dtsContCorr = Element<TDataSource>("dtsContCorr");
  cbExtrato = Element<TComboBox>("cbExtrato");
  pnlFila = Element<TPanel>("pnlFila");
  lblFila = Element<TLabel>("lblFila");
  dbgFila = Element<TDBGrid>("dbgFila");
  sbtPular = Element<TButton>("sbtPular");
  cdsFila = Element<TClientDataSet>("cdsFila");
  dtsFila = Element<TDataSource>("dtsFila");
  // The base screen's confirm button gets its handler here: the layout only
  // adjusts inherited elements.
  sbtConfirma->OnClick = handlers.notify["sbtConfirmaClick"];

  odlArquivo->ExecuteHook = [](const std::string& filter, std::string& file_name) {
    return HostLibrary().ExecuteOpenDialog(filter, file_name);
  };
  odlArquivo->ExecuteFilesHook = [](const std::string& filter, std::vector<std::string>& files) {
    return HostLibrary().ExecuteOpenDialogFiles(filter, files);
  };
  OnDropFiles = [this](const std::vector<std::string>& files) { EnfileiraArquivos(files); };
  dbgFila->OnRowMarked = [this](int row) { return row == atual_; };
  if (TransportFactory()) netImportOFX->SetTransport(TransportFactory()());
  dbgExtrBanco->OnEmptyText = [this] { return dbgExtrBancoEmptyText(); };
  // A clerk at the desktop cannot register the account: say which one the
  // server lacks and who registers it, as the command line does.
  OnErrorHint = [this](const std::string& message) -> std::string {
    if (message != Msg("CONTCORR_NCAD")) return "";
    const AccountLookup conta = ContaProcurada();
    std::string hint = conta.procurada +
                       ".\nPeça ao administrador do servidor que a cadastre e carregue o arquivo de novo:\n"_cp1252 +
                       conta.cadastro;
    hint[0] = 'C';
    return hint;
  };
  dbgExtrBanco->OnRowMarked = [this](int row) {
    return std::binary_search(repetidos_.begin(), repetidos_.end(), row);
  };

  DoCreate();
}

TfrmImportOFX::~TfrmImportOFX() {
  // A screen released without being closed (its owner went first) must not
  // leave the entry believing it still exists.
  if (frmImportOFX == this) {
    frmImportOFX = nullptr;
    frmImportOFXCreated = false;
  }
}

std::string TfrmImportOFX::Msg(const std::string& key) const { return msgPadrao->Msg(key); }

std::vector<std::string> TfrmImportOFX::Avisos() const {
  return leitor_ != nullptr ? leitor_->Avisos : std::vector<std::string>{};
}

// ---------------------------------------------------------------- lifecycle

void TfrmImportOFX::FormCreate(TComponent* sender) {
  TfrmRotiGeral::FormCreate(sender);
  depDtIni->Clear();
  depDtFim->Clear();
  netImportOFX->SetConnected(true);
}

void TfrmImportOFX::FormClose(TComponent* sender, TCloseAction& action) {
  TfrmRotiGeral::FormClose(sender, action);
  frmImportOFXCreated = false;
  if (fila_aberta_) {
    fila_aberta_ = false;
    HostLibrary().QueueRunning(*this, false);
  }
  netImportOFX->SetConnected(false);
}

void TfrmImportOFX::netImportOFXBeforeConnect(TComponent* /*sender*/) {
  netImportOFX->Host = HostLibrary().WebURL();
  netImportOFX->Port = HostLibrary().WebPort();
  netImportOFX->Token = HostLibrary().WebToken();
}

// ---------------------------------------------------------------- statement load

void TfrmImportOFX::CreateTable(TClientDataSet* table) {
  table->CreateDataSet();
  if (table == cdsMovExtrBanco || table == cdsMovExtrAux) {
    table->FieldByName("IDMOVREAL").OnGetText =
        std::bind_front(&TfrmImportOFX::cdsMovExtrBancoIDMOVREALGetText, this);
    table->FieldByName("VRMOVREAL").OnGetText =
        std::bind_front(&TfrmImportOFX::cdsMovExtrBancoVRMOVREALGetText, this);
  }
}

void TfrmImportOFX::BtnPesquisa1Click(TComponent* /*sender*/) {
  LimpaCampos();
  odlArquivo->Execute();
  if (EmptyString(odlArquivo->FileName)) return;
  if (SegueFila) {
    // A new choice is a new queue, even while another one waits.
    fila_.clear();
    atual_ = -1;
    EnfileiraArquivos(odlArquivo->Files.empty() ? std::vector<std::string>{odlArquivo->FileName}
                                                : odlArquivo->Files);
    return;
  }
  // The name is the file system's own bytes (UTF-8), which the reader opens;
  // the edit shows it in the screen's code page.
  edtFile->SetText(Utf8ToCp1252(odlArquivo->FileName));
  extrato_ = PrimeiroExtrato;
  ReaderOFX();
  FiltraPeriodoExtrato();
}

const std::vector<OfxStatement>& TfrmImportOFX::Extratos() const {
  static const std::vector<OfxStatement> kNone;
  return leitor_ == nullptr ? kNone : leitor_->Extratos;
}

std::string TfrmImportOFX::ExtratoTexto(int n) const {
  const std::vector<OfxStatement>& all = Extratos();
  if (n == 0) n = extrato_;
  if (all.size() < 2 || n < 1 || n > static_cast<int>(all.size())) return "";
  const OfxStatement& s = all[static_cast<size_t>(n - 1)];
  std::string text = "Extrato " + std::to_string(n) + " de " + std::to_string(all.size()) +
                     ": ";
  if (!s.Banco.empty()) text += "banco " + s.Banco + ", ";
  text += (s.CartaoCredito ? "cartão "_cp1252 : "conta ") + s.Conta + ", " +
          FormatDateTime("dd/mm/yyyy", s.DataIncial) + " a " +
          FormatDateTime("dd/mm/yyyy", s.DataFinal) + ", " + std::to_string(s.Movimentos) +
          (s.Movimentos == 1 ? " movimento" : " movimentos");
  return text;
}

void TfrmImportOFX::EscolheExtrato(int n) {
  const int count = static_cast<int>(Extratos().size());
  if (n < 1 || (count > 0 && n > count)) {
    throw EConvertError("O arquivo contém " + std::to_string(count) +
                        (count == 1 ? " extrato" : " extratos") +
                        " com movimentos: não há o extrato " + std::to_string(n) + ".");
  }
  const std::string file = edtFile->Text();
  LimpaCampos();
  edtFile->SetText(file);
  extrato_ = n;
  ReaderOFX();
  FiltraPeriodoExtrato();
}

void TfrmImportOFX::LimpaCampos() {
  edtFile->Clear();
  edtBanco->Clear();
  edtConta->Clear();
  depDtIni->Clear();
  depDtFim->Clear();
  nedValorIni->Clear();
  nedValorFim->Clear();
  if (!cdsMovExtrBanco->Active()) CreateTable(cdsMovExtrBanco);
  cdsMovExtrBanco->EmptyDataSet();
  repetidos_.clear();
}

void TfrmImportOFX::ReaderOFX() {
  // The statement chooser follows the file read, however the load ends.
  auto chooser = [this] {
    cbExtrato->Items.Clear();
    const int count = static_cast<int>(Extratos().size());
    for (int n = 1; count > 1 && n <= count; ++n) cbExtrato->Items.Add(ExtratoTexto(n));
    cbExtrato->SetItemIndex(extrato_ - 1);
    Arruma();
  };
  try {
    LeExtrato();
  } catch (...) {
    chooser();
    throw;
  }
  chooser();
}

void TfrmImportOFX::LeExtrato() {
  repetidos_.clear();
  for (TClientDataSet* table : {cdsMovExtrBanco, cdsExtrBanco, cdsMovExtrAux}) {
    table->Close();
    CreateTable(table);
    table->EmptyDataSet();
  }

  auto* reader = new TVQOFXReader(this);
  leitor_ = reader;
  reader->OFXFile = odlArquivo->FileName;
  reader->Extrato = extrato_;
  if (!reader->Process()) MensErro(Msg("ARQ_INV"), true);
  if (EmptyString(reader->Banco) || EmptyString(reader->Conta)) {
    // A card statement writes no bank code: say so under the message, or
    // the clerk is left without a reason.
    if (reader->CartaoCredito) MensErro(Msg("ARQ_INV") + "\n" + kLinhaCartao, true);
    MensErro(Msg("ARQ_INV"), true);
  }

  edtBanco->SetText(reader->Banco);
  edtConta->SetText(reader->Conta);
  Vd_ContaCorrente(reader->Banco, RetiraSimbolosContCorr(reader->Banco, reader->Conta));
  if (!reader->Moeda.empty() && AsciiUpper(reader->Moeda) != kMoedaConta) {
    // Amounts in another currency stored as reais would be wrong figures
    // in every balance of the account.
    MensErro("Extrato em " + reader->Moeda + ": a conta " + reader->Conta + " do banco " +
                 reader->Banco + " é em reais ("_cp1252 + kMoedaConta +
                 "). Importe nesta conta só extratos em reais."_cp1252,
             true);
  }
  const std::string picture = cdsContaCorrente->FieldByName("CDPICTCONT").AsString();
  const std::string number = cdsContaCorrente->FieldByName("CDCONTCORR").AsString();
  // An account registered without a picture would otherwise show no number
  // at all: an empty mask has no input positions.
  edtConta->SetText(EmptyString(picture) ? number : FormatMaskText(picture + ";0; ", number));

  nedValorIni->SetValue(reader->ValorIncial);
  nedValorFim->SetValue(reader->ValorFinal);
  depDtIni->SetDate(reader->DataIncial);
  depDtFim->SetDate(reader->DataFinal);

  cdsExtrBanco->Insert();
  SetHeaderPeriod({reader->DataIncial, reader->DataFinal, reader->ValorIncial, reader->ValorFinal});
  cdsExtrBanco->Post();

  TField& vr = cdsMovExtrBanco->FieldByName("VRMOVREAL");
  TField& hist = cdsMovExtrBanco->FieldByName("DSHISTMOVREAL");
  TField& hist_whole = cdsMovExtrBanco->FieldByName("DSHISTCOMPL");
  TField& doc = cdsMovExtrBanco->FieldByName("NRDOCMOVREAL");
  TField& dt = cdsMovExtrBanco->FieldByName("DTMOVREAL");
  TField& fitid = cdsMovExtrBanco->FieldByName("CDFITIDEXTR");
  TField& fitid_whole = cdsMovExtrBanco->FieldByName("CDFITIDCOMPL");
  TField& tpmov = cdsMovExtrBanco->FieldByName("IDTPMOVREAL");
  TField& stcon = cdsMovExtrBanco->FieldByName("IDSTCONMVBAN");
  TField& tiporegi = cdsMovExtrBanco->FieldByName("IDTIPOREGI");
  TField& idmov = cdsMovExtrBanco->FieldByName("IDMOVREAL");
  // The table keeps its rows by date, ties as they come. Added in that order
  // (a stable sort by date, the order the table would give them anyway), the
  // rows lie in memory as the table lists them, and every later pass over
  // them (the totals, the copy, the packet) reads memory in order instead of
  // jumping: a bank's file is not always in date order.
  std::vector<std::pair<TDateTime, const TOFXItem*>> ordem(static_cast<size_t>(reader->Count()));
  bool comparaveis = true;
  for (int i = 0; i < reader->Count(); ++i) {
    const TOFXItem* item = reader->Get(i);
    ordem[static_cast<size_t>(i)] = {item->PostedDate, item};
    comparaveis = comparaveis && !std::isnan(item->PostedDate);
  }
  const auto antes = [](const auto& a, const auto& b) { return a.first < b.first; };
  // Most banks write their movements by date already: then there is nothing
  // to sort.
  if (comparaveis && cdsMovExtrBanco->IndexFieldNames() == "DTMOVREAL" &&
      !std::is_sorted(ordem.begin(), ordem.end(), antes))
    std::stable_sort(ordem.begin(), ordem.end(), antes);
  Quiet quiet({cdsMovExtrBanco});
  std::vector<RowCell> linha(static_cast<size_t>(cdsMovExtrBanco->FieldCount()));
  std::string documento;
  // Out of the file's order the records are scattered in memory: each is
  // asked for ahead of its use, then its texts.
  constexpr size_t kAdiante = 8;
  for (size_t k = 0; k < ordem.size(); ++k) {
    if (k + 2 * kAdiante < ordem.size()) __builtin_prefetch(ordem[k + 2 * kAdiante].second);
    if (k + kAdiante < ordem.size()) {
      __builtin_prefetch(ordem[k + kAdiante].second->Memo.data());
      __builtin_prefetch(ordem[k + kAdiante].second->FitId.data());
    }
    const TOFXItem* item = ordem[k].second;
    // Ajusta(CheckNum, 20) without two new texts per movement.
    constexpr size_t kDocumento = 20;
    documento.assign(kDocumento - std::min(kDocumento, item->CheckNum.size()), ' ');
    documento.append(item->CheckNum);
    const auto texto = [&linha](TField& f, std::string_view t) {
      linha[static_cast<size_t>(f.Index())] = RowCell{RowCell::Text, 0, t};
    };
    const auto numero = [&linha](TField& f, double d) {
      linha[static_cast<size_t>(f.Index())] = RowCell{RowCell::Number, d, {}};
    };
    numero(vr, std::fabs(item->Amount));
    texto(hist, item->Memo);
    texto(hist_whole, item->Memo);
    texto(doc, documento);
    numero(dt, item->PostedDate);
    texto(fitid, item->FitId);
    texto(fitid_whole, item->FitId);
    texto(tpmov, "0");
    texto(stcon, "0");
    texto(tiporegi, "0");
    texto(idmov, item->Amount >= 0.0 ? "C" : "D");
    // As Insert, the fields' setters and Post would, texts cut to their
    // columns, in one step.
    cdsMovExtrBanco->InsertRow(linha);
  }
}

void TfrmImportOFX::SetHeaderPeriod(const StatementPeriod& period) {
  cdsExtrBanco->FieldByName("VRSALDINIC").SetAsFloat(std::fabs(period.ValorIncial));
  cdsExtrBanco->FieldByName("VRSALDFIM").SetAsFloat(std::fabs(period.ValorFinal));
  cdsExtrBanco->FieldByName("DTSALDINIC").SetAsDateTime(period.DataIncial);
  cdsExtrBanco->FieldByName("DTSALDFIN").SetAsDateTime(period.DataFinal);
  cdsExtrBanco->FieldByName("IDEXTRINI").SetAsString(period.ValorIncial >= 0.0 ? "C" : "D");
  cdsExtrBanco->FieldByName("IDEXTRFIM").SetAsString(period.ValorFinal >= 0.0 ? "C" : "D");
}

void TfrmImportOFX::edtFileChange(TComponent* /*sender*/) {
  cbTipoConta->Items.Clear();
  cbTipoConta->SetColor(clBtnFace);
}

// ---------------------------------------------------------------- account resolution

std::string TfrmImportOFX::RetiraSimbolosContCorr(const std::string& banco,
                                                  const std::string& conta) const {
  if (banco == "001") return conta;
  const size_t dash = conta.find('-');
  std::string principal = dash == std::string::npos ? std::string() : conta.substr(0, dash);
  std::string digito = dash == std::string::npos ? conta : conta.substr(dash + 1);
  if (!EmptyString(digito) && (digito == "X" || digito == "x")) digito = "0";
  std::string joined = principal + digito;
  std::erase(joined, '-');
  return joined;
}

namespace {

// Digits with an optional "-" and a check digit of one or two characters,
// at most max of them once leading zeros and the "-" are dropped: what conta
// add takes as --conta.
bool Registrable(const std::string& text, size_t max) {
  const size_t digits = text.find_first_not_of("0123456789");
  if (text.empty() || digits == 0) return false;
  if (digits != std::string::npos) {
    const size_t check = text.size() - digits - 1;
    if (text[digits] != '-' || check < 1 || check > 2) return false;
    for (size_t i = digits + 1; i < text.size(); ++i)
      if (!std::isalnum(static_cast<unsigned char>(text[i]))) return false;
  }
  std::string canonical = text;
  std::erase(canonical, '-');
  canonical.erase(0, std::min(canonical.find_first_not_of('0'), canonical.size() - 1));
  return canonical.size() <= max;
}

std::string WithoutLeadingZeros(const std::string& text) {
  const size_t first = text.find_first_not_of('0');
  if (first == std::string::npos || first == 0 || text[first] < '1' || text[first] > '9')
    return text;
  return text.substr(first);
}

}  // namespace

AccountLookup TfrmImportOFX::ContaProcurada() const {
  const std::string banco = edtBanco->Text();
  const std::string conta = edtConta->Text();
  const std::string asked = RetiraSimbolosContCorr(banco, conta);
  AccountLookup result;
  result.procurada = "conta procurada no servidor: banco " + banco + ", conta " + asked;
  if (asked != conta) result.procurada += " (no arquivo: " + conta + ")";

  const std::string number = WithoutLeadingZeros(conta);
  result.cadastro = "sudo -u kvr61400 kvr61400-server conta add --codigo CODIGO --banco " + banco;
  if (conta.find('/') == std::string::npos && Registrable(number, 10)) {
    result.cadastro += " --conta " + number;
  } else {
    // Agency and account as one long number, or an account with what the
    // bank writes after a "/" (an agency before it, or a savings variation
    // after it, which --conta of either part would mistake): the account's
    // own number goes in --conta, the file's in --id-extrato.
    result.cadastro += " --agencia AGENCIA --conta CONTA --id-extrato " + conta;
  }
  result.cadastro += " --tipo C";
  return result;
}

void TfrmImportOFX::Vd_ContaCorrente(const std::string& banco, const std::string& conta) {
  THostLibrary& host = HostLibrary();
  host.ActiveShowAvi(host.MainForm(), 1);
  try {
    cdsContaCorrente->SetFiltered(false);
    const TServerResult result = netImportOFX->Call("GetContaCorrente", {banco, conta});
    cdsContaCorrente->SetData(CheckResultServText(result, true, 0));
    if (cdsContaCorrente->IsEmpty()) MensErro(Msg("CONTCORR_NCAD"), true);
    host.DeactiveShowAvi();
    cbTipoConta->Items.Clear();
    TField& tipo = cdsContaCorrente->FieldByName("IDTIPOCCORR");
    for (cdsContaCorrente->First(); !cdsContaCorrente->Eof(); cdsContaCorrente->Next()) {
      const std::string letra = tipo.AsString();
      cbTipoConta->Items.Add(letra == "C"   ? "Circulante"
                             : letra == "L" ? "Aplicação"_cp1252
                                            : "Garantida");
    }
    cdsContaCorrente->First();
    cbTipoConta->SetItemIndex(0);
    cbTipoConta->SetColor(clInfoBk);
  } catch (...) {
    host.DeactiveShowAvi();
    throw;
  }
}

// ---------------------------------------------------------------- movement date filter

std::string TfrmImportOFX::ChaveBanco() const { return Ajusta(edtBanco->Text(), 4).substr(1, 3); }

std::string TfrmImportOFX::dbgExtrBancoEmptyText() const {
  // Only the bank 237 range can leave a loaded statement without a row.
  if (!grbDtMovimento->Visible() || !cdsMovExtrBanco->Active() || !cdsMovExtrBanco->Filtered() ||
      cdsMovExtrBanco->RecordCount() > 0)
    return "";
  return "Nenhum movimento de " + depMovDe->Text() + " a " + depMovAte->Text() + "; o extrato vai de " +
         depDtIni->Text() + " a " + depDtFim->Text() + ": escolha o período em \"de\" e \"até\"."_cp1252;
}

void TfrmImportOFX::FiltraDatas(TDateTime de, TDateTime ate, const char* junction) {
  repetidos_.clear();
  cdsMovExtrBanco->SetFilter("DTMOVREAL>= '" + FormatDateTime("dd/mm/yyyy", de) + "'" + junction +
                             "DTMOVREAL<= '" + FormatDateTime("dd/mm/yyyy", ate) + "'");
  cdsMovExtrBanco->SetFiltered(true);
}

void TfrmImportOFX::edtBancoChange(TComponent* /*sender*/) {
  if (ChaveBanco() == "237") {
    grbDtMovimento->SetVisible(true);
    Arruma();
    depMovDe->SetDate(Today() - 1);
    depMovAte->SetDate(depMovDe->Date());
    depMovDe->SetFocus();
    FiltraDatas(depMovDe->Date(), depMovAte->Date(), "AND ");
  } else {
    repetidos_.clear();
    cdsMovExtrBanco->SetFiltered(false);
    grbDtMovimento->SetVisible(false);
  }
  Arruma();
}

void TfrmImportOFX::FiltraPeriodoExtrato() {
  if (ChaveBanco() != "104") return;
  cdsMovExtrBanco->SetFiltered(false);
  FiltraDatas(depDtIni->Date(), depDtFim->Date(), "AND ");
}

void TfrmImportOFX::depMovDeChange(TComponent* /*sender*/) {
  repetidos_.clear();
  cdsMovExtrBanco->SetFilter("1 = 2");
  cdsMovExtrBanco->SetFiltered(true);
}

void TfrmImportOFX::depMovAteChange(TComponent* sender) {
  depMovDeChange(sender);
}

void TfrmImportOFX::depMovDeExit(TComponent* /*sender*/) {
  depMovDe->CheckValidDate();
  Vd_PeriodoMov();
  FiltraDatas(depMovDe->Date(), depMovAte->Date(), " AND ");
}

void TfrmImportOFX::depMovAteExit(TComponent* /*sender*/) {
  depMovAte->CheckValidDate();
  Vd_PeriodoMov();
  FiltraDatas(depMovDe->Date(), depMovAte->Date(), " AND ");
}

void TfrmImportOFX::Vd_PeriodoMov() {
  if (depMovDe->Text().empty()) {
    depMovDe->SetFocus();
    MensErro(Msg("DATA_MOV_INI_INF"), true);
  }
  if (depMovAte->Text().empty()) {
    depMovAte->SetFocus();
    MensErro(Msg("DATA_MOV_FIN_INF"), true);
  }
  if (depMovAte->Date() < depMovDe->Date()) {
    depMovAte->SetFocus();
    MensErro(Msg("DATA_MOV_FIN_MAIOR"), true);
  }
}

// ---------------------------------------------------------------- grid presentation

void TfrmImportOFX::cdsMovExtrBancoIDMOVREALGetText(TField& sender, std::string& text,
                                                    bool /*display_text*/) {
  if (cdsMovExtrBanco->IsEmpty()) {
    text.clear();
    return;
  }
  if (sender.AsString() == "D") text = Msg("Debito");
  if (sender.AsString() == "C") text = Msg("Credito");
}

void TfrmImportOFX::cdsMovExtrBancoVRMOVREALGetText(TField& sender, std::string& text,
                                                    bool /*display_text*/) {
  if (sender.IsNull()) return;
  text = FormatFloat("#,##0.00", sender.AsFloat());
}

void TfrmImportOFX::dbgExtrBancoKeyDown(TComponent* /*sender*/, TKey& key, TShiftState shift) {
  if ((shift & ssCtrl) != 0 && key == VK_DELETE) key = 0;
}

// ---------------------------------------------------------------- confirmation

void TfrmImportOFX::sbtConfirmaClick(TComponent* /*sender*/) {
  if (!SegueFila || atual_ < 0) {
    Confirma();
    return;
  }
  // Only an answer moves the queue on: a refusal the clerk can mend (a
  // range without movements, a server out of reach) keeps the statement on
  // the screen, to confirm again or skip.
  std::exception_ptr recorded;
  try {
    const bool stored = Confirma();
    MarcaAtual(stored ? TEstadoFila::Importado : TEstadoFila::Cancelado,
               stored ? "" : "\"" + Msg("N") + "\" à pergunta sobre movimentos repetidos"_cp1252);
  } catch (const EAbort& e) {
    if (e.Shown() != Msg("MOV_JA_CAD")) throw;
    MarcaAtual(TEstadoFila::JaCadastrado, "");
    recorded = std::current_exception();
  }
  SegueParaProximo();
  if (recorded) std::rethrow_exception(recorded);
}

bool TfrmImportOFX::Confirma() {
  THostLibrary& host = HostLibrary();
  bool gravado = false;
  try {
    if (cdsMovExtrBanco->IsEmpty()) MensErro(Msg("ARQ_SEM_DADOS"), true);

    const std::string& tipo = cbTipoConta->Text();
    const char* letra = tipo == "Circulante" ? "C" : tipo == "Aplicação"_cp1252 ? "L" : "G";

    cdsContaCorrente->SetFiltered(false);
    cdsContaCorrente->SetFilter(std::string("IDTIPOCCORR= '") + letra + "'");
    cdsContaCorrente->SetFiltered(true);
    const std::string conta = cdsContaCorrente->FieldByName("CDREDUCONT").AsString();

    // A bank-237 range, or bank 104's period filter, sends part of the
    // movements: the header sent then describes those, so the rest can be
    // imported later and the stored balances add up. Each confirmation works
    // it out afresh from the file.
    if (leitor_ != nullptr && cdsExtrBanco->RecordCount() == 1) {
      const bool filtered = cdsMovExtrBanco->Filtered();
      const StatementPeriod period =
          filtered && ChaveBanco() == "237"
              ? NarrowedPeriod(*leitor_, depMovDe->Date(), depMovAte->Date())
          : filtered && ChaveBanco() == "104"
              ? NarrowedPeriod(*leitor_, depDtIni->Date(), depDtFim->Date())
              : StatementPeriod{leitor_->DataIncial, leitor_->DataFinal, leitor_->ValorIncial,
                                leitor_->ValorFinal};
      cdsExtrBanco->First();
      cdsExtrBanco->Edit();
      SetHeaderPeriod(period);
      cdsExtrBanco->Post();
    }

    for (cdsExtrBanco->First(); !cdsExtrBanco->Eof(); cdsExtrBanco->Next()) {
      cdsExtrBanco->Edit();
      cdsExtrBanco->FieldByName("CDREDUCONT").SetAsString(conta);
    }

    if (!cdsMovExtrAux->Active()) CreateTable(cdsMovExtrAux);

    // Each movement shown goes to cdsMovExtrAux with the account's code, in
    // the order shown (by date, then as the file lists them): the server
    // numbers them so. Before its copy each is searched, ignoring case, among
    // those copied before it: a pair found is a repeated movement. One pass
    // over the rows does what the loop of Edit, Locate, Append and Post on
    // each would (TClientDataSet::CopyRowsFrom); the amount is searched as
    // the number it is, compared at 15 significant digits.
    TCopyRows copia;
    for (const char* name :
         {"CDREDUCONT", "VRMOVREAL", "DSHISTMOVREAL", "NRDOCMOVREAL", "DTMOVREAL", "IDTPMOVREAL",
          "IDSTCONMVBAN", "IDTIPOREGI", "IDMOVREAL", "CDFITIDEXTR", "CDFITIDCOMPL", "DSHISTCOMPL"})
      copia.columns.emplace_back(cdsMovExtrBanco->FieldByName(name).Index(),
                                 cdsMovExtrAux->FieldByName(name).Index());
    copia.stamp_column = cdsMovExtrBanco->FieldByName("CDREDUCONT").Index();
    copia.stamp_text = conta;
    copia.keys = kRepeatKeys;
    copia.options.CaseInsensitive = true;

    bool repetido = false;
    repetidos_.clear();
    {
      Quiet quiet({cdsMovExtrBanco, cdsMovExtrAux});
      for (const TRowMatch& par : cdsMovExtrAux->CopyRowsFrom(*cdsMovExtrBanco, copia)) {
        repetido = true;
        // cdsMovExtrAux holds the rows shown so far, in their order.
        repetidos_.push_back(par.found);
        repetidos_.push_back(par.source);
      }
    }

    host.ActiveShowAvi(host.MainForm(), 1);
    int resposta = 0;
    if (repetido) {
      std::sort(repetidos_.begin(), repetidos_.end());
      repetidos_.erase(std::unique(repetidos_.begin(), repetidos_.end()), repetidos_.end());
      // The question, then which rows it is about (marked in the grid).
      std::string pergunta = Msg("Val_Iguais") + "\n\nMovimentos repetidos (marcados na grade):";
      for (const std::string& linha : DescricaoRepetidos()) pergunta += "\n" + linha;
      resposta = host.MsgAlert(pergunta, TMsgDlgType::mtConfirmation, {Msg("N"), Msg("S")}, 0);
    }
    // The packets are written from the tables' rows straight into each
    // request as it is sent. The server keeps the movements ValidExtrato
    // read, and SetExtratoBancario names them instead of sending them again.
    std::string guardado;
    const bool valido = resposta != 11 && BooleanCall(*netImportOFX, "ValidExtrato",
                                                      {TServerArg::Table(*cdsExtrBanco),
                                                       TServerArg::Table(*cdsMovExtrAux)},
                                                      &guardado);
    gravado = BooleanCall(
        *netImportOFX, "SetExtratoBancario",
        {TServerArg::Table(*cdsExtrBanco),
         guardado.empty() ? TServerArg::Table(*cdsMovExtrAux) : TServerArg::Held(guardado, *cdsMovExtrAux),
         TServerArg(valido)});
    host.DeactiveShowAvi();

    if (gravado) {
      msgPadrao->ShowMsg("ARQ_IMP_SUCESSO", TMsgDlgType::mtInformation, mbOK, 0);
    } else if (resposta != 11) {
      MensErro(Msg("MOV_JA_CAD"), true);
    }
    // Declined (answer 11): the server was told to store nothing, and saying
    // the statement is already recorded would be false; the action just ends.
  } catch (...) {
    host.DeactiveShowAvi();
    if (cdsMovExtrAux->Active()) cdsMovExtrAux->EmptyDataSet();
    throw;
  }
  cdsMovExtrAux->EmptyDataSet();
  return gravado;
}

std::vector<std::string> TfrmImportOFX::DescricaoRepetidos() const {
  std::vector<std::string> linhas;
  const int shown = std::min<int>(static_cast<int>(repetidos_.size()), kRepetidosListados);
  auto cell = [this](int row, const char* name) {
    // Documents are right-aligned in their 20 characters.
    std::string text = cdsMovExtrBanco->CellDisplayText(row, cdsMovExtrBanco->FieldByName(name).Index());
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
  };
  for (int i = 0; i < shown; ++i) {
    const int row = repetidos_[static_cast<size_t>(i)];
    std::string linha = "linha " + std::to_string(row + 1) + ": " + cell(row, "DTMOVREAL") + ", " +
                        cell(row, "IDMOVREAL") + ", " + cell(row, "VRMOVREAL");
    if (const std::string doc = cell(row, "NRDOCMOVREAL"); !doc.empty()) linha += ", documento " + doc;
    if (const std::string memo = cell(row, "DSHISTCOMPL"); !memo.empty()) linha += ", " + memo;
    linhas.push_back(std::move(linha));
  }
  if (static_cast<int>(repetidos_.size()) > shown)
    linhas.push_back("e mais " + std::to_string(repetidos_.size() - static_cast<size_t>(shown)) + ".");
  return linhas;
}

// ---------------------------------------------------------------- entry

void CriaImportOFX() {
  THostLibrary& host = HostLibrary();
  host.SetScreenCursor(crHourGlass);
  try {
    if (!frmImportOFXCreated) {
      frmImportOFX = new TfrmImportOFX(host.Application());
      frmImportOFXCreated = true;
    }
  } catch (...) {
    // Leaving the hourglass up after a failed creation would tell the user
    // the application is still busy.
    host.SetScreenCursor(crDefault);
    throw;
  }
  host.SetScreenCursor(crDefault);
  frmImportOFX->Show();
  host.ShowForm(*frmImportOFX);
}

}  // namespace kvr

extern "C" void IniProc() {
  try {
    kvr::CriaImportOFX();
  } catch (const kvr::EAbort&) {
  } catch (const std::exception& e) {
    try {
      kvr::HostLibrary().ShowError(kvr::Utf8ToCp1252(e.what()));
    } catch (...) {
    }
  }
}
