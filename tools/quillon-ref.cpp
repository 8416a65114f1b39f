// quillon-ref: the command reference (docs/reference/) made from
// src/vm/commands.ref, checked against the command table itself.
//
//   quillon-ref REF DIR           write DIR/README.md and one page per family
//   quillon-ref --check REF DIR   exit 1 when an entry is missing, names no
//                                 command, disagrees with the table, or a
//                                 page in DIR differs from what REF gives
//
// The table is vm/commands.def (names, handlers, whether a result is left)
// and vm/sysvars.def (kind and default of each system variable), compiled
// in, so the reference cannot name a command the player lacks or miss one
// it has.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct TableEntry {
  const char* name;
  const char* handler;
  int yields;
};
constexpr TableEntry kTable[] = {
#define QCMD(name, handler, yields) {#name, #handler, yields},
#include "vm/commands.def"
#undef QCMD
};

struct SysVar {
  const char* name;
  const char* kind;
  long long default_int;
  const char* default_text;
  const char* default_source;  // a macro such as the version, not a text
};
constexpr SysVar kSysVars[] = {
#define QSYSVAR(name, kind, dint, dtext) {#name, #kind, dint, dtext, #dtext},
#include "vm/sysvars.def"
#undef QSYSVAR
};

struct Entry {
  std::string name, args, result, description, linux_note, example;
  int line = 0;
};
struct Family {
  std::string id, title;
  std::vector<Entry> entries;
};

std::string trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
  return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b + 1));
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t bar = line.find(" | ", start);
    if (bar == std::string::npos) break;
    out.push_back(trim(std::string_view(line).substr(start, bar - start)));
    start = bar + 3;
  }
  std::string last = line.substr(start);
  if (!last.empty() && last.back() == '|') last.pop_back();  // an empty last field
  out.push_back(trim(last));
  return out;
}

const TableEntry* table_find(std::string_view name) {
  for (const TableEntry& t : kTable)
    if (name == t.name) return &t;
  return nullptr;
}

const SysVar* sysvar_find(std::string_view name) {
  for (const SysVar& v : kSysVars)
    if (name == v.name) return &v;
  return nullptr;
}

// A default text as the script would write its bytes: CR and LF by name.
std::string show_text(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += out.empty() ? "CR" : " CR";
    else if (c == '\n') out += out.empty() ? "LF" : " LF";
    else out += c;
  }
  return out;
}

std::string linux_text(const std::string& note) {
  auto rest = [&](size_t n) { return note.size() > n ? ": " + trim(note.substr(n + 1)) : std::string(); };
  if (note.rfind("absent", 0) == 0)
    return "not available on Linux; it discards its arguments and leaves the integer 0" + rest(6) + ".";
  if (note.rfind("noeffect", 0) == 0)
    return "does nothing on Linux; it discards its arguments and leaves nothing" + rest(8) + ".";
  return note;
}

std::string render_entry(const Entry& e) {
  std::ostringstream o;
  o << "### `" << e.name << "`\n\n";
  o << "Arguments: " << (e.args == "-" ? "none" : e.args) << "  \n";
  o << "Result: " << e.result << "\n\n";
  if (const SysVar* v = sysvar_find(e.name)) {
    std::string kind = v->kind;
    for (char& c : kind) c = char(std::tolower(static_cast<unsigned char>(c)));
    std::string def = (kind == "text" || kind == "float") ? show_text(v->default_text) : std::to_string(v->default_int);
    // A default given by a build setting changes from build to build: say what it is.
    if (v->default_source[0] != '"') def = "the player's version";
    else if (def.empty()) def = "empty";
    else def = "`" + def + "`";
    if (kind == "computed")  // answered by the subsystem that owns it, once that registers
      o << "Kind: computed by the player (a stored integer, default " << def << ", where nothing computes it); `"
        << e.name << "` alone reads it";
    else
      o << "Kind: " << kind << ", default " << def << "; `" << e.name << "` alone reads it";
    if (e.args == "-")
      o << " (setting it changes nothing).\n\n";
    else
      o << ", `" << e.name << " value` (or `set " << e.name << " value`) sets it.\n\n";
  }
  if (!e.description.empty()) o << e.description << "\n\n";
  if (!e.linux_note.empty()) o << "Linux: " << linux_text(e.linux_note) << "\n\n";
  if (!e.example.empty()) o << "```\n" << e.example << "\n```\n\n";
  return o.str();
}

std::map<std::string, std::string> render(const std::vector<Family>& families) {
  std::map<std::string, std::string> pages;
  std::ostringstream index;
  size_t total = 0;
  for (const Family& f : families) total += f.entries.size();
  index << "# Command reference\n\n"
        << "<!-- Made by tools/quillon-ref from src/vm/commands.ref; edit that file, not this one. -->\n\n"
        << "Every command and system variable of the script language, " << total
        << " names, by family: the whole command table less the control words. Arguments are in script order and separated by blanks in a script "
           "(`docs/language.md`); `[...]` marks what may be left out. A command that leaves no "
           "result says so. The control words that only the compiler writes (`_call`, `_goto` "
           "...) are described in `docs/language.md`.\n\n";
  for (const Family& f : families) {
    index << "## [" << f.title << "](" << f.id << ".md)\n\n";
    std::ostringstream page;
    page << "# " << f.title << "\n\n"
         << "<!-- Made by tools/quillon-ref from src/vm/commands.ref; edit that file, not this one. -->\n\n"
         << "[All families](README.md)\n\n";
    std::string sep;
    for (const Entry& e : f.entries) {
      index << sep << "[`" << e.name << "`](" << f.id << ".md#" << e.name << ")";
      sep = ", ";
    }
    index << "\n\n";
    for (const Entry& e : f.entries) page << render_entry(e);
    std::string text = page.str();
    text.pop_back();  // one newline at the end
    pages[f.id + ".md"] = text;
  }
  std::string text = index.str();
  text.pop_back();
  pages["README.md"] = text;
  return pages;
}

int fail(const std::string& where, const std::string& what) {
  std::cerr << where << ": " << what << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool check = argc == 4 && std::string_view(argv[1]) == "--check";
  if (argc != 3 && !check) {
    std::cerr << "usage: quillon-ref [--check] commands.ref docs/reference\n";
    return 2;
  }
  std::string ref_path = argv[check ? 2 : 1];
  std::filesystem::path dir = argv[check ? 3 : 2];
  std::ifstream in(ref_path);
  if (!in) return fail(ref_path, "cannot be read") + 1;

  std::vector<Family> families;
  std::map<std::string, int> seen;
  int errors = 0, number = 0;
  std::string line;
  while (std::getline(in, line)) {
    number++;
    std::string where = ref_path + ":" + std::to_string(number);
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("@family ", 0) == 0) {
      std::string rest = trim(line.substr(8));
      size_t blank = rest.find(' ');
      if (blank == std::string::npos) { errors += fail(where, "a family needs an id and a title"); continue; }
      families.push_back({rest.substr(0, blank), trim(rest.substr(blank + 1)), {}});
      continue;
    }
    std::vector<std::string> f = split_fields(line);
    if (f.size() != 6) { errors += fail(where, "an entry has 6 fields separated by \" | \""); continue; }
    if (families.empty()) { errors += fail(where, "an entry before the first @family line"); continue; }
    Entry e{f[0], f[1], f[2], f[3], f[4], f[5], number};
    const TableEntry* t = table_find(e.name);
    if (!t || e.name[0] == '_') { errors += fail(where, "'" + e.name + "' names no command of the table"); continue; }
    if (seen.count(e.name)) { errors += fail(where, "'" + e.name + "' has a second entry"); continue; }
    seen[e.name] = number;
    if (e.args.empty() || e.result.empty())
      errors += fail(where, "'" + e.name + "' needs its arguments and its result (\"-\" and \"none\" when there are none)");
    if ((t->yields == 0) != (e.result == "none"))
      errors += fail(where, "'" + e.name + "': the table says it " + (t->yields ? "leaves a result" : "leaves nothing") +
                                ", the entry's result is \"" + e.result + "\"");
    bool absent = e.linux_note.rfind("absent", 0) == 0, noeffect = e.linux_note.rfind("noeffect", 0) == 0;
    if (absent != (std::string_view(t->handler) == "not_present"))
      errors += fail(where, "'" + e.name + "': \"absent\" on Linux exactly when its handler is not_present");
    if (noeffect != (std::string_view(t->handler) == "without_effect"))
      errors += fail(where, "'" + e.name + "': \"noeffect\" on Linux exactly when its handler is without_effect");
    families.back().entries.push_back(std::move(e));
  }
  for (const TableEntry& t : kTable)
    if (t.name[0] != '_' && !seen.count(t.name))
      errors += fail(ref_path, std::string("'") + t.name + "' of the command table has no entry");
  if (errors) return 1;

  std::map<std::string, std::string> pages = render(families);
  if (!check) {
    std::filesystem::create_directories(dir);
    for (const auto& de : std::filesystem::directory_iterator(dir))
      if (de.path().extension() == ".md" && !pages.count(de.path().filename().string()))
        std::filesystem::remove(de.path());
    for (const auto& [name, text] : pages) {
      std::ofstream out(dir / name, std::ios::binary);
      out << text;
      if (!out) return fail((dir / name).string(), "cannot be written");
    }
    std::cout << "quillon-ref: " << seen.size() << " entries, " << pages.size() << " pages in " << dir.string() << "\n";
    return 0;
  }
  int stale = 0;
  for (const auto& [name, text] : pages) {
    std::ifstream page(dir / name, std::ios::binary);
    std::string have((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    if (!page.is_open() || have != text) stale += fail((dir / name).string(), "missing or out of date");
  }
  if (std::filesystem::is_directory(dir))
    for (const auto& de : std::filesystem::directory_iterator(dir))
      if (de.path().extension() == ".md" && !pages.count(de.path().filename().string()))
        stale += fail(de.path().string(), "is no page of the reference");
  if (stale)
    std::cerr << "quillon-ref: regenerate with `ninja -C build/test reference` (or quillon-ref " << ref_path << " "
              << dir.string() << ") and commit the pages\n";
  return stale ? 1 : 0;
}
