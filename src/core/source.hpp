// The input beneath a BufReader: Source and the open file behind it
// (FdSource, open_file, duplicate_file), and the Waiting policy of the reader's owner.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "result.hpp"

namespace vorn {

// What the owner of a reader does around system calls that may block, and
// after a signal interrupts one. The Python binding releases the interpreter
// lock while blocked and runs the interpreter's signal handlers on EINTR.
// leave() and resume() may end the thread by unwinding it (an interpreter
// that finalizes ends so a thread taking its lock back): they are not
// noexcept, and no frame that calls them may be.
class Waiting {
 public:
  virtual ~Waiting() = default;
  virtual void enter() noexcept {}  // a call that may block is about to be made
  virtual void leave() {}           // it has returned
  // A call was interrupted by a signal: true to make it again, false to stop.
  virtual bool resume() { return true; }
};

// Waits without doing anything and always resumes.
Waiting& plain_waiting() noexcept;

// The system calls behind a BufReader. Tests put a scripted source here to
// give short reads, EINTR, EIO and failed seeks, and to count calls.
class Source {
 public:
  virtual ~Source() = default;
  // One system read: the count delivered (0 at end of file) or -errno.
  virtual std::int64_t read(std::uint8_t* dst, std::size_t len) = 0;
  // Sets the file offset, counted from the start: 0 or an errno.
  virtual int seek(std::uint64_t offset) = 0;
  // The file's current length where it has one (a regular file); nullopt for
  // pipes, devices and anything else whose length cannot be known ahead.
  virtual std::optional<std::uint64_t> size() = 0;
  // A read was interrupted by a signal: true to read again, false to stop.
  virtual bool resume_after_interrupt() { return true; }
  // The open file descriptor behind the source, for callers that fstat it;
  // -1 where there is none.
  virtual int fd() const noexcept { return -1; }
  // Reads into `parts` in order, as one system read where the source can
  // (preadv): the count delivered, fewer only where the input ends or a read
  // comes up short, or -errno. Here: one read() per part.
  virtual std::int64_t read_scattered(std::span<const std::span<std::uint8_t>> parts);
  // Reads into `parts` in order from `offset` on by one system read
  // (preadv), leaving the source's own offset alone, safe on several threads
  // at once: the count delivered or -errno. -ENOTSUP where the source reads
  // only in order (here).
  virtual std::int64_t read_at(std::span<const std::span<std::uint8_t>> parts,
                               std::uint64_t offset) const;
  // read_at, made again after EINTR without asking resume_after_interrupt():
  // for the work on_threads runs, which must not unwind, and whose helper
  // threads block signals that Python would not know of. A signal that
  // interrupts the calling thread has already been noted by the owner's
  // handler, which runs once the threads are joined.
  std::int64_t read_at_uninterrupted(std::span<const std::span<std::uint8_t>> parts,
                                     std::uint64_t offset) const noexcept;
  // Whether read_at reads.
  virtual bool reads_at() const noexcept { return false; }
  // A source of the same file with an open file description of its own, for
  // another thread's read_at calls: threads that share one description
  // contend on its reference count at every call, which costs more than a
  // short read out of the page cache. nullptr where there is none to be had.
  virtual std::unique_ptr<Source> reopened() const noexcept { return nullptr; }
};

// An open file descriptor, owned: closed on destruction, the result ignored.
// Regular files and block devices are read with pread at an offset kept
// here; anything else (pipes, FIFOs, terminals) with read and lseek. Reads
// of anything but a regular file happen inside the owner's Waiting, since
// they may block.
class FdSource final : public Source {
 public:
  enum class Shape : std::uint8_t { regular, device, other };
  FdSource(int fd, Shape shape, Waiting& waiting) noexcept
      : fd_(fd), shape_(shape), waiting_(waiting) {}
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;
  ~FdSource() override;
  std::int64_t read(std::uint8_t* dst, std::size_t len) override;
  int seek(std::uint64_t offset) override;
  // st_size for a regular file, the length found by seeking to the end for a
  // block device, nothing for pipes and the like. A regular file's st_size
  // may be smaller than what it holds (/proc, sysfs, some network file
  // systems): callers take it as a promise, never as a limit.
  std::optional<std::uint64_t> size() override;
  bool resume_after_interrupt() override { return waiting_.resume(); }
  int fd() const noexcept override { return fd_; }
  std::int64_t read_scattered(std::span<const std::span<std::uint8_t>> parts) override;
  // By pread, for regular files.
  std::int64_t read_at(std::span<const std::span<std::uint8_t>> parts,
                       std::uint64_t offset) const override;
  bool reads_at() const noexcept override { return shape_ == Shape::regular; }
  // Regular files, opened anew through /proc/self/fd: the same file even
  // where its path now names another or none.
  std::unique_ptr<Source> reopened() const noexcept override;

 private:
  int fd_;
  Shape shape_;
  Waiting& waiting_;
  std::uint64_t offset_ = 0;  // where the next pread of a file or device starts
};

// Opens `path` read-only and close-on-exec: the open file, or the errno of
// the failure. The open may block (a FIFO without a writer), so it happens
// inside `waiting`; on EINTR it is made again unless `waiting` says to stop,
// which gives Kind::interrupted.
Result<std::unique_ptr<Source>> open_file(const char* path, Waiting& waiting = plain_waiting());

// Reads the file open at `fd` through a duplicate of it (close-on-exec) from
// its start; `fd` stays the caller's. The errno where it cannot be duplicated.
Result<std::unique_ptr<Source>> duplicate_file(int fd, Waiting& waiting = plain_waiting());

}  // namespace vorn
