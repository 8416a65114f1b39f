#include "platform/transfer.h"

// The calls go through pointers (lazy_library.h): no type-checking macros.
#define CURL_DISABLE_TYPECHECK 1
#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/lazy_library.h"

namespace platform {

namespace {

#define CURL_FUNCTIONS(X)                                                                                 \
  X(curl_global_init) X(curl_easy_init) X(curl_easy_setopt) X(curl_easy_getinfo) X(curl_easy_strerror)     \
  X(curl_easy_cleanup) X(curl_slist_append) X(curl_slist_free_all) X(curl_multi_init) X(curl_multi_cleanup) \
  X(curl_multi_add_handle) X(curl_multi_remove_handle) X(curl_multi_perform) X(curl_multi_info_read)       \
  X(curl_multi_poll)
CURL_FUNCTIONS(QUILLON_LAZY_POINTER)

// libcurl, opened and initialised at the first transfer; false, with the
// reason in `why`, when it cannot be loaded.
bool curl_ready(std::string& why) {
  static LazyLibrary curl;
  return lazy_library_load(curl, {"libcurl.so.4", "libcurl-gnutls.so.4"}, [](void* lib) -> const char* {
    if (!(CURL_FUNCTIONS(QUILLON_LAZY_BIND) true)) return "this libcurl lacks a function the player calls";
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return "libcurl could not start";
    return nullptr;
  }, why);
}

TransferError error_of(CURLcode code) {
  switch (code) {
    case CURLE_OK: return TransferError::None;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_LOGIN_DENIED: return TransferError::Refused;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT: return TransferError::Unreachable;
    case CURLE_OPERATION_TIMEDOUT: return TransferError::TimedOut;
    case CURLE_FILESIZE_EXCEEDED: return TransferError::TooLarge;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CONNECT_ERROR: return TransferError::Certificate;
    case CURLE_READ_ERROR:
    case CURLE_WRITE_ERROR: return TransferError::Local;
    case CURLE_ABORTED_BY_CALLBACK: return TransferError::Stopped;
    case CURLE_HTTP_RETURNED_ERROR:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_UPLOAD_FAILED:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_QUOTE_ERROR: return TransferError::ServerRefused;
    default: return TransferError::Broken;
  }
}

}  // namespace

struct Transfer::Impl {
  TransferOptions opt;
  TransferStatus st;
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  size_t sent = 0;        // bytes of `upload` handed to libcurl
  bool too_large = false; // the body passed max_bytes
  bool sink_failed = false;
  char error_text[CURL_ERROR_SIZE] = {};
  // The bytes moved so far and when they last grew: libcurl's own check
  // averages the speed over several seconds, so a body that stops after a
  // few bytes would run that much past the stall time.
  curl_off_t moved = 0;
  std::chrono::steady_clock::time_point last_moved = std::chrono::steady_clock::now();

  static size_t on_body(char* p, size_t size, size_t count, void* user) {
    auto* t = static_cast<Impl*>(user);
    size_t n = size * count;
    if (t->opt.max_bytes > 0 && t->st.done + int64_t(n) > t->opt.max_bytes) {
      t->too_large = true;
      return 0;
    }
    if (t->opt.sink && !t->opt.sink(p, n)) {
      t->sink_failed = true;
      return 0;
    }
    t->st.done += int64_t(n);
    return n;
  }

  static size_t on_send(char* p, size_t size, size_t count, void* user) {
    auto* t = static_cast<Impl*>(user);
    size_t n = std::min(size * count, t->opt.upload.size() - t->sent);
    std::memcpy(p, t->opt.upload.data() + t->sent, n);
    t->sent += n;
    return n;
  }

  static int on_progress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto* t = static_cast<Impl*>(user);
    if (dlnow + ulnow != t->moved) {
      t->moved = dlnow + ulnow;
      t->last_moved = std::chrono::steady_clock::now();
    }
    if (t->opt.send) {
      t->st.total = int64_t(ultotal);
      t->st.done = int64_t(ulnow);
    } else {
      t->st.total = int64_t(dltotal);
    }
    return 0;
  }

  void finish(CURLcode code) {
    st.running = false;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &st.response);
    st.error = error_of(code);
    if (code == CURLE_WRITE_ERROR && too_large) st.error = TransferError::TooLarge;
    if (st.error == TransferError::ServerRefused && st.response < 300) st.error = TransferError::Broken;
    if (st.error == TransferError::TooLarge)
      st.message = "the data is larger than " + std::to_string(opt.max_bytes) + " bytes";
    else if (st.error == TransferError::Local && sink_failed)
      st.message = "the data could not be stored";
    else if (st.error != TransferError::None)
      st.message = error_text[0] ? error_text : curl_easy_strerror(code);
    // A body that was wholly refused by the server counts no bytes.
    if (st.error == TransferError::ServerRefused) st.done = 0;
  }
};

Transfer::Transfer(TransferOptions options) : impl_(std::make_unique<Impl>()) {
  Impl& t = *impl_;
  t.opt = std::move(options);
  if (std::string why; !curl_ready(why)) {
    t.st.error = TransferError::Broken;
    t.st.message = "network transfers need libcurl: " + why;
    return;
  }
  t.multi = curl_multi_init();
  t.easy = curl_easy_init();
  if (!t.multi || !t.easy) {
    t.st.error = TransferError::Broken;
    t.st.message = "the network library could not start";
    return;
  }
  CURL* e = t.easy;
  curl_easy_setopt(e, CURLOPT_URL, t.opt.url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, t.opt.protocols.c_str());
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  // QUILLON_CA_FILE names a PEM file of the authorities to trust instead of
  // the system's bundle (a private network's own authority, a test's).
  if (const char* ca = std::getenv("QUILLON_CA_FILE"); ca && *ca) curl_easy_setopt(e, CURLOPT_CAINFO, ca);
  curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.error_text);
  curl_easy_setopt(e, CURLOPT_USERAGENT, "Quillon");
  long stall = std::max(1L, t.opt.stall_seconds);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, stall);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, stall);
  if (t.opt.max_bytes > 0) curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(t.opt.max_bytes));
  if (!t.opt.proxy.empty()) curl_easy_setopt(e, CURLOPT_PROXY, t.opt.proxy.c_str());
  // Reads of up to 512 KB: with libcurl's 16 KB a large body takes a step,
  // and so a service of the window, for every 16 KB.
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::on_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Impl::on_progress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
  if (t.opt.connect_only) curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
  if (t.opt.post) {
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t.opt.upload.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, t.opt.upload.data());
    if (!t.opt.content_type.empty()) {
      t.headers = curl_slist_append(nullptr, ("Content-Type: " + t.opt.content_type).c_str());
      curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    }
  } else if (t.opt.send) {
    curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &Impl::on_send);
    curl_easy_setopt(e, CURLOPT_READDATA, &t);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(t.opt.upload.size()));
  }
  if (curl_multi_add_handle(t.multi, e) != CURLM_OK) {
    t.st.error = TransferError::Broken;
    t.st.message = "the transfer could not start";
    return;
  }
  t.st.running = true;
}

Transfer::~Transfer() {
  Impl& t = *impl_;
  if (t.multi && t.easy) curl_multi_remove_handle(t.multi, t.easy);
  if (t.easy) curl_easy_cleanup(t.easy);
  if (t.multi) curl_multi_cleanup(t.multi);
  if (t.headers) curl_slist_free_all(t.headers);
}

bool Transfer::step(int wait_ms) {
  Impl& t = *impl_;
  if (!t.st.running) return false;
  int still = 0;
  curl_multi_perform(t.multi, &still);
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(t.multi, &left))
    if (m->msg == CURLMSG_DONE && m->easy_handle == t.easy) t.finish(m->data.result);
  if (t.st.running && still == 0) t.finish(CURLE_OK);
  // Once bytes moved, the stall time counts from the last of them.
  if (t.st.running && t.moved > 0 &&
      std::chrono::steady_clock::now() - t.last_moved >= std::chrono::seconds(std::max(1L, t.opt.stall_seconds)))
    t.finish(CURLE_OPERATION_TIMEDOUT);
  if (!t.st.running) return false;
  curl_multi_poll(t.multi, nullptr, 0, std::max(0, wait_ms), nullptr);
  return true;
}

void Transfer::stop() {
  Impl& t = *impl_;
  if (!t.st.running) return;
  t.st.running = false;
  t.st.error = TransferError::Stopped;
  t.st.message = "the transfer was stopped";
}

const TransferStatus& Transfer::status() const { return impl_->st; }

bool network_interface_up() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool up = false;
  for (ifaddrs* a = list; a && !up; a = a->ifa_next)
    up = a->ifa_addr && (a->ifa_flags & IFF_UP) && (a->ifa_flags & IFF_RUNNING) && !(a->ifa_flags & IFF_LOOPBACK) &&
         (a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6);
  freeifaddrs(list);
  return up;
}

}  // namespace platform
