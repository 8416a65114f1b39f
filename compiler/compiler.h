// Statements and structured statements to postfix: the whole source
// language, scriptmerge included.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/diagnostics.h"
#include "compiler/postfix.h"

namespace compiler {

struct SourceFile {
  std::string display;  // the name used in messages (the path as given)
  std::string name;     // the file name that the line words push
  std::string key;      // identity: a script merged twice is compiled once
  std::string directory;  // where scripts that it merges are looked for
  std::string text;
};

// Finds the script `name` that `from` merges; false when there is none.
using FileLoader = std::function<bool(const SourceFile& from, const std::string& name, SourceFile& out)>;

struct Compilation {
  Program program;
  Diagnostics diag;
  bool ok() const { return diag.errors() == 0; }
};

// Compiles a script and every script it merges (their code follows its
// own, in the order the merges were found).
Compilation compile_program(const SourceFile& main, const FileLoader& loader);

// A loader that reads merged scripts from the file system, relative to the
// directory of the script that merges them (names compared without regard
// to case when the exact name is missing; .qns and .vks tried when the name
// has no extension or names the compiled file).
bool load_from_disk(const SourceFile& from, const std::string& name, SourceFile& out);
// Reads a script from disk as the main file; false when it cannot be read.
bool read_source(const std::string& path, SourceFile& out);

// The statement keywords (`if`, `for`, `gosub` ...) in ascending byte order,
// for tools that colour or complete source text.
std::vector<std::string_view> statement_keywords();

}  // namespace compiler
