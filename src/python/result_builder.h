// Building the Python objects of a reconcile result, item by item, with the interpreter lock
// held: fixed keys created once, repeated texts, identifiers and floats shared within the
// call. What is converted when, and what is freed meanwhile, is sequenced by result_objects.cc.
#pragma once

#include "python/py_ref.h"

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "base/keyed_hash.h"
#include "base/uuid.h"
#include "core/engine/types.h"
#include "python/bridge/reconcile_driver.h"
#include "python/bridge/text_numbers.h"
#include "python/bridge/tuning.h"
#include "python/interrupt.h"
#include "python/oldest_generation.h"

namespace vintrel_native {

// Starts fetching the cache lines of `count` items from `items` on.
template <typename T>
void prefetch_lines(const T* items, size_t count) {
  const char* bytes = reinterpret_cast<const char*>(items);
  for (size_t at = 0; at < count * sizeof(T); at += 64) __builtin_prefetch(bytes + at);
}

// Every fixed dict key of the result.
enum Key : size_t {
  kAvgScore, kBlockingGroups, kBlockingKey, kClusters, kConfidence, kDecision, kDecisions,
  kDecisionsByType, kEntityAId, kEntityBId, kEvaluated, kExplanation, kGoldenRecords, kMatched,
  kMatchedOn, kMergeThreshold, kOversizedBlockingGroups, kPairsEvaluated,
  kPosteriorProbability, kRuleName, kRuleResults, kRuleTelemetry, kScore, kScoringMethod,
  kSkipReason, kSkipped, kTelemetry, kTemporalAdjustment, kTrainedFsParams, kWeight, kKeyCount
};

// The containers of a result being built, kept out of the host's cyclic collector until the
// result is complete. While the lock is offered, other threads run with the collector in
// place, and the containers they make start collections: a tracked partial result would be
// scanned by each of them (up to a third of a second for a large one). The result is acyclic,
// so nothing is lost meanwhile; dropped untracked, a container is freed as usual.
class OutOfCollector {
 public:
  void reserve(size_t count) { kept_.reserve(count); }
  // How many containers are kept out so far.
  size_t kept() const { return kept_.size(); }
  // Untracks `container` if it is tracked, remembering to track it again. A container is kept
  // out before the containers it holds (list_of keeps a list out before making its items);
  // one kept out after them goes in front of them, at `place` (kept() before they were made).
  void keep_out(PyObject* container, size_t place = SIZE_MAX) {
    if (PyObject_GC_IsTracked(container) == 0) return;
    // Before untracking: what is untracked is tracked again.
    kept_.insert(kept_.begin() + static_cast<std::ptrdiff_t>(std::min(place, kept_.size())),
                 container);
    PyObject_GC_UnTrack(container);
  }
  // Tracks every container kept out again, the last kept out first: a container joins the
  // collector after those it holds, so that none that a host thread can reach through the
  // collector while the lock is offered (gc.get_objects(), gc.get_referents()) is still out,
  // to be tracked by the host (a dict given a list) or freed (its holder emptied) before its
  // turn. Call once, with them all alive. Tracked in one pass they would all land in the youngest generation, its
  // count far over threshold (the collector is paused while the result is built), and the
  // next container any thread makes would start a collection over the whole result. With
  // `oldest`, they are linked into the oldest generation instead, where only the host's full
  // collections scan them, offering the lock about every 10 ms (`pacer`); should a collection
  // be under way when the lock comes back, the rest is tracked young. Without it the pass is
  // made in one go, never offering the lock: a collection halfway would scan what is tracked
  // already. False, with the exception set, when the pacer stopped the pass.
  bool hand_back(LockPacer& pacer, const OldestGeneration* oldest);

  // A container of the result that a stopped or failed conversion leaves, kept to be freed
  // by the caller (free_after_the_call); nothing when empty.
  void leave(PyRef container) {
    if (container) leftovers_.push_back(std::move(container));
  }
  std::vector<PyRef> take_leftovers() { return std::move(leftovers_); }

 private:
  std::vector<PyObject*> kept_;  // borrowed
  std::vector<PyRef> leftovers_;
};

class Builder {
 public:
  // Creates the keys (interned) and the decision texts; false with the host's exception set.
  bool init();

  // A new str (strict UTF-8) for text that is not expected to repeat.
  static PyRef fresh_text(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), std::ssize(text), nullptr));
  }
  // A str for text that may repeat: the same object for the same text within the call.
  PyRef text(std::string_view text);
  // The identifier's canonical text (lowercase, hyphenated), formed once per identifier.
  PyRef id(const osmira_base::Uuid& id);
  // The identifier at cluster listing `listing`, whose record's first listing is `first`
  // (kUnlisted: no record; then it is looked up like any other). Call in listing order from 0.
  PyRef listed_id(const osmira_base::Uuid& id, uint32_t first, size_t listing);
  // The identifier of a decision, by its first listing as the result gives it.
  PyRef decision_id(const osmira_base::Uuid& id, uint32_t first);
  // Starts fetching the str of the identifier at cluster listing `first`.
  void prefetch_listed(uint32_t first) const {
    if (first < listed_.size()) __builtin_prefetch(listed_[first], 1);
  }
  void reserve_listings(size_t count) { listed_.reserve(count); }
  // Room for `count` cached texts (at most what the cache takes), so that it does not grow
  // step by step while a large result is converted.
  void reserve_texts(size_t count) {
    texts_.reserve(std::min(count, vintrel_bridge::tuning::kMaxCachedEntries));
  }
  // A float, or None when it is not finite.
  PyRef number(double value);
  static PyRef count(uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }
  static PyRef boolean(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
  // A dict with the keys of a decision (with or without "posterior_probability") or of a
  // rule result, in ascending byte order, each holding None: copied (FromLast), it takes a
  // single allocation of its table, where keys set one by one into an empty dict grow it on
  // the way (a decision's twice).
  const PyRef& decision_shape(bool posterior) const { return decision_shapes_[posterior ? 1 : 0]; }
  const PyRef& rule_result_shape() const { return rule_result_shape_; }
  // "merge", "review" or "no_merge".
  PyRef decision_text(osmira_core::engine::types::Decision decision) const {
    return PyRef::borrow(decision_texts_[static_cast<size_t>(decision)].get());
  }
  // Stores `value` under a fixed key; false with the host's exception set when the value
  // could not be made or stored.
  bool set(PyObject* dict, Key k, const PyRef& value) const {
    return value && PyDict_SetItem(dict, keys_[k].get(), value.get()) == 0;
  }
  // The containers of the result built so far, out of the collector.
  OutOfCollector& out_of_collector() { return out_; }

 private:
  static PyRef id_text(const osmira_base::Uuid& id);
  // A dict with `keys` (in that order) but `left_out`, each holding None.
  PyRef shape_of(std::span<const Key> keys, Key left_out = kKeyCount) const;

  std::array<PyRef, kKeyCount> keys_;
  std::array<PyRef, 3> decision_texts_;  // by Decision
  std::array<PyRef, 2> decision_shapes_;  // without, with "posterior_probability"
  PyRef rule_result_shape_;
  // Texts and identifiers come from the records: both tables are keyed per process
  // (base/keyed_hash.h).
  boost::unordered_flat_map<std::string, PyRef, osmira_core::engine::types::StringHash,
                            std::equal_to<>>
      texts_;
  boost::unordered_flat_map<osmira_base::Uuid, PyRef, osmira_base::KeyedUuidHash> ids_;
  std::vector<PyObject*> listed_;  // per cluster listing, borrowed
  // Not keyed: the keys are the bits of scores the engine computes, which callers cannot set
  // one by one, and the table mixes them.
  boost::unordered_flat_map<uint64_t, PyRef> floats_;
  OutOfCollector out_;
};

// A list of `count` items, item i made by `make(i)` (a PyRef, empty on failure); kept out of
// the collector by `out` when given, from before its items are made, and then left to it
// when an item fails (partly filled).
template <typename Make>
PyRef list_of(size_t count, Make&& make, OutOfCollector* out = nullptr) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return {};
  if (out != nullptr) out->keep_out(list.get());
  for (size_t i = 0; i < count; ++i) {
    PyRef item = make(i);
    if (!item) {
      if (out != nullptr) out->leave(std::move(list));
      return {};
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
  }
  return list;
}

// The texts of the decisions, numbered (text_numbers.h) so that each is made once as a str,
// at the first item that holds it. The conversion walks the items in order, so that first
// item is the one being converted: its C++ text is still there even though earlier decisions
// have already been released.
class DecisionTexts {
 public:
  // Numbers the texts; plain C++, which runs without the interpreter lock. Throws
  // osmira_base::Cancelled at the next decision once `stop` is raised.
  DecisionTexts(std::span<const osmira_core::engine::types::MatchDecision> decisions,
                const osmira_base::CancelFlag& stop);

  // The numbers of decision k's texts, in the order decision_to_py meets them.
  const uint32_t* items_of(size_t k) const { return numbers_.of_item.data() + offsets_[k]; }
  // Starts fetching what converting decision `k` will touch: with `objects` the str objects
  // already made for its texts (their reference counts change), otherwise the slots that
  // hold them; fetching the slots a few decisions ahead lets the second fetch find its address.
  void prefetch(size_t k, bool objects) const {
    if (k + 1 >= offsets_.size()) return;
    for (size_t i = offsets_[k]; i < offsets_[k + 1]; ++i) {
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

// The dicts of one kind (decisions of one shape, rule results at one position) made one after
// the other: each starts as a copy of the last (PyDict_Copy: one allocation of its table,
// nothing inserted), and only the values that stand for something else are set. Neighbouring
// decisions mostly share their blocking key, verdict, adjustment, rule names, weights and
// many explanations and scores. The first starts as a copy of the kind's shape, and all its
// values are set.
template <size_t N>
class FromLast {
 public:
  // Starts the next dict; empty when the copy failed.
  PyRef start(const PyRef& shape) {
    fresh_ = !last_;
    return PyRef::steal(PyDict_Copy(fresh_ ? shape.get() : last_.get()));
  }
  // Whether value `f` of the dict started must be set, to a value standing for `what` (a
  // text's number, a float's bits, ...); noted for the next dict when it must.
  bool differs(size_t f, uint64_t what) {
    if (!fresh_ && what_[f] == what) return false;
    what_[f] = what;
    return true;
  }
  // The dict started, once its values are set: the next one starts from it.
  void done(PyObject* dict) { last_ = PyRef::borrow(dict); }

 private:
  PyRef last_;
  std::array<uint64_t, N> what_{};
  bool fresh_ = true;
};

// The dicts of the decisions made last, for decision_to_py.
struct LastDecision {
  std::array<FromLast<5>, 2> decision;  // without, with "posterior_probability"
  std::vector<FromLast<5>> rule_results;  // by position
};

// The field names last made for each position of a golden record: golden records mostly hold
// the same fields, which then costs one comparison instead of a hash look-up.
using LastNames = std::vector<std::pair<std::string, PyRef>>;

// The clusters' lists of identifiers: made first, since they list every identifier, each
// identifier's str is made at its record's first listing and shared by the decisions.
PyRef clusters_to_py(Builder& b, const std::vector<osmira_core::engine::Cluster>& clusters,
                     const std::vector<uint32_t>& first_listing, LockPacer& pacer);
PyRef golden_record_to_py(Builder& b, const osmira_core::engine::GoldenRecord& golden,
                          LastNames& names);
// Decision `k`; `listings`: the first cluster listings of entity a and entity b. `last`: of
// the decisions converted before, in order.
PyRef decision_to_py(Builder& b, const osmira_core::engine::types::MatchDecision& m, size_t k,
                     std::pair<uint32_t, uint32_t> listings, DecisionTexts& texts,
                     LastDecision& last);
PyRef telemetry_to_py(Builder& b,
                      const osmira_core::engine::observability::ReconciliationTelemetry& t);

}  // namespace vintrel_native
