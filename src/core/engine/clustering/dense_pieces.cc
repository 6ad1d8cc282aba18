// Graph clustering of dense components: pieces examined without collecting their edges, and
// the split's searches over them, kept, repaired, resumed and guided (see "Dense components"
// in weighted_graph.h).
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <numeric>

#include "core/engine/clustering/weighted_graph.h"

namespace osmira_core::engine::clustering_detail {

void WeightedGraph::cut(Index e) {
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

bool WeightedGraph::prepare_dense(const std::vector<Index>& component) {
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

void WeightedGraph::find_lightest(Index l) {
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

void WeightedGraph::prepare_ordered(const std::vector<Index>& component) {
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

void WeightedGraph::sum_group(Index l) {
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

void WeightedGraph::examine_dense(std::vector<Index> piece) {
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

WeightedGraph::KeptSearch* WeightedGraph::kept_search_of(const std::vector<Index>& order,
                                                         KeptSearch* from) {
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

const WeightedGraph::KeptSearch* WeightedGraph::find_guide(const std::vector<Index>& piece) {
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

Index WeightedGraph::first_common_bit(const uint64_t* x, const uint64_t* y, Index from, Index to) {
  for (Index k = from; k < to;) {
    const uint64_t word = (x[k / 64] & y[k / 64]) >> (k % 64);
    if (word != 0) return std::min<Index>(to, k + static_cast<Index>(std::countr_zero(word)));
    k = (k / 64 + 1) * 64;
  }
  return to;
}

void WeightedGraph::search_dense(const std::vector<Index>& piece, const KeptSearch* resumed,
                                 const KeptSearch* guide) {
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

void WeightedGraph::keep_search(const std::vector<Index>& order, const std::vector<Index>& found) {
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

bool WeightedGraph::repair(KeptSearch& kept) {
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

}  // namespace osmira_core::engine::clustering_detail
