// Clustering and golden-record figures: records and decisions per second for union-find,
// weighted-graph and incremental clustering on random merge graphs, graph clustering on a
// long chain that is peeled pair by pair (its worst case), and golden records per second.
// Prints figures only.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/engine/clustering.h"
#include "core/engine/survivorship.h"

namespace {

using osmira_base::Uuid;
using osmira_core::engine::Cluster;
using osmira_core::engine::ClusteringSettings;
using osmira_core::engine::cluster_decisions;
using osmira_core::engine::cluster_decisions_incremental;
using osmira_core::engine::SurvivorshipEngine;
using osmira_core::engine::types::Decision;
using osmira_core::engine::types::MatchDecision;
using osmira_core::engine::types::NormalizedEntity;
using Clock = std::chrono::steady_clock;

Uuid random_id(std::mt19937_64& rng) {
  Uuid u;
  for (int half = 0; half < 2; ++half) {
    uint64_t x = rng();
    for (int k = 0; k < 8; ++k) u.bytes[half * 8 + k] = static_cast<uint8_t>(x >> (8 * k));
  }
  return u;
}

std::vector<NormalizedEntity> make_records(size_t count, std::mt19937_64& rng) {
  std::vector<NormalizedEntity> records(count);
  for (NormalizedEntity& r : records) r.id = random_id(rng);
  return records;
}

// Merge decisions between records close in the list (as blocking would give them), so the
// components stay small; scores spread over [0.5, 1).
std::vector<MatchDecision> make_decisions(const std::vector<NormalizedEntity>& records,
                                          size_t count, std::mt19937_64& rng) {
  std::vector<MatchDecision> decisions(count);
  std::uniform_real_distribution<double> score(0.5, 1.0);
  for (MatchDecision& d : decisions) {
    const size_t a = rng() % records.size();
    const size_t b = std::min(records.size() - 1, a + 1 + rng() % 8);
    d.entity_a_id = records[a].id;
    d.entity_b_id = records[b].id;
    d.confidence = score(rng);
    d.decision = rng() % 5 == 0 ? Decision::kReview : Decision::kMerge;
  }
  return decisions;
}

template <typename F>
void report(const char* label, size_t items, F&& run) {
  size_t clusters = 0;
  const auto start = Clock::now();
  clusters = run();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-52s %9zu items %8.1f ms %8.2f M items/s (result size %zu)\n", label, items,
              seconds * 1e3, items / seconds / 1e6, clusters);
}

}  // namespace

int main() {
  std::mt19937_64 rng(42);
  const ClusteringSettings simple{osmira_common::ir::ClusteringMethod::kSimple};
  const ClusteringSettings graph{osmira_common::ir::ClusteringMethod::kGraph, 0.6, 0.8, 50};

  for (size_t count : {10'000u, 1'000'000u}) {
    const auto records = make_records(count, rng);
    const auto decisions = make_decisions(records, count / 2, rng);
    const size_t items = records.size() + decisions.size();
    std::printf("-- %zu records, %zu decisions\n", records.size(), decisions.size());
    report("union-find", items,
           [&] { return cluster_decisions(simple, records, decisions).size(); });
    report("graph (min edge 0.6, coherence 0.8, size 50)", items,
           [&] { return cluster_decisions(graph, records, decisions).size(); });
    std::vector<std::vector<Uuid>> existing;
    for (size_t i = 0; i + 3 < records.size(); i += 10) {
      existing.push_back({records[i].id, records[i + 1].id, records[i + 3].id});
    }
    report("incremental (one existing cluster per 10 records)", items,
           [&] { return cluster_decisions_incremental(records, decisions, existing).size(); });
  }

  // A chain with alternating scores 0.9, 0.5 and coherence 0.9: every cut peels one pair off
  // and the rest of the chain is examined again (quadratic by the algorithm's definition).
  for (size_t count : {2'000u, 20'000u}) {
    const auto records = make_records(count, rng);
    std::vector<MatchDecision> chain(count - 1);
    for (size_t i = 0; i + 1 < count; ++i) {
      chain[i].entity_a_id = records[i].id;
      chain[i].entity_b_id = records[i + 1].id;
      chain[i].decision = Decision::kMerge;
      chain[i].confidence = i % 2 == 0 ? 0.9 : 0.5;
    }
    const ClusteringSettings strict{osmira_common::ir::ClusteringMethod::kGraph, 0.0, 0.9};
    char label[64];
    std::snprintf(label, sizeof label, "graph, peeled chain of %zu", count);
    report(label, count, [&] { return cluster_decisions(strict, records, chain).size(); });
  }

  // Golden records: clusters of 2, 20 and 2000 members with six fields each.
  osmira_common::ir::SurvivorshipPolicy policy;
  policy.field_policies["email"] = {osmira_common::ir::SurvivorshipStrategy::kMostComplete,
                                    std::nullopt, std::nullopt};
  policy.field_policies["phone"] = {osmira_common::ir::SurvivorshipStrategy::kSourcePriority,
                                    std::vector<std::string>{"crm", "erp"}, std::nullopt};
  policy.field_policies["score"] = {osmira_common::ir::SurvivorshipStrategy::kAggregate,
                                    std::nullopt, "avg"};
  policy.field_policies["tags"] = {osmira_common::ir::SurvivorshipStrategy::kAggregate,
                                   std::nullopt, std::nullopt};
  for (size_t members : {2u, 20u, 2000u}) {
    std::vector<NormalizedEntity> cluster(members);
    for (size_t i = 0; i < members; ++i) {
      NormalizedEntity& r = cluster[i];
      r.external_id = std::to_string(i);
      r.source_name = i % 3 == 0 ? "erp" : "web";
      r.last_updated = {1'700'000'000 + static_cast<int64_t>(rng() % 1000), 0};
      r.data.insert_or_assign("first_name", "Ann" + std::to_string(i % 5));
      r.data.insert_or_assign("last_name", "Lee");
      r.data.insert_or_assign("email", "ann" + std::to_string(i) + "@example.com");
      r.data.insert_or_assign("phone", "+1 555 " + std::to_string(1000 + i));
      r.data.insert_or_assign("score", std::to_string(i % 100) + ".5");
      r.data.insert_or_assign("tags", std::string("t").append(std::to_string(i % 13)));
    }
    const size_t rounds = 2'000'000 / members;
    char label[64];
    std::snprintf(label, sizeof label, "golden records, %zu members (x%zu)", members, rounds);
    report(label, rounds * members, [&] {
      size_t fields = 0;
      for (size_t k = 0; k < rounds; ++k) {
        fields += SurvivorshipEngine::construct_golden_record(cluster, policy).size();
      }
      return fields / rounds;
    });
  }
  return 0;
}
