// The records every stage of the engine passes around: the entity record callers hand in
// (read from JSON), one rule's result on a pair, the three-way verdict and the full verdict
// on a pair (written as document trees for the Python result).
//
// Entity records are read straight from the JSON text through the pull reader, with the
// reader's messages and positions; nothing of a partly read record is kept.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <type_traits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/json_reader.h"
#include "base/keyed_hash.h"
#include "base/result.h"
#include "base/time.h"
#include "base/uuid.h"
#include "base/value.h"

namespace osmira_core::engine::types {

using osmira_base::DateTime;
using osmira_base::Uuid;

// Hash for string-keyed maps that can be searched with a string_view without a copy. Keyed
// per process (base/keyed_hash.h): the names and texts in these maps come from records and
// specs, so a fixed function would let their authors fill one probe chain.
using StringHash = osmira_base::KeyedStringHash;

// Bytes that records point into. Written once, never moved: a view into an arena stays
// valid until the arena is destroyed, also across moves of the arena. One thread at a time.
class TextArena {
 public:
  TextArena() = default;
  TextArena(TextArena&&) noexcept = default;
  TextArena& operator=(TextArena&&) noexcept = default;

  // A copy of `text` in the arena.
  std::string_view copy(std::string_view text);
  // Room for `count` objects of a trivially destructible type, aligned for it, not
  // initialised.
  template <typename T>
  T* allocate(size_t count) {
    static_assert(std::is_trivially_destructible_v<T>);
    return static_cast<T*>(allocate_bytes(count * sizeof(T), alignof(T)));
  }
  // Bytes held by the arena's blocks.
  size_t reserved_bytes() const { return reserved_; }

 private:
  void* allocate_bytes(size_t size, size_t align);

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
  size_t reserved_ = 0;
};

// A record's text field: a view into the arena of the record list that holds the record, or
// a copy of its own when set by hand (assignment from any string copies). Reads as a
// std::string_view; compares byte-wise like std::string.
class RecordText {
 public:
  RecordText() = default;
  explicit RecordText(std::string_view text) { assign_copy(text); }
  // A view of `text`, which must outlive this value and every copy of it.
  static RecordText borrow(std::string_view text) {
    RecordText t;
    t.data_ = text.data();
    t.size_ = text.size();
    return t;
  }
  RecordText(const RecordText& other) { *this = other; }
  RecordText(RecordText&& other) noexcept { swap(other); }
  RecordText& operator=(const RecordText& other);
  RecordText& operator=(RecordText&& other) noexcept {
    RecordText(std::move(other)).swap(*this);
    return *this;
  }
  RecordText& operator=(std::string_view text) {
    RecordText(text).swap(*this);
    return *this;
  }
  ~RecordText() {
    if (owned_) delete[] data_;
  }

  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }  // NOLINT: reads as a string
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  friend bool operator==(const RecordText& a, std::string_view b) { return a.view() == b; }
  friend auto operator<=>(const RecordText& a, std::string_view b) { return a.view() <=> b; }
  friend bool operator==(const RecordText& a, const RecordText& b) { return a.view() == b.view(); }
  friend auto operator<=>(const RecordText& a, const RecordText& b) {
    return a.view() <=> b.view();
  }
  friend std::ostream& operator<<(std::ostream& os, const RecordText& t) { return os << t.view(); }

 private:
  void assign_copy(std::string_view text);
  void swap(RecordText& other) noexcept {
    std::swap(data_, other.data_);
    const size_t size = size_;
    const bool owned = owned_;
    size_ = other.size_;
    owned_ = other.owned_;
    other.size_ = size;
    other.owned_ = owned;
  }

  const char* data_ = "";
  size_t size_ : 63 = 0;
  size_t owned_ : 1 = false;  // data_ was allocated by this value
};

// An optional instant in the space of one: the nanosecond field holds a value no instant
// has when it is absent. Reads like std::optional<DateTime>.
class OptionalInstant {
 public:
  constexpr OptionalInstant() = default;
  constexpr OptionalInstant(std::nullopt_t) {}  // NOLINT: like std::optional
  constexpr OptionalInstant(const DateTime& t) : value_(t) {}  // NOLINT: like std::optional
  constexpr OptionalInstant(const std::optional<DateTime>& t) {  // NOLINT: like std::optional
    if (t) value_ = *t;
  }

  constexpr bool has_value() const { return value_.nanos != kAbsent; }
  constexpr explicit operator bool() const { return has_value(); }
  constexpr const DateTime& operator*() const { return value_; }
  constexpr const DateTime* operator->() const { return &value_; }
  constexpr DateTime value_or(const DateTime& other) const {
    return has_value() ? value_ : other;
  }
  constexpr void reset() { value_ = {0, kAbsent}; }
  constexpr std::optional<DateTime> to_optional() const {
    return has_value() ? std::optional<DateTime>(value_) : std::nullopt;
  }
  friend constexpr bool operator==(const OptionalInstant&, const OptionalInstant&) = default;

 private:
  static constexpr uint32_t kAbsent = 0xFFFFFFFFu;  // above every valid nanosecond count
  DateTime value_{0, kAbsent};
};

// Field name -> field value, both as views. Unordered: nothing that leaves the engine may
// depend on the iteration order (it is the order in which names first appeared). Records read
// from JSON point into their record list's arena, where each distinct field name is stored
// once and every field refers to it; records built by hand (`insert_or_assign`, `emplace`)
// hold copies of their own, which copying the record copies too.
// `find(std::string_view)` compares names byte-wise over the record's few fields.
//
// A field reads as a `Field`: `first` the name, `second` a reference to the record's stored
// view of the value (valid, and at a fixed address, as long as the record is unchanged), so
// that `for (const auto& [name, value] : data)` and `it->second` read as with a map.
class EntityData {
 public:
  // How a field is stored: 24 bytes, the name shared by the fields of that name.
  struct Entry {
    const std::string_view* name;
    std::string_view value;
  };
  struct Field {
    std::string_view first;
    const std::string_view& second;
  };
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Field;
    using difference_type = std::ptrdiff_t;
    using reference = Field;
    // `it->first`, `it->second` read through a proxy holding the field.
    struct pointer {
      Field field;
      const Field* operator->() const { return &field; }
    };

    const_iterator() = default;
    explicit const_iterator(const Entry* entry) : entry_(entry) {}
    Field operator*() const { return Field{*entry_->name, entry_->value}; }
    pointer operator->() const { return pointer{**this}; }
    const_iterator& operator++() {
      ++entry_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++entry_;
      return before;
    }
    friend bool operator==(const const_iterator&, const const_iterator&) = default;

   private:
    const Entry* entry_ = nullptr;
  };
  using iterator = const_iterator;
  using value_type = Field;

  EntityData() = default;
  // A view of `count` entries that live elsewhere (in a record list's arena), with the names
  // they point to.
  static EntityData borrow(const Entry* entries, uint32_t count) {
    EntityData d;
    d.entries_ = entries;
    d.size_ = count;
    return d;
  }
  EntityData(const EntityData& other);
  // A moved-from value is empty.
  EntityData(EntityData&& other) noexcept
      : entries_(std::exchange(other.entries_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        owned_(std::move(other.owned_)) {}
  EntityData& operator=(const EntityData& other);
  EntityData& operator=(EntityData&& other) noexcept {
    entries_ = std::exchange(other.entries_, nullptr);
    size_ = std::exchange(other.size_, 0);
    owned_ = std::move(other.owned_);
    return *this;
  }
  ~EntityData();

  const_iterator begin() const { return const_iterator(entries_); }
  const_iterator end() const { return const_iterator(entries_ + size_); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const_iterator find(std::string_view name) const {
    for (const Entry* e = entries_, *last = entries_ + size_; e != last; ++e) {
      if (e->name->size() == name.size() && *e->name == name) return const_iterator(e);
    }
    return end();
  }
  bool contains(std::string_view name) const { return find(name) != end(); }

  // Hand-built records: sets (or replaces) a field, copying both texts.
  void insert_or_assign(std::string_view name, std::string_view value);
  // Adds a field unless it is present; true when added.
  bool emplace(std::string_view name, std::string_view value);

 private:
  // The texts of a hand-built record's fields; `entries` views them through `names`.
  struct Owned {
    std::vector<std::pair<std::string, std::string>> texts;
    std::vector<std::string_view> names;
    std::vector<Entry> entries;
  };
  void make_owned();
  void rebind();

  const Entry* entries_ = nullptr;
  uint32_t size_ = 0;
  std::unique_ptr<Owned> owned_;
};

// One entity record. The engine never changes one; stages that need their own copy copy
// the whole record (a copy of a record read from JSON still points into its record list).
struct NormalizedEntity {
  Uuid id;
  Uuid tenant_id;
  RecordText external_id;  // the record's key in its source system
  RecordText entity_type;  // carried, not interpreted
  EntityData data;
  RecordText source_name;
  OptionalInstant valid_from;
  OptionalInstant valid_to;
  DateTime last_updated;
};

// A list of records with the arenas that their texts live in. Records read from JSON are
// valid while the list lives (moving the list keeps them valid), and, when read with
// TextUse::kBorrow, while the JSON text lives too; hand-built records may be added too.
// Reads as a contiguous range of records (converts to std::span<const NormalizedEntity>).
class RecordSet {
 public:
  RecordSet() = default;
  RecordSet(RecordSet&&) noexcept = default;
  RecordSet& operator=(RecordSet&&) noexcept = default;
  RecordSet(const RecordSet&) = delete;
  RecordSet& operator=(const RecordSet&) = delete;

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  const NormalizedEntity& operator[](size_t i) const { return records_[i]; }
  const NormalizedEntity* data() const { return records_.data(); }
  std::vector<NormalizedEntity>::const_iterator begin() const { return records_.begin(); }
  std::vector<NormalizedEntity>::const_iterator end() const { return records_.end(); }
  const std::vector<NormalizedEntity>& records() const { return records_; }

  void reserve(size_t n) { records_.reserve(n); }
  void push_back(NormalizedEntity record) { records_.push_back(std::move(record)); }
  // Moves the records of `other` behind these, with the arenas they point into.
  void append(RecordSet&& other);

  // For readers: the arena that new records' texts go to, and the records themselves.
  TextArena& arena();
  void adopt(TextArena&& arena) { arenas_.push_back(std::move(arena)); }
  std::vector<NormalizedEntity>& mutable_records() { return records_; }
  // Bytes held by the arenas.
  size_t arena_bytes() const;

 private:
  std::vector<TextArena> arenas_;
  std::vector<NormalizedEntity> records_;
};

// (smaller, larger) of two identifiers: the key of an unordered pair.
inline std::pair<Uuid, Uuid> ordered_pair(const Uuid& a, const Uuid& b) {
  return b < a ? std::pair(b, a) : std::pair(a, b);
}

// One rule's outcome on one pair.
struct RuleResult {
  std::string rule_name;
  std::string explanation;
  double score = 0.0;   // similarity in [0, 1] as the rule computes it
  double weight = 0.0;  // the rule's weight, 0.0 when the rule reports missing data
  bool matched = false;
};

enum class Decision { kMerge, kReview, kNoMerge };

// "merge", "review", "no_merge": the text of every written decision.
std::string_view decision_json_text(Decision decision);
// "Merge", "Review", "NoMerge".
std::string_view decision_display_name(Decision decision);
// The display name lower-cased ("merge", "review", "nomerge"): the telemetry's count keys.
std::string_view decision_telemetry_key(Decision decision);

// The verdict on one pair.
struct MatchDecision {
  Uuid entity_a_id;
  Uuid entity_b_id;
  Decision decision = Decision::kNoMerge;
  double confidence = 0.0;
  std::optional<double> posterior_probability;
  std::vector<RuleResult> rule_results;  // one per rule, in rule order
  std::vector<std::string> matched_on;   // matched rule names, or one reason token
  std::optional<std::string> blocking_key;
  std::optional<double> temporal_adjustment;
};

// Document-tree forms. Floats that are not finite become null. A MatchDecision leaves
// `posterior_probability` out when it has none and writes an absent `blocking_key` or
// `temporal_adjustment` as null.
osmira_base::Value to_json(Decision decision);
osmira_base::Value to_json(const RuleResult& result);
osmira_base::Value to_json(const MatchDecision& decision);

// Reads the entity record that stands next into `out`: an object with the nine field names
// as keys (other keys skipped; `valid_from` and `valid_to` optional, null meaning absent), or
// an array of the nine values in declaration order. Its texts are copied into `out`'s arena.
[[nodiscard]] osmira_base::Status read_entity(osmira_base::json::Reader& reader, RecordSet& out);

// Where the texts of records read from a JSON text live. kCopy: in the record list's arenas.
// kBorrow: a value written without escapes stays a view into the JSON text itself, which the
// caller keeps unchanged for as long as the records are used (about half the records' bytes
// for ordinary data); the others are copied as with kCopy.
enum class TextUse { kCopy, kBorrow };

// Reads a whole JSON text holding an array of entity records; only white space may follow.
// The error is the reader's message with its " at line L column C" suffix. Large texts are
// read on the worker pool (see below); the records and the message are those of the
// sequential reading whatever the number of workers.
[[nodiscard]] osmira_base::Result<RecordSet> read_entities_json(std::string_view text,
                                                                TextUse use = TextUse::kCopy);

namespace detail {
// The sequential reading, front to back with one reader: the reference for the parallel one.
[[nodiscard]] osmira_base::Result<RecordSet> read_entities_json_sequential(
    std::string_view text, TextUse use = TextUse::kCopy);
// The parallel reading: a structural scan finds the array's elements, which are read in
// groups of about `group_bytes` bytes of text on the worker pool, in input order. Any
// failure (of the scan or of an element) re-reads the text sequentially for its message.
[[nodiscard]] osmira_base::Result<RecordSet> read_entities_json_parallel(
    std::string_view text, size_t group_bytes, TextUse use = TextUse::kCopy);
// The number of top-level elements the parallel reading's structural scan finds, or
// nothing when it finds the text not laid out as an array; for tests and benchmarks.
std::optional<size_t> count_entity_elements(std::string_view text);
}  // namespace detail

}  // namespace osmira_core::engine::types
