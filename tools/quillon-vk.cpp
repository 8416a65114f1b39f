// quillon-vk: the library archive tool. Creates, lists and extracts
// archives, and binds one to the player to make a self-contained program.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "storage/archive_directory.h"
#include "storage/archive_writer.h"
#include "storage/bound_archive.h"
#include "vm/wildcard.h"

namespace {

constexpr const char* kSynopsis =
    "usage: quillon-vk create OUT.vk FILE...\n"
    "       quillon-vk list ARCHIVE [PATTERN]\n"
    "       quillon-vk extract ARCHIVE [MEMBER...]\n"
    "       quillon-vk bind ARCHIVE -o PROGRAM [--player PATH]\n";
constexpr const char* kDetails =
    "\n"
    "  create   writes an archive of the files; member names are the file names\n"
    "           without their directories, in lower case\n"
    "  list     prints the size and name of each member (PATTERN: * and ?,\n"
    "           any case); ARCHIVE may also be a bound program\n"
    "  extract  writes the members (all when none is named) into the current\n"
    "           directory\n"
    "  bind     copies the player (default: the quillon next to this tool) to\n"
    "           PROGRAM with the archive appended; the program runs the archive's\n"
    "           start-up script (a member named startup or startup.qnc, which the\n"
    "           archive must hold)\n"
    "\n"
    "Member names are printed with control characters escaped (\\xNN); members\n"
    "named with them are never extracted.\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "quillon-vk: %s\n", message.c_str());
  return 1;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "quillon-vk: %s\n%s", message.c_str(), kSynopsis);
  return 2;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return s;
}

bool read_file(const std::string& path, std::string& out, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = path + " is not a regular file";
    return false;
  }
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, size_t(n));
  }
  ::close(fd);
  return true;
}

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Writes `bytes` to `path` through a temporary file in the same directory,
// so that a failure leaves no half-written file behind.
bool write_file(const std::string& path, const std::string& bytes, mode_t mode, std::string& error) {
  std::string temp = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write_all(fd, bytes) && ::fchmod(fd, mode) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  error = "cannot write " + path + ": " + std::strerror(errno);
  ::unlink(temp.c_str());
  return false;
}

// Case-insensitive wildcard: "*" any run, "?" any one character.
bool matches(std::string_view p, std::string_view t) { return vm::wildcard_match_folded(p, t, vm::ascii_lower); }

struct Member {
  std::string name;
  uint32_t offset;
};

// A name as it may be printed on a terminal: control characters, DEL and
// backslashes written as escapes (\n, \t, \xNN, \\), so that a hostile
// archive cannot move the cursor or fake lines.
std::string printable(std::string_view name) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char ch : name) {
    auto c = uint8_t(ch);
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c == 0x7f) out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    else out += ch;
  }
  return out;
}

bool has_control_character(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) { return uint8_t(c) < 0x20 || uint8_t(c) == 0x7f; });
}

// Loads an archive file (or the archive a bound program carries) and its
// members, each name once in directory order with the offset of its last
// entry.
bool load_archive(const std::string& path, std::string& bytes, std::vector<Member>& members,
                  std::string& error) {
  std::string file;
  if (!read_file(path, file, error)) return false;
  std::string bound;
  if (storage::read_bound_archive(path, bound)) file.swap(bound);
  bytes.swap(file);
  if (bytes.size() < 2 || 2 + size_t(base::load_le16(reinterpret_cast<const uint8_t*>(bytes.data()))) >
                              bytes.size()) {
    error = path + " is not a library archive (its directory does not fit in the file)";
    return false;
  }
  storage::ArchiveReader read = [&bytes](int64_t at, void* out, int64_t count) -> int64_t {
    if (at < 0 || at >= int64_t(bytes.size())) return 0;
    int64_t n = std::min<int64_t>(count, int64_t(bytes.size()) - at);
    std::memcpy(out, bytes.data() + at, size_t(n));
    return n;
  };
  std::map<std::string, size_t> index;
  std::vector<storage::DirectoryEntry> entries = storage::read_directory(read, int64_t(bytes.size()));
  // Entries named with control characters, or whose member passes the end,
  // are damage in an archive; when they are most of the directory, the
  // file is some other file read as an archive.
  size_t odd = size_t(std::count_if(entries.begin(), entries.end(), [&](const storage::DirectoryEntry& e) {
    int64_t start = 0, length = 0;
    return has_control_character(e.name) ||
           !storage::member_extent(read, int64_t(bytes.size()), e.offset, start, length);
  }));
  if (odd * 2 > entries.size()) {
    error = path + " is not a library archive (its directory names no members that fit in it)";
    return false;
  }
  for (const storage::DirectoryEntry& e : entries) {
    auto [it, fresh] = index.emplace(e.name, members.size());
    if (fresh)
      members.push_back({e.name, e.offset});
    else
      members[it->second].offset = e.offset;
  }
  return true;
}

// Whether the archive holds a start-up script, the member a bound program runs.
bool has_startup(const std::vector<Member>& members) {
  return std::any_of(members.begin(), members.end(),
                     [](const Member& m) { return m.name == "startup" || m.name == "startup.qnc"; });
}

bool member_bytes(const std::string& archive, const Member& m, std::string& out) {
  storage::ArchiveReader read = [&archive](int64_t at, void* dst, int64_t count) -> int64_t {
    if (at < 0 || at >= int64_t(archive.size())) return 0;
    int64_t n = std::min<int64_t>(count, int64_t(archive.size()) - at);
    std::memcpy(dst, archive.data() + at, size_t(n));
    return n;
  };
  int64_t start = 0, length = 0;
  if (!storage::member_extent(read, int64_t(archive.size()), m.offset, start, length)) return false;
  out.assign(archive, size_t(start), size_t(length));
  return true;
}

int cmd_create(const std::vector<std::string>& args) {
  if (args.size() < 2) return usage_error("create needs an output file and at least one file");
  std::vector<storage::ArchiveMember> members;
  for (size_t i = 1; i < args.size(); i++) {
    const std::string& path = args[i];
    size_t slash = path.find_last_of('/');
    std::string name = lower(slash == std::string::npos ? path : path.substr(slash + 1));
    if (name.empty()) return fail("'" + path + "' names no file");
    storage::ArchiveMember m{name, {}};
    std::string error;
    if (!read_file(path, m.data, error)) return fail(error);
    members.push_back(std::move(m));
  }
  std::string bytes, error;
  if (!storage::write_archive(members, bytes, error)) return fail("cannot create " + args[0] + ": " + error);
  if (!write_file(args[0], bytes, 0644, error)) return fail(error);
  return 0;
}

int cmd_list(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return usage_error("list needs an archive and at most one pattern");
  std::string bytes, error;
  std::vector<Member> members;
  if (!load_archive(args[0], bytes, members, error)) return fail(error);
  int status = 0;
  for (const Member& m : members) {
    if (args.size() == 2 && !matches(args[1], m.name)) continue;
    std::string data;
    if (!member_bytes(bytes, m, data)) {
      std::fprintf(stderr, "quillon-vk: member %s is damaged (it passes the end of the archive)\n",
                   printable(m.name).c_str());
      status = 1;
      continue;
    }
    std::printf("%12zu  %s\n", data.size(), printable(m.name).c_str());
  }
  return status;
}

// A member name that is safe to create in the current directory.
bool safe_file_name(const std::string& name) {
  return !name.empty() && name != "." && name.find('/') == std::string::npos &&
         name.find("..") == std::string::npos && !has_control_character(name);
}

int cmd_extract(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("extract needs an archive");
  std::string bytes, error;
  std::vector<Member> members;
  if (!load_archive(args[0], bytes, members, error)) return fail(error);
  std::vector<const Member*> chosen;
  int status = 0;
  if (args.size() == 1) {
    for (const Member& m : members) chosen.push_back(&m);
  } else {
    for (size_t i = 1; i < args.size(); i++) {
      std::string want = lower(args[i]);
      const Member* found = nullptr;
      for (const Member& m : members)
        if (m.name == want) found = &m;
      if (found) {
        chosen.push_back(found);
      } else {
        std::fprintf(stderr, "quillon-vk: %s holds no member %s\n", args[0].c_str(), printable(args[i]).c_str());
        status = 1;
      }
    }
  }
  for (const Member* m : chosen) {
    if (!safe_file_name(m->name)) {
      std::fprintf(stderr, "quillon-vk: refusing to extract member '%s': not a plain file name\n",
                   printable(m->name).c_str());
      status = 1;
      continue;
    }
    std::string data;
    if (!member_bytes(bytes, *m, data)) {
      std::fprintf(stderr, "quillon-vk: member %s is damaged (it passes the end of the archive)\n",
                   printable(m->name).c_str());
      status = 1;
      continue;
    }
    int fd = ::open(m->name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write_all(fd, data);
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (!ok) {
      std::fprintf(stderr, "quillon-vk: cannot write %s: %s\n", printable(m->name).c_str(), std::strerror(errno));
      status = 1;
      continue;
    }
    std::printf("%s\n", printable(m->name).c_str());
  }
  return status;
}

std::string default_player() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "quillon";
  std::string path(self, size_t(n));
  size_t slash = path.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/quillon";
}

int cmd_bind(const std::vector<std::string>& args) {
  std::string archive_path, output, player;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "-o" || args[i] == "--player") {
      if (i + 1 >= args.size()) return usage_error(args[i] + " needs a value");
      std::string& target = args[i] == "-o" ? output : player;
      target = args[i + 1];
      i++;
    } else if (!args[i].empty() && args[i][0] == '-') {
      return usage_error("unknown option " + args[i]);
    } else if (archive_path.empty()) {
      archive_path = args[i];
    } else {
      return usage_error("bind takes one archive");
    }
  }
  if (archive_path.empty() || output.empty()) return usage_error("bind needs an archive and -o PROGRAM");
  if (player.empty()) player = default_player();

  std::string archive, error;
  std::vector<Member> members;
  if (!load_archive(archive_path, archive, members, error)) return fail(error);
  if (!has_startup(members))
    return fail(archive_path + " holds no start-up script: the program would run nothing (add a member named startup or startup.qnc)");
  std::string program;
  if (!read_file(player, program, error)) return fail("no player to bind to: " + error);
  char out_real[PATH_MAX], player_real[PATH_MAX];
  if (::realpath(output.c_str(), out_real) && ::realpath(player.c_str(), player_real) &&
      std::strcmp(out_real, player_real) == 0)
    return fail("the output " + output + " is the player itself");
  // A player that is already a bound program is bound anew, not twice.
  int fd = ::open(player.c_str(), O_RDONLY | O_CLOEXEC);
  int64_t start = 0, length = 0;
  if (fd >= 0 && storage::bound_archive_extent(fd, start, length)) program.resize(size_t(start));
  if (fd >= 0) ::close(fd);

  program += archive;
  program.append(storage::kBindMagic, sizeof storage::kBindMagic);
  uint64_t n = archive.size();
  base::append_le64(program, n);
  if (!write_file(output, program, 0755, error)) return fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kSynopsis, stdout);
    std::fputs(kDetails, stdout);
    return 0;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "create") return cmd_create(args);
  if (command == "list") return cmd_list(args);
  if (command == "extract") return cmd_extract(args);
  if (command == "bind") return cmd_bind(args);
  return usage_error("unknown command " + command);
}
