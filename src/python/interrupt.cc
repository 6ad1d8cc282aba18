#include "python/interrupt.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "python/py_ref.h"

namespace vintrel_native {
namespace {

// How often the calling thread looks for signals: a Ctrl-C is acted on within this, plus the
// time the workers need to reach their next piece of work.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// True on the thread where the host runs signal handlers: the main thread (as the threading
// module names it, which also follows a fork from another thread) of the main interpreter.
bool runs_signal_handlers() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
  PyRef name = PyRef::steal(PyUnicode_InternFromString("threading"));
  PyRef threading = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  if (!threading && PyErr_Occurred() == nullptr) {
    threading = PyRef::steal(PyImport_Import(name.get()));  // not imported yet
  }
  PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                         : PyRef();
  PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  return main_ident == PyThread_get_thread_ident();
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

}  // namespace

bool run_interruptible(osmira_base::CancelFlag& cancel, const std::function<void()>& work) {
  WorkThread* thread = runs_signal_handlers() ? WorkThread::get() : nullptr;
  // A call made by a signal handler while another call polls runs where it is.
  if (thread == nullptr || thread->busy()) {
    without_lock(work);
    return true;
  }
  thread->start(work);
  // The main thread is never ended by a shutdown, so the lock is taken back plainly here.
  bool interrupted = false;
  PyThreadState* saved = PyEval_SaveThread();
  while (!thread->wait_for(kSignalPoll)) {
    if (interrupted) continue;
    PyEval_RestoreThread(saved);
    interrupted = PyErr_CheckSignals() != 0;
    saved = PyEval_SaveThread();
    if (interrupted) cancel.raise();
  }
  std::exception_ptr failure = thread->collect();
  PyEval_RestoreThread(saved);
  if (interrupted) return false;
  if (failure) std::rethrow_exception(failure);
  return true;
}

}  // namespace vintrel_native
