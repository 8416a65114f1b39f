// The player: process entry. Options of its own come first and start with
// "--"; after them the command line is the design's own: screen-saver
// switches, then the name of a compiled script or of a library archive.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/debugger.h"
#include "host/engine.h"
#include "host/event_script.h"
#include "host/startup.h"
#include "host/window.h"
#include "scripts/code_view.h"
#include "scripts/program.h"
#include "sound/output.h"
#include "storage/archive.h"
#include "storage/bound_archive.h"
#include "storage/stream.h"
#include "vm/clock.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/operators.h"

extern const uint8_t kBuiltinArchive[];
extern const size_t kBuiltinArchive_size;

namespace {

// The process's exit status (quillon --help lists them).
enum ExitStatus : int {
  kExitNormal = 0,     // the script ended normally
  kExitError = 1,      // the script stopped on an error
  kExitUsage = 2,      // the command line was wrong
  kExitNotLoaded = 3,  // no script could be loaded
  kExitSnapshot = 4,   // the snapshot could not be written
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: quillon [OPTIONS] [/s | /p N | /c[:N] | /a] [NAME]\n"
               "Runs a compiled script (NAME.qnc; .qns and .vks names run their .qnc) or a\n"
               "library archive's start-up script. With no name it runs its built-in one.\n"
               "Options:\n"
               "  --headless      run without a window system\n"
               "  --snapshot FILE write what the window shows as PNG when the script ends\n"
               "  --desktop WxHxBITS  the desktop of --headless (default 1920x1080x24)\n"
               "  --events FILE   deliver the input events written in FILE (see docs/testing.md)\n"
               "  --record FILE   write the input events of the run to FILE in the --events format,\n"
               "                  at their engine-clock times (record with --fixed-clock to replay\n"
               "                  the session headless with --fixed-clock --events FILE)\n"
               "  --fixed-clock   advance the engine clock 1 ms per idle step (repeatable runs)\n"
               "  --audio-out FILE  write the sound output on the engine clock to FILE (48 kHz stereo\n"
               "                  16-bit wave) instead of the sound card\n"
               "  --trace         write the code view (stack and code) to standard error before each token\n"
               "  --window-id XID draw into the existing X window XID instead of opening one\n"
               "                  (a screen saver's window; /p XID does the same for a preview)\n"
               "  --root          run as an XScreenSaver display mode: draw into the window named by\n"
               "                  XSCREENSAVER_WINDOW (a window of its own when that is not set)\n"
               "  --debug-dump FILE  write the debug views (calls, code, elements, variables) as text to\n"
               "                  FILE at every stop: an error, a breakpoint, a single step, the keys\n"
               "                  Ctrl+Shift+D and Ctrl+Shift+V, and the end of the script\n"
               "  --break FILE:LINE  stop at the first statement of that source line (repeatable);\n"
               "                  F10 or space steps, F5 continues, Esc stops (see docs/debugging.md)\n"
               "  --help          print this help\n"
               "  --version       print the version\n"
               "Exit status:\n"
               "  0  the script ended normally (end of its code, exit, or its window closed)\n"
               "  1  the script stopped on an error\n"
               "  2  the command line was wrong\n"
               "  3  no script could be loaded (missing, not a compiled script or archive,\n"
               "     damaged, or an archive without a start-up script), or the script was\n"
               "     named by its source and its compiled file is missing or older\n"
               "  4  the snapshot could not be written\n"
               "Environment:\n"
               "  QUILLON_CA_FILE  a PEM file of the certificate authorities that https and\n"
               "                  ftps transfers trust, instead of the system's bundle\n");
}

void sleep_1ms(vm::Interp&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// --trace: the code view before every token, for debugging without a window.
void trace_token(vm::Interp& ctx) {
  std::string view = scripts::code_view_counters(ctx) + "\n" + scripts::code_view_stack(ctx) +
                     scripts::code_view_code(ctx, ctx.pc) + "\n";
  std::fwrite(view.data(), 1, view.size(), stderr);
}

bool read_file(const char* path, std::string& out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// "WxHxBITS" (BITS optional) into `out`; false when it is not that.
bool parse_desktop(const char* text, platform::Desktop& out) {
  int w = 0, h = 0, bits = 24;
  char end = 0;
  int got = std::sscanf(text, "%dx%dx%d%c", &w, &h, &bits, &end);
  if (got < 2 || got > 3 || w < 1 || h < 1 || bits < 1 || bits > 32) return false;
  out = {w, h, bits};
  return true;
}

// The rest of the command line as one text, words with blanks quoted.
std::string join_words(char** begin, char** end) {
  std::string line;
  for (char** w = begin; w < end; w++) {
    if (!line.empty()) line += ' ';
    bool quote = std::strpbrk(*w, " \t") != nullptr;
    if (quote) line += '"';
    line += *w;
    if (quote) line += '"';
  }
  return line;
}

// A window number as the window system writes it: decimal or 0x hexadecimal.
bool parse_window_id(const char* text, uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || end == text || *end || v == 0 || *text == '-') return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  bool trace = false;
  bool headless = false;
  bool fixed_clock = false;
  const char* events_file = nullptr;
  const char* record_file = nullptr;
  const char* snapshot = nullptr;
  const char* audio_out = nullptr;
  host::DebugOptions debug;
  platform::Desktop desktop;
  uint64_t embed_in = 0;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i++) {
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("quillon %s\n", QUILLON_VERSION);
      return 0;
    }
    if (!std::strcmp(argv[i], "--help")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--headless")) {
      headless = true;
      continue;
    }
    if (!std::strcmp(argv[i], "--fixed-clock")) {
      fixed_clock = true;
      continue;
    }
    if (!std::strcmp(argv[i], "--events")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quillon: --events needs a file\n");
        return kExitUsage;
      }
      events_file = argv[++i];
      continue;
    }
    if (!std::strcmp(argv[i], "--record")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quillon: --record needs a file\n");
        return kExitUsage;
      }
      record_file = argv[++i];
      continue;
    }
    if (!std::strcmp(argv[i], "--audio-out")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quillon: --audio-out needs a file\n");
        return kExitUsage;
      }
      audio_out = argv[++i];
      continue;
    }
    if (!std::strcmp(argv[i], "--snapshot") || !std::strcmp(argv[i], "--desktop")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quillon: %s needs a value\n", argv[i]);
        return kExitUsage;
      }
      if (!std::strcmp(argv[i], "--snapshot")) {
        snapshot = argv[++i];
      } else if (!parse_desktop(argv[++i], desktop)) {
        std::fprintf(stderr, "quillon: bad desktop size %s (want WxHxBITS)\n", argv[i]);
        return kExitUsage;
      }
      continue;
    }
    if (!std::strcmp(argv[i], "--debug-dump") || !std::strcmp(argv[i], "--break")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quillon: %s needs a value\n", argv[i]);
        return kExitUsage;
      }
      if (!std::strcmp(argv[i], "--debug-dump")) {
        debug.dump_path = argv[++i];
        continue;
      }
      host::Breakpoint b;
      if (!host::parse_breakpoint(argv[++i], b)) {
        std::fprintf(stderr, "quillon: bad breakpoint %s (want FILE:LINE)\n", argv[i]);
        return kExitUsage;
      }
      debug.breakpoints.push_back(b);
      continue;
    }
    if (!std::strcmp(argv[i], "--trace")) {
      trace = true;
      continue;
    }
    if (!std::strcmp(argv[i], "--window-id")) {
      if (i + 1 >= argc || !parse_window_id(argv[i + 1], embed_in)) {
        std::fprintf(stderr, "quillon: --window-id needs a window number (decimal or 0x hexadecimal)\n");
        return kExitUsage;
      }
      i++;
      continue;
    }
    if (!std::strcmp(argv[i], "--root")) {
      // Screen-saver daemons name the window to draw into in the environment.
      const char* window = std::getenv("XSCREENSAVER_WINDOW");
      if (window && *window && !parse_window_id(window, embed_in)) {
        std::fprintf(stderr, "quillon: XSCREENSAVER_WINDOW is not a window number: %s\n", window);
        return kExitUsage;
      }
      continue;
    }
    if (!std::strcmp(argv[i], "--")) {
      i++;
      break;
    }
    std::fprintf(stderr, "quillon: unknown option %s\n", argv[i]);
    usage(stderr);
    return kExitUsage;
  }

  std::vector<host::ScriptedEvent> events;
  if (events_file) {
    std::string text, error;
    if (!read_file(events_file, text)) {
      std::fprintf(stderr, "quillon: cannot read the events file %s\n", events_file);
      return kExitUsage;
    }
    if (!host::parse_event_script(text, events, &error)) {
      std::fprintf(stderr, "quillon: %s: %s\n", events_file, error.c_str());
      return kExitUsage;
    }
  }

  host::StartupFlags flags;
  std::string name = host::parse_command_line(join_words(argv + i, argv + argc), flags, true);
  flags.embed_in = embed_in ? embed_in : flags.small && flags.parent_given ? flags.parent : 0;

  vm::clock_init(fixed_clock);
  host::engine_init();
  storage::storage_init();
  scripts::scripts_init();
  host::window_init(headless, desktop);
  if (std::string why; !sound::output_configure(headless, audio_out ? audio_out : "", &why)) {
    std::fprintf(stderr, "quillon: cannot write the sound output %s: %s\n", audio_out, why.c_str());
    vm::element_free_all();
    return kExitUsage;
  }
  vm::g_host.sleep_1ms = sleep_1ms;
  if (trace) vm::g_host.tick = trace_token;
  if (std::string why; !host::debugger_init(debug, &why)) {
    std::fprintf(stderr, "quillon: %s\n", why.c_str());
    host::window_shutdown();
    vm::element_free_all();
    return kExitUsage;
  }
  // The fraction of a second: a fixed clock starts at a whole second, so its
  // runs draw the same random numbers.
  vm::random_seed(uint32_t(vm::clock_now()));

  // The archive this program carries: one bound to it, else the built-in one.
  static std::string bound;
  std::string bound_problem;
  storage::set_builtin_archive(kBuiltinArchive, kBuiltinArchive_size);
  if (storage::read_bound_archive("/proc/self/exe", bound, &bound_problem)) {
    storage::set_own_archive(reinterpret_cast<const uint8_t*>(bound.data()), bound.size());
    flags.bound_runtime = true;
  } else if (!bound_problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], bound_problem.c_str());
    vm::element_free_all();
    return kExitNotLoaded;
  } else {
    storage::set_own_archive(kBuiltinArchive, kBuiltinArchive_size);
  }

  if (flags.embed_in && !host::platform_get().window_exists(flags.embed_in)) {
    std::fprintf(stderr, "quillon: there is no window 0x%llx to draw into\n",
                 static_cast<unsigned long long>(flags.embed_in));
    vm::element_free_all();
    return kExitUsage;
  }
  if (flags.small && !flags.parent_given) {
    vm::element_free_all();
    return 0;
  }
  if (flags.small) flags.bound_runtime = true;
  if (flags.bound_runtime || name.empty()) name = "resource:";

  if (events_file) host::set_event_script(std::move(events));
  if (std::string why; record_file && !host::start_recording(record_file, &why)) {
    std::fprintf(stderr, "quillon: cannot write the record %s: %s\n", record_file, why.c_str());
    vm::element_free_all();
    return kExitUsage;
  }
  std::vector<std::string> words;
  words.emplace_back(argv[0]);
  for (int k = i; k < argc; k++) words.emplace_back(argv[k]);
  std::string problem;
  if (name != "resource:") host::debugger_script_path(scripts::map_script_name(name));
  vm::Interp* ctx = host::start_up(name, words, flags, 10, problem);

  int status = kExitNormal;
  if (!ctx) {
    std::fprintf(stderr, "quillon: out of memory\n");
    status = kExitNotLoaded;
  } else if (!problem.empty()) {
    std::fprintf(stderr, "quillon: %s\n", problem.c_str());
    status = kExitNotLoaded;
  } else if (ctx->stop < 0) {
    status = kExitError;
  }
  if (ctx && problem.empty()) host::debugger_finish(*ctx);
  if (!host::stop_recording()) std::fprintf(stderr, "quillon: the record %s could not be written whole\n", record_file);
  if (snapshot && ctx) {
    std::string error;
    if (!host::write_snapshot(*ctx, snapshot, &error)) {
      std::fprintf(stderr, "quillon: cannot write the snapshot %s: %s\n", snapshot, error.c_str());
      if (status == kExitNormal) status = kExitSnapshot;
    }
  }
  storage::archive_close_all();
  vm::interp_destroy(ctx);
  sound::output_close();
  host::debugger_shutdown();
  host::window_shutdown();
  vm::element_free_all();
  return status;
}
