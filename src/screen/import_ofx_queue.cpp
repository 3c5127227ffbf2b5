// The screen's queue: files chosen or dropped, and every statement of a
// file, loaded one after the other, each after the user's answer to the one
// before; the queue panel and the summary with the continuity of what the
// queue stored.
#include <algorithm>
#include <exception>

#include "host/host_library.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "reader/vq_ofx_reader.h"
#include "screen/import_ofx_form.h"
#include "screen/stored_continuity.h"

namespace kvr {

namespace {

// The queue panel's height and the gap above it; the chooser row's height.
constexpr int kAlturaFila = 130 + 4;
constexpr int kAlturaEscolha = 28;

std::string Plural(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A file's name without its folder, for the queue's rows.
std::string FileNameOnly(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return Utf8ToCp1252(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::string IsoDay(TDateTime day) { return day == 0 ? "" : FormatDateTime("yyyy-mm-dd", day); }

}  // namespace

void TfrmImportOFX::Arruma() {
  const bool varios = cbExtrato->Items.Count() > 1;
  const bool fila = fila_.size() > 1;
  cbExtrato->SetVisible(varios);
  int top = 122 + (varios ? kAlturaEscolha : 0);
  grbDtMovimento->SetTop(121 + (varios ? kAlturaEscolha : 0));
  if (grbDtMovimento->Visible()) top += 46;
  pnlExtrBanc->SetTop(top);
  pnlFila->SetTop(top + pnlExtrBanc->Height() + 4);
  pnlFila->SetVisible(fila);
  sbtPular->SetVisible(fila && atual_ >= 0);
  SetHeight(377 + (top - 122) + (fila ? kAlturaFila : 0));
}

void TfrmImportOFX::MostraFila() {
  if (!cdsFila->Active()) cdsFila->CreateDataSet();
  {
    cdsFila->EmptyDataSet();
    TField& arquivo = cdsFila->FieldByName("ARQUIVO");
    TField& extrato = cdsFila->FieldByName("EXTRATO");
    TField& resultado = cdsFila->FieldByName("RESULTADO");
    TField& conta = cdsFila->FieldByName("CONTA");
    TField& periodo = cdsFila->FieldByName("PERIODO");
    TField& movimentos = cdsFila->FieldByName("MOVIMENTOS");
    int respondidos = 0;
    for (const TItemFila& item : fila_) {
      cdsFila->Append();
      arquivo.SetAsString(FileNameOnly(item.arquivo));
      if (item.extratos > 1)
        extrato.SetAsString(std::to_string(item.extrato) + " de " + std::to_string(item.extratos));
      std::string texto;
      switch (item.estado) {
        case TEstadoFila::Aguardando: texto = "aguardando"; break;
        case TEstadoFila::NaTela: texto = "na tela"; break;
        case TEstadoFila::Importado: texto = "importado"; break;
        case TEstadoFila::JaCadastrado: texto = "j\xE1 cadastrado"; break;
        case TEstadoFila::Cancelado: texto = "cancelado (nada gravado)"; break;
        case TEstadoFila::Pulado: texto = "pulado (n\xE3o importado)"; break;
        case TEstadoFila::Recusado:
          texto = std::string(item.extratos == 0 ? "ileg\xEDvel" : "recusado") + ": " + item.motivo;
          break;
      }
      if (item.estado != TEstadoFila::Aguardando && item.estado != TEstadoFila::NaTela) ++respondidos;
      resultado.SetAsString(texto);
      if (!item.banco.empty()) conta.SetAsString(item.banco + " / " + item.conta);
      if (item.data_inicial != 0)
        periodo.SetAsString(FormatDateTime("dd/mm/yyyy", item.data_inicial) + " a " +
                            FormatDateTime("dd/mm/yyyy", item.data_final));
      if (item.movimentos >= 0) movimentos.SetAsString(std::to_string(item.movimentos));
      cdsFila->Post();
    }
    // The grid's current row is the statement on the screen.
    cdsFila->First();
    for (int i = 0; i < atual_; ++i) cdsFila->Next();
    if (atual_ >= 0 || resumo_.empty())
      lblFila->SetCaption("Fila de importa\xE7\xE3o: " + std::to_string(respondidos) + " de " +
                          Plural(static_cast<int>(fila_.size()), "extrato respondido",
                                 "extratos respondidos"));
  }
}

void TfrmImportOFX::EnfileiraArquivos(const std::vector<std::string>& files) {
  if (files.empty()) return;
  const bool parada = atual_ < 0;
  if (parada) {
    fila_.clear();
    resumo_.clear();
  }
  for (const std::string& file : files) {
    TItemFila item;
    item.arquivo = file;
    fila_.push_back(std::move(item));
  }
  if (!fila_aberta_) {
    fila_aberta_ = true;
    HostLibrary().QueueRunning(*this, true);
  }
  MostraFila();
  Arruma();
  if (parada) SegueParaProximo();
}

void TfrmImportOFX::CarregaItem(size_t k) {
  atual_ = static_cast<int>(k);
  TItemFila& item = fila_[k];
  item.estado = TEstadoFila::NaTela;
  item.motivo.clear();
  MostraFila();
  LimpaCampos();
  // The reader reads the chooser's file: the file on the screen.
  odlArquivo->FileName = item.arquivo;
  edtFile->SetText(Utf8ToCp1252(item.arquivo));
  extrato_ = item.extrato;
  try {
    ReaderOFX();
    FiltraPeriodoExtrato();
  } catch (...) {
    ExpandeArquivo(k);
    throw;
  }
  ExpandeArquivo(k);
  TItemFila& shown = fila_[k];
  shown.banco = edtBanco->Text();
  shown.conta = edtConta->Text();
  shown.movimentos = cdsMovExtrBanco->RecordCount();
  MostraFila();
  Arruma();
}

void TfrmImportOFX::ExpandeArquivo(size_t k) {
  const std::vector<TOFXStatement>& all = Extratos();
  const int count = static_cast<int>(all.size());
  TItemFila& item = fila_[k];
  item.extratos = count;
  if (item.extrato >= 1 && item.extrato <= count) {
    const TOFXStatement& read = all[static_cast<size_t>(item.extrato - 1)];
    item.banco = read.Banco;
    item.conta = read.Conta;
    item.data_inicial = read.DataIncial;
    item.data_final = read.DataFinal;
    item.movimentos = read.Movimentos;
  }
  if (count < 2) return;
  for (size_t j = 0; j < fila_.size(); ++j)
    if (j != k && fila_[j].arquivo == item.arquivo && fila_[j].extratos > 0) return;
  // Every other statement of the file, in file order, right after it.
  std::vector<TItemFila> others;
  for (int n = 1; n <= count; ++n) {
    if (n == item.extrato) continue;
    const TOFXStatement& read = all[static_cast<size_t>(n - 1)];
    TItemFila other;
    other.arquivo = item.arquivo;
    other.extrato = n;
    other.extratos = count;
    other.banco = read.Banco;
    other.conta = read.Conta;
    other.data_inicial = read.DataIncial;
    other.data_final = read.DataFinal;
    other.movimentos = read.Movimentos;
    others.push_back(std::move(other));
  }
  fila_.insert(fila_.begin() + static_cast<std::ptrdiff_t>(k) + 1, others.begin(), others.end());
}

void TfrmImportOFX::MarcaAtual(TEstadoFila estado, const std::string& motivo) {
  if (atual_ < 0) return;
  TItemFila& item = fila_[static_cast<size_t>(atual_)];
  item.estado = estado;
  item.motivo = OneLine(motivo);
  if ((estado == TEstadoFila::Importado || estado == TEstadoFila::JaCadastrado) &&
      cdsExtrBanco->Active() && !cdsExtrBanco->IsEmpty()) {
    // What was sent: the account stamped and the period of the header,
    // narrowed by a bank 237 range.
    cdsExtrBanco->First();
    item.codigo = cdsExtrBanco->FieldByName("CDREDUCONT").AsString();
    item.data_inicial = cdsExtrBanco->FieldByName("DTSALDINIC").AsDateTime();
    item.data_final = cdsExtrBanco->FieldByName("DTSALDFIN").AsDateTime();
    item.movimentos = cdsMovExtrBanco->RecordCount();
  }
  MostraFila();
}

void TfrmImportOFX::SegueParaProximo() {
  std::exception_ptr failure;
  for (;;) {
    const auto next = std::find_if(fila_.begin(), fila_.end(), [](const TItemFila& item) {
      return item.estado == TEstadoFila::Aguardando;
    });
    if (next == fila_.end()) break;
    failure = nullptr;
    try {
      CarregaItem(static_cast<size_t>(next - fila_.begin()));
      return;
    } catch (const EAbort& e) {
      MarcaAtual(TEstadoFila::Recusado, e.Shown());
      failure = std::current_exception();
    } catch (const std::exception& e) {
      MarcaAtual(TEstadoFila::Recusado, e.what());
      failure = std::current_exception();
      // Alone, the error goes to the front end as a load's does; in a queue
      // it is shown here, and the queue goes on.
      if (fila_.size() > 1) {
        HostLibrary().ShowError(e.what());
        failure = std::make_exception_ptr(EAbort(e.what()));
      }
    }
  }
  atual_ = -1;
  FimDaFila();
  if (failure) std::rethrow_exception(failure);
}

void TfrmImportOFX::FimDaFila() {
  if (fila_aberta_) {
    fila_aberta_ = false;
    HostLibrary().QueueRunning(*this, false);
  }
  if (fila_.size() < 2) {
    MostraFila();
    Arruma();
    return;
  }
  int importados = 0, cadastrados = 0, movimentos = 0;
  std::vector<TStoredStatement> stored;
  for (const TItemFila& item : fila_) {
    if (item.estado == TEstadoFila::Importado) {
      ++importados;
      movimentos += std::max(item.movimentos, 0);
    }
    if (item.estado == TEstadoFila::JaCadastrado) ++cadastrados;
    if (item.estado == TEstadoFila::Importado || item.estado == TEstadoFila::JaCadastrado)
      stored.push_back({item.codigo, IsoDay(item.data_inicial), IsoDay(item.data_final)});
  }
  const int recusados = static_cast<int>(fila_.size()) - importados - cadastrados;
  const std::string totais =
      Plural(importados, "importado", "importados") + ", " +
      Plural(cadastrados, "j\xE1 cadastrado", "j\xE1 cadastrados") + ", " +
      Plural(recusados, "n\xE3o importado", "n\xE3o importados");
  resumo_ = "Fila terminada: " + Plural(static_cast<int>(fila_.size()), "extrato", "extratos") +
            ": " + totais + "; " +
            Plural(movimentos, "movimento gravado", "movimentos gravados") + ".\n";
  std::string continuidade;
  bool problemas = false;
  if (stored.empty()) {
    continuidade = "nada gravado";
    resumo_ += "Continuidade: nada gravado a verificar.";
  } else {
    THostLibrary& host = HostLibrary();
    host.ActiveShowAvi(host.MainForm(), 1);
    try {
      const nlohmann::json found = StoredContinuity(*netImportOFX, stored);
      host.DeactiveShowAvi();
      problemas = !found.empty();
      continuidade = problemas ? Plural(static_cast<int>(found.size()), "problema", "problemas")
                               : "sem problemas";
      resumo_ += "Continuidade: " + continuidade + (problemas ? ":" : ".");
      for (const auto& p : found) resumo_ += "\n" + Utf8ToCp1252(ContinuityProblemLine(p));
    } catch (const std::exception& e) {
      host.DeactiveShowAvi();
      continuidade = "n\xE3o verificada";
      resumo_ += "Continuidade: n\xE3o verificada (" + OneLine(Utf8ToCp1252(e.what())) + ").";
    }
  }
  lblFila->SetCaption(totais + "; continuidade: " + continuidade);
  MostraFila();
  Arruma();
  HostLibrary().ShowMessage(resumo_, problemas ? TMsgDlgType::mtWarning : TMsgDlgType::mtInformation,
                            0);
}

void TfrmImportOFX::sbtPularClick(TComponent* /*sender*/) {
  if (atual_ < 0) return;
  MarcaAtual(TEstadoFila::Pulado, "");
  SegueParaProximo();
  // Nothing followed: the statement skipped is not left to confirm.
  if (atual_ < 0) LimpaCampos();
}

void TfrmImportOFX::cbExtratoChange(TComponent* /*sender*/) {
  const int n = cbExtrato->ItemIndex() + 1;
  if (n < 1 || n == extrato_) return;
  size_t chosen = fila_.size();
  if (SegueFila && atual_ >= 0) {
    const std::string& file = fila_[static_cast<size_t>(atual_)].arquivo;
    for (size_t j = 0; j < fila_.size(); ++j)
      if (fila_[j].arquivo == file && fila_[j].extrato == n) chosen = j;
  }
  if (chosen == fila_.size()) {
    EscolheExtrato(n);
    return;
  }
  TItemFila& left = fila_[static_cast<size_t>(atual_)];
  if (left.estado == TEstadoFila::NaTela) left.estado = TEstadoFila::Aguardando;
  try {
    CarregaItem(chosen);
  } catch (const EAbort& e) {
    MarcaAtual(TEstadoFila::Recusado, e.Shown());
    SegueParaProximo();
    throw;
  }
}

}  // namespace kvr
