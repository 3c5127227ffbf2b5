#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "rpc/json_handler.h"
#include "rpc/packet_reader.h"

namespace kvr::server {

// One positional parameter of a call as the request parser delivers it.
struct CallParam {
  JsonKind kind = JsonKind::kNull;
  // The parameter as JSON when it is small enough to keep (texts, numbers,
  // booleans, small lists and objects); discarded otherwise.
  nlohmann::json value = nlohmann::json(nlohmann::json::value_t::discarded);
  // The rows of a data packet, read as the parameter streamed in.
  std::optional<PacketRows> packet;
};

// How parameters are read: for parameter index of method (nullptr while
// the request has not named its method yet), given the parameters before it,
// a reader that takes the parameter straight into rows, or nullptr to keep
// it as a small JSON value only.
using PacketPlan = std::function<std::unique_ptr<PacketReader>(
    const std::string* method, size_t index, const std::vector<CallParam>& before)>;

// A request body as ParseRequest found it. The first non-empty of
// parse_error and invalid says what is wrong; otherwise the fields hold the
// call.
struct ParsedRequest {
  std::string parse_error;  // not exactly one JSON value
  std::string invalid;      // a JSON value, but not a request the server takes
  bool is_object = false;
  bool has_id = false;
  std::string id = "null";  // the id's JSON text as the answer writes it back: a
                            // number as it came, a text, or null
  bool id_valid = true;     // false: an id of another type, or too long
  bool has_version = false;  // "jsonrpc": "2.0"
  bool has_method = false;  // a text
  std::string method;
  enum class Params { kNone, kList, kOther } params_form = Params::kNone;
  std::vector<CallParam> params;
  size_t extra_params = 0;  // past the method's most, counted and never kept
};

class RequestCost;

// What a request may hold while it is parsed.
struct ParseLimits {
  // The most parameters kept for method (nullptr while the request has not
  // named it); the ones after are counted in extra_params, unread. None: all.
  std::function<size_t(const std::string* method)> max_params;
  // Charged with the parameters, their values and rows as they are built
  // (none: not counted); its BodyError passes.
  RequestCost* cost = nullptr;
};

// The largest nesting of lists and objects a request may have.
constexpr size_t kMaxDepth = 64;

// Parses one request body from body (read through to its end) in one pass,
// without a tree of it: exactly one JSON value (any byte after it, even a
// NUL, is a parse error), at most kMaxDepth levels deep, parameters read as
// plan says, no more of them than limits allow. Lets the BodyError of a body
// that cannot be read (or that has no memory) pass.
ParsedRequest ParseRequest(std::streambuf& body, const PacketPlan& plan,
                           const ParseLimits& limits = {});

}  // namespace kvr::server
