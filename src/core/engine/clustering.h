// Clustering: turns the pair decisions of one reconciliation into clusters of entity
// identifiers that stand for one real-world entity.
//
// Only merge decisions join records; review and no-merge decisions, and decisions naming an
// identifier that no record has, change nothing. Every record ends up in exactly one
// cluster (a record without merges alone). Identifiers inside a cluster are ascending and
// the clusters are ordered by their first identifier; no result depends on hash-table
// order or on which record a union-find set happens to use as its representative.
//
// When several records share an identifier, the last of them stands for it: decisions
// attach to that record, and the earlier copies belong to no cluster, so every identifier
// is listed in exactly one cluster. The golden-record lookup of the reconcile drivers uses
// the same rule through `RecordIndex`.
//
// The engine forwards its `cluster_decisions` and `cluster_decisions_incremental` to the
// free functions below; they read only the settings passed in and keep nothing between
// calls. Thread-compatible: pure functions of their arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/cancel.h"
#include "base/keyed_hash.h"
#include "base/uuid.h"
#include "common/ir/enums.h"
#include "core/engine/types.h"

namespace osmira_core::engine {

using Cluster = std::vector<osmira_base::Uuid>;

// The one rule for records that share an identifier: within one call the LAST record of a
// list that carries an identifier stands for it everywhere (matching, clustering, golden
// record), and earlier records with the same identifier are superseded. Positions are 32-bit;
// lists of 2^32 - 1 records or more are refused before they get here.

// For every position, the position of the record standing for its identifier (itself unless
// a later record carries the same identifier). Computed on the worker pool.
std::vector<uint32_t> standing_positions(std::span<const types::NormalizedEntity> records);

// Identifier -> position of the record standing for it (`standing_positions`). Built on the
// worker pool: the identifiers are sorted once, and the standing records are filed in an
// open-addressing table of identifier and position, hashed with SipHash under the process's
// random key.
class RecordIndex {
 public:
  static constexpr uint32_t kAbsent = UINT32_MAX;

  // `records` must outlive the index.
  explicit RecordIndex(std::span<const types::NormalizedEntity> records);

  // The position of the record standing for `id`, or kAbsent.
  uint32_t find(const osmira_base::Uuid& id) const {
    for (size_t slot = home(id);; slot = (slot + 1) & mask_) {
      const Slot& s = slots_[slot];
      if (s.position == kAbsent) return kAbsent;
      if (s.id == id) return s.position;
    }
  }
  // False for a record that a later record with the same identifier supersedes.
  bool stands(size_t position) const {
    return superseded_.empty() || superseded_[position] == 0;
  }
  // The number of distinct identifiers.
  size_t size() const { return by_identifier_.size(); }
  // The positions of the standing records, identifiers ascending.
  std::span<const uint32_t> by_identifier() const { return by_identifier_; }

 private:
  struct Slot {
    uint32_t position;  // kAbsent for a free slot
    osmira_base::Uuid id;
  };
  size_t home(const osmira_base::Uuid& id) const;

  osmira_base::SipKey key_ = osmira_base::process_hash_key();
  std::unique_ptr<Slot[]> slots_;  // a power of two, at most half full
  size_t mask_ = 0;
  std::vector<uint32_t> by_identifier_;
  std::vector<uint8_t> superseded_;  // by position; empty when no identifier repeats
};

// The engine's clustering settings, taken from the plan's clustering configuration.
struct ClusteringSettings {
  // `graph` selects weighted-graph clustering; `simple`, or none (a plan without a
  // clustering configuration), selects union-find.
  std::optional<osmira_common::ir::ClusteringMethod> method;
  // Graph only: a merge decision whose confidence is below this gives no edge.
  double min_edge_weight = 0.0;
  // Graph only: the lowest accepted mean edge weight of a cluster.
  double min_cluster_coherence = 0.0;
  // Graph only: the largest accepted number of records in a cluster.
  uint64_t max_cluster_size = UINT64_MAX;
};

// Batch clustering with the configured method:
// - union-find: transitive closure of the merge decisions, whatever their scores;
// - graph: merge decisions with confidence >= `min_edge_weight` are weighted edges; each
//   connected component is accepted when its mean edge weight reaches
//   `min_cluster_coherence` and it has at most `max_cluster_size` records, and is otherwise
//   split by removing its weakest edge (the first of equally weak ones in the component's
//   edge order) and examining the resulting pieces again. A NaN `min_edge_weight` admits
//   every merge decision; a NaN `min_cluster_coherence` leaves only the size test.
std::vector<Cluster> cluster_decisions(const ClusteringSettings& settings,
                                       std::span<const types::NormalizedEntity> records,
                                       std::span<const types::MatchDecision> decisions);
// The same with the caller's index of `records` (built from exactly that list). Graph
// clustering can take long on large dense components (every split examines the piece
// again): it throws osmira_base::Cancelled soon after `cancel` (when given) is raised.
std::vector<Cluster> cluster_decisions(const ClusteringSettings& settings,
                                       std::span<const types::NormalizedEntity> records,
                                       const RecordIndex& index,
                                       std::span<const types::MatchDecision> decisions,
                                       const osmira_base::CancelFlag* cancel = nullptr);

// Incremental clustering, always union-find: first joins the members of every existing
// cluster that are among the records to the first of them that is (members without a record
// are passed over), then applies the merge decisions. Existing clusters are therefore never
// split, whichever of their members have gone.
std::vector<Cluster> cluster_decisions_incremental(
    std::span<const types::NormalizedEntity> records,
    std::span<const types::MatchDecision> decisions,
    std::span<const std::vector<osmira_base::Uuid>> existing_clusters);
std::vector<Cluster> cluster_decisions_incremental(
    std::span<const types::NormalizedEntity> records, const RecordIndex& index,
    std::span<const types::MatchDecision> decisions,
    std::span<const std::vector<osmira_base::Uuid>> existing_clusters);

}  // namespace osmira_core::engine
