#include "python/convert.h"

#include <cstddef>
#include <utility>

namespace vintrel_native {
namespace {

using osmira_base::Value;

// A Python object for a value that holds no other values; empty with the host's exception set
// on failure.
PyRef scalar_to_py(const Value& value) {
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
    case Value::Kind::kObject:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "document tree node of unknown kind");
  return {};
}

// An array or object whose Python form is being built. An array collects its converted
// elements and becomes a list only when all of them exist; an object fills its dict in key
// order (ascending byte order) as each member is finished.
class OpenContainer {
 public:
  explicit OpenContainer(const Value::Array& array) : array_(&array) {}
  OpenContainer(const Value::Object& object, PyRef dict)
      : object_(&object), member_(object.begin()), dict_(std::move(dict)) {}

  // The child to convert next, or null when every child is stored.
  const Value* next_child() const {
    if (array_ != nullptr) return items_.size() < array_->size() ? &(*array_)[items_.size()] : nullptr;
    return member_ != object_->end() ? &member_->second : nullptr;
  }

  // Stores the converted form of the child last returned by next_child(). False with the
  // host's exception set on failure.
  bool store(PyRef item) {
    if (array_ != nullptr) {
      items_.push_back(std::move(item));
      return true;
    }
    PyRef key = text_to_py(member_->first);
    if (!key || PyDict_SetItem(dict_.get(), key.get(), item.get()) < 0) return false;
    ++member_;
    return true;
  }

  // The finished list or dict; empty with the host's exception set on failure.
  PyRef close() {
    if (array_ == nullptr) return std::move(dict_);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items_.size())));
    if (!list) return {};
    for (size_t i = 0; i < items_.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items_[i].release());  // steals
    }
    return list;
  }

 private:
  const Value::Array* array_ = nullptr;
  const Value::Object* object_ = nullptr;
  Value::Object::const_iterator member_{};
  PyRef dict_;
  std::vector<PyRef> items_;
};

}  // namespace

// Walks the tree with an explicit stack of open containers, so that the C stack in use does
// not grow with the nesting (the caller may be a thread with a small stack). On a failure
// the open containers release everything converted so far; later values are not converted.
PyRef json_value_to_py(const Value& root) {
  std::vector<OpenContainer> open;
  const Value* node = &root;
  for (;;) {
    PyRef finished;
    if (node->is_array()) {
      open.emplace_back(node->as_array());
    } else if (node->is_object()) {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return {};
      open.emplace_back(node->as_object(), std::move(dict));
    } else {
      finished = scalar_to_py(*node);
      if (!finished) return {};
    }
    // Hand finished values up and close every container that has no child left, until one
    // has a child still to convert.
    for (;;) {
      if (finished) {
        if (open.empty()) return finished;
        if (!open.back().store(std::move(finished))) return {};
      }
      if (const Value* child = open.back().next_child()) {
        node = child;
        break;
      }
      finished = open.back().close();
      if (!finished) return {};
      open.pop_back();
    }
  }
}

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
