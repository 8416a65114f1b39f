// Directory commands: dirchange, dircreate, dirdelete, direxists,
// dirgetcurrent, and the listing drivefilelist.
//
// Paths are disk paths (a leading "disk:" is allowed); "/" separates their
// parts. Wildcards are "*" and "?", matched case-insensitively.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/archive.h"
#include "storage/files.h"
#include "vm/commands.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

namespace vm {
namespace {

using storage::TextArg;

bool path_arg(Interp& ctx, uint32_t n, uint32_t i, std::string& path) {
  return storage::disk_path(TextArg(ctx, arg(ctx, n, i)).view(), path);
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates a directory and any missing parents; true when it exists after.
bool make_dirs(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) break;
  }
  ::mkdir(path.c_str(), 0777);
  return is_dir(path);
}

// drivefilelist flags.
constexpr int64_t kListHidden = 0x2;            // names starting with "." too
constexpr int64_t kListDirectories = 0x10;      // directories too, each followed by "/"
constexpr int64_t kListArchives = 0x8000000;    // archive members instead of disk files

// The disk entries matching `pattern` (a directory part, then a name that
// may hold wildcards; an existing directory lists all of its entries).
std::string list_disk(const std::string& pattern, int64_t flags) {
  bool whole_dir = pattern.find_first_of("*?") == std::string::npos && is_dir(pattern);
  size_t slash = whole_dir ? pattern.size() : pattern.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : pattern.substr(0, slash));
  std::string name(whole_dir ? std::string_view("*") : std::string_view(pattern).substr(slash == std::string::npos ? 0 : slash + 1));
  std::vector<std::string> found;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string entry = e->d_name;
      if (entry == "." || entry == "..") continue;
      if (entry[0] == '.' && !(flags & kListHidden)) continue;
      if (!wildcard_match(name, entry)) continue;
      std::string full = dir;
      full += '/';
      full += entry;
      bool directory = is_dir(full);
      if (directory && !(flags & kListDirectories)) continue;
      if (directory) entry += '/';
      found.push_back(std::move(entry));
    }
    ::closedir(d);
  }
  std::sort(found.begin(), found.end());
  std::string out;
  for (const std::string& f : found) {
    out += f;
    out += "\r\n";
  }
  return out;
}

}  // namespace

// dirchange path: makes it the current directory.
void h_dirchange(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  if (path_arg(ctx, n, 0, path)) (void)::chdir(path.c_str());
  pop_n(ctx, n);
}

// dircreate path: creates the directory and any missing parents; 1 when it
// exists afterwards.
void h_dircreate(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  storage::finish_int(ctx, n, path_arg(ctx, n, 0, path) && make_dirs(path) ? 1 : 0);
}

// dirdelete path: removes an empty directory; 1 when removed.
void h_dirdelete(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  storage::finish_int(ctx, n, path_arg(ctx, n, 0, path) && ::rmdir(path.c_str()) == 0 ? 1 : 0);
}

// direxists path...: 1 when every path is an existing directory.
void h_direxists(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool all = n > 0;
  for (uint32_t i = 0; i < n && all; i++) {
    std::string path;
    all = path_arg(ctx, n, i, path) && is_dir(path);
  }
  storage::finish_int(ctx, n, all ? 1 : 0);
}

// dirgetcurrent: the current directory.
void h_dirgetcurrent(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::error_code ec;
  std::string cwd = std::filesystem::current_path(ec).string();
  storage::finish_text(ctx, n, ec ? std::string() : cwd);
}

// drivefilelist pattern [flags]: the names matching the pattern, sorted,
// each followed by CR LF (the empty text when none match). Flags: 0x2 adds
// hidden names (starting with "."), 0x10 adds directories (shown with a
// trailing "/"), 0x8000000 lists the members of the open archives instead,
// as a "vk:" prefix on the pattern does (in archive order).
void h_drivefilelist(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string pattern = TextArg(ctx, arg(ctx, n, 0)).str();
  int64_t flags = storage::int_arg(ctx, n, 1);
  bool vk = pattern.size() >= 3 && (pattern[0] | 0x20) == 'v' && (pattern[1] | 0x20) == 'k' && pattern[2] == ':';
  if (vk || (flags & kListArchives)) {
    Value list = storage::archive_list_members(vk ? std::string_view(pattern).substr(3) : pattern);
    std::string out(element_text(list));
    value_release(list);
    storage::finish_text(ctx, n, out);
    return;
  }
  std::string path;
  storage::finish_text(ctx, n, storage::disk_path(pattern.empty() ? "*" : pattern, path) ? list_disk(path, flags) : "");
}

}  // namespace vm
