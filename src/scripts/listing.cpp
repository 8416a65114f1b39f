#include "scripts/listing.h"

#include <fstream>
#include <set>
#include <sstream>
#include <vector>

namespace scripts {
namespace {

ListingLines g_lines;
std::vector<std::string> g_folders;       // where listings are looked for ("" is the working folder)
std::set<std::string> g_tried;            // listing paths read or found missing

bool read_text(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

void read_listing(const std::string& path) {
  if (!g_tried.insert(path).second) return;
  std::string text;
  if (read_text(path, text)) parse_listing(text, g_lines);
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string stem_log(std::string_view file) {
  std::string name(base_name(file));
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name + ".log";
}

}  // namespace

std::string_view base_name(std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A statement line: FILE, blanks, the line number (right-aligned in 5
// characters), a blank, the postfix text beginning "_line", tabs, "; " and
// the source line.
void parse_listing(std::string_view text, ListingLines& out) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t mark = line.find(" _line");
    size_t comment = line.find("\t; ");
    if (mark == std::string_view::npos || comment == std::string_view::npos || comment < mark) continue;
    size_t digits_end = mark, digits = mark;
    while (digits > 0 && line[digits - 1] >= '0' && line[digits - 1] <= '9') digits--;
    if (digits == digits_end || digits == 0 || line[digits - 1] != ' ') continue;
    uint32_t number = 0;
    for (size_t i = digits; i < digits_end && number < 100000000; i++) number = number * 10 + uint32_t(line[i] - '0');
    size_t name_end = digits;
    while (name_end > 0 && line[name_end - 1] == ' ') name_end--;
    if (name_end == 0) continue;
    std::string file(line.substr(0, name_end));
    std::string source(line.substr(comment + 3));
    out.emplace(std::make_pair(std::move(file), number), std::move(source));
  }
}

void listing_add_compiled(const std::string& compiled_path) {
  std::string folder = folder_of(compiled_path);
  bool known = false;
  for (const std::string& f : g_folders) known = known || f == folder;
  if (!known) g_folders.push_back(folder);
  std::string log = compiled_path;
  size_t dot = log.rfind('.');
  if (dot != std::string::npos && log.find('/', dot) == std::string::npos) log.resize(dot);
  read_listing(log + ".log");
}

std::string listing_source(std::string_view file, uint32_t line) {
  auto key = std::make_pair(std::string(file), line);
  auto it = g_lines.find(key);
  if (it != g_lines.end()) return it->second;
  bool read_more = false;
  std::vector<std::string> folders = g_folders;
  folders.push_back("");
  for (const std::string& folder : folders) {
    std::string path = folder + stem_log(file);
    if (g_tried.count(path)) continue;
    read_listing(path);
    read_more = true;
  }
  if (!read_more) return "";
  it = g_lines.find(key);
  return it == g_lines.end() ? "" : it->second;
}

uint32_t listing_neighbour(std::string_view file, uint32_t line, int direction) {
  listing_source(file, line);  // reads the file's listing when it is not read yet
  std::string name(file);
  if (direction > 0) {
    auto it = g_lines.upper_bound(std::make_pair(name, line));
    return it != g_lines.end() && it->first.first == name ? it->first.second : 0;
  }
  auto it = g_lines.lower_bound(std::make_pair(name, line));
  if (it == g_lines.begin()) return 0;
  --it;
  return it->first.first == name ? it->first.second : 0;
}

}  // namespace scripts
