#include "python/arguments.h"

#include <string>

namespace vintrel_native {
namespace {

// "f()": how argument errors name the function.
std::string call_name(const Signature& signature) { return std::string(signature.name) + "()"; }

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
               call_name(signature).c_str(), signature.parameter_count, given,
               given == 1 ? "was" : "were");
}

// "f() missing 3 required positional arguments: 'a', 'b', and 'c'": two names are joined by
// " and ", three or more take a comma after every name but the last and "and" before it.
void raise_missing(const Signature& signature, PyObject* const* slots) {
  std::array<const char*, kMaxParameters> missing{};
  size_t count = 0;
  for (size_t i = 0; i < signature.parameter_count; ++i) {
    if (slots[i] == nullptr) missing[count++] = signature.parameters[i];
  }
  std::string message = call_name(signature) + " missing " + std::to_string(count) +
                        " required positional " + (count == 1 ? "argument" : "arguments") + ": ";
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) {
      if (count > 2) message += ',';
      message += i == count - 1 ? " and " : " ";
    }
    message += '\'';
    message += missing[i];
    message += '\'';
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Index of the parameter called `name`, or -1.
Py_ssize_t find_parameter(const Signature& signature, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (size_t i = 0; i < signature.parameter_count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

// Reads `value` as the text of parameter `index`. Only the type errors below are phrased
// "argument '<name>': ..."; a failure of the UTF-8 conversion itself (a str holding lone
// surrogates) passes through as the host raised it.
bool read_text(const Signature& signature, size_t index, PyObject* value,
               std::optional<std::string_view>* out) {
  const char* parameter = signature.parameters[index];
  if (value == Py_None) {
    if ((signature.accepts_none >> index) & 1u) {
      out->reset();
      return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of 'str'", parameter);
    return false;
  }
  if (!PyUnicode_Check(value)) {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of 'str'",
                 parameter, type_name.get());
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Arguments* out) {
  const size_t count = signature.parameter_count;
  if (nargs < 0 || static_cast<size_t>(nargs) > count) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  std::array<PyObject*, kMaxParameters> slots{};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = find_parameter(signature, name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                   call_name(signature).c_str(), name);
      return false;
    }
    PyObject*& slot = slots[static_cast<size_t>(index)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   call_name(signature).c_str(), signature.parameters[static_cast<size_t>(index)]);
      return false;
    }
    slot = args[nargs + k];
  }

  for (size_t i = 0; i < count; ++i) {
    if (slots[i] == nullptr) {
      raise_missing(signature, slots.data());
      return false;
    }
  }

  out->signature_ = &signature;
  for (size_t i = 0; i < count; ++i) {
    if (!read_text(signature, i, slots[i], &out->texts_[i])) return false;
  }
  return true;
}

}  // namespace vintrel_native
