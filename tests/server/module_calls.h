#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rpc/import_module.h"

namespace kvr::testing {

// Runs method of module with params (a JSON array) read as the request
// parser reads a request's parameters.
inline nlohmann::json CallModule(server::ImportModule& module, const std::string& method,
                                 const nlohmann::json& params, server::CallInfo& info) {
  std::vector<server::CallParam> read;
  for (const nlohmann::json& value : params) {
    server::CallParam param;
    switch (value.type()) {
      case nlohmann::json::value_t::object: param.kind = server::JsonKind::kObject; break;
      case nlohmann::json::value_t::array: param.kind = server::JsonKind::kArray; break;
      case nlohmann::json::value_t::string: param.kind = server::JsonKind::kString; break;
      case nlohmann::json::value_t::boolean: param.kind = server::JsonKind::kBoolean; break;
      case nlohmann::json::value_t::null: param.kind = server::JsonKind::kNull; break;
      default: param.kind = server::JsonKind::kNumber; break;
    }
    if (auto reader = server::ImportModule::PacketReaderFor(&method, read.size(), read)) {
      server::EmitJson(value, *reader);
      param.packet = reader->Finish();
    }
    param.value = value;
    read.push_back(std::move(param));
  }
  return module.Call(method, read, info);
}

// ValidExtrato and SetExtratoBancario as a client calls them.
inline bool ValidExtrato(server::ImportModule& module, const nlohmann::json& header,
                         const nlohmann::json& movements) {
  server::CallInfo info;
  return CallModule(module, "ValidExtrato", nlohmann::json::array({header, movements}), info)
      .get<bool>();
}
inline bool SetExtratoBancario(server::ImportModule& module, const nlohmann::json& header,
                               const nlohmann::json& movements, bool valid) {
  server::CallInfo info;
  return CallModule(module, "SetExtratoBancario", nlohmann::json::array({header, movements, valid}),
                    info).get<bool>();
}

}  // namespace kvr::testing
