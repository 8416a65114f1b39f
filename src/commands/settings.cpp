#include "commands/settings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "storage/files.h"

namespace settings {
namespace {

// A larger file is not read (and so never rewritten).
constexpr size_t kFileLimit = size_t(16) << 20;

constexpr const char* kHives[][2] = {
    {"HKEY_CURRENT_USER", "HKCU"},     {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_USERS", "HKU"},             {"HKEY_CURRENT_CONFIG", "HKCC"},
};

char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c | 0x20) : c; }

const char kHex[] = "0123456789abcdef";

// Escapes control bytes, the backslash, the bytes in `special` and blanks
// at either end.
std::string escape(std::string_view s, std::string_view special) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    uint8_t c = uint8_t(s[i]);
    bool edge_blank = c == ' ' && (i == 0 || i + 1 == s.size());
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F || edge_blank || special.find(char(c)) != std::string_view::npos) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of an escaped text; false when an escape is broken.
bool unescape(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '\\') {
      out += s[i];
    } else if (i + 1 < s.size() && s[i + 1] == '\\') {
      out += '\\';
      i++;
    } else if (i + 3 < s.size() && s[i + 1] == 'x' && hex_digit(s[i + 2]) >= 0 && hex_digit(s[i + 3]) >= 0) {
      out += char(hex_digit(s[i + 2]) << 4 | hex_digit(s[i + 3]));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

bool parse_entry(std::string_view line, Entry& e) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view name = line.substr(0, eq), rest = line.substr(eq + 1);
  if (name == "@")
    e.name.clear();
  else if (name.empty() || !unescape(name, e.name) || e.name.empty())
    return false;
  size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view kind = rest.substr(0, colon), data = rest.substr(colon + 1);
  e.data.clear();
  e.number = 0;
  if (kind == "text") {
    e.kind = Kind::Text;
    return unescape(data, e.data);
  }
  if (kind == "number") {
    e.kind = Kind::Number;
    auto r = std::from_chars(data.data(), data.data() + data.size(), e.number);
    return r.ec == std::errc() && r.ptr == data.data() + data.size();
  }
  if (kind == "binary") {
    e.kind = Kind::Binary;
    if (data.size() % 2) return false;
    for (size_t i = 0; i < data.size(); i += 2) {
      int hi = hex_digit(data[i]), lo = hex_digit(data[i + 1]);
      if (hi < 0 || lo < 0) return false;
      e.data += char(hi << 4 | lo);
    }
    return true;
  }
  return false;
}

bool read_fd(int fd, std::string& data, std::string* error) {
  data.clear();
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) > kFileLimit) {
    if (error) *error = "the settings file is not a regular file of at most 16 MiB";
    return false;
  }
  char block[65536];
  while (true) {
    ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      if (error) *error = std::string("the settings file cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (got == 0) return true;
    data.append(block, size_t(got));
    if (data.size() > kFileLimit) {
      if (error) *error = "the settings file is larger than 16 MiB";
      return false;
    }
  }
}

// Reads the file at `path`; a missing file is empty.
bool read_file(const std::string& path, std::string& data, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    data.clear();
    if (errno == ENOENT) return true;
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = read_fd(fd, data, error);
  ::close(fd);
  return ok;
}

// Makes the folder and its parents (mode 0700 for the ones made).
bool make_dirs(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); at++) {
    if (at != dir.size() && dir[at] != '/') continue;
    std::string part = dir.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Holds flock() on the store's lock file for its lifetime.
class Lock {
 public:
  Lock(const std::string& dir, bool exclusive, std::string* error) {
    if (!make_dirs(dir)) {
      if (error) *error = dir + ": the folder cannot be made: " + std::strerror(errno);
      return;
    }
    fd_ = ::open((dir + "/settings.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      if (error) *error = dir + "/settings.lock: " + std::strerror(errno);
      return;
    }
    int rc;
    while ((rc = ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      if (error) *error = dir + "/settings.lock: " + std::strerror(errno);
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Lock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Writes the text beside the file and renames it over the file.
bool write_file(const std::string& path, const std::string& data, std::string* error) {
  std::string temp = path + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = path + ": a new file cannot be made: " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, 0600) == 0 && storage::write_all(fd, data) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    if (error) *error = path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
  }
  return ok;
}

// Is `path` the key `base` or below it?
bool within(std::string_view path, std::string_view base) {
  return path.size() >= base.size() && same_name(path.substr(0, base.size()), base) &&
         (path.size() == base.size() || path[base.size()] == '\\');
}

}  // namespace

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

Key* Store::find(std::string_view path) {
  for (Key& k : keys)
    if (same_name(k.path, path)) return &k;
  return nullptr;
}

Key& Store::make(std::string_view path) {
  if (Key* k = find(path)) return *k;
  keys.push_back({std::string(path), {}});
  return keys.back();
}

Entry* Store::find(std::string_view path, std::string_view name) {
  Key* k = find(path);
  if (!k) return nullptr;
  for (Entry& e : k->values)
    if (same_name(e.name, name)) return &e;
  return nullptr;
}

bool Store::remove_key(std::string_view path) {
  size_t before = keys.size();
  std::erase_if(keys, [&](const Key& k) { return within(k.path, path); });
  return keys.size() != before;
}

bool Store::remove_value(std::string_view path, std::string_view name) {
  Key* k = find(path);
  if (!k) return false;
  size_t before = k->values.size();
  std::erase_if(k->values, [&](const Entry& e) { return same_name(e.name, name); });
  return k->values.size() != before;
}

void Store::set(std::string_view path, const Entry& value) {
  Key& k = make(path);
  for (Entry& e : k.values)
    if (same_name(e.name, value.name)) {
      std::string keep = e.name;
      e = value;
      e.name = keep;
      return;
    }
  k.values.push_back(value);
}

Store parse(std::string_view text) {
  Store store;
  Key* current = nullptr;
  std::string unescaped;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']' || !unescape(line.substr(1, line.size() - 2), unescaped)) continue;
      std::string path = normalise_path(unescaped);
      if (!path.empty()) current = &store.make(path);
      continue;
    }
    Entry e;
    if (current && parse_entry(line, e)) {
      bool seen = false;
      for (const Entry& old : current->values) seen = seen || same_name(old.name, e.name);
      if (!seen) current->values.push_back(std::move(e));  // the first one wins
    }
  }
  return store;
}

std::string serialize(const Store& store) {
  std::string out = "# Quillon settings: one section per key, one value per line (name=kind:data)\n";
  for (const Key& k : store.keys) {
    std::string path = k.path;  // parts hold no separators: written with "/"
    std::replace(path.begin(), path.end(), '\\', '/');
    out += "\n[" + escape(path, "]") + "]\n";
    for (const Entry& e : k.values) {
      // "@" alone is the default value; a name may not start a comment or
      // a section either.
      bool first_special = !e.name.empty() && std::string_view("@#;[").find(e.name[0]) != std::string_view::npos;
      out += e.name.empty() ? std::string("@") : escape(e.name, first_special ? "=@#;[" : "=");
      switch (e.kind) {
        case Kind::Text:
          out += "=text:" + escape(e.data, "");
          break;
        case Kind::Number:
          out += "=number:" + std::to_string(e.number);
          break;
        case Kind::Binary:
          out += "=binary:";
          for (char c : e.data) {
            out += kHex[uint8_t(c) >> 4];
            out += kHex[uint8_t(c) & 15];
          }
          break;
      }
      out += '\n';
    }
  }
  return out;
}

std::string normalise_path(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t end = path.find_first_of("\\/");
    std::string_view part = path.substr(0, end);
    path.remove_prefix(end == std::string_view::npos ? path.size() : end + 1);
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
    if (!part.empty()) parts.push_back(part);
  }
  std::string out = "HKEY_CURRENT_USER";
  size_t first = 0;
  if (!parts.empty())
    for (const auto& hive : kHives)
      if (same_name(parts[0], hive[0]) || same_name(parts[0], hive[1])) {
        out = hive[0];
        first = 1;
      }
  if (first == parts.size()) return "";
  for (size_t i = first; i < parts.size(); i++) {
    out += '\\';
    out += parts[i];
  }
  return out;
}

std::string store_dir() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/quillon";
  const char* home = std::getenv("HOME");
  return std::string(home && home[0] ? home : "/tmp") + "/.config/quillon";
}

bool load(Store& out, std::string* error) {
  std::string dir = store_dir(), data;
  Lock lock(dir, false, error);
  if (!lock.held() || !read_file(dir + "/settings.ini", data, error)) return false;
  out = parse(data);
  return true;
}

bool update(const std::function<bool(Store&)>& change, std::string* error) {
  std::string dir = store_dir(), data;
  Lock lock(dir, true, error);
  if (!lock.held() || !read_file(dir + "/settings.ini", data, error)) return false;
  Store store = parse(data);
  if (!change(store)) return true;
  return write_file(dir + "/settings.ini", serialize(store), error);
}

}  // namespace settings
