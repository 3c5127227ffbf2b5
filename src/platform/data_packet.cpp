#include "platform/data_packet.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/client_dataset.h"
#include "platform/encoding.h"
#include "platform/errors.h"

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

const char* TypeName(TFieldType t) {
  switch (t) {
    case TFieldType::ftString: return "string";
    case TFieldType::ftDateTime: return "datetime";
    case TFieldType::ftFloat: return "float";
  }
  return "string";
}

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

[[noreturn]] void BadPacket(const std::string& what) {
  throw EDatabaseError("Pacote de dados inv\xE1lido: " + what + ".");
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

void AppendJsonNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[40];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  const std::size_t n = static_cast<std::size_t>(result.ptr - buf);
  out.append(buf, n);
  if (std::memchr(buf, '.', n) == nullptr && std::memchr(buf, 'e', n) == nullptr) out += ".0";
}

std::string DateToIso(TDateTime value) {
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  long long ms = std::llround((value - std::floor(value)) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  char buf[24];
  auto put = [&buf](int at, long long v, int width) {
    for (int i = width - 1; i >= 0; --i) {
      buf[at + i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
  };
  put(0, y, 4);
  buf[4] = '-';
  put(5, m, 2);
  buf[7] = '-';
  put(8, d, 2);
  buf[10] = 'T';
  put(11, ms / 3600000, 2);
  buf[13] = ':';
  put(14, ms / 60000 % 60, 2);
  buf[16] = ':';
  put(17, ms / 1000 % 60, 2);
  if (ms % 1000 == 0) return std::string(buf, 19);
  buf[19] = '.';
  put(20, ms % 1000, 3);
  return std::string(buf, 23);
}

bool IsoToDate(std::string_view s, TDateTime& out) {
  auto digits = [&](size_t at, size_t n, int& v) {
    if (at + n > s.size()) return false;
    v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      v = v * 10 + (s[i] - '0');
    }
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0, ms = 0;
  if (!digits(0, 4, y) || s.size() < 10 || s[4] != '-' || !digits(5, 2, mo) || s[7] != '-' || !digits(8, 2, d))
    return false;
  size_t i = 10;
  if (i < s.size()) {
    if (s[i] != 'T' && s[i] != ' ') return false;
    if (!digits(i + 1, 2, h) || s.size() < i + 9 || s[i + 3] != ':' || !digits(i + 4, 2, mi) ||
        s[i + 6] != ':' || !digits(i + 7, 2, se))
      return false;
    i += 9;
    if (i < s.size()) {
      if (s[i] != '.' || !digits(i + 1, 3, ms) || s.size() != i + 4) return false;
    }
    if (h > 23 || mi > 59 || se > 59) return false;
  }
  try {
    out = EncodeDate(y, mo, d) + (((h * 60 + mi) * 60 + se) * 1000 + ms) / 86400000.0;
  } catch (const EConvertError&) {
    return false;
  }
  return true;
}


// ---------------------------------------------------------------- writing

void WriteDataPacket(TClientDataSet& table, TJsonSink& sink) {
  if (!table.Active()) throw EDatabaseError("A tabela n\xE3o est\xE1 aberta.");
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
    out += TypeName(f.DataType());
    out.push_back('"');
    if (f.DataType() == TFieldType::ftString) {
      out += ",\"size\":";
      out += std::to_string(f.Size());
    }
    out.push_back('}');
  }
  out += "],\"rows\":[";
  bool first = true;
  table.ForEachRow([&](const TRowData& row) {
    if (!first) out.push_back(',');
    first = false;
    out.push_back('[');
    TRowCursor cursor(row);
    TCellView cell;
    for (int i = 0; i < columns; ++i) {
      if (i > 0) out.push_back(',');
      if (!cursor.Next(cell) || cell.kind == TCellView::Null) {
        out += "null";
      } else if (cell.kind == TCellView::Text) {
        AppendJsonString(out, cell.text);
      } else if (types[static_cast<std::size_t>(i)] == TFieldType::ftDateTime) {
        out.push_back('"');
        out += DateToIso(cell.number);
        out.push_back('"');
      } else {
        AppendJsonNumber(out, cell.number);
      }
    }
    out.push_back(']');
    sink.Spill();
  });
  out += "]}";
}

nlohmann::json TClientDataSet::GetData() {
  TJsonSink sink;
  WriteDataPacket(*this, sink);
  return nlohmann::json::parse(sink.text);
}

// ---------------------------------------------------------------- reading

namespace {

using TToken = TJsonReader::TToken;

std::vector<TFieldDef> ReadFields(TJsonReader& r) {
  std::vector<TFieldDef> defs;
  std::size_t column = 0;
  for (TToken t = r.Next(); t != TToken::EndArray; t = r.Next()) {
    ++column;
    const std::string where = "coluna " + std::to_string(column);
    if (t != TToken::BeginObject) BadPacket(where + " n\xE3o \xE9 um objeto");
    TFieldDef fd;
    bool has_name = false, has_type = false, size_ok = true;
    std::string type_name;
    for (TToken k = r.Next(); k != TToken::EndObject; k = r.Next()) {
      const std::string key(r.Text());
      const TToken v = r.Next();
      if (key == "name") {
        has_name = v == TToken::String && !r.Text().empty();
        if (has_name) fd.Name = Utf8ToCp1252(r.Text());
      } else if (key == "type") {
        has_type = v == TToken::String;
        if (has_type) type_name = std::string(r.Text());
      } else if (key == "size") {
        const std::string_view literal = r.Text();
        size_ok = v == TToken::Number && literal.find_first_of(".eE-") == std::string_view::npos &&
                  r.Number() <= 1000000;
        fd.Size = size_ok ? static_cast<int>(r.Number()) : 0;
      } else {
        r.SkipValue(v);
      }
      if (v == TToken::BeginObject || v == TToken::BeginArray) {
        if (key == "name" || key == "type" || key == "size") r.SkipValue(v);
      }
    }
    if (!has_name) BadPacket(where + " sem nome");
    if (!has_type) BadPacket(where + " sem tipo");
    if (type_name == "string") {
      fd.DataType = TFieldType::ftString;
      if (!size_ok) BadPacket(where + " (" + fd.Name + "): tamanho inv\xE1lido");
    } else if (type_name == "datetime") {
      fd.DataType = TFieldType::ftDateTime;
      fd.Size = 0;
    } else if (type_name == "float") {
      fd.DataType = TFieldType::ftFloat;
      fd.Size = 0;
    } else {
      BadPacket(where + " (" + fd.Name + "): tipo \"" + Utf8ToCp1252(type_name) + "\" desconhecido");
    }
    defs.push_back(std::move(fd));
  }
  if (defs.empty()) BadPacket("nenhuma coluna definida");
  for (std::size_t i = 0; i < defs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const std::string& a = defs[i].Name;
      const std::string& b = defs[j].Name;
      bool same = a.size() == b.size();
      for (std::size_t k = 0; same && k < a.size(); ++k) {
        char x = a[k], y = b[k];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        same = x == y;
      }
      if (same) BadPacket("coluna " + std::to_string(i + 1) + " (" + a + ") definida duas vezes");
    }
  }
  return defs;
}

// Reads the rows array (its "[" already read) into packed rows.
std::vector<TRowData> ReadRows(TJsonReader& r, const std::vector<TFieldDef>& defs) {
  std::vector<TRowData> rows;
  TRowBuilder builder;
  std::string converted;
  std::size_t line = 0;
  for (TToken t = r.Next(); t != TToken::EndArray; t = r.Next()) {
    ++line;
    if (t != TToken::BeginArray) BadPacket("linha " + std::to_string(line) + " n\xE3o \xE9 uma lista");
    std::size_t i = 0;
    for (TToken v = r.Next(); v != TToken::EndArray; v = r.Next(), ++i) {
      if (i >= defs.size()) {
        r.SkipValue(v);
        continue;
      }
      const TFieldDef& fd = defs[i];
      auto at = [&] { return "linha " + std::to_string(line) + ", coluna " + fd.Name; };
      if (v == TToken::Null) {
        builder.AddNull();
        continue;
      }
      switch (fd.DataType) {
        case TFieldType::ftString: {
          if (v != TToken::String) BadPacket(at() + ": esperado um texto");
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
          if (v != TToken::Number) BadPacket(at() + ": esperado um n\xFAmero");
          builder.AddNumber(r.Number());
          break;
        case TFieldType::ftDateTime: {
          if (v != TToken::String) BadPacket(at() + ": esperada uma data");
          TDateTime d = 0;
          if (!IsoToDate(r.Text(), d))
            BadPacket(at() + ": data \"" + Utf8ToCp1252(r.Text()) + "\" inv\xE1lida");
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

}  // namespace

namespace {

// Reads the packet into defs and rows without touching any table.
void ParsePacket(TJsonReader& reader, TToken first, std::vector<TFieldDef>& defs, std::vector<TRowData>& rows) {
  if (first != TToken::BeginObject) {
    reader.SkipValue(first);
    BadPacket("n\xE3o \xE9 um objeto JSON");
  }
  const std::string_view source = reader.Source();
  bool fields_array = false, rows_array = false, rows_read = false;
  std::size_t fields_begin = 0, fields_end = 0, rows_begin = 0, rows_end = 0;
  auto fields_from_span = [&] {
    TJsonReader sub(source.substr(fields_begin, fields_end - fields_begin));
    sub.Next();
    return ReadFields(sub);
  };
  for (TToken k = reader.Next(); k != TToken::EndObject; k = reader.Next()) {
    const std::string key(reader.Text());
    const TToken v = reader.Next();
    if (key == "fields") {
      fields_array = v == TToken::BeginArray;
      fields_begin = reader.TokenBegin();
      fields_end = reader.SkipValue(v);
    } else if (key == "rows") {
      rows_array = v == TToken::BeginArray;
      if (rows_array && fields_array) {
        // The usual order: the columns are known, the rows go straight in.
        defs = fields_from_span();
        rows = ReadRows(reader, defs);
        rows_read = true;
      } else {
        rows_begin = reader.TokenBegin();
        rows_end = reader.SkipValue(v);
        rows_read = false;
      }
    } else {
      reader.SkipValue(v);
    }
  }
  if (!fields_array) BadPacket("falta a lista \"fields\"");
  if (!rows_array) BadPacket("falta a lista \"rows\"");
  if (!rows_read) {
    defs = fields_from_span();
    TJsonReader sub(source.substr(rows_begin, rows_end - rows_begin));
    sub.Next();
    rows = ReadRows(sub, defs);
  }
}

}  // namespace

void ReadDataPacket(TJsonReader& reader, TToken first, TClientDataSet& table) {
  std::vector<TFieldDef> defs;
  std::vector<TRowData> rows;
  ParsePacket(reader, first, defs, rows);
  table.ReplaceData(defs, std::move(rows));
}

void TClientDataSet::SetData(std::string_view packet_text) {
  std::vector<TFieldDef> defs;
  std::vector<TRowData> rows;
  try {
    TJsonReader reader(packet_text);
    ParsePacket(reader, reader.Next(), defs, rows);
    // Nothing may follow the packet; the table changes only after that.
    reader.Next();
  } catch (const EJsonError& e) {
    BadPacket(e.what());
  }
  ReplaceData(defs, std::move(rows));
}

void TClientDataSet::SetData(const nlohmann::json& packet) { SetData(std::string_view(packet.dump())); }

}  // namespace kvr
