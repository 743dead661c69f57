// The Python boundary: the guard around every entry point, PanicException,
// process-wide one-time values, and errors turned into Python exceptions.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "buf_reader.hpp"
#include "panic.hpp"
#include "py_ref.hpp"

namespace vorn {

// Sets PanicException(message) as the pending exception. Creates the type
// on first use; if that fails, writes "uncaught panic at ffi boundary" and
// aborts the process.
void raise_panic_exception(const char* message) noexcept;

// Thrown where a Python exception that must reach the caller as itself is
// already pending (KeyboardInterrupt, SystemExit); the guard returns nullptr.
struct PythonErrorSet {};

// Python said no where the code cannot go on: prints the pending error,
// then fails internally with "Python API call failed".
[[noreturn]] void python_call_failed();

// The unwinding by which glibc's pthread_exit ends a thread. CPython 3.13 and
// older end so a thread that takes the interpreter lock back while the
// interpreter finalizes. It must pass every frame between that call and the
// interpreter: no noexcept function and no destructor may take the lock back,
// and a catch (...) must rethrow it first, or the process aborts.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};  // never thrown: pthread_exit unwinds no C++ frames here
#endif

// Runs `body`, which returns a new reference or nullptr with a Python
// exception set. An internal failure becomes PanicException with its message,
// running out of memory MemoryError; nothing crosses into the interpreter but
// a ForcedUnwind, which must. So neither this nor an entry point is noexcept.
// (A caught ForcedUnwind is bound to no object, which UBSan would report.)
template <class Body>
__attribute__((no_sanitize("undefined"))) PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const ForcedUnwind&) {
    throw;
  } catch (const PythonErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic_exception(e.what());
  } catch (...) {
    raise_panic_exception("internal failure");
  }
  return nullptr;
}

// A null result must come with an exception; where a failing call left none,
// SystemError says so.
inline PyObject* with_exception(PyObject* result) noexcept {
  if (!result && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return result;
}

// A value made once per process, on first need, by a maker that may fail.
// Only success is recorded, so a failed attempt is tried again by the next
// caller; a thread that finds the making under way waits for it with the
// interpreter lock released. (Not std::call_once: a maker that throws aborts
// the process under musl.)
template <class T>
class Once {
 public:
  template <class Make>  // Make: () -> bool, filling the T& it is given
  T* get(Make&& make) {
    if (ready_.load(std::memory_order_acquire)) return &value_;
    // The maker runs Python code, which may come back here on the same thread
    // (an import that steps a reader): waiting for ourselves would hang.
    if (maker_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      panic("a process-wide value was asked for while it was being made");
    }
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      Py_BEGIN_ALLOW_THREADS
      lock.lock();
      Py_END_ALLOW_THREADS
    }
    if (ready_.load(std::memory_order_relaxed)) return &value_;
    maker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Clear {
      std::atomic<std::thread::id>& maker;
      ~Clear() { maker.store(std::thread::id(), std::memory_order_relaxed); }
    } clear{maker_};
    if (!make(value_)) return nullptr;
    ready_.store(true, std::memory_order_release);
    return &value_;
  }

  // The value if it has been made, else nullptr; never makes it.
  T* ready() noexcept { return ready_.load(std::memory_order_acquire) ? &value_ : nullptr; }

 private:
  std::atomic<bool> ready_{false};
  std::atomic<std::thread::id> maker_{};
  std::mutex mutex_;
  T value_{};
};

// "<text> (os error N)" as the OSError subclass that the error number
// selects (FileNotFoundError for ENOENT, ...); errno stays None.
PyObject* raise_os_error(int code);

// An input error as the exception `raise_os_error` gives; for a wait that a
// signal handler stopped, the handler's exception is already pending.
PyObject* raise_error(const IoError& error);

// Py_TPFLAGS_IMMUTABLETYPE on interpreters that know it (3.10 on), else 0:
// the flag's bit means nothing to older ones.
unsigned long immutable_type_flag();

// Frees an instance of a heap type, once its fields are destroyed, and drops
// the reference to its type that the instance held.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Sets an exception of exactly `type` built from one message string.
PyObject* raise_message(PyObject* type, const std::string& message);

// Reads from input that may block release the interpreter lock, and a signal
// that interrupts one runs the interpreter's handlers: an exception they
// raise (KeyboardInterrupt) stops the read and stays pending. leave() may end
// the thread (ForcedUnwind).
class PythonWaiting final : public Waiting {
 public:
  void enter() noexcept override { saved_ = PyEval_SaveThread(); }
  void leave() override { PyEval_RestoreThread(saved_); }
  bool resume() override { return PyErr_CheckSignals() == 0; }

 private:
  static thread_local PyThreadState* saved_;
};
Waiting& python_waiting() noexcept;

// "<type>: <value>" of the pending Python error, with its traceback; clears it.
std::string describe_pending_error();

// The pending exception, normalised and taken out of the thread's state,
// with its traceback attached; empty where none is pending.
PyRef take_exception() noexcept;
// Sets `exception` (from take_exception) pending again, traceback and all.
void restore_exception(PyRef exception) noexcept;

}  // namespace vorn
