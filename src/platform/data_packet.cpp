#include "platform/data_packet.h"

#include <array>
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

void AppendJsonString(std::string& out, std::string_view cp1252) {
  out.push_back('"');
  const char* p = cp1252.data();
  const char* end = p + cp1252.size();
  while (p < end) {
    const char* run = p;
    while (p < end) {
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++p;
    }
    out.append(run, static_cast<std::size_t>(p - run));
    if (p == end) break;
    const unsigned char c = static_cast<unsigned char>(*p++);
    if (c >= 0x80) {
      const HighBytes& high = High();
      out.append(high.utf8[c - 0x80].data(), high.length[c - 0x80]);
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static const char kHex[] = "0123456789abcdef";
      const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(escape, 6);
    }
  }
  out.push_back('"');
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
  bool first = true;
  table.ForEachRow([&](const RowData& row) {
    if (!first) out.push_back(',');
    first = false;
    out.push_back('[');
    RowCursor cursor(row);
    RowCell cell;
    for (int i = 0; i < columns; ++i) {
      if (i > 0) out.push_back(',');
      if (!cursor.Next(cell) || cell.kind == RowCell::Null) {
        out += "null";
      } else if (cell.kind == RowCell::Text) {
        AppendJsonString(out, cell.text);
      } else if (types[static_cast<std::size_t>(i)] == TFieldType::ftDateTime) {
        out.push_back('"');
        AppendDateTime(out, DecodeDateTime(cell.number));
        out.push_back('"');
      } else {
        AppendNumber(out, cell.number);
      }
    }
    out.push_back(']');
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
