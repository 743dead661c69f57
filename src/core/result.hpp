// IoError and Result<T>: how fallible reads report, and the one place where a
// call interrupted by a signal is made again.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vorn {

struct IoError {
  // interrupted: a signal arrived while waiting and the reader's owner chose
  // to stop (a Python signal handler raised); the input itself is fine.
  enum class Kind : std::uint8_t { eof, system, interrupted };
  Kind kind;
  int code;  // errno for Kind::system, EINTR for Kind::interrupted, 0 for Kind::eof

  static IoError eof() noexcept { return {Kind::eof, 0}; }
  static IoError system(int code) noexcept { return {Kind::system, code}; }
  static IoError interrupted() noexcept { return {Kind::interrupted, EINTR}; }
  bool is_eof() const noexcept { return kind == Kind::eof; }
  // "failed to fill whole buffer" | "<system text> (os error N)"
  std::string message() const;
};

// The system's text for an error number, without the number.
std::string errno_text(int code);

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(IoError error) : v_(error) {}
  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};
using Status = Result<std::monostate>;
inline Status success() noexcept { return std::monostate{}; }

// Makes `attempt`, a call giving a Result, again each time it fails with
// EINTR, for as long as `resume()` says to go on; once it says stop, the
// result is Kind::interrupted.
template <class Attempt, class Resume>
auto retry_interrupted(Attempt&& attempt, Resume&& resume) -> decltype(attempt()) {
  for (;;) {
    auto got = attempt();
    if (got.ok() || got.error().kind != IoError::Kind::system || got.error().code != EINTR) {
      return got;
    }
    if (!resume()) return IoError::interrupted();
  }
}

}  // namespace vorn
