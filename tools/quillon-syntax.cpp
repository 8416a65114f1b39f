// quillon-syntax: writes the editor support for script sources from the
// command table and the compiler's statement keywords, so that every
// command, system variable and keyword is coloured and none is forgotten
// when the table grows:
//   quillon.tmLanguage.json  a TextMate grammar (VS Code, Sublime Text,
//                            Atom, TextMate, GitHub's highlighter)
//   quillon.vim              a Vim syntax file
//   ftdetect-quillon.vim     Vim's file-type detection for .qns and .vks
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiler.h"
#include "vm/command_names.h"

namespace {

struct Names {
  std::vector<std::string> commands;  // built-in commands, var_ and ele_ names included
  std::vector<std::string> sysvars;   // system variables as written after @ (no var_)
  std::vector<std::string> keywords;  // statement keywords
};

Names collect() {
  Names n;
  for (uint32_t i = 1; i <= vm::kCommandNameCount; i++) {
    std::string_view name = vm::kCommandNames[i].name;
    if (name.empty() || name[0] == '_') continue;  // the compiler's own words
    n.commands.emplace_back(name);
    if (name.starts_with("var_")) n.sysvars.emplace_back(name.substr(4));
  }
  for (std::string_view k : compiler::statement_keywords()) n.keywords.emplace_back(k);
  return n;
}

// Longest first, so that an engine without backtracking into an alternation
// still prefers `drawrect` to `draw`.
std::vector<std::string> longest_first(std::vector<std::string> v) {
  std::stable_sort(v.begin(), v.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return v;
}

// Characters that continue a word of the language besides letters and
// digits: a name only counts when none of them touches it.
constexpr const char* kWordChars = R"(\w.\\#~?'`{}^)";

std::string regex_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (std::strchr(R"(\^$.|?*+()[]{}/)", c)) out += '\\';
    out += c;
  }
  return out;
}

std::string alternation(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : longest_first(names)) {
    if (!out.empty()) out += '|';
    out += regex_escape(n);
  }
  return out;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

// A whole word of the language: not preceded or followed by a word character.
std::string word_pattern(const std::string& alternatives) {
  return std::string("(?i)(?<![") + kWordChars + "])(?:" + alternatives + ")(?![" + kWordChars + "])";
}

std::string textmate(const Names& n) {
  struct Rule {
    const char* name;
    std::string match;
  };
  const Rule rules[] = {
      {"comment.line.semicolon.quillon", ";.*$"},
      {"variable.language.system.quillon", "(?i)@(?:" + alternation(n.sysvars) + ")(?![" + kWordChars + "])"},
      {"variable.other.quillon", std::string("@@?[") + kWordChars + "]+"},
      {"keyword.control.quillon", word_pattern(alternation(n.keywords))},
      {"support.function.quillon", word_pattern(alternation(n.commands))},
      // A label line: one word in the first column that is no keyword or
      // command (those rules come first), optionally with a colon.
      {"entity.name.function.label.quillon", std::string("^[^\\s;\"@(),=<>!&|+*/%$-][^\\s;\"(),]*:?(?=\\s*(?:;.*)?$)")},
      {"constant.numeric.quillon",
       std::string("(?<![") + kWordChars + "])-?(?:\\d+\\.?\\d*|\\.\\d+)(?:pct)?(?![" + kWordChars + "])"},
      {"keyword.operator.quillon", "<<|>>|<=|>=|==|!=|->|[-+*/%$<>=!&|]"},
  };
  std::string out =
      "{\n"
      "  \"$schema\": \"https://raw.githubusercontent.com/martinring/tmlanguage/master/tmlanguage.json\",\n"
      "  \"name\": \"Quillon\",\n"
      "  \"scopeName\": \"source.quillon\",\n"
      "  \"fileTypes\": [\"qns\", \"vks\"],\n"
      "  \"patterns\": [\n"
      "    {\n"
      "      \"name\": \"string.quoted.double.quillon\",\n"
      "      \"begin\": \"\\\"\",\n"
      "      \"end\": \"\\\"\",\n"
      "      \"patterns\": [{\"name\": \"constant.character.escape.quillon\", \"match\": \"\\\\\\\\[\\\\\\\\\\\"]\"}]\n"
      "    }";
  for (const Rule& r : rules) {
    out += ",\n    {\"name\": " + json_string(r.name) + ", \"match\": " + json_string(r.match) + "}";
  }
  out += "\n  ]\n}\n";
  return out;
}

void vim_keywords(std::string& out, const char* group, const std::vector<std::string>& names) {
  std::string line;
  for (const std::string& name : names) {
    if (line.size() + name.size() > 100) {
      out += "syn keyword " + std::string(group) + line + "\n";
      line.clear();
    }
    line += " " + name;
  }
  if (!line.empty()) out += "syn keyword " + std::string(group) + line + "\n";
}

std::string vim(const Names& n) {
  std::string out =
      "\" Vim syntax file for Quillon scripts (.qns, .vks), written by quillon-syntax\n"
      "\" from the player's command table.\n"
      "if exists(\"b:current_syntax\")\n"
      "  finish\n"
      "endif\n"
      "syn case ignore\n"
      "setlocal iskeyword=@,48-57,_,.,#,~,?,',`,{,},^\n"
      "\n";
  vim_keywords(out, "quillonStatement", n.keywords);
  vim_keywords(out, "quillonCommand", n.commands);
  out +=
      "syn match quillonSysVar \"@\\%(";
  for (size_t i = 0; i < n.sysvars.size(); i++) {
    if (i) out += "\\|";
    out += n.sysvars[i];
  }
  out +=
      "\\)\\>\"\n"
      "syn match quillonVariable \"@@\\=\\k\\+\" contains=NONE\n"
      "syn match quillonNumber \"\\<-\\=\\d\\+\\.\\=\\d*\\%(pct\\)\\=\\>\"\n"
      "syn match quillonLabel \"^[^ \\t;\\\"@]\\S*:\\=\\ze\\s*\\%(;.*\\)\\=$\"\n"
      "syn region quillonString start=+\"+ skip=+\\\\[\\\\\"]+ end=+\"+ contains=quillonEscape\n"
      "syn match quillonEscape \"\\\\[\\\\\\\"]\" contained\n"
      "syn match quillonComment \";.*$\"\n"
      "\n"
      "hi def link quillonStatement Statement\n"
      "hi def link quillonCommand Function\n"
      "hi def link quillonSysVar Constant\n"
      "hi def link quillonVariable Identifier\n"
      "hi def link quillonNumber Number\n"
      "hi def link quillonLabel Label\n"
      "hi def link quillonString String\n"
      "hi def link quillonEscape SpecialChar\n"
      "hi def link quillonComment Comment\n"
      "\n"
      "let b:current_syntax = \"quillon\"\n";
  return out;
}

constexpr const char* kVimDetect =
    "\" Quillon script sources\n"
    "au BufRead,BufNewFile *.qns,*.vks setfiletype quillon\n";

bool write(const std::string& dir, const char* name, const std::string& text) {
  std::string path = dir + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "quillon-syntax: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr,
                 "usage: quillon-syntax DIR\n"
                 "Writes quillon.tmLanguage.json, quillon.vim and ftdetect-quillon.vim into DIR.\n");
    return 2;
  }
  Names n = collect();
  bool ok = write(argv[1], "quillon.tmLanguage.json", textmate(n));
  ok = write(argv[1], "quillon.vim", vim(n)) && ok;
  ok = write(argv[1], "ftdetect-quillon.vim", kVimDetect) && ok;
  return ok ? 0 : 1;
}
