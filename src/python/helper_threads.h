// Helper work beside the thread that holds the interpreter lock runs on a thread of its own,
// never as a task of the shared worker pool: a pool thread that waits for other tasks could
// pick up a task that blocks until the caller lets it finish, and never come back.
#pragma once

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "python/bridge/tuning.h"

namespace vintrel_native {

// Hands the heap freed so far back to the system (glibc keeps it otherwise).
inline void return_freed_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// The threads of release_in_background still running in this process (`pid`: counted in a
// child forked meanwhile, where they do not exist, the count is stale). Plain atomics, so
// that neither a fork nor the process's exit can find them held.
struct BackgroundReleases {
  std::atomic<int64_t> running{0};
  std::atomic<pid_t> pid{0};

  void begin() {
    const pid_t self = getpid();
    if (pid.exchange(self) != self) running.store(0);
    running.fetch_add(1);
  }
  void end() { running.fetch_sub(1); }
};
inline BackgroundReleases background_releases;

// Destroys `value` on a thread of its own that is left to run after the caller has returned:
// for what a stopped call no longer needs, whose frees would otherwise hold back the
// exception (a tenth of a second for a million decisions). In line when no thread can be
// started. `value` must own only plain C++ memory, nothing of the interpreter's.
template <typename T>
void release_in_background(T value) {
  background_releases.begin();
  try {
    std::thread([held = std::move(value)]() mutable {
      { T gone = std::move(held); }
      background_releases.end();
    }).detach();
  } catch (const std::exception&) {  // no thread (system_error, bad_alloc): gone with the lambda
    background_releases.end();
  }
}

// Waits until the threads of release_in_background have ended (the work of a stopped call
// still being destroyed: a new call would hold its own on top of it), looking every
// millisecond; false, at once, when `stop` is raised meanwhile. Call without the lock.
inline bool wait_for_background_releases(const osmira_base::CancelFlag& stop) {
  while (background_releases.pid.load() == getpid() && background_releases.running.load() > 0) {
    if (stop.raised()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs `work` on a thread of its own when `own_thread` (small work is not worth one). join()
// waits for it and rethrows what it threw; when no thread runs it, join() runs the work
// itself. The destructor joins too, so that an early return never leaves the work running on
// state that goes with the return. In a child forked meanwhile (by a signal handler), where the
// thread does not exist, it is let go instead.
class HelperThread {
 public:
  HelperThread(std::function<void()> work, bool own_thread) : work_(std::move(work)) {
    if (!own_thread) return;
    try {
      thread_ = std::thread([this] {
        try {
          work_();
        } catch (...) {  // a thread of its own: handed to join()
          failure_ = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        finish_.notify_all();
      });
    } catch (const std::exception&) {  // no thread (system_error, bad_alloc): join() runs it
    }
  }
  ~HelperThread() {
    if (!thread_.joinable()) return;
    if (getpid() == pid_) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // Waits up to `timeout` for the thread's work; true once join() will not wait (also when no
  // thread runs the work: join() then runs it).
  bool wait_for(std::chrono::milliseconds timeout) {
    if (!thread_.joinable()) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    return finish_.wait_for(lock, timeout, [&] { return finished_; });
  }

  void join() {
    if (thread_.joinable()) {
      thread_.join();
      work_ = nullptr;
      if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    } else if (work_) {
      std::exchange(work_, nullptr)();
    }
  }

 private:
  std::function<void()> work_;
  std::exception_ptr failure_;
  const pid_t pid_ = getpid();
  std::mutex mutex_;
  std::condition_variable finish_;
  bool finished_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Destroys a converted list's C++ items behind the thread that builds their Python form (the
// frees would otherwise add up on that thread), up to the count it reports in batches, so an
// item is held twice for at most one batch; and hands the freed heap back to the system in
// steps (the host's small objects come from mappings of their own, not from that heap: without
// it the process would hold both full copies at the end). When the ReleaseBehind goes, the
// rest goes with the vector (unless keep_the_rest) and the helper is waited for; a short list
// goes then, unthreaded.
// In a child forked meanwhile, where the helper does not exist (and may have been destroying
// an item, or holding the lock), the items are left as they are, never destroyed.
template <typename T>
class ReleaseBehind {
 public:
  explicit ReleaseBehind(std::vector<T>& items) : items_(items) {}
  ~ReleaseBehind() {
    if (threaded_ && getpid() != pid_) {
      new (&items_) std::vector<T>();
      return;  // the helper is let go with the HelperThread
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    helper_.join();
  }

  // The list will not be finished: the helper ends once it has released the items reported
  // so far, leaving the rest in the vector (the released ones empty).
  void keep_the_rest() {
    const std::lock_guard<std::mutex> lock(mutex_);
    keep_rest_ = true;
  }

  // Items [0, count) have their Python form and are no longer read.
  void converted(size_t count) {
    if (!threaded_ || count - reported_ < vintrel_bridge::tuning::kHelperBatch) return;
    reported_ = count;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      converted_ = count;
    }
    wake_.notify_one();
  }

 private:
  void release() {
    using namespace vintrel_bridge::tuning;
    const bool trim = items_.size() >= kMinItemsPerHeapReturn;
    const size_t step = std::max(kMinItemsPerHeapReturn,
                                 (items_.size() + kHeapReturnsPerList - 1) / kHeapReturnsPerList);
    size_t released = 0;
    size_t next_return = step;
    bool done = false;
    bool keep_rest = false;
    while (!done) {
      size_t upto = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return converted_ > released || done_; });
        upto = converted_;
        done = done_;
        keep_rest = keep_rest_;
      }
      for (; released < upto; ++released) items_[released] = T();
      if (released >= next_return && !keep_rest) {
        return_freed_heap();
        next_return = released + step;
      }
    }
    if (keep_rest) return;
    std::vector<T>().swap(items_);
    if (trim) return_freed_heap();
  }

  std::vector<T>& items_;
  const bool threaded_ = items_.size() >= vintrel_bridge::tuning::kHelperBatch;
  const pid_t pid_ = getpid();
  std::mutex mutex_;
  std::condition_variable wake_;
  size_t converted_ = 0;    // guarded by mutex_
  bool done_ = false;       // guarded by mutex_
  bool keep_rest_ = false;  // guarded by mutex_
  size_t reported_ = 0;   // builder side only
  HelperThread helper_{[this] { release(); }, threaded_};  // last: started once all is set
};

}  // namespace vintrel_native
