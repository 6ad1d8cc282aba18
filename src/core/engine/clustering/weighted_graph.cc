// Weighted-graph clustering: the graph, the components, and the general path that collects,
// tests and splits each piece (see weighted_graph.h).
#include "core/engine/clustering/weighted_graph.h"

#include <tbb/task_group.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace osmira_core::engine::clustering_detail {

using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

WeightedGraph::WeightedGraph(std::span<const NormalizedEntity> records, const RecordIndex& index,
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

std::vector<std::vector<Index>> WeightedGraph::resolve(double min_cluster_coherence,
                                                       uint64_t max_cluster_size,
                                                       const osmira_base::CancelFlag* cancel) {
  min_cluster_coherence_ = min_cluster_coherence;
  max_cluster_size_ = max_cluster_size;
  cancel_ = cancel;
  Scratch& s = scratch_.local();
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
      s.emitted.push_back(std::move(component));
    } else {
      resolve_component(s, std::move(component));
    }
  }
  std::vector<std::vector<Index>> emitted;
  for (Scratch& each : scratch_) {
    for (std::vector<Index>& piece : each.emitted) emitted.push_back(std::move(piece));
  }
  return emitted;
}

void WeightedGraph::build_adjacency() {
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

void WeightedGraph::resolve_component(Scratch& s, std::vector<Index> component) {
  if (component.size() >= kOrderFreeFrom && resolve_in_any_order(s, component)) return;
  if (!prepare_dense(component)) {
    resolve_pieces(s, std::move(component), nullptr);
    return;
  }
  // The pieces of a dense component are disjoint and evolve apart: each large one is
  // resolved in a task of its own, with that worker's scratch (a task never waits, so no
  // other task runs on its worker meanwhile). Which piece comes first changes only the order
  // of the emitted pieces, which the clusters are sorted out of.
  dense_ = true;
  tbb::task_group tasks;
  std::function<void(std::vector<Index>)> hand_off = [&](std::vector<Index> first) {
    tasks.run([this, &hand_off, first = std::move(first)] {
      Scratch& t = scratch_.local();
      for (KeptSearch& kept : t.kept) kept.valid = false;
      resolve_pieces(t, first, &hand_off);
    });
  };
  hand_off(std::move(component));
  tasks.wait();
  dense_ = false;
}

void WeightedGraph::resolve_pieces(Scratch& s, std::vector<Index> first,
                                   const std::function<void(std::vector<Index>)>* hand_off) {
  s.worklist.push_back(std::move(first));
  while (!s.worklist.empty()) {
    osmira_base::stop_if_cancelled(cancel_);
    std::vector<Index> piece = std::move(s.worklist.back());
    s.worklist.pop_back();
    if (piece.size() < 2) {
      s.emitted.push_back(std::move(piece));
      continue;
    }
    if (hand_off == nullptr) {
      examine(s, std::move(piece));
      continue;
    }
    examine_dense(s, std::move(piece));
    // All but the last piece found, when large, go to other tasks.
    for (size_t k = 0; k + 1 < s.worklist.size();) {
      if (s.worklist[k].size() < kOwnTaskFrom) {
        ++k;
        continue;
      }
      (*hand_off)(std::move(s.worklist[k]));
      s.worklist.erase(s.worklist.begin() + static_cast<std::ptrdiff_t>(k));
    }
  }
}

void WeightedGraph::examine(Scratch& s, std::vector<Index> piece) {
  const uint64_t stamp = ++stamp_counter_;
  for (size_t k = 0; k < piece.size(); ++k) {
    piece_stamp_[piece[k]] = stamp;
    position_[piece[k]] = static_cast<Index>(k);
  }
  const double sum = collect(s, piece, stamp);
  if (accepted(piece.size(), s.taken.size(), [&] {
        return sum / static_cast<double>(s.taken.size()) < min_cluster_coherence_;
      })) {
    s.emitted.push_back(std::move(piece));
    return;
  }
  // The first edge of the smallest weight in collection order (a later one replaces the
  // candidate only when strictly lighter; so a NaN first edge stays, and later NaNs never
  // win).
  size_t weakest = 0;
  for (size_t k = 1; k < s.taken.size(); ++k) {
    if (weight_at(s, k) < weight_at(s, weakest)) weakest = k;
  }
  cut(s, s.taken[weakest]);
  list_neighbours(s, piece.size());
  if (split(s, piece, stamp)) cut_settled(s, std::move(piece), stamp);
}

double WeightedGraph::collect(Scratch& s, const std::vector<Index>& piece, uint64_t stamp) {
  s.taken.clear();
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
        s.taken.push_back(e);
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

void WeightedGraph::list_neighbours(Scratch& s, size_t n) {
  s.nbr_start.assign(n + 1, 0);
  for (Index e : s.taken) {
    if (removed_[e]) continue;
    ++s.nbr_start[position_[edges_[e].from] + 1];
    ++s.nbr_start[position_[edges_[e].to] + 1];
  }
  for (size_t k = 0; k < n; ++k) s.nbr_start[k + 1] += s.nbr_start[k];
  s.nbr_fill.assign(s.nbr_start.begin(), s.nbr_start.end() - 1);
  s.nbr.resize(s.nbr_start[n]);
  for (Index e : s.taken) {
    if (removed_[e]) continue;
    s.nbr[s.nbr_fill[position_[edges_[e].from]]++] = e;
    s.nbr[s.nbr_fill[position_[edges_[e].to]]++] = e;
  }
}

bool WeightedGraph::same_live_order(const std::vector<Index>& found,
                                    const std::vector<Index>& piece,
                                    uint64_t stamp) const {
  size_t k = 0;
  for (Index u : piece) {
    if (piece_stamp_[u] != stamp) continue;
    if (k == found.size() || found[k] != u) return false;
    ++k;
  }
  return k == found.size();
}

bool WeightedGraph::split(Scratch& s, const std::vector<Index>& piece, uint64_t stamp) {
  const uint64_t visit = ++stamp_counter_;
  bool first = true;
  for (Index start : piece) {
    if (piece_stamp_[start] != stamp || visit_stamp_[start] == visit) continue;
    std::vector<Index> found;
    s.stack.assign(1, {start, kNoIndex});
    while (!s.stack.empty()) {
      const auto [u, via] = s.stack.back();
      s.stack.pop_back();
      if (visit_stamp_[u] == visit) continue;
      visit_stamp_[u] = visit;
      reached_by_[u] = via;
      found.push_back(u);
      const Index p = position_[u];
      for (Index k = s.nbr_start[p]; k < s.nbr_start[p + 1]; ++k) {
        const Index v = other_end(s.nbr[k], u);
        if (visit_stamp_[v] != visit) s.stack.push_back({v, s.nbr[k]});
      }
    }
    if (first && same_live_order(found, piece, stamp)) return true;
    first = false;
    s.worklist.push_back(std::move(found));
  }
  return false;
}

void WeightedGraph::cut_settled(Scratch& s, std::vector<Index> piece, uint64_t stamp) {
  // Live edges per node; the cut order: positions by weight, then position, NaN last.
  size_t edges = 0;
  for (Index e : s.taken) {
    if (removed_[e]) continue;
    ++edges;
    ++degree_[edges_[e].from];
    ++degree_[edges_[e].to];
  }
  s.by_weight.resize(s.taken.size());
  std::iota(s.by_weight.begin(), s.by_weight.end(), Index{0});
  std::sort(s.by_weight.begin(), s.by_weight.end(), [&](Index x, Index y) {
    const double wx = weight_at(s, x), wy = weight_at(s, y);
    if (std::isnan(wx) != std::isnan(wy)) return std::isnan(wy);
    if (wx < wy) return true;
    if (wy < wx) return false;
    return x < y;
  });
  s.sums.clear();
  size_t nodes = piece.size();
  size_t first = 0;  // no live edge before this position
  size_t next = 0;   // no live edge before this place of `s.by_weight`
  const auto clear_degrees = [&] {
    for (Index e : s.taken) degree_[edges_[e].from] = degree_[edges_[e].to] = 0;
  };
  for (;;) {
    osmira_base::stop_if_cancelled(cancel_);
    if (nodes < 2 || accepted(nodes, edges, [&] { return below_coherence(s, edges); })) {
      clear_degrees();
      std::erase_if(piece, [&](Index u) { return piece_stamp_[u] != stamp; });
      if (!piece.empty()) s.emitted.push_back(std::move(piece));
      return;
    }
    while (cut_at(s, first)) ++first;
    size_t weakest = first;
    if (!std::isnan(weight_at(s, first))) {
      while (cut_at(s, s.by_weight[next])) ++next;
      weakest = s.by_weight[next];
    }
    const Index weakest_edge = s.taken[weakest];
    cut(s, weakest_edge);
    --edges;
    if (!s.sums.empty()) set_leaf(s, weakest, 0.0);
    const Edge& e = edges_[weakest_edge];
    --degree_[e.from];
    --degree_[e.to];
    if (reached_by_[e.from] != weakest_edge && reached_by_[e.to] != weakest_edge) continue;
    if (degree_[e.from] != 0 && degree_[e.to] != 0) {
      list_neighbours(s, piece.size());
      if (split(s, piece, stamp)) continue;  // reached otherwise, in the same order
      clear_degrees();
      return;
    }
    for (const Index u : {e.from, e.to}) {
      if (degree_[u] != 0) continue;
      piece_stamp_[u] = 0;
      s.emitted.push_back({u});
      --nodes;
    }
  }
}

bool WeightedGraph::below_coherence(Scratch& s, size_t edges) {
  if (s.sums.empty()) build_sums(s);
  const double count = static_cast<double>(edges);
  const double total = s.sums[1];
  const double magnitude = s.magnitudes.empty() ? total : s.magnitudes[1];
  if (std::isfinite(total) && std::isfinite(magnitude)) {
    const double bound =
        (static_cast<double>(s.levels + edges) + 4.0) * 0x1p-51 * magnitude;
    if ((total + bound) / count < min_cluster_coherence_) return true;
    if (!((total - bound) / count < min_cluster_coherence_)) return false;
  }
  double sum = 0.0;
  for (size_t k = 0; k < s.taken.size(); ++k) {
    if (!cut_at(s, k)) sum += weight_at(s, k);
  }
  return sum / count < min_cluster_coherence_;
}

void WeightedGraph::build_sums(Scratch& s) {
  size_t width = 1;
  s.levels = 0;
  while (width < s.taken.size()) {
    width *= 2;
    ++s.levels;
  }
  s.sums.assign(2 * width, 0.0);
  s.magnitudes.clear();
  bool negative = false;
  for (size_t k = 0; k < s.taken.size(); ++k) {
    if (cut_at(s, k)) continue;
    s.sums[width + k] = weight_at(s, k);
    negative = negative || weight_at(s, k) < 0.0;
  }
  if (negative) {
    s.magnitudes.assign(2 * width, 0.0);
    for (size_t k = 0; k < s.taken.size(); ++k) {
      s.magnitudes[width + k] = std::fabs(s.sums[width + k]);
    }
  }
  for (size_t k = width; k-- > 1;) {
    s.sums[k] = s.sums[2 * k] + s.sums[2 * k + 1];
    if (negative) s.magnitudes[k] = s.magnitudes[2 * k] + s.magnitudes[2 * k + 1];
  }
}

void WeightedGraph::set_leaf(Scratch& s, size_t position, double weight) {
  size_t k = s.sums.size() / 2 + position;
  s.sums[k] = weight;
  if (!s.magnitudes.empty()) s.magnitudes[k] = std::fabs(weight);
  for (k /= 2; k >= 1; k /= 2) {
    s.sums[k] = s.sums[2 * k] + s.sums[2 * k + 1];
    if (!s.magnitudes.empty()) s.magnitudes[k] = s.magnitudes[2 * k] + s.magnitudes[2 * k + 1];
  }
}

bool WeightedGraph::resolve_in_any_order(Scratch& s, const std::vector<Index>& component) {
  for (size_t k = 0; k < component.size(); ++k) local_[component[k]] = static_cast<Index>(k);
  component_edges_.clear();
  for (const Index u : component) {
    for (const Index e : leaving(u)) {
      const Edge& edge = edges_[e];
      if (edge.to == u) continue;
      if (std::isnan(edge.weight)) return false;
      component_edges_.push_back({local_[u], local_[edge.to], edge.weight});
    }
  }
  return order_free_.resolve(component, component_edges_, min_cluster_coherence_,
                             max_cluster_size_, cancel_, s.emitted);
}

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

}  // namespace osmira_core::engine::clustering_detail
