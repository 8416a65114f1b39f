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

// Runs a transfer to its end. With a context, the window is served between
// steps and a stop of the context (window closed, escape) stops the
// transfer; the family's variables follow its progress and outcome.
TransferStatus run(Interp* ctx, Family f, TransferOptions o) {
  const FamilyInfo& fi = info(f);
  std::string url = o.url;
  if (url.find('\0') != std::string::npos) o.url.clear();  // refused by the library as malformed
  platform::Transfer t(std::move(o));
  if (ctx) publish(*ctx, fi, t.status());
  if (ctx && ctx->stop) t.stop();
  while (t.step(10)) {
    if (!ctx) continue;
    publish(*ctx, fi, t.status());
    idle_yield(*ctx);
    if (ctx->stop) {
      t.stop();
      interp_request_tick(*ctx);  // the loop ends before the next token
    }
  }
  const TransferStatus& st = t.status();
  last_message(f) = st.message;
  if (ctx) {
    publish(*ctx, fi, st);
    sysvar_set_int(*ctx, fi.error, error_code(st));
    if (sysvar_int(*ctx, SV_var_debugnet) != 0)
      std::fprintf(stderr, "quillon: %s %s: %s\n", f == Family::Http ? "http" : "ftp", url.c_str(),
                   st.message.empty() ? "done" : st.message.c_str());
  }
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

// Receives the body into a disk file. The bytes go to a new file beside the
// target, which replaces the target only when the whole body arrived, so a
// failed download never spoils a file that was there. Bytes received, or -1.
int64_t get_file(Interp& ctx, Family f, std::string_view url, const std::string& path) {
  std::string part = path + ".partXXXXXX";
  int fd = ::mkostemp(part.data(), O_CLOEXEC);
  if (fd < 0) {
    local_failure(ctx, f, "the file cannot be written");
    return -1;
  }
  TransferOptions o = base_options(&ctx, f, url, kFileCap);
  o.sink = [fd](const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= size_t(w);
    }
    return true;
  };
  TransferStatus st = run(&ctx, f, std::move(o));
  mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = st.error == TransferError::None && ::fchmod(fd, 0666 & ~mask) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(part.c_str(), path.c_str()) != 0) {
    local_failure(ctx, f, "the file cannot be written");
    ok = false;
  }
  if (!ok) ::unlink(part.c_str());
  return ok ? st.done : -1;
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
  if (name.size() > 4 && ascii_lower(name[0]) == 'm' && ascii_lower(name[1]) == 'e' &&
      ascii_lower(name[2]) == 'm' && name[3] == ':') {
    std::string body;
    if (get_text(&ctx, f, url.view(), body)) {
      std::string var(name.substr(4));
      for (char& c : var) c = ascii_lower(c);
      uint32_t h = text_intern(var);
      storage::store_new_buffer(ctx, Value::from_handle(h), body);
      element_release(h);
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

void transfer_command(Interp& ctx, Family f) {
  uint32_t n = close_frame(ctx);
  std::string action = TextArg(ctx, arg(ctx, n, 0)).str();
  if (word_is(action, "error")) {
    storage::finish_text(ctx, n, last_message(f));
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

void net_register() { storage::set_network_reader(read_network_name); }

}  // namespace vm
