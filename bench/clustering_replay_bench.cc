// Graph clustering alone, replayed from a recorded call: reads the records' identifiers and the
// decisions of one `reconcile_local` call (as bench/dump_merge_graph.py writes them), clusters
// them RUNS times with the graph settings recorded, and prints the fastest run and a hash of
// the clusters. It times clustering without the scoring and result building around it, so two
// builds compare on one shape with less of the machine's noise.
//
//   clustering_replay_bench GRAPH [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/engine/clustering.h"

namespace {

using osmira_base::Uuid;
using osmira_core::engine::ClusteringSettings;
using osmira_core::engine::cluster_decisions;
using osmira_core::engine::types::Decision;
using osmira_core::engine::types::MatchDecision;
using osmira_core::engine::types::NormalizedEntity;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: %s GRAPH [RUNS] (no input given)\n", argv[0]);
    return 0;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  std::ifstream in(argv[1]);
  double min_edge_weight = 0, coherence = 0;
  uint64_t max_size = 0;
  size_t record_count = 0, decision_count = 0;
  in >> min_edge_weight >> coherence >> max_size >> record_count >> decision_count;
  std::vector<NormalizedEntity> records(record_count);
  for (NormalizedEntity& r : records) {
    std::string text;
    in >> text;
    auto id = Uuid::parse(text);
    if (!id.ok()) {
      std::fprintf(stderr, "bad identifier %s\n", text.c_str());
      return 1;
    }
    r.id = id.value();
  }
  std::vector<MatchDecision> decisions(decision_count);
  for (MatchDecision& d : decisions) {
    size_t a = 0, b = 0;
    char kind = 0;
    std::string confidence;
    in >> a >> b >> kind >> confidence;
    d.entity_a_id = records.at(a).id;
    d.entity_b_id = records.at(b).id;
    d.decision = kind == 'm' ? Decision::kMerge : kind == 'r' ? Decision::kReview : Decision::kNoMerge;
    d.confidence = std::strtod(confidence.c_str(), nullptr);
  }
  if (!in) {
    std::fprintf(stderr, "%s: truncated\n", argv[1]);
    return 1;
  }
  const ClusteringSettings graph{osmira_common::ir::ClusteringMethod::kGraph, min_edge_weight,
                                 coherence, max_size};
  double best = 1e300;
  uint64_t hash = 0;
  size_t clusters = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = cluster_decisions(graph, records, decisions);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    hash = 1469598103934665603ull;
    for (const auto& cluster : result) {
      for (const Uuid& id : cluster) {
        for (uint8_t byte : id.bytes) hash = (hash ^ byte) * 1099511628211ull;
      }
      hash = (hash ^ 0xff) * 1099511628211ull;
    }
    clusters = result.size();
  }
  std::printf("%.4f s  clusters %zu  hash %016llx\n", best, clusters,
              static_cast<unsigned long long>(hash));
  return 0;
}
