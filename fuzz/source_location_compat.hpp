// Forced include (-include) for clang before 15, whose missing
// __builtin_source_location leaves libstdc++'s <source_location> empty: a
// stand-in std::source_location built on the older __builtin_FILE/LINE.
#pragma once
#if defined(__clang__) && __clang_major__ < 15 && !defined(_GLIBCXX_SRCLOC)
#define _GLIBCXX_SRCLOC 1  // the guard of libstdc++'s own header, which then adds nothing
namespace std {
struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           unsigned line = __builtin_LINE(),
                                           unsigned column = __builtin_COLUMN()) noexcept {
    source_location loc;
    loc.file_ = file;
    loc.function_ = function;
    loc.line_ = line;
    loc.column_ = column;
    return loc;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr unsigned line() const noexcept { return line_; }
  constexpr unsigned column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  unsigned line_ = 0;
  unsigned column_ = 0;
};
}  // namespace std
#endif
