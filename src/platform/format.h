#pragma once

#include <string>
#include <string_view>

#include "platform/sysutils.h"

namespace kvr {

// Formats a date-time with a picture: "d"/"dd" day, "m"/"mm" month (after
// "h"/"hh" they mean minutes, as "n"/"nn" do), "yy"/"yyyy" year, "h"/"hh",
// "n"/"nn", "s"/"ss", "z"/"zzz" milliseconds, "/" the locale's date
// separator (FormatSettings.DateSeparator), ":" the time separator, text in
// single or double quotes as it stands, every other character as it stands.
// FormatDateTime("dd/mm/yyyy", EncodeDate(2024, 3, 5)) is "05/03/2024".
std::string FormatDateTime(std::string_view format, TDateTime value);

// Formats a number with a picture of the "#,##0.00" kind: "0" a digit always
// shown, "#" a digit shown when significant, "." the place of the decimal
// mark, "," anywhere in the integer part groups thousands; other characters
// before or after the digits as they stand. The value is rounded half away
// from zero on its 15-significant-digit form (so 1.005 gives "1.01"), and
// written with FormatSettings.DecimalSeparator and ThousandSeparator; a
// negative value that is not zero once rounded keeps its "-". An empty
// picture gives FloatToStr's text.
// FormatFloat("#,##0.00", 1234.5) is "1.234,50" or "1,234.50".
std::string FormatFloat(std::string_view format, double value);

// The 15-significant-digit text of a number with FormatSettings'
// DecimalSeparator ("1234,5", "0,1", "1E20", "-2,5E-7"); the text form a
// float column's AsString gives.
std::string FloatToStr(double value);

// Applies an edit mask to a value. The mask text is "mask[;save[;blank]]":
// save "0" means the value carries none of the mask's literal characters
// (its characters fill the input positions left to right, the literals are
// inserted between them), anything else that it carries them (the value is
// laid over the mask position by position); blank is the character shown
// for an input position left without a character ("_" when not given).
// Input positions: 0 9 # L l A a C c; "\" makes the next character a
// literal; ">" upper-cases and "<" lower-cases what follows ("<>" stops
// that); "!" is ignored; "/" and ":" are the locale's date and time
// separators; every other character is a literal. Characters of the value
// beyond the last input position are dropped; they are not checked against
// the position's kind.
// FormatMaskText("99999-9;0; ", "123456") is "12345-6".
std::string FormatMaskText(std::string_view edit_mask, std::string_view value);

}  // namespace kvr
