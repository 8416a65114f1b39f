// quillonc: compiles script sources (.qns, .vks) into compiled scripts
// (.qnc) with their listings (.log), and shows compiled files word by word.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/disassembler.h"
#include "compiler/listing.h"
#include "compiler/packer.h"
#include "scripts/image_format.h"

namespace fs = std::filesystem;

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: quillonc [-o OUT.qnc] [--no-listing] [--strict] FILE.qns|FILE.vks ...\n"
               "       quillonc [OPTIONS] --run FILE.qns [PLAYER OPTIONS] [WORDS ...]\n"
               "       quillonc [OPTIONS] --watch FILE.qns [PLAYER OPTIONS] [WORDS ...]\n"
               "       quillonc --disassemble FILE.qnc\n"
               "Compiles each script (and the scripts it merges) into FILE.qnc and writes its\n"
               "listing FILE.log beside it. Nothing is written when any script has an error.\n"
               "Options:\n"
               "  -o OUT.qnc      name of the compiled file (one script only)\n"
               "  --no-listing    do not write the listing\n"
               "  --strict        treat warnings as errors (nothing is written when there is one)\n"
               "  --run           compile the script, then run it with the player beside quillonc:\n"
               "                  the player options after the name (--headless, --snapshot FILE ...)\n"
               "                  come before the compiled file, the other words after it (@2, @3 ...);\n"
               "                  the exit status is then the player's\n"
               "  --watch         as --run, and then compile the script again each time a script\n"
               "                  source (.qns, .vks) in its folder is saved, restarting the player\n"
               "                  on the new program; after a compile error the last good program\n"
               "                  keeps running. Ctrl+C (SIGINT) or SIGTERM ends it and the player\n"
               "  --disassemble   print the token words of a compiled file, one per line\n"
               "  --help          print this help\n"
               "  --version       print the version\n"
               "Sources are Windows-1252, or UTF-8 (with its byte order mark, or valid UTF-8 with\n"
               "characters beyond ASCII): their texts are converted to Windows-1252, the player's\n"
               "code page.\n");
}

struct Output {
  std::string path;
  std::string bytes;
};

std::string replace_extension(const std::string& path, const char* ext) {
  fs::path p(path);
  p.replace_extension(ext);
  return p.string();
}

// The compiled file's name: .qns and .vks become .qnc; any other name gets .qnc in place of its extension.
std::string compiled_name(const std::string& source) {
  std::string mapped = scripts::map_script_name(source);
  return mapped != source ? mapped : replace_extension(source, ".qnc");
}

// Writes beside the target and renames, so that a failed run leaves no half-written file.
bool write_atomically(const Output& o) {
  std::string temp = o.path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(o.bytes.data(), std::streamsize(o.bytes.size()));
    out.close();
    if (!out) {
      std::remove(temp.c_str());
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, o.path, ec);
  if (ec) std::remove(temp.c_str());
  return !ec;
}

int disassemble(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "quillonc: cannot read %s\n", path);
    return 1;
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  if (!compiler::disassemble_image(image, text)) {
    std::fprintf(stderr, "quillonc: %s: %s\n", path, text.c_str());
    return 1;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// The words after `--run FILE`: the player's options (words beginning
// with "--", with the value of those that take one) until the first other
// word or "--"; the rest are the script's command-line words.
void split_player_words(char** begin, char** end, std::vector<std::string>& options,
                        std::vector<std::string>& words) {
  char** w = begin;
  for (; w < end && std::strncmp(*w, "--", 2) == 0; w++) {
    if (!std::strcmp(*w, "--")) {
      w++;
      break;
    }
    options.emplace_back(*w);
    bool valued = false;
    for (const char* option : {"--snapshot", "--events", "--desktop", "--record", "--audio-out"})
      valued |= !std::strcmp(*w, option);
    if (valued && w + 1 < end) options.emplace_back(*++w);
  }
  for (; w < end; w++) words.emplace_back(*w);
}

// The command line of the player beside quillonc running `compiled`.
std::vector<std::string> player_command(const std::string& compiled, const std::vector<std::string>& options,
                                        const std::vector<std::string>& words) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  fs::path player = (ec ? fs::path(".") : self.parent_path()) / "quillon";
  std::vector<std::string> args{player.string()};
  args.insert(args.end(), options.begin(), options.end());
  // A name that begins with '-' would read as an option.
  args.push_back(compiled[0] == '-' ? "./" + compiled : compiled);
  args.insert(args.end(), words.begin(), words.end());
  return args;
}

// Replaces this process by the command; returns only when it cannot.
void exec_command(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  std::fprintf(stderr, "quillonc: cannot run the player %s: %s\n", argv[0], std::strerror(errno));
}

// Replaces this process by the player running `compiled`: its exit status
// becomes ours. 1 when it cannot be started.
int run_player(const std::string& compiled, const std::vector<std::string>& options,
               const std::vector<std::string>& words) {
  std::fflush(stdout);
  exec_command(player_command(compiled, options, words));
  return 1;
}

// Compiles the sources and writes each compiled file and listing; false,
// with the messages on standard error, when nothing could be written.
bool compile_all(const std::vector<std::string>& sources, const std::string& out_name, bool with_listing,
                 bool strict, std::vector<Output>& outputs) {
  bool failed = false;
  for (const std::string& source : sources) {
    compiler::SourceFile main;
    if (!compiler::read_source(source, main)) {
      std::fprintf(stderr, "%s: error: cannot read the file\n", source.c_str());
      failed = true;
      continue;
    }
    compiler::Compilation c = compiler::compile_program(main, compiler::load_from_disk);
    bool warned = false;
    for (compiler::Diagnostic d : c.diag.list()) {
      warned |= !d.error;
      d.error |= strict;
      std::fprintf(stderr, "%s\n", compiler::format_diagnostic(d).c_str());
    }
    if (!c.ok() || (strict && warned)) {
      failed = true;
      continue;
    }
    compiler::Packed packed = compiler::pack(c.program);
    if (!packed.error.empty()) {
      std::fprintf(stderr, "%s: error: %s\n", source.c_str(), packed.error.c_str());
      failed = true;
      continue;
    }
    std::vector<uint8_t> image = scripts::build_image(packed.words, packed.names);
    std::string target = out_name.empty() ? compiled_name(source) : out_name;
    outputs.push_back({target, std::string(image.begin(), image.end())});
    if (with_listing) {
      std::string full = fs::absolute(fs::path(target)).lexically_normal().string();
      outputs.push_back({replace_extension(target, ".log"), compiler::listing(c.program, full)});
    }
  }
  if (failed) return false;
  for (const Output& o : outputs) {
    if (!write_atomically(o)) {
      std::fprintf(stderr, "quillonc: cannot write %s\n", o.path.c_str());
      return false;
    }
  }
  return true;
}

// --- --watch ---------------------------------------------------------------------------------
//
// The folder of the script is watched through inotify; a script source
// (.qns, .vks) written or moved there (editors often save by renaming a new
// file over the old) is compiled again, and when that succeeds the running
// player is ended and started on the new program. A compile error is shown
// and the player goes on with the last good program. quillonc ends, and
// ends its player, on SIGINT, SIGTERM or SIGHUP.

// Starts the player with the signal mask quillonc started with; its
// process id, or -1.
pid_t start_player(const std::vector<std::string>& args, const sigset_t& mask) {
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    exec_command(args);
    _exit(127);
  }
  if (pid < 0) std::fprintf(stderr, "quillonc: cannot start the player: %s\n", std::strerror(errno));
  return pid;
}

// Ends the player (SIGTERM, SIGKILL when it has not ended within 3 seconds)
// and reaps it.
void end_player(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 300; i++) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) {
      pid = -1;
      return;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

bool is_script_name(std::string_view name) {
  if (name.size() < 4) return false;
  std::string ext(name.substr(name.size() - 4));
  for (char& c : ext) c = char(std::tolower(uint8_t(c)));
  return ext == ".qns" || ext == ".vks";
}

// Reads the waiting inotify events; true when one names a script source.
bool script_changed(int fd) {
  alignas(inotify_event) char buf[4096];
  bool changed = false;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return changed;
    for (char* p = buf; p < buf + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      if (e->len > 0 && is_script_name(e->name)) changed = true;
      p += sizeof(inotify_event) + e->len;
    }
  }
}

int watch_and_run(const std::string& source, const std::string& out_name, bool with_listing, bool strict,
                  bool compiled, const std::vector<std::string>& options, const std::vector<std::string>& words) {
  sigset_t mask, old_mask;
  sigemptyset(&mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&mask, sig);
  sigprocmask(SIG_BLOCK, &mask, &old_mask);
  int signals = signalfd(-1, &mask, SFD_CLOEXEC);
  int changes = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  std::string dir = fs::path(source).parent_path().string();
  if (dir.empty()) dir = ".";
  if (signals < 0 || changes < 0 || inotify_add_watch(changes, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    std::fprintf(stderr, "quillonc: cannot watch %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  const std::vector<std::string> command =
      player_command(out_name.empty() ? compiled_name(source) : out_name, options, words);
  pid_t player = compiled ? start_player(command, old_mask) : -1;
  std::fprintf(stderr, "quillonc: watching %s: each save compiles it and restarts the player (Ctrl+C ends)\n",
               source.c_str());
  if (!compiled) std::fprintf(stderr, "quillonc: %s has errors: waiting for the next save\n", source.c_str());
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {changes, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo si{};
      if (read(signals, &si, sizeof si) != sizeof si) continue;
      if (si.ssi_signo != SIGCHLD) {
        end_player(player);
        std::fprintf(stderr, "quillonc: stopped watching %s\n", source.c_str());
        return 0;
      }
      int status = 0;
      if (player > 0 && waitpid(player, &status, WNOHANG) == player) {
        player = -1;
        if (WIFEXITED(status))
          std::fprintf(stderr, "quillonc: the player ended with status %d: waiting for the next save\n",
                       WEXITSTATUS(status));
        else
          std::fprintf(stderr, "quillonc: the player was ended by signal %d: waiting for the next save\n",
                       WTERMSIG(status));
      }
      continue;
    }
    if (!(fds[1].revents & POLLIN) || !script_changed(changes)) continue;
    // Quiet for a tenth of a second first: a save may be several writes.
    for (pollfd quiet{changes, POLLIN, 0}; poll(&quiet, 1, 100) > 0;) script_changed(changes);
    std::vector<Output> outputs;
    if (!compile_all({source}, out_name, with_listing, strict, outputs)) {
      std::fprintf(stderr, "quillonc: %s has errors: %s\n", source.c_str(),
                   player > 0 ? "the last good program keeps running" : "waiting for the next save");
      continue;
    }
    std::fprintf(stderr, "quillonc: %s compiled: restarting the player\n", source.c_str());
    end_player(player);
    player = start_player(command, old_mask);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_name;
  bool with_listing = true;
  bool strict = false;
  bool run = false;
  bool watch = false;
  std::vector<std::string> player_options, script_words;
  std::vector<std::string> sources;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--help")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(a, "--version")) {
      std::printf("quillonc %s\n", QUILLON_VERSION);
      return 0;
    }
    if (!std::strcmp(a, "--disassemble")) {
      if (i + 1 != argc - 1) {
        usage(stderr);
        return 1;
      }
      return disassemble(argv[i + 1]);
    }
    if (!std::strcmp(a, "--no-listing")) {
      with_listing = false;
    } else if (!std::strcmp(a, "--strict")) {
      strict = true;
    } else if (!std::strcmp(a, "--run") || !std::strcmp(a, "--watch")) {
      if (++i >= argc) {
        std::fprintf(stderr, "quillonc: %s needs a script\n", a);
        return 1;
      }
      (a[2] == 'r' ? run : watch) = true;
      sources.emplace_back(argv[i]);
      split_player_words(argv + i + 1, argv + argc, player_options, script_words);
      break;
    } else if (!std::strcmp(a, "-o")) {
      if (++i >= argc) {
        std::fprintf(stderr, "quillonc: -o needs a file name\n");
        return 1;
      }
      out_name = argv[i];
    } else if (a[0] == '-' && a[1] != 0) {
      std::fprintf(stderr, "quillonc: unknown option %s\n", a);
      usage(stderr);
      return 1;
    } else {
      sources.emplace_back(a);
    }
  }
  if (sources.empty()) {
    usage(stderr);
    return 1;
  }
  if ((run || watch) && sources.size() != 1) {
    std::fprintf(stderr, "quillonc: --%s takes one script: name it last, after the other options\n",
                 run ? "run" : "watch");
    return 1;
  }
  if (!out_name.empty() && sources.size() != 1) {
    std::fprintf(stderr, "quillonc: -o names the output of one script only\n");
    return 1;
  }

  std::vector<Output> outputs;
  bool compiled = compile_all(sources, out_name, with_listing, strict, outputs);
  if (watch)
    return watch_and_run(sources.front(), out_name, with_listing, strict, compiled, player_options, script_words);
  if (!compiled) return 1;
  if (run) return run_player(outputs.front().path, player_options, script_words);
  return 0;
}
