// appfindlauncher: the desktop's default program for a kind of document,
// found as the desktop finds it (the freedesktop.org MIME database and
// mimeapps.list files), without starting anything.
//
// The MIME type comes from the globs2 files of the MIME database
// ($XDG_DATA_HOME and $XDG_DATA_DIRS, under mime/); the default program's
// desktop file from the [Default Applications] of the mimeapps.list files
// ($XDG_CONFIG_HOME, $XDG_CONFIG_DIRS, then the data folders' applications/,
// with defaults.list there) and, failing those, the first program of the
// data folders' applications/mimeinfo.cache that takes the type; the
// program is the first word of that desktop file's Exec line.
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "storage/files.h"
#include "vm/commands.h"
#include "vm/interp.h"

namespace vm {
namespace {

std::vector<std::string> split(std::string_view s, char sep) {
  std::vector<std::string> out;
  while (!s.empty()) {
    size_t end = s.find(sep);
    if (end > 0) out.emplace_back(s.substr(0, end));
    s.remove_prefix(end == std::string_view::npos ? s.size() : end + 1);
  }
  return out;
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && v[0] == '/' ? std::string(v) : fallback;
}

std::string home() {
  const char* h = std::getenv("HOME");
  return h && *h ? h : "/";
}

// $XDG_DATA_HOME then every folder of $XDG_DATA_DIRS.
std::vector<std::string> data_dirs() {
  std::vector<std::string> dirs{env_or("XDG_DATA_HOME", home() + "/.local/share")};
  const char* list = std::getenv("XDG_DATA_DIRS");
  for (const std::string& d : split(list && *list ? list : "/usr/local/share:/usr/share", ':'))
    if (d[0] == '/') dirs.push_back(d);
  return dirs;
}

std::vector<std::string> config_dirs() {
  std::vector<std::string> dirs{env_or("XDG_CONFIG_HOME", home() + "/.config")};
  const char* list = std::getenv("XDG_CONFIG_DIRS");
  for (const std::string& d : split(list && *list ? list : "/etc/xdg", ':'))
    if (d[0] == '/') dirs.push_back(d);
  return dirs;
}

// The lines of a small text file (none when missing or larger than 8 MiB).
std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> lines;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (8 << 20)) return lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The value of `key` in the section `section` of a desktop-style file.
std::string ini_value(const std::string& path, std::string_view section, std::string_view key) {
  bool in = false;
  for (const std::string& line : lines_of(path)) {
    if (!line.empty() && line[0] == '[') {
      in = line == "[" + std::string(section) + "]";
    } else if (in) {
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string_view k = std::string_view(line).substr(0, eq);
      while (!k.empty() && k.back() == ' ') k.remove_suffix(1);
      if (k == key) {
        size_t at = line.find_first_not_of(' ', eq + 1);
        return at == std::string::npos ? "" : line.substr(at);
      }
    }
  }
  return "";
}

// The MIME type of a file name by the database's globs (the heaviest
// match, then the longest pattern); "" when none matches.
std::string mime_of(const std::string& name) {
  std::string base = name.substr(name.find_last_of('/') + 1);
  std::string best;
  int best_weight = -1;
  size_t best_length = 0;
  for (const std::string& dir : data_dirs())
    for (const std::string& line : lines_of(dir + "/mime/globs2")) {
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> f = split(line, ':');
      if (f.size() < 3) continue;
      int weight = std::atoi(f[0].c_str());
      bool case_sensitive = f.size() > 3 && f[3].find("cs") != std::string::npos;
      if (::fnmatch(f[2].c_str(), base.c_str(), case_sensitive ? 0 : FNM_CASEFOLD) != 0) continue;
      if (weight > best_weight || (weight == best_weight && f[2].size() > best_length)) {
        best = f[1];
        best_weight = weight;
        best_length = f[2].size();
      }
    }
  return best;
}

// The path of a desktop file by its id, "" when no data folder has it.
std::string desktop_file(const std::string& id) {
  if (id.empty() || id.find('/') != std::string::npos) return "";
  for (const std::string& dir : data_dirs()) {
    std::string path = dir + "/applications/" + id;
    if (::access(path.c_str(), R_OK) == 0) return path;
  }
  return "";
}

// The first installed desktop file of a "a.desktop;b.desktop;" list.
std::string first_installed(const std::string& list) {
  for (const std::string& id : split(list, ';'))
    if (std::string path = desktop_file(id); !path.empty()) return path;
  return "";
}

std::string default_desktop_file(const std::string& mime) {
  std::vector<std::string> lists;
  for (const std::string& d : config_dirs()) lists.push_back(d + "/mimeapps.list");
  for (const std::string& d : data_dirs()) lists.push_back(d + "/applications/mimeapps.list");
  for (const std::string& d : data_dirs()) lists.push_back(d + "/applications/defaults.list");
  for (const std::string& list : lists)
    if (std::string path = first_installed(ini_value(list, "Default Applications", mime)); !path.empty())
      return path;
  for (const std::string& d : data_dirs())
    if (std::string path = first_installed(ini_value(d + "/applications/mimeinfo.cache", "MIME Cache", mime));
        !path.empty())
      return path;
  return "";
}

// The program of an Exec line: its first word (double quotes group), as a
// full path when PATH has it.
std::string program_of(const std::string& exec) {
  std::string word;
  bool quoted = false;
  for (char c : exec) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      if (!word.empty()) break;
    } else {
      word += c;
    }
  }
  if (word.empty() || word.find('/') != std::string::npos) return word;
  const char* path = std::getenv("PATH");
  for (const std::string& dir : split(path ? path : "/usr/bin:/bin", ':')) {
    std::string full = dir + "/" + word;
    if (::access(full.c_str(), X_OK) == 0) return full;
  }
  return word;
}

}  // namespace

// appfindlauncher document: the program that the desktop opens such a
// document with (its full path), "" when there is none. The argument is a
// file name, an extension ("txt", ".txt") or a MIME type ("text/plain").
void h_appfindlauncher(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string doc = storage::TextArg(ctx, arg(ctx, n, 0)).str();
  std::string mime;
  size_t slash = doc.find('/');
  if (slash != std::string::npos && slash > 0 && doc.find('/', slash + 1) == std::string::npos &&
      doc.find('.') == std::string::npos)
    mime = doc;
  else if (!doc.empty())
    mime = mime_of(doc.find_first_of("./") == std::string::npos ? "x." + doc : doc[0] == '.' ? "x" + doc : doc);
  std::string file = mime.empty() ? "" : default_desktop_file(mime);
  storage::finish_text(ctx, n, file.empty() ? "" : program_of(ini_value(file, "Desktop Entry", "Exec")));
}

}  // namespace vm
