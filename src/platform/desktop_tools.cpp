#include "platform/desktop_tools.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace platform {

bool have_tool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string file = (end > at ? dirs.substr(at, end - at) : ".") + "/" + name;
    struct stat st;
    if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

int spawn_program(pid_t& pid, const posix_spawn_file_actions_t& actions, char* const argv[]) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  return rc;
}

bool wayland_session() {
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return w && *w;
}

int run_tool(const std::vector<std::string>& argv, const std::string* input, std::string* output, int timeout_ms) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // Standard input is a socket so that writing to a program that has gone
  // raises no SIGPIPE (MSG_NOSIGNAL); standard output a pipe.
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (input && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return -1;
  if (output && ::pipe2(out, O_CLOEXEC) != 0) {
    if (input) ::close(in[0]), ::close(in[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input)
    posix_spawn_file_actions_adddup2(&actions, in[1], 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output)
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = spawn_program(pid, actions, args.data());
  posix_spawn_file_actions_destroy(&actions);
  if (input) ::close(in[1]);
  if (output) ::close(out[1]);
  if (rc != 0) {
    if (input) ::close(in[0]);
    if (output) ::close(out[0]);
    return -1;
  }

  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  auto left_ms = [&]() -> int {
    if (timeout_ms < 0) return -1;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return ms > 0 ? int(ms) : 0;
  };
  size_t written = 0;
  int in_fd = input ? in[0] : -1, out_fd = output ? out[0] : -1;
  if (in_fd >= 0 && input->empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  bool timed_out = false;
  while (in_fd >= 0 || out_fd >= 0) {
    pollfd fds[2];
    nfds_t count = 0;
    if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
    int wait = left_ms();
    if (timeout_ms >= 0 && wait == 0) {
      timed_out = true;
      break;
    }
    int ready = ::poll(fds, count, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (nfds_t i = 0; i < count; i++) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t put = ::send(in_fd, input->data() + written, input->size() - written, MSG_NOSIGNAL);
        if (put > 0) written += size_t(put);
        if (put < 0 && errno != EINTR && errno != EAGAIN) written = input->size();  // the reader has gone
        if (written == input->size()) {
          ::close(in_fd);
          in_fd = -1;
        }
      } else {
        char block[65536];
        ssize_t got = ::read(out_fd, block, sizeof block);
        if (got > 0) {
          output->append(block, size_t(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          ::close(out_fd);
          out_fd = -1;
        }
      }
    }
  }
  if (in_fd >= 0) ::close(in_fd);
  if (out_fd >= 0) ::close(out_fd);

  // Waits for the program (a killed one ends at once).
  int status = 0;
  if (timed_out) ::kill(pid, SIGKILL);
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (r != 0) continue;
    if (timeout_ms >= 0 && !timed_out && left_ms() == 0) {
      ::kill(pid, SIGKILL);
      timed_out = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (timed_out) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace platform
