// Ownership of Python references and scoped release of the interpreter lock, so that every
// early return and every C++ exception unwinding through module code leaves reference counts
// and the thread state as they should be.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// Releases the interpreter lock for its lifetime, like Py_BEGIN_ALLOW_THREADS /
// Py_END_ALLOW_THREADS, and takes it back also when an exception unwinds through the scope.
// While one is alive no Python object may be touched: work only on plain C++ values.
class AllowThreads {
 public:
  AllowThreads() : saved_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(saved_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace vintrel_native
