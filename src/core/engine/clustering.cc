#include "core/engine/clustering.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <numeric>
#include <utility>

namespace osmira_core::engine {
namespace {

using osmira_base::Uuid;
using osmira_common::ir::ClusteringMethod;
using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

// Record and edge indices are 32-bit: a record list or decision list of four billion
// entries could not be held in memory in the first place.
using Index = uint32_t;
constexpr Index kNoIndex = RecordIndex::kAbsent;

Index find_index(const RecordIndex& index, const Uuid& id) { return index.find(id); }

// The record positions of each merge decision's two identifiers, in decision order, looked up
// on the worker pool (the look-ups are independent; what is done with them stays in order).
// kNoIndex for decisions other than merges and for identifiers without a record.
std::vector<std::pair<Index, Index>> merge_ends(const RecordIndex& index,
                                                std::span<const MatchDecision> decisions) {
  std::vector<std::pair<Index, Index>> ends(decisions.size(), {kNoIndex, kNoIndex});
  tbb::parallel_for(tbb::blocked_range<size_t>(0, decisions.size(), 4096),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        const MatchDecision& d = decisions[k];
                        if (d.decision != Decision::kMerge) continue;
                        ends[k] = {find_index(index, d.entity_a_id),
                                   find_index(index, d.entity_b_id)};
                      }
                    });
  return ends;
}

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

// Builds the clusters from a group number per record (below `group_limit`; kNoIndex for a
// superseded record, which joins no cluster): identifiers ascending inside each cluster,
// clusters by their first identifier. Walking the standing records in identifier order, a
// group becomes the next cluster where its first (smallest) identifier is met, and every
// identifier lands behind the ones met before it in its cluster; so the numbering of the
// groups does not matter. The walk is one pass on this thread; the clusters are allocated and
// filled on the worker pool.
std::vector<Cluster> assemble_clusters(std::span<const NormalizedEntity> records,
                                       const RecordIndex& index, std::span<const Index> group_of,
                                       size_t group_limit) {
  const std::span<const uint32_t> ordered = index.by_identifier();
  std::vector<Index> cluster_of_group(group_limit, kNoIndex);
  std::vector<Index> cluster_of(ordered.size());  // per walk step
  std::vector<Index> place(ordered.size());       // per walk step: the place in its cluster
  std::vector<Index> size;
  for (size_t k = 0; k < ordered.size(); ++k) {
    const Index g = group_of[ordered[k]];
    Index& c = cluster_of_group[g];
    if (c == kNoIndex) {
      c = static_cast<Index>(size.size());
      size.push_back(0);
    }
    cluster_of[k] = c;
    place[k] = size[c]++;
  }
  std::vector<Index>().swap(cluster_of_group);
  std::vector<Cluster> clusters(size.size());
  tbb::parallel_for(tbb::blocked_range<size_t>(0, clusters.size(), 4096),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t c = range.begin(); c != range.end(); ++c) {
                        clusters[c].resize(size[c]);
                      }
                    });
  tbb::parallel_for(tbb::blocked_range<size_t>(0, ordered.size(), 4096),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        clusters[cluster_of[k]][place[k]] = records[ordered[k]].id;
                      }
                    });
  return clusters;
}

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

// ---- Weighted-graph clustering --------------------------------------------------------------
//
// One node per record (node index = record index), one directed edge per admitted merge
// decision (entity_a -> entity_b). Every node lists its leaving and its entering edges, each
// most recently added first; these lists fix the visit order of the searches and the edge
// collection order of a piece, and through them which of several equally weak edges is cut.
//
// Cost: finding components is linear; each examination of a piece is linear in the piece's
// nodes and edges and allocates only the piece's own lists, using stamps in whole-graph
// arrays for membership and visits (no per-piece clearing). A rejected piece loses one edge,
// so the examinations are bounded by components plus edges.
class WeightedGraph {
 public:
  WeightedGraph(std::span<const NormalizedEntity> records, const RecordIndex& index,
                std::span<const MatchDecision> decisions, double min_edge_weight)
      : node_count_(static_cast<Index>(records.size())) {
    const std::vector<std::pair<Index, Index>> ends = merge_ends(index, decisions);
    for (size_t k = 0; k < decisions.size(); ++k) {
      const MatchDecision& d = decisions[k];
      if (d.decision != Decision::kMerge) continue;
      // Written as "not below" so that a NaN threshold admits every decision.
      if (min_edge_weight > d.confidence) continue;
      const auto [a, b] = ends[k];
      if (a == kNoIndex || b == kNoIndex) continue;
      edges_.push_back({a, b, d.confidence});
    }
    removed_.assign(edges_.size(), 0);
    build_adjacency();
    piece_stamp_.assign(node_count_, 0);
    visit_stamp_.assign(node_count_, 0);
    position_.assign(node_count_, 0);
  }

  std::vector<std::vector<Index>> resolve(double min_cluster_coherence, uint64_t max_cluster_size,
                                          const osmira_base::CancelFlag* cancel) {
    std::vector<std::vector<Index>> emitted;
    std::vector<uint8_t> seen(node_count_, 0);
    std::vector<Index> stack;
    for (Index start = 0; start < node_count_; ++start) {
      if (seen[start]) continue;
      std::vector<Index> component;
      stack.assign(1, start);
      while (!stack.empty()) {
        const Index u = stack.back();
        stack.pop_back();
        if (seen[u]) continue;
        seen[u] = 1;
        component.push_back(u);
        for (Index e : leaving(u)) {
          if (!seen[edges_[e].to]) stack.push_back(edges_[e].to);
        }
        for (Index e : entering(u)) {
          if (!seen[edges_[e].from]) stack.push_back(edges_[e].from);
        }
      }
      if (component.size() < 2) {
        emitted.push_back(std::move(component));
      } else {
        resolve_component(std::move(component), min_cluster_coherence, max_cluster_size,
                          cancel, emitted);
      }
    }
    return emitted;
  }

 private:
  struct Edge {
    Index from;
    Index to;
    double weight;
  };

  std::span<const Index> leaving(Index u) const {
    return {out_edges_.data() + out_start_[u], out_edges_.data() + out_start_[u + 1]};
  }
  std::span<const Index> entering(Index u) const {
    return {in_edges_.data() + in_start_[u], in_edges_.data() + in_start_[u + 1]};
  }

  // Compressed per-node edge lists, each in descending edge index (most recent first).
  void build_adjacency() {
    out_start_.assign(node_count_ + 1, 0);
    in_start_.assign(node_count_ + 1, 0);
    for (const Edge& e : edges_) {
      ++out_start_[e.from + 1];
      ++in_start_[e.to + 1];
    }
    for (Index u = 0; u < node_count_; ++u) {
      out_start_[u + 1] += out_start_[u];
      in_start_[u + 1] += in_start_[u];
    }
    out_edges_.resize(edges_.size());
    in_edges_.resize(edges_.size());
    std::vector<Index> out_fill(out_start_.begin(), out_start_.end() - 1);
    std::vector<Index> in_fill(in_start_.begin(), in_start_.end() - 1);
    for (size_t i = edges_.size(); i-- > 0;) {
      out_edges_[out_fill[edges_[i].from]++] = static_cast<Index>(i);
      in_edges_[in_fill[edges_[i].to]++] = static_cast<Index>(i);
    }
  }

  // Worklist resolution of one component; accepted pieces are appended to `emitted`.
  void resolve_component(std::vector<Index> component, double min_cluster_coherence,
                         uint64_t max_cluster_size, const osmira_base::CancelFlag* cancel,
                         std::vector<std::vector<Index>>& emitted) {
    std::vector<std::vector<Index>> worklist;
    worklist.push_back(std::move(component));
    std::vector<Index> taken;
    while (!worklist.empty()) {
      osmira_base::stop_if_cancelled(cancel);
      std::vector<Index> piece = std::move(worklist.back());
      worklist.pop_back();
      if (piece.size() < 2) {
        emitted.push_back(std::move(piece));
        continue;
      }

      const uint64_t stamp = ++stamp_counter_;
      for (size_t k = 0; k < piece.size(); ++k) {
        piece_stamp_[piece[k]] = stamp;
        position_[piece[k]] = static_cast<Index>(k);
      }

      // Each edge between two distinct nodes of the piece, once, from its lower end.
      taken.clear();
      double sum = 0.0;
      for (Index u : piece) {
        for (Index e : leaving(u)) {
          const Index v = edges_[e].to;
          if (!removed_[e] && v > u && piece_stamp_[v] == stamp) {
            taken.push_back(e);
            sum += edges_[e].weight;
          }
        }
        for (Index e : entering(u)) {
          const Index v = edges_[e].from;
          if (!removed_[e] && v > u && piece_stamp_[v] == stamp) {
            taken.push_back(e);
            sum += edges_[e].weight;
          }
        }
      }

      // Rejected only when the mean is below the coherence (so a NaN coherence leaves the
      // size test alone) or the piece is too large.
      if (taken.empty() ||
          (!(sum / static_cast<double>(taken.size()) < min_cluster_coherence) &&
           piece.size() <= max_cluster_size)) {
        emitted.push_back(std::move(piece));
        continue;
      }

      size_t weakest = 0;
      for (size_t k = 1; k < taken.size(); ++k) {
        if (edges_[taken[k]].weight < edges_[taken[weakest]].weight) weakest = k;
      }
      removed_[taken[weakest]] = 1;

      split_piece(piece, taken, weakest, stamp, worklist);
    }
  }

  // Splits `piece` along the taken edges other than the one at `skip`; the pieces found
  // are pushed onto the worklist in the order found, each in its visit order.
  void split_piece(const std::vector<Index>& piece, const std::vector<Index>& taken,
                   size_t skip, uint64_t stamp, std::vector<std::vector<Index>>& worklist) {
    const size_t n = piece.size();
    // Neighbour lists by piece position, filled by walking the edges in collection order.
    nbr_start_.assign(n + 1, 0);
    for (size_t k = 0; k < taken.size(); ++k) {
      if (k == skip) continue;
      const Edge& e = edges_[taken[k]];
      ++nbr_start_[position_[e.from] + 1];
      ++nbr_start_[position_[e.to] + 1];
    }
    for (size_t k = 0; k < n; ++k) nbr_start_[k + 1] += nbr_start_[k];
    nbr_fill_.assign(nbr_start_.begin(), nbr_start_.end() - 1);
    nbr_.resize(nbr_start_[n]);
    for (size_t k = 0; k < taken.size(); ++k) {
      if (k == skip) continue;
      const Edge& e = edges_[taken[k]];
      nbr_[nbr_fill_[position_[e.from]]++] = e.to;
      nbr_[nbr_fill_[position_[e.to]]++] = e.from;
    }

    std::vector<Index> stack;
    for (Index start : piece) {
      if (visit_stamp_[start] == stamp) continue;
      std::vector<Index> found;
      stack.assign(1, start);
      while (!stack.empty()) {
        const Index u = stack.back();
        stack.pop_back();
        if (visit_stamp_[u] == stamp) continue;
        visit_stamp_[u] = stamp;
        found.push_back(u);
        const Index p = position_[u];
        for (Index k = nbr_start_[p]; k < nbr_start_[p + 1]; ++k) {
          if (visit_stamp_[nbr_[k]] != stamp) stack.push_back(nbr_[k]);
        }
      }
      worklist.push_back(std::move(found));
    }
  }

  Index node_count_;
  std::vector<Edge> edges_;
  std::vector<uint8_t> removed_;
  std::vector<Index> out_start_, out_edges_, in_start_, in_edges_;
  // Per node: the stamp of the piece it was last placed in, the stamp of the split that
  // last visited it, and its position in that piece.
  std::vector<uint64_t> piece_stamp_, visit_stamp_;
  std::vector<Index> position_;
  uint64_t stamp_counter_ = 0;
  // Scratch for split_piece, reused across pieces.
  std::vector<Index> nbr_start_, nbr_fill_, nbr_;
};

std::vector<Cluster> cluster_graph(const ClusteringSettings& settings,
                                   std::span<const NormalizedEntity> records,
                                   const RecordIndex& index,
                                   std::span<const MatchDecision> decisions,
                                   const osmira_base::CancelFlag* cancel) {
  WeightedGraph graph(records, index, decisions, settings.min_edge_weight);
  const std::vector<std::vector<Index>> pieces =
      graph.resolve(settings.min_cluster_coherence, settings.max_cluster_size, cancel);
  // Every node lies in exactly one emitted piece; pieces count in emission order. A
  // superseded record has no edge, so it is a piece of its own, and that piece is dropped.
  std::vector<Index> group_of(records.size(), kNoIndex);
  Index group_count = 0;
  for (const std::vector<Index>& piece : pieces) {
    if (piece.size() == 1 && !index.stands(piece.front())) continue;
    for (Index node : piece) group_of[node] = group_count;
    ++group_count;
  }
  return assemble_clusters(records, index, group_of, group_count);
}

}  // namespace

namespace {

// A record's identifier as two big-endian words (which order as its bytes do), and its
// position.
struct ById {
  uint64_t hi;
  uint64_t lo;
  uint32_t position;

  bool same_id(const ById& y) const { return hi == y.hi && lo == y.lo; }
  friend bool operator<(const ById& x, const ById& y) {
    if (x.hi != y.hi) return x.hi < y.hi;
    if (x.lo != y.lo) return x.lo < y.lo;
    return x.position < y.position;
  }
};

// The positions sorted by identifier, then position, on the pool: each identifier's run of
// positions ends with its last record, the one that stands for it.
std::unique_ptr<ById[]> sorted_by_id(std::span<const NormalizedEntity> records) {
  const auto n = static_cast<uint32_t>(records.size());
  // Left uninitialised here: the pages are first touched by the workers that fill them.
  auto by_id = std::make_unique_for_overwrite<ById[]>(n);
  tbb::parallel_for(tbb::blocked_range<uint32_t>(0, n, 4096),
                    [&](const tbb::blocked_range<uint32_t>& range) {
                      for (uint32_t i = range.begin(); i != range.end(); ++i) {
                        const auto& bytes = records[i].id.bytes;
                        ById& entry = by_id[i];
                        entry.hi = 0;
                        entry.lo = 0;
                        for (int k = 0; k < 8; ++k) entry.hi = (entry.hi << 8) | bytes[k];
                        for (int k = 8; k < 16; ++k) entry.lo = (entry.lo << 8) | bytes[k];
                        entry.position = i;
                      }
                    });
  tbb::parallel_sort(by_id.get(), by_id.get() + n);
  return by_id;
}

}  // namespace

std::vector<uint32_t> standing_positions(std::span<const NormalizedEntity> records) {
  const auto n = static_cast<uint32_t>(records.size());
  const std::unique_ptr<ById[]> by_id = sorted_by_id(records);
  std::vector<uint32_t> standing(n);
  uint32_t last = 0;  // the last entry of the current run, walking backwards
  for (uint32_t k = n; k-- > 0;) {
    if (k + 1 == n || !by_id[k + 1].same_id(by_id[k])) last = k;
    standing[by_id[k].position] = by_id[last].position;
  }
  return standing;
}

size_t RecordIndex::home(const Uuid& id) const {
  // Every one of the 128 bits must reach the bits that choose the slot, or identifiers that
  // real sets carry (integers, counters in the first or the last bytes, timestamps, strides)
  // crowd onto a few home slots and probing turns quadratic. And the function must be one
  // that nobody outside the process can compute: with any fixed mix, however good, whoever
  // writes the records can choose identifiers that all share one home slot. SipHash under
  // the process's random key (base/keyed_hash.h) gives both.
  return static_cast<size_t>(osmira_base::siphash13(key_, id)) & mask_;
}

RecordIndex::RecordIndex(std::span<const NormalizedEntity> records) {
  const auto n = static_cast<uint32_t>(records.size());
  std::unique_ptr<ById[]> by_id = sorted_by_id(records);
  by_identifier_.reserve(n);
  for (uint32_t k = 0; k < n; ++k) {
    if (k + 1 == n || !by_id[k + 1].same_id(by_id[k])) {
      by_identifier_.push_back(by_id[k].position);
      continue;
    }
    if (superseded_.empty()) superseded_.assign(n, 0);
    superseded_[by_id[k].position] = 1;
  }
  by_id.reset();

  size_t capacity = 2;
  while (capacity < 2 * by_identifier_.size()) capacity *= 2;
  mask_ = capacity - 1;
  slots_ = std::make_unique_for_overwrite<Slot[]>(capacity);
  tbb::parallel_for(tbb::blocked_range<size_t>(0, capacity, 1 << 14),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        slots_[k].position = kAbsent;
                      }
                    });
  // Identifiers are distinct, so each only needs a free slot: claimed by a compare-and-swap
  // of its position, after which the claiming thread alone writes its identifier. Nobody
  // reads the table before the loop is over. Which slot an identifier gets may vary with the
  // threads' timing; what `find` returns does not.
  tbb::parallel_for(
      tbb::blocked_range<size_t>(0, by_identifier_.size(), 4096),
      [&](const tbb::blocked_range<size_t>& range) {
        for (size_t k = range.begin(); k != range.end(); ++k) {
          const uint32_t position = by_identifier_[k];
          const Uuid& id = records[position].id;
          for (size_t slot = home(id);; slot = (slot + 1) & mask_) {
            uint32_t expected = kAbsent;
            if (std::atomic_ref<uint32_t>(slots_[slot].position)
                    .compare_exchange_strong(expected, position, std::memory_order_relaxed)) {
              slots_[slot].id = id;
              break;
            }
          }
        }
      });
}

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
    return cluster_graph(settings, records, index, decisions, cancel);
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
      const Index member = find_index(index, id);
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
