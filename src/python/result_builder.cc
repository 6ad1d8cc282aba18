#include "python/result_builder.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <optional>

#include "python/bridge/tuning.h"

namespace vintrel_native {
namespace {

using osmira_base::Uuid;
using osmira_core::engine::types::MatchDecision;
using osmira_core::engine::types::RuleResult;
namespace tuning = vintrel_bridge::tuning;

constexpr std::array<const char*, kKeyCount> kKeyTexts = {
    "avg_score", "blocking_groups", "blocking_key", "clusters", "confidence", "decision",
    "decisions", "decisions_by_type", "entity_a_id", "entity_b_id", "evaluated", "explanation",
    "golden_records", "matched", "matched_on", "merge_threshold", "oversized_blocking_groups",
    "pairs_evaluated", "posterior_probability", "rule_name", "rule_results", "rule_telemetry",
    "score", "scoring_method", "skip_reason", "skipped", "telemetry", "temporal_adjustment",
    "trained_fs_params", "weight"};

constexpr uint32_t kUnlisted = vintrel_bridge::ReconcileResult::kUnlisted;

// What a value of a decision stands for, for FromLast: None, a float by its bits (every float
// that is not finite becomes None), a text by its number, a flag or verdict by its value.
constexpr uint64_t kNone = ~uint64_t{0};  // not the bits of a finite float, nor a text number
uint64_t float_key(double value) {
  return std::isfinite(value) ? std::bit_cast<uint64_t>(value) : kNone;
}
uint64_t float_key(const std::optional<double>& value) { return value ? float_key(*value) : kNone; }

// `item` points at the result's name, then its explanation; it is moved past both.
PyRef rule_result_to_py(Builder& b, const RuleResult& r, DecisionTexts& texts,
                        const uint32_t*& item, FromLast<5>& last) {
  const uint32_t name = item[0], explanation = item[1];
  item += 2;
  PyRef dict = last.start(b.rule_result_shape());
  if (!dict) return {};
  PyObject* d = dict.get();
  if ((last.differs(0, explanation) &&
       !b.set(d, kExplanation, texts.get(explanation, r.explanation))) ||
      (last.differs(1, r.matched) && !b.set(d, kMatched, Builder::boolean(r.matched))) ||
      (last.differs(2, name) && !b.set(d, kRuleName, texts.get(name, r.rule_name))) ||
      (last.differs(3, float_key(r.score)) && !b.set(d, kScore, b.number(r.score))) ||
      (last.differs(4, float_key(r.weight)) && !b.set(d, kWeight, b.number(r.weight)))) {
    return {};
  }
  last.done(d);
  return dict;
}

}  // namespace

bool OutOfCollector::hand_back(LockPacer& pacer, const OldestGeneration* oldest) {
  // Each container's collector header is written: fetched well ahead, as they are spread
  // over the whole result (16 ahead: 30 ns per decision, 64: 17 ns).
  constexpr size_t kAhead = 64;
  for (size_t i = kept_.size(); i-- > 0;) {
    if (i >= kAhead) {
      __builtin_prefetch(reinterpret_cast<const char*>(kept_[i - kAhead]) - 2 * sizeof(void*), 1);
    }
    if (oldest == nullptr || oldest->collecting()) {
      PyObject_GC_Track(kept_[i]);
    } else {
      oldest->link(kept_[i]);
    }
    if (oldest != nullptr && !pacer.step()) return false;
  }
  std::vector<PyObject*>().swap(kept_);
  return true;
}

bool Builder::init() {
  for (size_t k = 0; k < kKeyCount; ++k) {
    keys_[k] = PyRef::steal(PyUnicode_InternFromString(kKeyTexts[k]));
    if (!keys_[k]) return false;
  }
  for (size_t d = 0; d < decision_texts_.size(); ++d) {
    decision_texts_[d] = fresh_text(osmira_core::engine::types::decision_json_text(
        static_cast<osmira_core::engine::types::Decision>(d)));
    if (!decision_texts_[d]) return false;
  }
  static constexpr Key kDecisionKeys[] = {
      kBlockingKey, kConfidence,           kDecision,    kEntityAId,         kEntityBId,
      kMatchedOn,   kPosteriorProbability, kRuleResults, kTemporalAdjustment};
  static constexpr Key kRuleResultKeys[] = {kExplanation, kMatched, kRuleName, kScore, kWeight};
  decision_shapes_[0] = shape_of(kDecisionKeys, kPosteriorProbability);
  decision_shapes_[1] = shape_of(kDecisionKeys);
  rule_result_shape_ = shape_of(kRuleResultKeys);
  return decision_shapes_[0] && decision_shapes_[1] && rule_result_shape_;
}

PyRef Builder::shape_of(std::span<const Key> keys, Key left_out) const {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  for (const Key k : keys) {
    if (k != left_out && !set(dict.get(), k, PyRef::borrow(Py_None))) return {};
  }
  return dict;
}

// Texts longer than kMaxCachedTextBytes, and new texts once the cache is full, are not kept.
PyRef Builder::text(std::string_view text) {
  if (text.size() > tuning::kMaxCachedTextBytes) return fresh_text(text);
  auto it = texts_.find(text);
  if (it != texts_.end()) return PyRef::borrow(it->second.get());
  PyRef made = fresh_text(text);
  if (!made || texts_.size() >= tuning::kMaxCachedEntries) return made;
  texts_.emplace(std::string(text), PyRef::borrow(made.get()));
  return made;
}

PyRef Builder::id(const Uuid& id) {
  auto it = ids_.find(id);
  if (it != ids_.end()) return PyRef::borrow(it->second.get());
  PyRef made = id_text(id);
  if (made) ids_.emplace(id, PyRef::borrow(made.get()));
  return made;
}

PyRef Builder::listed_id(const Uuid& id, uint32_t first, size_t listing) {
  // The driver lists a record's identifier first where `first` points, in this call's order.
  assert(listing == listed_.size());
  assert(first == kUnlisted || first <= listing);
  PyRef made = first == kUnlisted   ? this->id(id)
               : first == listing   ? id_text(id)
                                    : PyRef::borrow(listed_[first]);
  listed_.push_back(made.get());  // the cluster lists keep it alive
  return made;
}

PyRef Builder::decision_id(const Uuid& id, uint32_t first) {
  if (first == kUnlisted || first >= listed_.size()) return this->id(id);
  return PyRef::borrow(listed_[first]);
}

PyRef Builder::number(double value) {
  if (!std::isfinite(value)) return PyRef::borrow(Py_None);
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  auto it = floats_.find(bits);
  if (it != floats_.end()) return PyRef::borrow(it->second.get());
  PyRef made = PyRef::steal(PyFloat_FromDouble(value));
  if (made && floats_.size() < tuning::kMaxCachedEntries) {
    floats_.emplace(bits, PyRef::borrow(made.get()));
  }
  return made;
}

PyRef Builder::id_text(const Uuid& id) {
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

// A decision's texts in the order decision_to_py meets them: its blocking key (when it has
// one), its matched_on names, then each rule result's name and explanation.
DecisionTexts::DecisionTexts(std::span<const MatchDecision> decisions,
                             const osmira_base::CancelFlag& stop)
    : offsets_(decisions.size() + 1, 0) {
  for (size_t k = 0; k < decisions.size(); ++k) {
    const MatchDecision& m = decisions[k];
    offsets_[k + 1] = offsets_[k] + (m.blocking_key ? 1 : 0) + m.matched_on.size() +
                      2 * m.rule_results.size();
  }
  constexpr size_t kAhead = 2 * tuning::kPrefetchAhead;  // the numbering is quicker per decision
  numbers_ = vintrel_bridge::number_texts(offsets_, [&](size_t k, auto&& emit) {
    osmira_base::stop_if_cancelled(&stop);
    if (k + 2 * kAhead < decisions.size()) {  // the parts of one decision, the texts of another
      const MatchDecision& parts = decisions[k + 2 * kAhead];
      prefetch_lines(parts.rule_results.data(), parts.rule_results.size());
      const MatchDecision& texts = decisions[k + kAhead];
      if (texts.blocking_key) __builtin_prefetch(texts.blocking_key->data());
      for (const RuleResult& r : texts.rule_results) __builtin_prefetch(r.explanation.data());
    }
    const MatchDecision& m = decisions[k];
    if (m.blocking_key) emit(std::string_view(*m.blocking_key));
    for (const std::string& name : m.matched_on) emit(std::string_view(name));
    for (const RuleResult& r : m.rule_results) {
      emit(std::string_view(r.rule_name));
      emit(std::string_view(r.explanation));
    }
  });
  made_.resize(numbers_.distinct);
}

PyRef clusters_to_py(Builder& b, const std::vector<osmira_core::engine::Cluster>& clusters,
                     const std::vector<uint32_t>& first_listing, LockPacer& pacer) {
  size_t listed = 0;
  for (const auto& cluster : clusters) listed += cluster.size();
  const bool by_listing = first_listing.size() == listed;
  b.reserve_listings(listed);
  size_t listing = 0;
  OutOfCollector* const out = &b.out_of_collector();
  return list_of(
      clusters.size(),
      [&](size_t k) {
        const auto& cluster = clusters[k];
        return list_of(
            cluster.size(),
            [&](size_t i) {
              if (!pacer.step()) return PyRef();
              const uint32_t first = by_listing ? first_listing[listing] : kUnlisted;
              return b.listed_id(cluster[i], first, listing++);
            },
            out);
      },
      out);
}

// Fields in the record's (ascending byte) order. Golden-record texts are not numbered
// beforehand: they are mostly distinct, and numbering them would take memory of the order of
// the records' own while it runs.
PyRef golden_record_to_py(Builder& b, const osmira_core::engine::GoldenRecord& golden,
                          LastNames& names) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  if (names.size() < golden.size()) names.resize(golden.size());
  size_t position = 0;
  for (const auto& [field, value] : golden) {
    auto& [last_text, last_name] = names[position++];
    if (!last_name || last_text != field) {
      last_name = b.text(field);
      if (!last_name) return {};
      last_text.assign(field);
    }
    // Short values (member counts, names, places, dates, codes) repeat across clusters and
    // are shared; longer ones are mostly distinct, and so is every cluster's identifier.
    PyRef text =
        value.size() <= tuning::kSharedValueBytes && field != vintrel_bridge::kClusterIdField
            ? b.text(value)
            : Builder::fresh_text(value);
    if (!text || PyDict_SetItem(dict.get(), last_name.get(), text.get()) < 0) return {};
  }
  return dict;
}

PyRef decision_to_py(Builder& b, const MatchDecision& m, size_t k,
                     std::pair<uint32_t, uint32_t> listings, DecisionTexts& texts,
                     LastDecision& last) {
  const uint32_t* item = texts.items_of(k);
  const bool posterior = m.posterior_probability.has_value();
  FromLast<5>& from = last.decision[posterior ? 1 : 0];
  PyRef dict = from.start(b.decision_shape(posterior));
  if (!dict) return {};
  PyObject* d = dict.get();
  const uint64_t blocking = m.blocking_key ? *item++ : kNone;
  if ((from.differs(0, blocking) &&
       !b.set(d, kBlockingKey, m.blocking_key
                                   ? texts.get(static_cast<uint32_t>(blocking), *m.blocking_key)
                                   : PyRef::borrow(Py_None))) ||
      (from.differs(1, float_key(m.confidence)) &&
       !b.set(d, kConfidence, b.number(m.confidence))) ||
      (from.differs(2, static_cast<uint64_t>(m.decision)) &&
       !b.set(d, kDecision, b.decision_text(m.decision))) ||
      !b.set(d, kEntityAId, b.decision_id(m.entity_a_id, listings.first)) ||
      !b.set(d, kEntityBId, b.decision_id(m.entity_b_id, listings.second))) {
    return {};
  }
  OutOfCollector* const out = &b.out_of_collector();
  const size_t place = out->kept();  // the dict's, in front of its lists
  PyRef matched_on = list_of(
      m.matched_on.size(), [&](size_t i) { return texts.get(*item++, m.matched_on[i]); }, out);
  if (!b.set(d, kMatchedOn, matched_on)) return {};
  if (posterior && from.differs(3, float_key(m.posterior_probability)) &&
      !b.set(d, kPosteriorProbability, b.number(*m.posterior_probability))) {
    return {};
  }
  if (last.rule_results.size() < m.rule_results.size()) {
    last.rule_results.resize(m.rule_results.size());
  }
  PyRef rules = list_of(
      m.rule_results.size(),
      [&](size_t i) {
        return rule_result_to_py(b, m.rule_results[i], texts, item, last.rule_results[i]);
      },
      out);
  if (!b.set(d, kRuleResults, rules)) return {};
  if (from.differs(4, float_key(m.temporal_adjustment)) &&
      !b.set(d, kTemporalAdjustment, m.temporal_adjustment ? b.number(*m.temporal_adjustment)
                                                           : PyRef::borrow(Py_None))) {
    return {};
  }
  out->keep_out(d, place);  // tracked by its lists
  from.done(d);
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

}  // namespace vintrel_native
