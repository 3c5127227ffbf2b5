#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/json_reader.h"
#include "platform/sysutils.h"

namespace kvr {

class TClientDataSet;

// A data packet is a whole table as exchanged with the application server:
// {"fields":[{"name":"CDREDUCONT","type":"string","size":3},
//            {"name":"DTMOVREAL","type":"datetime"},{"name":"VRMOVREAL","type":"float"}],
//  "rows":[["001","2024-01-05T00:00:00",200.0]]}
// null is a null column; strings are UTF-8 (the table's Windows-1252 texts
// are converted at this edge); datetimes are "yyyy-mm-ddThh:nn:ss" with
// ".zzz" when there are milliseconds; floats are written in the shortest form
// that reads back as the same double.
//
// Packets are written and read as streams: rows go from the table to the text
// and from the text to the table without a tree in between, so a statement of
// a million movements never exists twice in memory.

// Where streamed JSON text goes. Writers append to text and call Spill now
// and then; a sink that forwards the text (to a compressor, a socket) does so
// in Flush and empties text. The base keeps everything in text.
class TJsonSink {
 public:
  virtual ~TJsonSink() = default;
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
// Appends a number in the shortest form that reads back exactly, with ".0"
// for a whole number; NaN and infinities (which JSON cannot hold) as null.
void AppendJsonNumber(std::string& out, double value);
// "yyyy-mm-ddThh:nn:ss", with ".zzz" when the time has milliseconds.
std::string DateToIso(TDateTime value);
// Reads "yyyy-mm-dd" optionally followed by "Thh:nn:ss" (or a blank instead
// of T) and ".zzz". False when the text is no such valid date.
bool IsoToDate(std::string_view text, TDateTime& date);

// Writes the whole table (every row regardless of the filter, in table order)
// as a packet into sink, spilling as it goes. Throws EDatabaseError when the
// table is not active; posts a pending insert/edit first.
void WriteDataPacket(TClientDataSet& table, TJsonSink& sink);

// Reads the packet value that starts with first (the token the reader just
// gave) into table, as TClientDataSet::SetData describes; the reader is left
// after the packet. Throws EDatabaseError for a malformed packet and
// EJsonError for malformed JSON (the table is then unchanged).
void ReadDataPacket(TJsonReader& reader, TJsonReader::TToken first, TClientDataSet& table);

}  // namespace kvr
