// Internal failures: an unrecoverable state inside the native code.
#pragma once

#include <cstdio>
#include <source_location>
#include <stdexcept>
#include <string>

namespace vorn {

// Thrown by panic(); only the boundary guard catches it, where it becomes
// PanicException with the same message.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reports "<file>:<line>: <message>" on standard error at the moment of the
// failure, then throws Panic carrying the message alone.
[[noreturn]] inline void panic(
    std::string message,
    std::source_location at = std::source_location::current()) {
  std::fprintf(stderr, "vorn: internal failure at %s:%u: %s\n",
               at.file_name(), static_cast<unsigned>(at.line()),
               message.c_str());
  throw Panic(std::move(message));
}

}  // namespace vorn
