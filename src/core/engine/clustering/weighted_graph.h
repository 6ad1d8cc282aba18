// Weighted-graph clustering: the graph of the admitted merge decisions and the resolution of
// its components into accepted pieces. Components whose result does not depend on the visit
// orders are resolved in order_free.cc; for the others, the general path (collecting, testing
// and splitting a piece, and cutting settled pieces) is in weighted_graph.cc, and the path for
// dense components, which examines pieces without collecting them, in dense_pieces.cc.
#pragma once

#include <tbb/enumerable_thread_specific.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
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
  // visit order found, by place in the component the node each node was reached from
  // (kNoIndex for the start and for nodes outside the piece) and its step, and by step the
  // depth in the search's tree. The split's search takes from a node the last unvisited
  // neighbour in its list, so cutting an edge between two nodes neither of which was reached
  // from the other changes nothing in it: the search over the same order again is the kept
  // one while no cut since touched its tree (`intact`). Cuts often alternate a piece between
  // two orders and now and then bring back an older one, hence many searches (32: on 1,000
  // nodes 1.6x faster than 8; 64 or 128 no faster). Otherwise a kept search guides the new
  // one (see `search_dense`): the one over the same order, whose steps stand up to the first
  // cut edge of its tree and again wherever the two searches meet; or the one used before
  // last, whose order is nearly always the closest to the piece's (the orders alternate).
  static constexpr size_t kKeptSearches = 32;
  static constexpr size_t kGuidePays = 8, kGuideProbe = 8;
  // What a search over one order reads about its places: per place its node's number, and per
  // number and per index rank its place; per block of kRankBlock ranks the places of the nodes
  // ranked below it; the piece's nodes by number and by rank. Built once for an order and kept
  // with the searches over it: edges are only ever cut, so a node listed below its block after
  // it lost its last higher-indexed neighbour costs one look and changes no choice.
  struct PlaceTables {
    std::vector<Index> place_local, place_of_local, place_of_rank;
    std::vector<uint64_t> lower_places, nodes_local, nodes_ranks;
  };
  struct KeptSearch {
    bool valid = false;
    bool intact = true;                 // no edge of its tree cut since
    std::vector<uint64_t> cut_steps;    // by step: whether the edge that step took is cut
    uint64_t used = 0;  // when last kept or reused, for replacing the least recent
    std::vector<Index> order, found, reached_from, step_of;
    std::vector<Index> depth;  // by step
    // A new number whenever `order` changes; and the kept search over `found`, if known, as
    // it was numbered then (see `kept_search_of`).
    uint64_t generation = 0;
    KeptSearch* next = nullptr;
    uint64_t next_generation = 0;
    PlaceTables places;  // for `order`, when `has_places`
    bool has_places = false;
    // Where a walk over `found` for the lightest group stopped, and that weight: no group
    // placed before it holds an edge of that weight (see `examine_dense`).
    size_t resume = 0;
    double resume_least = std::numeric_limits<double>::quiet_NaN();
  };

  // What resolving pieces needs for itself: one per worker, since the pieces of a dense
  // component are resolved in parallel.
  struct Scratch {
    std::vector<std::vector<Index>> worklist, emitted;
    // The searches of dense pieces: the place tables of the order searched; the unvisited
    // nodes by number, by rank and by place; per place a bound on the places of its
    // lower-indexed candidates; the stack (places) and the node each node was reached from
    // (by number), with its step and by step its depth in the search's tree.
    PlaceTables places;
    std::vector<Index> below, path, reached_from, step_of, depth;
    std::vector<uint64_t> unvisited_local, unvisited_ranks, unvisited_places;
    // The guide's moved nodes (see `find_guide`), and the blocks and chains that find them.
    std::vector<uint64_t> moved_mark, moved_places;
    uint64_t moved_stamp = 0;
    std::vector<Index> moved_words;
    struct Block {
      Index start, place, size, weight, previous;
    };
    std::vector<Block> blocks;
    std::vector<std::pair<Index, Index>> best;
    std::array<KeptSearch, kKeptSearches> kept;
    uint64_t kept_clock = 0;
    KeptSearch* keep_slot = nullptr;  // the kept search over the order being searched, if any
    // The share of the steps that the last guides over other orders stood for (a moving
    // average), and the searches that went without one (see `search_dense`).
    double guide_share = 1.0;
    size_t guides_skipped = 0;
    // The groups holding the lightest weight of the piece being examined and how many still
    // do, that weight when it was searched, and the search that found it whole, if one did
    // (see `examine_dense`).
    std::vector<Index> light;
    size_t light_left = 0;
    double carried_least = 0.0;
    const KeptSearch* carried = nullptr;
    // The general path: the collected edges, the neighbour lists by position, the search
    // stack (node, edge it was pushed through), the cut order and the sums.
    std::vector<Index> taken, nbr_start, nbr_fill, nbr, by_weight;
    std::vector<std::pair<Index, Index>> stack;
    std::vector<double> sums, magnitudes;
    size_t levels = 0;
  };
  tbb::enumerable_thread_specific<Scratch> scratch_;
  static constexpr size_t kOwnTaskFrom = 32;  // smaller pieces stay with the task that found them

  std::span<const Index> leaving(Index u) const {
    return {out_edges_.data() + out_start_[u], out_edges_.data() + out_end_[u]};
  }
  std::span<const Index> entering(Index u) const {
    return {in_edges_.data() + in_start_[u], in_edges_.data() + in_end_[u]};
  }
  double weight_at(const Scratch& s, size_t position) const {
    return edges_[s.taken[position]].weight;
  }
  bool cut_at(const Scratch& s, size_t position) const { return removed_[s.taken[position]] != 0; }

  // Compressed per-node edge lists, each in descending edge index (most recent first).
  void build_adjacency();

  // Worklist resolution of one component; accepted pieces are appended to `s.emitted`.
  void resolve_component(Scratch& s, std::vector<Index> component);
  // Resolves `first` and the pieces it splits into, on the worklist of `s`: the general path
  // when `hand_off` is null, else the dense one, which passes every large piece a split
  // finds (but the last, kept here) to `hand_off`.
  void resolve_pieces(Scratch& s, std::vector<Index> first,
                      const std::function<void(std::vector<Index>)>* hand_off);
  // Resolves a component without visit orders when its result cannot depend on them (see
  // order_free.h); false otherwise, with nothing emitted. Components with a NaN weight, whose
  // first edge in collection order is cut whatever follows it, are left to the orders.
  bool resolve_in_any_order(Scratch& s, const std::vector<Index>& component);
  static constexpr size_t kOrderFreeFrom = 3;  // a pair is resolved as fast either way

  // Cuts edge `e` for good, keeping the dense machinery up to date while it is in use.
  void cut(Scratch& s, Index e);

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
  //   search asks for the unvisited lower-indexed neighbour placed last, and when that one
  //   is placed before the node, first for the last unvisited node of its group. The nodes
  //   are numbered by identifier within the component (`local_`), and each has a bit row of
  //   its live neighbours by that number and one by the rank of their index. The first ask
  //   reads the places from the top through rows of the places held by the nodes ranked
  //   below each block of kRankBlock ranks (made for each search), testing the row of live
  //   neighbours; after a few misses, it reads the candidates from the row by rank instead.
  //   The group is read from its runs, stretches listed by descending identifier (the
  //   reconcile operation lists a node's pairs by confidence, then identifier, so a group
  //   has a run or two per distinct weight), each a bit row whose lowest unvisited bit is
  //   the run's last unvisited node. A group of many distinct weights, whose runs' rows
  //   would hold more words than it has nodes, is read from its list instead, from the
  //   end, through a cursor that each search moves only backwards (what it passed is cut or
  //   visited): at most one pass over the group per search.
  // No live edge ever joins two pieces (pieces are the components of the live edges), so a
  // group holds exactly the live edges its node has to higher-indexed nodes of its piece.
  // Used for components of kDenseFrom to kDenseLimit nodes in which at least an eighth of the
  // node pairs are edges, no weight is NaN (a NaN first edge would be cut whatever follows
  // it) and no pair has two edges. Its tables take at most about 10 bytes per node pair
  // (0.25 GB at 5,000 nodes), less than the decisions of such a component; above kDenseLimit
  // nodes (2.7 GB) the general path takes over.

  static constexpr size_t kDenseFrom = 32;  // smaller components cost little either way
  static constexpr size_t kDenseLimit = 16384;

  // Sets the dense machinery up for `component` when it qualifies; false otherwise.
  bool prepare_dense(const std::vector<Index>& component);

  // Moves group `l`'s front past its cut edges and notes the weight there (NaN, which no
  // weight of a dense component is, when the group has no live edge).
  void find_lightest(Index l);

  // The sums of the live weights and magnitudes of group `l` (in list order), taken when a
  // coherence test first needs them after a cut in the group.
  void sum_group(Index l);

  // Examines a connected piece of a dense component: accepts it, or cuts its weakest edge and
  // splits it, pushing the pieces onto the worklist. The coherence test adds up the group
  // sums: a sum of the piece's weights in another order, which the sum in collection order
  // differs from by at most the bound of `below_coherence` with (edges + nodes + the largest
  // group) additions in the worst path; when the bound straddles the threshold the piece is
  // examined from scratch, which sums in collection order.
  void examine_dense(Scratch& s, std::vector<Index> piece);

  // The kept search over `order` (valid or not; no two hold the same order), or null.
  // `from`, when given, is the kept search that found `order`; it remembers the answer until
  // either search is replaced.
  KeptSearch* kept_search_of(Scratch& s, const std::vector<Index>& order, KeptSearch* from);

  // The kept search used before last when it holds the nodes of `piece` (else the last one,
  // else null), with the nodes whose order relative to the others differs between its order
  // and `piece` marked as moved (`s.moved_mark` at `s.moved_stamp`, `s.moved_places` by
  // place). Reads the place tables of `piece` (`s.places`).
  const KeptSearch* find_guide(Scratch& s, const std::vector<Index>& piece);

  // The split's searches over a dense piece (see above), guided by `guide` when given, else
  // by the one `find_guide` gives, if any; the pieces found are pushed onto the worklist in
  // the order found, each in its visit order.
  void search_dense(Scratch& s, const std::vector<Index>& piece, const KeptSearch* guide);

  // Sets up `s.places` for a search over `piece`: taken from the kept search over that order
  // when it has them, else built.
  void take_places(Scratch& s, const std::vector<Index>& piece);

  // Keeps the search over `order` that found the whole piece again as `found` (its tree is in
  // `reached_from`), in the slot that already holds `order` (`keep_slot`, looked up before
  // the search) or else the least recently used, with the place tables. The piece's next
  // examination takes its list of the lightest groups back through it (`s.carried`).
  void keep_search(Scratch& s, const std::vector<Index>& order, const std::vector<Index>& found);

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
  void examine(Scratch& s, std::vector<Index> piece);

  // Collects the piece's edges into `taken` in collection order (each node in the piece's
  // order: its leaving, then its entering edges, each taken from its lower-indexed end) and
  // returns their weight sum in that order. Edges that can never be taken again are dropped
  // from the lists on the way: cut ones, self loops, and those whose other end lies outside
  // the piece (pieces only ever split further).
  double collect(Scratch& s, const std::vector<Index>& piece, uint64_t stamp);

  // Lists for each node of a piece of `n` nodes (by its position) the edges of `taken` that
  // are not cut, in collection order, as the piece's searches follow them.
  void list_neighbours(Scratch& s, size_t n);

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
  bool split(Scratch& s, const std::vector<Index>& piece, uint64_t stamp);

  // Goes on cutting a settled piece (see the class comment), whose weakest edge has just
  // been cut, until it is accepted or a cut splits it from scratch.
  void cut_settled(Scratch& s, std::vector<Index> piece, uint64_t stamp);

  // Whether the mean of the `edges` live edges of a settled piece, summed in collection
  // order, is below the coherence.
  //
  // The tree in `sums` adds the live weights pairwise (cut ones count as zero) over
  // ceil(log2 m) levels, m the number of positions; the collection-order sum adds the same
  // weights one by one. Both lie within (levels + edges) * u * (sum of |w|) of the exact sum
  // (u = 2^-53, the unit roundoff), so the collection-order sum lies in [t - b, t + b] for
  // the tree's sum t and b = (levels + edges + 4) * 4u * (tree's sum of |w|), which allows for
  // the rounding of b and of t +- b themselves. Dividing by the count is monotonic, so when
  // both ends give the same answer it is the answer; otherwise (or when something is not
  // finite) the weights are summed in collection order.
  bool below_coherence(Scratch& s, size_t edges);

  // The pairwise sums of the live weights (and of their magnitudes, when some weight is
  // negative) over the collection positions: leaves at [width, 2 width), node k adds 2k and
  // 2k + 1.
  void build_sums(Scratch& s);

  void set_leaf(Scratch& s, size_t position, double weight);

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
  // 1 marks the nodes visited while finding the components.
  std::atomic<uint64_t> stamp_counter_ = 1;

  double min_cluster_coherence_ = 0.0;
  uint64_t max_cluster_size_ = UINT64_MAX;
  const osmira_base::CancelFlag* cancel_ = nullptr;
  std::vector<ComponentEdge> component_edges_;
  OrderFreeResolution order_free_;

  // Dense components: each node's number in the component (by identifier), and the node of
  // each number; the rank of each one's index; per node the bit rows of its live neighbours
  // by number and by rank; the groups in list order (edge and number of the other end) and
  // by weight, with the first place of each group's sorted list that may be live (the first
  // live one, and its weight, after every cut), the live count and sums.
  bool dense_ = false;
  std::vector<Index> local_, by_local_, index_rank_;
  size_t dense_n_ = 0;
  std::vector<uint64_t> neighbour_bits_, neighbour_ranks_;
  std::vector<Index> group_start_, group_in_order_, group_other_, group_by_weight_,
      group_front_, group_size_;
  std::vector<double> group_sum_, group_magnitude_, group_lightest_;
  std::vector<uint8_t> group_summed_;
  // Per node, the runs of its group: stretches listed by descending identifier, each a bit
  // row of its live nodes by number, with the first word holding one and the live count;
  // the searches' cursors into them (set by the first read in each search). A group of
  // many distinct weights has none: the searches read its list, each from a cursor of its
  // own into it.
  static constexpr Index kRankBlock = 16;
  std::vector<Index> run_start_, run_low_, run_live_, run_cursor_, list_cursor_;
  std::vector<uint64_t> run_stamp_, run_bits_, list_stamp_;
};

}  // namespace osmira_core::engine::clustering_detail
