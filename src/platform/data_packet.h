#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/sysutils.h"
#include "wire/json_reader.h"

namespace kvr {

class TClientDataSet;

// A data packet is a whole table as exchanged with the application server,
// in the format of wire/packet_format.h; the table's Windows-1252 texts are
// converted to and from UTF-8 at this edge.
//
// Packets are written and read as streams: rows go from the table to the text
// and from the text to the table without a tree in between, so a statement of
// a million movements never exists twice in memory.

// A malformed JSON text, or one nested deeper than its reader allows. The
// message says what was wrong and at which byte (1-based):
// "JSON inválido: texto depois do fim do valor (byte 39)".
class EJsonError : public Exception {
 public:
  using Exception::Exception;
};

// Throws EJsonError for the reader's kError or kTooDeep.
[[noreturn]] void ThrowJsonError(const JsonReader& reader);
// The next event of reader; throws EJsonError for malformed text and for
// nesting deeper than the reader allows.
inline JsonReader::Event NextJsonEvent(JsonReader& reader) {
  const JsonReader::Event event = reader.Next();
  if (event == JsonReader::Event::kError || event == JsonReader::Event::kTooDeep) ThrowJsonError(reader);
  return event;
}
// Reads on to the end of the value that began with first (see
// JsonReader::SkipValue); returns the byte offset just past it. Throws
// EJsonError.
std::size_t SkipJsonValue(JsonReader& reader, JsonReader::Event first);
// Throws EJsonError "JSON inválido: what (byte N)" for the reader's last
// event; what is UTF-8, as every exception's message.
[[noreturn]] void FailJson(const JsonReader& reader, const std::string& what);

// Where streamed JSON text goes: the writers' output buffer. Writers append
// to text and call Spill now and then; a sink that forwards the text (to a
// compressor, a socket) does so in Flush and empties text. The base keeps
// everything in text.
class JsonSink {
 public:
  virtual ~JsonSink() = default;
  std::string text;
  // Hands text on when it holds a chunk or more.
  void Spill() {
    if (text.size() >= kChunk) Flush();
  }
  // Hands all of text on. The base does nothing (the text stays).
  virtual void Flush() {}

  static constexpr std::size_t kChunk = 1 << 16;
};

// Appends a Windows-1252 text as a quoted JSON string in UTF-8.
void AppendJsonString(std::string& out, std::string_view cp1252);
// Reads a date by the packet format's date rule. False when the text breaks
// it.
bool IsoToDate(std::string_view text, TDateTime& date);

// Writes the whole table (every row regardless of the filter, in table order)
// as a packet into sink, spilling as it goes. Throws EDatabaseError when the
// table is not active; posts a pending insert/edit first.
void WriteDataPacket(TClientDataSet& table, JsonSink& sink);

}  // namespace kvr
