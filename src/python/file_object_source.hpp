// FileObjectSource: a Source over a Python binary file object, read by work
// that runs without the interpreter lock and takes it back for each call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "buf_reader.hpp"
#include "py_ref.hpp"
#include "py_support.hpp"

namespace vorn {

// Work on a decoder runs without the interpreter lock; a signal that
// interrupts a wait takes the lock back to run the handlers, and so does
// each call into a file object.
class UnlockedWaiting final : public Waiting {
 public:
  bool resume() override {
    if (detached_) return true;  // the handlers run on a thread that holds the lock
    if (!saved_) return PyErr_CheckSignals() == 0;
    PyEval_RestoreThread(std::exchange(saved_, nullptr));
    const bool go_on = PyErr_CheckSignals() == 0;
    saved_ = PyEval_SaveThread();
    return go_on;
  }
  // Runs `work` with the lock released, and takes it back on every way out
  // but the unwinding of a thread that the interpreter ends. The lock is
  // taken back in plain frames, never in a destructor (ForcedUnwind).
  template <class Work>
  __attribute__((no_sanitize("undefined"))) auto unlocked(Work&& work) {
    saved_ = PyEval_SaveThread();
    try {
      auto out = work();
      relock();
      return out;
    } catch (const ForcedUnwind&) {
      throw;
    } catch (...) {
      relock();
      throw;
    }
  }
  // Runs `work` on a thread that has no interpreter state, which no file
  // object may be read on: a wait that a signal interrupts is made again.
  template <class Work>
  auto detached(Work&& work) {
    detached_ = true;
    struct Reset {
      bool& detached;
      ~Reset() { detached = false; }
    } reset{detached_};
    return work();
  }
  // Runs `call` holding the lock: taken back where unlocked() released it.
  template <class Call>
  auto locked(Call&& call) {
    if (!saved_) return call();
    PyEval_RestoreThread(std::exchange(saved_, nullptr));
    struct Release {
      PyThreadState*& saved;
      ~Release() { saved = PyEval_SaveThread(); }
    };
    Release release{saved_};
    return call();
  }

 private:
  void relock() { PyEval_RestoreThread(std::exchange(saved_, nullptr)); }
  PyThreadState* saved_ = nullptr;
  bool detached_ = false;
};

// The Python exception a call into a file object raised, kept while the
// lock is released until the boundary raises it. The first one is kept;
// later ones, raised while the walk winds down, are dropped.
class KeptError {
 public:
  // Takes the pending exception. Needs the lock.
  void keep() noexcept;
  // Sets the kept exception pending again; false where none is kept. Needs the lock.
  bool restore() noexcept;

 private:
  PyRef exception_;
};

// Reads a binary file object from where it stood when made, through the
// first of readinto1, read1, readinto and read it has, at most kChunk bytes
// per call (readinto forms write straight into the destination). A call
// that raises, returns None (a non-blocking object with nothing ready) or a
// count out of range keeps a Python exception in `kept` and fails with
// EINTR, and resume_after_interrupt() says stop, so the walk ends as for a
// signal handler that raised. Seeks go through seek() only where seekable()
// was true, counted from the position tell() gave; an UnsupportedOperation
// from seek() is a pipe's ESPIPE. The object is never closed.
class FileObjectSource final : public Source {
 public:
  static constexpr std::size_t kChunk = std::size_t(1) << 20;

  // nullptr with a Python exception set where `file` has no read method or
  // seekable() or tell() fails. Needs the lock; `waiting` and `kept` must
  // outlive the source.
  static std::unique_ptr<FileObjectSource> make(PyObject* file, UnlockedWaiting& waiting,
                                                KeptError& kept);
  FileObjectSource(const FileObjectSource&) = delete;
  FileObjectSource& operator=(const FileObjectSource&) = delete;
  // Drops the references, taking the lock where it is released.
  ~FileObjectSource() override;

  std::int64_t read(std::uint8_t* dst, std::size_t len) override;
  int seek(std::uint64_t offset) override;
  // A file object's length is not known ahead.
  std::optional<std::uint64_t> size() override { return std::nullopt; }
  bool resume_after_interrupt() override { return false; }

 private:
  enum class Method : std::uint8_t { readinto1, read1, readinto, read };
  FileObjectSource(UnlockedWaiting& waiting, KeptError& kept) : waiting_(waiting), kept_(kept) {}
  // One call into the object, lock held: the count, or -1 with an exception set.
  std::int64_t call(std::uint8_t* dst, std::size_t len);
  std::int64_t count_of(PyObject* got, std::size_t len);
  std::int64_t copy_out(PyObject* got, std::uint8_t* dst, std::size_t len);

  UnlockedWaiting& waiting_;
  KeptError& kept_;
  PyRef file_;
  PyRef method_name_, release_name_, seek_name_, unsupported_;
  Method method_ = Method::read;
  bool seekable_ = false;
  std::uint64_t base_ = 0;  // the object's position when made: offset 0
};

}  // namespace vorn
