// "resource:" names on Linux.
//
// The design reads Windows resources from executables and data-only
// libraries. Here an executable carries resources in the one way Linux
// allows without a resource section: a library archive appended to it
// behind a 16-byte trailer (see read_bound_archive). So:
//   - "resource:" (empty file part, name VK, type RCDATA) is the program's
//     own archive, the one set_own_archive() registered (the bound archive of
//     the running player, else its built-in one);
//   - "resource:FILE" is the archive carried by the executable FILE;
//   - a resource name other than VK (with any type) is the member of that
//     name, lower-cased, in that archive: "resource::INTRO" is the member
//     "intro" of the program's own archive.
// The type part is still split off and looked up in resource_type_names as
// the design has it; an unknown type text is kept as a string type. Neither
// changes the lookup, which is by name alone, except that only VK with type
// RCDATA names the whole archive.
#pragma once

#include <string>
#include <string_view>

namespace storage {

struct ResourceType {
  const char* name;
  int number;
};

// Windows resource type names and numbers, compared case-sensitively.
inline constexpr ResourceType resource_type_names[] = {
    {"ACCELERATOR", 9}, {"ANICURSOR", 21},  {"ANIICON", 22},    {"BITMAP", 2},    {"CURSOR", 1},
    {"DIALOG", 5},      {"DLGINCLUDE", 17}, {"FONT", 8},        {"FONTDIR", 7},   {"GROUPCURSOR", 12},
    {"GROUPICON", 14},  {"HTML", 23},       {"ICON", 3},        {"MENU", 4},      {"MESSAGETABL", 11},
    {"PLUGPLAY", 19},   {"RCDATA", 10},     {"STRING", 6},      {"VERSION", 16},  {"VXD", 20},
};
inline constexpr int kResourceRcdata = 10;

// The type number of a type text, or 0 for a text not in the table.
constexpr int resource_type_number(std::string_view text) {
  for (const ResourceType& t : resource_type_names)
    if (text == t.name) return t.number;
  return 0;
}

struct ResourceName {
  std::string file;       // empty: the program itself
  std::string name;       // "VK" when none was given
  std::string type_text;  // empty: RCDATA
  int type_number;        // 0: a string type (type_text)
};

// Splits the text after "resource:" (at most 1023 characters used) into
// file, name and type.
ResourceName resource_name_split(std::string_view rest);

}  // namespace storage
