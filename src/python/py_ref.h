// Ownership of Python references and release of the interpreter lock around plain C++ work,
// so that every early return and every C++ exception unwinding through module code leaves
// reference counts and the thread state as they should be.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace vintrel_native {

// Owns one strong reference to a Python object, or nothing. An empty PyRef returned by a
// function of this module means "failed, with a Python exception set".
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. straight from a failing C API call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

// Runs `work` with the interpreter lock released; what it throws is rethrown once the lock
// is back. `work` must not touch any Python object.
//
// The lock is taken back by a plain call with no exception in flight, never from a
// destructor: when the interpreter is shutting down, taking it back ends a daemon thread
// with a forced unwind (pthread_exit), which has to pass freely through every frame up to
// the host; meeting a noexcept frame (a destructor) or unwinding on top of another exception
// would end the process instead. Callers hold no Python reference across the call for the
// same reason: the forced unwind runs their destructors without the lock.
template <typename Work>
void without_lock(Work&& work) {
  std::exception_ptr failure;
  PyThreadState* const saved = PyEval_SaveThread();
  try {
    work();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vintrel_native
