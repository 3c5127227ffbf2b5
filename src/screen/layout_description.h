#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvr {

// One property of a layout element: a scalar (a number, true/false, a bare
// word or a quoted text) or a list of quoted items.
struct LayoutProperty {
  std::string name;
  // The scalar's text: a quoted text without its quotes, in Windows-1252.
  std::string value;
  // True when the value was written in quotes.
  bool quoted = false;
  // True for a list; items then holds its texts, in Windows-1252.
  bool is_list = false;
  std::vector<std::string> items;
  // 1-based line of the property in the description.
  int line = 0;
};

// One element of a layout: "object NAME: KIND" with its properties in the
// order written.
struct LayoutObject {
  std::string name;
  std::string kind;
  std::vector<LayoutProperty> properties;
  int line = 0;
};

// A screen's layout description: the elements in the order written. The
// format is line based:
//
//   # a comment line (blank lines are ignored too)
//   object NAME: KIND
//     Property = 12 | true | word | "a text"
//     Property = (
//       "item"
//     )
//   end
//
// Quoted texts may hold \" and \\; the description is UTF-8 and its texts
// are converted to Windows-1252 here.
class LayoutDescription {
 public:
  // Parses text. Throws EConvertError naming the 1-based line for anything
  // malformed: a property outside an object, an unclosed object or list, a
  // repeated object name, an unterminated quote.
  static LayoutDescription Parse(std::string_view text);

  const std::vector<LayoutObject>& Objects() const { return objects_; }

 private:
  std::vector<LayoutObject> objects_;
};

// The layout of the screen KVR61400 (src/screen/kvr61400.layout), built into
// the library so that an installed program needs no source tree.
std::string_view ImportOFXLayoutText();

}  // namespace kvr
