// The reconcile drivers behind the Python functions `reconcile_local` and
// `reconcile_incremental`: from the input texts (spec YAML, entity JSON, existing clusters,
// trained Fellegi-Sunter parameters) to one result tree with the keys "clusters",
// "decisions", "golden_records", "telemetry" and "trained_fs_params".
//
// A call is split into three steps so that the Python layer can release the interpreter lock
// around exactly the engine's reconcile operation and nothing else:
//
//   1. `prepare_local` / `prepare_incremental` read and compile the spec, build the engine,
//      read every input, train (or install the given trained parameters) and write the
//      trained-parameter text. Each failure is a message prefixed with the stage that failed
//      ("Invalid spec YAML: ", "Invalid entities JSON: ", ...); inputs are read in a fixed
//      order, so the first bad input in that order is the one reported.
//   2. `reconcile` runs the engine's batch or incremental reconcile operation. It works only
//      on C++ values that the driver owns (copies of everything it needs from the inputs), so
//      it may run while the interpreter lock is released.
//   3. `finish` clusters the decisions, builds one golden record per cluster with its
//      canonical cluster identifier and member count, and assembles the result tree.
//
// A driver owns everything of its call (plan, engine, records, results) and is used by one
// thread at a time. Nothing is kept between calls.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/uuid.h"
#include "base/value.h"
#include "common/ir/plan.h"
#include "core/engine/clustering.h"
#include "core/engine/engine.h"
#include "core/engine/types.h"

namespace vintrel_bridge {

class ReconcileDriver {
 public:
  // Batch reconciliation of the records of `entities_json`.
  [[nodiscard]] static osmira_base::Result<ReconcileDriver> prepare_local(
      std::string_view yaml, std::string_view entities_json);

  // Incremental reconciliation: the existing records followed by the new ones, with the
  // existing clusters kept whole. When `trained_fs_params_json` is given (an empty text
  // counts as given) it replaces the engine's Fellegi-Sunter parameters and no training runs.
  [[nodiscard]] static osmira_base::Result<ReconcileDriver> prepare_incremental(
      std::string_view yaml, std::string_view new_entities_json,
      std::string_view existing_entities_json, std::string_view existing_clusters_json,
      std::optional<std::string_view> trained_fs_params_json);

  ReconcileDriver(ReconcileDriver&&) = default;
  ReconcileDriver& operator=(ReconcileDriver&&) = default;

  // The engine's reconcile operation over the working list (pair evaluation spread over the
  // worker pool). Reads only what the driver owns and touches no Python object, so it may run
  // without the interpreter lock. Call once, after a successful prepare.
  void reconcile();

  // Clusters, golden records and the result tree. Call once, after `reconcile`.
  osmira_base::Value finish();

  // The trained-parameter text as it will appear in the result (absent when the engine holds
  // no Fellegi-Sunter parameters).
  const std::optional<std::string>& trained_fs_params() const { return trained_fs_params_; }

 private:
  ReconcileDriver() = default;

  osmira_common::ir::IdentityPlan plan_;
  osmira_core::engine::ReconciliationEngine engine_;
  // The records the engine sees: for the incremental driver the existing records first.
  osmira_core::engine::types::RecordSet records_;
  bool incremental_ = false;
  osmira_core::engine::EntityIdSet existing_ids_;             // incremental only
  std::vector<osmira_core::engine::Cluster> existing_clusters_;  // incremental only
  std::optional<std::string> trained_fs_params_;
  std::optional<osmira_core::engine::ReconcileOutput> output_;  // set by reconcile()
};

// Reads the existing clusters: a JSON array of arrays of strings, nothing but white space
// after it. Strings that do not read as UUIDs are dropped without a message; a cluster keeps
// its place even when all of its strings were dropped. The error is the JSON reader's
// message with its " at line L column C" suffix.
[[nodiscard]] osmira_base::Result<std::vector<osmira_core::engine::Cluster>> read_existing_clusters(
    std::string_view text);

// The canonical identifier of a cluster with these member records: "vtl_" and the first 12
// lowercase hexadecimal digits of SHA-256 over the members' "source_name:external_id" texts,
// sorted in byte order and fed one after another with no separator. It depends only on those
// texts, not on identifiers or member order.
std::string canonical_cluster_id(
    std::span<const osmira_core::engine::types::NormalizedEntity> members);

}  // namespace vintrel_bridge
