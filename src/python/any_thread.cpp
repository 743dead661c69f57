// Python work from any thread: the lock taken where a forced unwind can pass,
// references forgotten once the interpreter finalizes.
#include "any_thread.hpp"

#include <pthread.h>

#include <new>

namespace vorn {
namespace {

// The threads of ours run Python code: glibc's usual stack, also where a C
// library's default is smaller.
constexpr std::size_t kStackSize = std::size_t(8) << 20;

// With the lock held. A deallocation may run Python code, and the
// interpreter may end the thread there: not noexcept.
void drop_now(const References& refs) {
  for (std::size_t i = 0; i < refs.count; ++i) Py_DECREF(refs.items[i]);
}

// Runs `entry(arg)` on a new thread; false when none can start.
bool start_thread(void* (*entry)(void*), void* arg, bool detached, pthread_t& thread) noexcept {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  (void)pthread_attr_setstacksize(&attr, kStackSize);
  if (detached) (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const bool started = pthread_create(&thread, &attr, entry, arg) == 0;
  pthread_attr_destroy(&attr);
  return started;
}

// A detached thread's entry: drops the references of a copy it then frees.
void* drop_on_own_thread(void* p) {
  auto* refs = static_cast<References*>(p);
  const PyGILState_STATE state = PyGILState_Ensure();
  drop_now(*refs);
  PyGILState_Release(state);
  delete refs;
  return nullptr;
}

struct Job {
  void (*work)(void*);
  void* arg;
  bool done = false;  // read after the join
};

void* run_on_own_thread(void* p) {
  auto* job = static_cast<Job*>(p);
  const PyGILState_STATE state = PyGILState_Ensure();
  job->work(job->arg);
  PyGILState_Release(state);
  job->done = true;
  return nullptr;
}

}  // namespace

void drop_references(const References& refs) {
  if (refs.count == 0 || !Py_IsInitialized()) return;
  if (!PyGILState_GetThisThreadState()) {
    auto* copy = new (std::nothrow) References(refs);
    pthread_t thread;
    // Without a thread to drop them on, they are forgotten.
    if (copy && !start_thread(drop_on_own_thread, copy, true, thread)) delete copy;
    return;
  }
  const PyGILState_STATE state = PyGILState_Ensure();
  drop_now(refs);
  PyGILState_Release(state);
}

bool run_with_python(void (*work)(void*), void* arg) {
  if (!Py_IsInitialized()) return false;
  if (!PyGILState_GetThisThreadState()) {
    Job job{work, arg};
    pthread_t thread;
    if (!start_thread(run_on_own_thread, &job, false, thread)) return false;
    (void)pthread_join(thread, nullptr);
    return job.done;
  }
  const PyGILState_STATE state = PyGILState_Ensure();
  work(arg);
  PyGILState_Release(state);
  return true;
}

}  // namespace vorn
