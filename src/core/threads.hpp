// Threads for reading one file in parts: how many a read may start, how
// they are started and joined, and how they share out the work.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>

namespace vorn {

// The most threads one read runs on, its own among them.
inline constexpr unsigned kMaxThreads = 4;

// Every signal blocked on this thread while it lives: the threads it starts
// meanwhile inherit the mask and leave signals to the process's own threads.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

// The CPUs this process may run on.
inline unsigned usable_cpus() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(std::max(CPU_COUNT(&set), 1));
  return std::max(std::thread::hardware_concurrency(), 1u);
}

// The threads one run may use while it lives: at most `most`, and with those
// that runs on other threads hold, no more than the CPUs this process may run
// on; always at least the caller's own. Reads of several files at once thus
// share the CPUs instead of crowding them.
class CpuShare {
 public:
  explicit CpuShare(unsigned most) noexcept {
    // Once, at the first share: before it there is nothing to forget.
    static const int at_fork = pthread_atfork(nullptr, nullptr, &forgotten_in_child);
    (void)at_fork;
    const unsigned cpus = usable_cpus();
    unsigned busy = busy_.load();
    do {
      held_ = busy >= cpus ? 1 : std::min(most, cpus - busy);
    } while (!busy_.compare_exchange_weak(busy, busy + held_));
  }
  ~CpuShare() { busy_.fetch_sub(held_); }
  CpuShare(const CpuShare&) = delete;
  CpuShare& operator=(const CpuShare&) = delete;
  unsigned threads() const noexcept { return held_; }

 private:
  // A child of fork() has the forking thread alone: the threads that held
  // shares in the parent are not there to give them back. The forking
  // thread holds none, since a share is held only inside a native read and
  // never while Python code (os.fork) runs; the child runs none of the
  // parent's reads.
  static void forgotten_in_child() noexcept { busy_.store(0); }

  static inline std::atomic<unsigned> busy_{0};
  unsigned held_ = 1;
};

// Runs work() on `threads` threads at once: this one, and threads started
// for it (signals blocked, so that they stay with the process's own
// threads); on fewer where no more can be started. The work shares itself
// out among them (see Claims), so that each does what it gets to first.
template <class Work>
void on_threads(unsigned threads, const Work& work) {
  threads = std::clamp(threads, 1u, kMaxThreads);
  std::array<std::thread, kMaxThreads> helpers;
  unsigned started = 1;
  {
    const SignalsBlocked blocked;
    try {
      for (; started < threads; ++started) helpers[started] = std::thread(work);
    } catch (const std::system_error&) {
      // No more threads to be had: those there are do it all.
    }
  }
  work();
  for (unsigned t = 1; t < started; ++t) helpers[t].join();
}

// The ranges of at most `step` that make [from, to), handed out in order to
// whichever thread asks first: threads that start late, or read slower
// memory, take fewer.
class Claims {
 public:
  Claims(std::uint64_t from, std::uint64_t to, std::uint64_t step) noexcept
      : next_(from), to_(to), step_(std::max<std::uint64_t>(step, 1)) {}
  // The next range; an empty one once all are handed out.
  std::pair<std::uint64_t, std::uint64_t> next() noexcept {
    const std::uint64_t a = next_.fetch_add(step_);
    return a >= to_ ? std::pair(to_, to_) : std::pair(a, std::min(a + step_, to_));
  }

 private:
  std::atomic<std::uint64_t> next_;
  const std::uint64_t to_;
  const std::uint64_t step_;
};

// Lowers `first` to `i`: the first record of a run found wrong so far.
inline void found_wrong(std::atomic<std::uint64_t>& first, std::uint64_t i) noexcept {
  std::uint64_t seen = first.load();
  while (i < seen && !first.compare_exchange_weak(seen, i)) {
  }
}

}  // namespace vorn
