// The plan writing rules as small appenders: compact JSON into one growing buffer, members
// in the order they are written, every optional written (null when absent), floats in the
// shortest round-trip form and non-finite floats as null. Shared by the plan writer and the
// trained-parameters writer so that both give identical bytes for the same record.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.h"
#include "base/number_text.h"
#include "common/enum_table.h"

namespace osmira_common::ir::json_out {

inline void f64(std::string& out, double v) {
  if (std::isfinite(v)) {
    osmira_base::append_json_float(out, v);
  } else {
    out += "null";
  }
}

inline void u64(std::string& out, uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

inline void boolean(std::string& out, bool v) { out += v ? "true" : "false"; }

inline void text(std::string& out, std::string_view v) { osmira_base::append_json_string(out, v); }

template <typename E>
void enumeration(std::string& out, E v) {
  osmira_base::append_json_string(out, enum_text(v));
}

// Writes the items as an array, each with `write(out, item)`.
template <typename T, typename Write>
void list(std::string& out, const std::vector<T>& items, Write write) {
  out += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    write(out, items[i]);
  }
  out += ']';
}

inline void text_list(std::string& out, const std::vector<std::string>& items) {
  list(out, items, text);
}

template <typename E>
void enum_list(std::string& out, const std::vector<E>& items) {
  list(out, items, enumeration<E>);
}

// Writes `value` with `write(out, value)`, or null when absent.
template <typename T, typename Write>
void optional(std::string& out, const std::optional<T>& value, Write write) {
  if (value.has_value()) {
    write(out, *value);
  } else {
    out += "null";
  }
}

// One JSON object: `key` writes the separator and the key; the caller then appends the
// value.
class Object {
 public:
  explicit Object(std::string& out) : out_(out) { out_ += '{'; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  std::string& key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += name;  // member names are plain snake_case: nothing to escape
    out_ += "\":";
    return out_;
  }
  void close() { out_ += '}'; }

 private:
  std::string& out_;
  bool first_ = true;
};

}  // namespace osmira_common::ir::json_out
