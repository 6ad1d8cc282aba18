#include "python/boundary.h"

#include <atomic>

namespace vintrel_native {
namespace {

// Created once; a thread that loses the race to create it drops its own copy.
std::atomic<PyObject*> panic_type{nullptr};

PyRef decode_message(std::string_view message) {
  return PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                           "replace"));
}

}  // namespace

PyObject* panic_exception_type() {
  if (PyObject* existing = panic_type.load(std::memory_order_acquire)) return existing;
  PyObject* created = PyErr_NewException("vintrel._native.PanicException", PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

void raise_panic(std::string_view message) {
  PyErr_Clear();
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation failed; that error stays set
  PyRef text = decode_message(message);
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void raise_memory_error(const char* message) {
  PyErr_Clear();
  // Should the message itself find no memory, the host sets its own MemoryError instead.
  PyErr_SetString(PyExc_MemoryError, message);
}

void raise_value_error(std::string_view message) {
  PyRef text = decode_message(message);
  if (!text) return;
  PyErr_SetObject(PyExc_ValueError, text.get());
}

PyRef raise(const osmira_base::Error& error) {
  raise_value_error(error.message());
  return {};
}

}  // namespace vintrel_native
