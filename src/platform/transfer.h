// Network transfers through libcurl's multi interface: one transfer at a
// time is driven step by step by its caller, which keeps its window alive
// between steps and may stop it at any step. Knows nothing of scripts: the
// network commands (commands/net.cpp) turn script arguments into options
// and the status into system variables. Certificates are verified against
// the system's store, or against the PEM file named by the environment
// variable QUILLON_CA_FILE when it is set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

struct TransferOptions {
  std::string url;
  // Schemes allowed for the address ("http,https" or "ftp,ftps"); redirects
  // are followed to http and https only, never to any other scheme.
  std::string protocols;
  std::string proxy;         // empty: the environment's proxy settings
  bool post = false;         // http: POST `upload` and receive the answer
  bool send = false;         // send `upload` (http PUT, ftp STOR)
  std::string upload;        // the bytes to post or send
  std::string content_type;  // of a POST; empty: form data
  bool connect_only = false; // only connect to the server
  long stall_seconds = 30;   // connect timeout and longest time without a byte moved
  int64_t max_bytes = 0;     // largest body accepted
  // Receives the body block by block; false stops the transfer (Local).
  std::function<bool(const char*, size_t)> sink;
};

enum class TransferError : uint8_t {
  None,
  Refused,        // address malformed, scheme not allowed, redirect to another scheme
  Unreachable,    // name not resolved, connection refused
  TimedOut,       // no connection or no byte moved within the stall time
  TooLarge,       // the body passes max_bytes
  Broken,         // the connection ended early, bad answer
  Certificate,    // the server's certificate is not trusted
  Local,          // the sink refused the bytes
  Stopped,        // stop() was called
  ServerRefused,  // the server answered with an error status (`response`)
};

struct TransferStatus {
  bool running = false;
  int64_t done = 0;    // bytes received, or sent for an upload
  int64_t total = 0;   // bytes announced (0 when not)
  long response = 0;   // the last status or reply code of the server
  TransferError error = TransferError::None;
  std::string message; // what went wrong, empty when nothing did
};

class Transfer {
 public:
  explicit Transfer(TransferOptions options);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Moves the transfer on, waiting at most `wait_ms` for the network; true
  // while it runs.
  bool step(int wait_ms);
  // Ends a running transfer with the error Stopped.
  void stop();
  const TransferStatus& status() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether the machine has a network interface up other than the loopback.
bool network_interface_up();

}  // namespace platform
