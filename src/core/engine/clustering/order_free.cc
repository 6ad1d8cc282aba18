// Graph clustering of a component without visit orders (see order_free.h).
#include "core/engine/clustering/order_free.h"

#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace osmira_core::engine::clustering_detail {
namespace {

// The count, sum (in some order), sum of magnitudes and largest weight and magnitude of a
// set of edges.
struct Totals {
  uint64_t count = 0;
  double sum = 0.0;
  double magnitude = 0.0;
  double min_weight = std::numeric_limits<double>::infinity();
  double max_weight = -std::numeric_limits<double>::infinity();
  double max_magnitude = 0.0;

  void add(double weight) {
    ++count;
    sum += weight;
    magnitude += std::fabs(weight);
    min_weight = std::min(min_weight, weight);
    max_weight = std::max(max_weight, weight);
    max_magnitude = std::max(max_magnitude, std::fabs(weight));
  }
  void add(const Totals& other) {
    count += other.count;
    sum += other.sum;
    magnitude += other.magnitude;
    min_weight = std::min(min_weight, other.min_weight);
    max_weight = std::max(max_weight, other.max_weight);
    max_magnitude = std::max(max_magnitude, other.max_magnitude);
  }
};

// Every piece that cutting the component can produce: the leaves (0..n-1) are its nodes, and
// an inner piece joins its children by the edges of one weight class (`split_weight`): it
// splits into them exactly when that class is cut. Its lighter classes are those whose edges
// all lie inside it without joining anything: they are cut, lightest first, before it splits.
struct Piece {
  Index size = 1;
  Index first_child = kNoIndex;
  Index next_sibling = kNoIndex;
  Index children = 0;
  Totals totals;                 // every edge inside, lighter classes included
  double split_weight = 0.0;
  uint64_t split_count = 0;      // edges of the split class inside
  uint64_t split_crossing = 0;   // those that join two children
  Index lighter = kNoIndex;      // lightest first, in `LighterClass`
};
struct LighterClass {
  double weight;
  uint64_t count;
  Index next;
};

enum class Below { kYes, kNo, kUnknown };

// Whether the mean of `count` live weights whose sum, as taken here, is `sum` lies below
// `threshold` when they are summed in the piece's collection order instead. Both sums lie
// within about (count + roundings) * 2^-53 * `magnitude` of the exact one, where `roundings`
// counts the additions and subtractions that made `sum` and `magnitude` bounds the weights'
// magnitudes summed once; the bound below is twice that and more, covering the rounding of the
// test itself. Unknown when the bound straddles the threshold or something is not finite. A
// NaN threshold is never reached from below.
Below below(double sum, uint64_t count, uint64_t roundings, double magnitude, double threshold) {
  if (count == 0) return Below::kNo;
  const double n = static_cast<double>(count);
  const double bound =
      (2.0 * static_cast<double>(count + roundings) + 8.0) * 0x1p-52 * magnitude;
  if (!std::isfinite(sum) || !std::isfinite(bound)) return Below::kUnknown;
  if ((sum + bound) / n < threshold) return Below::kYes;
  if (!((sum - bound) / n < threshold)) return Below::kNo;
  return Below::kUnknown;
}

// Whether no piece made of some of the edges summed in `totals` can be accepted: none fits the
// size limit, or every mean of such weights, however summed, stays below the threshold.
bool hopeless(const Totals& totals, double threshold, uint64_t max_cluster_size) {
  if (max_cluster_size < 2) return true;
  const double bound =
      (2.0 * static_cast<double>(totals.count) + 8.0) * 0x1p-52 * totals.max_magnitude;
  return std::isfinite(totals.max_weight) && std::isfinite(bound) &&
         totals.max_weight + bound < threshold;
}

}  // namespace

// Reused from one component to the next, so that small components cost no allocations.
struct OrderFreeScratch {
  std::vector<Piece> pieces;
  std::vector<LighterClass> lighter;
  std::vector<Index> parent, piece_of_root, group_of_root, member_next, stack, members;
  std::vector<std::pair<Index, Index>> ends;
  std::vector<uint64_t> root_stamp, piece_stamp;
  std::vector<Totals> inside;
  struct Group {
    Index root;
    Index first_member;
    Index members;
    uint64_t count;   // the class's edges in the group
    Totals crossing;  // those that join two earlier pieces
  };
  std::vector<Group> groups;
};

namespace {

class Resolution {
 public:
  Resolution(OrderFreeScratch& scratch, std::span<const Index> nodes,
             double min_cluster_coherence, uint64_t max_cluster_size,
             std::vector<std::vector<Index>>& emitted)
      : pieces_(scratch.pieces),
        lighter_(scratch.lighter),
        parent_(scratch.parent),
        piece_of_root_(scratch.piece_of_root),
        ends_(scratch.ends),
        scratch_(scratch),
        nodes_(nodes),
        coherence_(min_cluster_coherence),
        max_size_(max_cluster_size),
        emitted_(emitted),
        emitted_before_(emitted.size()) {}

  // Builds the pieces from `edges`, heaviest class first.
  void build(std::vector<ComponentEdge>& edges, const osmira_base::CancelFlag* cancel) {
    const Index n = static_cast<Index>(nodes_.size());
    tbb::parallel_sort(edges.begin(), edges.end(),
                       [](const ComponentEdge& x, const ComponentEdge& y) {
                         return x.weight > y.weight;
                       });
    pieces_.assign(n, Piece{});
    pieces_.reserve(2 * static_cast<size_t>(n));
    lighter_.clear();
    parent_.resize(n);
    for (Index k = 0; k < n; ++k) parent_[k] = k;
    piece_of_root_ = parent_;
    ends_.clear();
    std::vector<uint64_t>& root_stamp = scratch_.root_stamp;
    std::vector<uint64_t>& piece_stamp = scratch_.piece_stamp;
    root_stamp.assign(n, 0);
    piece_stamp.assign(2 * static_cast<size_t>(n), 0);
    std::vector<Index>& group_of_root = scratch_.group_of_root;
    std::vector<Index>& member_next = scratch_.member_next;
    group_of_root.resize(n);
    member_next.resize(2 * static_cast<size_t>(n));
    std::vector<Totals>& inside = scratch_.inside;
    inside.resize(2 * static_cast<size_t>(n));
    std::vector<OrderFreeScratch::Group>& groups = scratch_.groups;
    uint64_t stamp = 0;
    for (size_t begin = 0, end = 0; begin < edges.size(); begin = end) {
      ++stamp;
      const double weight = edges[begin].weight;
      end = begin + 1;
      while (end < edges.size() && edges[end].weight == weight) ++end;
      // The pieces the ends belonged to before this class, then the class's unions.
      ends_.resize(end - begin);
      for (size_t k = begin; k < end; ++k) {
        ends_[k - begin] = {piece_of_root_[find(edges[k].a)], piece_of_root_[find(edges[k].b)]};
      }
      for (size_t k = begin; k < end; ++k) {
        // A look at the flag every 2^14 edges: one class can hold most of them.
        if ((k & 0x3fff) == 0) osmira_base::stop_if_cancelled(cancel);
        unite(edges[k].a, edges[k].b);
      }
      // The class's edges by the piece they now lie in, each earlier piece listed once, and
      // the edges inside each earlier piece.
      groups.clear();
      for (size_t k = begin; k < end; ++k) {
        const Index root = find(edges[k].a);
        if (root_stamp[root] != stamp) {
          root_stamp[root] = stamp;
          group_of_root[root] = static_cast<Index>(groups.size());
          groups.push_back({root, kNoIndex, 0, 0, Totals{}});
        }
        OrderFreeScratch::Group& group = groups[group_of_root[root]];
        ++group.count;
        const auto [x, y] = ends_[k - begin];
        for (const Index piece : {x, y}) {
          if (piece_stamp[piece] == stamp) continue;
          piece_stamp[piece] = stamp;
          inside[piece] = Totals{};
          member_next[piece] = group.first_member;
          group.first_member = piece;
          ++group.members;
        }
        if (x != y) {
          group.crossing.add(edges[k].weight);
        } else {
          inside[x].add(edges[k].weight);
        }
      }
      for (const OrderFreeScratch::Group& group : groups) {
        if (group.members == 1) {
          add_lighter(group.first_member, weight, inside[group.first_member]);
          continue;
        }
        Piece joined;
        joined.size = 0;
        joined.split_weight = weight;
        joined.split_count = group.count;
        joined.split_crossing = group.crossing.count;
        for (Index child = group.first_member; child != kNoIndex; child = member_next[child]) {
          if (inside[child].count != 0) add_lighter(child, weight, inside[child]);
          joined.size += pieces_[child].size;
          joined.totals.add(pieces_[child].totals);
          pieces_[child].next_sibling = joined.first_child;
          joined.first_child = child;
          ++joined.children;
        }
        joined.totals.add(group.crossing);
        piece_of_root_[group.root] = static_cast<Index>(pieces_.size());
        pieces_.push_back(joined);
      }
    }
    root_ = piece_of_root_[find(0)];
  }

  // Examines the pieces top-down from the whole component; false when a step could go more
  // than one way (nothing is left emitted then).
  bool examine(const osmira_base::CancelFlag* cancel) {
    std::vector<Index>& stack = scratch_.stack;
    stack.assign(1, root_);
    uint64_t steps = 0;
    while (!stack.empty()) {
      if ((++steps & 255) == 0) osmira_base::stop_if_cancelled(cancel);
      const Index x = stack.back();
      stack.pop_back();
      const Piece& piece = pieces_[x];
      if (piece.size == 1) {
        emitted_.push_back({nodes_[x]});
        continue;
      }
      if (hopeless(piece.totals, coherence_, max_size_)) {
        emit_nodes(x, /*whole=*/false);
        continue;
      }
      if (piece.size <= max_size_) {
        const auto accepted = accepted_before_split(piece);
        if (!accepted.has_value()) return give_up();
        if (*accepted) {
          emit_nodes(x, /*whole=*/true);
          continue;
        }
      } else if (piece.children > 2 && !joins_rejected(piece)) {
        // The pieces that form while the class is cut, each made of some of the children,
        // could be accepted if two children fit the size limit together and their mean can
        // reach the threshold.
        Index smallest = kNoIndex, second = kNoIndex;
        for (Index c = piece.first_child; c != kNoIndex; c = pieces_[c].next_sibling) {
          const Index size = pieces_[c].size;
          if (smallest == kNoIndex || size < smallest) {
            second = smallest;
            smallest = size;
          } else if (second == kNoIndex || size < second) {
            second = size;
          }
        }
        if (static_cast<uint64_t>(smallest) + second <= max_size_) return give_up();
      }
      for (Index c = piece.first_child; c != kNoIndex; c = pieces_[c].next_sibling) {
        stack.push_back(c);
      }
    }
    return true;
  }

 private:
  Index find(Index x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }
  void unite(Index a, Index b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    // The new root carries the piece of either; the caller names the joined piece afterwards.
    if (pieces_[piece_of_root_[a]].size < pieces_[piece_of_root_[b]].size) std::swap(a, b);
    parent_[b] = a;
  }

  void add_lighter(Index piece, double weight, const Totals& totals) {
    lighter_.push_back({weight, totals.count, pieces_[piece].lighter});
    pieces_[piece].lighter = static_cast<Index>(lighter_.size() - 1);
    pieces_[piece].totals.add(totals);
  }

  // For a piece within the size limit: whether it is accepted before it splits (its lighter
  // classes cut one edge at a time, then its split class), or nothing when that depends on the
  // order: the mean straddles the threshold within its rounding bound, the split class joins
  // three or more children and pieces of some of them could be accepted in between, or the
  // piece would be accepted after a number of cuts of its split class at which it may or may
  // not have split already.
  std::optional<bool> accepted_before_split(const Piece& piece) const {
    double sum = piece.totals.sum;
    uint64_t count = piece.totals.count;
    uint64_t roundings = count;
    const double magnitude = piece.totals.magnitude;
    const auto test = [&]() { return below(sum, count, roundings, magnitude, coherence_); };
    Below result = test();
    if (result == Below::kUnknown) result = below_exactly(piece.totals);
    if (result != Below::kYes) {
      if (result == Below::kUnknown) return std::nullopt;
      return true;
    }
    for (Index l = piece.lighter; l != kNoIndex; l = lighter_[l].next) {
      for (uint64_t j = 0; j < lighter_[l].count; ++j) {
        sum -= lighter_[l].weight;
        --count;
        ++roundings;
        result = test();
        if (result == Below::kUnknown) return std::nullopt;
        if (result == Below::kNo) return true;
      }
    }
    if (piece.split_count < 2) return false;
    if (piece.children > 2) {
      if (joins_rejected(piece)) return false;
      return std::nullopt;
    }
    // Two children: the piece splits at the cut of the last edge joining them, after
    // split_crossing to split_count cuts of the class, and is tested after every cut before.
    for (uint64_t j = 1; j < piece.split_count; ++j) {
      sum -= piece.split_weight;
      --count;
      ++roundings;
      result = test();
      if (result == Below::kUnknown) return std::nullopt;
      if (result == Below::kNo) {
        if (j < piece.split_crossing) return true;
        return std::nullopt;
      }
    }
    return false;
  }

  // The test at birth when the bound cannot tell, for the weights whose sum is the same in
  // every order: one or two of them, or all equal (summed one by one from zero, as the
  // collection order does).
  Below below_exactly(const Totals& totals) const {
    double sum = totals.sum;
    if (totals.count > 2) {
      if (!(totals.min_weight == totals.max_weight)) return Below::kUnknown;
      sum = 0.0;
      for (uint64_t k = 0; k < totals.count; ++k) sum += totals.max_weight;
    }
    return sum / static_cast<double>(totals.count) < coherence_ ? Below::kYes : Below::kNo;
  }

  // Whether every piece made of two or more of the children of `piece` that can form while
  // its split class is cut (the piece itself included) has a mean below the threshold
  // however it is summed. Such a piece keeps at least one edge of the class (weight w) and
  // some of the children's h edges, each at most as heavy as the heaviest, r; with r above w
  // its mean is at most (r h + w) / (h + 1), and at most w otherwise.
  bool joins_rejected(const Piece& piece) const {
    double heaviest = -std::numeric_limits<double>::infinity();
    uint64_t inside = 0;
    for (Index c = piece.first_child; c != kNoIndex; c = pieces_[c].next_sibling) {
      if (pieces_[c].totals.count == 0) continue;
      heaviest = std::max(heaviest, pieces_[c].totals.max_weight);
      inside += pieces_[c].totals.count;
    }
    const double w = piece.split_weight, h = static_cast<double>(inside);
    const double most = inside == 0 ? w : std::max(w, (heaviest * h + w) / (h + 1.0));
    const double bound = (2.0 * static_cast<double>(piece.totals.count) + 8.0) * 0x1p-52 *
                         piece.totals.max_magnitude;
    return std::isfinite(most) && std::isfinite(bound) && most + bound < coherence_;
  }

  // Emits the nodes under piece `x`: as one piece, or each alone.
  void emit_nodes(Index x, bool whole) {
    std::vector<Index> stack{x};
    std::vector<Index>& members = scratch_.members;
    members.clear();
    while (!stack.empty()) {
      const Index y = stack.back();
      stack.pop_back();
      if (pieces_[y].first_child == kNoIndex) {
        if (whole) {
          members.push_back(nodes_[y]);
        } else {
          emitted_.push_back({nodes_[y]});
        }
        continue;
      }
      for (Index c = pieces_[y].first_child; c != kNoIndex; c = pieces_[c].next_sibling) {
        stack.push_back(c);
      }
    }
    if (whole) emitted_.push_back(members);
  }

  bool give_up() {
    emitted_.resize(emitted_before_);
    return false;
  }

  std::vector<Piece>& pieces_;
  std::vector<LighterClass>& lighter_;
  std::vector<Index>& parent_;
  std::vector<Index>& piece_of_root_;
  std::vector<std::pair<Index, Index>>& ends_;
  OrderFreeScratch& scratch_;
  std::span<const Index> nodes_;
  double coherence_;
  uint64_t max_size_;
  std::vector<std::vector<Index>>& emitted_;
  size_t emitted_before_;
  Index root_ = 0;
};

}  // namespace

OrderFreeResolution::OrderFreeResolution() : scratch_(std::make_unique<OrderFreeScratch>()) {}
OrderFreeResolution::~OrderFreeResolution() = default;

bool OrderFreeResolution::resolve(std::span<const Index> nodes, std::vector<ComponentEdge>& edges,
                                  double min_cluster_coherence, uint64_t max_cluster_size,
                                  const osmira_base::CancelFlag* cancel,
                                  std::vector<std::vector<Index>>& emitted) {
  // A component of which no piece can be accepted falls apart into single nodes.
  Totals totals;
  bool one_class = true;
  for (const ComponentEdge& edge : edges) {
    totals.add(edge.weight);
    one_class = one_class && edge.weight == edges.front().weight;
  }
  if (hopeless(totals, min_cluster_coherence, max_cluster_size)) {
    for (const Index node : nodes) emitted.push_back({node});
    return true;
  }
  // One class of equal weights too large to be accepted at once: while it is cut, pieces of
  // any two of its nodes could form, so the orders decide (known without building anything).
  if (one_class && nodes.size() > max_cluster_size) return false;
  Resolution resolution(*scratch_, nodes, min_cluster_coherence, max_cluster_size, emitted);
  resolution.build(edges, cancel);
  return resolution.examine(cancel);
}

}  // namespace osmira_core::engine::clustering_detail
