// Weighted-graph clustering: the graph of the admitted merge decisions and the resolution of
// its components into accepted pieces. Components whose result does not depend on the visit
// orders are resolved in order_free.cc; for the others, the general path (collecting, testing
// and splitting a piece, and cutting settled pieces) is in weighted_graph.cc, and the path for
// dense components, which examines pieces without collecting them, in dense_pieces.cc.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "core/engine/clustering.h"
#include "core/engine/clustering/common.h"
#include "core/engine/clustering/order_free.h"

namespace osmira_core::engine::clustering_detail {

// ---- Weighted-graph clustering --------------------------------------------------------------
//
// One node per record (node index = record index), one directed edge per admitted merge
// decision (entity_a -> entity_b). Every node lists its leaving and its entering edges, each
// most recently added first; these lists fix the visit order of the searches and the edge
// collection order of a piece, and through them which of several equally weak edges is cut.
//
// A component whose result cannot depend on those orders (no tie that matters, no mean within
// its rounding bound of the threshold) is resolved without them, in about the time of sorting
// its edges (order_free.h). The others are cut edge by edge, following the orders.
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
  WeightedGraph(std::span<const types::NormalizedEntity> records, const RecordIndex& index,
                std::span<const types::MatchDecision> decisions, double min_edge_weight);

  std::vector<std::vector<Index>> resolve(double min_cluster_coherence, uint64_t max_cluster_size,
                                          const osmira_base::CancelFlag* cancel);

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
  void build_adjacency();

  // Worklist resolution of one component; accepted pieces are appended to `emitted_`.
  void resolve_component(std::vector<Index> component);
  // Resolves a component without visit orders when its result cannot depend on them (see
  // order_free.h); false otherwise, with nothing emitted. Components with a NaN weight, whose
  // first edge in collection order is cut whatever follows it, are left to the orders.
  bool resolve_in_any_order(const std::vector<Index>& component);
  static constexpr size_t kOrderFreeFrom = 3;  // a pair is resolved as fast either way

  // Cuts edge `e` for good, keeping the dense machinery up to date while it is in use.
  void cut(Index e);

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
  bool prepare_dense(const std::vector<Index>& component);

  // Moves group `l`'s front past its cut edges and notes the weight there (NaN, which no
  // weight of a dense component is, when the group has no live edge), also in the tree of
  // the lightest weights (where an empty group counts as infinitely heavy).
  void find_lightest(Index l);

  // Whether some order of the component's nodes puts each node's leaving and entering lists
  // (most recent first) in descending order of the other ends, as when the decisions come
  // sorted by identifiers or in pair order. Tried: identifier order, then the order in which
  // the nodes first appear in the decisions, adjusted to put every edge forwards (Kahn's
  // algorithm, earliest appearance first). When one holds, the last unvisited node of a group
  // is found by rank in bit rows (see `search_dense`); sets `ordered_`, `rank_`, `by_rank_`,
  // `entering_bits_` and `leaving_bits_`.
  void prepare_ordered(const std::vector<Index>& component);

  // The sums of the live weights and magnitudes of group `l` (in list order), taken when a
  // coherence test first needs them after a cut in the group.
  void sum_group(Index l);

  // Examines a connected piece of a dense component: accepts it, or cuts its weakest edge and
  // splits it, pushing the pieces onto the worklist. The coherence test adds up the group
  // sums: a sum of the piece's weights in another order, which the sum in collection order
  // differs from by at most the bound of `below_coherence` with (edges + nodes + the largest
  // group) additions in the worst path; when the bound straddles the threshold the piece is
  // examined from scratch, which sums in collection order.
  void examine_dense(std::vector<Index> piece);

  // The kept search over `order` (valid or not; no two hold the same order), or null.
  // `from`, when given, is the kept search that found `order`; it remembers the answer until
  // either search is replaced.
  KeptSearch* kept_search_of(const std::vector<Index>& order, KeptSearch* from);

  // A kept search over an order that differs from `piece` in few places (at most
  // kGuideDifferences, the first place not among them) and holds the same nodes, or null.
  // The nodes placed differently are marked in `diff_mark_` and `diff_bits_`.
  const KeptSearch* find_guide(const std::vector<Index>& piece);

  // The first place in [from, to) of a bit set in both rows, or `to`.
  static Index first_common_bit(const uint64_t* x, const uint64_t* y, Index from, Index to);

  // The split's searches over a dense piece (see above); the pieces found are pushed onto
  // the worklist in the order found, each in its visit order. Places are kept one up in
  // `unvisited_below_` so that 0 can stand for "none": entry q is q while place q - 1 is
  // unvisited, else it leads downwards (path halving).
  void search_dense(const std::vector<Index>& piece, const KeptSearch* resumed = nullptr,
                    const KeptSearch* guide = nullptr);

  // Keeps the search over `order` that found the whole piece again as `found` (its tree is in
  // `reached_from_`), in the slot that already holds `order` (`keep_slot_`, looked up before
  // the search) or else the least recently used.
  void keep_search(const std::vector<Index>& order, const std::vector<Index>& found);

  // Repairs a kept search whose tree lost an edge: the search over the same order is the kept
  // one up to the first node reached through a cut pair (`broken_at`). There the visited
  // nodes are those before it and the path is that node's ancestors in the tree; the search
  // goes on from there, the top of the path taking the unvisited neighbour placed last in its
  // list (by the list layout of `search_dense`), testing each of the few unvisited nodes.
  // False, with the search left unusable, when the piece falls apart.
  bool repair(KeptSearch& kept);

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
  void examine(std::vector<Index> piece);

  // Collects the piece's edges into `taken_` in collection order (each node in the piece's
  // order: its leaving, then its entering edges, each taken from its lower-indexed end) and
  // returns their weight sum in that order. Edges that can never be taken again are dropped
  // from the lists on the way: cut ones, self loops, and those whose other end lies outside
  // the piece (pieces only ever split further).
  double collect(const std::vector<Index>& piece, uint64_t stamp);

  // Lists for each node of a piece of `n` nodes (by its position) the edges of `taken_` that
  // are not cut, in collection order, as the piece's searches follow them.
  void list_neighbours(size_t n);

  Index other_end(Index e, Index u) const {
    return edges_[e].from == u ? edges_[e].to : edges_[e].from;
  }

  // Whether `found` lists the nodes of `piece` still stamped `stamp`, in the same order.
  bool same_live_order(const std::vector<Index>& found, const std::vector<Index>& piece,
                       uint64_t stamp) const;

  // Splits the nodes of `piece` still stamped `stamp` along the listed edges; the pieces
  // found are pushed onto the worklist in the order found, each in its visit order. Notes
  // for every node the edge through which the search reached it (`reached_by_`). When the
  // first search visits the whole piece in the piece's order, nothing is pushed and true is
  // returned: the piece is settled, and comes back unchanged but for the cut edge.
  bool split(const std::vector<Index>& piece, uint64_t stamp);

  // Goes on cutting a settled piece (see the class comment), whose weakest edge has just
  // been cut, until it is accepted or a cut splits it from scratch.
  void cut_settled(std::vector<Index> piece, uint64_t stamp);

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
  bool below_coherence(size_t edges);

  // The pairwise sums of the live weights (and of their magnitudes, when some weight is
  // negative) over the collection positions: leaves at [width, 2 width), node k adds 2k and
  // 2k + 1.
  void build_sums();

  void set_leaf(size_t position, double weight);

  std::span<const types::NormalizedEntity> records_;
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
  std::vector<ComponentEdge> component_edges_;
  OrderFreeResolution order_free_;

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

}  // namespace osmira_core::engine::clustering_detail
