// conta add, list, edit and remove: the bank accounts of CONTCORR.
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "store/account_rules.h"
#include "admin/admin_commands.h"
#include "store/open_store.h"
#include "store/printable_text.h"

namespace kvr::server::admin {

int AddAccount(const CommandLine& line, std::ostream& out, std::ostream& err) {
  Account account =
      CheckAccount({line.Required("codigo"), line.Required("banco"), line.Option("agencia"),
                    line.Required("conta"), line.Required("tipo"), line.Option("mascara"),
                    line.Option("id-extrato")});
  const std::string db = DatabaseOf(line);
  // A mistyped --db, or a command run where no configuration names the
  // server's database, would otherwise register the account in a new
  // database that no server reads.
  const bool created = !IsPostgresAddress(db) && access(db.c_str(), F_OK) != 0;
  std::unique_ptr<Store> store = OpenStore(db, true);
  if (created)
    err << "kvr61400-server: banco de dados novo criado: " << DatabaseLabel(db)
        << (line.db_origin.empty() ? "" : " (" + line.db_origin + ")")
        << ". Se o servidor usa outro banco, cadastre a conta nele (--db BANCO ou --config "
           "ARQUIVO).\n";
  store->AddAccount(account);
  out << "Conta corrente " << account.code << " cadastrada: banco " << account.bank << ", agência "
      << account.agency << ", conta " << account.number << ", tipo " << account.kind;
  if (!account.statement_id.empty()) out << ", identificador nos extratos " << account.statement_id;
  out << ".\n";
  return 0;
}

int ListAccounts(const CommandLine& line, std::ostream& out) {
  std::unique_ptr<Store> store = OpenStore(DatabaseOf(line), false);
  std::vector<Account> accounts = store->ListAccounts();
  if (line.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const Account& a : accounts)
      list.push_back({{"CDREDUCONT", a.code},
                      {"CDBANCO", a.bank},
                      {"CDAGENCIA", a.agency},
                      {"CDCONTCORR", a.number},
                      {"CDPICTCONT", a.mask},
                      {"IDTIPOCCORR", a.kind},
                      {"IDEXTRATO", a.statement_id}});
    out << list.dump(2) << "\n";
    return 0;
  }
  // The identifiers' column only when an account has one: most have none.
  bool ids = false;
  for (const Account& a : accounts) ids = ids || !a.statement_id.empty();
  out << Pad("CODIGO", 7) << Pad("BANCO", 6) << Pad("AGENCIA", 8) << Pad("CONTA", 11)
      << Pad("TIPO", 6) << (ids ? Pad("MASCARA", 21) + "ID EXTRATO\n" : "MASCARA\n");
  for (const Account& a : accounts) {
    out << Pad(EscapeControls(a.code), 7) << Pad(EscapeControls(a.bank), 6)
        << Pad(EscapeControls(a.agency), 8) << Pad(EscapeControls(a.number), 11)
        << Pad(EscapeControls(a.kind), 6);
    if (ids)
      out << Pad(EscapeControls(a.mask), 21) << EscapeControls(a.statement_id) << "\n";
    else
      out << EscapeControls(a.mask) << "\n";
  }
  return 0;
}

int EditAccount(const CommandLine& line, std::ostream& out) {
  const std::string code = line.Required("codigo");
  if (line.options.count("tipo") == 0 && line.options.count("mascara") == 0 &&
      line.options.count("id-extrato") == 0)
    throw Usage("conta edit precisa de --tipo, --mascara ou --id-extrato.");
  std::unique_ptr<Store> store = OpenStore(DatabaseOf(line), false);
  Account account = RegisteredAccount(*store, code);
  if (line.options.count("tipo") != 0) {
    account.kind = line.Option("tipo");
    CheckAccountKind(account.kind);
  }
  if (line.options.count("mascara") != 0) {
    account.mask = line.Option("mascara");
    account.number = CheckAccountMask(account.mask, account.number);
  }
  if (line.options.count("id-extrato") != 0) {
    account.statement_id = line.Option("id-extrato");
    CheckStatementId(account.statement_id);
  }
  if (!store->UpdateAccount(account))
    throw InvalidRequest("Conta corrente de código \"" + EscapeControls(code) +
                         "\" não cadastrada.");
  out << "Conta corrente " << account.code << " alterada: tipo " << account.kind << ", máscara "
      << (account.mask.empty() ? "nenhuma" : account.mask);
  if (line.options.count("id-extrato") != 0)
    out << ", identificador nos extratos "
        << (account.statement_id.empty() ? "nenhum" : account.statement_id);
  out << ".\n";
  return 0;
}

int RemoveAccount(const CommandLine& line, std::ostream& out) {
  const std::string code = line.Required("codigo");
  std::unique_ptr<Store> store = OpenStore(DatabaseOf(line), false);
  RegisteredAccount(*store, code);
  const long long statements = store->RemoveAccount(code);
  if (statements > 0)
    throw InvalidRequest("A conta corrente " + code + " tem " + std::to_string(statements) +
                         (statements == 1 ? " extrato gravado" : " extratos gravados") +
                         " e não foi excluída.");
  out << "Conta corrente " << code << " excluída.\n";
  return 0;
}

}  // namespace kvr::server::admin
