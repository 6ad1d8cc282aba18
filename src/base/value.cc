#include "base/value.h"

namespace osmira_base {

std::optional<double> Value::number() const {
  switch (kind()) {
    case Kind::kUInt: return static_cast<double>(as_uint());
    case Kind::kInt: return static_cast<double>(as_int());
    case Kind::kFloat: return as_float();
    default: return std::nullopt;
  }
}

const Value* Value::get(std::string_view key) const {
  if (!is_object()) return nullptr;
  const Object& o = as_object();
  auto it = o.find(key);
  return it == o.end() ? nullptr : &it->second;
}

Value* Value::get(std::string_view key) {
  return const_cast<Value*>(static_cast<const Value*>(this)->get(key));
}

Value& Value::set(std::string key, Value v) {
  Object& o = as_object();
  auto [it, inserted] = o.insert_or_assign(std::move(key), std::move(v));
  (void)inserted;
  return it->second;
}

Value& Value::push(Value v) {
  Array& a = as_array();
  a.push_back(std::move(v));
  return a.back();
}

void Value::release_children() {
  std::vector<Value> pending;
  // Moves the nested containers of `v` onto `pending` and empties `v`, so that destroying
  // `v` afterwards recurses no further.
  auto detach = [&pending](Value& v) {
    if (v.is_array()) {
      for (Value& child : v.as_array()) {
        if (child.is_array() || child.is_object()) pending.push_back(std::move(child));
      }
      v.as_array().clear();
    } else if (v.is_object()) {
      for (auto& entry : v.as_object()) {
        if (entry.second.is_array() || entry.second.is_object()) pending.push_back(std::move(entry.second));
      }
      v.as_object().clear();
    }
  };
  detach(*this);
  while (!pending.empty()) {
    Value v = std::move(pending.back());
    pending.pop_back();
    detach(v);
  }
}

}  // namespace osmira_base
