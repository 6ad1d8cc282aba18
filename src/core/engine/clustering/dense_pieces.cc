// Graph clustering of dense components: pieces examined without collecting their edges, and
// the split's searches over them, kept and guided (see "Dense components"
// in weighted_graph.h).
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <numeric>

#include "core/engine/clustering/weighted_graph.h"

namespace osmira_core::engine::clustering_detail {
namespace {

// The bit of `k` in its 64-bit word.
constexpr uint64_t bit(Index k) { return uint64_t{1} << (k % 64); }

// The first word in [from, to) in which `a` and `b` share a bit, or `to`: four words at a
// time, since rows are often read to their end (a node or a run with nothing left).
[[gnu::always_inline]] inline size_t first_shared_word(const uint64_t* a, const uint64_t* b, size_t from, size_t to) {
  size_t w = from;
  for (; w + 4 <= to; w += 4) {
    if (((a[w] & b[w]) | (a[w + 1] & b[w + 1]) | (a[w + 2] & b[w + 2]) | (a[w + 3] & b[w + 3])) != 0) {
      break;
    }
  }
  while (w < to && (a[w] & b[w]) == 0) ++w;
  return w;
}

}  // namespace

void WeightedGraph::cut(Scratch& s, Index e) {
  removed_[e] = 1;
  if (!dense_) return;
  const Index from = edges_[e].from, to = edges_[e].to;
  const Index a = local_[from], b = local_[to];
  const size_t words = (dense_n_ + 63) / 64;
  neighbour_bits_[a * words + b / 64] &= ~bit(b);
  neighbour_bits_[b * words + a / 64] &= ~bit(a);
  const Index ra = index_rank_[a], rb = index_rank_[b];
  neighbour_ranks_[a * words + rb / 64] &= ~bit(rb);
  neighbour_ranks_[b * words + ra / 64] &= ~bit(ra);
  // The edge lies in the group of its lower-indexed end, in one of its runs.
  const Index owner = from < to ? a : b, other = from < to ? b : a;
  for (Index run = run_start_[owner]; run < run_start_[owner + 1]; ++run) {
    uint64_t& word = run_bits_[run * words + other / 64];
    if ((word & bit(other)) != 0) {
      word &= ~bit(other);
      --run_live_[run];
      break;
    }
  }
  --group_size_[owner];
  group_summed_[owner] = 0;
  find_lightest(owner);
  for (KeptSearch& kept : s.kept) {
    if (!kept.valid) continue;
    for (const auto& [x, y] : {std::pair{a, to}, std::pair{b, from}}) {
      if (kept.reached_from[x] != y) continue;
      kept.intact = false;
      kept.cut_steps[kept.step_of[x] / 64] |= bit(kept.step_of[x]);
    }
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
  // Places by identifier, so that a run of a group listed by descending identifier is read
  // upwards in a bit row; and the rank of each node's index.
  by_local_ = component;
  std::sort(by_local_.begin(), by_local_.end(),
            [&](Index x, Index y) { return records_[x].id < records_[y].id; });
  for (size_t k = 0; k < n; ++k) local_[by_local_[k]] = static_cast<Index>(k);
  std::vector<Index> by_index_rank(n);  // the number of each rank
  index_rank_.resize(n);
  for (size_t r = 0; r < n; ++r) {
    by_index_rank[r] = local_[component[r]];
  }
  std::sort(by_index_rank.begin(), by_index_rank.end(),
            [&](Index x, Index y) { return by_local_[x] < by_local_[y]; });
  for (Index r = 0; r < n; ++r) index_rank_[by_index_rank[r]] = r;
  dense_n_ = n;
  const size_t words = (n + 63) / 64;
  neighbour_bits_.assign(n * words, 0);
  group_start_.assign(n + 1, 0);
  group_in_order_.clear();
  group_other_.clear();
  run_start_.assign(n + 1, 0);
  run_bits_.clear();
  run_low_.clear();
  run_live_.clear();
  for (Index k = 0; k < n; ++k) {
    const Index u = by_local_[k];
    group_start_[k] = static_cast<Index>(group_in_order_.size());
    run_start_[k] = static_cast<Index>(run_low_.size());
    for (Index e : leaving(u)) {
      const Index v = edges_[e].to;
      if (v == u) continue;
      const Index l = local_[v];
      uint64_t& word = neighbour_bits_[k * words + l / 64];
      if ((word & bit(l)) != 0) return false;  // a pair listed twice
      word |= bit(l);
      neighbour_bits_[l * words + k / 64] |= bit(k);
    }
    const auto add = [&](Index e, Index v) {
      if (v <= u) return;
      const Index l = local_[v];
      if (group_in_order_.size() == group_start_[k] || l >= group_other_.back()) {
        run_low_.push_back(static_cast<Index>(words));
        run_live_.push_back(0);
        run_bits_.resize(run_bits_.size() + words, 0);
      }
      run_bits_[run_bits_.size() - words + l / 64] |= bit(l);
      run_low_.back() = std::min<Index>(run_low_.back(), l / 64);
      ++run_live_.back();
      group_in_order_.push_back(e);
      group_other_.push_back(l);
    };
    for (Index e : leaving(u)) add(e, edges_[e].to);
    for (Index e : entering(u)) add(e, edges_[e].from);
    // Reading the runs costs about a word per run at each ask and a pass over their rows per
    // search, the list one pass over the group per search: the group keeps its runs only
    // when their rows hold no more words than it has nodes.
    if ((run_low_.size() - run_start_[k]) * words > group_in_order_.size() - group_start_[k]) {
      run_low_.resize(run_start_[k]);
      run_live_.resize(run_start_[k]);
      run_bits_.resize(run_start_[k] * words);
    }
  }
  group_start_[n] = static_cast<Index>(group_in_order_.size());
  run_start_[n] = static_cast<Index>(run_low_.size());
  neighbour_ranks_.assign(n * words, 0);
  for (size_t k = 0; k < n; ++k) {
    for (size_t w = 0; w < words; ++w) {
      for (uint64_t b = neighbour_bits_[k * words + w]; b != 0; b &= b - 1) {
        const Index r = index_rank_[w * 64 + static_cast<size_t>(std::countr_zero(b))];
        neighbour_ranks_[k * words + r / 64] |= bit(r);
      }
    }
  }
  run_cursor_.resize(run_low_.size());
  run_stamp_.assign(run_low_.size(), 0);
  list_cursor_.resize(n);
  list_stamp_.assign(n, 0);
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
  for (size_t k = 0; k < n; ++k) find_lightest(static_cast<Index>(k));
  return true;
}

void WeightedGraph::find_lightest(Index l) {
  Index& front = group_front_[l];
  while (front < group_start_[l + 1] && removed_[group_by_weight_[front]]) ++front;
  group_lightest_[l] = front == group_start_[l + 1] ? std::numeric_limits<double>::quiet_NaN()
                                                    : edges_[group_by_weight_[front]].weight;
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

void WeightedGraph::examine_dense(Scratch& s, std::vector<Index> piece) {
  // While the pieces come back whole from intact kept searches, each is examined here in
  // turn, read in place from the search that found it (`order`, found by `from`): the
  // worklist would hand it back next anyway.
  const std::vector<Index>* order = &piece;
  KeptSearch* from = nullptr;
  double least = -std::numeric_limits<double>::infinity();
  // Where the last walk over `walked` found the lightest group: no node placed before it
  // held an edge that light then, nor does one now (a cut lightens no group), so while the
  // order and the lightest weight stay the next walk starts there. An order found by a kept
  // search (`walked_by`) keeps that place when the walk turns to another: the orders mostly
  // alternate.
  const std::vector<Index>* walked = nullptr;
  KeptSearch* walked_by = nullptr;
  size_t resume = 0;
  // The groups of the piece that held an edge of weight `least` when it became the lightest
  // (`s.light`; some may have lost theirs since, dropped when the list is read) and how many
  // still hold one, once a walk over the whole order listed them; and a search whose steps
  // are the places in `*order`. A piece that a search found whole comes back with them
  // (`s.carried`, that search).
  bool light_known = false;
  const KeptSearch* stepped = nullptr;
  if (s.carried != nullptr && s.carried->valid && s.carried->found == piece) {
    least = s.carried_least;
    light_known = true;
    stepped = s.carried;
  }
  s.carried = nullptr;
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
        s.emitted.push_back(*order);
        return;
      }
      if (!std::isfinite(sum) || !std::isfinite(bound) ||
          !((sum + bound) / count < min_cluster_coherence_)) {
        examine(s, *order);
        return;
      }
    }
    // Weights only leave by cuts, so the lightest weight of the piece bounds the next from
    // below: the first group in the order that holds it is cut next. The order is walked for
    // it from `resume`, as far as there are groups listed; past that, the listed group
    // placed first is taken. When none holds it any more, the whole order is walked for the
    // lightest, and the groups holding that are listed.
    if (order != walked) {
      if (walked_by != nullptr) walked_by->resume = resume, walked_by->resume_least = least;
      walked = order;
      walked_by = order == &piece ? nullptr : from;
      resume = walked_by != nullptr && walked_by->resume_least == least ? walked_by->resume : 0;
    }
    Index lightest = kNoIndex;
    if (light_known && s.light_left != 0) {
      const size_t end =
          stepped != nullptr ? std::min(order->size(), resume + s.light.size()) : order->size();
      for (size_t k = resume; k < end; ++k) {
        const Index l = local_[(*order)[k]];
        if (group_lightest_[l] == least) {
          lightest = l, resume = k;
          break;
        }
      }
      if (lightest == kNoIndex && end != order->size()) {
        size_t kept_light = 0;
        Index first = 0;
        for (const Index l : s.light) {
          if (group_lightest_[l] != least) continue;
          s.light[kept_light++] = l;
          if (lightest == kNoIndex || stepped->step_of[l] < first) lightest = l, first = stepped->step_of[l];
        }
        s.light.resize(kept_light);
        resume = first;
      }
    }
    double weight = least;
    if (lightest == kNoIndex) {
      for (size_t k = 0; k < order->size(); ++k) {
        const Index l = local_[(*order)[k]];
        const double w = group_lightest_[l];
        if (!std::isnan(w) && (lightest == kNoIndex || w < weight)) lightest = l, weight = w, resume = k;
      }
      s.light.clear();
      for (size_t k = resume; k < order->size(); ++k) {
        const Index l = local_[(*order)[k]];
        if (group_lightest_[l] == weight) s.light.push_back(l);
      }
      s.light_left = s.light.size();
      light_known = true;
    }
    least = weight;
    cut(s, group_by_weight_[group_front_[lightest]]);
    if (group_lightest_[lightest] != least) --s.light_left;
    KeptSearch* const same = kept_search_of(s, *order, from);
    KeptSearch* const kept = same != nullptr && same->valid ? same : nullptr;
    if (kept != nullptr && kept->intact) {
      kept->used = ++s.kept_clock;
      from = kept;
      order = &kept->found;
      stepped = kept;
      continue;
    }
    if (order != &piece) piece = *order;
    s.carried_least = least;  // taken back with the piece when the search finds it whole
    if (kept != nullptr) {
      // Its steps up to the cut tree edge stand, and those after it wherever the search
      // meets it again.
      kept->used = ++s.kept_clock;
      kept->valid = false;  // kept again when the search finds the piece whole
      s.keep_slot = kept;
      search_dense(s, piece, kept);
      return;
    }
    s.keep_slot = same;
    search_dense(s, piece, nullptr);
    return;
  }
}

WeightedGraph::KeptSearch* WeightedGraph::kept_search_of(Scratch& s, const std::vector<Index>& order,
                                                         KeptSearch* from) {
  if (from != nullptr && from->next != nullptr && from->next->generation == from->next_generation) {
    return from->next;
  }
  KeptSearch* found = nullptr;
  for (KeptSearch& kept : s.kept) {
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

const WeightedGraph::KeptSearch* WeightedGraph::find_guide(Scratch& s, const std::vector<Index>& piece) {
  // The search used before last: a piece's orders tend to alternate, so that one searched an
  // order close to this one (nearly always the closest kept).
  const KeptSearch* last = nullptr;
  const KeptSearch* before = nullptr;
  for (const KeptSearch& kept : s.kept) {
    if (!kept.valid || kept.order.size() != piece.size()) continue;
    if (last == nullptr || kept.used > last->used) {
      before = last;
      last = &kept;
    } else if (before == nullptr || kept.used > before->used) {
      before = &kept;
    }
  }
  const KeptSearch* const guide = before != nullptr ? before : last;
  if (guide == nullptr) return nullptr;
  // The nodes kept in the same relative order in both: the guide's order read as places in
  // this one falls into blocks of consecutive places; the heaviest chain of blocks with
  // rising places (by node count, through a tree of prefix maxima over the places) stays,
  // the other nodes are moved.
  const size_t n = piece.size();
  const std::vector<uint64_t>& nodes = s.places.nodes_local;
  s.moved_mark.resize(dense_n_);
  s.blocks.clear();
  for (size_t k = 0; k < n; ++k) {
    const Index l = local_[guide->order[k]];
    if ((nodes[l / 64] & bit(l)) == 0) return nullptr;  // not the same nodes
    const Index q = s.places.place_of_local[l];
    if (k > 0 && q == s.blocks.back().place + s.blocks.back().size) {
      ++s.blocks.back().size;
    } else {
      s.blocks.push_back({static_cast<Index>(k), q, 1, 0, kNoIndex});
    }
  }
  // s.best[i] (a Fenwick tree over places + 1): the heaviest chain ending at a block placed
  // below, as (weight, block).
  s.best.assign(n + 1, {0, kNoIndex});
  Index heaviest = kNoIndex;
  for (Index i = 0; i < s.blocks.size(); ++i) {
    Scratch::Block& block = s.blocks[i];
    std::pair<Index, Index> below{0, kNoIndex};
    for (size_t j = block.place; j > 0; j -= j & (~j + 1)) below = std::max(below, s.best[j]);
    block.weight = below.first + block.size;
    block.previous = below.second;
    for (size_t j = block.place + 1; j <= n; j += j & (~j + 1)) {
      s.best[j] = std::max(s.best[j], std::pair<Index, Index>{block.weight, i});
    }
    if (heaviest == kNoIndex || block.weight > s.blocks[heaviest].weight) heaviest = i;
  }
  // The chain's blocks hold consecutive places, which stay; the nodes at the others move.
  s.moved_places.assign((n + 63) / 64, ~uint64_t{0});
  if (n % 64 != 0) s.moved_places.back() = bit(static_cast<Index>(n)) - 1;
  for (Index i = heaviest; i != kNoIndex; i = s.blocks[i].previous) {
    for (size_t k = s.blocks[i].place, end = k + s.blocks[i].size; k < end;) {
      const size_t stop = std::min(end, (k / 64 + 1) * 64);
      s.moved_places[k / 64] &= ~((~uint64_t{0} >> (64 - (stop - k))) << (k % 64));
      k = stop;
    }
  }
  s.moved_stamp = ++stamp_counter_;
  for (size_t w = 0; w < s.moved_places.size(); ++w) {
    for (uint64_t b = s.moved_places[w]; b != 0; b &= b - 1) {
      s.moved_mark[local_[piece[w * 64 + static_cast<size_t>(std::countr_zero(b))]]] = s.moved_stamp;
    }
  }
  s.moved_words.clear();
  for (size_t w = s.moved_places.size(); w-- > 0;) {
    if (s.moved_places[w] != 0) s.moved_words.push_back(static_cast<Index>(w));
  }
  return guide;
}

void WeightedGraph::search_dense(Scratch& s, const std::vector<Index>& piece, const KeptSearch* guide) {
  const size_t n = piece.size();
  const size_t words = (dense_n_ + 63) / 64;
  const size_t place_words = (n + 63) / 64;
  // Each node's run or list cursors are set when its first search this time reads them.
  const uint64_t search_stamp = ++stamp_counter_;
  take_places(s, piece);
  // A guide over another order is sought only while such guides pay: finding one costs about
  // as much as a tenth of the piece's steps, and where the orders differ much it stands for
  // fewer. While the share of steps they stood for, averaged over the last few, is below
  // 1/kGuidePays, only every kGuideProbe-th search seeks one.
  const bool sought = guide == nullptr;
  if (sought && (s.guide_share * kGuidePays >= 1.0 || ++s.guides_skipped % kGuideProbe == 0)) {
    guide = find_guide(s, piece);
  }
  size_t guided = 0;
  const auto judge_guide = [&] {
    if (!sought || guide == nullptr) return;
    s.guide_share = 0.75 * s.guide_share + 0.25 * static_cast<double>(guided) / static_cast<double>(n);
  };
  const std::vector<Index>& place_local = s.places.place_local;
  const std::vector<Index>& place_of_local = s.places.place_of_local;
  const std::vector<Index>& place_of_rank = s.places.place_of_rank;
  const std::vector<uint64_t>& lower_places = s.places.lower_places;
  s.unvisited_local = s.places.nodes_local;
  s.unvisited_ranks = s.places.nodes_ranks;
  s.unvisited_places.assign(place_words, ~uint64_t{0});
  if (n % 64 != 0) s.unvisited_places.back() = bit(static_cast<Index>(n)) - 1;
  s.below.resize(n);
  std::vector<Index> found;
  found.reserve(n);
  s.reached_from.assign(dense_n_, kNoIndex);
  s.step_of.resize(dense_n_);
  s.depth.resize(n);
  // Bounds of the unvisited nodes: the places below `top`, the identifier words in
  // [id_low, id_high), the index-rank words from rank_low.
  Index top = static_cast<Index>(n), id_low = 0, id_high = static_cast<Index>(words), rank_low = 0;
  const auto settle = [&] {
    while (top > 0) {
      const Index w = (top - 1) / 64;
      const uint64_t below_top = s.unvisited_places[w] & (~uint64_t{0} >> (63 - (top - 1) % 64));
      if (below_top != 0) {
        top = w * 64 + 64 - static_cast<Index>(std::countl_zero(below_top));
        break;
      }
      top = w * 64;
    }
    while (id_low < words && s.unvisited_local[id_low] == 0) ++id_low;
    while (id_high > id_low && s.unvisited_local[id_high - 1] == 0) --id_high;
    while (rank_low < words && s.unvisited_ranks[rank_low] == 0) ++rank_low;
  };
  const auto start_at = [&](Index place) {
    s.below[place] = static_cast<Index>(n);
  };
  const auto visit = [&](Index place) {
    const Index l = place_local[place];
    if (!s.path.empty()) s.reached_from[l] = piece[s.path.back()];
    s.step_of[l] = static_cast<Index>(found.size());
    s.depth[found.size()] = static_cast<Index>(s.path.size());
    s.unvisited_local[l / 64] &= ~bit(l);
    s.unvisited_ranks[index_rank_[l] / 64] &= ~bit(index_rank_[l]);
    s.unvisited_places[place / 64] &= ~bit(place);
    settle();
    found.push_back(piece[place]);
    s.path.push_back(place);
    start_at(place);
  };
  // The place of the last unvisited neighbour in the list of the node at `place`, or
  // kNoIndex: the lower-indexed one placed last if it is placed after the node, else the
  // last of its group, else the lower-indexed one placed last.
  const auto next = [&](Index place) -> Index {
    constexpr int kMisses = 8;
    const Index l = place_local[place];
    const uint64_t* row = neighbour_bits_.data() + l * words;
    const Index r = index_rank_[l];
    const Index h = std::min(s.below[place], top);  // no lower-indexed candidate from here on
    // A node left with no unvisited neighbour is done at once.
    if (first_shared_word(row, s.unvisited_local.data(), id_low, id_high) == id_high) {
      s.below[place] = 0;
      return kNoIndex;
    }
    Index lower = kNoIndex;
    // The lower-indexed ones: those ranked in r's block of kRankBlock one by one, the others from
    // the top of the places of nodes ranked below the block.
    const uint64_t* ranks = neighbour_ranks_.data() + l * words;
    if (r % kRankBlock != 0) {  // the block never straddles a word
      for (uint64_t b = (ranks[r / 64] & s.unvisited_ranks[r / 64] & (bit(r) - 1)) >>
                        (r / kRankBlock * kRankBlock % 64);
           b != 0; b &= b - 1) {
        const Index q =
            place_of_rank[r / kRankBlock * kRankBlock + static_cast<Index>(std::countr_zero(b))];
        if (q < h && (lower == kNoIndex || q > lower)) lower = q;
      }
    }
    const uint64_t* below_block = lower_places.data() + (r / kRankBlock) * place_words;
    int misses = 0;
    for (Index w = (h + 63) / 64; w-- > 0;) {
      if (lower != kNoIndex && (w + 1) * 64 <= lower) break;
      uint64_t candidates = below_block[w] & s.unvisited_places[w];
      if (w == h / 64) candidates &= bit(h) - 1;
      for (; candidates != 0; candidates &= ~(uint64_t{1} << (63 - std::countl_zero(candidates)))) {
        const Index q = w * 64 + 63 - static_cast<Index>(std::countl_zero(candidates));
        if (lower != kNoIndex && q < lower) break;
        const Index v = place_local[q];
        if ((row[v / 64] & bit(v)) != 0) {
          lower = q;
          break;
        }
        if (++misses == kMisses) {
          // Few lower-indexed nodes left are neighbours: read them from the row by rank.
          for (Index k = rank_low; k <= r / 64; ++k) {
            uint64_t b = ranks[k] & s.unvisited_ranks[k];
            if (k == r / 64) b &= bit(r) - 1;
            for (; b != 0; b &= b - 1) {
              const Index q = place_of_rank[k * 64 + static_cast<Index>(std::countr_zero(b))];
              if (lower == kNoIndex || q > lower) lower = q;
            }
          }
          w = 0;
          break;
        }
      }
      if (misses == kMisses) break;
    }
    s.below[place] = lower == kNoIndex ? 0 : lower + 1;
    if (lower != kNoIndex && lower > place) return lower;
    // The group: from its runs, from the last, each listed by descending identifier, so that
    // the last unvisited node of a run is its lowest; or from its list.
    if (run_start_[l] == run_start_[l + 1]) {
      // A group without runs: its list from the last, each node tested in the rows of live
      // neighbours and of unvisited nodes, from where this search last stopped in it (what it
      // passed since is cut or visited).
      if (list_stamp_[l] != search_stamp) {
        list_stamp_[l] = search_stamp;
        list_cursor_[l] = group_start_[l + 1];
      }
      Index& g = list_cursor_[l];
      for (; g > group_start_[l]; --g) {
        const Index v = group_other_[g - 1];
        if ((row[v / 64] & s.unvisited_local[v / 64] & bit(v)) != 0) return place_of_local[v];
      }
      return lower;
    }
    for (Index run = run_start_[l + 1]; run-- > run_start_[l];) {
      if (run_stamp_[run] != search_stamp) {
        run_stamp_[run] = search_stamp;
        run_cursor_[run] = run_live_[run] != 0 ? run_low_[run] : static_cast<Index>(words);
      }
      Index& c = run_cursor_[run];
      const uint64_t* bits = run_bits_.data() + run * words;
      c = std::max(c, id_low);
      if (c < id_high) c = static_cast<Index>(first_shared_word(bits, s.unvisited_local.data(), c, id_high));
      if (c < id_high) {
        const Index v = c * 64 + static_cast<Index>(std::countr_zero(bits[c] & s.unvisited_local[c]));
        return place_of_local[v];
      }
    }
    return lower;
  };
  // The guide: a kept search whose choices stand for this one while both stand at the same
  // node with the same nodes visited, and the order compared differs only in the places of
  // the marked nodes (none when it is a search over this very order). From such a state it
  // is followed step by step: its next step leaves from a node on the stack at or above the
  // node where they met (the nodes above it there had nothing left, as here), takes an edge
  // still live, and its choice stands unless it comes from or leads to a node placed
  // differently, or an unvisited differently placed lower-indexed neighbour would come
  // after it in the list. Where it leaves the stack below the meeting node or a step fails,
  // the search goes on the usual way, counting the nodes the guide had visited by then and
  // this search not (`behind`) to find where they meet again.
  const bool moved = guide != nullptr && guide->order != piece;
  bool following = false, tracking = guide != nullptr;
  // Where the stacks agree from: the place in `s.path` and the guide's depth there.
  Index met_depth = 0;
  size_t met_at = 0;
  size_t behind = 0;
  // Whether the guide's step from the node at `place` to `c` stands: it does unless either
  // is moved, or a moved unvisited lower-indexed neighbour is placed after c (after the node,
  // when c is higher-indexed), which only a move can have put there.
  const auto stands = [&](Index place, Index c) {
    if (!moved) return true;
    const Index u = piece[place], l = local_[u];
    if (s.moved_mark[l] == s.moved_stamp || s.moved_mark[local_[c]] == s.moved_stamp) return false;
    const Index after = c < u ? place_of_local[local_[c]] : place;
    const Index r = index_rank_[l];
    const uint64_t* row = neighbour_bits_.data() + l * words;
    // The places of nodes ranked below r's block of kRankBlock and in it (checked one by one).
    const uint64_t* lower =
        lower_places.data() + ((r + kRankBlock - 1) / kRankBlock) * place_words;
    for (size_t i = 0; i < s.moved_words.size(); ++i) {
      const Index w = s.moved_words[i];
      if (w * 64 + 63 <= after) break;
      if ((s.moved_places[w] & s.unvisited_places[w]) == 0) {  // for good
        s.moved_words.erase(s.moved_words.begin() + static_cast<std::ptrdiff_t>(i--));
        continue;
      }
      uint64_t bits = s.moved_places[w] & s.unvisited_places[w] & lower[w];
      if (w == after / 64) bits &= ~(bit(after) | (bit(after) - 1));
      for (; bits != 0; bits &= bits - 1) {
        const Index v = place_local[w * 64 + static_cast<Index>(std::countr_zero(bits))];
        if (index_rank_[v] < r && (row[v / 64] & bit(v)) != 0) return false;
      }
    }
    return true;
  };
  // After the search visited its `t`-th node `v`.
  const auto compare = [&](Index v) {
    const size_t t = found.size();
    const Index u = guide->found[t - 1];
    if (u != v) {
      if (guide->step_of[local_[v]] < t - 1) --behind;
      if ((s.unvisited_local[local_[u] / 64] & bit(local_[u])) != 0) ++behind;
    } else if (behind == 0 && !following) {
      following = true;
      met_depth = guide->depth[t - 1];
      met_at = s.path.size() - 1;
    }
  };
  size_t visited = 0;
  for (Index start = 0; start < n; ++start) {
    if ((s.unvisited_places[start / 64] & bit(start)) == 0) continue;
    visit(start);
    if (tracking) compare(piece[start]);
    // Once every node is visited no step can visit another: the path is dropped as it is.
    while (!s.path.empty() && visited + found.size() < n) {
      if (following) {
        // The guide's steps from here, taken in one stretch while they stand: each leaves
        // from the node one level above its own in the guide, and the stacks hold the same
        // nodes from `met_at` (at the guide's depth `met_depth`) up.
        const size_t first = found.size();
        for (size_t t = first; t < n; ++t) {
          const Index depth = guide->depth[t];
          while (depth <= met_depth && met_at > 0 &&
                 piece[s.path[met_at - 1]] == guide->reached_from[local_[piece[s.path[met_at]]]]) {
            --met_at;
            --met_depth;
          }
          if (depth <= met_depth) {
            // The guide leaves from below where they agree: every node of the stack from
            // there up had nothing left in the guide, with the same nodes visited, so it has
            // nothing left here either.
            s.path.resize(met_at);
            break;
          }
          s.path.resize(met_at + (depth - met_depth));
          const Index w = guide->found[t];
          if ((guide->cut_steps[t / 64] & bit(static_cast<Index>(t))) != 0 ||
              !stands(s.path.back(), w)) {
            break;
          }
          const Index l = local_[w], place = place_of_local[l];
          s.reached_from[l] = piece[s.path.back()];
          s.step_of[l] = static_cast<Index>(found.size());
          s.depth[found.size()] = static_cast<Index>(s.path.size());
          s.unvisited_local[l / 64] &= ~bit(l);
          s.unvisited_ranks[index_rank_[l] / 64] &= ~bit(index_rank_[l]);
          s.unvisited_places[place / 64] &= ~bit(place);
          start_at(place);
          found.push_back(w);
          s.path.push_back(place);
        }
        if (found.size() != first) settle();
        guided += found.size() - first;
        following = false;
        if (found.size() == n) continue;
      }
      const Index to = next(s.path.back());
      if (to == kNoIndex) {
        s.path.pop_back();
      } else {
        visit(to);
        if (tracking) compare(piece[to]);
      }
    }
    s.path.clear();
    visited += found.size();
    following = tracking = false;
    if (found.size() == n) {
      judge_guide();
      keep_search(s, piece, found);
      s.worklist.push_back(std::move(found));
      return;
    }
    s.worklist.push_back(std::move(found));
    found.clear();
  }
  judge_guide();
  if (s.keep_slot != nullptr) {  // the tables stay with the order
    std::swap(s.keep_slot->places, s.places);
    s.keep_slot->has_places = true;
  }
}

void WeightedGraph::take_places(Scratch& s, const std::vector<Index>& piece) {
  if (s.keep_slot != nullptr && s.keep_slot->has_places) {
    std::swap(s.places, s.keep_slot->places);
    s.keep_slot->has_places = false;
    return;
  }
  const size_t n = piece.size();
  const size_t words = (dense_n_ + 63) / 64;
  const size_t place_words = (n + 63) / 64;
  PlaceTables& t = s.places;
  t.place_local.resize(n);
  t.place_of_local.resize(dense_n_);
  t.place_of_rank.resize(dense_n_);
  t.nodes_local.assign(words, 0);
  t.nodes_ranks.assign(words, 0);
  // Row b: the places of the nodes whose index ranks below kRankBlock b.
  const size_t rows = (dense_n_ + kRankBlock - 1) / kRankBlock + 1;
  t.lower_places.assign(rows * place_words, 0);
  for (Index k = 0; k < n; ++k) {
    const Index l = local_[piece[k]];
    t.place_local[k] = l;
    t.place_of_local[l] = k;
    t.place_of_rank[index_rank_[l]] = k;
    // A node without a live edge to a higher-indexed node is nobody's lower-indexed neighbour.
    if (group_size_[l] != 0) t.lower_places[(index_rank_[l] / kRankBlock + 1) * place_words + k / 64] |= bit(k);
    t.nodes_local[l / 64] |= bit(l);
    t.nodes_ranks[index_rank_[l] / 64] |= bit(index_rank_[l]);
  }
  for (size_t r = 2; r < rows; ++r) {
    for (size_t w = 0; w < place_words; ++w) {
      t.lower_places[r * place_words + w] |= t.lower_places[(r - 1) * place_words + w];
    }
  }
}

void WeightedGraph::keep_search(Scratch& s, const std::vector<Index>& order, const std::vector<Index>& found) {
  size_t slot = 0;
  for (size_t k = 0; k < s.kept.size(); ++k) {
    if (s.kept[k].used < s.kept[slot].used) slot = k;
  }
  const bool same_order = s.keep_slot != nullptr;
  if (same_order) slot = static_cast<size_t>(s.keep_slot - s.kept.data());
  KeptSearch& kept = s.kept[slot];
  if (!same_order) {
    kept.order = order;
    kept.generation = ++s.kept_clock;
  }
  kept.found = found;
  kept.resume_least = std::numeric_limits<double>::quiet_NaN();
  kept.next = nullptr;
  std::swap(kept.places, s.places);
  kept.has_places = true;
  kept.reached_from.swap(s.reached_from);
  kept.step_of.swap(s.step_of);
  kept.depth.swap(s.depth);
  kept.intact = true;
  kept.cut_steps.assign((found.size() + 63) / 64, 0);
  kept.valid = true;
  kept.used = ++s.kept_clock;
  s.carried = &kept;
}

}  // namespace osmira_core::engine::clustering_detail
