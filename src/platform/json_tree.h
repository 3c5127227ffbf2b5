#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace kvr {

// The JSON text as a tree, read by the wire's strict reader (so a tree is
// only ever built from text that reader accepts) for the few small values a
// caller wants whole: a call's result, a packet in a test. Throws EJsonError
// "JSON inválido: what (byte N)" for text that is not one JSON value, nests
// deeper than 64 levels or repeats a key in an object.
nlohmann::json JsonTree(std::string_view text);

}  // namespace kvr
