// Starting programs: appexec and appshell.
//
// A program is started with posix_spawnp and an argument vector: no shell
// ever sees the arguments, so quotes, semicolons, "$" and the like reach the
// program as they are. The script never waits for the program; one reaper
// thread collects the exit status of every program started so that none
// is left a zombie (it asks for our own children by id only, never for any
// child, so the status of a process that a library started is left to
// it). The program reads standard input from /dev/null.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/app.h"
#include "platform/desktop_tools.h"
#include "storage/files.h"
#include "vm/commands.h"
#include "vm/interp.h"

namespace vm {
namespace {

using storage::TextArg;

// The children not yet collected, and the one thread that collects them:
// it sleeps while there are none and looks every 50 ms while there are.
// When that thread cannot be started (at the process limit), each start
// of a program collects what has ended instead. Never destroyed, so that
// the thread may outlive the static objects at exit.
struct Reaper {
  std::mutex lock;
  std::condition_variable wake;
  std::vector<pid_t> children;
  bool started = false;

  // Collects the children that have ended; the caller holds the lock.
  void sweep() {
    std::erase_if(children, [](pid_t pid) {
      int status;
      pid_t r;
      while ((r = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
      }
      return r != 0;  // collected, or no longer ours to wait for
    });
  }

  void run() {
    std::unique_lock<std::mutex> hold(lock);
    while (true) {
      if (children.empty())
        wake.wait(hold);
      else
        wake.wait_for(hold, std::chrono::milliseconds(50));
      sweep();
    }
  }

  void add(pid_t pid) {
    std::lock_guard<std::mutex> hold(lock);
    children.push_back(pid);
    if (!started) {
      try {
        std::thread([this] { run(); }).detach();
        started = true;
      } catch (const std::exception&) {
        // No thread now: collect here, and try again at the next start.
      }
    }
    if (started)
      wake.notify_one();
    else
      sweep();
  }
};

Reaper& reaper() {
  static Reaper* r = new Reaper;
  return *r;
}

// Starts the program argv[0] (searched in PATH when it has no "/"); its
// process id, or 0 when it could not be started.
int64_t spawn(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) return 0;
  for (const std::string& a : argv)
    if (a.find('\0') != std::string::npos) return 0;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  int rc = platform::spawn_program(pid, actions, args.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return 0;
  try {
    reaper().add(pid);
  } catch (const std::exception&) {
    // Out of memory for the list: the child is collected by no one until
    // the player ends, which is better than failing the command.
  }
  return pid;
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Splits a command line into words at blanks; double quotes group blanks
// into a word and are removed. Nothing else is special.
std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, have = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      have = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (have) words.push_back(word);
      word.clear();
      have = false;
    } else {
      word += c;
      have = true;
    }
  }
  if (have) words.push_back(word);
  return words;
}

}  // namespace

int64_t spawn_program(const std::vector<std::string>& argv) { return spawn(argv); }

// appexec program [argument ...]: starts the program with the arguments and
// does not wait for it. A single argument that names no file is a command
// line, split into words at blanks (double quotes group). The process id,
// or 0 when the program could not be started.
void h_appexec(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<std::string> argv;
  for (uint32_t i = 0; i < n; i++) argv.push_back(TextArg(ctx, ctx.top[i]).str());
  if (argv.size() == 1 && !is_file(argv[0])) argv = split_command_line(argv[0]);
  storage::finish_int(ctx, n, spawn(argv));
}

// appshell document: opens a document, folder or address with the desktop's
// opener (xdg-open) and does not wait. Further arguments are ignored. The
// opener's process id, or 0.
void h_appshell(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string doc = TextArg(ctx, arg(ctx, n, 0)).str();
  if (!doc.empty() && doc[0] == '-') doc = "./" + doc;  // never taken for an option
  storage::finish_int(ctx, n, doc.empty() ? 0 : spawn({"xdg-open", doc}));
}

}  // namespace vm
