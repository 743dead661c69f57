// Python work that threads which may not hold the interpreter lock ask for
// (an Arrow consumer's own threads), at any time, the interpreter's exit included.
//
// On CPython 3.13 and earlier, a thread that takes the lock while the
// interpreter finalizes is ended by pthread_exit, whose forced unwind aborts
// the process where it meets a noexcept frame, a destructor or a catch (...).
// A consumer's frames may be any of those, so a thread that Python does not
// know never takes the lock here: a thread of our own does it instead. A
// thread that Python knows takes it itself, as it does wherever it takes the
// lock back. The functions below are not noexcept, so that the unwind passes
// them; a destructor calls them only on a thread that holds the lock, where
// taking it cannot end the thread.
#pragma once

#include <array>
#include <cstddef>

#include "py_ref.hpp"

namespace vorn {

// Strong references to drop together.
struct References {
  static constexpr std::size_t kMax = 16;
  std::array<PyObject*, kMax> items{};
  std::size_t count = 0;
  void add(PyObject* o) noexcept { items[count++] = o; }
};

// Drops `refs` from any thread: with the lock, which a thread that Python
// knows takes itself (a no-op where it holds it) and any other thread leaves
// to a new thread of ours. Once the interpreter finalizes they are forgotten,
// as whatever that thread of ours was to drop when the interpreter ends it:
// the process is exiting.
void drop_references(const References& refs);

// Runs `work` with the lock, taken as drop_references takes it, the calling
// thread waiting for its end; false, without running it, once the interpreter
// is finalizing, or where the thread of ours cannot start or is ended by the
// interpreter's exit. `work` is not noexcept either.
bool run_with_python(void (*work)(void*), void* arg);

}  // namespace vorn
