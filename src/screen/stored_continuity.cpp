#include "screen/stored_continuity.h"

#include <map>
#include <set>
#include <utility>

#include "platform/encoding.h"
#include "wire/money.h"

namespace kvr {

namespace {

// "2024-03-01" as "01/03/2024"; "?" for anything but a text.
std::string Day(const nlohmann::json& iso) {
  if (!iso.is_string()) return "?";
  const std::string d = iso.get<std::string>();
  return d.size() == 10 ? d.substr(8, 2) + "/" + d.substr(5, 2) + "/" + d.substr(0, 4) : d;
}

}  // namespace

std::string ContinuityProblemText(const nlohmann::json& p) {
  const std::string kind = p.value("tipo", "");
  auto money = [&] {
    return Cp1252ToUtf8(Money::FromReais(p.value("diferenca", 0.0)).Format(',', '.'));
  };
  const long long days = p.value("dias", 0LL);
  if (kind == "lacuna")
    return "lacuna de " + std::to_string(days) + (days == 1 ? " dia" : " dias") + " antes dele";
  if (kind == "sobreposicao")
    return "sobreposição de " + std::to_string(days) + (days == 1 ? " dia" : " dias") +
           " com o anterior";
  if (kind == "saldo") return "saldo inicial difere do final do anterior em R$ " + money();
  if (kind == "fechamento") return "movimentos não fecham o saldo: diferença de R$ " + money();
  return kind;
}

std::string ContinuityProblemLine(const nlohmann::json& p) {
  return "conta " + p.value("conta", "") + ", extrato " + Day(p.value("data_inicial", nlohmann::json())) +
         " a " + Day(p.value("data_final", nlohmann::json())) + ": " + p.value("texto", "");
}

nlohmann::json StoredContinuity(TNetConnection& net, const std::vector<TStoredStatement>& stored) {
  // The periods stored, by account.
  std::map<std::string, std::set<std::pair<std::string, std::string>>> periods;
  for (const TStoredStatement& s : stored) {
    if (!s.codigo.empty() && !s.data_inicial.empty() && !s.data_final.empty())
      periods[s.codigo].insert({s.data_inicial, s.data_final});
  }
  nlohmann::json problems = nlohmann::json::array();
  for (const auto& [code, wanted] : periods) {
    const nlohmann::json chains =
        CheckResultServ(net.Call("GetContinuidade", {Cp1252ToUtf8(code)}), false, 0);
    if (!chains.is_array()) continue;
    for (const auto& chain : chains) {
      if (!chain.is_object() || chain.value("conta", "") != Cp1252ToUtf8(code)) continue;
      const nlohmann::json statements = chain.value("extratos", nlohmann::json::array());
      for (const auto& s : statements) {
        if (!s.is_object()) continue;
        const nlohmann::json start = s.value("dataInicial", nlohmann::json());
        const nlohmann::json end = s.value("dataFinal", nlohmann::json());
        if (!start.is_string() || !end.is_string() ||
            !wanted.contains({start.get<std::string>(), end.get<std::string>()}))
          continue;
        for (const auto& p : s.value("problemas", nlohmann::json::array())) {
          nlohmann::json entry = p;
          entry["conta"] = chain["conta"];
          entry["extrato"] = s.value("extrato", nlohmann::json());
          entry["data_inicial"] = start;
          entry["data_final"] = end;
          entry["texto"] = ContinuityProblemText(p);
          problems.push_back(std::move(entry));
        }
      }
    }
  }
  return problems;
}

}  // namespace kvr
