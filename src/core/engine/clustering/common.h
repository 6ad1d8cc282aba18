// What union-find and graph clustering share: record and edge indices, the record positions
// of the merge decisions, and the assembly of clusters from a group number per record.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/engine/clustering.h"

namespace osmira_core::engine::clustering_detail {

// Record and edge indices are 32-bit: a record list or decision list of four billion
// entries could not be held in memory in the first place.
using Index = uint32_t;
constexpr Index kNoIndex = RecordIndex::kAbsent;

// The record positions of each merge decision's two identifiers, in decision order, looked up
// on the worker pool (the look-ups are independent; what is done with them stays in order).
// kNoIndex for decisions other than merges and for identifiers without a record.
std::vector<std::pair<Index, Index>> merge_ends(const RecordIndex& index,
                                                std::span<const types::MatchDecision> decisions);

// Builds the clusters from a group number per record (below `group_limit`; kNoIndex for a
// superseded record, which joins no cluster): identifiers ascending inside each cluster,
// clusters by their first identifier. Walking the standing records in identifier order, a
// group becomes the next cluster where its first (smallest) identifier is met, and every
// identifier lands behind the ones met before it in its cluster; so the numbering of the
// groups does not matter. The walk is one pass on this thread; the clusters are allocated and
// filled on the worker pool.
std::vector<Cluster> assemble_clusters(std::span<const types::NormalizedEntity> records,
                                       const RecordIndex& index, std::span<const Index> group_of,
                                       size_t group_limit);

// Graph clustering (weighted_graph.cc).
std::vector<Cluster> cluster_graph(const ClusteringSettings& settings,
                                   std::span<const types::NormalizedEntity> records,
                                   const RecordIndex& index,
                                   std::span<const types::MatchDecision> decisions,
                                   const osmira_base::CancelFlag* cancel);

}  // namespace osmira_core::engine::clustering_detail
