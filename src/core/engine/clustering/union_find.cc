// Union-find clustering (the `simple` method, and every incremental call), and the entry
// points of clustering that choose between it and graph clustering.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <numeric>
#include <utility>

#include "core/engine/clustering.h"
#include "core/engine/clustering/common.h"

namespace osmira_core::engine {
namespace {

using osmira_base::Uuid;
using osmira_common::ir::ClusteringMethod;
using types::MatchDecision;
using types::NormalizedEntity;
using clustering_detail::assemble_clusters;
using clustering_detail::Index;
using clustering_detail::kNoIndex;
using clustering_detail::merge_ends;

// Disjoint sets over 0..n-1: union by rank, path halving (iterative, no recursion).
class UnionFind {
 public:
  explicit UnionFind(size_t n) : parent_(n), rank_(n, 0) {
    std::iota(parent_.begin(), parent_.end(), Index{0});
  }

  Index find(Index x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }

  // The root of x without shortening any path: safe on many threads at once once the
  // unions are done.
  Index root(Index x) const {
    while (parent_[x] != x) x = parent_[x];
    return x;
  }

  void unite(Index a, Index b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (rank_[a] < rank_[b]) std::swap(a, b);
    parent_[b] = a;
    if (rank_[a] == rank_[b]) ++rank_[a];
  }

 private:
  std::vector<Index> parent_;
  std::vector<uint8_t> rank_;  // log2(n) < 32
};
// One group per set, named by its root: the clusters do not depend on the group names. A
// superseded record (never joined, as every lookup finds the last record of an identifier)
// forms no group. The roots are found on the worker pool, after all unions.
std::vector<Cluster> group_sets(const UnionFind& sets, std::span<const NormalizedEntity> records,
                                const RecordIndex& index) {
  std::vector<Index> group_of(records.size());
  tbb::parallel_for(tbb::blocked_range<size_t>(0, records.size(), 4096),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t i = range.begin(); i != range.end(); ++i) {
                        group_of[i] = index.stands(i) ? sets.root(static_cast<Index>(i)) : kNoIndex;
                      }
                    });
  return assemble_clusters(records, index, group_of, records.size());
}

void apply_merges(UnionFind& sets, const RecordIndex& index,
                  std::span<const MatchDecision> decisions) {
  for (const auto& [a, b] : merge_ends(index, decisions)) {
    if (a != kNoIndex && b != kNoIndex) sets.unite(a, b);
  }
}

std::vector<Cluster> cluster_union_find(std::span<const NormalizedEntity> records,
                                        const RecordIndex& index,
                                        std::span<const MatchDecision> decisions) {
  UnionFind sets(records.size());
  apply_merges(sets, index, decisions);
  return group_sets(sets, records, index);
}
}  // namespace

std::vector<Cluster> cluster_decisions(const ClusteringSettings& settings,
                                       std::span<const NormalizedEntity> records,
                                       std::span<const MatchDecision> decisions) {
  return cluster_decisions(settings, records, RecordIndex(records), decisions);
}

std::vector<Cluster> cluster_decisions(const ClusteringSettings& settings,
                                       std::span<const NormalizedEntity> records,
                                       const RecordIndex& index,
                                       std::span<const MatchDecision> decisions,
                                       const osmira_base::CancelFlag* cancel) {
  if (settings.method == ClusteringMethod::kGraph) {
    return clustering_detail::cluster_graph(settings, records, index, decisions, cancel);
  }
  return cluster_union_find(records, index, decisions);
}

std::vector<Cluster> cluster_decisions_incremental(
    std::span<const NormalizedEntity> records, std::span<const MatchDecision> decisions,
    std::span<const std::vector<Uuid>> existing_clusters) {
  return cluster_decisions_incremental(records, RecordIndex(records), decisions,
                                       existing_clusters);
}

std::vector<Cluster> cluster_decisions_incremental(
    std::span<const NormalizedEntity> records, const RecordIndex& index,
    std::span<const MatchDecision> decisions,
    std::span<const std::vector<Uuid>> existing_clusters) {
  UnionFind sets(records.size());
  for (const std::vector<Uuid>& existing : existing_clusters) {
    // The members without a record (deleted, or a stale list) are passed over; the others
    // stay together whichever of them is listed first.
    Index first = kNoIndex;
    for (const Uuid& id : existing) {
      const Index member = index.find(id);
      if (member == kNoIndex) continue;
      if (first == kNoIndex) {
        first = member;
      } else {
        sets.unite(first, member);
      }
    }
  }
  apply_merges(sets, index, decisions);
  return group_sets(sets, records, index);
}

}  // namespace osmira_core::engine
