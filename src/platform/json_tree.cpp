#include "platform/json_tree.h"

#include <string>
#include <vector>

#include "platform/data_packet.h"
#include "wire/utf8.h"

namespace kvr {

nlohmann::json JsonTree(std::string_view text) {
  using Event = JsonReader::Event;
  JsonReader reader(text, 64);
  nlohmann::json root;
  std::vector<nlohmann::json*> open;  // the containers being filled, innermost last
  std::string key;
  // Places value where the reader is: the root, the next item of a list, or
  // the member named by the last key. Returns where it went.
  auto put = [&](nlohmann::json value) -> nlohmann::json& {
    if (open.empty()) return root = std::move(value);
    nlohmann::json& container = *open.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return container.back();
    }
    // A repeated key would leave whichever value came last.
    if (container.contains(key))
      FailJson(reader, "chave \"" + key.substr(0, Utf8Prefix(key, 60)) + "\" repetida");
    return container[key] = std::move(value);
  };
  for (;;) {
    switch (reader.Next()) {
      case Event::kNull: put(nullptr); break;
      case Event::kBoolean: put(reader.Boolean()); break;
      case Event::kInteger: put(reader.Integer()); break;
      case Event::kUnsigned: put(reader.Unsigned()); break;
      case Event::kFloat: put(reader.Float()); break;
      case Event::kString: put(std::move(reader.Text())); break;
      case Event::kKey: key = std::move(reader.Text()); break;
      case Event::kStartObject: open.push_back(&put(nlohmann::json::object())); break;
      case Event::kStartArray: open.push_back(&put(nlohmann::json::array())); break;
      case Event::kEndObject:
      case Event::kEndArray: open.pop_back(); break;
      case Event::kEnd: return root;
      case Event::kError:
      case Event::kTooDeep:
        ThrowJsonError(reader);
    }
  }
}

}  // namespace kvr
