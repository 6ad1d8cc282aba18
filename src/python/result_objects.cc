#include "python/result_objects.h"

#include <malloc.h>

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/uuid.h"
#include "core/engine/types.h"
#include "python/bridge/text_numbers.h"

namespace vintrel_native {
namespace {

using osmira_base::Uuid;
using osmira_core::engine::types::MatchDecision;
using osmira_core::engine::types::RuleResult;

// Every fixed dict key of the result. Each is created once per call (interned) and shared by
// all the dicts that use it.
enum Key : size_t {
  kAvgScore, kBlockingGroups, kBlockingKey, kClusters, kConfidence, kDecision, kDecisions,
  kDecisionsByType, kEntityAId, kEntityBId, kEvaluated, kExplanation, kGoldenRecords, kMatched,
  kMatchedOn, kMergeThreshold, kOversizedBlockingGroups, kPairsEvaluated,
  kPosteriorProbability, kRuleName, kRuleResults, kRuleTelemetry, kScore, kScoringMethod,
  kSkipReason, kSkipped, kTelemetry, kTemporalAdjustment, kTrainedFsParams, kWeight, kKeyCount
};

constexpr std::array<const char*, kKeyCount> kKeyTexts = {
    "avg_score", "blocking_groups", "blocking_key", "clusters", "confidence", "decision",
    "decisions", "decisions_by_type", "entity_a_id", "entity_b_id", "evaluated", "explanation",
    "golden_records", "matched", "matched_on", "merge_threshold", "oversized_blocking_groups",
    "pairs_evaluated", "posterior_probability", "rule_name", "rule_results", "rule_telemetry",
    "score", "scoring_method", "skip_reason", "skipped", "telemetry", "temporal_adjustment",
    "trained_fs_params", "weight"};

// Texts of the telemetry and the golden records that repeat (rule names, field names, short
// values) are created once and shared; a cache bounded in entries and text length keeps a
// result of all-distinct texts from doubling its memory here. The texts of the decisions are
// numbered beforehand instead (NumberedTexts).
constexpr size_t kMaxCachedTexts = 1 << 16;
constexpr size_t kMaxCachedTextBytes = 256;
// Golden-record values up to this length go through the same cache.
constexpr size_t kSharedValueBytes = 16;
// Floats repeat too (rule weights, exact scores 0 and 1, thresholds).
constexpr size_t kMaxCachedFloats = 1 << 16;

constexpr uint32_t kUnlisted = vintrel_bridge::ReconcileResult::kUnlisted;

// Starts fetching the cache lines of `count` items from `items` on.
template <typename T>
void prefetch_lines(const T* items, size_t count) {
  const char* bytes = reinterpret_cast<const char*>(items);
  for (size_t at = 0; at < count * sizeof(T); at += 64) __builtin_prefetch(bytes + at);
}

// How many decisions ahead of the one being converted its memory is fetched.
constexpr size_t kPrefetchAhead = 4;

class Builder {
 public:
  bool init() {
    for (size_t k = 0; k < kKeyCount; ++k) {
      keys_[k] = PyRef::steal(PyUnicode_InternFromString(kKeyTexts[k]));
      if (!keys_[k]) return false;
    }
    for (size_t d = 0; d < decision_texts_.size(); ++d) {
      decision_texts_[d] = fresh_text(osmira_core::engine::types::decision_json_text(
          static_cast<osmira_core::engine::types::Decision>(d)));
      if (!decision_texts_[d]) return false;
    }
    return true;
  }

  // "merge", "review" or "no_merge".
  PyRef decision_text(osmira_core::engine::types::Decision decision) const {
    return PyRef::borrow(decision_texts_[static_cast<size_t>(decision)].get());
  }

  // A new str (strict UTF-8) for text that is not expected to repeat.
  static PyRef fresh_text(std::string_view text) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  }

  // A str for text that may repeat: the same object for the same text within the call.
  PyRef text(std::string_view text) {
    if (text.size() > kMaxCachedTextBytes) return fresh_text(text);
    auto it = texts_.find(text);
    if (it != texts_.end()) return PyRef::borrow(it->second.get());
    PyRef made = fresh_text(text);
    if (!made || texts_.size() >= kMaxCachedTexts) return made;
    texts_.emplace(std::string(text), PyRef::borrow(made.get()));
    return made;
  }

  // The identifier's canonical text (lowercase, hyphenated), formed once per identifier.
  PyRef id(const Uuid& id) {
    auto it = ids_.find(id);
    if (it != ids_.end()) return PyRef::borrow(it->second.get());
    PyRef made = id_text(id);
    if (made) ids_.emplace(id, PyRef::borrow(made.get()));
    return made;
  }

  // The text of the identifier at cluster listing `listing`, whose record's first listing is
  // `first` (kUnlisted: no record; then it is looked up like any other identifier). Call in
  // listing order, from 0.
  PyRef listed_id(const Uuid& id, uint32_t first, size_t listing) {
    PyRef made = first == kUnlisted   ? this->id(id)
                 : first == listing   ? id_text(id)
                                      : PyRef::borrow(listed_[first]);
    listed_.push_back(made.get());  // the cluster lists keep it alive
    return made;
  }

  // The identifier of a decision, by its first listing as the result gives it.
  PyRef decision_id(const Uuid& id, uint32_t first) {
    if (first == kUnlisted || first >= listed_.size()) return this->id(id);
    return PyRef::borrow(listed_[first]);
  }

  void reserve_listings(size_t count) { listed_.reserve(count); }

  // Room for `count` cached texts (at most what the cache takes), so that it does not grow
  // step by step while a large result is converted.
  void reserve_texts(size_t count) { texts_.reserve(std::min(count, kMaxCachedTexts)); }

  // Starts fetching the str of the identifier at cluster listing `first` into the cache.
  void prefetch_listed(uint32_t first) const {
    if (first < listed_.size()) __builtin_prefetch(listed_[first], 1);
  }

  // A float, or None when it is not finite.
  PyRef number(double value) {
    if (!std::isfinite(value)) return PyRef::borrow(Py_None);
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    auto it = floats_.find(bits);
    if (it != floats_.end()) return PyRef::borrow(it->second.get());
    PyRef made = PyRef::steal(PyFloat_FromDouble(value));
    if (made && floats_.size() < kMaxCachedFloats) floats_.emplace(bits, PyRef::borrow(made.get()));
    return made;
  }

  static PyRef id_text(const Uuid& id) {
    PyRef made = PyRef::steal(PyUnicode_New(36, 127));
    if (!made) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    Py_UCS1* out = PyUnicode_1BYTE_DATA(made.get());
    size_t pos = 0;
    for (size_t b = 0; b < 16; ++b) {
      if (b == 4 || b == 6 || b == 8 || b == 10) out[pos++] = '-';
      out[pos++] = static_cast<Py_UCS1>(kHex[id.bytes[b] >> 4]);
      out[pos++] = static_cast<Py_UCS1>(kHex[id.bytes[b] & 0xF]);
    }
    return made;
  }

  static PyRef count(uint64_t value) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(value));
  }

  static PyRef boolean(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

  // Stores `value` under a fixed key; false with the host's exception set when the value
  // could not be made or stored.
  bool set(PyObject* dict, Key k, const PyRef& value) const {
    return value && PyDict_SetItem(dict, keys_[k].get(), value.get()) == 0;
  }

 private:
  std::array<PyRef, kKeyCount> keys_;
  std::array<PyRef, 3> decision_texts_;  // by Decision
  boost::unordered_flat_map<std::string, PyRef, osmira_core::engine::types::StringHash,
                              std::equal_to<>>
      texts_;
  boost::unordered_flat_map<Uuid, PyRef, boost::hash<Uuid>> ids_;
  std::vector<PyObject*> listed_;  // per cluster listing, borrowed
  boost::unordered_flat_map<uint64_t, PyRef> floats_;
};

// The engine's result is freed piece by piece as its Python form is built (by ReleaseBehind,
// below), but the host's small objects come from memory mappings of their own, not from the
// heap those pieces go back to: unless the freed heap is handed back to the system as the
// conversion proceeds, the process holds both full copies of the result at its end. A pass
// that hands it back walks every free chunk of the heap (milliseconds to tens of
// milliseconds at a million records, on the releasing thread), so a list is converted in
// steps, each followed by one pass: at most kHeapReturnsPerList passes, and none for a list
// shorter than kMinItemsPerHeapReturn. With 16 passes, converting the golden records of
// 100,000 records without decisions stays under the engine's peak (with 8 it rose 3% above).
constexpr size_t kHeapReturnsPerList = 16;
constexpr size_t kMinItemsPerHeapReturn = size_t{1} << 12;

size_t items_per_heap_return(size_t count) {
  return std::max(kMinItemsPerHeapReturn, (count + kHeapReturnsPerList - 1) / kHeapReturnsPerList);
}

void return_freed_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// Destroys the C++ form of a result part on a worker of the pool while the thread that
// holds the interpreter lock builds its Python form: the frees (several per decision) would
// otherwise add up on that one thread. The builder reports how many items it has converted;
// the worker destroys the items up to there, so an item is held twice for at most one batch.
// With `trim_heap` the worker also hands the freed heap back to the system every
// `items_per_heap_return` items, so that the process never holds both full copies. Once the
// builder closes it, the worker destroys what is left and the vector itself (and trims once
// more), while the builder goes on with other parts. When the worker cannot be started, the items go with their vector.
template <typename T>
class ReleaseBehind {
 public:
  ReleaseBehind(std::vector<T>& items, bool trim_heap) : items_(items), trim_heap_(trim_heap) {
    try {
      group_.run([this] { release(); });
      running_ = true;
    } catch (...) {  // out of memory: nothing to release early
    }
  }
  ~ReleaseBehind() { finish(); }
  ReleaseBehind(const ReleaseBehind&) = delete;
  ReleaseBehind& operator=(const ReleaseBehind&) = delete;

  // Items [0, count) have their Python form and are no longer read.
  void converted(size_t count) {
    if (!running_ || (count - reported_ < kBatch && count != items_.size())) return;
    reported_ = count;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      converted_ = count;
    }
    wake_.notify_one();
  }

  // The builder reads none of the items any more: the worker may release them all.
  void close() {
    if (!running_ || closed_) return;
    closed_ = true;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
  }

  // Closes, and waits until the worker is through.
  void finish() {
    close();
    if (!running_) return;
    running_ = false;
    group_.wait();
  }

 private:
  // Items reported at a time: each report wakes the worker, and a wake-up may cost the
  // builder its processor.
  static constexpr size_t kBatch = 8192;

  void release() {
    const size_t step = items_per_heap_return(items_.size());
    size_t released = 0;
    size_t next_return = step;
    while (true) {
      size_t upto = 0;
      bool done = false;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return converted_ > released || done_; });
        upto = converted_;
        done = done_;
      }
      for (; released < upto; ++released) items_[released] = T();
      if (trim_heap_ && released >= next_return) {
        return_freed_heap();
        next_return = released + step;
      }
      if (done) break;
    }
    std::vector<T>().swap(items_);
    if (trim_heap_) return_freed_heap();
  }

  std::vector<T>& items_;
  const bool trim_heap_;
  tbb::task_group group_;
  std::mutex mutex_;
  std::condition_variable wake_;
  size_t converted_ = 0;  // guarded by mutex_
  bool done_ = false;     // guarded by mutex_
  size_t reported_ = 0;   // builder side only
  bool running_ = false;  // builder side only
  bool closed_ = false;   // builder side only
};

// Runs `work` on the worker pool while the caller goes on. `wait` returns once it is done
// and rethrows what it threw; the destructor waits as well, so that an early return never
// leaves the work running on state that goes with the return. The work gets all workers but
// kSparedWorkers, so that the caller (which holds the interpreter lock and is the call's
// critical path) and the threads that release memory behind it and prepare arenas ahead of
// it keep processors of their own.
class Background {
 public:
  template <typename Work>
  explicit Background(Work&& work)
      : arena_(std::max(1, tbb::this_task_arena::max_concurrency() - kSparedWorkers)) {
    arena_.execute([&] { group_.run(std::forward<Work>(work)); });
    running_ = true;
  }
  ~Background() {
    if (!running_) return;
    try {
      arena_.execute([&] { group_.wait(); });
    } catch (...) {  // the call has failed already
    }
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  void wait() {
    running_ = false;
    arena_.execute([&] { group_.wait(); });
  }

 private:
  static constexpr int kSparedWorkers = 3;

  tbb::task_arena arena_;
  tbb::task_group group_;
  bool running_ = false;
};

// A list of `count` items, item i made by `make(i)` (a PyRef, empty on failure).
template <typename Make>
PyRef list_of(size_t count, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return {};
  for (size_t i = 0; i < count; ++i) {
    PyRef item = make(i);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

// Texts numbered beforehand, with the lock released (see text_numbers.h), and their str
// objects, each made at the first item that holds its text. The conversion walks the items in
// order, so that first item is the one being converted: its C++ text is still there even
// though earlier items have already been released.
class NumberedTexts {
 public:
  // `offsets`: group g holds items offsets[g] to offsets[g + 1] (see number_texts).
  NumberedTexts(std::vector<size_t> offsets, vintrel_bridge::TextNumbers numbers)
      : offsets_(std::move(offsets)), numbers_(std::move(numbers)), made_(numbers_.distinct) {}

  // The numbers of group g's items, in order.
  const uint32_t* items_of(size_t group) const {
    return numbers_.of_item.data() + offsets_[group];
  }

  // Starts fetching what converting group `g` will touch: with `objects` the str objects
  // already made for its items (their reference counts change), otherwise the slots that
  // hold them. Converting a large result waits on memory more than it computes; fetching the
  // slots a few groups ahead of the objects lets the second fetch find its address.
  void prefetch(size_t group, bool objects) const {
    if (group + 1 >= offsets_.size()) return;
    for (size_t i = offsets_[group]; i < offsets_[group + 1]; ++i) {
      const PyRef& slot = made_[numbers_.of_item[i]];
      if (!objects) {
        __builtin_prefetch(&slot);
      } else if (slot) {
        __builtin_prefetch(slot.get(), 1);
      }
    }
  }

  // The str of text number `n`, whose text is `text`.
  PyRef get(uint32_t n, std::string_view text) {
    PyRef& slot = made_[n];
    if (!slot) slot = Builder::fresh_text(text);
    return PyRef::borrow(slot.get());
  }

 private:
  std::vector<size_t> offsets_;
  vintrel_bridge::TextNumbers numbers_;
  std::vector<PyRef> made_;
};

// Offsets of groups of `items(g)` items each, for number_texts.
template <typename Items>
std::vector<size_t> group_offsets(size_t groups, Items&& items) {
  std::vector<size_t> offsets(groups + 1, 0);
  for (size_t g = 0; g < groups; ++g) offsets[g + 1] = offsets[g] + items(g);
  return offsets;
}

// A decision's texts in the order the conversion meets them: its blocking key (when it has
// one), its matched_on names, then each rule result's name and explanation.
NumberedTexts number_decision_texts(const std::vector<MatchDecision>& decisions) {
  std::vector<size_t> offsets = group_offsets(decisions.size(), [&](size_t k) {
    const MatchDecision& m = decisions[k];
    return (m.blocking_key ? 1 : 0) + m.matched_on.size() + 2 * m.rule_results.size();
  });
  vintrel_bridge::TextNumbers numbers =
      vintrel_bridge::number_texts(offsets, [&](size_t k, auto&& emit) {
        const MatchDecision& m = decisions[k];
        if (m.blocking_key) emit(std::string_view(*m.blocking_key));
        for (const std::string& name : m.matched_on) emit(std::string_view(name));
        for (const RuleResult& r : m.rule_results) {
          emit(std::string_view(r.rule_name));
          emit(std::string_view(r.explanation));
        }
      });
  return NumberedTexts(std::move(offsets), std::move(numbers));
}

// `item` points at the result's name, then its explanation; it is moved past both.
PyRef rule_result_to_py(Builder& b, const RuleResult& r, NumberedTexts& texts,
                        const uint32_t*& item) {
  PyRef name = texts.get(item[0], r.rule_name);
  PyRef explanation = texts.get(item[1], r.explanation);
  item += 2;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  if (!b.set(d, kExplanation, explanation) || !b.set(d, kMatched, Builder::boolean(r.matched)) ||
      !b.set(d, kRuleName, name) || !b.set(d, kScore, b.number(r.score)) ||
      !b.set(d, kWeight, b.number(r.weight))) {
    return {};
  }
  return dict;
}

// Decision `k`; `listings`: the first cluster listings of entity a and entity b.
PyRef decision_to_py(Builder& b, const MatchDecision& m, size_t k,
                     std::pair<uint32_t, uint32_t> listings, NumberedTexts& texts) {
  const uint32_t* item = texts.items_of(k);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  if (!b.set(d, kBlockingKey,
             m.blocking_key ? texts.get(*item++, *m.blocking_key) : PyRef::borrow(Py_None)) ||
      !b.set(d, kConfidence, b.number(m.confidence)) ||
      !b.set(d, kDecision, b.decision_text(m.decision)) ||
      !b.set(d, kEntityAId, b.decision_id(m.entity_a_id, listings.first)) ||
      !b.set(d, kEntityBId, b.decision_id(m.entity_b_id, listings.second))) {
    return {};
  }
  PyRef matched_on = list_of(m.matched_on.size(),
                             [&](size_t i) { return texts.get(*item++, m.matched_on[i]); });
  if (!b.set(d, kMatchedOn, matched_on)) return {};
  if (m.posterior_probability &&
      !b.set(d, kPosteriorProbability, b.number(*m.posterior_probability))) {
    return {};
  }
  PyRef rules = list_of(m.rule_results.size(), [&](size_t i) {
    return rule_result_to_py(b, m.rule_results[i], texts, item);
  });
  if (!b.set(d, kRuleResults, rules)) return {};
  if (!b.set(d, kTemporalAdjustment, m.temporal_adjustment ? b.number(*m.temporal_adjustment)
                                                           : PyRef::borrow(Py_None))) {
    return {};
  }
  return dict;
}

// The field name last made for one position of a golden record: golden records mostly hold
// the same fields, which then costs one comparison instead of a hash look-up.
struct LastName {
  std::string text;
  PyRef object;

  PyRef get(Builder& b, std::string_view wanted) {
    if (object && text == wanted) return PyRef::borrow(object.get());
    PyRef made = b.text(wanted);
    if (made) {
      text.assign(wanted);
      object = PyRef::borrow(made.get());
    }
    return made;
  }
};

// A golden record, its fields in the record's (ascending byte) order. Golden-record texts are
// not numbered beforehand: they are mostly distinct, and numbering them would take memory of
// the order of the records' own while it runs.
PyRef golden_record_to_py(Builder& b, const osmira_core::engine::GoldenRecord& golden,
                          std::vector<LastName>& names) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  if (names.size() < golden.size()) names.resize(golden.size());
  size_t position = 0;
  for (const auto& [field, value] : golden) {
    PyRef name = names[position++].get(b, field);
    if (!name) return {};
    // Short values (member counts, names, places, dates, codes) repeat across clusters and
    // are shared; longer ones are mostly distinct, and so is every cluster's identifier.
    PyRef text = value.size() <= kSharedValueBytes && field != vintrel_bridge::kClusterIdField
                     ? b.text(value)
                     : Builder::fresh_text(value);
    if (!text || PyDict_SetItem(dict.get(), name.get(), text.get()) < 0) return {};
  }
  return dict;
}

PyRef telemetry_to_py(Builder& b,
                      const osmira_core::engine::observability::ReconciliationTelemetry& t) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  if (!b.set(d, kBlockingGroups, Builder::count(t.blocking_groups))) return {};
  PyRef by_type = PyRef::steal(PyDict_New());
  if (!by_type) return {};
  for (const auto& [name, count] : t.decisions_by_type) {  // ascending byte order
    PyRef key = b.text(name);
    PyRef value = Builder::count(count);
    if (!key || !value || PyDict_SetItem(by_type.get(), key.get(), value.get()) < 0) return {};
  }
  if (!b.set(d, kDecisionsByType, by_type)) return {};
  if (t.merge_threshold && !b.set(d, kMergeThreshold, b.number(*t.merge_threshold))) return {};
  if (t.oversized_blocking_groups != 0 &&
      !b.set(d, kOversizedBlockingGroups, Builder::count(t.oversized_blocking_groups))) {
    return {};
  }
  if (!b.set(d, kPairsEvaluated, Builder::count(t.pairs_evaluated))) return {};
  PyRef rules = list_of(t.rule_telemetry.size(), [&](size_t i) -> PyRef {
    const auto& r = t.rule_telemetry[i];
    PyRef rule = PyRef::steal(PyDict_New());
    if (!rule) return {};
    PyObject* rd = rule.get();
    if (!b.set(rd, kAvgScore, b.number(r.avg_score)) ||
        !b.set(rd, kEvaluated, Builder::count(r.evaluated)) ||
        !b.set(rd, kMatched, Builder::count(r.matched)) ||
        !b.set(rd, kRuleName, b.text(r.rule_name)) ||
        !b.set(rd, kSkipReason, r.skip_reason ? b.text(*r.skip_reason) : PyRef::borrow(Py_None)) ||
        !b.set(rd, kSkipped, Builder::count(r.skipped))) {
      return {};
    }
    return rule;
  });
  if (!b.set(d, kRuleTelemetry, rules)) return {};
  if (t.scoring_method && !b.set(d, kScoringMethod, b.text(*t.scoring_method))) return {};
  return dict;
}

}  // namespace

PyRef reconcile_result_to_py(vintrel_bridge::ReconcileResult&& result) {
  Builder b;
  if (!b.init()) return {};
  // The golden records are converted before the decisions, though the result lists them
  // after: their C++ form is gone before the larger Python form of the decisions is built, so
  // that the process's peak is about the finished result, not the result plus the C++ golden
  // records. The decisions' texts are numbered on the worker pool meanwhile.
  std::optional<NumberedTexts> decision_texts;
  Background number_decisions(
      [&] { decision_texts.emplace(number_decision_texts(result.decisions)); });
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();

  // Clusters first: they list every identifier, so each identifier's text is made here (at
  // its record's first listing) and shared by the decisions that name it.
  size_t listed = 0;
  for (const auto& cluster : result.clusters) listed += cluster.size();
  const bool by_listing = result.first_listing.size() == listed;
  b.reserve_listings(listed);
  size_t listing = 0;
  PyRef clusters = list_of(result.clusters.size(), [&](size_t k) {
    const auto& cluster = result.clusters[k];
    return list_of(cluster.size(), [&](size_t i) {
      const uint32_t first = by_listing ? result.first_listing[listing] : kUnlisted;
      return b.listed_id(cluster[i], first, listing++);
    });
  });
  std::vector<osmira_core::engine::Cluster>().swap(result.clusters);
  std::vector<uint32_t>().swap(result.first_listing);
  if (!b.set(d, kClusters, clusters)) return {};

  // The golden records' memory is released and handed back to the system on another thread
  // as they are converted, and so is the decisions' after them.
  PyRef golden;
  {
    ReleaseBehind<osmira_core::engine::GoldenRecord> release(result.golden_records,
                                                             /*trim_heap=*/true);
    // A golden record mostly holds a few short values worth sharing.
    b.reserve_texts(4 * result.golden_records.size());
    std::vector<LastName> names;
    golden = list_of(result.golden_records.size(), [&](size_t k) {
      PyRef made = golden_record_to_py(b, result.golden_records[k], names);
      release.converted(k + 1);
      return made;
    });
  }
  if (!golden) return {};

  // Waited for with the lock held: releasing it here would let other threads see the
  // collector paused and the arena supply installed, and a shutdown could end this thread
  // while it holds Python references.
  number_decisions.wait();
  ReleaseBehind<MatchDecision> release_decisions(result.decisions, /*trim_heap=*/true);
  const bool decisions_listed = result.decision_listings.size() == 2 * result.decisions.size();
  PyRef decisions = list_of(result.decisions.size(), [&](size_t k) {
    const std::pair<uint32_t, uint32_t> listings =
        decisions_listed
            ? std::pair(result.decision_listings[2 * k], result.decision_listings[2 * k + 1])
            : std::pair(kUnlisted, kUnlisted);
    // The conversion waits on memory more than it computes: fetch what a decision a few
    // places ahead will touch first (its parts and its identifiers' str objects).
    decision_texts->prefetch(k + 2 * kPrefetchAhead, /*objects=*/false);
    decision_texts->prefetch(k + kPrefetchAhead, /*objects=*/true);
    if (k + kPrefetchAhead < result.decisions.size()) {
      const size_t ahead = k + kPrefetchAhead;
      const MatchDecision& m = result.decisions[ahead];
      prefetch_lines(m.rule_results.data(), m.rule_results.size());
      prefetch_lines(m.matched_on.data(), m.matched_on.size());
      if (decisions_listed) {
        b.prefetch_listed(result.decision_listings[2 * ahead]);
        b.prefetch_listed(result.decision_listings[2 * ahead + 1]);
      }
    }
    PyRef made = decision_to_py(b, result.decisions[k], k, listings, *decision_texts);
    release_decisions.converted(k + 1);  // its Python form replaces it
    return made;
  });
  release_decisions.close();
  decision_texts.reset();
  std::vector<uint32_t>().swap(result.decision_listings);
  if (!b.set(d, kDecisions, decisions)) return {};
  if (!b.set(d, kGoldenRecords, golden)) return {};
  release_decisions.finish();

  if (!b.set(d, kTelemetry, telemetry_to_py(b, result.telemetry))) return {};
  if (!b.set(d, kTrainedFsParams, result.trained_fs_params
                                      ? Builder::fresh_text(*result.trained_fs_params)
                                      : PyRef::borrow(Py_None))) {
    return {};
  }
  return dict;
}

}  // namespace vintrel_native
