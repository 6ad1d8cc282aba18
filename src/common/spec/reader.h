// The machinery of the spec reader, shared by the section tables in spec_reader.cc.
//
// Two ways of reading a node:
//  - directly, from the YAML event list (`Direct`): any scalar is a text, an empty plain
//    scalar is an empty list or record, tags are mostly ignored;
//  - buffered: some nodes (rules, exclusions, "sources", "decision.scoring") are first taken
//    whole into a `Node` tree with typed scalars and then interpreted (`decode`), because their
//    shape decides how they are read. Texts must then be typed as text, integer keys select
//    record keys by position, and records may be written as sequences.
//
// Failures travel as `ReadStatus`. A plain failure ("missing field `x`") is created without a
// position; the first directly read node it passes on its way out gives it that node's path
// and position (`fix`). So a failure inside a buffered node ends up with the path and
// position of the nearest enclosing node that was read directly. Paths are linked lists of
// `Path` on the stack and are only formatted when a failure is fixed.
//
// Nesting is limited to 128 collections for everything that is read or buffered; every
// recursive function here descends one collection per call, so the stack stays bounded.
// Values of unrecognised keys are skipped by counting events, without recursion or limit.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/value.h"
#include "base/yaml_events.h"
#include "base/yaml_scalar.h"
#include "common/enum_table.h"

namespace osmira_common::spec::detail {

using osmira_base::yaml::Event;
using osmira_base::yaml::EventKind;
using osmira_base::yaml::Mark;

// ---- Failures -------------------------------------------------------------------------------

// What went wrong, before it is placed: the message body, and the kind of failure with its
// offending text (see osmira_base::ErrorKind). A plain text is a failure of no finer kind.
struct Problem {
  Problem(std::string text) : body(std::move(text)) {}  // NOLINT(implicit)
  Problem(const char* text) : body(text) {}             // NOLINT(implicit)
  Problem(std::string text, osmira_base::ErrorKind k, std::string offending, std::string about)
      : body(std::move(text)), kind(k), subject(std::move(offending)), detail(std::move(about)) {}

  std::string body;
  osmira_base::ErrorKind kind = osmira_base::ErrorKind::kOther;
  std::string subject;
  std::string detail;
};

struct ReadFailure {
  Problem problem = Problem(std::string());
  // A plain failure takes the path and position of the first directly read node it leaves;
  // limits and parser errors carry their own position (or none) and no path.
  bool fixable = true;
  bool fixed = false;
  bool verbatim = false;  // `problem.body` is the complete message (parser errors)
  std::string path;       // formatted once fixed; "." is the root
  std::optional<Mark> mark;
};

// The outcome of one reading step: nothing on success (a null pointer, cheap to pass on), or
// the failure. Kept apart from osmira_base::Status because a failure is still placed (given
// its path and position) on its way out; read_identity_spec turns it into an Error.
class [[nodiscard]] ReadStatus {
 public:
  ReadStatus() = default;
  static ReadStatus fail(Problem problem);
  static ReadStatus fail_with(ReadFailure failure);

  bool ok() const { return failure_ == nullptr; }
  const ReadFailure& failure() const { return *failure_; }
  ReadFailure& failure() { return *failure_; }

 private:
  std::unique_ptr<ReadFailure> failure_;
};

#define SPEC_TRY(expr)                                               \
  do {                                                               \
    ::osmira_common::spec::detail::ReadStatus spec_status_ = (expr); \
    if (!spec_status_.ok()) return spec_status_;                     \
  } while (0)

// The message bodies of the reading rules.
Problem missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
Problem invalid_type(std::string_view found, std::string_view expecting);
// "unknown variant `<text>`, expected <names>".
Problem unknown_variant(std::string_view text, std::span<const std::string_view> names);
std::string invalid_value(std::string_view found, std::string_view expecting);
std::string invalid_length(size_t n, std::string_view expecting);
// "<k> elements in sequence" ("1 element in sequence").
std::string elements_in_sequence(size_t k);

// Found texts.
std::string found_unsigned(uint64_t n);
std::string found_signed(int64_t n);
std::string found_float(double x);
std::string found_string(std::string_view text);

// ---- Paths ----------------------------------------------------------------------------------

struct Path {
  enum class Kind : uint8_t { kRoot, kSeq, kMap, kAlias, kUnknown };
  Kind kind = Kind::kRoot;
  const Path* parent = nullptr;
  std::string_view key;  // kMap
  size_t index = 0;      // kSeq
};

// "." for the root, "a.b[2].c" below it.
std::string format_path(const Path& path);

// Gives an unfixed plain failure the path and position of the node being left.
ReadStatus fix(ReadStatus status, const Mark& mark, const Path& path);

// ---- Typed scalars --------------------------------------------------------------------------

// A scalar as typed by the plain-scalar classification, or a text.
struct TypedScalar {
  osmira_base::yaml::PlainScalar value;
  std::string_view text;
};

// Types the scalar event: plain untagged scalars (and plain scalars with a local tag) by the
// classification, quoted ones as text; the standard tags !!bool, !!int, !!float, !!null force
// their type and fail with "invalid value" when the text is no such value.
ReadStatus type_scalar(const Event& event, TypedScalar& out);
std::string found_text(const TypedScalar& scalar);

bool is_local_tag(std::string_view tag);
// The variant name a local tag selects: the tag without its "!" ("!" alone stays "!").
std::string_view local_tag_name(std::string_view tag);

// ---- The buffered node ----------------------------------------------------------------------

struct NodeEntry;

struct Node {
  enum class Kind : uint8_t { kNull, kBool, kUInt, kInt, kFloat, kString, kSeq, kMap };
  Kind kind = Kind::kNull;
  bool boolean = false;
  uint64_t uint = 0;
  int64_t sint = 0;
  double number = 0.0;
  std::string text;
  std::vector<Node> items;
  std::vector<NodeEntry> entries;
};

struct NodeEntry {
  Node key;
  Node value;
};

std::string found_text(const Node& node);

// ---- Reading from the event list ------------------------------------------------------------

struct ReadState {
  const osmira_base::yaml::Document* document = nullptr;
  uint64_t alias_jumps = 0;
  // Events read again through aliases. Counting them as well as the jumps bounds the work
  // of a document that aliases a large node many times.
  uint64_t expanded_events = 0;
  uint64_t repetition_limit = 0;  // 100 x events of the document
};

inline constexpr int kMaxDepth = 128;

// A cursor at one node of the document: where reading goes on, the node's path, and how
// many more levels of nesting are allowed. Children are made on the stack of the function
// reading the parent and point at its path.
class Direct {
 public:
  Direct(ReadState* state, size_t* pos, Path path, int depth, bool through_alias)
      : state_(state), pos_(pos), path_(path), depth_(depth), through_alias_(through_alias) {}

  const Path& path() const { return path_; }
  int depth() const { return depth_; }

  // The next event, or the document's error (or end of input) when there is none.
  ReadStatus peek(const Event*& event) const;
  ReadStatus next(const Event*& event);
  // Consumes events up to the end of the node that starts at the next event, following no
  // alias and without recursion.
  ReadStatus skip();

  // Enters a collection that starts at `mark`: fails with "recursion limit exceeded" when
  // the nesting limit is reached, else gives the depth of its children.
  ReadStatus nest(const Mark& mark, int& child_depth) const;

  Direct element(size_t index, int child_depth) const;
  // The reader of a mapping value: its path ends in the key's text when the key event is a
  // scalar, in "?" otherwise.
  Direct value(const Event& key_event, int child_depth) const;
  // The reader of a mapping key: the mapping's own path.
  Direct key(int child_depth) const;
  // The reader of the node an alias stands for; `target` must outlive it.
  ReadStatus jump(const Event& alias, size_t& target, std::optional<Direct>& out);

 private:
  ReadState* state_;
  size_t* pos_;
  Path path_;
  int depth_;
  bool through_alias_;
};

// Reads through an alias: when the event `e` just taken from `d` is one, `read_again` is
// called with the reader of the anchored node and its status returned.
#define SPEC_FOLLOW_ALIAS(d, e, read_again)     \
  if ((e)->kind == EventKind::kAlias) {         \
    size_t target_ = 0;                         \
    std::optional<Direct> jumped_;              \
    SPEC_TRY((d).jump(*(e), target_, jumped_)); \
    return read_again(*jumped_);                \
  }

// The same for a reader that looks before it takes: `e` is set to the next event, which is
// taken and followed when it is an alias and otherwise left in place.
#define SPEC_PEEK_FOLLOWING_ALIAS(d, e, read_again) \
  SPEC_TRY((d).peek(e));                            \
  if ((e)->kind == EventKind::kAlias) {             \
    SPEC_TRY((d).next(e));                          \
    SPEC_FOLLOW_ALIAS(d, e, read_again)             \
  }

// Walks the elements of a sequence whose start event has been taken, from position `first`
// up to its end event, which is left for the caller to take: `element(Direct&)` reads each.
template <typename F>
ReadStatus for_each_element(Direct& d, int child_depth, size_t first, F&& element) {
  for (size_t i = first;; ++i) {
    const Event* item = nullptr;
    SPEC_TRY(d.peek(item));
    if (item->kind == EventKind::kSequenceEnd) return ReadStatus();
    Direct reader = d.element(i, child_depth);
    SPEC_TRY(element(reader));
  }
}

// Walks the entries of a mapping whose start event has been taken, up to its end event,
// which is left for the caller to take: `entry(Direct& key_reader, const Event& key_event)`
// reads each key and then its value, through `d.value(key_event, child_depth)`.
template <typename F>
ReadStatus for_each_entry(Direct& d, int child_depth, F&& entry) {
  while (true) {
    const Event* key_event = nullptr;
    SPEC_TRY(d.peek(key_event));
    if (key_event->kind == EventKind::kMappingEnd) return ReadStatus();
    Direct key_reader = d.key(child_depth);
    SPEC_TRY(entry(key_reader, *key_event));
  }
}

// Primitive direct readers. Each reads one node (following an alias) and fixes its own
// failures at that node.
ReadStatus read_text(Direct& d, std::string& out, std::string_view expecting);
ReadStatus read(Direct& d, std::string& out);
ReadStatus read(Direct& d, bool& out);
ReadStatus read(Direct& d, uint8_t& out);
ReadStatus read(Direct& d, uint32_t& out);
ReadStatus read(Direct& d, uint64_t& out);
ReadStatus read(Direct& d, double& out);
// Any value as a document tree (a condition's "value").
ReadStatus read(Direct& d, osmira_base::Value& out);

// A scalar naming one of `names`; `expecting` names what a mapping or sequence was not.
ReadStatus read_variant_name(Direct& d, std::span<const std::string_view> names,
                         std::string_view expecting, size_t& index);
// An enumeration value read directly: a scalar naming the variant, or a node whose local tag
// names it and whose own value is empty.
ReadStatus read_enum_index(Direct& d, std::span<const std::string_view> names, size_t& index);

// Optional values: none for a missing node, an empty or null-like plain scalar; otherwise
// `present` is set and the caller reads the value from `d` (or from the returned alias
// target through `read_some`).
template <typename F>
ReadStatus read_optional(Direct& d, bool& present, F&& read_some);
ReadStatus option_is_none(Direct& d, bool& none, size_t& alias_target, bool& is_alias);

// "invalid type: <found>, expected <expecting>" for `event`, at its position.
ReadStatus unexpected_node(const Direct& d, const Event& event, std::string_view expecting);

// Whether the next node is an empty plain scalar (or a missing root), read as an empty list
// or record; consumes it when so.
bool take_empty(Direct& d, const Event& event);

// Takes the next node whole as a buffered tree.
ReadStatus take(Direct& d, Node& out);

// Takes a union entry keyed by "type": a mapping whose "type" value names the variant, or a
// sequence whose first element does. `content` receives the remaining entries (a mapping) or
// elements (a sequence).
ReadStatus take_tagged(Direct& d, std::span<const std::string_view> names, std::string_view expecting,
                   size_t& variant, Node& content);

// ---- Interpreting buffered nodes ------------------------------------------------------------

ReadStatus decode(const Node& n, std::string& out);
ReadStatus decode(const Node& n, bool& out);
ReadStatus decode(const Node& n, uint8_t& out);
ReadStatus decode(const Node& n, uint32_t& out);
ReadStatus decode(const Node& n, uint64_t& out);
ReadStatus decode(const Node& n, double& out);
ReadStatus decode(const Node& n, osmira_base::Value& out);
ReadStatus decode_enum_index(const Node& n, std::span<const std::string_view> names, size_t& index);
// The union entry of a buffered node (see take_tagged).
ReadStatus untag(const Node& n, std::span<const std::string_view> names, std::string_view expecting,
             size_t& variant, Node& content);

// ---- Record tables --------------------------------------------------------------------------

enum class Need : uint8_t {
  kRequired,  // "missing field" when absent
  kDefault,   // keeps the record's initial value (a stated default, an empty list, false)
  kOptional,  // none when absent
};

// One key of a record: how it is matched and read. `seq_default` says whether the key may
// be left off the end of the sequence form (buffered records only).
template <typename T>
struct Field {
  std::string_view name;
  std::string_view alias;  // a second key that fills the same field; empty for none
  Need need;
  bool seq_default;
  ReadStatus (*direct)(Direct&, T&);
  ReadStatus (*buffered)(const Node&, T&);
};

// Specialised per record: `kExpecting` ("struct X"), `kShortSequence` ("struct X with k
// elements", empty when every key may be left off) and `fields()`.
template <typename T>
struct Record;

template <typename M>
struct MemberOf;
template <typename C, typename V>
struct MemberOf<V C::*> {
  using Class = C;
  using Value = V;
};
template <auto M>
using ClassOf = typename MemberOf<decltype(M)>::Class;

template <typename T>
ReadStatus read(Direct& d, std::optional<T>& out);
template <typename T>
ReadStatus read(Direct& d, std::vector<T>& out);
template <typename E>
  requires std::is_enum_v<E>
ReadStatus read(Direct& d, E& out);
template <typename T>
ReadStatus read(Direct& d, T& out);  // a record

template <typename T>
ReadStatus decode(const Node& n, std::optional<T>& out);
template <typename T>
ReadStatus decode(const Node& n, std::vector<T>& out);
template <typename V>
ReadStatus decode(const Node& n, std::map<std::string, V>& out);
template <typename E>
  requires std::is_enum_v<E>
ReadStatus decode(const Node& n, E& out);
template <typename T>
ReadStatus decode(const Node& n, T& out);  // a record

template <auto M>
ReadStatus read_member(Direct& d, ClassOf<M>& record) {
  return read(d, record.*M);
}
template <auto M>
ReadStatus decode_member(const Node& n, ClassOf<M>& record) {
  return decode(n, record.*M);
}

// A key of a record that is read directly.
template <auto M>
constexpr Field<ClassOf<M>> direct_field(std::string_view name, Need need) {
  return Field<ClassOf<M>>{name, {}, need, false, &read_member<M>, nullptr};
}
// A key of a record that is read inside buffered nodes.
template <auto M>
constexpr Field<ClassOf<M>> buffered_field(std::string_view name, Need need, bool seq_default) {
  return Field<ClassOf<M>>{name, {}, need, seq_default, nullptr, &decode_member<M>};
}

// Reads a record from a mapping by its table.
template <typename T>
ReadStatus read_record(Direct& d, T& out);
// Interprets a buffered mapping or sequence as a record by its table.
template <typename T>
ReadStatus decode_record(const Node& n, T& out);

// ---- Template definitions -------------------------------------------------------------------

template <typename F>
ReadStatus read_optional(Direct& d, bool& present, F&& read_some) {
  bool none = false;
  bool is_alias = false;
  size_t target = 0;
  SPEC_TRY(option_is_none(d, none, target, is_alias));
  if (is_alias) {
    const Event* alias = nullptr;
    SPEC_TRY(d.next(alias));
    SPEC_FOLLOW_ALIAS(d, alias, [&](Direct& j) { return read_optional(j, present, read_some); });
  }
  if (none) {
    present = false;
    return ReadStatus();
  }
  present = true;
  return read_some(d);
}

template <typename T>
ReadStatus read(Direct& d, std::optional<T>& out) {
  bool present = false;
  T value{};
  SPEC_TRY(read_optional(d, present, [&](Direct& at) { return read(at, value); }));
  if (present) {
    out = std::move(value);
  } else {
    out.reset();
  }
  return ReadStatus();
}

template <typename T>
ReadStatus read(Direct& d, std::vector<T>& out) {
  const Event* e = nullptr;
  SPEC_PEEK_FOLLOWING_ALIAS(d, e, [&](Direct& j) { return read(j, out); });
  const Mark mark = e->mark;
  if (take_empty(d, *e)) {
    out.clear();
    return ReadStatus();
  }
  if (e->kind != EventKind::kSequenceStart) return unexpected_node(d, *e, "a sequence");
  SPEC_TRY(d.next(e));
  int child_depth = 0;
  SPEC_TRY(d.nest(mark, child_depth));
  out.clear();
  // A failure that an element leaves unplaced (one found when a buffered element is
  // interpreted) takes the path and position of the list.
  SPEC_TRY(fix(for_each_element(d, child_depth, 0,
                                [&](Direct& element) -> ReadStatus {
                                  T value{};
                                  SPEC_TRY(read(element, value));
                                  out.push_back(std::move(value));
                                  return ReadStatus();
                                }),
               mark, d.path()));
  const Event* end = nullptr;
  return d.next(end);
}

template <typename E>
  requires std::is_enum_v<E>
ReadStatus read(Direct& d, E& out) {
  size_t index = 0;
  SPEC_TRY(read_enum_index(d, enum_names<E>(), index));
  out = static_cast<E>(index);
  return ReadStatus();
}

template <typename T>
ReadStatus read(Direct& d, T& out) {
  return read_record(d, out);
}

// Reads the entries of a record mapping read directly (the mapping's start is consumed);
// `seen` collects the keys met.
template <typename T>
ReadStatus read_record_entries(Direct& d, int child_depth, T& out, uint32_t& seen) {
  const auto fields = Record<T>::fields();
  SPEC_TRY(for_each_entry(d, child_depth, [&](Direct& key_reader, const Event& key_event) -> ReadStatus {
    std::string key;
    SPEC_TRY(read_text(key_reader, key, "field identifier"));
    size_t index = fields.size();
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name == key || (!fields[i].alias.empty() && fields[i].alias == key)) {
        index = i;
        break;
      }
    }
    if (index == fields.size()) return d.skip();
    if (seen & (1u << index)) return ReadStatus::fail(duplicate_field(fields[index].name));
    seen |= 1u << index;
    Direct value_reader = d.value(key_event, child_depth);
    return fields[index].direct(value_reader, out);
  }));
  const Event* end = nullptr;
  return d.next(end);
}

template <typename T>
ReadStatus check_required(uint32_t seen) {
  const auto fields = Record<T>::fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].need == Need::kRequired && !(seen & (1u << i))) {
      return ReadStatus::fail(missing_field(fields[i].name));
    }
  }
  return ReadStatus();
}

template <typename T>
ReadStatus read_record(Direct& d, T& out) {
  const Event* e = nullptr;
  SPEC_PEEK_FOLLOWING_ALIAS(d, e, [&](Direct& j) { return read_record(j, out); });
  const Mark mark = e->mark;
  out = T{};
  if (take_empty(d, *e)) return fix(check_required<T>(0), mark, d.path());
  if (e->kind != EventKind::kMappingStart) return unexpected_node(d, *e, Record<T>::kExpecting);
  SPEC_TRY(d.next(e));
  int child_depth = 0;
  SPEC_TRY(d.nest(mark, child_depth));
  uint32_t seen = 0;
  SPEC_TRY(fix(read_record_entries(d, child_depth, out, seen), mark, d.path()));
  return fix(check_required<T>(seen), mark, d.path());
}

template <typename T>
ReadStatus decode(const Node& n, std::optional<T>& out) {
  if (n.kind == Node::Kind::kNull) {
    out.reset();
    return ReadStatus();
  }
  T value{};
  SPEC_TRY(decode(n, value));
  out = std::move(value);
  return ReadStatus();
}

template <typename T>
ReadStatus decode(const Node& n, std::vector<T>& out) {
  if (n.kind != Node::Kind::kSeq) return ReadStatus::fail(invalid_type(found_text(n), "a sequence"));
  out.clear();
  out.reserve(n.items.size());
  for (const Node& item : n.items) {
    T value{};
    SPEC_TRY(decode(item, value));
    out.push_back(std::move(value));
  }
  return ReadStatus();
}

template <typename V>
ReadStatus decode(const Node& n, std::map<std::string, V>& out) {
  if (n.kind != Node::Kind::kMap) return ReadStatus::fail(invalid_type(found_text(n), "a map"));
  out.clear();
  for (const NodeEntry& entry : n.entries) {
    std::string key;
    SPEC_TRY(decode(entry.key, key));
    V value{};
    SPEC_TRY(decode(entry.value, value));
    out.insert_or_assign(std::move(key), std::move(value));
  }
  return ReadStatus();
}

template <typename E>
  requires std::is_enum_v<E>
ReadStatus decode(const Node& n, E& out) {
  size_t index = 0;
  SPEC_TRY(decode_enum_index(n, enum_names<E>(), index));
  out = static_cast<E>(index);
  return ReadStatus();
}

template <typename T>
ReadStatus decode(const Node& n, T& out) {
  return decode_record(n, out);
}

// Which key of the table a buffered key names: a text by name, an unsigned integer by
// position (beyond the last: none, the entry is skipped).
ReadStatus buffered_key_index(const Node& key, std::span<const std::string_view> names,
                          std::span<const std::string_view> aliases, size_t& index);

// Records have at most 32 keys (the `seen` masks are 32 bits wide); the largest has 14.
inline constexpr size_t kMaxRecordKeys = 32;

template <typename T>
ReadStatus decode_record(const Node& n, T& out) {
  const auto fields = Record<T>::fields();
  out = T{};
  if (n.kind == Node::Kind::kMap) {
    std::string_view names[kMaxRecordKeys];
    std::string_view aliases[kMaxRecordKeys];
    for (size_t i = 0; i < fields.size(); ++i) {
      names[i] = fields[i].name;
      aliases[i] = fields[i].alias;
    }
    uint32_t seen = 0;
    for (const NodeEntry& entry : n.entries) {
      size_t index = fields.size();
      SPEC_TRY(buffered_key_index(entry.key, std::span(names, fields.size()),
                                  std::span(aliases, fields.size()), index));
      if (index >= fields.size()) continue;
      if (seen & (1u << index)) return ReadStatus::fail(duplicate_field(fields[index].name));
      seen |= 1u << index;
      SPEC_TRY(fields[index].buffered(entry.value, out));
    }
    return check_required<T>(seen);
  }
  if (n.kind == Node::Kind::kSeq) {
    const size_t given = n.items.size();
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i < given) {
        SPEC_TRY(fields[i].buffered(n.items[i], out));
      } else if (!fields[i].seq_default) {
        return ReadStatus::fail(invalid_length(i, Record<T>::kShortSequence));
      }
    }
    if (given > fields.size()) {
      return ReadStatus::fail(invalid_length(given, elements_in_sequence(fields.size())));
    }
    return ReadStatus();
  }
  return ReadStatus::fail(invalid_type(found_text(n), Record<T>::kExpecting));
}

}  // namespace osmira_common::spec::detail
