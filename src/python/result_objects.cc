#include "python/result_objects.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "python/bridge/tuning.h"
#include "python/helper_threads.h"
#include "python/result_builder.h"

namespace vintrel_native {
namespace {

using osmira_core::engine::types::MatchDecision;
namespace tuning = vintrel_bridge::tuning;

// A list of `items` converted by `make(k)`, each item released (ReleaseBehind) as soon as its
// Python form exists; `items` is empty when this returns a list. When the list is not
// finished, the items not converted yet stay in `items` (the first ones are left empty), for
// the caller to release after the call, and the partial list goes to `out`'s leftovers.
template <typename T, typename Make>
PyRef list_releasing(std::vector<T>& items, LockPacer& pacer, OutOfCollector& out,
                     Make&& make) {
  const bool many = items.size() >= tuning::kHelperBatch;
  std::optional<ReleaseBehind<T>> release(std::in_place, items);
  PyRef list = list_of(
      items.size(),
      [&](size_t k) {
        if (!pacer.step()) return PyRef();
        PyRef made = make(k);
        release->converted(k + 1);
        return made;
      },
      &out);
  if (!list) {
    release->keep_the_rest();
    release.reset();  // the helper ends with the batch it has
  } else if (many) {
    pacer.without_lock([&] { release.reset(); });  // the last items
  } else {
    release.reset();
  }
  return list;
}

// Decision `k`, after fetching what a decision a few places ahead will touch first (its
// parts, its texts' slots and objects, its identifiers' str objects): the conversion waits
// on memory more than it computes.
PyRef decision_fetching_ahead(Builder& b, const vintrel_bridge::ReconcileResult& result,
                              size_t k, DecisionTexts& texts, LastDecision& last) {
  constexpr size_t kAhead = tuning::kPrefetchAhead;
  const std::vector<MatchDecision>& decisions = result.decisions;
  const std::vector<uint32_t>& listings = result.decision_listings;
  const bool listed = listings.size() == 2 * decisions.size();
  texts.prefetch(k + 2 * kAhead, /*objects=*/false);
  texts.prefetch(k + kAhead, /*objects=*/true);
  if (k + kAhead < decisions.size()) {
    const MatchDecision& m = decisions[k + kAhead];
    prefetch_lines(m.rule_results.data(), m.rule_results.size());
    prefetch_lines(m.matched_on.data(), m.matched_on.size());
    if (listed) {
      b.prefetch_listed(listings[2 * (k + kAhead)]);
      b.prefetch_listed(listings[2 * (k + kAhead) + 1]);
    }
  }
  return decision_to_py(b, decisions[k], k,
                        listed ? std::pair(listings[2 * k], listings[2 * k + 1])
                               : std::pair(result.kUnlisted, result.kUnlisted),
                        texts, last);
}

}  // namespace

// The parts are converted in an order that keeps the process's peak at about the finished
// result: clusters first (they make every identifier's str, which the decisions share), then
// the golden records and last the decisions (the largest part), each part's C++ form
// released while it is converted.
PyRef reconcile_result_to_py(vintrel_bridge::ReconcileResult&& result, TextNumbering& numbering,
                             LockPacer& pacer, const OldestGeneration* oldest,
                             std::vector<PyRef>& left) {
  Builder b;
  if (!b.init()) return {};
  OutOfCollector& out = b.out_of_collector();
  // Kept out of the collector: the three lists of the parts, a list per cluster, and per
  // decision its dict and its two lists.
  out.reserve(3 + result.clusters.size() + 3 * result.decisions.size());
  PyRef clusters;
  PyRef golden;
  PyRef decisions;
  // A stopped or failed conversion: the numbering stops at its next decision instead of
  // being waited for to its end, and what has been built goes to `left`.
  const auto stopped = [&] {
    numbering.stop();
    out.leave(std::move(clusters));
    out.leave(std::move(golden));
    out.leave(std::move(decisions));
    left = out.take_leftovers();
    return PyRef();
  };

  clusters = clusters_to_py(b, result.clusters, result.first_listing, pacer);
  if (!clusters) return stopped();
  std::vector<osmira_core::engine::Cluster>().swap(result.clusters);
  std::vector<uint32_t>().swap(result.first_listing);

  b.reserve_texts(4 * result.golden_records.size());  // a few short values each
  LastNames names;
  golden = list_releasing(result.golden_records, pacer, out, [&](size_t k) {
    return golden_record_to_py(b, result.golden_records[k], names);
  });
  if (!golden) return stopped();

  // The numbering may take longer than what came before (50-80 ms of 950,000 decisions): the
  // signal handlers run while it is waited for.
  const bool numbered =
      pacer.wait_without_lock([&] { return numbering.wait_for(std::chrono::milliseconds(10)); });
  if (!numbered) return stopped();
  LastDecision last;
  decisions = list_releasing(result.decisions, pacer, out, [&](size_t k) {
    return decision_fetching_ahead(b, result, k, numbering.texts(), last);
  });
  if (!decisions || !out.hand_back(pacer, oldest)) return stopped();

  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !b.set(dict.get(), kClusters, clusters) ||
      !b.set(dict.get(), kDecisions, decisions) ||
      !b.set(dict.get(), kGoldenRecords, golden) ||
      !b.set(dict.get(), kTelemetry, telemetry_to_py(b, result.telemetry)) ||
      !b.set(dict.get(), kTrainedFsParams, result.trained_fs_params
                                               ? Builder::fresh_text(*result.trained_fs_params)
                                               : PyRef::borrow(Py_None))) {
    return stopped();
  }
  return dict;
}

}  // namespace vintrel_native
