#include "python/result_objects.h"

#include <malloc.h>

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/uuid.h"
#include "core/engine/types.h"

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

// Texts that repeat across the result (rule names, decision texts, matched_on names,
// blocking keys, explanations, golden-record field names) are created once and shared; a
// cache bounded in entries and text length keeps a result of all-distinct texts from
// doubling its memory here.
constexpr size_t kMaxCachedTexts = 1 << 16;
constexpr size_t kMaxCachedTextBytes = 256;
// Golden-record values up to this length go through the same cache.
constexpr size_t kSharedValueBytes = 16;
// Floats repeat too (rule weights, exact scores 0 and 1, thresholds).
constexpr size_t kMaxCachedFloats = 1 << 16;

class Builder {
 public:
  bool init() {
    for (size_t k = 0; k < kKeyCount; ++k) {
      keys_[k] = PyRef::steal(PyUnicode_InternFromString(kKeyTexts[k]));
      if (!keys_[k]) return false;
    }
    return true;
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
    ids_.emplace(id, PyRef::borrow(made.get()));
    return made;
  }

  void reserve_ids(size_t count) { ids_.reserve(count); }

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
  boost::unordered_flat_map<std::string, PyRef, osmira_core::engine::types::StringHash,
                              std::equal_to<>>
      texts_;
  boost::unordered_flat_map<Uuid, PyRef, boost::hash<Uuid>> ids_;
  boost::unordered_flat_map<uint64_t, PyRef> floats_;
};

// The engine's result is freed piece by piece as its Python form is built, but the host's
// small objects come from memory mappings of their own, not from the heap those pieces go
// back to: unless the freed heap is handed back to the system as the conversion proceeds, the
// process holds both full copies of the result at its end. A pass that hands it back walks
// every free chunk of the heap (tens of milliseconds on the 2 GB heap of a million records,
// where a pass every 16,384 items cost 4.5 s in all), so a list is converted in a few steps,
// each followed by one pass: at most kHeapReturnsPerList passes, and none for a list shorter
// than kMinItemsPerHeapReturn.
constexpr size_t kHeapReturnsPerList = 8;
constexpr size_t kMinItemsPerHeapReturn = size_t{1} << 14;

size_t items_per_heap_return(size_t count) {
  return std::max(kMinItemsPerHeapReturn, (count + kHeapReturnsPerList - 1) / kHeapReturnsPerList);
}

void return_freed_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

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

// The text last made for one rule position: consecutive decisions mostly repeat a rule's
// name and often its explanation, which then costs one comparison instead of a hash look-up.
struct LastText {
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

struct RuleMemo {
  LastText name;
  LastText explanation;
};

PyRef rule_result_to_py(Builder& b, const RuleResult& r, RuleMemo& memo) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  if (!b.set(d, kExplanation, memo.explanation.get(b, r.explanation)) ||
      !b.set(d, kMatched, Builder::boolean(r.matched)) ||
      !b.set(d, kRuleName, memo.name.get(b, r.rule_name)) ||
      !b.set(d, kScore, b.number(r.score)) ||
      !b.set(d, kWeight, b.number(r.weight))) {
    return {};
  }
  return dict;
}

PyRef decision_to_py(Builder& b, const MatchDecision& m, std::vector<RuleMemo>& memos) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  if (!b.set(d, kBlockingKey, m.blocking_key ? b.text(*m.blocking_key) : PyRef::borrow(Py_None)) ||
      !b.set(d, kConfidence, b.number(m.confidence)) ||
      !b.set(d, kDecision, b.text(osmira_core::engine::types::decision_json_text(m.decision))) ||
      !b.set(d, kEntityAId, b.id(m.entity_a_id)) || !b.set(d, kEntityBId, b.id(m.entity_b_id))) {
    return {};
  }
  PyRef matched_on =
      list_of(m.matched_on.size(), [&](size_t i) { return b.text(m.matched_on[i]); });
  if (!b.set(d, kMatchedOn, matched_on)) return {};
  if (m.posterior_probability &&
      !b.set(d, kPosteriorProbability, b.number(*m.posterior_probability))) {
    return {};
  }
  if (memos.size() < m.rule_results.size()) memos.resize(m.rule_results.size());
  PyRef rules = list_of(m.rule_results.size(), [&](size_t i) {
    return rule_result_to_py(b, m.rule_results[i], memos[i]);
  });
  if (!b.set(d, kRuleResults, rules)) return {};
  if (!b.set(d, kTemporalAdjustment, m.temporal_adjustment ? b.number(*m.temporal_adjustment)
                                                           : PyRef::borrow(Py_None))) {
    return {};
  }
  return dict;
}

PyRef golden_record_to_py(Builder& b, const osmira_core::engine::GoldenRecord& golden) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  // The record's map iterates in ascending byte order of the field names.
  for (const auto& [field, value] : golden) {
    PyRef name = b.text(field);
    if (!name) return {};
    // Short values (member counts, names, places, dates, codes) repeat across clusters and
    // are shared; longer ones are mostly distinct.
    PyRef text = value.size() <= kSharedValueBytes ? b.text(value) : Builder::fresh_text(value);
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
  // What the engine and the driver freed before the conversion (records, per-record
  // preparation, blocks) goes back first, so that the Python objects do not come on top.
  return_freed_heap();
  Builder b;
  if (!b.init()) return {};
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();

  // Clusters first: they list every identifier once, so each identifier's text is made here
  // and shared by the decisions that name it.
  size_t listed = 0;
  for (const auto& cluster : result.clusters) listed += cluster.size();
  b.reserve_ids(listed);
  PyRef clusters = list_of(result.clusters.size(), [&](size_t k) {
    const auto& cluster = result.clusters[k];
    return list_of(cluster.size(), [&](size_t i) { return b.id(cluster[i]); });
  });
  std::vector<osmira_core::engine::Cluster>().swap(result.clusters);
  if (!b.set(d, kClusters, clusters)) return {};

  std::vector<RuleMemo> memos;
  const size_t decision_step = items_per_heap_return(result.decisions.size());
  PyRef decisions = list_of(result.decisions.size(), [&](size_t k) {
    PyRef made = decision_to_py(b, result.decisions[k], memos);
    result.decisions[k] = MatchDecision();  // its Python form replaces it
    if ((k + 1) % decision_step == 0) return_freed_heap();
    return made;
  });
  std::vector<MatchDecision>().swap(result.decisions);
  if (!b.set(d, kDecisions, decisions)) return {};

  const size_t golden_step = items_per_heap_return(result.golden_records.size());
  PyRef golden = list_of(result.golden_records.size(), [&](size_t k) {
    PyRef made = golden_record_to_py(b, result.golden_records[k]);
    result.golden_records[k] = {};
    if ((k + 1) % golden_step == 0) return_freed_heap();
    return made;
  });
  std::vector<osmira_core::engine::GoldenRecord>().swap(result.golden_records);
  if (!b.set(d, kGoldenRecords, golden)) return {};

  if (!b.set(d, kTelemetry, telemetry_to_py(b, result.telemetry))) return {};
  if (!b.set(d, kTrainedFsParams, result.trained_fs_params
                                      ? Builder::fresh_text(*result.trained_fs_params)
                                      : PyRef::borrow(Py_None))) {
    return {};
  }
  return dict;
}

}  // namespace vintrel_native
