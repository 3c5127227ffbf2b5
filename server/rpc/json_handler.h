#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace kvr::server {

// The JSON kinds a message names.
enum class JsonKind { kNull, kBoolean, kNumber, kString, kArray, kObject };

// "nulo", "um booleano", "um número", "um texto", "uma lista", "um objeto".
const char* JsonKindText(JsonKind kind);

// A receiver of one JSON value as a stream of events, in document order (the
// events JsonReader reads). String and Key may move from their argument.
class JsonHandler {
 public:
  virtual ~JsonHandler() = default;
  virtual void Null() = 0;
  virtual void Boolean(bool value) = 0;
  virtual void Integer(std::int64_t value) = 0;
  virtual void Unsigned(std::uint64_t value) = 0;
  virtual void Float(double value) = 0;
  virtual void String(std::string& value) = 0;
  // A list or an object begins (kind kArray or kObject).
  virtual void Open(JsonKind kind) = 0;
  virtual void Key(std::string& key) = 0;
  // The innermost list or object open ends.
  virtual void Close() = 0;
};

// Sends value to handler as the reader would have.
void EmitJson(const nlohmann::json& value, JsonHandler& handler);

class RequestCost;

// Builds a JSON value from its events as long as it stays small: past about
// max_bytes (texts and keys by their length, other values 16 bytes each) it
// stops building and Value() is discarded. cost, when given, is charged with
// what the value takes as it is built.
class SmallValueBuilder : public JsonHandler {
 public:
  explicit SmallValueBuilder(size_t max_bytes, RequestCost* cost = nullptr)
      : budget_(max_bytes), cost_(cost) {}

  // The value, or a discarded value when it was too large.
  nlohmann::json Take();

  void Null() override { Put(nullptr, 16); }
  void Boolean(bool value) override { Put(value, 16); }
  void Integer(std::int64_t value) override { Put(value, 16); }
  void Unsigned(std::uint64_t value) override { Put(value, 16); }
  void Float(double value) override { Put(value, 16); }
  void String(std::string& value) override;
  void Open(JsonKind kind) override;
  void Key(std::string& key) override;
  void Close() override;

 private:
  bool Spend(size_t bytes);
  // value as the root or in the open container; where it now is.
  nlohmann::json& Place(nlohmann::json value);
  void Put(nlohmann::json value, size_t bytes);

  size_t budget_;
  RequestCost* cost_;
  size_t charged_ = 0;
  bool too_large_ = false;
  nlohmann::json root_;
  std::vector<nlohmann::json*> stack_;
  std::string key_;
};

}  // namespace kvr::server
