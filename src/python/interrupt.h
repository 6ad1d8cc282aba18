// Long native work that Ctrl-C can stop: while the work runs without the interpreter lock,
// the calling thread runs the Python handlers of signals that arrive, and a handler that
// raises (KeyboardInterrupt from the default SIGINT handler) cancels the work. Work that
// needs the lock (building a result) is paced by a LockPacer instead.
#pragma once

#include "python/py_ref.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "base/cancel.h"

namespace vintrel_native {

// Runs `work` with the interpreter lock released. `work` must not touch any Python object and
// should return soon after `cancel` is raised (throwing osmira_base::Cancelled is fine).
//
// Signals that arrived before the call are acted on first: when a handler raises, false is
// returned at once with its exception set and the work does not run.
//
// On the main thread of the main interpreter, the only one where the host runs signal
// handlers, the work runs on a thread of its own while the calling thread looks for signals
// every 50 ms, taking the lock only for that. When a handler raises, `cancel` is raised, the
// work is waited for, keeping the lock for up to 100 ms (what it made or threw is dropped),
// and false is returned with the handler's exception set. When a handler forks, the call in
// the child (where the work's thread does not exist) returns false at once with RuntimeError
// set. On any other thread, or when no thread can be started, the work runs on the calling
// thread as without_lock does. Otherwise returns true once the work has ended, rethrowing what
// it threw.
bool run_interruptible(osmira_base::CancelFlag& cancel, const std::function<void()>& work);

// Frees what a stopped call has built (`left`: lists of small containers, some partly filled,
// held by nothing else) after the call has returned, so that the exception is not held back
// by the frees (the better part of a second for a million decisions). On the thread that runs
// signal handlers, where a call is stopped by them, the host's pending calls free it a quarter
// of a millisecond at a time, the host running other threads between a few of them, unless a
// call comes first (free_what_stopped_calls_left); elsewhere, or when the host takes no
// pending call, it is freed at once, in pieces between which the lock is offered. Call with
// the lock held and nothing process-wide set up.
void free_after_the_call(std::vector<PyRef> left);

// Frees at once what free_after_the_call left to the host's pending calls and they have not
// freed yet: pending calls run only while the main thread runs Python code, so a call made
// right after a stopped one (a retry) would hold both. Frees in pieces between which the
// lock is offered and the signal handlers run; false, with the exception set, when a handler
// raised (the rest is left for later). Call at the start of a large call, with the lock held
// and nothing set up.
[[nodiscard]] bool free_what_stopped_calls_left();

// Paces long work done with the interpreter lock held, item by item, so that it neither holds
// back a Ctrl-C nor keeps the host's other threads waiting: about every 10 ms, step() runs
// the handlers of the signals that arrived (on the thread that runs them), undoes the
// process-wide set-up of the work (`put_back`: e.g. a replaced allocator, a paused
// collector), offers the lock to the other threads, and sets the work up again (`take_up`).
// Nothing of the set-up is in place while other threads run.
class LockPacer {
 public:
  LockPacer(std::function<void()> put_back, std::function<void()> take_up);
  LockPacer(const LockPacer&) = delete;
  LockPacer& operator=(const LockPacer&) = delete;

  // Call between items, with the lock held; cheap but for every 256th call. False when the
  // work must stop, with the exception set: a signal handler raised, or forked and this is
  // the child (RuntimeError: the helper threads of the work do not exist there). The set-up
  // is then put back.
  bool step() {
    if (--countdown_ != 0) return true;
    return pace(nullptr);
  }
  // As step(), but when the pause comes, `settle()` runs first (with the lock held, the set-up
  // in place), and the pause is skipped when it returns false.
  template <typename Settle>
  bool step(Settle&& settle) {
    if (--countdown_ != 0) return true;
    const std::function<bool()> settling = std::forward<Settle>(settle);
    return pace(&settling);
  }
  // Runs `work`, which must not touch any Python object, with the set-up put back and the lock
  // released (waiting for a helper thread, say); rethrows what it threw once both are back.
  void without_lock(const std::function<void()>& work);
  // Likewise, calls `over()` until it returns true: it must wait for something for about
  // 10 ms at most and tell whether the wait is over. Between the calls the lock is taken to run
  // the signal handlers, as step() does. False when the wait must stop, as for step().
  bool wait_without_lock(const std::function<bool()>& over);

 private:
  bool pace(const std::function<bool()>* settle);

  std::function<void()> put_back_;
  std::function<void()> take_up_;
  uint32_t countdown_;
  int64_t next_ns_;  // the next pause, on the coarse monotonic clock
  const pid_t pid_;
};

}  // namespace vintrel_native
