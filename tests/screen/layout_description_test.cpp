#include "screen/layout_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp1252.h"
#include "platform/errors.h"

namespace kvr {
namespace {

// The element of that name among the objects or properties, or null.
template <typename List>
auto Named(const List& list, std::string_view name) -> decltype(&*list.begin()) {
  for (const auto& e : list)
    if (e.name == name) return &e;
  return nullptr;
}

TEST(LayoutDescription, ReadsObjectsPropertiesAndLists) {
  auto layout = LayoutDescription::Parse(R"(# comment
object edtFile: TEdit
  Left = 83
  Enabled = false
  Color = clInfoBk
  Caption = "Diz \"oi\" \\ fim"

  Items = (
    "Circulante"
    "Aplicação"
  )
end
object Label1: TLabel
end
)");
  ASSERT_EQ(layout.Objects().size(), 2u);
  const LayoutObject& edt = layout.Objects()[0];
  EXPECT_EQ(edt.name, "edtFile");
  EXPECT_EQ(edt.kind, "TEdit");
  EXPECT_EQ(edt.line, 2);
  ASSERT_EQ(edt.properties.size(), 5u);
  EXPECT_EQ(edt.properties[0].name, "Left");
  EXPECT_EQ(edt.properties[0].value, "83");
  EXPECT_FALSE(edt.properties[0].quoted);
  EXPECT_EQ(Named(edt.properties, "Color")->value, "clInfoBk");
  EXPECT_EQ(Named(edt.properties, "Caption")->value, "Diz \"oi\" \\ fim");
  EXPECT_TRUE(Named(edt.properties, "Caption")->quoted);
  const LayoutProperty* items = Named(edt.properties, "Items");
  ASSERT_NE(items, nullptr);
  EXPECT_TRUE(items->is_list);
  EXPECT_EQ(items->items, (std::vector<std::string>{"Circulante", "Aplicação"_cp1252}));
  EXPECT_EQ(items->line, 8);
  EXPECT_EQ(Named(layout.Objects(), "Label1")->kind, "TLabel");
  EXPECT_EQ(Named(layout.Objects(), "Label3"), nullptr);
  EXPECT_EQ(Named(edt.properties, "Top"), nullptr);
}

TEST(LayoutDescription, MalformedDescriptionNamesTheLine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"Left = 1\n", "descrição de tela, linha 1: propriedade fora de um elemento: Left = 1"},
      {"object a: TEdit\n  Left = 1\n", "descrição de tela, linha 3: elemento a sem \"end\""},
      {"object a: TEdit\n  L = (\n  \"x\"\nend\n",
       "descrição de tela, linha 4: item de lista sem aspas: end"},
      {"object a: TEdit\nend\nobject a: TLabel\nend\n",
       "descrição de tela, linha 3: elemento repetido: a"},
      {"object a: TEdit\n  C = \"abc\nend\n",
       "descrição de tela, linha 2: texto sem aspas de fechamento: \"abc"},
      {"object a TEdit\nend\n", "descrição de tela, linha 1: esperado \"object NOME: TIPO\""},
      {"end\n", "descrição de tela, linha 1: \"end\" sem \"object\""},
      {"object a: TEdit\n  Left\nend\n",
       "descrição de tela, linha 2: esperado \"Propriedade = valor\""},
  };
  for (const auto& c : cases) {
    try {
      LayoutDescription::Parse(c.text);
      ADD_FAILURE() << "no error for: " << c.text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(LayoutDescription, BuiltInScreenLayoutHoldsEveryElement) {
  auto layout = LayoutDescription::Parse(ImportOFXLayoutText());
  const std::vector<std::string> names = {
      "frmImportOFX", "lblCodTela",   "grbDadosRel",  "panMenu",      "lblArquivo",
      "edtFile",      "BtnPesquisa1", "lblBanco",     "edtBanco",     "lblConta",
      "edtConta",     "cbTipoConta",  "lblDtIni",     "depDtIni",     "lblDtFim",
      "depDtFim",     "lblVrIni",     "nedValorIni",  "lblVrFim",     "nedValorFim",
      "pnlExtrBanc",  "dbgExtrBanco", "grbDtMovimento", "Label1",     "depMovDe",
      "Label2",       "depMovAte",    "odlArquivo",   "netImportOFX", "cdsExtrBanco",
      "cdsMovExtrBanco", "cdsMovExtrAux", "cdsContaCorrente", "dtsExtrBanco",
      "dtsMovExtrBanco", "dtsContCorr", "msgPadrao"};
  for (const auto& n : names) EXPECT_NE(Named(layout.Objects(), n), nullptr) << n;
  EXPECT_EQ(Named(Named(layout.Objects(), "frmImportOFX")->properties, "Caption")->value,
            "Importação de Extrato Bancário (OFX)"_cp1252);
  EXPECT_EQ(Named(Named(layout.Objects(), "Label2")->properties, "Caption")->value, "até"_cp1252);
  const auto& messages = Named(Named(layout.Objects(), "msgPadrao")->properties, "Messages")->items;
  ASSERT_EQ(messages.size(), 13u);
  EXPECT_EQ(messages[0], "Debito|Débito"_cp1252);
  EXPECT_EQ(messages[12], "N|Não"_cp1252);
}

}  // namespace
}  // namespace kvr
