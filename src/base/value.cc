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

}  // namespace osmira_base
