#include "python/convert.h"

#include <cstddef>

namespace vintrel_native {
namespace {

using osmira_base::Value;

// Conversion recurses once per level of nesting. Trees reach this code from the YAML parser,
// which refuses documents nested deeper than 128 levels, and from result builders that nest
// a few levels; the cap below only guards against a tree built some other way, so that no
// input can exhaust the C stack (a frame here is small, and 512 of them fit easily even in a
// thread started with a reduced stack size).
constexpr int kMaxDepth = 512;

PyRef convert(const Value& value, int depth);

PyRef convert_array(const Value::Array& array, int depth) {
  // Every element is converted before the list exists; on a failure the elements converted
  // so far are released by their owners and later elements are not looked at.
  std::vector<PyRef> items;
  items.reserve(array.size());
  for (const Value& element : array) {
    PyRef item = convert(element, depth + 1);
    if (!item) return {};
    items.push_back(std::move(item));
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());  // steals
  }
  return list;
}

PyRef convert_object(const Value::Object& object, int depth) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, member] : object) {  // ascending byte order of the keys
    PyRef item = convert(member, depth + 1);
    if (!item) return {};
    PyRef name = text_to_py(key);
    if (!name) return {};
    if (PyDict_SetItem(dict.get(), name.get(), item.get()) < 0) return {};
  }
  return dict;
}

PyRef convert(const Value& value, int depth) {
  if (depth > kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "document tree nested too deeply to convert");
    return {};
  }
  switch (value.kind()) {
    case Value::Kind::kNull:
      return PyRef::borrow(Py_None);
    case Value::Kind::kBool:
      return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
    case Value::Kind::kUInt:
      // Exact for the whole unsigned range; a float here would silently lose digits of
      // values from 2^63 upwards.
      return PyRef::steal(PyLong_FromUnsignedLongLong(value.as_uint()));
    case Value::Kind::kInt:
      return PyRef::steal(PyLong_FromLongLong(value.as_int()));
    case Value::Kind::kFloat:
      return PyRef::steal(PyFloat_FromDouble(value.as_float()));
    case Value::Kind::kString:
      return text_to_py(value.as_string());
    case Value::Kind::kArray:
      return convert_array(value.as_array(), depth);
    case Value::Kind::kObject:
      return convert_object(value.as_object(), depth);
  }
  PyErr_SetString(PyExc_SystemError, "document tree node of unknown kind");
  return {};
}

}  // namespace

PyRef json_value_to_py(const Value& value) { return convert(value, 0); }

PyRef string_list_to_py(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (size_t i = 0; i < items.size(); ++i) {
    PyRef text = text_to_py(items[i]);
    if (!text) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return list;
}

PyRef text_to_py(std::string_view text) {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace vintrel_native
