#include "common/spec/reader.h"

#include <cmath>
#include <cstdio>

#include "base/number_text.h"
#include "base/unicode.h"

namespace osmira_common::spec::detail {
namespace {

using osmira_base::Value;
using osmira_base::yaml::bool_text;
using osmira_base::yaml::is_null_text;
using osmira_base::yaml::PlainScalar;
using osmira_base::yaml::ScalarStyle;

constexpr std::string_view kTagBool = "tag:yaml.org,2002:bool";
constexpr std::string_view kTagInt = "tag:yaml.org,2002:int";
constexpr std::string_view kTagFloat = "tag:yaml.org,2002:float";
constexpr std::string_view kTagNull = "tag:yaml.org,2002:null";

constexpr std::string_view kEnumInput = "untagged and internally tagged enums do not support enum input";

std::string u128_text(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string digits;
  while (v != 0) {
    digits.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return std::string(digits.rbegin(), digits.rend());
}

std::string i128_text(__int128 v) {
  if (v >= 0) return u128_text(static_cast<unsigned __int128>(v));
  // Magnitude without overflow at the most negative value.
  const unsigned __int128 magnitude = ~static_cast<unsigned __int128>(v) + 1;
  return "-" + u128_text(magnitude);
}

bool is_integer_kind(PlainScalar::Kind k) {
  return k == PlainScalar::Kind::kUInt || k == PlainScalar::Kind::kInt ||
         k == PlainScalar::Kind::kBigUInt || k == PlainScalar::Kind::kBigInt;
}

ReadFailure end_of_events(const osmira_base::yaml::Document& doc) {
  ReadFailure f;
  f.fixable = false;
  if (!doc.error) {
    f.problem.body = "EOF while parsing a value";
    return f;
  }
  const auto& error = *doc.error;
  constexpr std::string_view kUnknownAnchor = "unknown anchor";
  if (std::string_view(error.message).starts_with(kUnknownAnchor) && error.mark) {
    f.problem.body = std::string(kUnknownAnchor);
    f.mark = error.mark;
    return f;
  }
  f.problem.body = error.message;
  f.verbatim = true;
  // A reader error (bad bytes) has only a byte offset, no line and column: no location.
  f.mark = error.mark;
  return f;
}

ReadStatus recursion_limit(const Mark& mark) {
  ReadFailure f;
  f.problem.body = "recursion limit exceeded";
  f.fixable = false;
  f.mark = mark;
  return ReadStatus::fail_with(std::move(f));
}

ReadStatus repetition_limit() {
  ReadFailure f;
  f.problem.body = "repetition limit exceeded";
  f.fixable = false;
  return ReadStatus::fail_with(std::move(f));
}

}  // namespace

// ---- Failures -------------------------------------------------------------------------------

ReadStatus ReadStatus::fail(Problem problem) {
  ReadFailure f;
  f.problem = std::move(problem);
  return fail_with(std::move(f));
}

ReadStatus ReadStatus::fail_with(ReadFailure failure) {
  ReadStatus s;
  s.failure_ = std::make_unique<ReadFailure>(std::move(failure));
  return s;
}

Problem missing_field(std::string_view key) {
  return Problem("missing field `" + std::string(key) + "`", osmira_base::ErrorKind::kMissingField,
                 std::string(key), {});
}
std::string duplicate_field(std::string_view key) {
  return "duplicate field `" + std::string(key) + "`";
}
Problem invalid_type(std::string_view found, std::string_view expecting) {
  return Problem("invalid type: " + std::string(found) + ", expected " + std::string(expecting),
                 osmira_base::ErrorKind::kInvalidType, std::string(found), std::string(expecting));
}
Problem unknown_variant(std::string_view text, std::span<const std::string_view> names) {
  return Problem(unknown_variant_message(text, names), osmira_base::ErrorKind::kUnknownVariant,
                 std::string(text), names.empty() ? std::string() : expected_names(names));
}
std::string invalid_value(std::string_view found, std::string_view expecting) {
  return "invalid value: " + std::string(found) + ", expected " + std::string(expecting);
}
std::string invalid_length(size_t n, std::string_view expecting) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(expecting);
}
std::string elements_in_sequence(size_t k) {
  return k == 1 ? "1 element in sequence" : std::to_string(k) + " elements in sequence";
}

std::string found_unsigned(uint64_t n) { return "integer `" + std::to_string(n) + "`"; }
std::string found_signed(int64_t n) { return "integer `" + std::to_string(n) + "`"; }

std::string found_float(double x) {
  std::string text = osmira_base::plain_number(x);
  if (std::isfinite(x) && text.find('.') == std::string::npos) text += ".0";
  return "floating point `" + text + "`";
}

// The text in double quotes with the escapes of a debug rendering: quote, backslash and the
// common control characters by their short escapes, other control characters as \u{XX}.
std::string found_string(std::string_view text) {
  std::string out = "string \"";
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = pos;
    const char32_t c = osmira_base::unicode::decode_utf8(text, pos);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out.append(text.substr(start, pos - start));
        }
    }
  }
  out += '"';
  return out;
}

// ---- Paths ----------------------------------------------------------------------------------

std::string format_path(const Path& path) {
  std::vector<const Path*> chain;
  for (const Path* p = &path; p != nullptr; p = p->parent) chain.push_back(p);
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const Path& p = **it;
    const bool parent_is_root = p.parent == nullptr || p.parent->kind == Path::Kind::kRoot;
    switch (p.kind) {
      case Path::Kind::kRoot:
        out = ".";
        break;
      case Path::Kind::kSeq:
        out += "[" + std::to_string(p.index) + "]";
        break;
      case Path::Kind::kMap:
        if (parent_is_root) out.clear(); else out += '.';
        out.append(p.key);
        break;
      case Path::Kind::kUnknown:
        if (parent_is_root) out.clear(); else out += '.';
        out += '?';
        break;
      case Path::Kind::kAlias:
        break;
    }
  }
  return out;
}

ReadStatus fix(ReadStatus status, const Mark& mark, const Path& path) {
  if (!status.ok()) {
    ReadFailure& f = status.failure();
    if (f.fixable && !f.fixed) {
      f.fixed = true;
      f.mark = mark;
      f.path = format_path(path);
    }
  }
  return status;
}

// ---- Typed scalars --------------------------------------------------------------------------

bool is_local_tag(std::string_view tag) { return !tag.empty() && tag.front() == '!'; }

std::string_view local_tag_name(std::string_view tag) {
  return tag.size() > 1 ? tag.substr(1) : tag;
}

ReadStatus type_scalar(const Event& event, TypedScalar& out) {
  out.text = event.value;
  out.value = PlainScalar{};
  const std::string_view tag = event.tag;
  const bool plain = event.style == ScalarStyle::kPlain;
  if (tag == kTagBool) {
    if (auto b = bool_text(out.text)) {
      out.value.kind = PlainScalar::Kind::kBool;
      out.value.boolean = *b;
      return ReadStatus();
    }
    return ReadStatus::fail(invalid_value(found_string(out.text), "a boolean"));
  }
  if (tag == kTagInt) {
    out.value = osmira_base::yaml::classify_plain_scalar(out.text);
    if (is_integer_kind(out.value.kind)) return ReadStatus();
    return ReadStatus::fail(invalid_value(found_string(out.text), "an integer"));
  }
  if (tag == kTagFloat) {
    PlainScalar p = osmira_base::yaml::classify_plain_scalar(out.text);
    double x = 0.0;
    switch (p.kind) {
      case PlainScalar::Kind::kFloat: x = p.number; break;
      case PlainScalar::Kind::kUInt: x = static_cast<double>(p.uint); break;
      case PlainScalar::Kind::kInt: x = static_cast<double>(p.sint); break;
      case PlainScalar::Kind::kBigUInt: x = static_cast<double>(p.big_uint); break;
      case PlainScalar::Kind::kBigInt: x = static_cast<double>(p.big_int); break;
      default: return ReadStatus::fail(invalid_value(found_string(out.text), "a float"));
    }
    out.value.kind = PlainScalar::Kind::kFloat;
    out.value.number = x;
    return ReadStatus();
  }
  if (tag == kTagNull) {
    if (is_null_text(out.text)) {
      out.value.kind = PlainScalar::Kind::kNull;
      return ReadStatus();
    }
    return ReadStatus::fail(invalid_value(found_string(out.text), "null"));
  }
  if (plain && (tag.empty() || is_local_tag(tag))) {
    out.value = osmira_base::yaml::classify_plain_scalar(out.text);
    return ReadStatus();
  }
  out.value.kind = PlainScalar::Kind::kString;
  return ReadStatus();
}

std::string found_text(const TypedScalar& s) {
  switch (s.value.kind) {
    case PlainScalar::Kind::kNull: return "unit value";
    case PlainScalar::Kind::kBool: return s.value.boolean ? "boolean `true`" : "boolean `false`";
    case PlainScalar::Kind::kUInt: return found_unsigned(s.value.uint);
    case PlainScalar::Kind::kInt: return found_signed(s.value.sint);
    case PlainScalar::Kind::kBigUInt: return "integer `" + u128_text(s.value.big_uint) + "` as u128";
    case PlainScalar::Kind::kBigInt: return "integer `" + i128_text(s.value.big_int) + "` as i128";
    case PlainScalar::Kind::kFloat: return found_float(s.value.number);
    case PlainScalar::Kind::kString: break;
  }
  return found_string(s.text);
}

std::string found_text(const Node& n) {
  switch (n.kind) {
    case Node::Kind::kNull: return "unit value";
    case Node::Kind::kBool: return n.boolean ? "boolean `true`" : "boolean `false`";
    case Node::Kind::kUInt: return found_unsigned(n.uint);
    case Node::Kind::kInt: return found_signed(n.sint);
    case Node::Kind::kFloat: return found_float(n.number);
    case Node::Kind::kString: return found_string(n.text);
    case Node::Kind::kSeq: return "sequence";
    case Node::Kind::kMap: return "map";
  }
  return "unit value";
}

// ---- Direct ---------------------------------------------------------------------------------

ReadStatus Direct::peek(const Event*& event) const {
  const auto& events = state_->document->events;
  if (*pos_ >= events.size()) return ReadStatus::fail_with(end_of_events(*state_->document));
  event = &events[*pos_];
  return ReadStatus();
}

ReadStatus Direct::next(const Event*& event) {
  SPEC_TRY(peek(event));
  ++*pos_;
  if (through_alias_ && ++state_->expanded_events > state_->repetition_limit) {
    return repetition_limit();
  }
  return ReadStatus();
}

ReadStatus Direct::skip() {
  size_t open = 0;
  do {
    const Event* e = nullptr;
    SPEC_TRY(next(e));
    switch (e->kind) {
      case EventKind::kSequenceStart:
      case EventKind::kMappingStart:
        ++open;
        break;
      case EventKind::kSequenceEnd:
      case EventKind::kMappingEnd:
        if (open > 0) --open;
        break;
      default:
        break;
    }
  } while (open > 0);
  return ReadStatus();
}

ReadStatus Direct::nest(const Mark& mark, int& child_depth) const {
  if (depth_ <= 0) return recursion_limit(mark);
  child_depth = depth_ - 1;
  return ReadStatus();
}

Direct Direct::element(size_t index, int child_depth) const {
  Path p;
  p.kind = Path::Kind::kSeq;
  p.parent = &path_;
  p.index = index;
  return Direct(state_, pos_, p, child_depth, through_alias_);
}

Direct Direct::value(const Event& key_event, int child_depth) const {
  Path p;
  p.parent = &path_;
  // A key written as an alias stands for the anchored node, so the path names its text.
  const Event* key = &key_event;
  if (key->kind == EventKind::kAlias) key = &state_->document->events[key->alias_target];
  if (key->kind == EventKind::kScalar) {
    p.kind = Path::Kind::kMap;
    p.key = key->value;
  } else {
    p.kind = Path::Kind::kUnknown;
  }
  return Direct(state_, pos_, p, child_depth, through_alias_);
}

Direct Direct::key(int child_depth) const {
  Direct d = *this;
  d.depth_ = child_depth;
  return d;
}

ReadStatus Direct::jump(const Event& alias, size_t& target, std::optional<Direct>& out) {
  if (++state_->alias_jumps > state_->repetition_limit) return repetition_limit();
  target = alias.alias_target;
  Path p;
  p.kind = Path::Kind::kAlias;
  p.parent = &path_;
  out.emplace(state_, &target, p, depth_, true);
  return ReadStatus();
}

ReadStatus unexpected_node(const Direct& d, const Event& event, std::string_view expecting) {
  ReadStatus s;
  switch (event.kind) {
    case EventKind::kScalar: {
      TypedScalar t;
      s = type_scalar(event, t);
      if (s.ok()) s = ReadStatus::fail(invalid_type(found_text(t), expecting));
      break;
    }
    case EventKind::kSequenceStart:
      s = ReadStatus::fail(invalid_type("sequence", expecting));
      break;
    case EventKind::kMappingStart:
      s = ReadStatus::fail(invalid_type("map", expecting));
      break;
    default: {
      ReadFailure f;
      f.problem.body = "EOF while parsing a value";
      f.fixable = false;
      return ReadStatus::fail_with(std::move(f));
    }
  }
  return fix(std::move(s), event.mark, d.path());
}

bool take_empty(Direct& d, const Event& event) {
  const bool empty = event.kind == EventKind::kVoid ||
                     (event.kind == EventKind::kScalar && event.style == ScalarStyle::kPlain &&
                      event.value.empty());
  if (empty) {
    const Event* consumed = nullptr;
    (void)d.next(consumed);
  }
  return empty;
}

ReadStatus read_text(Direct& d, std::string& out, std::string_view expecting) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return read_text(j, out, expecting); });
  if (e->kind == EventKind::kScalar) {
    out = e->value;
    return ReadStatus();
  }
  return unexpected_node(d, *e, expecting);
}

ReadStatus read(Direct& d, std::string& out) { return read_text(d, out, "a string"); }

ReadStatus read(Direct& d, bool& out) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return read(j, out); });
  if (e->kind == EventKind::kScalar && e->style == ScalarStyle::kPlain &&
      (e->tag.empty() || is_local_tag(e->tag) || e->tag == kTagBool)) {
    if (auto b = bool_text(e->value)) {
      out = *b;
      return ReadStatus();
    }
  }
  return unexpected_node(d, *e, "a boolean");
}

namespace {

// An unsigned integer read directly, no larger than `max`.
ReadStatus read_unsigned(Direct& d, uint64_t& out, uint64_t max, std::string_view expecting) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return read_unsigned(j, out, max, expecting); });
  if (e->kind != EventKind::kScalar) return unexpected_node(d, *e, expecting);
  TypedScalar t;
  ReadStatus s = type_scalar(*e, t);
  if (s.ok()) {
    if (t.value.kind == PlainScalar::Kind::kUInt) {
      if (t.value.uint <= max) {
        out = t.value.uint;
        return ReadStatus();
      }
      s = ReadStatus::fail(invalid_value(found_unsigned(t.value.uint), expecting));
    } else {
      s = ReadStatus::fail(invalid_type(found_text(t), expecting));
    }
  }
  return fix(std::move(s), e->mark, d.path());
}

}  // namespace

ReadStatus read(Direct& d, uint8_t& out) {
  uint64_t v = 0;
  SPEC_TRY(read_unsigned(d, v, 255, "u8"));
  out = static_cast<uint8_t>(v);
  return ReadStatus();
}

ReadStatus read(Direct& d, uint32_t& out) {
  uint64_t v = 0;
  SPEC_TRY(read_unsigned(d, v, 4294967295u, "u32"));
  out = static_cast<uint32_t>(v);
  return ReadStatus();
}

ReadStatus read(Direct& d, uint64_t& out) {
  return read_unsigned(d, out, UINT64_MAX, "u64");
}

ReadStatus read(Direct& d, double& out) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return read(j, out); });
  if (e->kind != EventKind::kScalar) return unexpected_node(d, *e, "f64");
  TypedScalar t;
  ReadStatus s = type_scalar(*e, t);
  if (s.ok()) {
    switch (t.value.kind) {
      case PlainScalar::Kind::kUInt: out = static_cast<double>(t.value.uint); return ReadStatus();
      case PlainScalar::Kind::kInt: out = static_cast<double>(t.value.sint); return ReadStatus();
      case PlainScalar::Kind::kFloat: out = t.value.number; return ReadStatus();
      default: s = ReadStatus::fail(invalid_type(found_text(t), "f64"));
    }
  }
  return fix(std::move(s), e->mark, d.path());
}

ReadStatus option_is_none(Direct& d, bool& none, size_t& alias_target, bool& is_alias) {
  const Event* e = nullptr;
  SPEC_TRY(d.peek(e));
  none = false;
  is_alias = false;
  switch (e->kind) {
    case EventKind::kAlias:
      is_alias = true;
      alias_target = e->alias_target;
      return ReadStatus();
    case EventKind::kVoid:
      none = true;
      break;
    case EventKind::kScalar:
      if (e->style != ScalarStyle::kPlain) break;
      if (e->tag == kTagNull) {
        if (!is_null_text(e->value)) {
          return fix(ReadStatus::fail(invalid_value(found_string(e->value), "null")), e->mark, d.path());
        }
        none = true;
      } else if (e->tag.empty()) {
        none = is_null_text(e->value);
      }
      break;
    default:
      break;
  }
  if (none) {
    const Event* consumed = nullptr;
    SPEC_TRY(d.next(consumed));
  }
  return ReadStatus();
}

ReadStatus read_variant_name(Direct& d, std::span<const std::string_view> names,
                         std::string_view expecting, size_t& index) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return read_variant_name(j, names, expecting, index); });
  if (e->kind != EventKind::kScalar) return unexpected_node(d, *e, expecting);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == e->value) {
      index = i;
      return ReadStatus();
    }
  }
  return fix(ReadStatus::fail(unknown_variant(e->value, names)), e->mark, d.path());
}

ReadStatus read_enum_index(Direct& d, std::span<const std::string_view> names, size_t& index) {
  const Event* e = nullptr;
  SPEC_PEEK_FOLLOWING_ALIAS(d, e, [&](Direct& j) { return read_enum_index(j, names, index); });
  if (e->kind == EventKind::kVoid) return unexpected_node(d, *e, "");
  const bool collection =
      e->kind == EventKind::kMappingStart || e->kind == EventKind::kSequenceStart;
  if (is_local_tag(e->tag)) {
    // The tag names the variant; the tagged node itself must be empty or null.
    const std::string_view name = local_tag_name(e->tag);
    bool found = false;
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) {
        index = i;
        found = true;
        break;
      }
    }
    if (!found) {
      SPEC_TRY(d.next(e));
      return fix(ReadStatus::fail(unknown_variant(name, names)), e->mark, d.path());
    }
    SPEC_TRY(d.next(e));
    ReadStatus s;
    if (collection) {
      s = ReadStatus::fail(invalid_type(e->kind == EventKind::kMappingStart ? "map" : "sequence", "unit"));
    } else if (e->style != ScalarStyle::kPlain || !is_null_text(e->value)) {
      s = ReadStatus::fail(invalid_value(found_string(e->value), "null"));
    }
    return fix(std::move(s), e->mark, d.path());
  }
  if (collection) {
    SPEC_TRY(d.next(e));
    return fix(ReadStatus::fail(invalid_type(e->kind == EventKind::kMappingStart ? "map" : "sequence",
                                         "a YAML tag starting with '!'")),
               e->mark, d.path());
  }
  return read_variant_name(d, names, "variant identifier", index);
}

// ---- Any value read directly ----------------------------------------------------------------

ReadStatus read(Direct& d, Value& out) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return read(j, out); });
  const Mark mark = e->mark;
  constexpr std::string_view kExpecting = "any valid JSON value";
  if (e->kind == EventKind::kVoid) {
    out = Value();
    return ReadStatus();
  }
  if (is_local_tag(e->tag)) return fix(ReadStatus::fail(invalid_type("enum", kExpecting)), mark, d.path());
  if (e->kind == EventKind::kScalar) {
    TypedScalar t;
    ReadStatus s = type_scalar(*e, t);
    if (s.ok()) {
      switch (t.value.kind) {
        case PlainScalar::Kind::kNull: out = Value(); break;
        case PlainScalar::Kind::kBool: out = Value(t.value.boolean); break;
        case PlainScalar::Kind::kUInt: out = Value(t.value.uint); break;
        case PlainScalar::Kind::kInt: out = Value(t.value.sint); break;
        case PlainScalar::Kind::kBigUInt:
        case PlainScalar::Kind::kBigInt: s = ReadStatus::fail("JSON number out of range"); break;
        case PlainScalar::Kind::kFloat:
          out = std::isfinite(t.value.number) ? Value(t.value.number) : Value();
          break;
        case PlainScalar::Kind::kString: out = Value(std::string(t.text)); break;
      }
    }
    return fix(std::move(s), mark, d.path());
  }
  int child_depth = 0;
  SPEC_TRY(d.nest(mark, child_depth));
  ReadStatus s = [&]() -> ReadStatus {
    const Event* end = nullptr;
    if (e->kind == EventKind::kSequenceStart) {
      Value::Array items;
      SPEC_TRY(for_each_element(d, child_depth, 0, [&](Direct& element) -> ReadStatus {
        Value v;
        SPEC_TRY(read(element, v));
        items.push_back(std::move(v));
        return ReadStatus();
      }));
      SPEC_TRY(d.next(end));
      out = Value(std::move(items));
      return ReadStatus();
    }
    Value::Object object;
    bool first = true;
    SPEC_TRY(for_each_entry(d, child_depth, [&](Direct& key_reader, const Event& key_event) -> ReadStatus {
      std::string key;
      SPEC_TRY(read_text(key_reader, key, first ? "a string key" : "a string"));
      first = false;
      Direct value_reader = d.value(key_event, child_depth);
      Value v;
      SPEC_TRY(read(value_reader, v));
      object.insert_or_assign(std::move(key), std::move(v));
      return ReadStatus();
    }));
    SPEC_TRY(d.next(end));
    out = Value(std::move(object));
    return ReadStatus();
  }();
  return fix(std::move(s), mark, d.path());
}

// ---- Taking buffered nodes ------------------------------------------------------------------

namespace {

// Types a scalar event into a buffered node.
ReadStatus scalar_node(const Event& e, Node& out) {
  TypedScalar t;
  SPEC_TRY(type_scalar(e, t));
  switch (t.value.kind) {
    case PlainScalar::Kind::kNull: out.kind = Node::Kind::kNull; break;
    case PlainScalar::Kind::kBool:
      out.kind = Node::Kind::kBool;
      out.boolean = t.value.boolean;
      break;
    case PlainScalar::Kind::kUInt:
      out.kind = Node::Kind::kUInt;
      out.uint = t.value.uint;
      break;
    case PlainScalar::Kind::kInt:
      out.kind = Node::Kind::kInt;
      out.sint = t.value.sint;
      break;
    case PlainScalar::Kind::kBigUInt:
    case PlainScalar::Kind::kBigInt:
      return ReadStatus::fail(invalid_type(found_text(t), "any value"));
    case PlainScalar::Kind::kFloat:
      out.kind = Node::Kind::kFloat;
      out.number = t.value.number;
      break;
    case PlainScalar::Kind::kString:
      out.kind = Node::Kind::kString;
      out.text = std::string(t.text);
      break;
  }
  return ReadStatus();
}

// Takes the elements of a sequence, from position `first` on, as the items of `out`; the
// sequence's end event is left in place.
ReadStatus take_elements(Direct& d, int child_depth, size_t first, Node& out) {
  out.kind = Node::Kind::kSeq;
  return for_each_element(d, child_depth, first, [&](Direct& element) -> ReadStatus {
    out.items.emplace_back();
    return take(element, out.items.back());
  });
}

// The body of take() for a collection whose start event `e` has been consumed.
ReadStatus take_collection(Direct& d, const Event& e, int child_depth, Node& out) {
  if (e.kind == EventKind::kSequenceStart) {
    SPEC_TRY(take_elements(d, child_depth, 0, out));
  } else {
    out.kind = Node::Kind::kMap;
    SPEC_TRY(for_each_entry(d, child_depth, [&](Direct& key_reader, const Event& key_event) -> ReadStatus {
      NodeEntry entry;
      SPEC_TRY(take(key_reader, entry.key));
      Direct value_reader = d.value(key_event, child_depth);
      SPEC_TRY(take(value_reader, entry.value));
      out.entries.push_back(std::move(entry));
      return ReadStatus();
    }));
  }
  const Event* end = nullptr;
  return d.next(end);
}

}  // namespace

ReadStatus take(Direct& d, Node& out) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return take(j, out); });
  const Mark mark = e->mark;
  out = Node{};
  if (e->kind == EventKind::kVoid) return ReadStatus();
  if (is_local_tag(e->tag)) return fix(ReadStatus::fail(std::string(kEnumInput)), mark, d.path());
  if (e->kind == EventKind::kScalar) return fix(scalar_node(*e, out), mark, d.path());
  int child_depth = 0;
  SPEC_TRY(d.nest(mark, child_depth));
  return fix(take_collection(d, *e, child_depth, out), mark, d.path());
}

ReadStatus take_tagged(Direct& d, std::span<const std::string_view> names, std::string_view expecting,
                   size_t& variant, Node& content) {
  const Event* e = nullptr;
  SPEC_TRY(d.next(e));
  SPEC_FOLLOW_ALIAS(d, e, [&](Direct& j) { return take_tagged(j, names, expecting, variant, content); });
  const Mark mark = e->mark;
  if (e->kind == EventKind::kVoid) return unexpected_node(d, *e, expecting);
  if (is_local_tag(e->tag)) return fix(ReadStatus::fail(invalid_type("enum", expecting)), mark, d.path());
  if (e->kind == EventKind::kScalar) return unexpected_node(d, *e, expecting);
  int child_depth = 0;
  SPEC_TRY(d.nest(mark, child_depth));
  content = Node{};
  ReadStatus s = [&]() -> ReadStatus {
    if (e->kind == EventKind::kSequenceStart) {
      const Event* first = nullptr;
      SPEC_TRY(d.peek(first));
      if (first->kind == EventKind::kSequenceEnd) return ReadStatus::fail(missing_field("type"));
      Direct tag_reader = d.element(0, child_depth);
      SPEC_TRY(read_variant_name(tag_reader, names, "variant identifier", variant));
      SPEC_TRY(take_elements(d, child_depth, 1, content));
    } else {
      content.kind = Node::Kind::kMap;
      bool have_tag = false;
      SPEC_TRY(for_each_entry(d, child_depth, [&](Direct& key_reader, const Event& key_event) -> ReadStatus {
        NodeEntry entry;
        SPEC_TRY(take(key_reader, entry.key));
        Direct value_reader = d.value(key_event, child_depth);
        if (entry.key.kind == Node::Kind::kString && entry.key.text == "type") {
          if (have_tag) return ReadStatus::fail(duplicate_field("type"));
          have_tag = true;
          return read_variant_name(value_reader, names, "variant identifier", variant);
        }
        SPEC_TRY(take(value_reader, entry.value));
        content.entries.push_back(std::move(entry));
        return ReadStatus();
      }));
      if (!have_tag) return ReadStatus::fail(missing_field("type"));
    }
    const Event* end = nullptr;
    return d.next(end);
  }();
  return fix(std::move(s), mark, d.path());
}

// ---- Interpreting buffered nodes ------------------------------------------------------------

ReadStatus decode(const Node& n, std::string& out) {
  if (n.kind != Node::Kind::kString) return ReadStatus::fail(invalid_type(found_text(n), "a string"));
  out = n.text;
  return ReadStatus();
}

ReadStatus decode(const Node& n, bool& out) {
  if (n.kind != Node::Kind::kBool) return ReadStatus::fail(invalid_type(found_text(n), "a boolean"));
  out = n.boolean;
  return ReadStatus();
}

namespace {

ReadStatus decode_unsigned(const Node& n, uint64_t& out, uint64_t max, std::string_view expecting) {
  if (n.kind == Node::Kind::kUInt) {
    if (n.uint > max) return ReadStatus::fail(invalid_value(found_unsigned(n.uint), expecting));
    out = n.uint;
    return ReadStatus();
  }
  if (n.kind == Node::Kind::kInt) return ReadStatus::fail(invalid_value(found_signed(n.sint), expecting));
  return ReadStatus::fail(invalid_type(found_text(n), expecting));
}

}  // namespace

ReadStatus decode(const Node& n, uint8_t& out) {
  uint64_t v = 0;
  SPEC_TRY(decode_unsigned(n, v, 255, "u8"));
  out = static_cast<uint8_t>(v);
  return ReadStatus();
}

ReadStatus decode(const Node& n, uint32_t& out) {
  uint64_t v = 0;
  SPEC_TRY(decode_unsigned(n, v, 4294967295u, "u32"));
  out = static_cast<uint32_t>(v);
  return ReadStatus();
}

ReadStatus decode(const Node& n, uint64_t& out) { return decode_unsigned(n, out, UINT64_MAX, "u64"); }

ReadStatus decode(const Node& n, double& out) {
  switch (n.kind) {
    case Node::Kind::kUInt: out = static_cast<double>(n.uint); return ReadStatus();
    case Node::Kind::kInt: out = static_cast<double>(n.sint); return ReadStatus();
    case Node::Kind::kFloat: out = n.number; return ReadStatus();
    default: return ReadStatus::fail(invalid_type(found_text(n), "f64"));
  }
}

ReadStatus decode(const Node& n, Value& out) {
  switch (n.kind) {
    case Node::Kind::kNull: out = Value(); return ReadStatus();
    case Node::Kind::kBool: out = Value(n.boolean); return ReadStatus();
    case Node::Kind::kUInt: out = Value(n.uint); return ReadStatus();
    case Node::Kind::kInt: out = Value(n.sint); return ReadStatus();
    case Node::Kind::kFloat: out = std::isfinite(n.number) ? Value(n.number) : Value(); return ReadStatus();
    case Node::Kind::kString: out = Value(n.text); return ReadStatus();
    case Node::Kind::kSeq: {
      Value::Array items;
      items.reserve(n.items.size());
      for (const Node& item : n.items) {
        Value v;
        SPEC_TRY(decode(item, v));
        items.push_back(std::move(v));
      }
      out = Value(std::move(items));
      return ReadStatus();
    }
    case Node::Kind::kMap: {
      Value::Object object;
      bool first = true;
      for (const NodeEntry& entry : n.entries) {
        if (entry.key.kind != Node::Kind::kString) {
          return ReadStatus::fail(invalid_type(found_text(entry.key), first ? "a string key" : "a string"));
        }
        first = false;
        Value v;
        SPEC_TRY(decode(entry.value, v));
        object.insert_or_assign(entry.key.text, std::move(v));
      }
      out = Value(std::move(object));
      return ReadStatus();
    }
  }
  return ReadStatus();
}

namespace {

// A variant named by a buffered text, or selected by an unsigned integer position.
ReadStatus decode_variant_identifier(const Node& n, std::span<const std::string_view> names,
                                 size_t& index) {
  if (n.kind == Node::Kind::kString) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == n.text) {
        index = i;
        return ReadStatus();
      }
    }
    return ReadStatus::fail(unknown_variant(n.text, names));
  }
  if (n.kind == Node::Kind::kUInt) {
    if (n.uint < names.size()) {
      index = static_cast<size_t>(n.uint);
      return ReadStatus();
    }
    return ReadStatus::fail(invalid_value(found_unsigned(n.uint),
                                      "variant index 0 <= i < " + std::to_string(names.size())));
  }
  return ReadStatus::fail(invalid_type(found_text(n), "variant identifier"));
}

}  // namespace

ReadStatus decode_enum_index(const Node& n, std::span<const std::string_view> names, size_t& index) {
  if (n.kind == Node::Kind::kString) return decode_variant_identifier(n, names, index);
  if (n.kind == Node::Kind::kMap) {
    if (n.entries.size() != 1) return ReadStatus::fail(invalid_value("map", "map with a single key"));
    SPEC_TRY(decode_variant_identifier(n.entries[0].key, names, index));
    const Node& value = n.entries[0].value;
    if (value.kind != Node::Kind::kNull) return ReadStatus::fail(invalid_type(found_text(value), "unit"));
    return ReadStatus();
  }
  return ReadStatus::fail(invalid_type(found_text(n), "string or map"));
}

ReadStatus untag(const Node& n, std::span<const std::string_view> names, std::string_view expecting,
             size_t& variant, Node& content) {
  content = Node{};
  if (n.kind == Node::Kind::kSeq) {
    if (n.items.empty()) return ReadStatus::fail(missing_field("type"));
    SPEC_TRY(decode_variant_identifier(n.items[0], names, variant));
    content.kind = Node::Kind::kSeq;
    content.items.assign(n.items.begin() + 1, n.items.end());
    return ReadStatus();
  }
  if (n.kind == Node::Kind::kMap) {
    content.kind = Node::Kind::kMap;
    bool have_tag = false;
    for (const NodeEntry& entry : n.entries) {
      if (entry.key.kind == Node::Kind::kString && entry.key.text == "type") {
        if (have_tag) return ReadStatus::fail(duplicate_field("type"));
        have_tag = true;
        SPEC_TRY(decode_variant_identifier(entry.value, names, variant));
        continue;
      }
      content.entries.push_back(entry);
    }
    if (!have_tag) return ReadStatus::fail(missing_field("type"));
    return ReadStatus();
  }
  return ReadStatus::fail(invalid_type(found_text(n), expecting));
}

ReadStatus buffered_key_index(const Node& key, std::span<const std::string_view> names,
                          std::span<const std::string_view> aliases, size_t& index) {
  index = names.size();
  if (key.kind == Node::Kind::kString) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == key.text || (!aliases[i].empty() && aliases[i] == key.text)) {
        index = i;
        break;
      }
    }
    return ReadStatus();
  }
  if (key.kind == Node::Kind::kUInt) {
    if (key.uint < names.size()) index = static_cast<size_t>(key.uint);
    return ReadStatus();
  }
  return ReadStatus::fail(invalid_type(found_text(key), "field identifier"));
}

}  // namespace osmira_common::spec::detail
