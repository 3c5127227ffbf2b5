#include "request_parser.h"

#include <istream>

namespace kvr::server {

namespace {

// Texts and lists kept as a parameter's JSON value: enough for any
// parameter that is not a packet.
constexpr size_t kSmallParam = 1024 * 1024;
// The longest id the server echoes back.
constexpr size_t kMaxIdLength = 256;

const char* const kNotJson = "A requisição não é um JSON válido.";

// Forwards the events of one parameter to its packet reader and its value
// builder, whichever it has.
class ParamSinks {
 public:
  std::unique_ptr<PacketReader> reader;
  std::unique_ptr<SmallValueBuilder> builder;

  template <typename F>
  void Each(F f) {
    if (reader) f(*reader);
    if (builder) f(*builder);
  }
  // Texts may be moved by a sink: the builder gets a copy when the reader
  // wants the text too.
  void String(std::string& text) {
    if (builder && reader) {
      std::string copy = text;
      builder->String(copy);
    } else if (builder) {
      builder->String(text);
    }
    if (reader) reader->String(text);
  }
  void Key(std::string& key) {
    if (builder && reader) {
      std::string copy = key;
      builder->Key(copy);
    } else if (builder) {
      builder->Key(key);
    }
    if (reader) reader->Key(key);
  }
};

class RequestHandler {
 public:
  using json = nlohmann::json;

  RequestHandler(ParsedRequest& out, const PacketPlan& plan) : out_(out), plan_(plan) {}

  bool null() { return Scalar(JsonKind::kNull, [](JsonSink& s) { s.Null(); }); }
  bool boolean(bool value) {
    return Scalar(JsonKind::kBoolean, [value](JsonSink& s) { s.Boolean(value); });
  }
  bool number_integer(json::number_integer_t value) {
    return Scalar(JsonKind::kNumber, [value](JsonSink& s) { s.Integer(value); }, json(value));
  }
  bool number_unsigned(json::number_unsigned_t value) {
    return Scalar(JsonKind::kNumber, [value](JsonSink& s) { s.Unsigned(value); }, json(value));
  }
  bool number_float(json::number_float_t value, const json::string_t&) {
    return Scalar(JsonKind::kNumber, [value](JsonSink& s) { s.Float(value); }, json(value));
  }
  bool string(json::string_t& value) {
    return Scalar(JsonKind::kString, [&value](JsonSink& s) { s.String(value); }, json(), &value);
  }
  bool binary(json::binary_t&) { return Fail(kNotJson); }

  bool start_object(std::size_t) { return Open(JsonKind::kObject); }
  bool start_array(std::size_t) { return Open(JsonKind::kArray); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(json::string_t& key) {
    if (param_ && depth_ > 2) {
      param_->Key(key);
      return true;
    }
    if (depth_ != 1 || !out_.is_object) return true;
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
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return Fail(kNotJson);
  }

 private:
  enum class Member { kVersion, kId, kMethod, kParams, kOther };

  bool Fail(const std::string& message) {
    if (out_.parse_error.empty()) out_.parse_error = message;
    return false;
  }

  // A value that is not a list or an object, at any place.
  template <typename Emit>
  bool Scalar(JsonKind kind, Emit emit, json value = json(), std::string* text = nullptr) {
    auto forward = [&] {
      if (text != nullptr)
        param_->String(*text);
      else
        param_->Each(emit);
    };
    if (param_ && depth_ > 2) {
      forward();
      return true;
    }
    if (depth_ == 0) return true;  // the whole body is one scalar: not an object
    if (depth_ == 2 && in_params_) {
      BeginParam(kind);
      forward();
      EndParam();
      return true;
    }
    if (depth_ != 1 || !out_.is_object) return true;
    switch (member_) {
      case Member::kVersion:
        out_.has_version = text != nullptr && *text == "2.0";
        break;
      case Member::kId:
        out_.has_id = true;
        if (text != nullptr) {
          if (text->size() > kMaxIdLength) {
            out_.id_valid = false;
            out_.id = nullptr;
          } else {
            out_.id = std::move(*text);
          }
        } else if (kind == JsonKind::kNumber) {
          out_.id = std::move(value);
        } else if (kind == JsonKind::kNull) {
          out_.id = nullptr;
        } else {
          out_.id_valid = false;
          out_.id = nullptr;
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
    return true;
  }

  bool Open(JsonKind kind) {
    if (depth_ >= kMaxDepth) {
      out_.invalid = "A requisição passa de " + std::to_string(kMaxDepth) +
                     " níveis de listas e objetos.";
      return false;
    }
    if (param_ && depth_ > 2) {
      ++depth_;
      if (kind == JsonKind::kObject)
        param_->Each([](JsonSink& s) { s.StartObject(); });
      else
        param_->Each([](JsonSink& s) { s.StartArray(); });
      return true;
    }
    if (depth_ == 0) {
      out_.is_object = kind == JsonKind::kObject;
    } else if (depth_ == 2 && in_params_) {
      BeginParam(kind);
      ++depth_;
      if (kind == JsonKind::kObject)
        param_->Each([](JsonSink& s) { s.StartObject(); });
      else
        param_->Each([](JsonSink& s) { s.StartArray(); });
      return true;
    } else if (depth_ == 1 && out_.is_object) {
      switch (member_) {
        case Member::kId:
          out_.has_id = true;
          out_.id_valid = false;
          out_.id = nullptr;
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
    return true;
  }

  bool Close() {
    --depth_;
    if (param_ && depth_ >= 2) {
      // Which end: the sinks track their own nesting, and both kinds of
      // end close whatever is open.
      param_->Each([](JsonSink& s) { s.EndArray(); });
      if (depth_ == 2) EndParam();
      return true;
    }
    if (depth_ == 1 && in_params_) in_params_ = false;
    return true;
  }

  void BeginParam(JsonKind kind) {
    param_ = std::make_unique<ParamSinks>();
    param_kind_ = kind;
    const size_t index = out_.params.size();
    param_->reader = plan_(method_known_ ? &out_.method : nullptr, index, out_.params);
    // A packet reader alone when the method is known; while it is not, keep
    // the value too in case the method wants it.
    if (!param_->reader || !method_known_)
      param_->builder = std::make_unique<SmallValueBuilder>(kSmallParam);
  }

  void EndParam() {
    CallParam param;
    param.kind = param_kind_;
    if (param_->builder) param.value = param_->builder->Take();
    if (param_->reader) param.packet = param_->reader->Finish();
    out_.params.push_back(std::move(param));
    param_.reset();
  }

  ParsedRequest& out_;
  const PacketPlan& plan_;
  size_t depth_ = 0;
  Member member_ = Member::kOther;
  unsigned seen_ = 0;
  bool in_params_ = false;
  bool method_known_ = false;
  std::unique_ptr<ParamSinks> param_;
  JsonKind param_kind_ = JsonKind::kNull;
};

}  // namespace

ParsedRequest ParseRequest(std::streambuf& body, const PacketPlan& plan) {
  ParsedRequest out;
  RequestHandler handler(out, plan);
  std::istream stream(&body);
  const bool parsed = nlohmann::json::sax_parse(stream, &handler);
  if (parsed && body.sgetc() != std::streambuf::traits_type::eof() && out.parse_error.empty())
    out.parse_error = kNotJson;
  if (!parsed && out.parse_error.empty() && out.invalid.empty()) out.parse_error = kNotJson;
  return out;
}

}  // namespace kvr::server
