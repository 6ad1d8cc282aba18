// The document tree: a JSON-like value. Parsed YAML, condition values and every dict
// result handed to Python are held in it. Objects keep their keys in ascending byte order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace osmira_base {

class Value {
 public:
  enum class Kind { kNull, kBool, kUInt, kInt, kFloat, kString, kArray, kObject };
  using Array = std::vector<Value>;
  // std::less<> on std::string compares bytes as unsigned char: ascending byte order.
  using Object = std::map<std::string, Value, std::less<>>;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(uint64_t u) : v_(u) {}
  // Negative integers are held signed, every other integer unsigned.
  Value(int64_t i) { if (i < 0) v_ = i; else v_ = static_cast<uint64_t>(i); }
  Value(int i) : Value(static_cast<int64_t>(i)) {}
  Value(unsigned u) : Value(static_cast<uint64_t>(u)) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  // Nested arrays and objects are released with an explicit stack, so that dropping a
  // deeply nested tree cannot overflow the call stack.
  ~Value() {
    if (is_array() || is_object()) release_children();
  }
  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;

  static Value array() { return Value(Array{}); }
  static Value object() { return Value(Object{}); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }
  bool is_bool() const { return kind() == Kind::kBool; }
  bool is_number() const { return kind() == Kind::kUInt || kind() == Kind::kInt || kind() == Kind::kFloat; }
  bool is_integer() const { return kind() == Kind::kUInt || kind() == Kind::kInt; }
  bool is_string() const { return kind() == Kind::kString; }
  bool is_array() const { return kind() == Kind::kArray; }
  bool is_object() const { return kind() == Kind::kObject; }

  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_uint() const { return std::get<uint64_t>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_float() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const Array& as_array() const { return std::get<Array>(v_); }
  Array& as_array() { return std::get<Array>(v_); }
  const Object& as_object() const { return std::get<Object>(v_); }
  Object& as_object() { return std::get<Object>(v_); }

  // The number as a 64-bit float (integers converted); nothing for any other node.
  std::optional<double> number() const;
  // The string's text, or nothing.
  const std::string* string() const { return is_string() ? &as_string() : nullptr; }
  // The value stored under `key` when this is an object that has it (null included).
  const Value* get(std::string_view key) const;
  Value* get(std::string_view key);
  // Object insertion (replacing); this must be an object.
  Value& set(std::string key, Value v);
  // Array append; this must be an array.
  Value& push(Value v);

  friend bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

 private:
  void release_children();

  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, Array, Object> v_;
};

}  // namespace osmira_base
