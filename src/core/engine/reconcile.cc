// Batch and incremental reconciliation: blocking, parallel evaluation of the blocks,
// de-duplication, the sorted-neighbourhood pass, decision order and the telemetry summary.
//
// Threads. Blocks are spread over the worker pool; the pairs of one block are evaluated in
// sequence by one worker, and each block's merge and review verdicts go to that block's own
// slot, so they are gathered in block order whatever order the tasks finish in. A verdict
// keeps only the pair's rule outcomes; the decision itself (rule results, explanation texts)
// is written once de-duplication and ordering have kept it. Telemetry is not recorded
// under a shared mutex per pair: each worker counts into its own tally and the tallies are
// added up once the parallel stage is over. The counts are integers and the average scores
// are taken over the scores in ascending order, so the summary is exactly the one a single
// collector locked for every pair would give, and it does not depend on the worker count.
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unicode.h"
#include "core/engine/engine.h"
#include "core/engine/pair_scorer.h"

namespace osmira_core::engine {
namespace {

using osmira_base::DateTime;
using osmira_base::Uuid;
using osmira_common::ir::CompiledTieBreaker;
using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

constexpr std::string_view kSortedNeighborhoodKey = "SORTED_NEIGHBORHOOD";

struct Block {
  std::string key;
  std::vector<uint32_t> members;  // record positions as the record index resolves them
};

struct PairKeyHash {
  size_t operator()(const std::pair<Uuid, Uuid>& p) const noexcept {
    size_t seed = osmira_base::hash_value(p.first);
    boost::hash_combine(seed, osmira_base::hash_value(p.second));
    return seed;
  }
};
using PairSet = boost::unordered_flat_set<std::pair<Uuid, Uuid>, PairKeyHash>;

// What one worker keeps across the blocks it evaluates.
struct Worker {
  detail::PairScorer::Scratch scratch;
  observability::PairTally tally;
};

// A merge or review verdict whose decision is written out only if it survives
// de-duplication: a pair shared by several blocks is decided once per block but returned
// once, and writing a decision (its rule results and explanation texts) is the costly part.
struct Pending {
  uint32_t a = 0;  // record positions
  uint32_t b = 0;
  uint32_t outcomes = 0;  // offset of the pair's top-level rule outcomes in its block's buffer
  detail::PairScorer::Verdict verdict;
};

// The verdicts one block (or the sorted-neighbourhood pass) produced, in evaluation order.
struct BlockVerdicts {
  std::vector<Pending> pending;
  std::vector<matching::RuleOutcome> outcomes;  // rule count entries per rules verdict

  void add(uint32_t a, uint32_t b, const detail::PairScorer::Verdict& verdict,
           std::span<const matching::RuleOutcome> top) {
    Pending& p = pending.emplace_back();
    p.a = a;
    p.b = b;
    p.verdict = verdict;
    p.outcomes = static_cast<uint32_t>(outcomes.size());
    if (verdict.reason == detail::PairScorer::Reason::kRules) {
      outcomes.insert(outcomes.end(), top.begin(), top.end());
    }
  }
  std::span<const matching::RuleOutcome> outcomes_of(const Pending& p, size_t rule_count) const {
    if (p.verdict.reason != detail::PairScorer::Reason::kRules) return {};
    return std::span<const matching::RuleOutcome>(outcomes.data() + p.outcomes, rule_count);
  }
};

// The sorted-neighbourhood key: each sort field's lower-cased value (nothing when absent)
// followed by ":".
std::string neighborhood_key(const NormalizedEntity& e, std::span<const std::string> fields) {
  std::string key;
  for (const std::string& field : fields) {
    const auto it = e.data.find(std::string_view(field));
    if (it != e.data.end()) osmira_base::unicode::append_lowercase(key, it->second);
    key += ':';
  }
  return key;
}

// What the decision order compares, computed once per decision.
struct OrderKey {
  double confidence = 0.0;
  size_t exact_results = 0;  // rule scores within machine epsilon of 1.0
  Uuid smaller;
  Uuid larger;
  DateTime earliest;  // the earlier `last_updated` of the two records
};

// True when x comes before y: higher confidence first, then the engine's tie-breakers, then
// the pair key ascending.
bool comes_before(const OrderKey& x, const OrderKey& y,
                  std::span<const CompiledTieBreaker> tie_breaking) {
  if (x.confidence > y.confidence) return true;
  if (y.confidence > x.confidence) return false;
  for (const CompiledTieBreaker t : tie_breaking) {
    switch (t) {
      case CompiledTieBreaker::kExactMatchPriority:
        if (x.exact_results != y.exact_results) return x.exact_results > y.exact_results;
        break;
      case CompiledTieBreaker::kLowestEntityId:
        if (x.smaller != y.smaller) return x.smaller < y.smaller;
        break;
      case CompiledTieBreaker::kEarliestTimestamp:
        if (x.earliest != y.earliest) return x.earliest < y.earliest;
        break;
    }
  }
  if (x.smaller != y.smaller) return x.smaller < y.smaller;
  return x.larger < y.larger;
}

}  // namespace

ReconcileOutput ReconciliationEngine::reconcile_with_telemetry(
    std::span<const NormalizedEntity> records,
    std::span<const overrides::ManualOverride> overrides) const {
  return run(records, nullptr, overrides);
}

ReconcileOutput ReconciliationEngine::reconcile_incremental_with_telemetry(
    std::span<const NormalizedEntity> records, const EntityIdSet& existing,
    std::span<const overrides::ManualOverride> overrides) const {
  return run(records, &existing, overrides);
}

ReconcileOutput ReconciliationEngine::run(std::span<const NormalizedEntity> records,
                                          const EntityIdSet* existing,
                                          std::span<const overrides::ManualOverride> overrides) const {
  if (records.size() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("too many records for one reconciliation");
  }
  const auto n = static_cast<uint32_t>(records.size());
  const overrides::OverrideResolver resolver(overrides);

  // 1. Record index: identifier -> the last record that carries it.
  boost::unordered_flat_map<Uuid, uint32_t, boost::hash<Uuid>> index;
  index.reserve(n);
  for (uint32_t i = 0; i < n; ++i) index.insert_or_assign(records[i].id, i);
  std::vector<uint32_t> resolved(n);
  std::vector<uint8_t> known(n, 0);  // incremental: the record's identifier already existed
  for (uint32_t i = 0; i < n; ++i) {
    resolved[i] = index.find(records[i].id)->second;
    if (existing != nullptr) known[i] = existing->contains(records[i].id);
  }
  // A pair of two identifiers that both existed before is never looked at again.
  const auto skipped = [&](uint32_t a, uint32_t b) { return known[a] && known[b]; };

  std::vector<const NormalizedEntity*> pointers(n);
  for (uint32_t i = 0; i < n; ++i) pointers[i] = &records[i];
  const detail::PairScorer scorer(*this, std::move(pointers), /*parallel=*/true);

  // 2. Blocking. Keys are generated in parallel (pure per record) and filed in record order.
  std::vector<std::vector<std::string>> keys(n);
  tbb::parallel_for(tbb::blocked_range<uint32_t>(0, n, 256),
                    [&](const tbb::blocked_range<uint32_t>& range) {
                      for (uint32_t i = range.begin(); i != range.end(); ++i) {
                        if (scorer.excluded_alone(i)) continue;  // kept out of blocking
                        for (const auto& strategy : blocking_strategies) {
                          std::vector<std::string> generated = strategy->generate_block_key(records[i]);
                          if (keys[i].empty()) {
                            keys[i] = std::move(generated);
                          } else {
                            for (std::string& k : generated) keys[i].push_back(std::move(k));
                          }
                        }
                      }
                    });
  std::vector<Block> blocks;
  {
    boost::unordered_flat_map<std::string, uint32_t, types::StringHash, std::equal_to<>> by_key;
    for (uint32_t i = 0; i < n; ++i) {
      for (std::string& key : keys[i]) {
        auto it = by_key.find(std::string_view(key));
        if (it == by_key.end()) {
          it = by_key.emplace(key, static_cast<uint32_t>(blocks.size())).first;
          blocks.push_back(Block{std::move(key), {}});
        }
        // Not de-duplicated: a record that gets the same key twice is listed twice.
        blocks[it->second].members.push_back(resolved[i]);
      }
      std::vector<std::string>().swap(keys[i]);
    }
  }
  // Block order: keys ascending by bytes (std::string compares as unsigned char). Keys are
  // distinct, so any sort gives the same order.
  tbb::parallel_sort(blocks.begin(), blocks.end(),
                     [](const Block& x, const Block& y) { return x.key < y.key; });

  // Member order within a block is by external id, then identifier. Every record's rank in
  // that order is computed once, so that blocks sort integers. Positions break the remaining
  // ties (records sharing an identifier) to make the order total.
  std::vector<uint32_t> by_external(n);
  std::iota(by_external.begin(), by_external.end(), 0u);
  tbb::parallel_sort(by_external.begin(), by_external.end(), [&](uint32_t x, uint32_t y) {
    const NormalizedEntity& rx = records[x];
    const NormalizedEntity& ry = records[y];
    if (rx.external_id != ry.external_id) return rx.external_id < ry.external_id;
    if (rx.id != ry.id) return rx.id < ry.id;
    return x < y;
  });
  std::vector<uint32_t> rank(n);
  for (uint32_t k = 0; k < n; ++k) rank[by_external[k]] = k;
  std::vector<uint32_t>().swap(by_external);

  // 4. Telemetry set-up: every distinct key is a block; oversized blocks are only counted.
  observability::TelemetryCollector collector;
  collector.blocking_groups = blocks.size();
  collector.oversized_blocking_groups = static_cast<uint64_t>(
      std::count_if(blocks.begin(), blocks.end(),
                    [&](const Block& b) { return b.members.size() > max_block_size; }));

  // 3 and 5. Member order and parallel block evaluation, one slot of verdicts per block.
  const size_t rule_count = rules.size();
  std::vector<BlockVerdicts> block_verdicts(blocks.size());
  tbb::enumerable_thread_specific<Worker> workers([&] {
    return Worker{scorer.make_scratch(), observability::PairTally(rule_count)};
  });
  tbb::parallel_for(
      tbb::blocked_range<size_t>(0, blocks.size(), 1), [&](const tbb::blocked_range<size_t>& range) {
        Worker& worker = workers.local();
        for (size_t b = range.begin(); b != range.end(); ++b) {
          std::vector<uint32_t>& members = blocks[b].members;
          if (members.size() < 2) continue;
          // Paired in external-id order; equal external ids by identifier.
          std::stable_sort(members.begin(), members.end(),
                           [&](uint32_t x, uint32_t y) { return rank[x] < rank[y]; });
          BlockVerdicts& out = block_verdicts[b];
          for (size_t i = 0; i + 1 < members.size(); ++i) {
            for (size_t j = i + 1; j < members.size(); ++j) {
              const uint32_t ma = members[i];
              const uint32_t mb = members[j];
              // One record listed twice (or two records sharing an identifier, which the
              // index resolves to one) would be compared with itself: not a candidate pair.
              if (ma == mb) continue;
              if (skipped(ma, mb)) continue;
              const std::optional<double> factor = scorer.temporal_factor(ma, mb);
              if (!factor) continue;
              const auto verdict = scorer.evaluate(ma, mb, *factor, resolver, worker.scratch);
              scorer.tally(verdict, worker.scratch, worker.tally);
              if (verdict.decision == Decision::kNoMerge) continue;
              out.add(ma, mb, verdict, worker.scratch.outcomes);
            }
          }
        }
      });

  // 7. De-duplication in block order: the first verdict of each pair is kept.
  struct Kept {
    const BlockVerdicts* source;
    const Pending* pending;
    std::string_view blocking_key;
  };
  std::vector<Kept> kept;
  PairSet seen;
  for (size_t b = 0; b < blocks.size(); ++b) {
    for (const Pending& p : block_verdicts[b].pending) {
      if (seen.insert(types::ordered_pair(records[p.a].id, records[p.b].id)).second) {
        kept.push_back({&block_verdicts[b], &p, blocks[b].key});
      }
    }
  }

  // 8 and 9. Sorted-neighbourhood pass over all records, on this thread.
  Worker local{scorer.make_scratch(), observability::PairTally(rule_count)};
  BlockVerdicts neighborhood;
  if (neighborhood_window && !sort_fields.empty() && n > 0) {
    std::vector<std::string> sort_keys(n);
    for (uint32_t i = 0; i < n; ++i) sort_keys[i] = neighborhood_key(records[i], sort_fields);
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t x, uint32_t y) { return sort_keys[x] < sort_keys[y]; });
    const uint64_t window = *neighborhood_window;
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t end = std::min<uint64_t>(n, window > n - i ? n : i + window);
      for (uint64_t j = i + 1; j < end; ++j) {
        const uint32_t ra = order[i];
        const uint32_t rb = order[static_cast<size_t>(j)];
        if (skipped(ra, rb)) continue;
        if (records[ra].id == records[rb].id) continue;  // never a pair of one identifier
        if (!seen.insert(types::ordered_pair(records[ra].id, records[rb].id)).second) continue;
        const std::optional<double> factor = scorer.temporal_factor(ra, rb);
        if (!factor) continue;
        const auto verdict = scorer.evaluate(ra, rb, *factor, resolver, local.scratch);
        scorer.tally(verdict, local.scratch, local.tally);
        if (verdict.decision == Decision::kNoMerge) continue;
        neighborhood.add(ra, rb, verdict, local.scratch.outcomes);
      }
    }
  }
  // Every pass verdict is new: the pass consults the seen-pair set before evaluating.
  for (const Pending& p : neighborhood.pending) {
    kept.push_back({&neighborhood, &p, kSortedNeighborhoodKey});
  }

  // 10. Decision order, decided on the verdicts; only then are the decisions written.
  std::vector<OrderKey> order_keys(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    const Pending& p = *kept[k].pending;
    OrderKey& key = order_keys[k];
    key.confidence = p.verdict.confidence;
    std::tie(key.smaller, key.larger) = types::ordered_pair(records[p.a].id, records[p.b].id);
    for (const matching::RuleOutcome& o : kept[k].source->outcomes_of(p, rule_count)) {
      if (std::fabs(o.score - 1.0) < std::numeric_limits<double>::epsilon()) ++key.exact_results;
    }
    // Each identifier's record as the index gives it.
    key.earliest = std::min(records[resolved[p.a]].last_updated, records[resolved[p.b]].last_updated);
  }
  std::vector<size_t> permutation(kept.size());
  std::iota(permutation.begin(), permutation.end(), size_t{0});
  std::stable_sort(permutation.begin(), permutation.end(), [&](size_t x, size_t y) {
    return comes_before(order_keys[x], order_keys[y], tie_breaking);
  });
  ReconcileOutput output;
  output.decisions.resize(kept.size());
  tbb::parallel_for(tbb::blocked_range<size_t>(0, kept.size(), 64),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t pos = range.begin(); pos != range.end(); ++pos) {
                        const Kept& k = kept[permutation[pos]];
                        const Pending& p = *k.pending;
                        MatchDecision& d = output.decisions[pos];
                        d = scorer.decision(p.a, p.b, p.verdict, k.source->outcomes_of(p, rule_count));
                        d.blocking_key = std::string(k.blocking_key);
                      }
                    });

  // 11. Telemetry summary.
  const std::span<const std::string_view> names = scorer.rule_names();
  for (const Worker& worker : workers) worker.tally.fold_into(collector, names);
  local.tally.fold_into(collector, names);
  output.telemetry = std::move(collector).into_telemetry();
  output.telemetry.scoring_method =
      std::string(osmira_common::enum_text(scoring_method));
  output.telemetry.merge_threshold = match_threshold;
  return output;
}

}  // namespace osmira_core::engine
