#include "rpc/json_handler.h"

#include <utility>

#include "rpc/request_cost.h"

namespace kvr::server {

const char* JsonKindText(JsonKind kind) {
  // In the order of JsonKind.
  static constexpr const char* kTexts[] = {"nulo",     "um booleano", "um número",
                                           "um texto", "uma lista",   "um objeto"};
  return kTexts[static_cast<int>(kind)];
}

// An explicit stack, so that depth costs no native stack.
void EmitJson(const nlohmann::json& root, JsonHandler& handler) {
  struct Frame {
    const nlohmann::json* value;
    nlohmann::json::const_iterator next;
  };
  std::vector<Frame> stack;
  auto open = [&](const nlohmann::json& value) {
    switch (value.type()) {
      case nlohmann::json::value_t::object:
      case nlohmann::json::value_t::array:
        handler.Open(value.is_object() ? JsonKind::kObject : JsonKind::kArray);
        stack.push_back({&value, value.begin()});
        return;
      case nlohmann::json::value_t::string: {
        std::string text = value.get<std::string>();
        handler.String(text);
        return;
      }
      case nlohmann::json::value_t::boolean: handler.Boolean(value.get<bool>()); return;
      case nlohmann::json::value_t::number_integer: handler.Integer(value.get<std::int64_t>()); return;
      case nlohmann::json::value_t::number_unsigned:
        handler.Unsigned(value.get<std::uint64_t>());
        return;
      case nlohmann::json::value_t::number_float: handler.Float(value.get<double>()); return;
      default: handler.Null(); return;
    }
  };
  open(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.value->end()) {
      stack.pop_back();
      handler.Close();
      continue;
    }
    auto item = frame.next++;
    if (frame.value->is_object()) {
      std::string key = item.key();
      handler.Key(key);
    }
    open(*item);
  }
}

nlohmann::json SmallValueBuilder::Take() {
  if (too_large_) return nlohmann::json(nlohmann::json::value_t::discarded);
  return std::move(root_);
}

bool SmallValueBuilder::Spend(size_t bytes) {
  if (too_large_) return false;
  if (bytes > budget_) {
    too_large_ = true;
    stack_.clear();
    root_ = nullptr;
    if (cost_ != nullptr) cost_->Release(std::exchange(charged_, 0));
    return false;
  }
  budget_ -= bytes;
  if (cost_ != nullptr) {
    // A value takes about twice what it counts: the JSON node beside its
    // text, and the room its list grows into.
    cost_->Charge(2 * bytes);
    charged_ += 2 * bytes;
  }
  return true;
}

nlohmann::json& SmallValueBuilder::Place(nlohmann::json value) {
  if (stack_.empty()) return root_ = std::move(value);
  if (stack_.back()->is_array()) return stack_.back()->emplace_back(std::move(value));
  return (*stack_.back())[key_] = std::move(value);
}

void SmallValueBuilder::Put(nlohmann::json value, size_t bytes) {
  if (Spend(bytes)) Place(std::move(value));
}

void SmallValueBuilder::String(std::string& value) {
  const size_t bytes = 16 + value.size();
  Put(std::move(value), bytes);
}

void SmallValueBuilder::Open(JsonKind kind) {
  if (Spend(16))
    stack_.push_back(
        &Place(kind == JsonKind::kObject ? nlohmann::json::object() : nlohmann::json::array()));
}

void SmallValueBuilder::Close() {
  if (!stack_.empty()) stack_.pop_back();
}

void SmallValueBuilder::Key(std::string& key) {
  if (Spend(16 + key.size())) key_ = std::move(key);
}

}  // namespace kvr::server
