#include "scripts/listing.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace scripts {
namespace {

// One listing file: its statements once read.
struct Listing {
  bool read = false;
  ListingLines lines;
};

std::map<std::string, Listing> g_listings;  // by path, read or still to read
ListingLines g_lines;                      // of every listing read, the first of a (file, line) kept
std::vector<std::string> g_folders;        // where listings are looked for ("" is the working folder)
std::map<const uint32_t*, std::string> g_programs;  // loaded code -> its compiled file's listing

bool read_text(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

Listing& listing_at(const std::string& path) {
  Listing& l = g_listings[path];
  if (!l.read) {
    l.read = true;
    std::string text;
    if (read_text(path, text)) {
      parse_listing(text, l.lines);
      for (const auto& [key, source] : l.lines) g_lines.emplace(key, source);
    }
  }
  return l;
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

// NAME.log beside NAME.qnc (or beside a compiled file without an extension).
std::string log_of_compiled(const std::string& compiled_path) {
  std::string log = compiled_path;
  size_t dot = log.rfind('.');
  if (dot != std::string::npos && log.find('/', dot) == std::string::npos) log.resize(dot);
  return log + ".log";
}

// The listing of the code, when it came from a compiled file.
const ListingLines* program_lines(const uint32_t* code) {
  if (!code) return nullptr;
  auto it = g_programs.find(code);
  return it == g_programs.end() ? nullptr : &listing_at(it->second).lines;
}

// Every listing that may name the file: those told about, then NAME.log in
// their folders and the working folder.
void read_candidates(std::string_view file) {
  std::vector<std::string> pending;
  for (const auto& [path, l] : g_listings)
    if (!l.read) pending.push_back(path);
  std::vector<std::string> folders = g_folders;
  folders.push_back("");
  for (const std::string& folder : folders) pending.push_back(folder + stem_log(file));
  for (const std::string& path : pending) listing_at(path);
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
  if (std::find(g_folders.begin(), g_folders.end(), folder) == g_folders.end()) g_folders.push_back(folder);
  g_listings.emplace(log_of_compiled(compiled_path), Listing{});
}

void listing_note_program(const uint32_t* code, const std::string& compiled_path) {
  if (!code) return;
  if (compiled_path.empty()) {
    g_programs.erase(code);
    return;
  }
  listing_add_compiled(compiled_path);
  g_programs[code] = log_of_compiled(compiled_path);
}

std::string listing_source(std::string_view file, uint32_t line, const uint32_t* code) {
  auto key = std::make_pair(std::string(file), line);
  if (const ListingLines* own = program_lines(code)) {
    auto it = own->find(key);
    if (it != own->end()) return it->second;
  }
  auto it = g_lines.find(key);
  if (it != g_lines.end()) return it->second;
  read_candidates(file);
  it = g_lines.find(key);
  return it == g_lines.end() ? "" : it->second;
}

uint32_t listing_neighbour(std::string_view file, uint32_t line, int direction, const uint32_t* code) {
  listing_source(file, line, code);  // reads the file's listings when they are not read yet
  std::string name(file);
  const ListingLines* own = program_lines(code);
  const ListingLines& lines = own && own->lower_bound(std::make_pair(name, 0u)) != own->end() &&
                                      own->lower_bound(std::make_pair(name, 0u))->first.first == name
                                  ? *own
                                  : g_lines;
  if (direction > 0) {
    auto it = lines.upper_bound(std::make_pair(name, line));
    return it != lines.end() && it->first.first == name ? it->first.second : 0;
  }
  auto it = lines.lower_bound(std::make_pair(name, line));
  if (it == lines.begin()) return 0;
  --it;
  return it->first.first == name ? it->first.second : 0;
}

}  // namespace scripts
