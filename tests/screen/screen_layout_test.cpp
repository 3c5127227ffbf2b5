// The screen as created: controls with their design, tables, grid columns
// and the message table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen_fixture.h"

namespace kvr::testing {
namespace {

using ScreenLayout = ScreenTest;

TEST_F(ScreenLayout, ScreenAndInheritedElements) {
  TfrmImportOFX& f = Form();
  EXPECT_EQ(f.Caption(), "Importa\xE7\xE3o de Extrato Banc\xE1rio (OFX)");
  EXPECT_EQ(f.ClientWidth(), 528);
  EXPECT_EQ(f.ClientHeight(), 338);
  EXPECT_EQ(f.Height(), 377);
  EXPECT_EQ(f.BorderStyle(), TFormBorderStyle::bsSingle);
  EXPECT_EQ(f.FormStyle(), TFormStyle::fsMDIChild);
  EXPECT_EQ(f.lblCodTela->Caption(), "KVR61400");
  EXPECT_EQ(f.grbDadosRel->Width(), 473);
  EXPECT_EQ(f.grbDadosRel->Height(), 338);
  EXPECT_EQ(f.panMenu->Left(), 473);
  EXPECT_EQ(f.panMenu->Height(), 338);
  EXPECT_EQ(f.sbtConfirma->Parent(), f.panBotoes);
  EXPECT_TRUE(static_cast<bool>(f.sbtConfirma->OnClick));
  EXPECT_EQ(f.netImportOFX->ServerName, "kvr61400.rdmImportOFX");
  EXPECT_FALSE(f.netImportOFX->ThrowException);
  EXPECT_EQ(f.odlArquivo->Filter, "OFX|*.ofx");
}

TEST_F(ScreenLayout, ControlsHaveTheirPositionsCaptionsAndStates) {
  TfrmImportOFX& f = Form();
  struct Case {
    TControl* control;
    TControl* parent;
    int left, top, width;
    bool enabled, visible;
  };
  const Case cases[] = {
      {f.edtFile, f.grbDadosRel, 83, 14, 359, false, true},
      {f.BtnPesquisa1, f.grbDadosRel, 446, 14, 22, true, true},
      {f.edtBanco, f.grbDadosRel, 83, 42, 51, false, true},
      {f.edtConta, f.grbDadosRel, 251, 41, 119, false, true},
      {f.cbTipoConta, f.grbDadosRel, 374, 41, 91, true, true},
      {f.depDtIni, f.grbDadosRel, 83, 69, 119, false, true},
      {f.depDtFim, f.grbDadosRel, 348, 69, 119, false, true},
      {f.nedValorIni, f.grbDadosRel, 83, 97, 119, false, true},
      {f.nedValorFim, f.grbDadosRel, 348, 97, 119, false, true},
      {f.pnlExtrBanc, f.grbDadosRel, 2, 122, 467, true, true},  // no jump at the first load
      {f.dbgExtrBanco, f.pnlExtrBanc, 1, 1, 465, true, true},
      {f.grbDtMovimento, &f, 12, 121, 297, true, false},
      {f.depMovDe, f.grbDtMovimento, 27, 15, 119, true, true},
      {f.depMovAte, f.grbDtMovimento, 171, 15, 119, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.control->Parent(), c.parent) << c.control->Name;
    EXPECT_EQ(c.control->Left(), c.left) << c.control->Name;
    EXPECT_EQ(c.control->Top(), c.top) << c.control->Name;
    EXPECT_EQ(c.control->Width(), c.width) << c.control->Name;
    EXPECT_EQ(c.control->Enabled(), c.enabled) << c.control->Name;
    EXPECT_EQ(c.control->Visible(), c.visible) << c.control->Name;
  }
  EXPECT_EQ(f.edtFile->Color(), clInfoBk);
  EXPECT_EQ(f.edtBanco->Color(), clBtnFace);
  EXPECT_EQ(f.cbTipoConta->Color(), clBtnFace);
  EXPECT_EQ(f.cbTipoConta->Style(), TComboBoxStyle::csDropDownList);
  EXPECT_EQ(f.dbgExtrBanco->Color(), clInfoBk);
  EXPECT_EQ(f.depMovDe->Color(), clInfoBk);
  EXPECT_EQ(f.BtnPesquisa1->Hint(), "Pesquisar");
  EXPECT_EQ(f.grbDtMovimento->Caption(), "Data");
  EXPECT_TRUE(f.grbDtMovimento->Font().Bold);
  EXPECT_EQ(f.Label2->Caption(), "at\xE9");

  const std::vector<std::pair<TLabel*, const char*>> labels = {
      {f.lblArquivo, "Arquivo"},     {f.lblBanco, "Banco"},          {f.lblConta, "Conta"},
      {f.lblDtIni, "Data inicial"},  {f.lblDtFim, "Data Final"},     {f.lblVrIni, "Valor inicial"},
      {f.lblVrFim, "Valor Final"},   {f.Label1, "de"}};
  for (const auto& [label, caption] : labels) {
    EXPECT_EQ(label->Caption(), caption);
    EXPECT_EQ(label->Font(), (TFont{"MS Sans Serif", -11, true, clWindowText})) << caption;
  }
  for (TDateEditPlus* d : {f.depDtIni, f.depDtFim, f.depMovDe, f.depMovAte}) {
    EXPECT_FALSE(d->SaveTime);
    EXPECT_EQ(d->ValidDateColor, clBlue);
    EXPECT_EQ(d->WeekDayNames[2], "Ter\xE7" "a");
    EXPECT_EQ(d->WeekDayNames[6], "S\xE1" "bado");
  }
  for (TNumberEdit* n : {f.nedValorIni, f.nedValorFim}) {
    EXPECT_EQ(n->DisplayFormat, "#,##0.00");
    EXPECT_EQ(n->Decimals, 2);
    EXPECT_FALSE(n->Currency);
    EXPECT_FALSE(n->Thousands);
  }
}

TEST_F(ScreenLayout, GridColumnsAndOptions) {
  TfrmImportOFX& f = Form();
  const auto& cols = f.dbgExtrBanco->Columns();
  const std::vector<TColumn> expected = {
      {"DTMOVREAL", "Data", 65, true},        {"CDREDUCONT", "", -1, false},
      {"CDSEQUEXTR", "", -1, false},          {"NRSEQMOVREAL", "", -1, false},
      {"NRDOCMOVREAL", "Documento", 129, true}, {"IDMOVREAL", "Tipo", 43, true},
      {"VRMOVREAL", "Valor", -1, true},       {"DSHISTMOVREAL", "Descri\xE7\xE3o", 138, true},
      {"IDTIPOREGI", "", -1, false},          {"CDCATELANC", "", -1, false},
      {"IDSTCONMVBAN", "", -1, false},        {"IDTPMOVREAL", "", -1, false}};
  ASSERT_EQ(cols.size(), expected.size());
  for (size_t i = 0; i < cols.size(); ++i) {
    EXPECT_EQ(cols[i].FieldName, expected[i].FieldName);
    EXPECT_EQ(cols[i].Title, expected[i].Title);
    EXPECT_EQ(cols[i].Width, expected[i].Width) << cols[i].FieldName;
    EXPECT_EQ(cols[i].Visible, expected[i].Visible) << cols[i].FieldName;
  }
  EXPECT_EQ(f.dbgExtrBanco->Options(), dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs |
                                           dgConfirmDelete | dgCancelOnExit);
  EXPECT_EQ(f.dbgExtrBanco->DataSource(), f.cdsMovExtrBanco);
  EXPECT_EQ(f.dtsMovExtrBanco->DataSet, f.cdsMovExtrBanco);
  EXPECT_EQ(f.dtsContCorr->DataSet, f.cdsContaCorrente);
}

TEST_F(ScreenLayout, TablesHaveTheirColumns) {
  TfrmImportOFX& f = Form();
  auto names = [](TClientDataSet* t) {
    std::string s;
    for (const auto& d : t->FieldDefs) {
      s += d.Name + (d.DataType == TFieldType::ftString ? "(" + std::to_string(d.Size) + ")"
                     : d.DataType == TFieldType::ftFloat ? ":f" : ":d") + " ";
    }
    return s;
  };
  EXPECT_EQ(names(f.cdsExtrBanco),
            "CDREDUCONT(3) CDSEQUEXTR(10) DTSALDINIC:d DTSALDFIN:d VRSALDINIC:f VRSALDFIM:f "
            "IDEXTRINI(1) IDEXTRFIM(1) ");
  const std::string movements =
      "CDREDUCONT(3) CDSEQUEXTR(10) NRSEQMOVREAL(10) NRDOCMOVREAL(20) DTMOVREAL:d IDMOVREAL(1) "
      "VRMOVREAL:f DSHISTMOVREAL(40) IDTIPOREGI(2) CDCATELANC(4) IDSTCONMVBAN(1) IDTPMOVREAL(1) "
      "CDFITIDEXTR(10) ";
  EXPECT_EQ(names(f.cdsMovExtrBanco), movements);
  EXPECT_EQ(names(f.cdsMovExtrAux), movements);
  EXPECT_EQ(names(f.cdsContaCorrente),
            "CDREDUCONT(3) CDBANCO(3) CDAGENCIA(5) CDCONTCORR(10) CDPICTCONT(20) IDTIPOCCORR(20) ");
  EXPECT_EQ(f.cdsMovExtrBanco->IndexFieldNames(), "DTMOVREAL");
  EXPECT_EQ(f.cdsMovExtrAux->IndexFieldNames(), "");
  EXPECT_FALSE(f.cdsMovExtrBanco->Active());
}

TEST_F(ScreenLayout, MessageTableHoldsEveryKey) {
  TfrmImportOFX& f = Form();
  const std::vector<std::pair<const char*, const char*>> table = {
      {"Debito", "D\xE9" "bito"},
      {"Credito", "Cr\xE9" "dito"},
      {"CONTCORR_NCAD", "Conta corrente n\xE3o cadastrada."},
      {"ARQ_INV", "Arquivo importado n\xE3o \xE9 um extrato v\xE1lido."},
      {"ARQ_IMP_SUCESSO", "Arquivo importado com sucesso."},
      {"ARQ_SEM_DADOS", "Arquivo sem dados para importa\xE7\xE3o."},
      {"MOV_JA_CAD", "Arquivo de movimenta\xE7\xE3o banc\xE1ria j\xE1 cadastrado."},
      {"DATA_MOV_INI_INF", "Data de movimento inicial deve ser informada."},
      {"DATA_MOV_FIN_INF", "Data de movimento final deve ser informada."},
      {"DATA_MOV_FIN_MAIOR",
       "Data de movimento final deve ser maior ou igual \xE0 data de movimento inicial."},
      {"Val_Iguais",
       "Existem movimenta\xE7\xF5" "es com mesmo n\xFAmero, valor e data, deseja realizar a "
       "importa\xE7\xE3o?"},
      {"S", "Sim"},
      {"N", "N\xE3o"}};
  EXPECT_EQ(f.msgPadrao->Messages.size(), table.size());
  for (const auto& [key, text] : table) EXPECT_EQ(f.Msg(key), text) << key;
}

TEST_F(ScreenLayout, TransactionsAreListedByDateAndBlockedRowsReappear) {
  const std::vector<Trn> trns = {{"20240110", "1.00", "C", "1", "TERCEIRO"},
                                 {"20240105", "1.00", "A", "1", "PRIMEIRO"},
                                 {"20240105", "2.00", "B", "1", "SEGUNDO"}};
  ASSERT_EQ(Load(WriteFile("a.ofx", OfxText("341", "1", "20240101", "20240131", trns, "1"))), "");
  TfrmImportOFX& f = Form();
  EXPECT_EQ(Column("DSHISTMOVREAL"), (std::vector<std::string>{"PRIMEIRO", "SEGUNDO", "TERCEIRO"}));
  EXPECT_EQ(Column("DTMOVREAL"), (std::vector<std::string>{"05/01/2024", "05/01/2024", "10/01/2024"}));
  f.cdsMovExtrBanco->SetFilter("1 = 2");
  f.cdsMovExtrBanco->SetFiltered(true);
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 0);
  f.cdsMovExtrBanco->SetFiltered(false);
  EXPECT_EQ(f.dbgExtrBanco->RowCount(), 3);
}

}  // namespace
}  // namespace kvr::testing
