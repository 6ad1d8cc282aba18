// The Python form of a reconcile result, built straight from the typed result: a dict with
// the keys "clusters", "decisions", "golden_records", "telemetry" and "trained_fs_params",
// every dict's keys in ascending byte order, floats that are not finite as None, counts as
// int. Runs with the interpreter lock held.
#pragma once

#include "python/py_ref.h"

#include <chrono>
#include <optional>
#include <span>
#include <vector>

#include "base/cancel.h"
#include "python/bridge/reconcile_driver.h"
#include "python/helper_threads.h"
#include "python/interrupt.h"
#include "python/result_builder.h"

namespace vintrel_native {

// The numbering of a result's decisions' texts (DecisionTexts) on a thread of its own, from as
// soon as the decisions exist: it runs while the driver clusters (one worker may be busy for
// seconds with a dense component) and while the clusters and golden records are converted,
// and the conversion waits for it only before the decisions. Stopped and waited for when it
// goes, so it must go before the decisions.
class TextNumbering {
 public:
  explicit TextNumbering(std::span<const osmira_core::engine::types::MatchDecision> decisions)
      : thread_([this, decisions] { texts_.emplace(decisions, stop_); }, !decisions.empty()) {}
  ~TextNumbering() { stop_.raise(); }  // the thread is joined next
  TextNumbering(const TextNumbering&) = delete;
  TextNumbering& operator=(const TextNumbering&) = delete;

  // Waits up to `timeout`; true once the texts are numbered (rethrows what the numbering threw).
  bool wait_for(std::chrono::milliseconds timeout) {
    if (!thread_.wait_for(timeout)) return false;
    thread_.join();
    return true;
  }
  // The numbered texts, once wait_for() returned true.
  DecisionTexts& texts() { return *texts_; }
  // Makes the numbering stop at its next decision.
  void stop() { stop_.raise(); }

 private:
  osmira_base::CancelFlag stop_;
  std::optional<DecisionTexts> texts_;
  HelperThread thread_;  // last: started once the rest exists, joined first
};

// Consumes `result`: each part is released as soon as its Python form exists, so the C++
// and the Python form of the whole result never coexist. `numbering`: of the result's
// decisions. `pacer` is stepped at every item.
// The result's containers join the host's collector at the end (OutOfCollector::hand_back),
// in its oldest generation when `oldest` is given. Empty with the host's exception set on failure (MemoryError
// when an allocation fails, or what made the pacer stop); then what has been built is handed
// to `left` (lists of small containers, some partly filled) rather than freed, and what has
// not been converted stays in `result`, so that the caller may free both after the call.
PyRef reconcile_result_to_py(vintrel_bridge::ReconcileResult&& result, TextNumbering& numbering,
                             LockPacer& pacer, const OldestGeneration* oldest,
                             std::vector<PyRef>& left);

}  // namespace vintrel_native
