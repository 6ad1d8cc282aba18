// The reconcile drivers behind the Python functions `reconcile_local` and
// `reconcile_incremental`: from the input texts (spec YAML, entity JSON, existing clusters,
// trained Fellegi-Sunter parameters) to the typed result: clusters, decisions, golden
// records, telemetry and the trained-parameter text. The Python layer turns that result into
// Python objects; nothing here touches the interpreter, so every step may run while the
// interpreter lock is released.
//
// A call has three steps:
//
//   1. `prepare_local` / `prepare_incremental` read and compile the spec, build the engine,
//      read every input, train (or install the given trained parameters) and write the
//      trained-parameter text. Each failure is a message prefixed with the stage that failed
//      ("Invalid spec YAML: ", "Invalid entities JSON: ", ...); inputs are read in a fixed
//      order, so the first bad input in that order is the one reported. Before anything
//      else they make sure the worker pool's threads exist with their thread-local storage,
//      so that running out of memory later in the call is a std::bad_alloc and never a
//      process abort (NoRoomForWorkers, a std::bad_alloc, when even that has no room).
//      Training stops with osmira_base::Cancelled soon after the call's cancel flag is raised;
//      the exception carries the driver's state (Cancelled::left), for the catcher to destroy.
//   2. `reconcile` runs the engine's batch or incremental reconcile operation (pair
//      evaluation spread over the worker pool).
//   3. `finish` clusters the decisions, builds one golden record per cluster with its
//      canonical cluster identifier and member count (clusters spread over the worker pool,
//      results in cluster order), releases the engine, the plan and the records, and hands
//      the result over.
//
// Within one call the last record carrying an identifier stands for it everywhere
// (`osmira_core::engine::RecordIndex`): training and the engine's matching look only at it,
// clustering lists the identifier once, and the golden record is built from it.
//
// A driver owns everything of its call and is used by one thread at a time. Nothing is kept
// between calls. The log events of the compiler, the engine and training go to the `events`
// given to `prepare_*` (owned by the caller, which keeps it alive for the driver's life and
// delivers its events: also those made before a failed prepare).
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/cancel.h"
#include "base/result.h"
#include "base/uuid.h"
#include "base/value.h"
#include "common/ir/plan.h"
#include "core/engine/clustering.h"
#include "core/engine/engine.h"
#include "core/engine/log.h"
#include "core/engine/observability.h"
#include "core/engine/survivorship.h"
#include "core/engine/types.h"

namespace vintrel_bridge {

// The most records one call takes (record positions are 32-bit).
inline constexpr uint64_t kMaxRecords = UINT32_MAX;

// Refuses more than kMaxRecords records with a message for the caller.
[[nodiscard]] osmira_base::Status check_record_count(uint64_t count);

// The longest field value one call takes. The engine holds a prepared value's length in 32
// bits; a quarter of that leaves room for normalizers that lengthen a text (case mapping,
// decomposition).
inline constexpr uint64_t kMaxValueBytes = uint64_t{1} << 30;

// Refuses a record set holding a field value longer than kMaxValueBytes, naming the field.
[[nodiscard]] osmira_base::Status check_value_sizes(
    std::span<const osmira_core::engine::types::NormalizedEntity> records);

// The golden-record fields every cluster's record carries, in place of any data fields of
// those names: the canonical cluster identifier and the member count.
inline constexpr std::string_view kClusterIdField = "vintrel_id";
inline constexpr std::string_view kMemberCountField = "member_count";

// The result of one call, in the order and form the Python result shows it.
struct ReconcileResult {
  std::vector<osmira_core::engine::Cluster> clusters;
  // One per cluster, in cluster order: the survivorship fields with kClusterIdField and
  // kMemberCountField in place of any data fields of those names.
  std::vector<osmira_core::engine::GoldenRecord> golden_records;
  std::vector<osmira_core::engine::types::MatchDecision> decisions;
  osmira_core::engine::observability::ReconciliationTelemetry telemetry;
  std::optional<std::string> trained_fs_params;

  // Where the identifiers of the result are first listed, so that the Python form makes one
  // text per identifier without looking each mention up. Listings number the identifiers of
  // all clusters in order. `first_listing`: per listing, the first listing of the same
  // record's identifier (itself when it is the first). `decision_listings`: per decision, the
  // first listings of entity a and entity b. kUnlisted where the identifier has no record
  // or no listing.
  static constexpr uint32_t kUnlisted = UINT32_MAX;
  std::vector<uint32_t> first_listing;
  std::vector<uint32_t> decision_listings;
};

// The result as a document tree with the keys "clusters", "decisions", "golden_records",
// "telemetry" and "trained_fs_params" (ascending byte order at every level): the reference
// form of the Python result, built from the engine's own tree writers.
osmira_base::Value result_tree(const ReconcileResult& result);

// Thrown by `prepare_local` and `prepare_incremental` when the address space has no room
// left for the threads of the worker pool.
struct NoRoomForWorkers : std::bad_alloc {
  const char* what() const noexcept override {
    return "out of memory while starting the worker threads";
  }
};

// Makes sure that the calling thread and the worker-pool threads that can run the call's work
// have their thread-local storage (see ReconcileDriver): the arena's concurrency, within the
// cap that a tbb::global_control may set for the process. Waits for those threads only, and
// for at most 200 ms (other calls may keep some busy; a later call catches up on them). True
// once each of them has been prepared, now or by an earlier call. Throws NoRoomForWorkers.
// Run by `prepare_local` and `prepare_incremental`.
bool prepare_worker_threads();

// The texts handed to `prepare_local` and `prepare_incremental` must stay alive and unchanged
// for as long as the driver lives: its records point into them.
class ReconcileDriver {
 public:
  // Batch reconciliation of the records of `entities_json`. Throws osmira_base::Cancelled
  // soon after `cancel` (when given) is raised during training.
  [[nodiscard]] static osmira_base::Result<ReconcileDriver> prepare_local(
      std::string_view yaml, std::string_view entities_json,
      const osmira_base::CancelFlag* cancel = nullptr,
      osmira_core::engine::log::Events* events = nullptr);

  // Incremental reconciliation: the existing records followed by the new ones, with the
  // existing clusters kept whole. A new record with the identifier of an existing one is an
  // update: it stands for the identifier and is matched as a new record. When
  // `trained_fs_params_json` is given (an empty text counts as given) it replaces the engine's
  // Fellegi-Sunter parameters and no training runs. Throws osmira_base::Cancelled soon after
  // `cancel` (when given) is raised during training.
  [[nodiscard]] static osmira_base::Result<ReconcileDriver> prepare_incremental(
      std::string_view yaml, std::string_view new_entities_json,
      std::string_view existing_entities_json, std::string_view existing_clusters_json,
      std::optional<std::string_view> trained_fs_params_json,
      const osmira_base::CancelFlag* cancel = nullptr,
      osmira_core::engine::log::Events* events = nullptr);

  ReconcileDriver(ReconcileDriver&&) = default;
  ReconcileDriver& operator=(ReconcileDriver&&) = default;

  // The engine's reconcile operation over the working list. Call once, after a successful
  // prepare. Throws osmira_base::Cancelled soon after `cancel` (when given) is raised.
  void reconcile(const osmira_base::CancelFlag* cancel = nullptr);

  // The decisions `reconcile` made, in the order of the result. `finish` moves them into the
  // result it hands over without touching them, and nothing writes to them until that result
  // is consumed, so another thread may read them through this view meanwhile, also while
  // `finish` runs. Empty before `reconcile`.
  std::span<const osmira_core::engine::types::MatchDecision> decisions() const {
    if (!output_) return {};
    return output_->decisions;
  }

  // Clusters and golden records; releases the driver's working state (engine, plan,
  // records) and hands the result over. Call once, after `reconcile`. Throws
  // osmira_base::Cancelled soon after `cancel` (when given) is raised, handing what it made
  // over with the exception (Cancelled::left).
  ReconcileResult finish(const osmira_base::CancelFlag* cancel = nullptr);

  // The trained-parameter text as it will appear in the result (absent when the engine holds
  // no Fellegi-Sunter parameters).
  const std::optional<std::string>& trained_fs_params() const { return trained_fs_params_; }

 private:
  ReconcileDriver() = default;

  // Trains the engine's Fellegi-Sunter parameters on the records and writes their text.
  // When cancelled, the driver's state is handed over with the exception (Cancelled::leave).
  void train(const osmira_base::CancelFlag* cancel);

  osmira_common::ir::IdentityPlan plan_;
  osmira_core::engine::ReconciliationEngine engine_;
  // The records the engine sees: for the incremental driver the existing records first.
  osmira_core::engine::types::RecordSet records_;
  bool incremental_ = false;
  // Incremental only: the identifiers whose standing record is an existing record (none
  // that a new record carries).
  osmira_core::engine::EntityIdSet existing_ids_;
  std::vector<osmira_core::engine::Cluster> existing_clusters_;  // incremental only
  std::optional<std::string> trained_fs_params_;
  std::optional<osmira_core::engine::ReconcileOutput> output_;  // set by reconcile()
  bool finished_ = false;
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
std::string canonical_cluster_id(
    std::span<const osmira_core::engine::types::NormalizedEntity* const> members);

}  // namespace vintrel_bridge
