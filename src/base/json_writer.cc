#include "base/json_writer.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "base/number_text.h"

namespace osmira_base {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the current run of bytes that need no escape
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

namespace {

void append_scalar(std::string& out, const Value& v) {
  char buf[24];
  switch (v.kind()) {
    case Value::Kind::kNull: out += "null"; break;
    case Value::Kind::kBool: out += v.as_bool() ? "true" : "false"; break;
    case Value::Kind::kUInt: {
      auto r = std::to_chars(buf, buf + sizeof buf, v.as_uint());
      out.append(buf, r.ptr);
      break;
    }
    case Value::Kind::kInt: {
      auto r = std::to_chars(buf, buf + sizeof buf, v.as_int());
      out.append(buf, r.ptr);
      break;
    }
    case Value::Kind::kFloat:
      if (std::isfinite(v.as_float())) append_json_float(out, v.as_float());
      else out += "null";
      break;
    case Value::Kind::kString: append_json_string(out, v.as_string()); break;
    default: break;
  }
}

}  // namespace

// Iterative walk with an explicit stack, so that arbitrarily deep trees cannot overflow
// the call stack.
void append_compact_json(std::string& out, const Value& root) {
  struct Frame {
    const Value* container;
    size_t index;
    Value::Object::const_iterator it;
  };
  std::vector<Frame> stack;
  const Value* next = &root;
  while (true) {
    if (next != nullptr) {
      const Value& v = *next;
      next = nullptr;
      if (v.is_array()) {
        out += '[';
        stack.push_back({&v, 0, {}});
      } else if (v.is_object()) {
        out += '{';
        stack.push_back({&v, 0, v.as_object().begin()});
      } else {
        append_scalar(out, v);
      }
    }
    if (stack.empty()) return;
    Frame& f = stack.back();
    if (f.container->is_array()) {
      const auto& a = f.container->as_array();
      if (f.index == a.size()) {
        out += ']';
        stack.pop_back();
        continue;
      }
      if (f.index > 0) out += ',';
      next = &a[f.index++];
    } else {
      const auto& o = f.container->as_object();
      if (f.it == o.end()) {
        out += '}';
        stack.pop_back();
        continue;
      }
      if (f.index++ > 0) out += ',';
      append_json_string(out, f.it->first);
      out += ':';
      next = &f.it->second;
      ++f.it;
    }
  }
}

std::string compact_json(const Value& value) {
  std::string s;
  append_compact_json(s, value);
  return s;
}

}  // namespace osmira_base
