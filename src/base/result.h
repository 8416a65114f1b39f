// What the loaders and codecs return: the value, or the message saying why
// there is none. The message text is what the player prints and what the
// commands hand on to scripts, so each reader keeps its own wording.
//
//   base::Result<uint32_t> read_x(...) {
//     if (bad) return base::Failure{"not an x file"};
//     return handle;
//   }
//   auto got = read_x(...);
//   if (!got) report(got.error());
#pragma once

#include <string>
#include <utility>

namespace base {

// A failure, which converts to a Result of any type.
struct Failure {
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)), ok_(true) {}
  Result(Failure failure) : error_(std::move(failure.message)) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  // The value; a value-initialised T after a failure.
  T& value() { return value_; }
  const T& value() const { return value_; }
  // The message of a failure; empty for a success.
  const std::string& error() const { return error_; }
  // The failure, to hand on from a function giving another Result.
  Failure failure() const { return Failure{error_}; }

 private:
  T value_{};
  std::string error_;
  bool ok_ = false;
};

// Success or failure without a value.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() : ok_(true) {}
  Result(Failure failure) : error_(std::move(failure.message)) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const std::string& error() const { return error_; }
  Failure failure() const { return Failure{error_}; }

 private:
  std::string error_;
  bool ok_ = false;
};
using Status = Result<void>;

}  // namespace base
