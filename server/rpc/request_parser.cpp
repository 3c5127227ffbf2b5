#include "rpc/request_parser.h"

#include <algorithm>

#include "rpc/request_cost.h"
#include "wire/json_reader.h"

namespace kvr::server {

namespace {

// Texts and lists kept as a parameter's JSON value: enough for any
// parameter that is not a packet.
constexpr size_t kSmallParam = 1024 * 1024;
// The longest id the server echoes back.
constexpr size_t kMaxIdLength = 256;

// Forwards the events of one parameter to its packet reader and its value
// builder, whichever it has.
class ParamHandlers {
 public:
  std::unique_ptr<PacketReader> reader;
  std::unique_ptr<SmallValueBuilder> builder;

  template <typename F>
  void Each(F f) {
    if (reader) f(*reader);
    if (builder) f(*builder);
  }
  void String(std::string& text) {
    Text(text, [](JsonHandler& s, std::string& t) { s.String(t); });
  }
  void Key(std::string& key) {
    Text(key, [](JsonHandler& s, std::string& t) { s.Key(t); });
  }

 private:
  // Texts may be moved by a handler: the builder gets a copy when the reader
  // wants the text too.
  template <typename Give>
  void Text(std::string& text, Give give) {
    if (builder) {
      std::string copy;
      give(*builder, reader ? (copy = text) : text);
    }
    if (reader) give(*reader, text);
  }
};

class RequestHandler {
 public:
  // reader is the one whose events the handler gets; it must outlive it.
  RequestHandler(ParsedRequest& out, const PacketPlan& plan, const ParseLimits& limits,
                 const JsonReader& reader)
      : out_(out), plan_(plan), limits_(limits), reader_(reader) {}

  void Null() { Scalar(JsonKind::kNull, [](JsonHandler& s) { s.Null(); }); }
  void Boolean(bool value) {
    Scalar(JsonKind::kBoolean, [value](JsonHandler& s) { s.Boolean(value); });
  }
  void Integer(std::int64_t value) {
    Scalar(JsonKind::kNumber, [value](JsonHandler& s) { s.Integer(value); });
  }
  void Unsigned(std::uint64_t value) {
    Scalar(JsonKind::kNumber, [value](JsonHandler& s) { s.Unsigned(value); });
  }
  void Float(double value) {
    Scalar(JsonKind::kNumber, [value](JsonHandler& s) { s.Float(value); });
  }
  void String(std::string& value) {
    Scalar(JsonKind::kString, [&value](JsonHandler& s) { s.String(value); }, &value);
  }
  void Key(std::string& key) {
    if (param_ && depth_ > 2) {
      param_->Key(key);
      return;
    }
    if (depth_ != 1 || !out_.is_object) return;
    member_ = Member::kOther;
    if (key == "jsonrpc") member_ = Member::kVersion;
    if (key == "id") member_ = Member::kId;
    if (key == "method") member_ = Member::kMethod;
    if (key == "params") member_ = Member::kParams;
    if (member_ != Member::kOther) {
      const unsigned bit = 1u << static_cast<unsigned>(member_);
      if ((seen_ & bit) != 0 && out_.invalid.empty())
        out_.invalid = "A requisição repete o membro \"" + key + "\".";
      seen_ |= bit;
    }
  }

  void Open(JsonKind kind) {
    // A parameter is open exactly while depth_ > 2.
    if (depth_ == 2 && in_params_) BeginParam(kind);
    if (param_) {
      ++depth_;
      param_->Each([kind](JsonHandler& s) { s.Open(kind); });
      return;
    }
    if (depth_ == 0) {
      out_.is_object = kind == JsonKind::kObject;
    } else if (depth_ == 1 && out_.is_object) {
      switch (member_) {
        case Member::kId:
          out_.has_id = true;
          out_.id_valid = false;
          out_.id = "null";
          break;
        case Member::kMethod:
          out_.has_method = false;
          break;
        case Member::kVersion:
          out_.has_version = false;
          break;
        case Member::kParams:
          if (kind == JsonKind::kArray && out_.params_form == ParsedRequest::Params::kNone) {
            out_.params_form = ParsedRequest::Params::kList;
            in_params_ = true;
          } else {
            out_.params_form = ParsedRequest::Params::kOther;
          }
          break;
        case Member::kOther:
          break;
      }
    }
    ++depth_;
  }

  void Close() {
    --depth_;
    if (param_ && depth_ >= 2) {
      param_->Each([](JsonHandler& s) { s.Close(); });
      if (depth_ == 2) EndParam();
      return;
    }
    if (depth_ == 1 && in_params_) in_params_ = false;
  }

 private:
  enum class Member { kVersion, kId, kMethod, kParams, kOther };

  // A value that is not a list or an object, at any place.
  template <typename Emit>
  void Scalar(JsonKind kind, Emit emit, std::string* text = nullptr) {
    auto forward = [&] {
      if (text != nullptr)
        param_->String(*text);
      else
        param_->Each(emit);
    };
    if (param_ && depth_ > 2) {
      forward();
      return;
    }
    if (depth_ == 0) return;  // the whole body is one scalar: not an object
    if (depth_ == 2 && in_params_) {
      BeginParam(kind);
      forward();
      EndParam();
      return;
    }
    if (depth_ != 1 || !out_.is_object) return;
    switch (member_) {
      case Member::kVersion:
        out_.has_version = text != nullptr && *text == "2.0";
        break;
      case Member::kId:
        out_.has_id = true;
        out_.id = "null";
        if (text != nullptr && text->size() <= kMaxIdLength) {
          out_.id = nlohmann::json(std::move(*text)).dump();
        } else if (kind == JsonKind::kNumber && reader_.NumberText().size() <= kMaxIdLength) {
          // The number's own text: read into a double, a large integer or
          // a decimal would come back as another number.
          out_.id = reader_.NumberText();
        } else if (kind != JsonKind::kNull) {
          out_.id_valid = false;
        }
        break;
      case Member::kMethod:
        out_.has_method = text != nullptr;
        if (text != nullptr) {
          out_.method = std::move(*text);
          method_known_ = true;
        }
        break;
      case Member::kParams:
        out_.params_form = ParsedRequest::Params::kOther;
        break;
      case Member::kOther:
        break;
    }
  }

  void BeginParam(JsonKind kind) {
    // The handlers of a parameter dropped before serve the next one: a body
    // of millions of them allocates nothing per parameter.
    param_ = spare_ ? std::move(spare_) : std::make_unique<ParamHandlers>();
    param_kind_ = kind;
    const size_t index = out_.params.size();
    const std::string* method = method_known_ ? &out_.method : nullptr;
    // One past the most the method takes: counted, and read into nothing.
    if (limits_.max_params && index >= limits_.max_params(method)) return;
    param_->reader = plan_(method, index, out_.params);
    if (param_->reader) param_->reader->SetCost(limits_.cost);
    // A packet reader alone when the method is known; while it is not, keep
    // the value too in case the method wants it.
    if (!param_->reader || !method_known_)
      param_->builder = std::make_unique<SmallValueBuilder>(kSmallParam, limits_.cost);
  }

  void EndParam() {
    if (!param_->reader && !param_->builder) {
      ++out_.extra_params;
      spare_ = std::move(param_);
      return;
    }
    if (limits_.cost != nullptr && out_.params.size() == out_.params.capacity())
      limits_.cost->Charge(sizeof(CallParam) * std::max<size_t>(out_.params.capacity(), 1));
    CallParam param;
    param.kind = param_kind_;
    if (param_->builder) param.value = param_->builder->Take();
    if (param_->reader) param.packet = param_->reader->Finish();
    out_.params.push_back(std::move(param));
    param_.reset();
  }

  ParsedRequest& out_;
  const PacketPlan& plan_;
  const ParseLimits& limits_;
  const JsonReader& reader_;
  size_t depth_ = 0;
  Member member_ = Member::kOther;
  unsigned seen_ = 0;
  bool in_params_ = false;
  bool method_known_ = false;
  std::unique_ptr<ParamHandlers> param_, spare_;
  JsonKind param_kind_ = JsonKind::kNull;
};

}  // namespace

ParsedRequest ParseRequest(std::streambuf& body, const PacketPlan& plan,
                           const ParseLimits& limits) {
  ParsedRequest out;
  JsonReader reader(body, kMaxDepth);
  RequestHandler handler(out, plan, limits, reader);
  for (;;) {
    switch (reader.Next()) {
      case JsonReader::Event::kNull: handler.Null(); break;
      case JsonReader::Event::kBoolean: handler.Boolean(reader.Boolean()); break;
      case JsonReader::Event::kInteger: handler.Integer(reader.Integer()); break;
      case JsonReader::Event::kUnsigned: handler.Unsigned(reader.Unsigned()); break;
      case JsonReader::Event::kFloat: handler.Float(reader.Float()); break;
      case JsonReader::Event::kString: handler.String(reader.Text()); break;
      case JsonReader::Event::kKey: handler.Key(reader.Text()); break;
      case JsonReader::Event::kStartObject: handler.Open(JsonKind::kObject); break;
      case JsonReader::Event::kStartArray: handler.Open(JsonKind::kArray); break;
      case JsonReader::Event::kEndObject:
      case JsonReader::Event::kEndArray: handler.Close(); break;
      case JsonReader::Event::kEnd: return out;
      case JsonReader::Event::kError:
        out.parse_error = "A requisição não é um JSON válido.";
        return out;
      case JsonReader::Event::kTooDeep:
        out.invalid = "A requisição passa de " + std::to_string(kMaxDepth) +
                      " níveis de listas e objetos.";
        return out;
    }
  }
}

}  // namespace kvr::server
