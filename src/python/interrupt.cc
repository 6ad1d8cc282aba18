#include "python/interrupt.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "python/py_ref.h"

namespace vintrel_native {
namespace {

// How often the calling thread looks for signals: a Ctrl-C is acted on within this, plus the
// time the workers need to reach their next piece of work.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);
// How long the lock is kept, at most, while the work stops after a handler raised.
constexpr auto kCancelledWorkHold = std::chrono::milliseconds(100);

// How often a LockPacer pauses, and after how many items it reads the clock.
constexpr int64_t kPaceNs = 10'000'000;
constexpr uint32_t kItemsPerClockRead = 256;

// How long one pending call frees leftovers (the host runs up to 32 in a row).
constexpr int64_t kPendingPieceNs = 250'000;

// What a call in flight raises in a child forked by a signal handler.
constexpr const char* kForkedMessage =
    "the call cannot go on in a child process forked while it ran (by a signal handler); "
    "calls made in the child itself work";

// True on the thread where the host runs signal handlers: the main thread of the main
// interpreter. Runs no Python code and imports nothing: a pending signal's handler may not
// run here, and a host that has not imported `threading` must not find it imported.
bool runs_signal_handlers() {
#if PY_VERSION_HEX < 0x030D0000 && !defined(Py_LIMITED_API)
  // The host's own test: the thread it runs signal handlers on (the one that started it,
  // or the forking thread in a child), in the main interpreter.
  return _PyOS_IsMainThread() != 0;
#else
  // Where the host declares no such test: its handlers run on the thread that started it,
  // which is the process's first thread unless the host was embedded and started on
  // another. That thread's id is the process id on Linux, also in a child forked from any
  // thread; elsewhere the system says which thread is the first.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
#if defined(__linux__)
  return gettid() == getpid();
#else
  return pthread_main_np() != 0;
#endif
#endif
}

int64_t now_ns(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

int64_t coarse_now_ns() {
#if defined(CLOCK_MONOTONIC_COARSE)
  return now_ns(CLOCK_MONOTONIC_COARSE);
#else
  return now_ns(CLOCK_MONOTONIC);
#endif
}

// Takes the interpreter lock back for a thread that holds Python references in its frames.
// When the interpreter is shutting down, taking it back ends a thread that is not the one
// shutting down (a daemon thread) with a forced unwind; those references may not be dropped
// without the lock, so the unwind stops here and the thread waits for the process to end.
void take_lock_holding_references(PyThreadState* saved) {
  try {
    PyEval_RestoreThread(saved);
  } catch (abi::__forced_unwind&) {
    while (true) pause();
  }
}

// The thread that runs the work of calls made on the main thread, started at the first such
// call and kept for the process: a thread per call costs its start and the worker pool's
// set-up for a new thread, about a quarter of a millisecond each time. One job at a time; it
// is only handed work by the main thread, with the interpreter lock held. The object is never
// destroyed, so that the thread may still be waiting for work when the process exits.
class WorkThread {
 public:
  // This process's work thread (a child made by fork starts its own), or null when none can
  // be started.
  static WorkThread* get() {
    static WorkThread* current = nullptr;  // used by the main thread only
    if (current != nullptr && current->pid_ == getpid()) return current;
    try {
      auto fresh = std::make_unique<WorkThread>();
      std::thread([thread = fresh.get()] { thread->serve(); }).detach();
      current = fresh.release();
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return current != nullptr && current->pid_ == getpid() ? current : nullptr;
  }

  // Hands `work` over; `finished` tells when it is done. Not while busy().
  void start(const std::function<void()>& work) {
    busy_ = true;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      job_ = &work;
      done_ = false;
    }
    wake_.notify_one();
  }
  // Waits up to `timeout` for the work; true once it is done.
  bool wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, timeout, [&] { return done_; });
  }
  // Once the work is done: what it threw, and the thread is free again.
  std::exception_ptr collect() {
    busy_ = false;
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(failure_, nullptr);
  }
  bool busy() const { return busy_; }
  // False in a child forked meanwhile, where the thread does not exist.
  bool here() const { return pid_ == getpid(); }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] { return job_ != nullptr; });
      const std::function<void()>& work = *std::exchange(job_, nullptr);
      lock.unlock();
      std::exception_ptr failure;
      try {
        work();
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      failure_ = failure;
      done_ = true;
      finished_.notify_one();
    }
  }

  const pid_t pid_ = getpid();
  bool busy_ = false;  // caller side
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  const std::function<void()>* job_ = nullptr;  // guarded by mutex_
  bool done_ = false;                           // guarded by mutex_
  std::exception_ptr failure_;                  // guarded by mutex_
};

// Frees what `left` holds, its last container first and a list from its end, until `until_ns`
// on the monotonic clock (read every 64 items); true once all is freed. The lists are held
// here alone, never seen by Python code, so their items may be taken out one by one.
bool free_some(std::vector<PyRef>& left, int64_t until_ns) {
  uint32_t countdown = 64;
  while (!left.empty()) {
    PyObject* container = left.back().get();
    if (container != nullptr && PyList_CheckExact(container)) {
      for (Py_ssize_t size = PyList_GET_SIZE(container); size > 0;) {
        --size;
        PyObject* item = PyList_GET_ITEM(container, size);
        PyList_SET_ITEM(container, size, nullptr);
        Py_SET_SIZE(container, size);
        Py_XDECREF(item);  // a partly filled list holds none at its end
        if (--countdown == 0) {
          countdown = 64;
          if (now_ns(CLOCK_MONOTONIC) >= until_ns) return false;
        }
      }
    }
    left.pop_back();
  }
  return true;
}

// What calls stopped on the thread that runs signal handlers left to be freed (objects of the
// main interpreter), and whether a pending call of the host's is on its way to free it.
// Created once and never destroyed: a pending call may still come while the process exits.
// The mutex is held only with the lock held (where there is one), for a piece of freeing at
// most, and freeing these objects runs no Python code, so it is never waited for long.
struct Leftovers {
  std::mutex mutex;
  std::vector<PyRef> items;  // guarded by mutex
  bool asked = false;        // guarded by mutex: a pending call will come

  static Leftovers& get() {
    static Leftovers* const leftovers = new Leftovers();
    return *leftovers;
  }
};

// A host's pending call: frees a piece of the leftovers and asks to be called again for the
// rest. The host runs a few pieces in a row at most, and runs other threads between them.
int free_a_piece(void*) {
  Leftovers& leftovers = Leftovers::get();
  const std::lock_guard<std::mutex> lock(leftovers.mutex);
  if (free_some(leftovers.items, now_ns(CLOCK_MONOTONIC) + kPendingPieceNs)) {
    leftovers.asked = false;
    return 0;
  }
  if (Py_AddPendingCall(free_a_piece, nullptr) == 0) return 0;
  // No further call could be asked for: the rest goes at once.
  std::vector<PyRef>().swap(leftovers.items);
  leftovers.asked = false;
  return 0;
}

// Frees `left` at once, in pieces between which the lock is offered.
void free_now(std::vector<PyRef>& left) {
  while (!free_some(left, now_ns(CLOCK_MONOTONIC) + kPaceNs)) {
    take_lock_holding_references(PyEval_SaveThread());
  }
}

}  // namespace

void free_after_the_call(std::vector<PyRef> left) {
  if (left.empty()) return;
  if (runs_signal_handlers()) {
    Leftovers& leftovers = Leftovers::get();
    const std::lock_guard<std::mutex> lock(leftovers.mutex);  // never held with the lock away
    try {
      // The lists go in after those already there: the last of a call is freed first.
      leftovers.items.reserve(leftovers.items.size() + left.size());
      for (PyRef& item : left) leftovers.items.push_back(std::move(item));
      left.clear();
    } catch (const std::bad_alloc&) {  // no room to take them: freed at once below
    }
    if (left.empty()) {
      if (leftovers.asked || Py_AddPendingCall(free_a_piece, nullptr) == 0) {
        leftovers.asked = true;
        return;
      }
      left.swap(leftovers.items);  // the host takes no pending call now: all goes below
    }
  }
  free_now(left);
}

bool free_what_stopped_calls_left() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return true;
  Leftovers& leftovers = Leftovers::get();
  while (true) {
    {
      const std::lock_guard<std::mutex> lock(leftovers.mutex);
      // A pending call still asked for finds nothing left and ends.
      if (free_some(leftovers.items, now_ns(CLOCK_MONOTONIC) + kPaceNs)) return true;
    }
    take_lock_holding_references(PyEval_SaveThread());
    if (PyErr_CheckSignals() != 0) return false;
  }
}

bool run_interruptible(osmira_base::CancelFlag& cancel, const std::function<void()>& work) {
  if (PyErr_CheckSignals() != 0) return false;  // a signal that came before the call
  WorkThread* thread = runs_signal_handlers() ? WorkThread::get() : nullptr;
  // A call made by a signal handler while another call polls runs where it is.
  if (thread == nullptr || thread->busy()) {
    without_lock(work);
    return true;
  }
  thread->start(work);
  // The main thread is never ended by a shutdown, so the lock is taken back plainly here.
  PyThreadState* saved = PyEval_SaveThread();
  while (!thread->wait_for(kSignalPoll)) {
    PyEval_RestoreThread(saved);
    const bool interrupted = PyErr_CheckSignals() != 0;
    if (!thread->here()) {
      // A handler forked, and this is the child: the work, its thread and whatever it held
      // are not here (what it holds stays untouched: its locks may be held). The work thread
      // object is left too; the child's next call starts a thread of its own.
      if (!interrupted) PyErr_SetString(PyExc_RuntimeError, kForkedMessage);
      return false;
    }
    if (interrupted) {
      // The exception goes up once the cancelled work has ended, which takes a few tens of
      // milliseconds and never needs the lock. The lock is kept meanwhile: handed away, it
      // would hold the exception back for as long as another thread keeps it (freeing a large
      // result of its own takes the better part of a second). Only work slow to stop lets
      // the lock go after kCancelledWorkHold.
      cancel.raise();
      if (!thread->wait_for(kCancelledWorkHold)) {
        saved = PyEval_SaveThread();
        while (!thread->wait_for(kSignalPoll)) {
        }
        PyEval_RestoreThread(saved);
      }
      thread->collect();  // what it threw (Cancelled, most likely) goes with it
      return false;
    }
    saved = PyEval_SaveThread();
  }
  std::exception_ptr failure = thread->collect();
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
  return true;
}

LockPacer::LockPacer(std::function<void()> put_back, std::function<void()> take_up)
    : put_back_(std::move(put_back)),
      take_up_(std::move(take_up)),
      countdown_(kItemsPerClockRead),
      next_ns_(coarse_now_ns() + kPaceNs),
      pid_(getpid()) {}

bool LockPacer::pace(const std::function<bool()>* settle) {
  countdown_ = kItemsPerClockRead;
  if (coarse_now_ns() < next_ns_) return true;
  if (settle != nullptr && !(*settle)()) return true;
  // Handlers run as part of the call, with the set-up in place: with the collector back, the
  // first object a handler makes (its KeyboardInterrupt) would start a collection over the
  // whole result made so far.
  const bool raised = PyErr_CheckSignals() != 0;
  put_back_();
  if (raised) return false;
  if (getpid() != pid_) {
    PyErr_SetString(PyExc_RuntimeError, kForkedMessage);
    return false;
  }
  take_lock_holding_references(PyEval_SaveThread());
  take_up_();
  next_ns_ = coarse_now_ns() + kPaceNs;
  return true;
}

bool LockPacer::wait_without_lock(const std::function<bool()>& over) {
  put_back_();
  while (true) {
    bool done = false;
    std::exception_ptr failure;
    PyThreadState* const saved = PyEval_SaveThread();
    try {
      done = over();
    } catch (...) {
      failure = std::current_exception();
    }
    take_lock_holding_references(saved);
    if (failure) {
      take_up_();
      std::rethrow_exception(failure);
    }
    if (done) break;
    if (PyErr_CheckSignals() != 0) return false;
    if (getpid() != pid_) {
      PyErr_SetString(PyExc_RuntimeError, kForkedMessage);
      return false;
    }
  }
  take_up_();
  next_ns_ = coarse_now_ns() + kPaceNs;
  return true;
}

void LockPacer::without_lock(const std::function<void()>& work) {
  put_back_();
  std::exception_ptr failure;
  PyThreadState* const saved = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  take_lock_holding_references(saved);
  take_up_();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vintrel_native
