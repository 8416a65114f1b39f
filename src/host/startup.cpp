#include "host/startup.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "scripts/program.h"
#include "storage/archive.h"
#include "storage/names.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace host {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The extension of the file-name part, lower-cased, without the dot.
std::string extension_of(const std::string& name) {
  size_t cut = name.rfind('/');
  if (cut == std::string::npos) cut = name.rfind('\\');
  if (cut == std::string::npos) cut = name.rfind(':');
  size_t part = cut == std::string::npos ? 0 : cut + 1;
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot < part ? std::string() : lower(name.substr(dot + 1));
}

// The script source beside a compiled script's disk name (the same name
// with .qns, else .vks) and its status; empty when there is none.
std::string source_beside(const std::string& compiled, struct stat& source) {
  if (compiled.find(':') != std::string::npos || compiled.size() < 4) return {};
  for (const char* ext : {".qns", ".vks"}) {
    std::string path = compiled.substr(0, compiled.size() - 4) + ext;
    if (::stat(path.c_str(), &source) == 0) return path;
  }
  return {};
}

// When the script source beside the compiled script named on the command
// line is newer than it, the player would run old code: named by its source
// (show.qns), the script is not run and `problem` says how to compile it;
// named by its compiled file, it runs after a warning. False when it must
// not run.
bool check_stale(const std::string& name, std::string& problem) {
  const std::string compiled = scripts::map_script_name(name);
  struct stat built, source;
  if (::stat(compiled.c_str(), &built) != 0) return true;
  const std::string path = source_beside(compiled, source);
  if (path.empty()) return true;
  const bool newer = source.st_mtim.tv_sec != built.st_mtim.tv_sec ? source.st_mtim.tv_sec > built.st_mtim.tv_sec
                                                                 : source.st_mtim.tv_nsec > built.st_mtim.tv_nsec;
  if (!newer) return true;
  if (extension_of(name) != "qnc") {
    problem = compiled + " is older than " + path + ": compile it again with quillonc " + path +
              ", or compile and run it in one step with quillonc --run " + path;
    return false;
  }
  std::fprintf(stderr, "quillon: warning: %s is older than %s; compile it again with quillonc %s\n", compiled.c_str(),
               path.c_str(), path.c_str());
  return true;
}

}  // namespace

std::string parse_command_line(std::string line, StartupFlags& flags, bool first_word) {
  size_t i = 0;
  while (i < line.size() && is_blank(line[i])) i++;
  line.erase(0, i);
  // A switch: '/', a letter, then the end, a blank, ':' or a digit.
  // Note: the switch must end there and its window number may only follow
  // blanks or ':' ("/p 1234", "/c:1234"), so that a path such as /a/show.qnc
  // or a name with digits after "/s " is never taken apart.
  auto ends_switch = [](char c) { return c == ' ' || c == '\t' || c == ':' || std::isdigit(static_cast<unsigned char>(c)); };
  while (line.size() >= 2 && line[0] == '/' && (line.size() == 2 || ends_switch(line[2]))) {
    char letter = char(std::tolower(static_cast<unsigned char>(line[1])));
    if (letter == 'a') {
      flags.password = true;
    } else if (letter == 'c') {
      flags.settings = true;
      flags.preview = false;
    } else if (letter == 'p') {
      flags.small = true;
    } else if (letter == 's') {
      // Nothing: the system checks the password itself.
    } else {
      break;  // not a switch: the rest of the line stays as it is
    }
    size_t j = 2;
    while (j < line.size() && (is_blank(line[j]) || line[j] == ':')) j++;
    if (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]))) {
      uint64_t number = 0;
      while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]))) number = number * 10 + uint64_t(line[j++] - '0');
      flags.parent = number;
      flags.parent_given = true;
    }
    while (j < line.size() && is_blank(line[j])) j++;
    line.erase(0, j);
  }
  i = 0;
  while (i < line.size() && is_blank(line[i])) i++;
  line.erase(0, i);
  if (!line.empty() && line[0] == '"') {
    size_t end = line.find('"', 1);
    return line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  if (first_word) return line.substr(0, line.find_first_of(" \t"));
  return line;
}

namespace {
StartupFlags g_flags;
}

const StartupFlags& startup_flags() { return g_flags; }
void set_startup_flags(const StartupFlags& flags) { g_flags = flags; }

vm::Interp* start_up(const std::string& name, const std::vector<std::string>& words, const StartupFlags& flags,
                     int show_state, std::string& problem) {
  g_flags = flags;
  vm::Interp* ctx = vm::interp_create();
  if (!ctx) return nullptr;
  vm::sysvar_set_int(*ctx, vm::SV_var_winshowstyle, show_state);
  vm::sysvar_set_int(*ctx, vm::SV_var_scrsmall, flags.small);
  vm::sysvar_set_int(*ctx, vm::SV_var_scrpassword, flags.password);
  vm::sysvar_set_int(*ctx, vm::SV_var_scrsettings, flags.settings);
  vm::sysvar_set_int(*ctx, vm::SV_var_scrpreview, flags.preview);
  vm::sysvar_set_int(*ctx, vm::SV_var_corvaneruntime, flags.bound_runtime);
  // The command-line words are the variables 0, 1, 2 ... of the script level.
  for (size_t k = 0; k < words.size(); k++) {
    vm::Value* scope = vm::scope_table(*ctx, 1, true);
    vm::Value* cell = scope ? vm::table_get(*scope, vm::Value::from_int(int64_t(k))) : nullptr;
    if (!cell) continue;
    uint32_t text = vm::text_intern(words[k]);
    vm::value_store(*cell, vm::Value::from_handle(text));
    vm::element_release(text);
  }
  std::string script = name;
  std::string ext = extension_of(name);
  const std::string shown = name == "resource:" ? std::string("the program's own archive") : name;
  if (ext != "qnc" && ext != "qns" && ext != "vks") {
    if (!storage::archive_open(ctx, name)) {
      problem = shown + ": no such file, or it cannot be read";
      return ctx;
    }
    // The start member, named as a script source's compiled form or without
    // an extension.
    if (storage::archive_has_member("startup")) {
      script = "vk:startup";
    } else if (storage::archive_has_member("startup.qnc")) {
      script = "vk:startup.qnc";
    } else {
      problem = shown + " is not a library archive with a start-up script (a member named startup or startup.qnc)";
      return ctx;
    }
  } else if (!check_stale(name, problem)) {
    return ctx;
  }
  if (ctx->stop == 0 && scripts::load_program(*ctx, *ctx, script, false, &problem) && ctx->stop == 0)
    vm::interp_run(*ctx);
  if (!problem.empty() && script == name) {
    // A compiled script that was never made: say how to make it.
    const std::string compiled = scripts::map_script_name(name);
    struct stat st;
    const std::string source = source_beside(compiled, st);
    if (::stat(compiled.c_str(), &st) != 0 && !source.empty())
      problem += " (compile " + source + " with quillonc first: quillonc " + source +
                 ", or compile and run it in one step: quillonc --run " + source + ")";
  }
  return ctx;
}

}  // namespace host
