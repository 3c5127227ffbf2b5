#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The data packet as the client and the server both write and read it. A
// packet is one JSON object:
//
//   {"fields":[{"name":"CDREDUCONT","type":"string","size":3},
//              {"name":"DTMOVREAL","type":"datetime"},{"name":"VRMOVREAL","type":"float"}],
//    "rows":[["001","2024-01-05T00:00:00",200.0]]}
//
// "fields" names each column, its type and, for texts, the most characters
// it holds; "rows" holds one list per row with one value per column, in the
// order of "fields"; null is a null value of any type. Texts are UTF-8; a
// column of one Windows-1252 byte per character holds "size" characters.
// The values of the other types follow the date rule and the number rule
// below.

namespace kvr {

// The type of a packet column.
enum class FieldType { kString, kDateTime, kFloat };

// The name of a type in "fields": "string", "datetime", "float".
const char* FieldTypeName(FieldType type);
// The type of a name in "fields"; false for any other name.
bool FieldTypeOfName(std::string_view name, FieldType& type);

// One column of a table layout. size is the most characters a kString column
// holds; 0 for the other types. A reader accepts a packet without an optional
// column (one written by a client of an earlier version), whose cells are
// then null; writers always write it.
struct FieldDef {
  const char* name;
  FieldType type;
  int size;
  bool optional = false;
};

using Layout = std::vector<FieldDef>;

// The three layouts the import screen exchanges with the server: the
// statement header (cdsExtrBanco), the movements sent (cdsMovExtrAux, 15
// columns: CDFITIDEXTR holds the FITID's first 10 characters, the optional
// CDFITIDCOMPL the whole FITID, up to 255; DSHISTMOVREAL the memo's first 40,
// the optional DSHISTCOMPL the whole memo, up to 255) and the bank accounts
// returned (cdsContaCorrente).
const Layout& ExtrBancoLayout();
const Layout& MovExtrLayout();
const Layout& ContaCorrenteLayout();

// The index of the named column in layout; throws std::out_of_range for a
// name the layout does not have.
std::size_t ColumnIndex(const Layout& layout, std::string_view name);

// ---- the date rule
// A datetime value is a text "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS" or
// "YYYY-MM-DDTHH:MM:SS.fff", a blank accepted in place of the T; year 0001 to
// 9999, a day that the month has in that year (leap years Gregorian), hours
// to 23, minutes and seconds to 59. Writers write the normal form: T, the
// time always, ".fff" only when the milliseconds are not zero.

struct DateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
};

// Reads a datetime text by the rule into parts; false (parts unspecified)
// when the text breaks it.
bool ParseDateTime(std::string_view text, DateTimeParts& parts);
// Appends parts (valid by the rule) in the normal form.
void AppendDateTime(std::string& out, const DateTimeParts& parts);
// Checks text by the rule and rewrites it in the normal form; false, text
// unchanged, when it breaks the rule.
bool NormalizeDateTime(std::string& text);

// ---- the number rule
// A float value is a JSON number that a double holds finitely (an exponent
// that overflows is refused, one that underflows reads as zero or the nearest
// tiny value); whole numbers are floats too. Writers write the shortest text
// that reads back as the same double, with ".0" after a whole number.

// Appends value by the rule; NaN and infinities, which a packet cannot hold,
// as null.
void AppendNumber(std::string& out, double value);

}  // namespace kvr
