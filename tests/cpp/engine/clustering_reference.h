// Graph clustering as it was first written, kept as the reference that the clustering
// code is checked against: every piece is collected, summed and split again from scratch
// after each cut, so a dense component costs edges x edges. Same orders and tie-breaks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "core/engine/clustering.h"

namespace osmira_core::engine::reference {

using Index = uint32_t;
constexpr Index kNoIndex = RecordIndex::kAbsent;
using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

class StraightforwardGraph {
 public:
  StraightforwardGraph(std::span<const NormalizedEntity> records, const RecordIndex& index,
                std::span<const MatchDecision> decisions, double min_edge_weight)
      : node_count_(static_cast<Index>(records.size())) {
    for (const MatchDecision& d : decisions) {
      if (d.decision != Decision::kMerge) continue;
      // Written as "not below" so that a NaN threshold admits every decision.
      if (min_edge_weight > d.confidence) continue;
      const Index a = index.find(d.entity_a_id), b = index.find(d.entity_b_id);
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

// The clusters of graph clustering: identifiers ascending in each, clusters by their first
// identifier; a superseded record belongs to none.
inline std::vector<Cluster> cluster_graph(const ClusteringSettings& settings,
                                          std::span<const NormalizedEntity> records,
                                          std::span<const MatchDecision> decisions) {
  const RecordIndex index(records);
  StraightforwardGraph graph(records, index, decisions, settings.min_edge_weight);
  std::vector<Cluster> clusters;
  for (const std::vector<Index>& piece :
       graph.resolve(settings.min_cluster_coherence, settings.max_cluster_size, nullptr)) {
    Cluster& cluster = clusters.emplace_back();
    for (Index node : piece) {
      if (index.stands(node)) cluster.push_back(records[node].id);
    }
    std::sort(cluster.begin(), cluster.end());
    if (cluster.empty()) clusters.pop_back();
  }
  std::stable_sort(clusters.begin(), clusters.end(),
                   [](const Cluster& a, const Cluster& b) { return a.front() < b.front(); });
  return clusters;
}

}  // namespace osmira_core::engine::reference
