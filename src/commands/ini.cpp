// INI files: iniget, iniset, inirefresh.
//
// An INI file is a disk file of lines: "[section]" headers, "key=value"
// lines, and comments starting with ";" or "#". Sections and keys match
// without regard to case and to blanks around them. As the profile-string
// functions scripts were written for: a missing file, section or key gives
// the default; the first matching section and key win; a value is read
// without surrounding blanks and without one pair of enclosing quotes.
// Every call reads the file afresh and every change writes it at once, so
// no cache exists to refresh.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "storage/files.h"
#include "vm/commands.h"
#include "vm/interp.h"

namespace vm {
namespace {

using storage::TextArg;

// Larger files are not read (and never rewritten).
constexpr size_t kIniLimit = size_t(64) << 20;

struct IniFile {
  std::vector<std::string> lines;  // without their line ends
  std::string eol = "\r\n";        // the file's own line end, CR LF for a new file
};

std::string_view trim(std::string_view s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string_view::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool same(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if ((a[i] | (a[i] >= 'A' && a[i] <= 'Z' ? 0x20 : 0)) != (b[i] | (b[i] >= 'A' && b[i] <= 'Z' ? 0x20 : 0)))
      return false;
  return true;
}

// A "[name]" line (a header without its "]" runs to the end of the line).
bool section_line(std::string_view line, std::string_view& name) {
  line = trim(line);
  if (line.empty() || line[0] != '[') return false;
  line.remove_prefix(1);
  name = trim(line.substr(0, line.find(']')));
  return true;
}

// A "key=value" line.
bool key_line(std::string_view line, std::string_view& key, std::string_view& value) {
  line = trim(line);
  if (line.empty() || line[0] == ';' || line[0] == '#' || line[0] == '[') return false;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = trim(line.substr(0, eq));
  value = trim(line.substr(eq + 1));
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    value = value.substr(1, value.size() - 2);
  return !key.empty();
}

// Reads the file; false when it exists but cannot be read whole. A missing
// file reads as empty.
bool load(const std::string& path, IniFile& ini, bool& exists) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
  exists = fd >= 0 || errno != ENOENT;
  if (fd < 0) return !exists;
  struct stat st;
  std::string data;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= kIniLimit;
  char block[65536];
  while (ok) {
    ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    data.append(block, size_t(got));
    ok = data.size() <= kIniLimit;
  }
  ::close(fd);
  if (!ok) return false;
  size_t first_end = data.find_first_of("\r\n");
  if (first_end != std::string::npos && data[first_end] == '\n') ini.eol = "\n";
  for (size_t i = 0; i < data.size();) {
    size_t end = data.find_first_of("\r\n", i);
    if (end == std::string::npos) end = data.size();
    ini.lines.emplace_back(data, i, end - i);
    i = end < data.size() && data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n' ? end + 2 : end + 1;
  }
  return true;
}

// Writes the lines back. An existing file is replaced through a new file
// beside it, so that a failed write never leaves it half written.
bool save(const std::string& path, const IniFile& ini, bool exists) {
  std::string data;
  for (const std::string& line : ini.lines) data += line + ini.eol;
  if (!exists) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = storage::write_all(fd, data);
    return ::close(fd) == 0 && ok;
  }
  char resolved[PATH_MAX];
  std::string target = ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  struct stat st;
  if (::stat(target.c_str(), &st) != 0) return false;
  std::string temp = target + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, st.st_mode & 07777) == 0 && storage::write_all(fd, data);
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// The end of the section whose header is at `header`: the next header or
// the end of the file.
size_t section_end(const IniFile& ini, size_t header) {
  std::string_view name;
  size_t i = header + 1;
  while (i < ini.lines.size() && !section_line(ini.lines[i], name)) i++;
  return i;
}

// Applies one change; false when nothing changed.
bool change(IniFile& ini, std::string_view section, const std::string* key, const std::string* value) {
  bool changed = false;
  std::string_view name, k, v;
  if (!key) {  // remove every section of that name
    for (size_t i = 0; i < ini.lines.size();) {
      if (section_line(ini.lines[i], name) && same(name, section)) {
        ini.lines.erase(ini.lines.begin() + long(i), ini.lines.begin() + long(section_end(ini, i)));
        changed = true;
      } else {
        i++;
      }
    }
    return changed;
  }
  for (size_t s = 0; s < ini.lines.size(); s++) {
    if (!section_line(ini.lines[s], name) || !same(name, section)) continue;
    size_t end = section_end(ini, s);
    for (size_t i = s + 1; i < end; i++) {
      if (!key_line(ini.lines[i], k, v) || !same(k, *key)) continue;
      if (value)
        ini.lines[i] = *key + "=" + *value;
      else
        ini.lines.erase(ini.lines.begin() + long(i));
      return true;
    }
    if (!value) return false;
    size_t at = end;
    while (at > s + 1 && trim(ini.lines[at - 1]).empty()) at--;  // after the section's last line
    ini.lines.insert(ini.lines.begin() + long(at), *key + "=" + *value);
    return true;
  }
  if (!value) return false;
  if (!ini.lines.empty() && !trim(ini.lines.back()).empty()) ini.lines.emplace_back();
  ini.lines.push_back("[" + std::string(section) + "]");
  ini.lines.push_back(*key + "=" + *value);
  return true;
}

// The first line of a text.
std::string first_line(std::string_view s) { return std::string(s.substr(0, s.find_first_of("\r\n"))); }

}  // namespace

// iniget file section key [default]: the key's value, or the default (the
// empty text when none is given) when the file, section or key is missing.
// Without a key (null): the names of the section's keys; without a section
// (null): the names of all sections; each name followed by CR LF.
void h_iniget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path, out;
  IniFile ini;
  bool exists = false;
  bool readable = storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), path) && load(path, ini, exists);
  bool want_sections = arg(ctx, n, 1).is_null(), want_keys = !want_sections && arg(ctx, n, 2).is_null();
  TextArg section(ctx, arg(ctx, n, 1)), key(ctx, arg(ctx, n, 2)), fallback(ctx, arg(ctx, n, 3));
  bool found = false, in_section = trim(section.view()).empty();
  std::string_view name, k, v;
  for (size_t i = 0; readable && i < ini.lines.size() && !found; i++) {
    if (section_line(ini.lines[i], name)) {
      in_section = same(name, trim(section.view()));
      if (want_sections) out += std::string(name) + "\r\n";
    } else if (!want_sections && in_section && key_line(ini.lines[i], k, v)) {
      if (want_keys) {
        out += std::string(k) + "\r\n";
      } else if (same(k, trim(key.view()))) {
        out = v;
        found = true;
      }
    }
  }
  if (!found && !want_sections && !want_keys) out = fallback.str();
  storage::finish_text(ctx, n, out);
}

// iniset file section key value: sets the key (creating the file, section
// or key as needed; other lines are kept as they are). A null value removes
// the key, a null key the whole section. A value keeps only its first
// line; a section holding "]" or a key holding "=", or either starting with
// a character that would make it a header or comment, is refused.
void h_iniset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string path;
  std::string section(trim(first_line(TextArg(ctx, arg(ctx, n, 1)).view())));
  std::string key(trim(first_line(TextArg(ctx, arg(ctx, n, 2)).view())));
  std::string value = first_line(TextArg(ctx, arg(ctx, n, 3)).view());
  bool has_key = !arg(ctx, n, 2).is_null(), has_value = has_key && !arg(ctx, n, 3).is_null();
  bool valid = section.find(']') == std::string::npos && key.find('=') == std::string::npos &&
               (!has_key || (!key.empty() && key.find_first_of(";#[") != 0));
  IniFile ini;
  bool exists = false;
  if (valid && storage::disk_path(TextArg(ctx, arg(ctx, n, 0)).view(), path) && load(path, ini, exists) &&
      change(ini, section, has_key ? &key : nullptr, has_value ? &value : nullptr))
    save(path, ini, exists);
  pop_n(ctx, n);
}

// inirefresh [file]: nothing is cached, so nothing is to be done.
void h_inirefresh(Interp& ctx) { pop_n(ctx, close_frame(ctx)); }

}  // namespace vm
