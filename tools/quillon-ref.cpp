// quillon-ref: the command reference (docs/reference/) made from
// src/vm/commands.ref, checked against the command table itself.
//
//   quillon-ref REF DIR [ARGS]          write DIR/README.md and one page per
//                                       family, and ARGS (vm/command_args.def)
//   quillon-ref --check REF DIR [ARGS]  exit 1 when an entry is missing, names
//                                       no command, disagrees with the table,
//                                       its arguments cannot be counted, or a
//                                       page in DIR (or ARGS) differs from what
//                                       REF gives
//
// The table is vm/commands.def (names, handlers, whether a result is left)
// and vm/sysvars.def (kind and default of each system variable), compiled
// in, so the reference cannot name a command the player lacks or miss one
// it has. The argument counts that the compiler checks (ARGS) are counted
// from each entry's arguments, so that they and the reference cannot
// disagree.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
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

// --- argument counts ---------------------------------------------------------

// Fewest and most arguments of a command; most -1: any number.
struct Counts {
  int min = 0, max = 0;
};
constexpr int kAny = -1;

int add_max(int a, int b) { return a == kAny || b == kAny ? kAny : a + b; }
int wider_max(int a, int b) { return a == kAny || b == kAny ? kAny : std::max(a, b); }

// Names of one argument written in several words, as the arguments of the
// reference write them.
// (Between commas the words of one argument need no entry here.)
constexpr const char* kPhrases[] = {"ms per step", "field of view", "corner width", "corner height", "cursor name",
                                    "script name", "day number",    "date YYYYMMDD", "time HHMMSS"};
// An argument that is a colour may be written as one value or as three
// numbers (red, green, blue).
bool is_colour(const std::string& word) {
  std::string w = word.substr(0, word.find('='));
  return w == "colour" || w == "background";
}
// Words that describe arguments in prose rather than list them: such an
// entry takes any number.
bool is_prose(const std::string& word) {
  static const char* const kProse[] = {"any", "args", "keywords", "numbers", "names", "patterns", "and",
                                       "then", "optionally", "each", "values", "more", "as"};
  for (const char* p : kProse)
    if (word == p) return true;
  return false;
}

// Tokens of an argument list: "[", "]", ",", "..." and words; "x..." is the
// word x and "...".
std::vector<std::string> arg_tokens(const std::string& args) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < args.size()) {
    char c = args[i];
    if (c == ' ') { i++; continue; }
    if (c == '(') {  // a remark in parentheses
      size_t close = args.find(')', i);
      i = close == std::string::npos ? args.size() : close + 1;
      continue;
    }
    if (c == '[' || c == ']' || c == ',') { out.push_back(std::string(1, c)); i++; continue; }
    if (args.compare(i, 3, "...") == 0) { out.push_back("..."); i += 3; continue; }
    size_t start = i;
    while (i < args.size() && !std::strchr(" [],(", args[i]) && args.compare(i, 3, "...") != 0) i++;
    out.push_back(args.substr(start, i - start));
  }
  return out;
}

bool is_word(const std::string& t) { return t != "[" && t != "]" && t != "," && t != "..." && t != "or"; }

// Counts a sequence of tokens without "or" between groups. Returns false
// when the brackets do not pair.
bool count_sequence(const std::vector<std::string>& t, size_t& i, bool comma_mode, Counts& out, bool nested) {
  out = {0, 0};
  while (i < t.size()) {
    const std::string& tok = t[i];
    if (tok == "]") {
      if (!nested) return false;
      return true;
    }
    Counts item;
    if (tok == "[") {
      i++;
      Counts inner;
      if (!count_sequence(t, i, comma_mode, inner, true) || i >= t.size()) return false;
      i++;  // the "]"
      item = {0, inner.max};
    } else if (tok == ",") {
      i++;
      continue;
    } else if (tok == "...") {
      // The item before may repeat (alone: any number of arguments).
      i++;
      out.max = kAny;
      continue;
    } else {
      i++;
      // Separated by commas, the words between two commas are one argument.
      while (comma_mode && i < t.size() && is_word(t[i])) i++;
      item = is_colour(tok) && !comma_mode ? Counts{1, 3} : Counts{1, 1};
    }
    out.min += item.min;
    out.max = add_max(out.max, item.max);
  }
  return !nested;
}

// The counts of an entry's arguments; false with the reason when they
// cannot be counted. "as `NAME`" takes the arguments of another entry.
bool count_arguments(const std::string& args, const std::map<std::string, std::string>& all, Counts& out,
                     std::string& why, int nesting = 0) {
  if (args == "-") {
    out = {0, 0};
    return true;
  }
  if (args.rfind("as `", 0) == 0 && args.back() == '`' && nesting < 4) {
    auto other = all.find(args.substr(4, args.size() - 5));
    if (other != all.end()) return count_arguments(other->second, all, out, why, nesting + 1);
  }
  std::vector<std::string> raw = arg_tokens(args);
  for (const std::string& w : raw)
    if (is_prose(w)) {
      out = {0, kAny};
      return true;
    }
  // Words of one argument into one token.
  std::vector<std::string> t;
  for (size_t i = 0; i < raw.size(); i++) {
    bool joined = false;
    for (const char* phrase : kPhrases) {
      std::vector<std::string> words = arg_tokens(phrase);
      if (i + words.size() > raw.size()) continue;
      bool match = true;
      for (size_t k = 0; k < words.size() && match; k++) {
        std::string w = raw[i + k];
        if (k + 1 == words.size()) w = w.substr(0, w.find('='));
        match = w == words[k];
      }
      if (!match) continue;
      std::string last = raw[i + words.size() - 1];
      t.push_back(std::string(phrase) + (last.find('=') != std::string::npos ? last.substr(last.find('=')) : ""));
      i += words.size() - 1;
      joined = true;
      break;
    }
    if (!joined) t.push_back(raw[i]);
  }
  // "a or b" between two words is one argument.
  std::vector<std::string> tight;
  for (size_t i = 0; i < t.size(); i++) {
    if (t[i] == "or" && !tight.empty() && is_word(tight.back()) && i + 1 < t.size() && is_word(t[i + 1])) {
      tight.back() += " or " + t[i + 1];
      i++;
      continue;
    }
    tight.push_back(t[i]);
  }
  bool comma_mode = std::find(tight.begin(), tight.end(), ",") != tight.end();
  // What remains of "or" separates whole forms of the arguments.
  std::vector<std::vector<std::string>> forms(1);
  int depth = 0;
  for (const std::string& tok : tight) {
    if (tok == "[") depth++;
    if (tok == "]") depth--;
    if (tok == "or") {
      if (depth != 0) {
        why = "an \"or\" inside brackets between more than single words";
        return false;
      }
      forms.emplace_back();
      continue;
    }
    forms.back().push_back(tok);
  }
  bool first = true;
  for (const std::vector<std::string>& form : forms) {
    size_t i = 0;
    Counts c;
    if (form.empty() || !count_sequence(form, i, comma_mode, c, false) || i != form.size()) {
      why = "the brackets do not pair";
      return false;
    }
    out = first ? c : Counts{std::min(out.min, c.min), wider_max(out.max, c.max)};
    first = false;
  }
  return true;
}

// The number of arguments of an entry's example when it is a plain
// statement of the command (words and quoted texts separated by blanks);
// -1 when it is something else.
int example_arguments(const Entry& e) {
  const std::string& x = e.example;
  if (x.rfind(e.name, 0) != 0 || (x.size() > e.name.size() && x[e.name.size()] != ' ')) return -1;
  int n = 0;
  size_t i = e.name.size();
  while (i < x.size()) {
    if (x[i] == ' ') { i++; continue; }
    if (x[i] == ';') break;  // a comment
    n++;
    if (x[i] == '"') {
      size_t close = x.find('"', i + 1);
      if (close == std::string::npos) return -1;
      i = close + 1;
    } else {
      size_t start = i;
      while (i < x.size() && x[i] != ' ') i++;
      if (x.find_first_of("()=+*/$,&|<>", start) < i) return -1;  // an expression: not counted here
    }
  }
  return n;
}

std::string args_def(const std::vector<Family>& families, std::map<std::string, Counts>& counts) {
  std::vector<const Entry*> entries;
  for (const Family& f : families)
    for (const Entry& e : f.entries) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(), [](const Entry* a, const Entry* b) { return a->name < b->name; });
  std::ostringstream o;
  o << "// The argument counts of the built-in commands, beside the command table\n"
       "// (vm/commands.def): fewest, most (-1: any number) and the arguments as the\n"
       "// reference writes them. Made by tools/quillon-ref from vm/commands.ref (the\n"
       "// arguments of each entry, counted); edit that file, not this one. The\n"
       "// compiler warns about a call outside them. A colour argument counts as one\n"
       "// to three (one value or three numbers); the commands that take the name\n"
       "// of a variable off the stack are checked by the compiler itself.\n"
       "// Ascending byte order of the name.\n";
  for (const Entry* e : entries) {
    auto it = counts.find(e->name);
    if (it == counts.end()) continue;
    std::string quoted;
    for (char c : e->args == "-" ? std::string("none") : e->args) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    o << "QARGS(" << e->name << ", " << it->second.min << ", " << it->second.max << ", \"" << quoted << "\")\n";
  }
  return o.str();
}

int fail(const std::string& where, const std::string& what) {
  std::cerr << where << ": " << what << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool check = argc >= 2 && std::string_view(argv[1]) == "--check";
  int first = check ? 2 : 1;
  if (argc - first != 2 && argc - first != 3) {
    std::cerr << "usage: quillon-ref [--check] commands.ref docs/reference [command_args.def]\n";
    return 2;
  }
  std::string ref_path = argv[first];
  std::filesystem::path dir = argv[first + 1];
  std::string args_path = argc - first == 3 ? argv[first + 2] : "";
  std::map<std::string, Counts> counts;
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
  // The commands that take a variable's name off the stack have their own
  // check in the compiler.
  std::map<std::string, std::string> all_args;
  for (const Family& f : families)
    for (const Entry& e : f.entries) all_args[e.name] = e.args;
  for (const Family& f : families)
    for (const Entry& e : f.entries) {
      if (table_find(e.name)->yields == 2) continue;
      Counts c;
      std::string why;
      std::string where = ref_path + ":" + std::to_string(e.line);
      if (!count_arguments(e.args, all_args, c, why)) {
        errors += fail(where, "'" + e.name + "': its arguments cannot be counted: " + why);
        continue;
      }
      counts[e.name] = c;
      int n = example_arguments(e);
      if (n >= 0 && (n < c.min || (c.max != kAny && n > c.max)))
        errors += fail(where, "'" + e.name + "': its example has " + std::to_string(n) + " arguments, its arguments count " +
                                  std::to_string(c.min) + " to " + (c.max == kAny ? "any" : std::to_string(c.max)));
    }
  if (errors) return 1;

  std::map<std::string, std::string> pages = render(families);
  std::string args_text = args_def(families, counts);
  if (!check) {
    if (!args_path.empty()) {
      std::ofstream out(args_path, std::ios::binary);
      out << args_text;
      if (!out) return fail(args_path, "cannot be written");
    }
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
  if (!args_path.empty()) {
    std::ifstream in_args(args_path, std::ios::binary);
    std::string have((std::istreambuf_iterator<char>(in_args)), std::istreambuf_iterator<char>());
    if (!in_args.is_open() || have != args_text) stale += fail(args_path, "missing or out of date");
  }
  if (std::filesystem::is_directory(dir))
    for (const auto& de : std::filesystem::directory_iterator(dir))
      if (de.path().extension() == ".md" && !pages.count(de.path().filename().string()))
        stale += fail(de.path().string(), "is no page of the reference");
  if (stale)
    std::cerr << "quillon-ref: regenerate with `ninja -C build/test reference` (or quillon-ref " << ref_path << " "
              << dir.string() << (args_path.empty() ? "" : " " + args_path) << ") and commit the pages"
              << (args_path.empty() ? "" : " and the argument counts") << "\n";
  return stale ? 1 : 0;
}
