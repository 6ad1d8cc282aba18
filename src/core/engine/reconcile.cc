// Batch and incremental reconciliation, as a sequence of phases:
//
//   index_records       identifier -> record position, and which records existed before
//   build_blocks        blocking keys, blocks in key order, members in external-id order
//   find_memberships    for every record, the blocks it belongs to
//   cut_pieces          the pair triangles of the blocks cut into pieces of similar work
//   evaluate_blocks     every piece on the worker pool, each into its own slot
//   keep_first          the merge and review verdicts gathered in block order
//   neighbourhood_pass  the sorted-neighbourhood pairs no block decided
//   order_and_write     decision order, then the decisions written out
//   summarise           the telemetry summary
//
// Threads. A block's pairs (i, j), i < j over its member list, are cut into row ranges
// holding a similar number of pairs; small blocks are grouped. The pieces run as separate
// tasks, the largest first, and each writes its merge and review verdicts to a slot of its
// own, so they are gathered in block order, and within a block in pair order, whatever order
// the tasks finish in. Each worker counts telemetry into a tally of its own; the tallies are
// added up once the parallel stage is over. The counts are integers and the average scores
// are taken over the scores in ascending order, so the summary does not depend on how the
// pairs were spread over the workers, nor on how many there are.
//
// A pair of records that shares several blocks (or whose records are listed twice in one
// block) is evaluated once: by the occurrence that comes first in block order, which also
// counts it in the telemetry once for every occurrence, as if each had been evaluated. Pair
// evaluation depends on the pair alone (the clock is read once per run), and the pair is
// always taken in the same orientation, so the verdict is the one every occurrence would
// have given. Only the first verdict of a pair is ever returned, so the other occurrences
// are not needed for the decisions either.
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
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

// About this many pair evaluations make one task: a few milliseconds of work, so that a large
// block keeps every worker busy and the last task to finish does not hold the others up.
constexpr uint64_t kPiecePairs = uint64_t{1} << 15;

// Candidate pairs of the sorted-neighbourhood pass evaluated per batch, and per task.
constexpr size_t kNeighborhoodBatch = size_t{1} << 16;
constexpr size_t kNeighborhoodTask = 1024;

struct Block {
  std::string key;
  std::vector<uint32_t> members;  // record positions as the record index resolves them
  bool repeats_member = false;    // some record is listed more than once
};

struct PairKeyHash {
  size_t operator()(const std::pair<Uuid, Uuid>& p) const noexcept {
    size_t seed = osmira_base::hash_value(p.first);
    boost::hash_combine(seed, osmira_base::hash_value(p.second));
    return seed;
  }
};
using PairSet = boost::unordered_flat_set<std::pair<Uuid, Uuid>, PairKeyHash>;

// What one worker keeps across the pieces it evaluates.
struct Worker {
  detail::PairScorer::Scratch scratch;
  observability::PairTally tally;
};

// A merge or review verdict whose decision is written out only once it is kept: writing a
// decision (its rule results and explanation texts) is the costly part.
struct Pending {
  uint32_t a = 0;  // record positions
  uint32_t b = 0;
  uint32_t block = 0;     // the block that decided the pair (unused by the neighbourhood pass)
  uint32_t outcomes = 0;  // offset of the pair's top-level rule outcomes in `outcomes`
  detail::PairScorer::Verdict verdict;
};

// The merge and review verdicts of one piece (or one batch of the neighbourhood pass), in
// evaluation order.
struct Verdicts {
  std::vector<Pending> pending;
  std::vector<matching::RuleOutcome> outcomes;  // rule count entries per rules verdict

  void add(uint32_t a, uint32_t b, uint32_t block, const detail::PairScorer::Verdict& verdict,
           std::span<const matching::RuleOutcome> top) {
    Pending& p = pending.emplace_back();
    p.a = a;
    p.b = b;
    p.block = block;
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

// The records of a run and what every phase reads about them.
struct RunRecords {
  std::span<const NormalizedEntity> records;
  std::vector<uint32_t> resolved;  // position -> position of the last record of its identifier
  std::vector<uint8_t> known;      // incremental: the record's identifier already existed

  // A pair of two identifiers that both existed before is never looked at again.
  bool skipped(uint32_t a, uint32_t b) const { return !known.empty() && known[a] && known[b]; }
};

// One block a record belongs to, and how many times the record is listed in it.
struct Membership {
  uint32_t block = 0;
  uint32_t count = 0;
};

// Every record's blocks (those of two members or more), in block order.
struct Memberships {
  std::vector<uint32_t> begin;  // record position -> first entry in `entries`; n + 1 entries
  std::vector<Membership> entries;

  std::span<const Membership> of(uint32_t record) const {
    return {entries.data() + begin[record], entries.data() + begin[record + 1]};
  }
};

// A unit of pair evaluation: whole blocks [block_begin, block_end), or, when the piece
// covers one block, the rows [row_begin, row_end) of its pair triangle (the pairs (i, j)
// with row_begin <= i < row_end and i < j).
struct Piece {
  uint32_t block_begin = 0;
  uint32_t block_end = 0;
  bool rows = false;  // rows of one block rather than whole blocks
  uint32_t row_begin = 0;
  uint32_t row_end = 0;
  uint64_t pairs = 0;
};

// What the decision order compares, computed once per decision.
struct OrderKey {
  double confidence = 0.0;
  size_t exact_results = 0;  // rule scores within machine epsilon of 1.0
  Uuid smaller;
  Uuid larger;
  DateTime earliest;  // the earlier `last_updated` of the two records
};

// A merge or review verdict kept for the output, with the key its decision is filed under.
struct Kept {
  const Verdicts* source;
  const Pending* pending;
  std::string_view blocking_key;
};

uint64_t triangle(uint64_t m) { return m < 2 ? 0 : m * (m - 1) / 2; }

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

// Runs `body(k)` for k in [0, count) on the worker pool, handing out the indices in
// ascending order as workers become free.
template <typename Body>
void run_in_order(size_t count, Body&& body) {
  if (count == 0) return;
  std::atomic<size_t> next{0};
  const size_t lanes =
      std::min<size_t>(count, static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency())));
  tbb::parallel_for(size_t{0}, lanes, [&](size_t) {
    for (size_t k = next.fetch_add(1, std::memory_order_relaxed); k < count;
         k = next.fetch_add(1, std::memory_order_relaxed)) {
      body(k);
    }
  });
}

// Identifier -> the last record that carries it; in incremental runs, which identifiers
// existed before.
RunRecords index_records(std::span<const NormalizedEntity> records, const EntityIdSet* existing) {
  if (records.size() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("too many records for one reconciliation");
  }
  const auto n = static_cast<uint32_t>(records.size());
  RunRecords run;
  run.records = records;
  boost::unordered_flat_map<Uuid, uint32_t, boost::hash<Uuid>> index;
  index.reserve(n);
  for (uint32_t i = 0; i < n; ++i) index.insert_or_assign(records[i].id, i);
  run.resolved.resize(n);
  for (uint32_t i = 0; i < n; ++i) run.resolved[i] = index.find(records[i].id)->second;
  if (existing != nullptr) {
    run.known.resize(n);
    for (uint32_t i = 0; i < n; ++i) run.known[i] = existing->contains(records[i].id);
  }
  return run;
}

// The blocks in key order (bytes ascending), each block's members in external-id order
// (equal external ids by identifier). Records excluded on their own are kept out.
std::vector<Block> build_blocks(const EngineSettings& settings, const detail::PairScorer& scorer,
                                const RunRecords& run) {
  const std::span<const NormalizedEntity> records = run.records;
  const auto n = static_cast<uint32_t>(records.size());
  // Keys are generated in parallel (pure per record) and filed in record order.
  std::vector<std::vector<std::string>> keys(n);
  tbb::parallel_for(tbb::blocked_range<uint32_t>(0, n, 256),
                    [&](const tbb::blocked_range<uint32_t>& range) {
                      for (uint32_t i = range.begin(); i != range.end(); ++i) {
                        if (scorer.excluded_alone(i)) continue;
                        for (const auto& strategy : settings.blocking_strategies) {
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
        blocks[it->second].members.push_back(run.resolved[i]);
      }
      std::vector<std::string>().swap(keys[i]);
    }
  }
  // Keys are distinct, so any sort gives the same order.
  tbb::parallel_sort(blocks.begin(), blocks.end(),
                     [](const Block& x, const Block& y) { return x.key < y.key; });

  // Every record's rank in external-id order is computed once, so that blocks sort
  // integers. Positions break the remaining ties (records sharing an identifier) to make
  // the order total.
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

  tbb::parallel_for(tbb::blocked_range<size_t>(0, blocks.size(), 16),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t b = range.begin(); b != range.end(); ++b) {
                        std::vector<uint32_t>& members = blocks[b].members;
                        if (members.size() < 2) continue;
                        // Ranks are distinct per position, so a listed-twice record ends up
                        // next to itself.
                        std::sort(members.begin(), members.end(),
                                  [&](uint32_t x, uint32_t y) { return rank[x] < rank[y]; });
                        blocks[b].repeats_member =
                            std::adjacent_find(members.begin(), members.end()) != members.end();
                      }
                    });
  return blocks;
}

// For every record, the blocks of two members or more it belongs to, in block order.
Memberships find_memberships(std::span<const Block> blocks, uint32_t n) {
  Memberships out;
  out.begin.assign(static_cast<size_t>(n) + 1, 0);
  for (const Block& block : blocks) {
    if (block.members.size() < 2) continue;
    for (size_t i = 0; i < block.members.size(); ++i) {
      if (i == 0 || block.members[i - 1] != block.members[i]) ++out.begin[block.members[i] + 1];
    }
  }
  for (uint32_t r = 0; r < n; ++r) out.begin[r + 1] += out.begin[r];
  out.entries.resize(out.begin[n]);
  std::vector<uint32_t> fill(out.begin.begin(), out.begin.end() - 1);
  for (size_t b = 0; b < blocks.size(); ++b) {
    const std::vector<uint32_t>& members = blocks[b].members;
    if (members.size() < 2) continue;
    for (size_t i = 0; i < members.size(); ++i) {
      if (i > 0 && members[i - 1] == members[i]) {
        ++out.entries[fill[members[i]] - 1].count;
      } else {
        out.entries[fill[members[i]]++] = Membership{static_cast<uint32_t>(b), 1};
      }
    }
  }
  return out;
}

// The pair triangles of all blocks cut into pieces of about kPiecePairs pairs: a large block
// into row ranges, runs of small blocks grouped. Pieces are listed in block order, and
// within a block in row order.
std::vector<Piece> cut_pieces(std::span<const Block> blocks) {
  std::vector<Piece> pieces;
  Piece group;  // small blocks gathered so far
  const auto close_group = [&](uint32_t end) {
    if (group.pairs > 0) {
      group.block_end = end;
      pieces.push_back(group);
    }
    group = Piece{end, end, false, 0, 0, 0};
  };
  for (uint32_t b = 0; b < blocks.size(); ++b) {
    const uint64_t m = blocks[b].members.size();
    const uint64_t pairs = triangle(m);
    if (pairs == 0) continue;
    if (pairs < kPiecePairs) {
      if (group.pairs == 0) group = Piece{b, b + 1, false, 0, 0, 0};
      group.pairs += pairs;
      if (group.pairs >= kPiecePairs) close_group(b + 1);
      continue;
    }
    close_group(b);
    // Row i holds m - 1 - i pairs; rows are added until a piece holds enough.
    uint64_t row = 0;
    while (row + 1 < m) {
      Piece piece{b, b + 1, true, static_cast<uint32_t>(row), 0, 0};
      while (row + 1 < m && piece.pairs < kPiecePairs) piece.pairs += m - 1 - row++;
      piece.row_end = static_cast<uint32_t>(row);
      pieces.push_back(piece);
    }
    group = Piece{b + 1, b + 1, false, 0, 0, 0};
  }
  close_group(static_cast<uint32_t>(blocks.size()));
  return pieces;
}

// The first block shared by two records, and how many times in all the pair (a, b) occurs
// over all the blocks they share.
struct Sharing {
  uint32_t first_block = 0;
  uint64_t occurrences = 0;
};

Sharing sharing(std::span<const Membership> x, std::span<const Membership> y) {
  Sharing s;
  bool found = false;
  size_t i = 0;
  size_t j = 0;
  while (i < x.size() && j < y.size()) {
    if (x[i].block < y[j].block) {
      ++i;
    } else if (y[j].block < x[i].block) {
      ++j;
    } else {
      if (!found) s.first_block = x[i].block;
      found = true;
      s.occurrences += uint64_t{x[i].count} * y[j].count;
      ++i;
      ++j;
    }
  }
  return s;
}

// Evaluates the pairs of one piece into `out`, counting them in the worker's tally. A pair
// is evaluated at its first occurrence in block order only, and counted there once for each
// of its occurrences.
void evaluate_piece(const Piece& piece, std::span<const Block> blocks, const Memberships& memberships,
                    const RunRecords& run, const detail::PairScorer& scorer,
                    const overrides::OverrideResolver& resolver, Worker& worker, Verdicts& out) {
  for (uint32_t b = piece.block_begin; b < piece.block_end; ++b) {
    const Block& block = blocks[b];
    const std::span<const uint32_t> members = block.members;
    if (members.size() < 2) continue;
    const size_t row_begin = piece.rows ? piece.row_begin : 0;
    const size_t row_end = piece.rows ? piece.row_end : members.size() - 1;
    for (size_t i = row_begin; i < row_end; ++i) {
      const uint32_t ma = members[i];
      // A record listed twice meets its partners again at its second listing.
      if (i > 0 && members[i - 1] == ma) continue;
      const std::span<const Membership> blocks_a = memberships.of(ma);
      for (size_t j = i + 1; j < members.size(); ++j) {
        const uint32_t mb = members[j];
        // One record listed twice (or two records sharing an identifier, which the index
        // resolves to one) would be compared with itself: not a candidate pair.
        if (ma == mb) continue;
        if (members[j - 1] == mb) continue;  // met at mb's first listing
        uint64_t occurrences = 1;
        const std::span<const Membership> blocks_b = memberships.of(mb);
        if ((blocks_a.size() > 1 && blocks_b.size() > 1) || block.repeats_member) {
          const Sharing s = sharing(blocks_a, blocks_b);
          if (s.first_block != b) continue;  // decided in an earlier block
          occurrences = s.occurrences;
        }
        if (run.skipped(ma, mb)) continue;
        const std::optional<double> factor = scorer.temporal_factor(ma, mb);
        if (!factor) continue;
        const auto verdict = scorer.evaluate(ma, mb, *factor, resolver, worker.scratch);
        for (uint64_t k = 0; k < occurrences; ++k) scorer.tally(verdict, worker.scratch, worker.tally);
        if (verdict.decision == Decision::kNoMerge) continue;
        out.add(ma, mb, b, verdict, worker.scratch.outcomes);
      }
    }
  }
}

// Every piece on the worker pool, the largest first; piece k's verdicts go to slot k.
std::vector<Verdicts> evaluate_blocks(std::span<const Block> blocks, const RunRecords& run,
                                      const detail::PairScorer& scorer,
                                      const overrides::OverrideResolver& resolver,
                                      tbb::enumerable_thread_specific<Worker>& workers) {
  const Memberships memberships =
      find_memberships(blocks, static_cast<uint32_t>(run.records.size()));
  const std::vector<Piece> pieces = cut_pieces(blocks);
  std::vector<uint32_t> schedule(pieces.size());
  std::iota(schedule.begin(), schedule.end(), 0u);
  std::stable_sort(schedule.begin(), schedule.end(),
                   [&](uint32_t x, uint32_t y) { return pieces[x].pairs > pieces[y].pairs; });
  std::vector<Verdicts> slots(pieces.size());
  run_in_order(schedule.size(), [&](size_t k) {
    const uint32_t p = schedule[k];
    evaluate_piece(pieces[p], blocks, memberships, run, scorer, resolver, workers.local(), slots[p]);
  });
  return slots;
}

// The merge and review verdicts of the blocks in block order; each pair is decided once, so
// every verdict is kept.
std::vector<Kept> keep_first(std::span<const Block> blocks, std::span<const Verdicts> slots) {
  size_t total = 0;
  for (const Verdicts& slot : slots) total += slot.pending.size();
  std::vector<Kept> kept;
  kept.reserve(total);
  for (const Verdicts& slot : slots) {
    for (const Pending& p : slot.pending) kept.push_back({&slot, &p, blocks[p.block].key});
  }
  return kept;
}

// The sorted-neighbourhood pass: the records in neighbourhood-key order, each paired with
// the next window - 1 records, skipping pairs already kept. Candidates are listed in order
// on this thread and evaluated in parallel batches, each task into its own slot: the
// verdicts, slot after slot, are in candidate order.
std::vector<Verdicts> neighbourhood_pass(const EngineSettings& settings, const RunRecords& run,
                                         const detail::PairScorer& scorer,
                                         const overrides::OverrideResolver& resolver,
                                         tbb::enumerable_thread_specific<Worker>& workers,
                                         std::span<const Kept> kept) {
  std::vector<Verdicts> slots;
  const std::span<const NormalizedEntity> records = run.records;
  const auto n = static_cast<uint32_t>(records.size());
  if (!settings.neighborhood_window || settings.sort_fields.empty() || n == 0) return slots;
  PairSet seen;
  seen.reserve(kept.size());
  for (const Kept& k : kept) {
    seen.insert(types::ordered_pair(records[k.pending->a].id, records[k.pending->b].id));
  }
  std::vector<std::string> sort_keys(n);
  tbb::parallel_for(tbb::blocked_range<uint32_t>(0, n, 256),
                    [&](const tbb::blocked_range<uint32_t>& range) {
                      for (uint32_t i = range.begin(); i != range.end(); ++i) {
                        sort_keys[i] = neighborhood_key(records[i], settings.sort_fields);
                      }
                    });
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  // Positions break ties, which makes the parallel sort give the stable order.
  tbb::parallel_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    const int c = sort_keys[x].compare(sort_keys[y]);
    return c != 0 ? c < 0 : x < y;
  });
  std::vector<std::string>().swap(sort_keys);

  std::vector<std::pair<uint32_t, uint32_t>> candidates;
  const auto evaluate_candidates = [&] {
    const size_t tasks = (candidates.size() + kNeighborhoodTask - 1) / kNeighborhoodTask;
    const size_t first_slot = slots.size();
    slots.resize(first_slot + tasks);
    run_in_order(tasks, [&](size_t t) {
      Worker& worker = workers.local();
      Verdicts& out = slots[first_slot + t];
      const size_t end = std::min(candidates.size(), (t + 1) * kNeighborhoodTask);
      for (size_t c = t * kNeighborhoodTask; c < end; ++c) {
        const auto [ra, rb] = candidates[c];
        const std::optional<double> factor = scorer.temporal_factor(ra, rb);
        if (!factor) continue;
        const auto verdict = scorer.evaluate(ra, rb, *factor, resolver, worker.scratch);
        scorer.tally(verdict, worker.scratch, worker.tally);
        if (verdict.decision == Decision::kNoMerge) continue;
        out.add(ra, rb, 0, verdict, worker.scratch.outcomes);
      }
    });
    candidates.clear();
  };
  const uint64_t window = *settings.neighborhood_window;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t end = std::min<uint64_t>(n, window > n - i ? n : i + window);
    for (uint64_t j = i + 1; j < end; ++j) {
      const uint32_t ra = order[i];
      const uint32_t rb = order[static_cast<size_t>(j)];
      if (run.skipped(ra, rb)) continue;
      if (records[ra].id == records[rb].id) continue;  // never a pair of one identifier
      // A pair is looked at once: the set holds the pairs kept from the blocks and those
      // the pass has already met.
      if (!seen.insert(types::ordered_pair(records[ra].id, records[rb].id)).second) continue;
      candidates.emplace_back(ra, rb);
      if (candidates.size() == kNeighborhoodBatch) evaluate_candidates();
    }
  }
  evaluate_candidates();
  return slots;
}

// The kept verdicts in decision order, written out as decisions.
std::vector<MatchDecision> order_and_write(const EngineSettings& settings, const RunRecords& run,
                                           const detail::PairScorer& scorer,
                                           std::span<const Kept> kept) {
  const std::span<const NormalizedEntity> records = run.records;
  const size_t rule_count = settings.rules.size();
  std::vector<OrderKey> order_keys(kept.size());
  tbb::parallel_for(tbb::blocked_range<size_t>(0, kept.size(), 256),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        const Pending& p = *kept[k].pending;
                        OrderKey& key = order_keys[k];
                        key.confidence = p.verdict.confidence;
                        std::tie(key.smaller, key.larger) =
                            types::ordered_pair(records[p.a].id, records[p.b].id);
                        for (const matching::RuleOutcome& o : kept[k].source->outcomes_of(p, rule_count)) {
                          if (std::fabs(o.score - 1.0) < std::numeric_limits<double>::epsilon()) {
                            ++key.exact_results;
                          }
                        }
                        // Each identifier's record as the index gives it.
                        key.earliest = std::min(records[run.resolved[p.a]].last_updated,
                                                records[run.resolved[p.b]].last_updated);
                      }
                    });
  std::vector<size_t> permutation(kept.size());
  std::iota(permutation.begin(), permutation.end(), size_t{0});
  // Positions break ties, which makes the parallel sort give the stable order.
  tbb::parallel_sort(permutation.begin(), permutation.end(), [&](size_t x, size_t y) {
    if (comes_before(order_keys[x], order_keys[y], settings.tie_breaking)) return true;
    if (comes_before(order_keys[y], order_keys[x], settings.tie_breaking)) return false;
    return x < y;
  });
  std::vector<MatchDecision> decisions(kept.size());
  tbb::parallel_for(tbb::blocked_range<size_t>(0, kept.size(), 64),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t pos = range.begin(); pos != range.end(); ++pos) {
                        const Kept& k = kept[permutation[pos]];
                        const Pending& p = *k.pending;
                        MatchDecision& d = decisions[pos];
                        d = scorer.decision(p.a, p.b, p.verdict, k.source->outcomes_of(p, rule_count));
                        d.blocking_key = std::string(k.blocking_key);
                      }
                    });
  return decisions;
}

// The run's telemetry: block counts (oversized blocks are only counted) and every worker's
// tally.
observability::ReconciliationTelemetry summarise(const EngineSettings& settings,
                                                 std::span<const Block> blocks,
                                                 const detail::PairScorer& scorer,
                                                 const tbb::enumerable_thread_specific<Worker>& workers) {
  observability::TelemetryCollector collector;
  collector.blocking_groups = blocks.size();
  collector.oversized_blocking_groups = static_cast<uint64_t>(
      std::count_if(blocks.begin(), blocks.end(),
                    [&](const Block& b) { return b.members.size() > settings.max_block_size; }));
  const std::span<const std::string_view> names = scorer.rule_names();
  for (const Worker& worker : workers) worker.tally.fold_into(collector, names);
  observability::ReconciliationTelemetry telemetry = std::move(collector).into_telemetry();
  telemetry.scoring_method = std::string(osmira_common::enum_text(settings.scoring_method));
  telemetry.merge_threshold = settings.match_threshold;
  return telemetry;
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
  const RunRecords run = index_records(records, existing);
  const overrides::OverrideResolver resolver(overrides);
  std::vector<const NormalizedEntity*> pointers(records.size());
  for (size_t i = 0; i < records.size(); ++i) pointers[i] = &records[i];
  const detail::PairScorer scorer(settings_, std::move(pointers), /*parallel=*/true);
  tbb::enumerable_thread_specific<Worker> workers([&] {
    return Worker{scorer.make_scratch(), observability::PairTally(settings_.rules.size())};
  });

  const std::vector<Block> blocks = build_blocks(settings_, scorer, run);
  std::vector<Verdicts> slots = evaluate_blocks(blocks, run, scorer, resolver, workers);
  std::vector<Kept> kept = keep_first(blocks, slots);
  const std::vector<Verdicts> pass = neighbourhood_pass(settings_, run, scorer, resolver, workers, kept);
  // Every pass verdict is new: the pass consults the kept pairs before evaluating.
  for (const Verdicts& slot : pass) {
    for (const Pending& p : slot.pending) kept.push_back({&slot, &p, kSortedNeighborhoodKey});
  }

  ReconcileOutput output;
  output.decisions = order_and_write(settings_, run, scorer, kept);
  output.telemetry = summarise(settings_, blocks, scorer, workers);
  return output;
}

}  // namespace osmira_core::engine
