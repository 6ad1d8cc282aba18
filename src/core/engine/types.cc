#include "core/engine/types.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>

namespace osmira_core::engine::types {
namespace {

using osmira_base::Error;
using osmira_base::Result;
using osmira_base::Status;
using osmira_base::Value;
using osmira_base::json::Kind;
using osmira_base::json::Reader;

// The nine fields in declaration order, which is also the order of the array form.
enum Field { kId, kTenantId, kExternalId, kEntityType, kData, kSourceName, kValidFrom, kValidTo,
             kLastUpdated, kFieldCount };

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "id", "tenant_id", "external_id", "entity_type", "data", "source_name",
    "valid_from", "valid_to", "last_updated"};

constexpr bool is_optional(int field) { return field == kValidFrom || field == kValidTo; }

constexpr std::string_view kExpectUuid = "a formatted UUID string";
constexpr std::string_view kExpectInstant = "an RFC 3339 formatted date and time string";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectEntity = "struct NormalizedEntity";

int field_index(std::string_view key) {
  for (int f = 0; f < kFieldCount; ++f) {
    if (kFieldNames[f] == key) return f;
  }
  return -1;
}

// Where the texts of the records being read go: one arena, with field names, source names
// and entity types stored once per arena, and scratch reused from record to record. One per
// thread. When the JSON text outlives the records (`kept`), a value the reader returns as a
// view into that text (one without escapes) is kept as that view rather than copied.
class RecordBuilder {
 public:
  explicit RecordBuilder(TextArena& arena, std::string_view kept = {})
      : arena_(arena),
        kept_begin_(reinterpret_cast<uintptr_t>(kept.data())),
        kept_end_(kept_begin_ + kept.size()) {}

  // The arena's single copy of `text`, as a view stored in the arena (one per distinct text).
  // `slot` names where the text stands (a field of the record, the k-th key of a data object):
  // records mostly repeat the text of the previous record at the same place, which is checked
  // before the hash table.
  const std::string_view* intern(std::string_view text, size_t slot) {
    const std::string_view** last = slot < kSlots ? &last_[slot] : nullptr;
    if (last != nullptr && *last != nullptr && **last == text) return *last;
    const std::string_view* found = intern_slow(text);
    if (last != nullptr) *last = found;
    return found;
  }
  // `text` itself when it lies in the kept text, else the arena's copy of it.
  std::string_view copy(std::string_view text) {
    const auto begin = reinterpret_cast<uintptr_t>(text.data());
    if (kept_begin_ != kept_end_ && begin >= kept_begin_ && begin + text.size() <= kept_end_) {
      return text;
    }
    return arena_.copy(text);
  }

  // A data object: fields collected here, then stored in the arena in one piece.
  void begin_data() {
    fields_.clear();
    slot_of_.clear();
  }
  // `name` must be interned (one view per distinct name); a repeated name keeps the last
  // value in the place of the first.
  void set_field(const std::string_view* name, std::string_view value) {
    constexpr size_t kLinearLimit = 16;
    if (fields_.size() < kLinearLimit) {
      for (auto& f : fields_) {
        if (f.name == name) {
          f.value = value;
          return;
        }
      }
      if (fields_.size() + 1 == kLinearLimit) {
        for (uint32_t i = 0; i < fields_.size(); ++i) slot_of_.emplace(fields_[i].name, i);
      }
    } else {
      auto [it, added] = slot_of_.try_emplace(name, static_cast<uint32_t>(fields_.size()));
      if (!added) {
        fields_[it->second].value = value;
        return;
      }
    }
    fields_.push_back(EntityData::Entry{name, value});
  }
  EntityData end_data() {
    EntityData::Entry* entries = arena_.allocate<EntityData::Entry>(fields_.size());
    std::uninitialized_copy(fields_.begin(), fields_.end(), entries);
    return EntityData::borrow(entries, static_cast<uint32_t>(fields_.size()));
  }

 private:
  static constexpr size_t kSlots = 64;

  const std::string_view* intern_slow(std::string_view text) {
    auto it = interned_.find(text);
    if (it != interned_.end()) return it->second;
    std::string_view* stored = arena_.allocate<std::string_view>(1);
    new (stored) std::string_view(arena_.copy(text));
    interned_.emplace(*stored, stored);
    return stored;
  }

  TextArena& arena_;
  uintptr_t kept_begin_;  // the kept text's bytes, [kept_begin_, kept_end_)
  uintptr_t kept_end_;
  // Keyed (StringHash): field names and interned values come from the records.
  boost::unordered_flat_map<std::string_view, const std::string_view*, StringHash> interned_;
  std::array<const std::string_view*, kSlots> last_{};
  std::vector<EntityData::Entry> fields_;
  // For large data objects only. Not keyed: its keys are the arena's own addresses of the
  // interned names, which no caller chooses (the table mixes their bits).
  boost::unordered_flat_map<const std::string_view*, uint32_t> slot_of_;
};

// The hyphenated 8-4-4-4-12 form, the one records nearly always carry, read without the
// general parser; false for any other text (which the general parser then reads or rejects).
bool parse_hyphenated_uuid(std::string_view text, Uuid& out) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return false;
  }
  static constexpr auto kHex = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) {
      table['a' + c] = static_cast<int8_t>(10 + c);
      table['A' + c] = static_cast<int8_t>(10 + c);
    }
    return table;
  }();
  Uuid id;
  size_t byte = 0;
  for (size_t i = 0; i < 36; i += 2) {
    if (i == 8 || i == 13 || i == 18 || i == 23) ++i;
    const int hi = kHex[static_cast<unsigned char>(text[i])];
    const int lo = kHex[static_cast<unsigned char>(text[i + 1])];
    if ((hi | lo) < 0) return false;
    id.bytes[byte++] = static_cast<uint8_t>(hi << 4 | lo);
  }
  out = id;
  return true;
}

// Parse failures of the texts inside the strings are positioned right after the string.
Status read_uuid(Reader& reader, Uuid& out) {
  ASSIGN_OR_RETURN(const std::string_view text, reader.read_string(kExpectUuid));
  if (parse_hyphenated_uuid(text, out)) return osmira_base::ok_status();
  Result<Uuid> id = Uuid::parse(text);
  if (!id.ok()) return reader.error_here("UUID parsing failed: " + id.error().message());
  out = *id;
  return osmira_base::ok_status();
}

Status read_instant(Reader& reader, DateTime& out) {
  ASSIGN_OR_RETURN(const std::string_view text, reader.read_string(kExpectInstant));
  Result<DateTime> instant = osmira_base::parse_rfc3339(text);
  if (!instant.ok()) return reader.error_here(instant.error().message());
  out = *instant;
  return osmira_base::ok_status();
}

Status read_optional_instant(Reader& reader, OptionalInstant& out) {
  ASSIGN_OR_RETURN(const bool is_null, reader.read_null_if_present());
  if (is_null) {
    out.reset();
    return osmira_base::ok_status();
  }
  DateTime instant;
  RETURN_IF_ERROR(read_instant(reader, instant));
  out = instant;
  return osmira_base::ok_status();
}

// An object of string values; a repeated key keeps its last value.
Status read_data(Reader& reader, RecordBuilder& builder, EntityData& out) {
  RETURN_IF_ERROR(reader.begin_object());
  builder.begin_data();
  std::string_view key;
  for (size_t k = 0;; ++k) {
    ASSIGN_OR_RETURN(const bool more, reader.next_key(&key));
    if (!more) break;
    // The view dies with the next read. Slots from kFieldCount on are the data keys.
    const std::string_view* name = builder.intern(key, kFieldCount + k);
    ASSIGN_OR_RETURN(const std::string_view value, reader.read_string(kExpectString));
    builder.set_field(name, builder.copy(value));
  }
  RETURN_IF_ERROR(reader.end_object());
  out = builder.end_data();
  return osmira_base::ok_status();
}

// `intern`: the text repeats across records (entity types, source names).
Status read_text(Reader& reader, RecordBuilder& builder, int field, RecordText& out,
                 bool intern) {
  ASSIGN_OR_RETURN(const std::string_view text, reader.read_string(kExpectString));
  out = RecordText::borrow(intern ? *builder.intern(text, field) : builder.copy(text));
  return osmira_base::ok_status();
}

Status read_field(Reader& reader, RecordBuilder& builder, int field, NormalizedEntity& e) {
  switch (field) {
    case kId: return read_uuid(reader, e.id);
    case kTenantId: return read_uuid(reader, e.tenant_id);
    case kExternalId: return read_text(reader, builder, field, e.external_id, false);
    case kEntityType: return read_text(reader, builder, field, e.entity_type, true);
    case kData: return read_data(reader, builder, e.data);
    case kSourceName: return read_text(reader, builder, field, e.source_name, true);
    case kValidFrom: return read_optional_instant(reader, e.valid_from);
    case kValidTo: return read_optional_instant(reader, e.valid_to);
    case kLastUpdated: return read_instant(reader, e.last_updated);
    default: return osmira_base::ok_status();
  }
}

Status read_entity_object(Reader& reader, RecordBuilder& builder, NormalizedEntity& e) {
  RETURN_IF_ERROR(reader.begin_object());
  std::array<bool, kFieldCount> seen{};
  std::string_view key;
  while (true) {
    ASSIGN_OR_RETURN(const bool more, reader.next_key(&key));
    if (!more) break;
    const int field = field_index(key);
    if (field < 0) {
      RETURN_IF_ERROR(reader.skip_value());
      continue;
    }
    if (seen[field]) {
      return reader.error_in_object("duplicate field `" + std::string(kFieldNames[field]) + "`");
    }
    seen[field] = true;
    RETURN_IF_ERROR(read_field(reader, builder, field, e));
  }
  for (int field = 0; field < kFieldCount; ++field) {
    if (!seen[field] && !is_optional(field)) {
      return reader.error_in_object("missing field `" + std::string(kFieldNames[field]) + "`");
    }
  }
  return reader.end_object();
}

Status read_entity_array(Reader& reader, RecordBuilder& builder, NormalizedEntity& e) {
  RETURN_IF_ERROR(reader.begin_array());
  for (int field = 0; field < kFieldCount; ++field) {
    ASSIGN_OR_RETURN(const bool more, reader.has_next());
    if (!more) {
      return reader.error_in_array("invalid length " + std::to_string(field) +
                                   ", expected struct NormalizedEntity with 9 elements");
    }
    RETURN_IF_ERROR(read_field(reader, builder, field, e));
  }
  return reader.end_array();
}

Status read_entity_into(Reader& reader, RecordBuilder& builder, NormalizedEntity& e) {
  ASSIGN_OR_RETURN(const Kind kind, reader.peek());
  if (kind == Kind::kObject) return read_entity_object(reader, builder, e);
  if (kind == Kind::kArray) return read_entity_array(reader, builder, e);
  return reader.invalid_type(kExpectEntity);
}

// ---- Structural scan for the parallel reading ---------------------------------------------

// A run of consecutive elements of the top-level array: the text from the first element's
// first byte to the last one's end (the commas between them included), and their count.
struct ElementRun {
  size_t begin = 0;
  size_t end = 0;
  size_t count = 0;
};

inline bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Finds the top-level array's elements and cuts them into runs of about `run_bytes` bytes.
// Strings and escapes are respected; nothing else is checked (the readers of the runs check
// everything). False when the text is not laid out as "[" elements "]": the caller then
// reads sequentially, which reports the fault.
//
// Only the bytes that can change the scan's state are looked at one by one: quotes,
// backslashes, brackets, braces and commas, found sixty-four bytes at a time where SSE2 is
// there. A backslash in a string makes the scan pass over the byte after it.
class ElementScanner {
 public:
  ElementScanner(std::string_view text, size_t run_bytes, std::vector<ElementRun>& runs)
      : data_(text.data()), n_(text.size()), run_bytes_(run_bytes), runs_(runs) {}

  bool scan() {
    size_t i = 0;
    while (i < n_ && is_ws(data_[i])) ++i;
    if (i == n_ || data_[i] != '[') return false;
    ++i;
    size_t j = i;
    while (j < n_ && is_ws(data_[j])) ++j;
    if (j < n_ && data_[j] == ']') return only_ws_after(j);  // the empty array
    run_ = ElementRun{i, i, 0};
    size_t q = i;
#if defined(__SSE2__)
    // Sixty-four bytes at a time. A block without backslashes (the common case) finds its
    // strings from the parity of the quotes before each byte; a block with one is walked
    // byte by byte over its interesting bytes.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i open = _mm_set1_epi8('{');   // '[' | 0x20
    const __m128i close = _mm_set1_epi8('}');  // ']' | 0x20
    const __m128i case_bit = _mm_set1_epi8(0x20);
    for (; n_ - q >= 64; q += 64) {
      uint64_t quotes = 0, backslashes = 0, structurals = 0;
      for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data_ + q + 16 * k));
        const __m128i folded = _mm_or_si128(v, case_bit);
        const __m128i s = _mm_or_si128(
            _mm_cmpeq_epi8(v, comma),
            _mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close)));
        const int shift = 16 * k;
        quotes |= static_cast<uint64_t>(static_cast<uint16_t>(
                      _mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)))) << shift;
        backslashes |= static_cast<uint64_t>(static_cast<uint16_t>(
                           _mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash)))) << shift;
        structurals |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(s)))
                       << shift;
      }
      if (backslashes == 0 && escaped_until_ <= q) {
        // Bit k of `inside`: byte k stands in a string (an opening quote counts as inside,
        // a closing one as outside).
        uint64_t inside = quotes;
        inside ^= inside << 1;
        inside ^= inside << 2;
        inside ^= inside << 4;
        inside ^= inside << 8;
        inside ^= inside << 16;
        inside ^= inside << 32;
        if (in_string_) inside = ~inside;
        for (uint64_t bits = structurals & ~inside; bits != 0; bits &= bits - 1) {
          const size_t at = q + static_cast<size_t>(__builtin_ctzll(bits));
          const int r = visit_outside_string(at);
          if (r != 0) return r > 0 && only_ws_after(at);
        }
        in_string_ = (inside >> 63) != 0;
        continue;
      }
      for (uint64_t bits = quotes | backslashes | structurals; bits != 0; bits &= bits - 1) {
        const size_t at = q + static_cast<size_t>(__builtin_ctzll(bits));
        const int r = visit(at);
        if (r != 0) return r > 0 && only_ws_after(at);
      }
    }
#endif
    for (; q < n_; ++q) {
      const int r = visit(q);
      if (r != 0) return r > 0 && only_ws_after(q);
    }
    return false;  // the array is not closed
  }

 private:
  bool only_ws_after(size_t at) const {
    for (size_t k = at + 1; k < n_; ++k) {
      if (!is_ws(data_[k])) return false;
    }
    return true;
  }

  // One byte: 0 to go on, 1 when it closes the top-level array, -1 when the layout is wrong.
  int visit(size_t at) {
    if (at < escaped_until_) return 0;
    const char c = data_[at];
    if (in_string_) {
      if (c == '"') {
        in_string_ = false;
      } else if (c == '\\') {
        escaped_until_ = at + 2;
      }
      return 0;
    }
    if (c == '"') {
      in_string_ = true;
      return 0;
    }
    return visit_outside_string(at);
  }

  // A byte outside strings other than a quote.
  int visit_outside_string(size_t at) {
    const char c = data_[at];
    switch (c) {
      case '[':
      case '{':
        ++depth_;
        return 0;
      case ']':
      case '}':
        if (depth_ > 0) {
          --depth_;
          return 0;
        }
        if (c != ']') return -1;
        run_.end = at;
        ++run_.count;
        runs_.push_back(run_);
        return 1;
      case ',':
        if (depth_ == 0) {
          ++run_.count;
          if (at - run_.begin >= run_bytes_) {
            run_.end = at;
            runs_.push_back(run_);
            run_ = ElementRun{at + 1, at + 1, 0};
          }
        }
        return 0;
      default:  // anything else outside a string is the readers' to judge
        return 0;
    }
  }

  const char* const data_;
  const size_t n_;
  const size_t run_bytes_;
  std::vector<ElementRun>& runs_;
  ElementRun run_;
  size_t depth_ = 0;  // inside the top-level array
  bool in_string_ = false;
  size_t escaped_until_ = 0;  // the byte before this one follows a backslash in a string
};

bool scan_element_runs(std::string_view text, size_t run_bytes, std::vector<ElementRun>& runs) {
  return ElementScanner(text, run_bytes, runs).scan();
}

// Reads the elements of one run into `out`; false on any failure.
bool read_run(std::string_view text, const ElementRun& run, RecordBuilder& builder,
              NormalizedEntity* out) {
  Reader reader(text.substr(run.begin, run.end - run.begin), 1);
  for (size_t k = 0; k < run.count; ++k) {
    Result<bool> more = reader.has_next();
    if (!more.ok() || !*more) return false;
    if (!read_entity_into(reader, builder, out[k]).ok()) return false;
  }
  return reader.end().ok();
}

// Texts at least this long are read in parallel by `read_entities_json`, in runs of about
// kRunBytes bytes (small enough to spread a few megabytes over every worker, large enough
// that a run's set-up is negligible).
constexpr size_t kParallelMinBytes = 1 << 20;
constexpr size_t kRunBytes = 128 << 10;

Value float_value(double v) { return std::isfinite(v) ? Value(v) : Value(nullptr); }

// The texts of a decision, one row per value; all empty for a value outside the enumeration.
struct DecisionTexts {
  std::string_view json;
  std::string_view display;
  std::string_view telemetry;
};

DecisionTexts decision_texts(Decision decision) {
  switch (decision) {
    case Decision::kMerge: return {"merge", "Merge", "merge"};
    case Decision::kReview: return {"review", "Review", "review"};
    case Decision::kNoMerge: return {"no_merge", "NoMerge", "nomerge"};
  }
  return {};
}

}  // namespace

std::string_view decision_json_text(Decision decision) { return decision_texts(decision).json; }

std::string_view decision_display_name(Decision decision) {
  return decision_texts(decision).display;
}

std::string_view decision_telemetry_key(Decision decision) {
  return decision_texts(decision).telemetry;
}

Value to_json(Decision decision) { return Value(decision_json_text(decision)); }

Value to_json(const RuleResult& result) {
  Value out = Value::object();
  out.set("rule_name", Value(result.rule_name));
  out.set("score", float_value(result.score));
  out.set("weight", float_value(result.weight));
  out.set("matched", Value(result.matched));
  out.set("explanation", Value(result.explanation));
  return out;
}

Value to_json(const MatchDecision& decision) {
  Value out = Value::object();
  out.set("entity_a_id", Value(decision.entity_a_id.to_string()));
  out.set("entity_b_id", Value(decision.entity_b_id.to_string()));
  out.set("decision", to_json(decision.decision));
  out.set("confidence", float_value(decision.confidence));
  if (decision.posterior_probability) {
    out.set("posterior_probability", float_value(*decision.posterior_probability));
  }
  Value::Array rules;
  rules.reserve(decision.rule_results.size());
  for (const RuleResult& r : decision.rule_results) rules.push_back(to_json(r));
  out.set("rule_results", Value(std::move(rules)));
  Value::Array matched;
  matched.reserve(decision.matched_on.size());
  for (const std::string& m : decision.matched_on) matched.emplace_back(m);
  out.set("matched_on", Value(std::move(matched)));
  out.set("blocking_key",
          decision.blocking_key ? Value(*decision.blocking_key) : Value(nullptr));
  out.set("temporal_adjustment", decision.temporal_adjustment
                                     ? float_value(*decision.temporal_adjustment)
                                     : Value(nullptr));
  return out;
}

Status read_entity(Reader& reader, RecordSet& out) {
  RecordBuilder builder(out.arena());
  NormalizedEntity e;
  RETURN_IF_ERROR(read_entity_into(reader, builder, e));
  out.push_back(std::move(e));
  return osmira_base::ok_status();
}

namespace detail {

Result<RecordSet> read_entities_json_sequential(std::string_view text, TextUse use) {
  Reader reader(text);
  ASSIGN_OR_RETURN(const Kind kind, reader.peek());
  if (kind != Kind::kArray) return reader.invalid_type("a sequence");
  RETURN_IF_ERROR(reader.begin_array());
  RecordSet out;
  RecordBuilder builder(out.arena(), use == TextUse::kBorrow ? text : std::string_view());
  std::vector<NormalizedEntity>& records = out.mutable_records();
  while (true) {
    ASSIGN_OR_RETURN(const bool more, reader.has_next());
    if (!more) break;
    NormalizedEntity e;
    RETURN_IF_ERROR(read_entity_into(reader, builder, e));
    records.push_back(std::move(e));
  }
  RETURN_IF_ERROR(reader.end_array());
  RETURN_IF_ERROR(reader.end());
  return out;
}

std::optional<size_t> count_entity_elements(std::string_view text) {
  std::vector<ElementRun> runs;
  if (!scan_element_runs(text, std::numeric_limits<size_t>::max(), runs)) return std::nullopt;
  size_t count = 0;
  for (const ElementRun& run : runs) count += run.count;
  return count;
}

Result<RecordSet> read_entities_json_parallel(std::string_view text, size_t group_bytes,
                                              TextUse use) {
  std::vector<ElementRun> runs;
  if (!scan_element_runs(text, std::max<size_t>(group_bytes, 1), runs)) {
    return read_entities_json_sequential(text, use);
  }
  const std::string_view kept = use == TextUse::kBorrow ? text : std::string_view();
  std::vector<size_t> first(runs.size() + 1, 0);
  for (size_t r = 0; r < runs.size(); ++r) first[r + 1] = first[r] + runs[r].count;

  RecordSet out;
  std::vector<NormalizedEntity>& records = out.mutable_records();
  records.resize(first.back());
  // One arena per worker rather than per run: only each worker's last block is partly used.
  tbb::enumerable_thread_specific<TextArena> arenas;
  std::atomic<bool> failed = false;
  tbb::parallel_for(tbb::blocked_range<size_t>(0, runs.size(), 1),
                    [&](const tbb::blocked_range<size_t>& range) {
                      TextArena& arena = arenas.local();
                      for (size_t r = range.begin(); r != range.end(); ++r) {
                        if (failed.load(std::memory_order_relaxed)) return;
                        RecordBuilder builder(arena, kept);
                        if (!read_run(text, runs[r], builder, records.data() + first[r])) {
                          failed.store(true, std::memory_order_relaxed);
                        }
                      }
                    });
  // The sequential reading names the first fault in text order, as it always has.
  if (failed.load()) return read_entities_json_sequential(text, use);
  for (TextArena& arena : arenas) out.adopt(std::move(arena));
  return out;
}

}  // namespace detail

Result<RecordSet> read_entities_json(std::string_view text, TextUse use) {
  if (text.size() < kParallelMinBytes) return detail::read_entities_json_sequential(text, use);
  return detail::read_entities_json_parallel(text, kRunBytes, use);
}

// ---- Record storage -----------------------------------------------------------------------

std::string_view TextArena::copy(std::string_view text) {
  if (text.empty()) return {};
  char* p = static_cast<char*>(allocate_bytes(text.size(), 1));
  std::memcpy(p, text.data(), text.size());
  return {p, text.size()};
}

void* TextArena::allocate_bytes(size_t size, size_t align) {
  const size_t pad = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
  if (next_ == nullptr || pad + size > left_) {
    constexpr size_t kBlockBytes = 64 << 10;
    // A value larger than a block gets a block of its own.
    const size_t block = std::max(kBlockBytes, size + align);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
    reserved_ += block;
    next_ = blocks_.back().get();
    left_ = block;
    return allocate_bytes(size, align);
  }
  char* p = next_ + pad;
  next_ = p + size;
  left_ -= pad + size;
  return p;
}

RecordText& RecordText::operator=(const RecordText& other) {
  if (this == &other) return *this;
  if (other.owned_) {
    RecordText(other.view()).swap(*this);
  } else {
    RecordText copy = borrow(other.view());
    copy.swap(*this);
  }
  return *this;
}

void RecordText::assign_copy(std::string_view text) {
  if (text.empty()) return;
  char* p = new char[text.size()];
  std::memcpy(p, text.data(), text.size());
  data_ = p;
  size_ = text.size();
  owned_ = true;
}

EntityData::EntityData(const EntityData& other)
    : entries_(other.entries_), size_(other.size_) {
  if (other.owned_) {
    owned_ = std::make_unique<Owned>();
    owned_->texts = other.owned_->texts;
    rebind();
  }
}

EntityData& EntityData::operator=(const EntityData& other) {
  if (this != &other) {
    EntityData copy(other);
    *this = std::move(copy);
  }
  return *this;
}

EntityData::~EntityData() = default;

void EntityData::make_owned() {
  if (owned_) return;
  auto owned = std::make_unique<Owned>();
  owned->texts.reserve(size_ + 1);
  for (const auto& [name, value] : *this) owned->texts.emplace_back(name, value);
  owned_ = std::move(owned);
}

void EntityData::rebind() {
  owned_->names.clear();
  owned_->entries.clear();
  owned_->names.reserve(owned_->texts.size());
  owned_->entries.reserve(owned_->texts.size());
  for (const auto& [name, value] : owned_->texts) {
    owned_->names.emplace_back(name);
    owned_->entries.push_back(Entry{&owned_->names.back(), value});
  }
  entries_ = owned_->entries.data();
  size_ = static_cast<uint32_t>(owned_->entries.size());
}

void EntityData::insert_or_assign(std::string_view name, std::string_view value) {
  make_owned();
  for (auto& [n, v] : owned_->texts) {
    if (n == name) {
      v.assign(value);
      rebind();
      return;
    }
  }
  owned_->texts.emplace_back(name, value);
  rebind();
}

bool EntityData::emplace(std::string_view name, std::string_view value) {
  if (contains(name)) return false;
  insert_or_assign(name, value);
  return true;
}

TextArena& RecordSet::arena() {
  if (arenas_.empty()) arenas_.emplace_back();
  return arenas_.back();
}

void RecordSet::append(RecordSet&& other) {
  records_.reserve(records_.size() + other.records_.size());
  std::move(other.records_.begin(), other.records_.end(), std::back_inserter(records_));
  other.records_.clear();
  // The other list's arenas go in front: `arena()` keeps writing to this list's last one.
  arenas_.insert(arenas_.begin(), std::make_move_iterator(other.arenas_.begin()),
                 std::make_move_iterator(other.arenas_.end()));
  other.arenas_.clear();
}

size_t RecordSet::arena_bytes() const {
  size_t total = 0;
  for (const TextArena& arena : arenas_) total += arena.reserved_bytes();
  return total;
}

}  // namespace osmira_core::engine::types
