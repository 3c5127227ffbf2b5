#include "rpc/server_metrics.h"

#include <cstdio>
#include <cstdlib>

namespace kvr::server {

namespace {

const char* const kMethods[] = {"GetContaCorrente", "ValidExtrato", "SetExtratoBancario",
                                "GetContinuidade",  "GetMovimentos", "GetUsuario",
                                "RemoveExtrato"};

const char* MethodLabel(const std::string& method) {
  for (const char* known : kMethods)
    if (method == known) return known;
  return "desconhecido";
}

const char* ReasonLabel(Refusal reason) {
  switch (reason) {
    case Refusal::kRecorded: return "ja_cadastrado";
    case Refusal::kUnknownAccount: return "conta_nao_cadastrada";
    case Refusal::kPacket: return "pacote_recusado";
    case Refusal::kUnauthorized: return "nao_autorizado";
    case Refusal::kTooManyGuesses: return "muitas_tentativas";
    case Refusal::kNone: break;
  }
  return "";
}

// A number as Prometheus reads it, in the fewest digits that read back as
// the same value (0.005, not 0.0050000000000000001).
std::string Number(double value) {
  char text[40];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, double value) {
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += ' ';
  out += Number(value);
  out += '\n';
}

}  // namespace

void ServerMetrics::CountCall(const CallSummary& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_[{MethodLabel(call.method), call.outcome}];
  if (call.refusal != Refusal::kNone) ++refusals_[call.refusal];
  if (call.stored_movements >= 0) {
    ++statements_;
    movements_ += static_cast<uint64_t>(call.stored_movements);
  }
  if (call.store) {
    for (size_t i = 0; i < kStoreBuckets.size(); ++i)
      if (call.seconds <= kStoreBuckets[i]) ++store_buckets_[i];
    ++store_count_;
    store_sum_ += call.seconds;
  }
  if (call.database_error) ++database_errors_;
}

void ServerMetrics::CountRefusal(Refusal reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++refusals_[reason];
}

void ServerMetrics::CountDatabaseError() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++database_errors_;
}

void ServerMetrics::CountBytes(size_t in, size_t out) {
  bytes_in_.fetch_add(in, std::memory_order_relaxed);
  bytes_out_.fetch_add(out, std::memory_order_relaxed);
}

std::string ServerMetrics::Text(const ServerGauges& gauges) const {
  std::string out;
  std::lock_guard<std::mutex> lock(mutex_);

  Family(out, "kvr61400_calls_total", "counter",
         "Chamadas JSON-RPC respondidas, por método e resultado (ok, recusada, erro).");
  // Every method shows, also before its first call: a rate needs a start.
  for (const char* method : kMethods)
    for (const char* outcome : {"ok", "recusada", "erro"}) {
      auto found = calls_.find({method, outcome});
      Sample(out, "kvr61400_calls_total",
             std::string("method=\"") + method + "\",outcome=\"" + outcome + "\"",
             found == calls_.end() ? 0 : static_cast<double>(found->second));
    }
  for (const auto& [key, count] : calls_)
    if (key.first == "desconhecido")
      Sample(out, "kvr61400_calls_total",
             "method=\"desconhecido\",outcome=\"" + key.second + "\"", static_cast<double>(count));

  Family(out, "kvr61400_statements_stored_total", "counter", "Extratos gravados.");
  Sample(out, "kvr61400_statements_stored_total", "", static_cast<double>(statements_));
  Family(out, "kvr61400_movements_stored_total", "counter", "Movimentos gravados.");
  Sample(out, "kvr61400_movements_stored_total", "", static_cast<double>(movements_));

  Family(out, "kvr61400_refusals_total", "counter",
         "Recusas, por motivo: extrato já cadastrado, conta não cadastrada, pacote recusado, "
         "chave recusada (401), endereço bloqueado (429).");
  for (Refusal reason : {Refusal::kRecorded, Refusal::kUnknownAccount, Refusal::kPacket,
                         Refusal::kUnauthorized, Refusal::kTooManyGuesses}) {
    auto found = refusals_.find(reason);
    Sample(out, "kvr61400_refusals_total", std::string("reason=\"") + ReasonLabel(reason) + "\"",
           found == refusals_.end() ? 0 : static_cast<double>(found->second));
  }

  Family(out, "kvr61400_store_duration_seconds", "histogram",
         "Duração de SetExtratoBancario que pede a gravação (leitura e gravação).");
  for (size_t i = 0; i < kStoreBuckets.size(); ++i)
    Sample(out, "kvr61400_store_duration_seconds_bucket",
           "le=\"" + Number(kStoreBuckets[i]) + "\"", static_cast<double>(store_buckets_[i]));
  Sample(out, "kvr61400_store_duration_seconds_bucket", "le=\"+Inf\"",
         static_cast<double>(store_count_));
  Sample(out, "kvr61400_store_duration_seconds_sum", "", store_sum_);
  Sample(out, "kvr61400_store_duration_seconds_count", "", static_cast<double>(store_count_));

  Family(out, "kvr61400_request_bytes_total", "counter", "Bytes recebidos nos corpos das requisições.");
  Sample(out, "kvr61400_request_bytes_total", "", static_cast<double>(bytes_in_.load()));
  Family(out, "kvr61400_response_bytes_total", "counter", "Bytes enviados nos corpos das respostas.");
  Sample(out, "kvr61400_response_bytes_total", "", static_cast<double>(bytes_out_.load()));

  Family(out, "kvr61400_database_errors_total", "counter",
         "Falhas do banco de dados (chamadas e consultas de chaves).");
  Sample(out, "kvr61400_database_errors_total", "", static_cast<double>(database_errors_));

  Family(out, "kvr61400_open_connections", "gauge", "Conexões abertas.");
  Sample(out, "kvr61400_open_connections", "", static_cast<double>(gauges.connections));
  Family(out, "kvr61400_requests_in_flight", "gauge", "Requisições em andamento.");
  Sample(out, "kvr61400_requests_in_flight", "", static_cast<double>(gauges.requests));
  Family(out, "kvr61400_memory_budget_bytes", "gauge", "Memória que as requisições podem tomar (--max-memory).");
  Sample(out, "kvr61400_memory_budget_bytes", "", static_cast<double>(gauges.memory_total));
  Family(out, "kvr61400_memory_budget_in_use_bytes", "gauge", "Memória tomada pelas requisições.");
  Sample(out, "kvr61400_memory_budget_in_use_bytes", "", static_cast<double>(gauges.memory_in_use));
  Family(out, "kvr61400_memory_budget_waiting_bytes", "gauge",
         "Memória pedida pelas requisições que esperam por espaço.");
  Sample(out, "kvr61400_memory_budget_waiting_bytes", "",
         static_cast<double>(gauges.memory_waiting));
  Family(out, "kvr61400_memory_budget_waiting_requests", "gauge",
         "Requisições que esperam por memória.");
  Sample(out, "kvr61400_memory_budget_waiting_requests", "",
         static_cast<double>(gauges.waiting_requests));
  return out;
}

}  // namespace kvr::server
