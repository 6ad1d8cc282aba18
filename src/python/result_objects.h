// The Python form of a reconcile result, built straight from the typed result: a dict with
// the keys "clusters", "decisions", "golden_records", "telemetry" and "trained_fs_params",
// every dict's keys in ascending byte order, floats that are not finite as None, counts as
// int. Runs with the interpreter lock held.
#pragma once

#include "python/py_ref.h"

#include <vector>

#include "python/bridge/reconcile_driver.h"
#include "python/interrupt.h"
#include "python/result_builder.h"

namespace vintrel_native {

// Consumes `result`: each part is released as soon as its Python form exists, so the C++
// and the Python form of the whole result never coexist. `texts`: its decisions' texts,
// numbered beforehand. `pacer` is stepped at every item.
// The result's containers join the host's collector at the end (OutOfCollector::hand_back),
// through `host` when given. Empty with the host's exception set on failure (MemoryError
// when an allocation fails, or what made the pacer stop); then what has been built is handed
// to `left` (lists of small containers, some partly filled) rather than freed, and what has
// not been converted stays in `result`, so that the caller may free both after the call.
PyRef reconcile_result_to_py(vintrel_bridge::ReconcileResult&& result, DecisionTexts& texts,
                             LockPacer& pacer, const HostCollector* host,
                             std::vector<PyRef>& left);

}  // namespace vintrel_native
