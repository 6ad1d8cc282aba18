// The boundary between the interpreter and the module's C++ code. Expected failures travel
// as Result values and become ValueError; a failed allocation (std::bad_alloc, also from a
// worker thread) becomes MemoryError; any other C++ exception that escapes a function body
// is a broken internal invariant and is raised as PanicException, which derives from
// BaseException so that an ordinary `except Exception` does not swallow it. Nothing that
// happens inside a call may take the interpreter down.
#pragma once

#include "python/py_ref.h"

#include "base/result.h"

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string_view>

namespace vintrel_native {

// The PanicException type (a borrowed reference), created at its first use and kept for the
// life of the process. It is deliberately not a module attribute. Null with an exception set
// when it cannot be created.
PyObject* panic_exception_type();

// Sets PanicException with `message` (UTF-8; invalid bytes are replaced) as the current
// exception, replacing any exception already set.
void raise_panic(std::string_view message);

// Sets ValueError whose only argument is `message` (UTF-8; invalid bytes are replaced).
void raise_value_error(std::string_view message);

// Sets MemoryError with `message` (what the memory was needed for) as the current exception,
// replacing any exception already set.
void raise_memory_error(const char* message);

// Raises the failure of an operation as ValueError with its message and returns the empty
// reference that a failed call gives back to the interpreter.
PyRef raise(const osmira_base::Error& error);

// Runs `body` and returns its result; a C++ exception escaping it becomes MemoryError (for
// std::bad_alloc) or PanicException, and `failure` is returned instead. Everything the body
// allocated has been released by the unwinding. Used around every function call and the
// module's exec step.
//
// A forced unwind (a daemon thread ended while the interpreter shuts down, see without_lock)
// passes through on its way to the host.
template <typename R, typename Body>
R call_at_boundary(R failure, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    raise_memory_error("out of memory");
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal error: an unknown C++ exception reached the module boundary");
  }
  return failure;
}

}  // namespace vintrel_native
