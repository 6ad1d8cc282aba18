#include "core/engine/clustering.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
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
// Examining a piece from scratch (collecting its edges, summing them in collection order,
// splitting it) is linear in its nodes and edges; cutting a large dense piece down edge by edge
// that way costs edges x edges. Two shortcuts keep the documented orders exactly:
// - A piece that the split gives back whole and in the same order is "settled": its next
//   collection is the previous one without the cut edge. A later cut of an edge other than
//   one through which that search first reached a node changes nothing in the search (it
//   only takes away a stack entry that would have been skipped), so such cuts are taken from
//   a list sorted once by weight and collection position, in constant time. A search edge
//   whose cut leaves one end without edges splits off that node and leaves the rest of the
//   search unchanged (the node was a leaf, or the start with a single neighbour); any other
//   search edge is cut by a split from scratch. The coherence test needs the mean in
//   collection order only when it lies close to the threshold: a pairwise sum kept in a tree
//   over the collection positions, with a bound on how far any order of summation can be
//   from it, decides every other case (see `below_coherence`).
// - In dense pieces the split rewrites the order at almost every cut (it takes from each node
//   the neighbour placed last, and so tends to reverse the places of the nodes it reaches
//   last; two orders often alternate), so few stay settled. The pieces of a dense component
//   are examined without collecting them (see "Dense components" below).
//
// Membership and visits use stamps in whole-graph arrays (no per-piece clearing); edges that
// can never be taken again (cut, self loops, leading out of the piece) are dropped from the
// nodes' lists as the pieces are collected.
class WeightedGraph {
 public:
  WeightedGraph(std::span<const NormalizedEntity> records, const RecordIndex& index,
                std::span<const MatchDecision> decisions, double min_edge_weight)
      : records_(records), node_count_(static_cast<Index>(records.size())) {
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
    reached_by_.assign(node_count_, kNoIndex);
    degree_.assign(node_count_, 0);
    local_.assign(node_count_, 0);
  }

  std::vector<std::vector<Index>> resolve(double min_cluster_coherence, uint64_t max_cluster_size,
                                          const osmira_base::CancelFlag* cancel) {
    min_cluster_coherence_ = min_cluster_coherence;
    max_cluster_size_ = max_cluster_size;
    cancel_ = cancel;
    std::vector<Index> stack;
    for (Index start = 0; start < node_count_; ++start) {
      if (visit_stamp_[start] != 0) continue;
      std::vector<Index> component;
      stack.assign(1, start);
      while (!stack.empty()) {
        const Index u = stack.back();
        stack.pop_back();
        if (visit_stamp_[u] != 0) continue;
        visit_stamp_[u] = 1;
        component.push_back(u);
        for (Index e : leaving(u)) {
          if (visit_stamp_[edges_[e].to] == 0) stack.push_back(edges_[e].to);
        }
        for (Index e : entering(u)) {
          if (visit_stamp_[edges_[e].from] == 0) stack.push_back(edges_[e].from);
        }
      }
      if (component.size() < 2) {
        emitted_.push_back(std::move(component));
      } else {
        resolve_component(std::move(component));
      }
    }
    return std::move(emitted_);
  }

 private:
  struct Edge {
    Index from;
    Index to;
    double weight;
  };

  // The last few searches of dense pieces that found their piece whole: the piece's order, the
  // visit order found, and by place in the component the node each node was reached from
  // (kNoIndex for the start and for nodes outside the piece) and its step in the search.
  // The split's search takes from a node the last unvisited neighbour in its list, so
  // cutting an edge between two nodes neither of which was reached from the other changes
  // nothing in it: the search over the same order again is the kept one while no cut since
  // touched its tree. Cuts often alternate a piece between two orders and now and then
  // bring back an older one, hence many searches (32: on 1,000 nodes 1.6x faster than 8;
  // 64 or 128 no faster).
  // A search whose tree lost an edge is repaired from the first node reached through it
  // (`broken_at`, the step) when few nodes follow it, and otherwise resumed from there with
  // the steps before it taken as they were. A piece in an order that no kept search holds is
  // searched guided by one whose order differs from it in few places (see `search_dense`).
  static constexpr Index kIntact = UINT32_MAX;
  static constexpr size_t kRepairedTail = 32;
  static constexpr size_t kKeptSearches = 32;
  struct KeptSearch {
    bool valid = false;
    Index broken_at = kIntact;
    uint64_t used = 0;  // when last kept or reused, for replacing the least recent
    std::vector<Index> order, found, reached_from, step_of;
    // A new number whenever `order` changes; and the kept search over `found`, if known, as
    // it was numbered then (see `kept_search_of`).
    uint64_t generation = 0;
    KeptSearch* next = nullptr;
    uint64_t next_generation = 0;
  };

  std::span<const Index> leaving(Index u) const {
    return {out_edges_.data() + out_start_[u], out_edges_.data() + out_end_[u]};
  }
  std::span<const Index> entering(Index u) const {
    return {in_edges_.data() + in_start_[u], in_edges_.data() + in_end_[u]};
  }
  double weight_at(size_t position) const { return edges_[taken_[position]].weight; }
  bool cut_at(size_t position) const { return removed_[taken_[position]] != 0; }

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
    out_end_.assign(out_start_.begin(), out_start_.end() - 1);
    in_end_.assign(in_start_.begin(), in_start_.end() - 1);
    for (size_t i = edges_.size(); i-- > 0;) {
      out_edges_[out_end_[edges_[i].from]++] = static_cast<Index>(i);
      in_edges_[in_end_[edges_[i].to]++] = static_cast<Index>(i);
    }
  }

  // Worklist resolution of one component; accepted pieces are appended to `emitted_`.
  void resolve_component(std::vector<Index> component) {
    for (KeptSearch& kept : kept_) kept.valid = false;
    dense_ = prepare_dense(component);
    worklist_.push_back(std::move(component));
    while (!worklist_.empty()) {
      osmira_base::stop_if_cancelled(cancel_);
      std::vector<Index> piece = std::move(worklist_.back());
      worklist_.pop_back();
      if (piece.size() < 2) {
        emitted_.push_back(std::move(piece));
      } else if (dense_) {
        examine_dense(std::move(piece));
      } else {
        examine(std::move(piece));
      }
    }
    dense_ = false;
    ordered_ = false;
  }

  // Cuts edge `e` for good, keeping the dense machinery up to date while it is in use.
  void cut(Index e) {
    removed_[e] = 1;
    if (!dense_) return;
    const Index from = edges_[e].from, to = edges_[e].to;
    --live_pairs_[local_[from] * dense_n_ + local_[to]];
    --live_pairs_[local_[to] * dense_n_ + local_[from]];
    const Index lower = local_[std::min(from, to)], higher = local_[std::max(from, to)];
    if (from != to && live_pairs_[higher * dense_n_ + lower] == 0) {
      const size_t words = (dense_n_ + 63) / 64;
      --lower_count_[higher];
      neighbour_bits_[higher * words + lower / 64] &= ~(uint64_t{1} << (lower % 64));
      neighbour_bits_[lower * words + higher / 64] &= ~(uint64_t{1} << (higher % 64));
    }
    --group_size_[lower];
    group_summed_[lower] = 0;
    find_lightest(lower);
    for (KeptSearch& kept : kept_) {
      if (!kept.valid) continue;
      if (kept.reached_from[local_[from]] == to) {
        kept.broken_at = std::min(kept.broken_at, kept.step_of[local_[from]]);
      }
      if (kept.reached_from[local_[to]] == from) {
        kept.broken_at = std::min(kept.broken_at, kept.step_of[local_[to]]);
      }
    }
    if (ordered_) {  // no list repeats a node when ordered
      const bool leaves = std::min(from, to) == from;
      (leaves ? leaving_bits_ : entering_bits_)[lower * ((dense_n_ + 63) / 64) +
                                                rank_[higher] / 64] &=
          ~(uint64_t{1} << (rank_[higher] % 64));
    }
  }

  // ---- Dense components
  //
  // A piece is examined without collecting its edges at all:
  // - the acceptance test needs no sum for a piece above the size limit, and otherwise adds
  //   up per-node group sums (the group of a node: its edges to higher-indexed nodes, which
  //   are the edges collected at its place); only when the error bound straddles the
  //   threshold is the piece examined from scratch (`examine`);
  // - the first of the lightest edges in collection order is the lightest edge among the
  //   groups, each group kept sorted by weight and then list order, taking the group met
  //   first in the piece's order;
  // - the split's search takes from a node the last neighbour in its list that is not yet
  //   visited (the stack returns to it last-in, first-out). A node's list is, in collection
  //   order: its lower-indexed neighbours placed before it in the piece, by place; its own
  //   group in list order; its lower-indexed neighbours placed after it, by place. So the
  //   search asks, in that order reversed, for the last unvisited lower-indexed neighbour
  //   placed after the node, the last unvisited node of its group, and the last unvisited
  //   lower-indexed neighbour placed before it, scanning the unvisited places downwards
  //   with a table of live edges between every two nodes of the component. Each node
  //   resumes its scans where it stopped, so a search costs at most one pass over the
  //   unvisited places and over the group per node: nodes x nodes per cut rather than edges.
  //   Most asks find nothing left; a bit row of each node's live neighbours tells those in
  //   one pass, and the scans pass over nodes that have no live edge to a higher-indexed
  //   node (nobody's lower-indexed neighbour).
  // No live edge ever joins two pieces (pieces are the components of the live edges), so a
  // group holds exactly the live edges its node has to higher-indexed nodes of its piece.
  // Used for components of kDenseFrom to kDenseLimit nodes in which at least an eighth of the
  // node pairs are edges and no weight is NaN (a NaN first edge would be cut whatever follows
  // it).

  static constexpr size_t kDenseFrom = 32;  // smaller components cost little either way
  static constexpr size_t kDenseLimit = 4096;

  // Sets the dense machinery up for `component` when it qualifies; false otherwise.
  bool prepare_dense(const std::vector<Index>& component) {
    const size_t n = component.size();
    if (n < kDenseFrom || n > kDenseLimit) return false;
    size_t edge_count = 0;
    for (Index u : component) {
      for (Index e : leaving(u)) {
        if (std::isnan(edges_[e].weight)) return false;
        ++edge_count;
      }
    }
    if (edge_count * 8 < n * n) return false;
    for (size_t k = 0; k < n; ++k) local_[component[k]] = static_cast<Index>(k);
    dense_n_ = n;
    live_pairs_.assign(n * n, 0);
    group_start_.assign(n + 1, 0);
    group_in_order_.clear();
    for (size_t k = 0; k < n; ++k) {
      const Index u = component[k];
      group_start_[k] = static_cast<Index>(group_in_order_.size());
      for (Index e : leaving(u)) {
        const Index v = edges_[e].to;
        if (v == u) continue;
        uint16_t& count = live_pairs_[k * n + local_[v]];
        if (count == UINT16_MAX) return false;
        ++count;
        ++live_pairs_[local_[v] * n + k];
        if (v > u) group_in_order_.push_back(e);
      }
      for (Index e : entering(u)) {
        if (edges_[e].from > u) group_in_order_.push_back(e);
      }
    }
    group_start_[n] = static_cast<Index>(group_in_order_.size());
    const size_t words = (n + 63) / 64;
    lower_count_.assign(n, 0);
    neighbour_bits_.assign(n * words, 0);
    for (size_t k = 0; k < n; ++k) {
      for (size_t l = 0; l < n; ++l) {
        if (live_pairs_[k * n + l] == 0 || l == k) continue;
        neighbour_bits_[k * words + l / 64] |= uint64_t{1} << (l % 64);
        if (component[l] < component[k]) ++lower_count_[k];
      }
    }
    group_other_.resize(group_in_order_.size());
    for (size_t k = 0; k < n; ++k) {
      for (Index g = group_start_[k]; g < group_start_[k + 1]; ++g) {
        group_other_[g] = other_end(group_in_order_[g], component[k]);
      }
    }
    prepare_ordered(component);
    group_by_weight_ = group_in_order_;
    group_front_.assign(group_start_.begin(), group_start_.end() - 1);
    group_sum_.resize(n);
    group_magnitude_.resize(n);
    group_size_.resize(n);
    group_summed_.assign(n, 0);
    for (size_t k = 0; k < n; ++k) {
      group_size_[k] = 0;
      for (Index g = group_start_[k]; g < group_start_[k + 1]; ++g) {
        group_size_[k] += removed_[group_in_order_[g]] == 0;
      }
    }
    for (size_t k = 0; k < n; ++k) {
      std::stable_sort(group_by_weight_.begin() + group_start_[k],
                       group_by_weight_.begin() + group_start_[k + 1],
                       [&](Index x, Index y) { return edges_[x].weight < edges_[y].weight; });
    }
    group_lightest_.resize(n);
    lightest_width_ = std::bit_ceil(n);
    lightest_tree_.assign(2 * lightest_width_, kNoWeight);
    for (size_t k = 0; k < n; ++k) find_lightest(static_cast<Index>(k));
    return true;
  }

  // Moves group `l`'s front past its cut edges and notes the weight there (NaN, which no
  // weight of a dense component is, when the group has no live edge), also in the tree of
  // the lightest weights (where an empty group counts as infinitely heavy).
  void find_lightest(Index l) {
    Index& front = group_front_[l];
    while (front < group_start_[l + 1] && removed_[group_by_weight_[front]]) ++front;
    group_lightest_[l] = front == group_start_[l + 1] ? std::numeric_limits<double>::quiet_NaN()
                                                      : edges_[group_by_weight_[front]].weight;
    size_t k = lightest_width_ + l;
    lightest_tree_[k] = std::isnan(group_lightest_[l]) ? kNoWeight : group_lightest_[l];
    for (k /= 2; k >= 1; k /= 2) {
      const double least = std::min(lightest_tree_[2 * k], lightest_tree_[2 * k + 1]);
      if (lightest_tree_[k] == least) break;
      lightest_tree_[k] = least;
    }
  }

  // Whether some order of the component's nodes puts each node's leaving and entering lists
  // (most recent first) in descending order of the other ends, as when the decisions come
  // sorted by identifiers or in pair order. Tried: identifier order, then the order in which
  // the nodes first appear in the decisions, adjusted to put every edge forwards (Kahn's
  // algorithm, earliest appearance first). When one holds, the last unvisited node of a group
  // is found by rank in bit rows (see `search_dense`); sets `ordered_`, `rank_`, `by_rank_`,
  // `entering_bits_` and `leaving_bits_`.
  void prepare_ordered(const std::vector<Index>& component) {
    ordered_ = false;
    const size_t n = component.size();
    const auto lists_follow = [&] {
      for (Index l = 0; l < n; ++l) {
        const Index u = component[l];
        Index before = UINT32_MAX;
        for (Index e : leaving(u)) {
          if (edges_[e].to == u) continue;
          const Index r = rank_[local_[edges_[e].to]];
          if (r >= before) return false;
          before = r;
        }
        before = UINT32_MAX;
        for (Index e : entering(u)) {
          if (edges_[e].from == u) continue;
          const Index r = rank_[local_[edges_[e].from]];
          if (r >= before) return false;
          before = r;
        }
      }
      return true;
    };
    const auto rank_by = [&](const std::vector<Index>& order) {
      by_rank_ = order;
      rank_.resize(n);
      for (Index r = 0; r < n; ++r) rank_[local_[order[r]]] = r;
    };
    std::vector<Index> order = component;
    std::sort(order.begin(), order.end(),
              [&](Index x, Index y) { return records_[x].id < records_[y].id; });
    rank_by(order);
    if (!lists_follow()) {
      std::vector<Index> first_seen(n, UINT32_MAX), waiting(n, 0);
      for (Index l = 0; l < n; ++l) {
        for (Index e : leaving(component[l])) {
          const Index v = local_[edges_[e].to];
          first_seen[l] = std::min(first_seen[l], e);
          first_seen[v] = std::min(first_seen[v], e);
          if (v != l) ++waiting[v];
        }
      }
      // Ready nodes by (first appearance, place): a min-heap.
      std::vector<std::pair<Index, Index>> ready;
      const auto later = std::greater<std::pair<Index, Index>>();
      for (Index l = 0; l < n; ++l) {
        if (waiting[l] == 0) ready.push_back({first_seen[l], l});
      }
      std::make_heap(ready.begin(), ready.end(), later);
      order.clear();
      while (!ready.empty()) {
        std::pop_heap(ready.begin(), ready.end(), later);
        const Index l = ready.back().second;
        ready.pop_back();
        order.push_back(component[l]);
        for (Index e : leaving(component[l])) {
          const Index v = local_[edges_[e].to];
          if (v != l && --waiting[v] == 0) {
            ready.push_back({first_seen[v], v});
            std::push_heap(ready.begin(), ready.end(), later);
          }
        }
      }
      if (order.size() != n) return;  // a cycle
      rank_by(order);
      if (!lists_follow()) return;
    }
    const size_t words = (n + 63) / 64;
    entering_bits_.assign(n * words, 0);
    leaving_bits_.assign(n * words, 0);
    for (Index l = 0; l < n; ++l) {
      for (Index g = group_start_[l]; g < group_start_[l + 1]; ++g) {
        const Index r = rank_[local_[group_other_[g]]];
        const bool leaves = edges_[group_in_order_[g]].from == component[l];
        (leaves ? leaving_bits_ : entering_bits_)[l * words + r / 64] |= uint64_t{1} << (r % 64);
      }
    }
    ordered_ = true;
  }

  // The sums of the live weights and magnitudes of group `l` (in list order), taken when a
  // coherence test first needs them after a cut in the group.
  void sum_group(Index l) {
    double sum = 0.0, magnitude = 0.0;
    for (Index g = group_start_[l]; g < group_start_[l + 1]; ++g) {
      const Index e = group_in_order_[g];
      if (removed_[e]) continue;
      sum += edges_[e].weight;
      magnitude += std::fabs(edges_[e].weight);
    }
    group_sum_[l] = sum;
    group_magnitude_[l] = magnitude;
    group_summed_[l] = 1;
  }

  // Examines a connected piece of a dense component: accepts it, or cuts its weakest edge and
  // splits it, pushing the pieces onto the worklist. The coherence test adds up the group
  // sums: a sum of the piece's weights in another order, which the sum in collection order
  // differs from by at most the bound of `below_coherence` with (edges + nodes + the largest
  // group) additions in the worst path; when the bound straddles the threshold the piece is
  // examined from scratch, which sums in collection order.
  void examine_dense(std::vector<Index> piece) {
    // While the pieces come back whole from intact kept searches, each is examined here in
    // turn, read in place from the search that found it (`order`, found by `from`): the
    // worklist would hand it back next anyway.
    const std::vector<Index>* order = &piece;
    KeptSearch* from = nullptr;
    for (uint32_t round = 1;; ++round) {
      if (round % 64 == 0) osmira_base::stop_if_cancelled(cancel_);
      if (order->size() <= max_cluster_size_) {
        double sum = 0.0, magnitude = 0.0;
        size_t edges = 0;
        for (Index u : *order) {
          if (!group_summed_[local_[u]]) sum_group(local_[u]);
          sum += group_sum_[local_[u]];
          magnitude += group_magnitude_[local_[u]];
          edges += group_size_[local_[u]];
        }
        const double count = static_cast<double>(edges);
        const double bound =
            (static_cast<double>(2 * edges + order->size()) + 4.0) * 0x1p-51 * magnitude;
        if (edges == 0 ||
            (std::isfinite(sum) && std::isfinite(bound) &&
             !((sum - bound) / count < min_cluster_coherence_))) {
          emitted_.push_back(*order);
          return;
        }
        if (!std::isfinite(sum) || !std::isfinite(bound) ||
            !((sum + bound) / count < min_cluster_coherence_)) {
          examine(*order);
          return;
        }
      }
      // No group of the piece is lighter than the lightest of the component, so the first
      // group that holds that weight ends the walk.
      Index lightest = kNoIndex;
      double weight = 0.0;
      const double least = lightest_tree_[1];
      for (Index u : *order) {
        const Index l = local_[u];
        const double w = group_lightest_[l];
        if (!std::isnan(w) && (lightest == kNoIndex || w < weight)) {
          lightest = l, weight = w;
          if (w == least) break;
        }
      }
      cut(group_by_weight_[group_front_[lightest]]);
      KeptSearch* const same = kept_search_of(*order, from);
      KeptSearch* const kept = same != nullptr && same->valid ? same : nullptr;
      if (kept != nullptr && kept->broken_at == kIntact) {
        kept->used = ++kept_clock_;
        from = kept;
        order = &kept->found;
        continue;
      }
      if (order != &piece) piece = *order;
      if (kept != nullptr) {
        kept->used = ++kept_clock_;
        if (piece.size() - kept->broken_at > kRepairedTail) {
          kept->valid = false;  // kept again if the search finds the piece whole
          keep_slot_ = kept;
          search_dense(piece, kept);
          return;
        }
        if (repair(*kept)) {
          worklist_.push_back(kept->found);
          return;
        }
        kept->valid = false;
      }
      keep_slot_ = same;
      search_dense(piece, nullptr, find_guide(piece));
      return;
    }
  }

  // The kept search over `order` (valid or not; no two hold the same order), or null.
  // `from`, when given, is the kept search that found `order`; it remembers the answer until
  // either search is replaced.
  KeptSearch* kept_search_of(const std::vector<Index>& order, KeptSearch* from) {
    if (from != nullptr && from->next != nullptr && from->next->generation == from->next_generation) {
      return from->next;
    }
    KeptSearch* found = nullptr;
    for (KeptSearch& kept : kept_) {
      if (kept.order == order) {
        found = &kept;
        break;
      }
    }
    if (from != nullptr) {
      from->next = found;
      from->next_generation = found == nullptr ? 0 : found->generation;
    }
    return found;
  }

  // A kept search over an order that differs from `piece` in few places (at most
  // kGuideDifferences, the first place not among them) and holds the same nodes, or null.
  // The nodes placed differently are marked in `diff_mark_` and `diff_bits_`.
  const KeptSearch* find_guide(const std::vector<Index>& piece) {
    constexpr size_t kGuideDifferences = 64;
    constexpr uint64_t kGuideRecency = 8;
    const KeptSearch* best = nullptr;
    size_t fewest = kGuideDifferences + 1;
    for (const KeptSearch& kept : kept_) {
      if (!kept.valid || kept.order.size() != piece.size() || kept.order[0] != piece[0]) continue;
      // A guide is nearly always among the searches used last (the other order of a piece's
      // alternation); looking further costs more than it finds.
      if (kept.used + kGuideRecency < kept_clock_) continue;
      // Counted a block at a time, which the compiler turns into vector code.
      size_t differences = 0;
      for (size_t begin = 1; begin < piece.size() && differences < fewest; begin += 256) {
        const size_t end = std::min(piece.size(), begin + 256);
        for (size_t k = begin; k < end; ++k) differences += kept.order[k] != piece[k];
      }
      if (differences < fewest) fewest = differences, best = &kept;
    }
    if (best == nullptr) return nullptr;
    const uint64_t mark = ++stamp_counter_;
    diff_mark_.resize(dense_n_);
    diff_bits_.assign((dense_n_ + 63) / 64, 0);
    for (size_t k = 1; k < piece.size(); ++k) {
      if (best->order[k] == piece[k]) continue;
      const Index l = local_[piece[k]];
      diff_mark_[l] = mark;
      diff_bits_[l / 64] |= uint64_t{1} << (l % 64);
    }
    for (size_t k = 1; k < piece.size(); ++k) {
      if (best->order[k] != piece[k] && diff_mark_[local_[best->order[k]]] != mark) return nullptr;
    }
    diff_words_.clear();
    for (size_t k = 0; k < diff_bits_.size(); ++k) {
      if (diff_bits_[k] != 0) diff_words_.push_back(k);
    }
    diff_stamp_ = mark;
    return best;
  }

  // The first place in [from, to) of a bit set in both rows, or `to`.
  static Index first_common_bit(const uint64_t* x, const uint64_t* y, Index from, Index to) {
    for (Index k = from; k < to;) {
      const uint64_t word = (x[k / 64] & y[k / 64]) >> (k % 64);
      if (word != 0) return std::min<Index>(to, k + static_cast<Index>(std::countr_zero(word)));
      k = (k / 64 + 1) * 64;
    }
    return to;
  }

  // The split's searches over a dense piece (see above); the pieces found are pushed onto
  // the worklist in the order found, each in its visit order. Places are kept one up in
  // `unvisited_below_` so that 0 can stand for "none": entry q is q while place q - 1 is
  // unvisited, else it leads downwards (path halving).
  void search_dense(const std::vector<Index>& piece, const KeptSearch* resumed = nullptr,
                    const KeptSearch* guide = nullptr) {
    const size_t n = piece.size();
    unvisited_below_.resize(n + 1);
    std::iota(unvisited_below_.begin(), unvisited_below_.end(), Index{0});
    phase_.resize(n);
    cursor_.resize(n);
    const auto find_in = [](std::vector<Index>& below, Index q) {
      while (below[q] != q) {
        below[q] = below[below[q]];
        q = below[q];
      }
      return q;
    };
    const auto find = [&](Index q) { return find_in(unvisited_below_, q); };
    // The same over the places that a step to a lower-indexed neighbour can take: a node
    // without a live edge to a higher-indexed one is nobody's lower-indexed neighbour, so
    // those scans pass it over.
    const auto find_lower = [&](Index q) { return find_in(lower_below_, q); };
    const uint64_t stamp = ++stamp_counter_;
    const size_t words = (dense_n_ + 63) / 64;
    lower_below_.resize(n + 1);
    lower_below_[0] = 0;
    place_local_.resize(n);
    place_of_local_.resize(dense_n_);
    unvisited_local_.assign(words, 0);
    if (ordered_) unvisited_bits_.assign(words, 0);
    // A resumed search starts with the kept search's first `broken_at` steps taken.
    const Index broken = resumed != nullptr ? resumed->broken_at : 0;
    for (Index k = 0; k < n; ++k) {
      const Index l = local_[piece[k]];
      position_[piece[k]] = k;
      place_local_[k] = l;
      place_of_local_[l] = k;
      if (broken != 0 && resumed->step_of[l] < broken) {
        unvisited_below_[k + 1] = k;
        lower_below_[k + 1] = k;
        visit_stamp_[piece[k]] = stamp;
        continue;
      }
      lower_below_[k + 1] = group_size_[l] != 0 ? k + 1 : k;
      unvisited_local_[l / 64] |= uint64_t{1} << (l % 64);
      if (ordered_) unvisited_bits_[rank_[l] / 64] |= uint64_t{1} << (rank_[l] % 64);
    }
    std::vector<Index> found;
    found.reserve(n);
    if (resumed != nullptr) {
      reached_from_ = resumed->reached_from;
      found.assign(resumed->found.begin(), resumed->found.begin() + broken);
    } else {
      reached_from_.assign(dense_n_, kNoIndex);
    }
    const auto visit = [&](Index place) {
      if (!path_.empty()) reached_from_[place_local_[place]] = piece[path_.back()];
      unvisited_below_[place + 1] = place;
      lower_below_[place + 1] = place;
      visit_stamp_[piece[place]] = stamp;
      unvisited_local_[place_local_[place] / 64] &= ~(uint64_t{1} << (place_local_[place] % 64));
      if (ordered_) {
        const Index r = rank_[place_local_[place]];
        unvisited_bits_[r / 64] &= ~(uint64_t{1} << (r % 64));
      }
      found.push_back(piece[place]);
      path_.push_back(place);
      phase_[place] = 0;
      cursor_[place] = static_cast<Index>(n);
    };
    // The place of the last unvisited neighbour in the list of the node at `place`, or
    // kNoIndex.
    const auto next = [&](Index place) -> Index {
      const Index u = piece[place];
      const uint16_t* pairs = live_pairs_.data() + place_local_[place] * dense_n_;
      const Index lower_count = lower_count_[place_local_[place]];
      {
        // Most calls find nothing left (a node's last call, and most leaves' only one): one
        // pass over its row of live neighbours says so before any scan (by blocks of words,
        // stopping at the first block that holds an unvisited one).
        const uint64_t* row = neighbour_bits_.data() + place_local_[place] * words;
        uint64_t left = 0;
        for (size_t begin = 0; begin < words && left == 0; begin += 8) {
          const size_t end = std::min(words, begin + 8);
          for (size_t k = begin; k < end; ++k) left |= row[k] & unvisited_local_[k];
        }
        if (left == 0) return kNoIndex;
      }
      if (phase_[place] == 0) {  // lower-indexed neighbours placed after u
        for (Index q = lower_count == 0 ? 0 : find_lower(cursor_[place]); q > place + 1;
             q = find_lower(q - 1)) {
          const Index w = piece[q - 1];
          if (w < u && pairs[place_local_[q - 1]] != 0) {
            cursor_[place] = q;
            return q - 1;
          }
        }
        phase_[place] = 1;
        cursor_[place] = ordered_ ? 0 : group_start_[local_[u] + 1];
      }
      if (phase_[place] == 1 && group_size_[place_local_[place]] == 0) {
        phase_[place] = 2;
        cursor_[place] = place;
      }
      if (phase_[place] == 1 && ordered_) {
        // The group lists its leaving part, then its entering part, each by rank descending:
        // the last unvisited node is the lowest-ranked unvisited one of the entering part,
        // else of the leaving part. The cursor counts the entering ranks, then n more.
        const Index n_all = static_cast<Index>(dense_n_);
        const size_t row = place_local_[place] * words;
        for (const auto* bits : {&entering_bits_, &leaving_bits_}) {
          const Index offset = bits == &entering_bits_ ? 0 : n_all;
          if (cursor_[place] < offset) cursor_[place] = offset;
          if (cursor_[place] >= offset + n_all) continue;
          const Index at = first_common_bit(bits->data() + row, unvisited_bits_.data(),
                                            cursor_[place] - offset, n_all);
          if (at != n_all) {
            cursor_[place] = offset + at;
            return position_[by_rank_[at]];
          }
          cursor_[place] = offset + n_all;
        }
        phase_[place] = 2;
        cursor_[place] = place;
      }
      if (phase_[place] == 1) {  // u's own group
        const Index begin = group_start_[local_[u]];
        for (Index g = cursor_[place]; g > begin; --g) {
          const Index v = group_other_[g - 1];
          if (visit_stamp_[v] != stamp && !removed_[group_in_order_[g - 1]]) {
            cursor_[place] = g;
            return position_[v];
          }
        }
        phase_[place] = 2;
        cursor_[place] = place;
      }
      // Lower-indexed neighbours placed before u.
      for (Index q = find_lower(cursor_[place]); q > 0; q = find_lower(q - 1)) {
        const Index w = piece[q - 1];
        if (w < u && pairs[place_local_[q - 1]] != 0) {
          cursor_[place] = q;
          return q - 1;
        }
      }
      return kNoIndex;
    };
    size_t visited = 0;
    bool resuming = resumed != nullptr;
    if (resuming) {
      // The kept search's state just before it reached the node of step `broken_at`: the
      // nodes before it visited (above), and that node's ancestors in its tree as the path.
      for (Index x = resumed->reached_from[local_[resumed->found[broken]]]; x != kNoIndex;
           x = resumed->reached_from[local_[x]]) {
        path_.push_back(position_[x]);
        phase_[position_[x]] = 0;
        cursor_[position_[x]] = static_cast<Index>(n);
      }
      std::reverse(path_.begin(), path_.end());
    }
    // A guide is a search over an order that differs from the piece's only in the places of
    // the marked nodes, and that holds for today's live edges up to its step `guided_until`.
    // While this search has taken the same steps, their states agree: whether a node has an
    // unvisited neighbour left does not depend on the order, and its choice among them only
    // through the places of the nodes compared. So the guide's next step stands unless it
    // comes from or leads to a node placed differently, or an unvisited differently placed
    // lower-indexed neighbour would come after it in the list; such steps are taken the usual
    // way, and the guide is left at the first step that differs.
    const Index guided_until = guide == nullptr ? 0
                               : guide->broken_at == kIntact ? static_cast<Index>(n)
                                                             : guide->broken_at;
    Index step = 1;
    bool guided = guide != nullptr && guided_until > 0;
    const auto guided_next = [&](Index place) -> Index {
      if (step == guided_until) {
        guided = false;
        return next(place);
      }
      const Index u = piece[place], c = guide->found[step];
      if (guide->reached_from[local_[c]] != u) return kNoIndex;
      const Index chosen = position_[c];
      bool stands = true;
      if (diff_mark_[local_[u]] == diff_stamp_ || diff_mark_[local_[c]] == diff_stamp_) {
        stands = false;
      } else {
        // Lower-indexed neighbours rank by place after u, then the group, then by place
        // before u.
        const auto rank = [&](Index q) -> size_t { return q > place ? 2 * n + q : q; };
        const size_t chosen_rank = c < u ? rank(chosen) : n;
        const uint64_t* row = neighbour_bits_.data() + local_[u] * words;
        for (size_t i = 0; i < diff_words_.size() && stands; ++i) {
          const size_t k = diff_words_[i];
          for (uint64_t bits = row[k] & unvisited_local_[k] & diff_bits_[k]; bits != 0;
               bits &= bits - 1) {
            const Index l = static_cast<Index>(k * 64 + static_cast<size_t>(std::countr_zero(bits)));
            const Index q = place_of_local_[l];
            if (piece[q] < u && rank(q) > chosen_rank) {
              stands = false;
              break;
            }
          }
        }
      }
      if (!stands) {
        const Index exact = next(place);
        if (exact != chosen) {
          guided = false;
          return exact;
        }
      }
      ++step;
      return chosen;
    };
    for (Index start = 0; start < n; ++start) {
      if (resuming) {
        resuming = false;
      } else {
        if (find(start + 1) != start + 1) continue;
        visit(start);
      }
      // Once every node is visited no step can visit another: the path is dropped as it is.
      while (!path_.empty() && visited + found.size() < n) {
        const Index to = guided ? guided_next(path_.back()) : next(path_.back());
        if (to == kNoIndex) {
          path_.pop_back();
        } else {
          visit(to);
        }
      }
      path_.clear();
      visited += found.size();
      if (found.size() == n) {
        keep_search(piece, found);
        worklist_.push_back(std::move(found));
        return;
      }
      worklist_.push_back(std::move(found));
      found.clear();
    }
  }

  // Keeps the search over `order` that found the whole piece again as `found` (its tree is in
  // `reached_from_`), in the slot that already holds `order` (`keep_slot_`, looked up before
  // the search) or else the least recently used.
  void keep_search(const std::vector<Index>& order, const std::vector<Index>& found) {
    size_t slot = 0;
    for (size_t k = 0; k < kept_.size(); ++k) {
      if (kept_[k].used < kept_[slot].used) slot = k;
    }
    const bool same_order = keep_slot_ != nullptr;
    if (same_order) slot = static_cast<size_t>(keep_slot_ - kept_.data());
    KeptSearch& kept = kept_[slot];
    if (!same_order) {
      kept.order = order;
      kept.generation = ++kept_clock_;
    }
    kept.found = found;
    kept.next = nullptr;
    kept.reached_from.swap(reached_from_);
    kept.step_of.resize(dense_n_);
    for (size_t k = 0; k < found.size(); ++k) {
      kept.step_of[local_[found[k]]] = static_cast<Index>(k);
    }
    kept.broken_at = kIntact;
    kept.valid = true;
    kept.used = ++kept_clock_;
  }

  // Repairs a kept search whose tree lost an edge: the search over the same order is the kept
  // one up to the first node reached through a cut pair (`broken_at`). There the visited
  // nodes are those before it and the path is that node's ancestors in the tree; the search
  // goes on from there, the top of the path taking the unvisited neighbour placed last in its
  // list (by the list layout of `search_dense`), testing each of the few unvisited nodes.
  // False, with the search left unusable, when the piece falls apart.
  bool repair(KeptSearch& kept) {
    kept.next = nullptr;
    const std::vector<Index>& piece = kept.order;
    for (size_t k = 0; k < piece.size(); ++k) position_[piece[k]] = static_cast<Index>(k);
    std::vector<Index>& found = kept.found;
    unvisited_.assign(found.begin() + kept.broken_at, found.end());
    found.resize(kept.broken_at);
    path_.clear();
    for (Index x = kept.reached_from[local_[unvisited_.front()]]; x != kNoIndex;
         x = kept.reached_from[local_[x]]) {
      path_.push_back(x);
    }
    std::reverse(path_.begin(), path_.end());
    while (!unvisited_.empty()) {
      if (path_.empty()) return false;
      const Index x = path_.back(), place = position_[x];
      const uint16_t* pairs = live_pairs_.data() + local_[x] * dense_n_;
      // The best lower-indexed neighbour placed after x, else the best of x's group (several:
      // the one whose live edge comes last in the group), else the best placed before x.
      size_t after = SIZE_MAX, before = SIZE_MAX, group = SIZE_MAX, groups = 0;
      const uint64_t stamp = ++stamp_counter_;
      for (size_t k = 0; k < unvisited_.size(); ++k) {
        const Index w = unvisited_[k];
        if (pairs[local_[w]] == 0) continue;
        size_t& best = w > x ? group : position_[w] > place ? after : before;
        if (w > x) {
          visit_stamp_[w] = stamp;
          ++groups;
        }
        if (best == SIZE_MAX || position_[w] > position_[unvisited_[best]]) best = k;
      }
      size_t chosen = after != SIZE_MAX ? after : group != SIZE_MAX ? group : before;
      if (chosen == SIZE_MAX) {
        path_.pop_back();
        continue;
      }
      if (chosen == group && groups > 1) {
        const Index l = local_[x];
        Index g = group_start_[l + 1];
        while (removed_[group_in_order_[g - 1]] || visit_stamp_[group_other_[g - 1]] != stamp) --g;
        chosen = static_cast<size_t>(
            std::find(unvisited_.begin(), unvisited_.end(), group_other_[g - 1]) -
            unvisited_.begin());
      }
      const Index w = unvisited_[chosen];
      unvisited_[chosen] = unvisited_.back();
      unvisited_.pop_back();
      kept.reached_from[local_[w]] = x;
      kept.step_of[local_[w]] = static_cast<Index>(found.size());
      found.push_back(w);
      path_.push_back(w);
    }
    path_.clear();
    kept.broken_at = kIntact;
    return true;
  }

  // The acceptance test of a piece of `nodes` nodes whose `edges` taken edges have the mean
  // `below` says: accepted when it has no taken edges, or when the mean is not below the
  // coherence (so a NaN coherence leaves the size test alone) and the piece is not too large.
  template <typename Below>
  bool accepted(size_t nodes, size_t edges, Below&& below) const {
    return edges == 0 || (nodes <= max_cluster_size_ && !below());
  }

  // Examines a piece of two or more nodes from scratch: accepts it, or cuts its weakest edge
  // and either splits it (pieces go to the worklist) or, when settled, goes on cutting it
  // here.
  void examine(std::vector<Index> piece) {
    const uint64_t stamp = ++stamp_counter_;
    for (size_t k = 0; k < piece.size(); ++k) {
      piece_stamp_[piece[k]] = stamp;
      position_[piece[k]] = static_cast<Index>(k);
    }
    const double sum = collect(piece, stamp);
    if (accepted(piece.size(), taken_.size(), [&] {
          return sum / static_cast<double>(taken_.size()) < min_cluster_coherence_;
        })) {
      emitted_.push_back(std::move(piece));
      return;
    }
    // The first edge of the smallest weight in collection order (a later one replaces the
    // candidate only when strictly lighter; so a NaN first edge stays, and later NaNs never
    // win).
    size_t weakest = 0;
    for (size_t k = 1; k < taken_.size(); ++k) {
      if (weight_at(k) < weight_at(weakest)) weakest = k;
    }
    cut(taken_[weakest]);
    list_neighbours(piece.size());
    if (split(piece, stamp)) cut_settled(std::move(piece), stamp);
  }

  // Collects the piece's edges into `taken_` in collection order (each node in the piece's
  // order: its leaving, then its entering edges, each taken from its lower-indexed end) and
  // returns their weight sum in that order. Edges that can never be taken again are dropped
  // from the lists on the way: cut ones, self loops, and those whose other end lies outside
  // the piece (pieces only ever split further).
  double collect(const std::vector<Index>& piece, uint64_t stamp) {
    taken_.clear();
    double sum = 0.0;
    const auto walk = [&](Index u, std::vector<Index>& list, Index begin, Index& end,
                          Index Edge::*other) {
      Index kept = begin;
      for (Index k = begin; k < end; ++k) {
        const Index e = list[k];
        const Index v = edges_[e].*other;
        if (removed_[e] || v == u || piece_stamp_[v] != stamp) continue;
        list[kept++] = e;
        if (v > u) {
          taken_.push_back(e);
          sum += edges_[e].weight;
        }
      }
      end = kept;
    };
    for (Index u : piece) {
      walk(u, out_edges_, out_start_[u], out_end_[u], &Edge::to);
      walk(u, in_edges_, in_start_[u], in_end_[u], &Edge::from);
    }
    return sum;
  }

  // Lists for each node of a piece of `n` nodes (by its position) the edges of `taken_` that
  // are not cut, in collection order, as the piece's searches follow them.
  void list_neighbours(size_t n) {
    nbr_start_.assign(n + 1, 0);
    for (Index e : taken_) {
      if (removed_[e]) continue;
      ++nbr_start_[position_[edges_[e].from] + 1];
      ++nbr_start_[position_[edges_[e].to] + 1];
    }
    for (size_t k = 0; k < n; ++k) nbr_start_[k + 1] += nbr_start_[k];
    nbr_fill_.assign(nbr_start_.begin(), nbr_start_.end() - 1);
    nbr_.resize(nbr_start_[n]);
    for (Index e : taken_) {
      if (removed_[e]) continue;
      nbr_[nbr_fill_[position_[edges_[e].from]]++] = e;
      nbr_[nbr_fill_[position_[edges_[e].to]]++] = e;
    }
  }

  Index other_end(Index e, Index u) const {
    return edges_[e].from == u ? edges_[e].to : edges_[e].from;
  }

  // Whether `found` lists the nodes of `piece` still stamped `stamp`, in the same order.
  bool same_live_order(const std::vector<Index>& found, const std::vector<Index>& piece,
                       uint64_t stamp) const {
    size_t k = 0;
    for (Index u : piece) {
      if (piece_stamp_[u] != stamp) continue;
      if (k == found.size() || found[k] != u) return false;
      ++k;
    }
    return k == found.size();
  }

  // Splits the nodes of `piece` still stamped `stamp` along the listed edges; the pieces
  // found are pushed onto the worklist in the order found, each in its visit order. Notes
  // for every node the edge through which the search reached it (`reached_by_`). When the
  // first search visits the whole piece in the piece's order, nothing is pushed and true is
  // returned: the piece is settled, and comes back unchanged but for the cut edge.
  bool split(const std::vector<Index>& piece, uint64_t stamp) {
    const uint64_t visit = ++stamp_counter_;
    bool first = true;
    for (Index start : piece) {
      if (piece_stamp_[start] != stamp || visit_stamp_[start] == visit) continue;
      std::vector<Index> found;
      stack_.assign(1, {start, kNoIndex});
      while (!stack_.empty()) {
        const auto [u, via] = stack_.back();
        stack_.pop_back();
        if (visit_stamp_[u] == visit) continue;
        visit_stamp_[u] = visit;
        reached_by_[u] = via;
        found.push_back(u);
        const Index p = position_[u];
        for (Index k = nbr_start_[p]; k < nbr_start_[p + 1]; ++k) {
          const Index v = other_end(nbr_[k], u);
          if (visit_stamp_[v] != visit) stack_.push_back({v, nbr_[k]});
        }
      }
      if (first && same_live_order(found, piece, stamp)) return true;
      first = false;
      worklist_.push_back(std::move(found));
    }
    return false;
  }

  // Goes on cutting a settled piece (see the class comment), whose weakest edge has just
  // been cut, until it is accepted or a cut splits it from scratch.
  void cut_settled(std::vector<Index> piece, uint64_t stamp) {
    // Live edges per node; the cut order: positions by weight, then position, NaN last.
    size_t edges = 0;
    for (Index e : taken_) {
      if (removed_[e]) continue;
      ++edges;
      ++degree_[edges_[e].from];
      ++degree_[edges_[e].to];
    }
    by_weight_.resize(taken_.size());
    std::iota(by_weight_.begin(), by_weight_.end(), Index{0});
    std::sort(by_weight_.begin(), by_weight_.end(), [&](Index x, Index y) {
      const double wx = weight_at(x), wy = weight_at(y);
      if (std::isnan(wx) != std::isnan(wy)) return std::isnan(wy);
      if (wx < wy) return true;
      if (wy < wx) return false;
      return x < y;
    });
    sums_.clear();
    size_t nodes = piece.size();
    size_t first = 0;  // no live edge before this position
    size_t next = 0;   // no live edge before this place of `by_weight_`
    const auto clear_degrees = [&] {
      for (Index e : taken_) degree_[edges_[e].from] = degree_[edges_[e].to] = 0;
    };
    for (;;) {
      osmira_base::stop_if_cancelled(cancel_);
      if (nodes < 2 || accepted(nodes, edges, [&] { return below_coherence(edges); })) {
        clear_degrees();
        std::erase_if(piece, [&](Index u) { return piece_stamp_[u] != stamp; });
        if (!piece.empty()) emitted_.push_back(std::move(piece));
        return;
      }
      while (cut_at(first)) ++first;
      size_t weakest = first;
      if (!std::isnan(weight_at(first))) {
        while (cut_at(by_weight_[next])) ++next;
        weakest = by_weight_[next];
      }
      const Index cut = taken_[weakest];
      this->cut(cut);
      --edges;
      if (!sums_.empty()) set_leaf(weakest, 0.0);
      const Edge& e = edges_[cut];
      --degree_[e.from];
      --degree_[e.to];
      if (reached_by_[e.from] != cut && reached_by_[e.to] != cut) continue;
      if (degree_[e.from] != 0 && degree_[e.to] != 0) {
        list_neighbours(piece.size());
        if (split(piece, stamp)) continue;  // reached otherwise, in the same order
        clear_degrees();
        return;
      }
      for (const Index u : {e.from, e.to}) {
        if (degree_[u] != 0) continue;
        piece_stamp_[u] = 0;
        emitted_.push_back({u});
        --nodes;
      }
    }
  }

  // Whether the mean of the `edges` live edges of a settled piece, summed in collection
  // order, is below the coherence.
  //
  // The tree in `sums_` adds the live weights pairwise (cut ones count as zero) over
  // ceil(log2 m) levels, m the number of positions; the collection-order sum adds the same
  // weights one by one. Both lie within (levels + edges) * u * (sum of |w|) of the exact sum
  // (u = 2^-53, the unit roundoff), so the collection-order sum lies in [t - b, t + b] for
  // the tree's sum t and b = (levels + edges + 4) * 4u * (tree's sum of |w|), which allows for
  // the rounding of b and of t +- b themselves. Dividing by the count is monotonic, so when
  // both ends give the same answer it is the answer; otherwise (or when something is not
  // finite) the weights are summed in collection order.
  bool below_coherence(size_t edges) {
    if (sums_.empty()) build_sums();
    const double count = static_cast<double>(edges);
    const double total = sums_[1];
    const double magnitude = magnitudes_.empty() ? total : magnitudes_[1];
    if (std::isfinite(total) && std::isfinite(magnitude)) {
      const double bound =
          (static_cast<double>(levels_ + edges) + 4.0) * 0x1p-51 * magnitude;
      if ((total + bound) / count < min_cluster_coherence_) return true;
      if (!((total - bound) / count < min_cluster_coherence_)) return false;
    }
    double sum = 0.0;
    for (size_t k = 0; k < taken_.size(); ++k) {
      if (!cut_at(k)) sum += weight_at(k);
    }
    return sum / count < min_cluster_coherence_;
  }

  // The pairwise sums of the live weights (and of their magnitudes, when some weight is
  // negative) over the collection positions: leaves at [width, 2 width), node k adds 2k and
  // 2k + 1.
  void build_sums() {
    size_t width = 1;
    levels_ = 0;
    while (width < taken_.size()) {
      width *= 2;
      ++levels_;
    }
    sums_.assign(2 * width, 0.0);
    magnitudes_.clear();
    bool negative = false;
    for (size_t k = 0; k < taken_.size(); ++k) {
      if (cut_at(k)) continue;
      sums_[width + k] = weight_at(k);
      negative = negative || weight_at(k) < 0.0;
    }
    if (negative) {
      magnitudes_.assign(2 * width, 0.0);
      for (size_t k = 0; k < taken_.size(); ++k) {
        magnitudes_[width + k] = std::fabs(sums_[width + k]);
      }
    }
    for (size_t k = width; k-- > 1;) {
      sums_[k] = sums_[2 * k] + sums_[2 * k + 1];
      if (negative) magnitudes_[k] = magnitudes_[2 * k] + magnitudes_[2 * k + 1];
    }
  }

  void set_leaf(size_t position, double weight) {
    size_t k = sums_.size() / 2 + position;
    sums_[k] = weight;
    if (!magnitudes_.empty()) magnitudes_[k] = std::fabs(weight);
    for (k /= 2; k >= 1; k /= 2) {
      sums_[k] = sums_[2 * k] + sums_[2 * k + 1];
      if (!magnitudes_.empty()) magnitudes_[k] = magnitudes_[2 * k] + magnitudes_[2 * k + 1];
    }
  }

  std::span<const NormalizedEntity> records_;
  Index node_count_;
  std::vector<Edge> edges_;
  std::vector<uint8_t> removed_;
  // Per node: its leaving and entering edges at [start, end) of the edge lists.
  std::vector<Index> out_start_, out_end_, out_edges_, in_start_, in_end_, in_edges_;
  // Per node: the stamp of the piece it was last placed in (0 once split off alone), the
  // stamp of the search that last visited it, its position in that piece, the edge through
  // which the piece's search reached it, and its live edges while its piece is settled.
  std::vector<uint64_t> piece_stamp_, visit_stamp_;
  std::vector<Index> position_, reached_by_, degree_;
  uint64_t stamp_counter_ = 1;  // 1 marks the nodes visited while finding the components

  double min_cluster_coherence_ = 0.0;
  uint64_t max_cluster_size_ = UINT64_MAX;
  const osmira_base::CancelFlag* cancel_ = nullptr;
  std::vector<std::vector<Index>> worklist_, emitted_;

  // Dense components: each node's place in the component, the number of live edges between
  // every two nodes (by place), the groups by place in list order and by weight, with the
  // first place of each group's sorted list that may be live (the first live one, and its
  // weight, after every cut); and the searches' scratch.
  bool dense_ = false;
  std::vector<Index> local_;
  size_t dense_n_ = 0;
  std::vector<double> group_sum_, group_magnitude_, group_lightest_;
  std::vector<Index> group_size_;
  std::vector<uint8_t> group_summed_;
  // A tree of the groups' lightest live weights over their places (leaves at
  // [lightest_width_, 2 lightest_width_), node k the least of 2k and 2k + 1).
  static constexpr double kNoWeight = std::numeric_limits<double>::infinity();
  size_t lightest_width_ = 0;
  std::vector<double> lightest_tree_;
  std::vector<uint16_t> live_pairs_;
  std::vector<Index> group_start_, group_in_order_, group_other_, group_by_weight_,
      group_front_;
  std::vector<Index> unvisited_below_, lower_below_, cursor_, path_, place_local_;
  // Per node (by place in the component): how many lower-indexed nodes it has live edges
  // to, and a bit row of all the nodes it has live edges to; the searches' unvisited nodes
  // by that place, and each one's place in the piece searched.
  std::vector<Index> lower_count_, place_of_local_;
  std::vector<uint64_t> neighbour_bits_, unvisited_local_;
  // The guide of a search (see `search_dense`): the nodes placed differently, marked by
  // place in the component with `diff_stamp_`.
  std::vector<uint64_t> diff_mark_, diff_bits_;
  std::vector<size_t> diff_words_;  // the words of `diff_bits_` that are not 0
  uint64_t diff_stamp_ = 0;
  // Ordered components (see `prepare_ordered`): the rank of each node (by place in the
  // component), the node of each rank, per node bit rows over the ranks of its live group
  // (entering and leaving part),
  // and the unvisited nodes of the piece searched, by rank.
  bool ordered_ = false;
  std::vector<Index> rank_, by_rank_;
  std::vector<uint64_t> entering_bits_, leaving_bits_, unvisited_bits_;
  std::vector<uint8_t> phase_;
  std::array<KeptSearch, kKeptSearches> kept_;
  uint64_t kept_clock_ = 0;
  KeptSearch* keep_slot_ = nullptr;  // the kept search over the order being searched, if any
  std::vector<Index> reached_from_, unvisited_;

  // Scratch, reused across pieces: the collected edges, the neighbour lists by position,
  // the search stack (node, edge it was pushed through), the cut order and the sums.
  std::vector<Index> taken_, nbr_start_, nbr_fill_, nbr_, by_weight_;
  std::vector<std::pair<Index, Index>> stack_;
  std::vector<double> sums_, magnitudes_;
  size_t levels_ = 0;
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
