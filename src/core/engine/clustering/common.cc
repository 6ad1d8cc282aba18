// The helpers that union-find and graph clustering share (see common.h).
#include "core/engine/clustering/common.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace osmira_core::engine::clustering_detail {

using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

std::vector<std::pair<Index, Index>> merge_ends(const RecordIndex& index,
                                                std::span<const MatchDecision> decisions) {
  std::vector<std::pair<Index, Index>> ends(decisions.size(), {kNoIndex, kNoIndex});
  tbb::parallel_for(tbb::blocked_range<size_t>(0, decisions.size(), 4096),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        const MatchDecision& d = decisions[k];
                        if (d.decision != Decision::kMerge) continue;
                        ends[k] = {index.find(d.entity_a_id),
                                   index.find(d.entity_b_id)};
                      }
                    });
  return ends;
}

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

}  // namespace osmira_core::engine::clustering_detail
