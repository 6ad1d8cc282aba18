// Graph clustering of a component without visit orders, for the components whose result does
// not depend on them.
//
// The split's visit order and the collection order decide two things only: which of several
// equally weak edges is cut, and the order in which a piece's weights are summed. Whenever the
// weakest live weight of a piece is carried by one edge, the cut is the same whatever the
// order; and cutting a whole class of equal weights in any sequence leaves the same edges
// whenever no piece that could form in between can be accepted. Sums decide the same whatever
// their order when a bound on the rounding keeps the mean clear of the threshold. Yet the
// order of a piece is built from its previous one at every cut, and below about half density
// it neither settles nor repeats, so following it costs a search per cut.
//
// Here the pieces are never ordered. Cutting edges lightest first splits a piece exactly where
// the heaviest-first union of its edges (Kruskal's order) joins it, so one pass of union-find
// over the weight classes, heaviest first, yields every piece that can ever form, with the
// count, sum and magnitude of its edges; the pieces are then examined top-down. Whenever a
// step could go more than one way (see `resolve_without_order`), nothing is emitted and the
// caller follows the orders instead.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/cancel.h"
#include "core/engine/clustering/common.h"

namespace osmira_core::engine::clustering_detail {

// One live edge of a component between two distinct nodes, by their places in the component.
struct ComponentEdge {
  Index a;
  Index b;
  double weight;
};

struct OrderFreeScratch;

// Resolves components one at a time, keeping its scratch from one to the next.
class OrderFreeResolution {
 public:
  OrderFreeResolution();
  ~OrderFreeResolution();

  // Resolves a connected component whose nodes are `nodes` (by place: edges name them by
  // their index in it) and whose edges are `edges` (no NaN weight), as weighted-graph
  // clustering would with any visit order: appends the accepted pieces, as record indices, to
  // `emitted` and returns true; or returns false, leaving `emitted` as it was, when the result
  // could depend on the order. `edges` is reordered.
  bool resolve(std::span<const Index> nodes, std::vector<ComponentEdge>& edges,
               double min_cluster_coherence, uint64_t max_cluster_size,
               const osmira_base::CancelFlag* cancel, std::vector<std::vector<Index>>& emitted);

 private:
  std::unique_ptr<OrderFreeScratch> scratch_;
};

}  // namespace osmira_core::engine::clustering_detail
