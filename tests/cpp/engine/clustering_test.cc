#include "core/engine/clustering.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "common/spec/spec_reader.h"
#include "core/engine/compiler.h"
#include "core/engine/engine.h"
#include "clustering_reference.h"
#include "../sanitizer_build.h"

namespace osmira_core::engine {
namespace {

using osmira_base::Uuid;
using osmira_common::ir::ClusteringMethod;
using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Identifier n: its last two bytes hold n big-endian, so identifiers order like n.
Uuid id(unsigned n) {
  Uuid u;
  u.bytes[14] = static_cast<uint8_t>(n >> 8);
  u.bytes[15] = static_cast<uint8_t>(n);
  return u;
}

std::vector<NormalizedEntity> records_of(std::initializer_list<unsigned> ids) {
  std::vector<NormalizedEntity> records;
  for (unsigned n : ids) records.emplace_back().id = id(n);
  return records;
}

MatchDecision decision(unsigned a, unsigned b, double confidence,
                       Decision verdict = Decision::kMerge) {
  MatchDecision d;
  d.entity_a_id = id(a);
  d.entity_b_id = id(b);
  d.confidence = confidence;
  d.decision = verdict;
  return d;
}

// Clusters as lists of small numbers, for readable expectations.
std::vector<std::vector<unsigned>> numbers(const std::vector<Cluster>& clusters) {
  std::vector<std::vector<unsigned>> out;
  for (const Cluster& c : clusters) {
    auto& row = out.emplace_back();
    for (const Uuid& u : c) row.push_back(u.bytes[14] * 256u + u.bytes[15]);
  }
  return out;
}

ClusteringSettings graph(double min_edge_weight, double min_cluster_coherence,
                         uint64_t max_cluster_size = UINT64_MAX) {
  return {ClusteringMethod::kGraph, min_edge_weight, min_cluster_coherence, max_cluster_size};
}

const ClusteringSettings kSimple{ClusteringMethod::kSimple};
const ClusteringSettings kUnconfigured{};

using Clusters = std::vector<std::vector<unsigned>>;

// Inputs on which every method and the incremental road agree.
TEST(Clustering, CommonCasesAllMethods) {
  struct Row {
    const char* name;
    std::vector<NormalizedEntity> records;
    std::vector<MatchDecision> decisions;
    Clusters expected;
  };
  const std::vector<Row> rows = {
      {"no records", {}, {decision(1, 2, 1.0)}, {}},
      {"no decisions: singletons by identifier", records_of({5, 3, 9, 1}), {},
       {{1}, {3}, {5}, {9}}},
      {"review, no-merge and unknown identifiers change nothing",
       records_of({1, 2, 3}),
       {decision(1, 2, 1.0, Decision::kReview), decision(2, 3, 1.0, Decision::kNoMerge),
        decision(1, 77, 1.0), decision(77, 78, 1.0)},
       {{1}, {2}, {3}}},
      {"a merge joins its pair", records_of({4, 2, 3}), {decision(4, 2, 0.9)},
       {{2, 4}, {3}}},
      {"clusters ordered by first identifier", records_of({9, 8, 7, 6}),
       {decision(9, 6, 1.0), decision(8, 7, 1.0)}, {{6, 9}, {7, 8}}},
      {"identifier 00..ff before 01..00", records_of({0x100, 0xff}), {}, {{0xff}, {0x100}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(numbers(cluster_decisions(kUnconfigured, row.records, row.decisions)), row.expected);
    EXPECT_EQ(numbers(cluster_decisions(kSimple, row.records, row.decisions)), row.expected);
    EXPECT_EQ(numbers(cluster_decisions(graph(0.0, 0.0), row.records, row.decisions)),
              row.expected);
    EXPECT_EQ(numbers(cluster_decisions_incremental(row.records, row.decisions, {})),
              row.expected);
  }
}

TEST(Clustering, UnionFindIgnoresScores) {
  const auto records = records_of({1, 2, 3, 4, 5});
  const std::vector<MatchDecision> chain = {decision(1, 2, 0.01), decision(2, 3, -5.0),
                                            decision(3, 4, kNaN)};
  EXPECT_EQ(numbers(cluster_decisions(kSimple, records, chain)), (Clusters{{1, 2, 3, 4}, {5}}));
  // The graph settings are not read by union-find.
  ClusteringSettings simple_with_limits = graph(0.9, 0.9, 1);
  simple_with_limits.method = ClusteringMethod::kSimple;
  EXPECT_EQ(numbers(cluster_decisions(simple_with_limits, records, chain)),
            (Clusters{{1, 2, 3, 4}, {5}}));
}

TEST(Clustering, GraphTable) {
  constexpr unsigned A = 1, B = 2, C = 3, D = 4;
  struct Row {
    const char* name;
    ClusteringSettings settings;
    std::vector<MatchDecision> decisions;
    Clusters expected;
  };
  const std::vector<Row> rows = {
      {"mean 0.7 fails, B-C cut", graph(0.0, 0.8),
       {decision(A, B, 0.9), decision(B, C, 0.5)}, {{A, B}, {C}, {D}}},
      {"triangle: A-C cut, piece re-examined and accepted", graph(0.0, 0.85),
       {decision(A, B, 0.9), decision(B, C, 0.9), decision(A, C, 0.5)}, {{A, B, C}, {D}}},
      {"max size 1 cuts every edge", graph(0.0, 0.0, 1),
       {decision(A, B, 0.9), decision(B, C, 0.9), decision(C, D, 0.9)},
       {{A}, {B}, {C}, {D}}},
      {"max size 2 on a chain", graph(0.0, 0.0, 2),
       {decision(A, B, 0.9), decision(B, C, 0.5), decision(C, D, 0.8)}, {{A, B}, {C, D}}},
      {"max size 0 still emits singletons", graph(0.0, 0.0, 0), {decision(A, B, 1.0)},
       {{A}, {B}, {C}, {D}}},
      {"confidence equal to min_edge_weight is an edge", graph(0.7, 0.0),
       {decision(A, B, 0.7)}, {{A, B}, {C}, {D}}},
      {"confidence below min_edge_weight is none", graph(0.7, 0.0),
       {decision(A, B, std::nextafter(0.7, 0.0))}, {{A}, {B}, {C}, {D}}},
      {"no edge leaves a pair apart although union-find would join", graph(0.7, 0.0),
       {decision(A, B, 0.6), decision(B, C, 0.9)}, {{A}, {B, C}, {D}}},
      {"NaN min_edge_weight admits every merge", graph(kNaN, -5.0),
       {decision(A, B, 0.01), decision(C, D, -1.0)}, {{A, B}, {C, D}}},
      {"NaN coherence leaves the size test (passes)", graph(0.0, kNaN),
       {decision(A, B, 0.01)}, {{A, B}, {C}, {D}}},
      {"NaN coherence leaves the size test (fails)", graph(0.0, kNaN, 1),
       {decision(A, B, 0.01)}, {{A}, {B}, {C}, {D}}},
      {"review decisions give no edge", graph(0.0, 0.0),
       {decision(A, B, 1.0, Decision::kReview)}, {{A}, {B}, {C}, {D}}},
      {"self loop is never taken", graph(0.0, 0.9), {decision(A, A, 0.1), decision(A, B, 0.95)},
       {{A, B}, {C}, {D}}},
      // 1 -- 0 -- 2 -- 3 with the two 0.6 edges equally weak: the edge collected first
      // (the most recently added one of node 0's leaving edges) is cut.
      {"equal weakest edges: most recent of the lower node's list is cut",
       graph(0.0, 0.75),
       {decision(C, D, 1.0), decision(A, C, 0.6), decision(A, B, 0.6)}, {{A, C, D}, {B}}},
      {"equal weakest edges, added in the other order", graph(0.0, 0.75),
       {decision(C, D, 1.0), decision(A, B, 0.6), decision(A, C, 0.6)}, {{A}, {B}, {C, D}}},
  };
  const auto records = records_of({A, B, C, D});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(numbers(cluster_decisions(row.settings, records, row.decisions)), row.expected);
  }
}

// Records sharing an identifier: the last one stands for it and takes the decisions; the
// earlier copies join no cluster, so every identifier is listed exactly once.
TEST(Clustering, RepeatedIdentifiersListedOnce) {
  struct Row {
    const char* name;
    std::vector<NormalizedEntity> records;
    std::vector<MatchDecision> decisions;
    Clusters simple;     // union-find, batch and incremental
    Clusters graph_0_8;  // graph, coherence 0.8
  };
  const std::vector<Row> rows = {
      {"merge attaches to the last copy", records_of({7, 9, 7}), {decision(7, 9, 1.0)},
       {{7, 9}}, {{7, 9}}},
      {"no decision: one cluster per identifier", records_of({7, 9, 7, 7}), {},
       {{7}, {9}}, {{7}, {9}}},
      // 9-7 at 0.5 and 7-5 at 0.9: the graph cuts 9-7; union-find keeps both edges.
      {"chain through a repeated identifier", records_of({9, 5, 5, 7}),
       {decision(9, 7, 0.5), decision(7, 5, 0.9)}, {{5, 7, 9}}, {{5, 7}, {9}}},
      {"every record repeats", records_of({3, 2, 1, 3, 2, 1}), {decision(1, 3, 1.0)},
       {{1, 3}, {2}}, {{1, 3}, {2}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(numbers(cluster_decisions(kSimple, row.records, row.decisions)), row.simple);
    EXPECT_EQ(numbers(cluster_decisions_incremental(row.records, row.decisions, {})), row.simple);
    EXPECT_EQ(numbers(cluster_decisions(graph(0.0, 0.8), row.records, row.decisions)),
              row.graph_0_8);
    // The caller's index gives the same clusters.
    const RecordIndex index(row.records);
    EXPECT_EQ(numbers(cluster_decisions(kSimple, row.records, index, row.decisions)), row.simple);
  }
}

TEST(Clustering, RecordIndexFindsTheLastRecord) {
  const auto records = records_of({4, 8, 4, 6, 8, 4});
  const RecordIndex index(records);
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(index.find(id(4)), 5u);
  EXPECT_EQ(index.find(id(8)), 4u);
  EXPECT_EQ(index.find(id(6)), 3u);
  EXPECT_EQ(index.find(id(5)), RecordIndex::kAbsent);
  const bool stands[] = {false, false, false, true, true, true};
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(index.stands(i), stands[i]) << i;
  const RecordIndex distinct(records_of({1, 2}));
  EXPECT_TRUE(distinct.stands(0) && distinct.stands(1));
}

TEST(Clustering, IncrementalTable) {
  struct Row {
    const char* name;
    std::vector<NormalizedEntity> records;
    std::vector<std::vector<Uuid>> existing;
    std::vector<MatchDecision> decisions;
    Clusters expected;
  };
  const std::vector<Row> rows = {
      {"existing cluster kept whole", records_of({1, 2, 3}), {{id(3), id(1), id(2)}}, {},
       {{1, 2, 3}}},
      {"first member absent: the others stay together", records_of({2, 3}),
       {{id(1), id(2), id(3)}}, {}, {{2, 3}}},
      {"first two members absent", records_of({3, 4, 5}), {{id(1), id(2), id(4), id(3)}}, {},
       {{3, 4}, {5}}},
      {"one member left: alone", records_of({2, 3}), {{id(1), id(2)}}, {}, {{2}, {3}}},
      {"first member absent, merges reach the rest", records_of({2, 3, 4}),
       {{id(1), id(3), id(2)}}, {decision(4, 2, 0.1)}, {{2, 3, 4}}},
      {"absent further member skipped", records_of({1, 3}), {{id(1), id(2), id(3)}}, {},
       {{1, 3}}},
      {"cluster of one has no effect", records_of({1, 2}), {{id(1)}}, {}, {{1}, {2}}},
      {"empty cluster has no effect", records_of({1, 2}), {{}}, {}, {{1}, {2}}},
      {"merges extend an existing cluster", records_of({1, 2, 3, 4}), {{id(1), id(2)}},
       {decision(2, 4, 0.1)}, {{1, 2, 4}, {3}}},
      {"merges join two existing clusters", records_of({1, 2, 3, 4}),
       {{id(1), id(2)}, {id(4), id(3)}}, {decision(2, 3, 1.0)}, {{1, 2, 3, 4}}},
      {"review decisions do not join", records_of({1, 2, 3}), {{id(1), id(2)}},
       {decision(2, 3, 1.0, Decision::kReview)}, {{1, 2}, {3}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(numbers(cluster_decisions_incremental(row.records, row.decisions, row.existing)),
              row.expected);
  }
}

// The clustering section of a spec, through the compiler and the engine: the batch road
// uses the configured method, the incremental road is union-find whatever is configured.
TEST(Clustering, EngineSettingsFromCompiledSpec) {
  const auto engine_for = [](const std::string& clustering) {
    const std::string yaml =
        "api_version: vintrel/v1\nidentity_version: '1'\nentity: {name: person}\n"
        "sources: {crm: {}}\ndecision: {thresholds: {match: 0.9}" +
        (clustering.empty() ? std::string() : ", clustering: " + clustering) + "}\n";
    const auto read = osmira_common::spec::read_identity_spec(yaml);
    EXPECT_TRUE(read.ok()) << yaml;
    auto plan = compiler::SpecCompiler::compile(read.value());
    EXPECT_TRUE(plan.ok());
    return ReconciliationEngine::from_plan(plan.value());
  };
  constexpr unsigned A = 1, B = 2, C = 3, D = 4;
  const auto records = records_of({C, A, D, B});
  const std::vector<MatchDecision> decisions = {decision(A, B, 0.9), decision(B, C, 0.5)};
  const Clusters closure = {{A, B, C}, {D}};
  const Clusters split = {{A, B}, {C}, {D}};
  const std::vector<std::vector<Uuid>> existing = {{id(D), id(C)}};
  const struct {
    const char* clustering;
    Clusters batch;
  } rows[] = {
      {"", closure},
      {"{method: simple, min_cluster_coherence: 0.8}", closure},
      {"{min_cluster_coherence: 0.8}", closure},  // no method: no clustering configuration
      {"{method: graph, min_cluster_coherence: 0.8}", split},
      {"{method: graph, min_edge_weight: 0.6}", split},
      {"{method: graph, max_cluster_size: 2}", split},
      {"{method: graph}", closure},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.clustering);
    const ReconciliationEngine engine = engine_for(row.clustering);
    EXPECT_EQ(numbers(engine.cluster_decisions(records, decisions)), row.batch);
    EXPECT_EQ(numbers(engine.cluster_decisions_incremental(records, decisions, {})), closure);
    EXPECT_EQ(numbers(engine.cluster_decisions_incremental(records, {}, existing)),
              (Clusters{{A}, {B}, {C, D}}));
  }
}

// ---- Against a reference ------------------------------------------------------------------

// Weighted-graph clustering transcribed step by step, with ordered containers and lists
// that put the most recent edge at the front.
Clusters reference_graph(const std::vector<NormalizedEntity>& records,
                         const std::vector<MatchDecision>& decisions, double min_edge_weight,
                         double min_coherence, uint64_t max_size) {
  const size_t n = records.size();
  std::map<Uuid, size_t> node;
  for (size_t i = 0; i < n; ++i) node[records[i].id] = i;
  struct E {
    size_t a, b;
    double w;
    bool removed = false;
  };
  std::vector<E> edges;
  std::vector<std::deque<size_t>> leaving(n), entering(n);
  for (const MatchDecision& d : decisions) {
    if (d.decision != Decision::kMerge || min_edge_weight > d.confidence) continue;
    if (!node.count(d.entity_a_id) || !node.count(d.entity_b_id)) continue;
    edges.push_back({node[d.entity_a_id], node[d.entity_b_id], d.confidence});
    leaving[edges.back().a].push_front(edges.size() - 1);
    entering[edges.back().b].push_front(edges.size() - 1);
  }
  std::set<size_t> visited;
  std::vector<std::vector<size_t>> components;
  for (size_t s = 0; s < n; ++s) {
    if (visited.count(s)) continue;
    std::vector<size_t> comp, stack = {s};
    while (!stack.empty()) {
      size_t u = stack.back();
      stack.pop_back();
      if (visited.count(u)) continue;
      visited.insert(u);
      comp.push_back(u);
      for (size_t e : leaving[u])
        if (edges[e].b != u && !visited.count(edges[e].b)) stack.push_back(edges[e].b);
      for (size_t e : entering[u])
        if (edges[e].a != u && !visited.count(edges[e].a)) stack.push_back(edges[e].a);
    }
    components.push_back(comp);
  }
  std::vector<Cluster> out;
  for (const auto& comp : components) {
    std::vector<std::vector<size_t>> work = {comp};
    while (!work.empty()) {
      std::vector<size_t> piece = work.back();
      work.pop_back();
      auto emit = [&] {
        Cluster c;
        for (size_t u : piece) {
          // A copy that a later record with the same identifier supersedes joins nothing.
          bool superseded = false;
          for (size_t later = u + 1; later < records.size(); ++later)
            superseded = superseded || records[later].id == records[u].id;
          if (!superseded) c.push_back(records[u].id);
        }
        if (!c.empty()) out.push_back(c);
      };
      if (piece.size() < 2) {
        emit();
        continue;
      }
      std::set<size_t> members(piece.begin(), piece.end());
      std::vector<size_t> taken;
      double sum = 0.0;
      for (size_t u : piece) {
        for (size_t e : leaving[u]) {
          if (!edges[e].removed && edges[e].b > u && members.count(edges[e].b)) {
            taken.push_back(e);
            sum += edges[e].w;
          }
        }
        for (size_t e : entering[u]) {
          if (!edges[e].removed && edges[e].a > u && members.count(edges[e].a)) {
            taken.push_back(e);
            sum += edges[e].w;
          }
        }
      }
      if (taken.empty() ||
          ((std::isnan(min_coherence) || !(sum / taken.size() < min_coherence)) &&
           piece.size() <= max_size)) {
        emit();
        continue;
      }
      size_t weakest = taken[0];
      for (size_t e : taken)
        if (edges[e].w < edges[weakest].w) weakest = e;
      edges[weakest].removed = true;
      std::map<size_t, std::vector<size_t>> nbrs;
      for (size_t e : taken) {
        if (e == weakest) continue;
        nbrs[edges[e].a].push_back(edges[e].b);
        nbrs[edges[e].b].push_back(edges[e].a);
      }
      std::set<size_t> seen;
      for (size_t s : piece) {
        if (seen.count(s)) continue;
        std::vector<size_t> found, stack = {s};
        while (!stack.empty()) {
          size_t u = stack.back();
          stack.pop_back();
          if (seen.count(u)) continue;
          seen.insert(u);
          found.push_back(u);
          for (size_t v : nbrs[u])
            if (!seen.count(v)) stack.push_back(v);
        }
        work.push_back(found);
      }
    }
  }
  for (Cluster& c : out) std::sort(c.begin(), c.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const Cluster& a, const Cluster& b) { return a.front() < b.front(); });
  return numbers(out);
}

// Random small graphs with many equal weights, self loops, repeated pairs, unknown
// identifiers, shared identifiers and non-merge decisions.
struct RandomCase {
  std::vector<NormalizedEntity> records;
  std::vector<MatchDecision> decisions;
};

RandomCase random_case(std::mt19937& rng) {
  RandomCase c;
  const unsigned n = std::uniform_int_distribution<unsigned>(0, 12)(rng);
  for (unsigned i = 0; i < n; ++i) {
    // Now and then a record repeats an earlier identifier.
    const unsigned ident = (i > 0 && rng() % 10 == 0) ? rng() % i : i;
    c.records.emplace_back().id = id(ident * 37 % 101);
  }
  const unsigned m = std::uniform_int_distribution<unsigned>(0, 24)(rng);
  const double weights[] = {0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
  for (unsigned k = 0; k < m && n > 0; ++k) {
    const unsigned a = rng() % (n + 1), b = rng() % (n + 1);  // n: unknown identifier
    const unsigned ida = a == n ? 999 : (a * 37 % 101), idb = b == n ? 999 : (b * 37 % 101);
    const Decision verdict = rng() % 8 == 0 ? Decision::kReview : Decision::kMerge;
    c.decisions.push_back(decision(ida, idb, weights[rng() % 6], verdict));
  }
  return c;
}

// Graph clustering that admits every merge and accepts every component is the transitive
// closure; union-find must agree with it whatever the order of the decisions.
TEST(Clustering, UnionFindIsClosureAndIgnoresDecisionOrder) {
  std::mt19937 rng(20240611);
  for (int iteration = 0; iteration < 2000; ++iteration) {
    RandomCase c = random_case(rng);
    const Clusters closure = numbers(cluster_decisions(graph(kNaN, kNaN), c.records, c.decisions));
    ASSERT_EQ(numbers(cluster_decisions(kSimple, c.records, c.decisions)), closure)
        << "iteration " << iteration;
    std::shuffle(c.decisions.begin(), c.decisions.end(), rng);
    ASSERT_EQ(numbers(cluster_decisions(kSimple, c.records, c.decisions)), closure)
        << "iteration " << iteration << " shuffled";
  }
}

TEST(Clustering, GraphMatchesReference) {
  std::mt19937 rng(7);
  const double coherences[] = {0.0, 0.65, 0.75, 0.85, 0.95, kNaN};
  const uint64_t sizes[] = {0, 1, 2, 3, 5, UINT64_MAX};
  const double min_edges[] = {0.0, 0.6, 0.8, kNaN};
  for (int iteration = 0; iteration < 4000; ++iteration) {
    const RandomCase c = random_case(rng);
    const double coherence = coherences[rng() % 6];
    const uint64_t size = sizes[rng() % 6];
    const double min_edge = min_edges[rng() % 4];
    const Clusters got =
        numbers(cluster_decisions(graph(min_edge, coherence, size), c.records, c.decisions));
    ASSERT_EQ(got, reference_graph(c.records, c.decisions, min_edge, coherence, size))
        << "iteration " << iteration;
    // Every identifier is in exactly one cluster.
    std::set<unsigned> distinct;
    size_t listed = 0;
    for (const auto& cluster : got) {
      listed += cluster.size();
      distinct.insert(cluster.begin(), cluster.end());
    }
    std::set<Uuid> ids;
    for (const NormalizedEntity& r : c.records) ids.insert(r.id);
    ASSERT_EQ(listed, ids.size());
    ASSERT_EQ(distinct.size(), ids.size());
  }
}

// Dense components under every mix of weights (all equal; 2-5 values; 10-50 values; all
// distinct), coherence thresholds at, just above and just below the mean and the largest
// weight, and size limits that force long runs of cuts: the same clusters as the
// straightforward version that collects, sums and splits every piece again after each cut.
// Now and then a weight is NaN, infinite or negative, a pair repeats, an edge loops.
TEST(Clustering, DenseGraphsMatchTheStraightforwardVersion) {
  std::mt19937_64 rng(20261207);
  const double kInf = std::numeric_limits<double>::infinity();
  // The last few are larger and nearly complete, so that searches are resumed from far
  // behind their cut.
  for (int iteration = 0; iteration < 2006; ++iteration) {
    const unsigned n = iteration >= 2000 ? 100 + 8 * (iteration - 2000)
                                         : 2 + rng() % (iteration % 2 == 0 ? 70 : 30);
    // Record order and identifier order differ.
    const auto number = [](unsigned i) { return i * 7919 % 4099; };
    std::vector<NormalizedEntity> records;
    for (unsigned i = 0; i < n; ++i) records.emplace_back().id = id(number(i));
    if (rng() % 8 == 0) records.push_back(records[rng() % n]);  // a superseded copy
    // The weights in play: one to five from a table with near ties, 10 to 50 on a grid of
    // 1/64, or all distinct.
    const double table[] = {0.1, 0.3, 0.7, 0.9, 1.0, 0.7 + 1e-16};
    std::vector<double> palette;
    const unsigned mix = iteration >= 2000 ? iteration % 2 : (iteration / 2) % 4;
    if (mix < 2) {
      const unsigned kinds = mix == 0 ? 1 : 2 + rng() % 4;
      for (unsigned k = 0; k < kinds; ++k) palette.push_back(table[(iteration + k) % 6]);
    } else if (mix == 2) {
      for (unsigned k = 10 + rng() % 41; k-- > 0;) palette.push_back((32 + rng() % 33) / 64.0);
    }
    const auto draw = [&] {
      if (palette.empty()) return std::uniform_real_distribution<double>(0.5, 1.0)(rng);
      return palette[rng() % palette.size()];
    };
    const double density = iteration >= 2000 ? 0.97 : (1 + rng() % 4) / 4.0;
    std::vector<MatchDecision> decisions;
    for (unsigned a = 0; a < n; ++a) {
      for (unsigned b = a + 1; b < n; ++b) {
        if (std::uniform_real_distribution<double>(0, 1)(rng) >= density) continue;
        double w = draw();
        if (iteration < 2000 && rng() % 500 == 0) {
          w = std::array{kNaN, kInf, -kInf, -0.4, 1e300}[rng() % 5];
        }
        const bool flip = rng() % 2 == 0;
        decisions.push_back(decision(number(flip ? b : a), number(flip ? a : b), w));
        if (iteration % 6 == 1 && iteration < 2000 && rng() % 50 == 0) {
          decisions.push_back(decisions.back());
        }
        if (rng() % 80 == 0) decisions.push_back(decision(number(a), number(a), w));
      }
    }
    std::shuffle(decisions.begin(), decisions.end(), rng);
    if (iteration % 3 == 0) {  // as the reconcile operation lists pairs: by identifiers
      for (MatchDecision& d : decisions) {
        if (d.entity_b_id < d.entity_a_id) std::swap(d.entity_a_id, d.entity_b_id);
      }
      std::stable_sort(decisions.begin(), decisions.end(), [](const auto& x, const auto& y) {
        return std::tie(x.entity_a_id, x.entity_b_id) < std::tie(y.entity_a_id, y.entity_b_id);
      });
    }
    // The mean of all edges in decision order and the largest weight, and their neighbours.
    double sum = 0.0, largest = 0.7;
    for (const MatchDecision& d : decisions) {
      sum += d.confidence;
      if (&d == &decisions.front() || d.confidence > largest) largest = d.confidence;
    }
    const double mean = decisions.empty() ? 0.7 : sum / static_cast<double>(decisions.size());
    const double coherences[] = {mean,    std::nextafter(mean, kInf), std::nextafter(mean, -kInf),
                                 largest, std::nextafter(largest, kInf), draw(), 0.0, kNaN};
    const uint64_t sizes[] = {1, 2, 3, n / 2, n, UINT64_MAX};
    const ClusteringSettings settings =
        iteration >= 2000 ? graph(0.0, coherences[iteration % 2], 2)
                          : graph(rng() % 4 == 0 ? 0.5 : 0.0, coherences[rng() % 8], sizes[rng() % 6]);
    const std::vector<Cluster> expected = reference::cluster_graph(settings, records, decisions);
    ASSERT_EQ(cluster_decisions(settings, records, decisions), expected)
        << "iteration " << iteration << ", mix " << mix;
    // The pieces of a dense component are resolved in parallel; one worker gives the same.
    if (n < 32) continue;
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    ASSERT_EQ(cluster_decisions(settings, records, decisions), expected)
        << "iteration " << iteration << ", mix " << mix << ", one worker";
  }
}

// A dense block whose weights nest (1.0 within a node's residue mod 6, 0.9 within mod 3, else
// 0.6; listed as the reconcile operation lists them: by confidence, then identifiers) splits
// into large pieces, resolved in parallel: any number of workers gives the same clusters.
// Run under ThreadSanitizer too.
TEST(Clustering, DensePiecesGiveTheSameClustersWithAnyWorkerCount) {
  std::mt19937_64 rng(20261208);
  for (const unsigned n : {96u, 136u}) {
    std::vector<NormalizedEntity> records;
    for (unsigned i = 0; i < n; ++i) records.emplace_back().id = id(i * 7919 % 4099);
    std::vector<MatchDecision> decisions;
    for (unsigned a = 0; a < n; ++a) {
      for (unsigned b = a + 1; b < n; ++b) {
        if (rng() % 10 == 0) continue;
        const double w = a % 3 != b % 3 ? 0.6 : a % 6 != b % 6 ? 0.9 : 1.0;
        const bool flip = rng() % 2 == 0;
        decisions.push_back(decision(flip ? b * 7919 % 4099 : a * 7919 % 4099,
                                     flip ? a * 7919 % 4099 : b * 7919 % 4099, w));
      }
    }
    std::stable_sort(decisions.begin(), decisions.end(), [](const auto& x, const auto& y) {
      const auto key = [](const MatchDecision& d) {
        return std::tuple(-d.confidence, std::min(d.entity_a_id, d.entity_b_id),
                          std::max(d.entity_a_id, d.entity_b_id));
      };
      return key(x) < key(y);
    });
    for (const ClusteringSettings& settings : {graph(0.0, 0.99, 2), graph(0.0, 0.9, 5)}) {
      std::vector<Cluster> one;
      {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
        one = cluster_decisions(settings, records, decisions);
      }
      for (const int workers : {2, 8}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
        ASSERT_EQ(cluster_decisions(settings, records, decisions), one) << n << ", " << workers;
      }
    }
  }
}

// Dense components cut in few steps, so that the straightforward version finishes on large
// ones: two halves, within each of which most pairs merge at 0.9 to 1.0, joined by a few
// bridges at 0.2; a few records hang on them by one or two edges at 0.2 or 0.3. Cut until the
// halves part (size limit), or until the mean passes a coherence reached halfway through the
// edges at 0.2: which of the tied edges go first decides which hanging records stay.
// - More than 4,096 nodes, weights 0.9 or 1.0 (smaller under a sanitizer), listed as made.
// - 360 nodes of many distinct weights (a grid of 1/4096), listed as the reconcile operation
//   lists pairs (by confidence, then identifiers): a node's group holds one or two runs of
//   identifiers per weight, more than 64 on average; and the same in random order.
TEST(Clustering, DenseComponentsCutInFewStepsMatchTheStraightforwardVersion) {
  struct Case {
    unsigned n;
    unsigned percent;  // of the pairs within a half that merge
    bool many_weights;
    enum { kAsGenerated, kByConfidence, kShuffled } listed;
  };
  const Case cases[] = {{vintrel_test::kSanitized ? 1200u : 4128u, 52, false, Case::kAsGenerated},
                        {360, 90, true, Case::kByConfidence},
                        {360, 90, true, Case::kShuffled}};
  std::mt19937_64 rng(20261209);
  for (const Case& c : cases) {
    constexpr unsigned kHanging = 6, kBridges = 2;
    const unsigned n = c.n;
    const auto number = [](unsigned i) { return i * 7919 % 65521; };
    std::vector<NormalizedEntity> records;
    for (unsigned i = 0; i < n; ++i) records.emplace_back().id = id(number(i));
    std::vector<MatchDecision> decisions;
    const auto add = [&](unsigned a, unsigned b, double w) {
      const bool flip = rng() % 2 == 0;
      decisions.push_back(decision(number(flip ? b : a), number(flip ? a : b), w));
    };
    // Nodes below kHanging hang on the rest; the halves are the even and the odd others.
    const auto core = [&] { return kHanging + static_cast<unsigned>(rng() % (n - kHanging)); };
    for (unsigned a = kHanging; a < n; ++a) {
      for (unsigned b = a + 2; b < n; b += 2) {
        if (rng() % 100 >= c.percent) continue;
        add(a, b, c.many_weights ? (3687 + rng() % 410) / 4096.0 : rng() % 2 == 0 ? 0.9 : 1.0);
      }
    }
    unsigned light = 0;
    for (unsigned k = 0; k < kBridges; ++k, ++light) {
      const unsigned a = core(), b = core();
      add(a, b % 2 == a % 2 ? (b + 1 < n ? b + 1 : b - 1) : b, 0.2);
    }
    for (unsigned h = 0; h < kHanging; ++h) {
      const unsigned first = core();
      for (unsigned k = 0; k < 1 + h % 2; ++k) {
        const double w = rng() % 2 == 0 ? 0.2 : 0.3;
        light += w == 0.2;
        add(h, first + k, w);
      }
    }
    if (c.listed == Case::kByConfidence) {
      std::stable_sort(decisions.begin(), decisions.end(), [](const auto& x, const auto& y) {
        const auto key = [](const MatchDecision& d) {
          return std::tuple(-d.confidence, std::min(d.entity_a_id, d.entity_b_id),
                            std::max(d.entity_a_id, d.entity_b_id));
        };
        return key(x) < key(y);
      });
    } else if (c.listed == Case::kShuffled) {
      std::shuffle(decisions.begin(), decisions.end(), rng);
    }
    ASSERT_GE(decisions.size() * 8, size_t{n} * n);  // dense
    double sum = 0.0;
    for (const MatchDecision& d : decisions) sum += d.confidence;
    // Between the means after cutting half the edges at 0.2 and one more.
    const auto mean_after = [&](unsigned cuts) {
      return (sum - 0.2 * cuts) / static_cast<double>(decisions.size() - cuts);
    };
    const double coherence = (mean_after(light / 2) + mean_after(light / 2 + 1)) / 2;
    for (const ClusteringSettings& settings :
         {graph(0.0, 0.0, n / 2 + kHanging), graph(0.0, coherence)}) {
      ASSERT_EQ(cluster_decisions(settings, records, decisions),
                reference::cluster_graph(settings, records, decisions))
          << n << " nodes, coherence " << settings.min_cluster_coherence;
    }
  }
}

// Larger inputs: long chains and a star through every method; the result is the whole set
// (union-find, graph with no limits) or pairs (graph, size limit 2 on a chain).
TEST(Clustering, LongChainsAndStars) {
  constexpr unsigned kCount = 20000;
  std::vector<NormalizedEntity> records;
  std::vector<MatchDecision> chain, star;
  for (unsigned i = 0; i < kCount; ++i) {
    records.emplace_back().id = id(kCount - i);  // descending identifiers
    if (i > 0) {
      chain.push_back(decision(kCount - i + 1, kCount - i, i % 2 == 1 ? 0.9 : 0.5));
      star.push_back(decision(kCount, kCount - i, 0.9));
    }
  }
  for (const auto* decisions : {&chain, &star}) {
    auto simple = cluster_decisions(kSimple, records, *decisions);
    ASSERT_EQ(simple.size(), 1u);
    EXPECT_EQ(simple[0].size(), kCount);
    EXPECT_TRUE(std::is_sorted(simple[0].begin(), simple[0].end()));
    EXPECT_EQ(cluster_decisions(graph(0.0, 0.0), records, *decisions), simple);
  }
  // Chain 0.9, 0.5, 0.9, ...: coherence 0.9 cuts every 0.5 edge, leaving pairs. Each cut
  // peels one pair off and re-examines the rest, so this one is shorter.
  constexpr unsigned kPeeled = 4000;
  const std::span<const NormalizedEntity> head(records.data(), kPeeled);
  auto pairs = numbers(cluster_decisions(graph(0.0, 0.9), head, chain));
  ASSERT_EQ(pairs.size(), kPeeled / 2);
  for (size_t k = 0; k < pairs.size(); ++k) {
    const unsigned low = kCount - kPeeled + 1 + 2 * static_cast<unsigned>(k);
    ASSERT_EQ(pairs[k], (std::vector<unsigned>{low, low + 1}));
  }
}

// Tens of thousands of records with random identifiers (a few repeated), random merges
// among them, decisions naming unknown identifiers and review decisions: the record index
// built on the worker pool and the clusters assembled there are the same as a plain
// sequential reference with 1, 2 and 8 workers, for union-find, graph clustering that keeps
// every component, and the incremental road.
TEST(Clustering, LargeInputsMatchTheReferenceWithAnyWorkerCount) {
  std::mt19937_64 rng(20261207);
  const auto random_id = [&] {
    Uuid u;
    for (auto& byte : u.bytes) byte = static_cast<uint8_t>(rng());
    return u;
  };
  constexpr size_t kRecords = 60000;
  std::vector<NormalizedEntity> records(kRecords);
  for (size_t i = 0; i < kRecords; ++i) {
    records[i].id = (i > 0 && rng() % 50 == 0) ? records[rng() % i].id : random_id();
  }
  std::vector<MatchDecision> decisions;
  for (size_t k = 0; k < 40000; ++k) {
    MatchDecision d;
    d.entity_a_id = records[rng() % kRecords].id;
    d.entity_b_id = rng() % 100 == 0 ? random_id() : records[rng() % kRecords].id;
    d.confidence = 0.9;
    d.decision = rng() % 10 == 0 ? Decision::kReview : Decision::kMerge;
    decisions.push_back(d);
  }
  std::vector<Cluster> existing;
  for (size_t k = 0; k < 3000; ++k) {
    Cluster& c = existing.emplace_back();
    const size_t size = 1 + rng() % 4;
    for (size_t m = 0; m < size; ++m) {
      c.push_back(rng() % 20 == 0 ? random_id() : records[rng() % kRecords].id);
    }
  }

  // The reference: the last record of an identifier stands for it; plain disjoint sets over
  // the distinct identifiers.
  std::map<Uuid, size_t> last;
  for (size_t i = 0; i < kRecords; ++i) last[records[i].id] = i;
  const auto reference_clusters = [&](bool incremental) {
    std::map<Uuid, Uuid> parent;
    for (const auto& [u, at] : last) parent[u] = u;
    const auto find = [&](Uuid u) {
      while (parent[u] != u) u = parent[u] = parent[parent[u]];
      return u;
    };
    const auto unite = [&](const Uuid& a, const Uuid& b) {
      if (!last.count(a) || !last.count(b)) return;
      parent[find(a)] = find(b);
    };
    if (incremental) {
      for (const Cluster& c : existing) {
        const auto first = std::find_if(c.begin(), c.end(),
                                        [&](const Uuid& u) { return last.count(u) > 0; });
        for (auto m = first; m != c.end(); ++m) unite(*first, *m);
      }
    }
    for (const MatchDecision& d : decisions) {
      if (d.decision == Decision::kMerge) unite(d.entity_a_id, d.entity_b_id);
    }
    std::map<Uuid, Cluster> by_root;
    for (const auto& [u, at] : last) by_root[find(u)].push_back(u);  // ascending
    std::vector<Cluster> out;
    for (auto& [root, c] : by_root) out.push_back(c);
    std::sort(out.begin(), out.end(),
              [](const Cluster& a, const Cluster& b) { return a.front() < b.front(); });
    return out;
  };
  const std::vector<Cluster> batch = reference_clusters(false);
  const std::vector<Cluster> incremental = reference_clusters(true);
  std::vector<uint32_t> by_identifier;
  for (const auto& [u, at] : last) by_identifier.push_back(static_cast<uint32_t>(at));

  for (const int workers : {1, 2, 8}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
    const RecordIndex index(records);
    ASSERT_EQ(index.size(), last.size()) << workers;
    for (size_t i = 0; i < kRecords; ++i) {
      ASSERT_EQ(index.find(records[i].id), last[records[i].id]) << workers << ", " << i;
      ASSERT_EQ(index.stands(i), last[records[i].id] == i) << workers << ", " << i;
    }
    for (int k = 0; k < 1000; ++k) {
      const Uuid absent = random_id();
      if (!last.count(absent)) {
        ASSERT_EQ(index.find(absent), RecordIndex::kAbsent);
      }
    }
    const std::span<const uint32_t> ordered = index.by_identifier();
    ASSERT_EQ(std::vector<uint32_t>(ordered.begin(), ordered.end()), by_identifier) << workers;

    EXPECT_EQ(cluster_decisions(kSimple, records, index, decisions), batch) << workers;
    EXPECT_EQ(cluster_decisions(graph(kNaN, kNaN), records, index, decisions), batch) << workers;
    EXPECT_EQ(cluster_decisions_incremental(records, index, decisions, existing), incremental)
        << workers;
  }
}

}  // namespace
}  // namespace osmira_core::engine
