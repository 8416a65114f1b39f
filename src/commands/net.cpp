// Network transfers: http, ftp, netconnect and the reading of network names
// ("http:", "https:", "ftp:", "ftps:") wherever a name is read.
//
// A transfer runs to its end inside the command, but the player stays
// alive meanwhile: between steps of the transfer the window's messages are
// served (events that start triggers are queued and the triggers fire when
// the command returns), layers move on, and a close of the window or the
// escape key ends the transfer at once. Progress and outcome are kept in
// the family's system variables:
//   var_httpbytes / var_ftpbytes   bytes moved so far (received, or sent)
//   var_httpcount / var_ftpcount   bytes announced by the server, or being
//                                  sent; 0 when unknown
//   var_httperror / var_ftperror   0 after success; the server's status or
//                                  reply code when it refused (404, 550);
//                                  a negative TransferError (kErrorCodes)
// and the message of the last failure is given by `http "error"`.
//
// Because triggers fire only between statements, a transfer that must not
// hold the script up runs in the background instead: `http "start", url,
// target` (or `"start", "put", url, name`) returns at once, the transfer
// moves on whenever the window is served (between statements and at each
// idle step), so triggers, timers and the script's own loop run meanwhile,
// and the variables above follow it. `"running"` tells whether it still
// runs, `"wait"` waits for its end and gives its result, `"stop"` stops it.
// One per family at a time; closing the context ends it and removes a
// partial file.
//
// Limits: the schemes of the command's family only (redirects to http and
// https only), certificates verified, var_nettimeout seconds (default 30)
// to connect and at most that long without a byte moved, and a size cap:
// kMemoryCap for texts, buffers, uploads and names, kFileCap for files.
#include "commands/net.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/transfer.h"
#include "storage/files.h"
#include "storage/stream.h"
#include "vm/ascii.h"
#include "vm/commands.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace vm {

namespace {

using platform::TransferError;
using platform::TransferOptions;
using platform::TransferStatus;
using storage::TextArg;

constexpr int64_t kMemoryCap = int64_t(256) << 20;
constexpr int64_t kFileCap = 0x7fffffff;
constexpr long kDefaultStallSeconds = 30;

enum class Family { Http, Ftp };

struct FamilyInfo {
  const char* protocols;
  SysVar bytes, count, error, proxy;
};

constexpr FamilyInfo kHttp = {"http,https", SV_var_httpbytes, SV_var_httpcount, SV_var_httperror,
                              SV_var_httpproxy};
constexpr FamilyInfo kFtp = {"ftp,ftps", SV_var_ftpbytes, SV_var_ftpcount, SV_var_ftperror, SV_var_ftpproxy};

const FamilyInfo& info(Family f) { return f == Family::Http ? kHttp : kFtp; }

// The message of each family's last transfer ("" after a success).
std::string& last_message(Family f) {
  static std::string http, ftp;
  return f == Family::Http ? http : ftp;
}

// What the error variable holds for an outcome.
int64_t error_code(const TransferStatus& st) {
  switch (st.error) {
    case TransferError::None: return 0;
    case TransferError::ServerRefused: return st.response;
    case TransferError::Refused: return -1;
    case TransferError::Unreachable: return -2;
    case TransferError::TimedOut: return -3;
    case TransferError::TooLarge: return -4;
    case TransferError::Broken: return -5;
    case TransferError::Certificate: return -6;
    case TransferError::Local: return -7;
    case TransferError::Stopped: return -8;
  }
  return -5;
}

void publish(Interp& ctx, const FamilyInfo& fi, const TransferStatus& st) {
  sysvar_set_int(ctx, fi.bytes, st.done);
  sysvar_set_int(ctx, fi.count, st.total);
}

// Options every transfer of the family shares, from the system variables.
TransferOptions base_options(Interp* ctx, Family f, std::string_view url, int64_t cap) {
  TransferOptions o;
  o.url.assign(url);
  o.protocols = info(f).protocols;
  o.max_bytes = cap;
  o.stall_seconds = kDefaultStallSeconds;
  if (ctx) {
    int64_t t = sysvar_int(*ctx, SV_var_nettimeout);
    if (t > 0) o.stall_seconds = long(std::min<int64_t>(t, 86400));
    o.proxy = TextArg(*ctx, ctx->sysvars[info(f).proxy]).str();
  }
  return o;
}

// Records the outcome of a transfer that ended: the message, and with a
// context the family's variables.
void conclude(Interp* ctx, Family f, const std::string& url, const TransferStatus& st) {
  last_message(f) = st.message;
  if (!ctx) return;
  const FamilyInfo& fi = info(f);
  publish(*ctx, fi, st);
  sysvar_set_int(*ctx, fi.error, error_code(st));
  if (sysvar_int(*ctx, SV_var_debugnet) != 0)
    std::fprintf(stderr, "quillon: %s %s: %s\n", f == Family::Http ? "http" : "ftp", url.c_str(),
                 st.message.empty() ? "done" : st.message.c_str());
}

// Makes a transfer; an address holding a zero byte is refused by the
// library as malformed.
std::unique_ptr<platform::Transfer> make_transfer(TransferOptions o) {
  if (o.url.find('\0') != std::string::npos) o.url.clear();
  return std::make_unique<platform::Transfer>(std::move(o));
}

// Runs a transfer to its end. With a context, the window is served between
// steps and a stop of the context (window closed, escape) stops the
// transfer; the family's variables follow its progress and outcome.
TransferStatus run(Interp* ctx, Family f, TransferOptions o) {
  const FamilyInfo& fi = info(f);
  std::string url = o.url;
  std::unique_ptr<platform::Transfer> t = make_transfer(std::move(o));
  if (ctx) publish(*ctx, fi, t->status());
  if (ctx && ctx->stop) t->stop();
  while (t->step(10)) {
    if (!ctx) continue;
    publish(*ctx, fi, t->status());
    idle_yield(*ctx);
    if (ctx->stop) {
      t->stop();
      interp_request_tick(*ctx);  // the loop ends before the next token
    }
  }
  TransferStatus st = t->status();
  conclude(ctx, f, url, st);
  return st;
}

// A failure found before any transfer (a name that cannot be read or
// written): recorded as the outcome of the family's last transfer.
void local_failure(Interp& ctx, Family f, const char* message) {
  last_message(f) = message;
  sysvar_set_int(ctx, info(f).bytes, 0);
  sysvar_set_int(ctx, info(f).count, 0);
  sysvar_set_int(ctx, info(f).error, -7);
}

// Receives the body into memory.
bool get_text(Interp* ctx, Family f, std::string_view url, std::string& out) {
  out.clear();
  TransferOptions o = base_options(ctx, f, url, kMemoryCap);
  o.sink = [&out](const char* p, size_t n) {
    out.append(p, n);
    return true;
  };
  bool ok = run(ctx, f, std::move(o)).error == TransferError::None;
  if (!ok) out.clear();
  return ok;
}

// A download into a disk file goes to a new file beside the target, which
// replaces the target only when the whole body arrived, so a failed
// download never spoils a file that was there.
struct PartFile {
  int fd = -1;
  std::string part, path;

  bool open(const std::string& target) {
    path = target;
    part = target + ".partXXXXXX";
    fd = ::mkostemp(part.data(), O_CLOEXEC);
    return fd >= 0;
  }
  std::function<bool(const char*, size_t)> sink() {
    return [fd = fd](const char* p, size_t n) {
      while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
      }
      return true;
    };
  }
  // Puts the file in place when `ok`, else removes it; false when the file
  // was not put in place.
  bool close(bool ok) {
    if (fd < 0) return false;
    mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ok && ::fchmod(fd, 0666 & ~mask) == 0;
    ok = ::close(fd) == 0 && ok;
    fd = -1;
    if (ok && ::rename(part.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) ::unlink(part.c_str());
    return ok;
  }
  ~PartFile() { close(false); }
};

// Receives the body into a disk file (see PartFile). Bytes received, or -1.
int64_t get_file(Interp& ctx, Family f, std::string_view url, const std::string& path) {
  PartFile file;
  if (!file.open(path)) {
    local_failure(ctx, f, "the file cannot be written");
    return -1;
  }
  TransferOptions o = base_options(&ctx, f, url, kFileCap);
  o.sink = file.sink();
  TransferStatus st = run(&ctx, f, std::move(o));
  bool ok = st.error == TransferError::None;
  if (!file.close(ok) && ok) {
    local_failure(ctx, f, "the file cannot be written");
    ok = false;
  }
  return ok ? st.done : -1;
}

// The variable of a "mem:variable" target, in lower case; empty for any
// other name.
std::string buffer_variable(std::string_view name) {
  if (name.size() <= 4 || ascii_lower(name[0]) != 'm' || ascii_lower(name[1]) != 'e' ||
      ascii_lower(name[2]) != 'm' || name[3] != ':')
    return {};
  std::string var(name.substr(4));
  for (char& c : var) c = ascii_lower(c);
  return var;
}

// Puts a received body as a new buffer in the variable.
void store_buffer(Interp& ctx, const std::string& var, const std::string& body) {
  uint32_t h = text_intern(var);
  storage::store_new_buffer(ctx, Value::from_handle(h), body);
  element_release(h);
}

// get url [, target]: the body as a text, or into a target name (a disk
// file, or "mem:variable" for a new buffer in that variable); the bytes
// received, or -1.
void get(Interp& ctx, Family f, uint32_t n, uint32_t at) {
  TextArg url(ctx, arg(ctx, n, at));
  if (at + 1 >= n) {
    std::string body;
    get_text(&ctx, f, url.view(), body);
    storage::finish_text(ctx, n, body);
    return;
  }
  TextArg target(ctx, arg(ctx, n, at + 1));
  std::string_view name = target.view();
  int64_t result = -1;
  std::string path;
  if (std::string var = buffer_variable(name); !var.empty()) {
    std::string body;
    if (get_text(&ctx, f, url.view(), body)) {
      store_buffer(ctx, var, body);
      result = int64_t(body.size());
    }
  } else if (storage::disk_path(name, path)) {
    result = get_file(ctx, f, url.view(), path);
  } else {
    local_failure(ctx, f, "the target is no disk file nor memory buffer");
  }
  storage::finish_int(ctx, n, result);
}

// The bytes of a name as stored (a gzip file is sent as it is).
bool read_raw(Interp& ctx, std::string_view name, std::string& out) {
  Value saved = ctx.sysvars[SV_var_filegzip];
  value_ref(saved);
  sysvar_set_int(ctx, SV_var_filegzip, 0);
  bool ok = storage::read_named(ctx, name, out, kMemoryCap);
  value_store(ctx.sysvars[SV_var_filegzip], saved);
  value_release(saved);
  return ok;
}

// put url, name: sends the content of the name; the bytes sent, or -1.
void put(Interp& ctx, Family f, uint32_t n, uint32_t at) {
  TextArg url(ctx, arg(ctx, n, at)), name(ctx, arg(ctx, n, at + 1));
  TransferOptions o = base_options(&ctx, f, url.view(), kMemoryCap);
  int64_t result = -1;
  if (!read_raw(ctx, name.view(), o.upload)) {
    local_failure(ctx, f, "the name to send cannot be read");
  } else {
    o.send = true;
    TransferStatus st = run(&ctx, f, std::move(o));
    if (st.error == TransferError::None) result = st.done;
  }
  storage::finish_int(ctx, n, result);
}

// post url, data [, content type]: the answer as a text ("" on failure).
void post(Interp& ctx, uint32_t n, uint32_t at) {
  TextArg url(ctx, arg(ctx, n, at)), data(ctx, arg(ctx, n, at + 1)), type(ctx, arg(ctx, n, at + 2));
  TransferOptions o = base_options(&ctx, Family::Http, url.view(), kMemoryCap);
  o.post = true;
  o.upload = data.str();
  o.content_type = type.str();
  std::string answer;
  o.sink = [&answer](const char* p, size_t k) {
    answer.append(p, k);
    return true;
  };
  if (run(&ctx, Family::Http, std::move(o)).error != TransferError::None) answer.clear();
  storage::finish_text(ctx, n, answer);
}

bool word_is(std::string_view a, std::string_view word) {
  if (a.size() != word.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (ascii_lower(a[i]) != word[i]) return false;
  return true;
}

// --- transfers in the background ----------------------------------------------------------
//
// "start" begins a get or a put that runs while the script goes on. It
// moves on whenever the player serves its window (the message pump, which
// runs between statements and at every idle step), so triggers, timers and
// the script's own loop run meanwhile. One per family and context; the
// context's closer ends it.

struct Background {
  Family f = Family::Http;
  std::string url;
  PartFile file;     // a download into a disk file
  std::string var;   // a download into a buffer: its variable
  std::string body;  // ... and the bytes received so far
  // Last, so that it goes first: its sink writes into the members above.
  std::unique_ptr<platform::Transfer> t;
};

struct NetState {
  std::unique_ptr<Background> bg[2];  // by Family
  int64_t result[2] = {-1, -1};       // of the family's last background transfer
};

NetState* state_if_any(Interp& ctx) { return static_cast<NetState*>(ctx.slots[kSlotNet]); }

NetState& state(Interp& ctx) {
  if (!ctx.slots[kSlotNet]) ctx.slots[kSlotNet] = new NetState;
  return *state_if_any(ctx);
}

// A closed context ends its transfers at once; a download's partial file
// is removed.
void net_closer(Interp& ctx) {
  delete state_if_any(ctx);
  ctx.slots[kSlotNet] = nullptr;
}

// Ends the family's background transfer, whose transfer has stopped: the
// body goes to its target, the outcome to the family's variables.
void background_end(Interp& ctx, NetState& ns, Family f) {
  std::unique_ptr<Background> b = std::move(ns.bg[int(f)]);
  TransferStatus st = b->t->status();
  b->t.reset();
  bool ok = st.error == TransferError::None;
  conclude(&ctx, f, b->url, st);
  if (b->file.fd >= 0) {
    if (!b->file.close(ok) && ok) {
      local_failure(ctx, f, "the file cannot be written");
      ok = false;
    }
  } else if (ok && !b->var.empty()) {
    store_buffer(ctx, b->var, b->body);
  }
  ns.result[int(f)] = ok ? st.done : -1;
}

// Moves the family's background transfer on, waiting at most `wait_ms`.
void background_step(Interp& ctx, NetState& ns, Family f, int wait_ms) {
  Background* b = ns.bg[int(f)].get();
  if (!b) return;
  bool running = b->t->step(wait_ms);
  publish(ctx, info(f), b->t->status());
  if (!running) background_end(ctx, ns, f);
}

// The message pump of the host, followed by a step of the context's
// background transfers. Put in place at the first "start".
bool (*g_next_pump)(Interp&) = nullptr;

bool pump_with_transfers(Interp& ctx) {
  bool had = g_next_pump && g_next_pump(ctx);
  if (NetState* ns = state_if_any(ctx)) {
    background_step(ctx, *ns, Family::Http, 0);
    background_step(ctx, *ns, Family::Ftp, 0);
  }
  return had;
}

// start [get,] url, target | start put, url, name: 1 when the transfer
// started, 0 when the family's background transfer still runs or the target
// (a disk file or "mem:variable") or the name to send is refused.
void start(Interp& ctx, Family f, uint32_t n, uint32_t at) {
  bool upload = false;
  if (at < n) {
    TextArg action(ctx, arg(ctx, n, at));
    upload = word_is(action.view(), "put");
    if (upload || word_is(action.view(), "get")) at++;
  }
  NetState& ns = state(ctx);
  if (ns.bg[int(f)]) {
    storage::finish_int(ctx, n, 0);
    return;
  }
  TextArg url(ctx, arg(ctx, n, at)), target(ctx, arg(ctx, n, at + 1));
  auto b = std::make_unique<Background>();
  b->f = f;
  b->url = url.str();
  TransferOptions o = base_options(&ctx, f, url.view(), kMemoryCap);
  const char* refused = nullptr;
  std::string path;
  if (upload) {
    o.send = true;
    if (!read_raw(ctx, target.view(), o.upload)) refused = "the name to send cannot be read";
  } else if (b->var = buffer_variable(target.view()); !b->var.empty()) {
    o.sink = [body = &b->body](const char* p, size_t k) {
      body->append(p, k);
      return true;
    };
  } else if (!storage::disk_path(target.view(), path)) {
    refused = "the target is no disk file nor memory buffer";
  } else if (!b->file.open(path)) {
    refused = "the file cannot be written";
  } else {
    o.max_bytes = kFileCap;
    o.sink = b->file.sink();
  }
  if (refused) {
    local_failure(ctx, f, refused);
    storage::finish_int(ctx, n, 0);
    return;
  }
  b->t = make_transfer(std::move(o));
  last_message(f).clear();
  sysvar_set_int(ctx, info(f).error, 0);
  publish(ctx, info(f), b->t->status());
  ns.bg[int(f)] = std::move(b);
  if (g_host.pump != pump_with_transfers) {
    g_next_pump = g_host.pump;
    g_host.pump = pump_with_transfers;
  }
  storage::finish_int(ctx, n, 1);
}

// running: 1 while the family's background transfer runs, else 0.
void running(Interp& ctx, Family f, uint32_t n) {
  NetState* ns = state_if_any(ctx);
  if (ns) background_step(ctx, *ns, f, 0);
  storage::finish_int(ctx, n, ns && ns->bg[int(f)] ? 1 : 0);
}

// wait: waits for the background transfer to end, serving the window as a
// blocking transfer does (a close or escape stops it); the result of the
// family's last background transfer, as the blocking form gives it (-1
// when none was made).
void wait(Interp& ctx, Family f, uint32_t n) {
  NetState* ns = state_if_any(ctx);
  while (ns && ns->bg[int(f)]) {
    if (ctx.stop) {
      ns->bg[int(f)]->t->stop();
      interp_request_tick(ctx);  // the loop ends before the next token
    }
    background_step(ctx, *ns, f, 10);
    if (ns->bg[int(f)]) idle_yield(ctx);
  }
  storage::finish_int(ctx, n, ns ? ns->result[int(f)] : -1);
}

// stop: stops the background transfer (error -8, a partial file removed);
// 1 when one was running.
void stop(Interp& ctx, Family f, uint32_t n) {
  NetState* ns = state_if_any(ctx);
  bool was = ns && ns->bg[int(f)];
  if (was) {
    ns->bg[int(f)]->t->stop();
    background_end(ctx, *ns, f);
  }
  storage::finish_int(ctx, n, was ? 1 : 0);
}

void transfer_command(Interp& ctx, Family f) {
  uint32_t n = close_frame(ctx);
  std::string action = TextArg(ctx, arg(ctx, n, 0)).str();
  if (word_is(action, "error")) {
    storage::finish_text(ctx, n, last_message(f));
  } else if (word_is(action, "start")) {
    start(ctx, f, n, 1);
  } else if (word_is(action, "running")) {
    running(ctx, f, n);
  } else if (word_is(action, "wait")) {
    wait(ctx, f, n);
  } else if (word_is(action, "stop")) {
    stop(ctx, f, n);
  } else if (word_is(action, "put")) {
    put(ctx, f, n, 1);
  } else if (f == Family::Http && word_is(action, "post")) {
    post(ctx, n, 1);
  } else {
    get(ctx, f, n, word_is(action, "get") ? 1 : 0);
  }
}

// The reader of network names for the naming layer.
// A name without "//" after its scheme ("http:x") is no address and reads
// nothing.
bool read_network_name(Interp* ctx, std::string_view name, std::string& out) {
  size_t colon = name.find(':');
  if (colon == std::string_view::npos || name.substr(colon + 1, 2) != "//") return false;
  Family f = (name.size() >= 4 && ascii_lower(name[0]) == 'f') ? Family::Ftp : Family::Http;
  return get_text(ctx, f, name, out);
}

}  // namespace

// http [get] url [, target] | http post url, data [, type] | http put url,
// name | http error: see the top of this file and docs/commands.md.
void h_http(Interp& ctx) { transfer_command(ctx, Family::Http); }

// ftp [get] url [, target] | ftp put url, name | ftp error.
void h_ftp(Interp& ctx) { transfer_command(ctx, Family::Ftp); }

// netconnect [url]: 1 when the network is reachable, else 0: without an
// address, whether an interface other than the loopback is up; with one,
// whether a connection to its server can be made (within var_nettimeout).
// The answer is also kept in var_netconnected.
void h_netconnect(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  bool up;
  if (n == 0 || arg(ctx, n, 0).is_null()) {
    up = platform::network_interface_up();
  } else {
    TextArg url(ctx, arg(ctx, n, 0));
    TransferOptions o = base_options(&ctx, Family::Http, url.view(), kMemoryCap);
    o.protocols = "http,https,ftp,ftps";
    o.connect_only = true;
    up = run(&ctx, Family::Http, std::move(o)).error == TransferError::None;
  }
  sysvar_set_int(ctx, SV_var_netconnected, up ? 1 : 0);
  storage::finish_int(ctx, n, up ? 1 : 0);
}

void net_register() {
  storage::set_network_reader(read_network_name);
  interp_add_closer(net_closer);
}

}  // namespace vm
