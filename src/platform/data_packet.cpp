#include "platform/data_packet.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/cell_values.h"
#include "platform/client_dataset.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/json_tree.h"
#include "wire/packet_format.h"

namespace kvr {

namespace {

// UTF-8 of the Windows-1252 bytes 0x80 to 0xFF.
struct HighBytes {
  std::array<std::array<char, 4>, 128> utf8{};
  std::array<unsigned char, 128> length{};
  HighBytes() {
    for (int b = 0x80; b <= 0xFF; ++b) {
      const char c = static_cast<char>(b);
      const std::string u = Cp1252ToUtf8(std::string_view(&c, 1));
      length[b - 0x80] = static_cast<unsigned char>(u.size());
      std::memcpy(utf8[b - 0x80].data(), u.data(), u.size());
    }
  }
};

const HighBytes& High() {
  static const HighBytes table;
  return table;
}

FieldType WireType(TFieldType t) {
  return t == TFieldType::ftFloat      ? FieldType::kFloat
         : t == TFieldType::ftDateTime ? FieldType::kDateTime
                                       : FieldType::kString;
}

TFieldType TableType(FieldType t) {
  return t == FieldType::kFloat      ? TFieldType::ftFloat
         : t == FieldType::kDateTime ? TFieldType::ftDateTime
                                     : TFieldType::ftString;
}

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

[[noreturn]] void BadPacket(const std::string& what) {
  throw EDatabaseError("Pacote de dados inválido: " + what + ".");
}

}  // namespace

namespace {

// The most bytes PutJsonString writes for a text of n bytes: every byte a
// control character written as \u00XX, and the quotes.
constexpr std::size_t JsonStringBound(std::size_t n) { return 6 * n + 2; }

// True when one of the eight bytes of word is below 0x20, from 0x80 up, '"'
// or '\\' (exact as a whole: a byte's borrow reaches only bytes above one
// that is found).
constexpr bool NeedsEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  const std::uint64_t control = (word - 0x20 * kOnes) & ~word & kHigh;
  return ((word & kHigh) | control | zero_byte(word ^ ('"' * kOnes)) | zero_byte(word ^ ('\\' * kOnes))) != 0;
}

// Writes a Windows-1252 text as a quoted JSON string in UTF-8 at o, which
// has room for JsonStringBound(size); returns the end of what it wrote.
char* PutJsonString(char* o, std::string_view cp1252) {
  *o++ = '"';
  const char* p = cp1252.data();
  const char* end = p + cp1252.size();
  while (p < end) {
    const char* run = p;
    // Eight bytes at a time while none needs escaping (o has room for them:
    // each byte may take six).
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (NeedsEscape(word)) break;
      p += 8;
    }
    while (p < end) {
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++p;
    }
    std::memcpy(o, run, static_cast<std::size_t>(p - run));
    o += p - run;
    if (p == end) break;
    const unsigned char c = static_cast<unsigned char>(*p++);
    if (c >= 0x80) {
      const HighBytes& high = High();
      std::memcpy(o, high.utf8[c - 0x80].data(), 4);
      o += high.length[c - 0x80];
    } else if (c == '"' || c == '\\') {
      *o++ = '\\';
      *o++ = static_cast<char>(c);
    } else if (c == '\n' || c == '\r' || c == '\t') {
      *o++ = '\\';
      *o++ = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
    } else {
      static const char kHex[] = "0123456789abcdef";
      const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      std::memcpy(o, escape, 6);
      o += 6;
    }
  }
  *o++ = '"';
  return o;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view cp1252) {
  const std::size_t size = out.size();
  out.resize(size + JsonStringBound(cp1252.size()));
  out.resize(static_cast<std::size_t>(PutJsonString(out.data() + size, cp1252) - out.data()));
}

bool IsoToDate(std::string_view text, TDateTime& out) {
  DateTimeParts p;
  if (!ParseDateTime(text, p)) return false;
  try {
    out = EncodeDate(p.year, p.month, p.day) + (((p.hour * 60 + p.minute) * 60 + p.second) * 1000 + p.millis) / 86400000.0;
  } catch (const EConvertError&) {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- writing
namespace {

// Writes the rows of a packet, a million for a large statement: each row
// straight into the output's memory, once its size is bounded, instead of a
// call per piece; the text of the date last written kept, since a
// statement's rows come by date; a money amount's digits written from its
// cents. The text is what AppendJsonString, AppendDateTime and AppendNumber
// write.
class PacketRowWriter {
 public:
  explicit PacketRowWriter(const std::vector<TFieldType>& types) : types_(types) {}

  // Appends the row as a JSON list to out, after a comma unless first.
  void Write(std::string& out, const RowData& row, bool first) {
    std::size_t bound = 3;  // the comma and the brackets
    RowCursor sizes(row);
    RowCell cell;
    for (std::size_t i = 0; i < types_.size(); ++i) {
      if (sizes.Next(cell) && cell.kind == RowCell::Text)
        bound += JsonStringBound(cell.text.size()) + 1;
      else
        bound += kValueBound + 1;
    }
    const std::size_t size = out.size();
    out.resize(size + bound);
    char* o = out.data() + size;
    if (!first) *o++ = ',';
    *o++ = '[';
    RowCursor cursor(row);
    for (std::size_t i = 0; i < types_.size(); ++i) {
      if (i > 0) *o++ = ',';
      if (!cursor.Next(cell) || cell.kind == RowCell::Null) {
        std::memcpy(o, "null", 4);
        o += 4;
      } else if (cell.kind == RowCell::Text) {
        o = PutJsonString(o, cell.text);
      } else if (types_[i] == TFieldType::ftDateTime) {
        o = PutDate(o, cell.number);
      } else {
        o = PutNumber(o, cell.number);
      }
    }
    *o++ = ']';
    out.resize(static_cast<std::size_t>(o - out.data()));
  }

 private:
  // The most bytes of a number, a date in quotes or null.
  static constexpr std::size_t kValueBound = 40;

  char* PutDate(char* o, double value) {
    if (!have_date_ || std::bit_cast<std::uint64_t>(value) != date_bits_) {
      date_text_.assign(1, '"');
      AppendDateTime(date_text_, DecodeDateTime(value));
      date_text_.push_back('"');
      date_bits_ = std::bit_cast<std::uint64_t>(value);
      have_date_ = true;
    }
    std::memcpy(o, date_text_.data(), date_text_.size());
    return o + date_text_.size();
  }

  // AppendNumber's text. A value whose shortest decimal is a whole number of
  // cents, not a whole number, under a trillion, is that decimal
  // written plainly (no shorter text reads back as the same double, and the
  // exponent form is longer); anything else is AppendNumber's.
  char* PutNumber(char* o, double value) {
    if (std::fabs(value) < 1e12) {
      const long long cents = std::llround(value * 100);
      if (cents % 100 != 0 && static_cast<double>(cents) / 100 == value) {
        unsigned long long rest = static_cast<unsigned long long>(cents < 0 ? -cents : cents);
        if (cents < 0) *o++ = '-';
        const unsigned fraction = static_cast<unsigned>(rest % 100);
        rest /= 100;
        char digits[20];
        int n = 0;
        do {
          digits[n++] = static_cast<char>('0' + rest % 10);
          rest /= 10;
        } while (rest != 0);
        while (n > 0) *o++ = digits[--n];
        *o++ = '.';
        *o++ = static_cast<char>('0' + fraction / 10);
        if (fraction % 10 != 0) *o++ = static_cast<char>('0' + fraction % 10);
        return o;
      }
    }
    number_text_.clear();
    AppendNumber(number_text_, value);
    std::memcpy(o, number_text_.data(), number_text_.size());
    return o + number_text_.size();
  }

  const std::vector<TFieldType>& types_;
  // The bits of the date last written, and its text.
  bool have_date_ = false;
  std::uint64_t date_bits_ = 0;
  std::string date_text_;
  std::string number_text_;
};

}  // namespace


void WriteDataPacket(TClientDataSet& table, JsonSink& sink) {
  if (!table.Active()) throw EDatabaseError("A tabela não está aberta.");
  std::string& out = sink.text;
  const int columns = table.FieldCount();
  std::vector<TFieldType> types;
  out += "{\"fields\":[";
  for (int i = 0; i < columns; ++i) {
    const TField& f = table.Fields(i);
    types.push_back(f.DataType());
    if (i > 0) out.push_back(',');
    out += "{\"name\":";
    AppendJsonString(out, f.FieldName());
    out += ",\"type\":\"";
    out += FieldTypeName(WireType(f.DataType()));
    out.push_back('"');
    if (f.DataType() == TFieldType::ftString) {
      out += ",\"size\":";
      out += std::to_string(f.Size());
    }
    out.push_back('}');
  }
  out += "],\"rows\":[";
  PacketRowWriter writer(types);
  bool first = true;
  table.ForEachRow([&](const RowData& row) {
    writer.Write(out, row, first);
    first = false;
    sink.Spill();
  });
  out += "]}";
}

nlohmann::json TClientDataSet::GetData() {
  JsonSink sink;
  WriteDataPacket(*this, sink);
  return JsonTree(sink.text);
}

// ---------------------------------------------------------------- reading

namespace {

using Event = JsonReader::Event;

// Packets nest three levels (packet, rows, row); the reader allows as many
// as a server reply.
constexpr std::size_t kMaxDepth = 64;

bool IsNumber(Event e) { return e == Event::kInteger || e == Event::kUnsigned || e == Event::kFloat; }

std::vector<TFieldDef> ReadFields(JsonReader& r) {
  std::vector<TFieldDef> defs;
  std::size_t column = 0;
  for (Event t = NextJsonEvent(r); t != Event::kEndArray; t = NextJsonEvent(r)) {
    ++column;
    const std::string where = "coluna " + std::to_string(column);
    if (t != Event::kStartObject) BadPacket(where + " não é um objeto");
    TFieldDef fd;
    bool has_name = false, has_type = false, size_ok = true;
    std::string type_name;
    for (Event k = NextJsonEvent(r); k != Event::kEndObject; k = NextJsonEvent(r)) {
      const std::string key = std::move(r.Text());
      const Event v = NextJsonEvent(r);
      if (key == "name") {
        has_name = v == Event::kString && !r.Text().empty();
        if (has_name) fd.Name = Utf8ToCp1252(r.Text());
      } else if (key == "type") {
        has_type = v == Event::kString;
        if (has_type) type_name = r.Text();
      } else if (key == "size") {
        size_ok = v == Event::kUnsigned && r.Unsigned() <= 1000000;
        fd.Size = size_ok ? static_cast<int>(r.Unsigned()) : 0;
      }
      SkipJsonValue(r, v);
    }
    if (!has_name) BadPacket(where + " sem nome");
    if (!has_type) BadPacket(where + " sem tipo");
    FieldType type;
    if (!FieldTypeOfName(type_name, type))
      BadPacket(where + " (" + Cp1252ToUtf8(fd.Name) + "): tipo \"" + type_name + "\" desconhecido");
    fd.DataType = TableType(type);
    if (type != FieldType::kString)
      fd.Size = 0;
    else if (!size_ok)
      BadPacket(where + " (" + Cp1252ToUtf8(fd.Name) + "): tamanho inválido");
    defs.push_back(std::move(fd));
  }
  if (defs.empty()) BadPacket("nenhuma coluna definida");
  for (std::size_t i = 0; i < defs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j)
      if (EqualAscii(defs[i].Name, defs[j].Name))
        BadPacket("coluna " + std::to_string(i + 1) + " (" + Cp1252ToUtf8(defs[i].Name) +
                  ") definida duas vezes");
  }
  return defs;
}

// Reads the rows array (its "[" already read) into packed rows.
std::vector<RowData> ReadRows(JsonReader& r, const std::vector<TFieldDef>& defs) {
  std::vector<RowData> rows;
  RowBuilder builder;
  std::string converted;
  std::size_t line = 0;
  for (Event t = NextJsonEvent(r); t != Event::kEndArray; t = NextJsonEvent(r)) {
    ++line;
    if (t != Event::kStartArray) BadPacket("linha " + std::to_string(line) + " não é uma lista");
    std::size_t i = 0;
    for (Event v = NextJsonEvent(r); v != Event::kEndArray; v = NextJsonEvent(r), ++i) {
      if (i >= defs.size()) {
        SkipJsonValue(r, v);
        continue;
      }
      const TFieldDef& fd = defs[i];
      auto at = [&] { return "linha " + std::to_string(line) + ", coluna " + Cp1252ToUtf8(fd.Name); };
      if (v == Event::kNull) {
        builder.AddNull();
        continue;
      }
      switch (fd.DataType) {
        case TFieldType::ftString: {
          if (v != Event::kString) BadPacket(at() + ": esperado um texto");
          std::string_view text = r.Text();
          if (!IsAscii(text)) {
            converted = Utf8ToCp1252(text);
            text = converted;
          }
          if (fd.Size > 0 && text.size() > static_cast<std::size_t>(fd.Size))
            text = text.substr(0, static_cast<std::size_t>(fd.Size));
          builder.AddText(text);
          break;
        }
        case TFieldType::ftFloat:
          if (!IsNumber(v)) BadPacket(at() + ": esperado um número");
          builder.AddNumber(r.Number());
          break;
        case TFieldType::ftDateTime: {
          if (v != Event::kString) BadPacket(at() + ": esperada uma data");
          TDateTime d = 0;
          if (!IsoToDate(r.Text(), d))
            BadPacket(at() + ": data \"" + r.Text() + "\" inválida");
          builder.AddNumber(d);
          break;
        }
      }
    }
    if (i != defs.size())
      BadPacket("linha " + std::to_string(line) + " tem " + std::to_string(i) + " valores para " +
                std::to_string(defs.size()) + " colunas");
    rows.push_back(builder.Finish());
  }
  return rows;
}

// Reads the packet, all of source, into defs and rows without touching any
// table.
void ParsePacket(std::string_view source, std::vector<TFieldDef>& defs,
                 std::vector<RowData>& rows) {
  JsonReader reader(source, kMaxDepth);
  const Event first = NextJsonEvent(reader);
  if (first != Event::kStartObject) {
    SkipJsonValue(reader, first);
    BadPacket("não é um objeto JSON");
  }
  bool fields_array = false, rows_array = false, rows_read = false;
  std::size_t fields_begin = 0, fields_end = 0, rows_begin = 0, rows_end = 0;
  // A list seen before it can be read, read again from its text.
  auto read_span = [&](std::size_t begin, std::size_t end, auto read) {
    JsonReader sub(source.substr(begin, end - begin), kMaxDepth);
    NextJsonEvent(sub);
    return read(sub);
  };
  auto read_fields = [&] { return read_span(fields_begin, fields_end, ReadFields); };
  for (Event k = NextJsonEvent(reader); k != Event::kEndObject; k = NextJsonEvent(reader)) {
    const std::string key = std::move(reader.Text());
    const Event v = NextJsonEvent(reader);
    if (key == "fields") {
      fields_array = v == Event::kStartArray;
      fields_begin = reader.EventOffset();
      fields_end = SkipJsonValue(reader, v);
    } else if (key == "rows") {
      rows_array = v == Event::kStartArray;
      if (rows_array && fields_array) {
        // The usual order: the columns are known, the rows go straight in.
        defs = read_fields();
        rows = ReadRows(reader, defs);
        rows_read = true;
      } else {
        rows_begin = reader.EventOffset();
        rows_end = SkipJsonValue(reader, v);
        rows_read = false;
      }
    } else {
      SkipJsonValue(reader, v);
    }
  }
  if (!fields_array) BadPacket("falta a lista \"fields\"");
  if (!rows_array) BadPacket("falta a lista \"rows\"");
  if (!rows_read) {
    defs = read_fields();
    rows = read_span(rows_begin, rows_end, [&](JsonReader& sub) { return ReadRows(sub, defs); });
  }
  // Nothing may follow the packet.
  NextJsonEvent(reader);
}

}  // namespace

void ThrowJsonError(const JsonReader& reader) {
  throw EJsonError("JSON inválido: " + reader.ErrorText() + " (byte " +
                   std::to_string(reader.ErrorOffset() + 1) + ")");
}

std::size_t SkipJsonValue(JsonReader& reader, Event first) {
  if (!reader.SkipValue(first)) NextJsonEvent(reader);
  return reader.Offset();
}

void FailJson(const JsonReader& reader, const std::string& what) {
  throw EJsonError("JSON inválido: " + what + " (byte " + std::to_string(reader.EventOffset() + 1) + ")");
}

void TClientDataSet::SetData(std::string_view packet_text) {
  std::vector<TFieldDef> defs;
  std::vector<RowData> rows;
  try {
    ParsePacket(packet_text, defs, rows);
  } catch (const EJsonError& e) {
    BadPacket(e.what());
  }
  ReplaceData(defs, std::move(rows));
}

void TClientDataSet::SetData(const nlohmann::json& packet) { SetData(std::string_view(packet.dump())); }

}  // namespace kvr
