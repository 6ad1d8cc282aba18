// Numbers the texts of a long sequence so that equal texts share one number, on the worker
// pool. The Python result repeats a few texts very often (rule names, explanations, blocking
// keys, golden-record values): numbering them beforehand, with the interpreter lock
// released, leaves the thread that builds the Python objects an array look-up per text
// instead of a hash look-up and a comparison.
#pragma once

#include <tbb/parallel_for.h>

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "core/engine/types.h"

namespace vintrel_bridge {

struct TextNumbers {
  // Per item of the sequence, the number of its text. Numbers are dense and given in order of
  // first appearance: walking the sequence front to back, each number is first met at the
  // first item holding its text, and number n is met before number n + 1 (so that what the
  // walk keeps per number is filled front to back).
  std::vector<uint32_t> of_item;
  uint32_t distinct = 0;
};

// Groups go to the workers in runs of this many; each run numbers its own texts first.
inline constexpr size_t kTextNumberRun = 1024;
// The runs' distinct texts are then matched up in this many shards by hash, each on its own.
inline constexpr size_t kTextNumberShards = 64;
// Within a run, the last text at each of the first this many positions of a group is kept.
inline constexpr size_t kRememberedPositions = 64;

// Numbers a sequence of texts given in groups: group g holds items offsets[g] to
// offsets[g + 1] (offsets has one entry more than there are groups, the first 0), and
// `texts_of(g, emit)` calls `emit(text)` for each of them in order, with string_views that
// stay valid during the call. The result is the same for any number of workers. Throws
// std::length_error for 2^32 or more items.
template <typename TextsOf>
TextNumbers number_texts(std::span<const size_t> offsets, const TextsOf& texts_of) {
  using Hash = osmira_core::engine::types::StringHash;
  // A text as a run knows it: the run and its number within the run.
  struct Local {
    uint32_t run;
    uint32_t local;
    bool operator==(const Local&) const = default;
  };
  struct First {
    std::string_view text;
    uint32_t local;
  };
  using Firsts = std::array<std::vector<First>, kTextNumberShards>;
  TextNumbers out;
  const size_t groups = offsets.empty() ? 0 : offsets.size() - 1;
  const size_t count = offsets.empty() ? 0 : offsets.back();
  if (count >= UINT32_MAX) throw std::length_error("too many texts to number");
  out.of_item.resize(count);
  const size_t runs = (groups + kTextNumberRun - 1) / kTextNumberRun;
  const auto groups_of = [&](size_t run) {
    return std::pair(run * kTextNumberRun, std::min(groups, (run + 1) * kTextNumberRun));
  };
  // The top bits of the mixed hash choose the shard.
  const auto shard_of = [](std::string_view text) {
    const uint64_t mixed = static_cast<uint64_t>(Hash{}(text)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mixed >> 58);
  };

  // 1. Each run numbers its texts by first appearance within the run (the items hold these
  //    run-local numbers for now) and sorts its distinct texts into the shards.
  std::vector<Firsts> firsts(runs);
  std::vector<uint32_t> distinct_in_run(runs, 0);
  tbb::parallel_for(size_t{0}, runs, [&](size_t run) {
    const auto [first_group, end_group] = groups_of(run);
    boost::unordered_flat_map<std::string_view, uint32_t, Hash, std::equal_to<>> seen;
    seen.reserve(offsets[end_group] - offsets[first_group]);
    // Groups mostly repeat the texts of the group before at the same positions (a rule's
    // name and often its explanation): a text equal to the last one at its position takes
    // that one's number without a look-up.
    std::array<std::string_view, kRememberedPositions> last_text{};
    std::array<uint32_t, kRememberedPositions> last_number{};
    std::array<bool, kRememberedPositions> remembered{};
    uint32_t* item = out.of_item.data() + offsets[first_group];
    for (size_t g = first_group; g < end_group; ++g) {
      size_t position = 0;
      texts_of(g, [&](std::string_view text) {
        const bool kept = position < kRememberedPositions;
        if (kept && remembered[position] && last_text[position] == text) {
          *item++ = last_number[position++];
          return;
        }
        const auto [it, fresh] = seen.try_emplace(text, static_cast<uint32_t>(seen.size()));
        if (fresh) firsts[run][shard_of(text)].push_back({text, it->second});
        *item++ = it->second;
        if (kept) {
          last_text[position] = text;
          last_number[position] = it->second;
          remembered[position] = true;
        }
        ++position;
      });
    }
    distinct_in_run[run] = static_cast<uint32_t>(seen.size());
  });

  // 2. Each shard finds, for each of its texts, the run that holds it first: visiting the runs
  //    in order, the first run to bring a text owns it. `owner[run][local]`.
  std::vector<std::vector<Local>> owner(runs);
  for (size_t run = 0; run < runs; ++run) owner[run].resize(distinct_in_run[run]);
  tbb::parallel_for(size_t{0}, kTextNumberShards, [&](size_t shard) {
    boost::unordered_flat_map<std::string_view, Local, Hash, std::equal_to<>> owners;
    for (size_t run = 0; run < runs; ++run) {
      for (const First& f : firsts[run][shard]) {
        const Local self{static_cast<uint32_t>(run), f.local};
        owner[run][f.local] = owners.try_emplace(f.text, self).first->second;
      }
    }
  });
  std::vector<Firsts>().swap(firsts);

  // 3. The texts a run owns are numbered after those of the runs before it, in the run's
  //    order; then every other text takes its owner's number.
  std::vector<std::vector<uint32_t>> number(runs);
  std::vector<uint32_t> owned_before(runs + 1, 0);
  tbb::parallel_for(size_t{0}, runs, [&](size_t run) {
    uint32_t owned = 0;
    for (uint32_t local = 0; local < distinct_in_run[run]; ++local) {
      if (owner[run][local] == Local{static_cast<uint32_t>(run), local}) ++owned;
    }
    owned_before[run + 1] = owned;
  });
  for (size_t run = 0; run < runs; ++run) owned_before[run + 1] += owned_before[run];
  out.distinct = owned_before[runs];
  tbb::parallel_for(size_t{0}, runs, [&](size_t run) {
    number[run].resize(distinct_in_run[run]);
    uint32_t next = owned_before[run];
    for (uint32_t local = 0; local < distinct_in_run[run]; ++local) {
      if (owner[run][local] == Local{static_cast<uint32_t>(run), local}) {
        number[run][local] = next++;
      }
    }
  });
  tbb::parallel_for(size_t{0}, runs, [&](size_t run) {
    std::vector<uint32_t>& numbers = number[run];
    for (uint32_t local = 0; local < distinct_in_run[run]; ++local) {
      const Local o = owner[run][local];
      if (o.run != run) numbers[local] = number[o.run][o.local];
    }
    const auto [first_group, end_group] = groups_of(run);
    for (size_t i = offsets[first_group]; i < offsets[end_group]; ++i) {
      out.of_item[i] = numbers[out.of_item[i]];
    }
  });
  return out;
}

}  // namespace vintrel_bridge
