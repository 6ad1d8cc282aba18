// The record index: which record stands for each identifier, and where it is.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <atomic>
#include <memory>

#include "core/engine/clustering.h"

namespace osmira_core::engine {
namespace {

using osmira_base::Uuid;
using types::NormalizedEntity;

// A record's identifier as two big-endian words (which order as its bytes do), and its
// position.
struct ById {
  uint64_t hi;
  uint64_t lo;
  uint32_t position;

  bool same_id(const ById& y) const { return hi == y.hi && lo == y.lo; }
  friend bool operator<(const ById& x, const ById& y) {
    if (x.hi != y.hi) return x.hi < y.hi;
    if (x.lo != y.lo) return x.lo < y.lo;
    return x.position < y.position;
  }
};

// The positions sorted by identifier, then position, on the pool: each identifier's run of
// positions ends with its last record, the one that stands for it.
std::unique_ptr<ById[]> sorted_by_id(std::span<const NormalizedEntity> records) {
  const auto n = static_cast<uint32_t>(records.size());
  // Left uninitialised here: the pages are first touched by the workers that fill them.
  auto by_id = std::make_unique_for_overwrite<ById[]>(n);
  tbb::parallel_for(tbb::blocked_range<uint32_t>(0, n, 4096),
                    [&](const tbb::blocked_range<uint32_t>& range) {
                      for (uint32_t i = range.begin(); i != range.end(); ++i) {
                        const auto& bytes = records[i].id.bytes;
                        ById& entry = by_id[i];
                        entry.hi = 0;
                        entry.lo = 0;
                        for (int k = 0; k < 8; ++k) entry.hi = (entry.hi << 8) | bytes[k];
                        for (int k = 8; k < 16; ++k) entry.lo = (entry.lo << 8) | bytes[k];
                        entry.position = i;
                      }
                    });
  tbb::parallel_sort(by_id.get(), by_id.get() + n);
  return by_id;
}

}  // namespace
std::vector<uint32_t> standing_positions(std::span<const NormalizedEntity> records) {
  const auto n = static_cast<uint32_t>(records.size());
  const std::unique_ptr<ById[]> by_id = sorted_by_id(records);
  std::vector<uint32_t> standing(n);
  uint32_t last = 0;  // the last entry of the current run, walking backwards
  for (uint32_t k = n; k-- > 0;) {
    if (k + 1 == n || !by_id[k + 1].same_id(by_id[k])) last = k;
    standing[by_id[k].position] = by_id[last].position;
  }
  return standing;
}

size_t RecordIndex::home(const Uuid& id) const {
  // Every one of the 128 bits must reach the bits that choose the slot, or identifiers that
  // real sets carry (integers, counters in the first or the last bytes, timestamps, strides)
  // crowd onto a few home slots and probing turns quadratic. And the function must be one
  // that nobody outside the process can compute: with any fixed mix, however good, whoever
  // writes the records can choose identifiers that all share one home slot. SipHash under
  // the process's random key (base/keyed_hash.h) gives both.
  return static_cast<size_t>(osmira_base::siphash13(key_, id)) & mask_;
}

RecordIndex::RecordIndex(std::span<const NormalizedEntity> records) {
  const auto n = static_cast<uint32_t>(records.size());
  std::unique_ptr<ById[]> by_id = sorted_by_id(records);
  by_identifier_.reserve(n);
  for (uint32_t k = 0; k < n; ++k) {
    if (k + 1 == n || !by_id[k + 1].same_id(by_id[k])) {
      by_identifier_.push_back(by_id[k].position);
      continue;
    }
    if (superseded_.empty()) superseded_.assign(n, 0);
    superseded_[by_id[k].position] = 1;
  }
  by_id.reset();

  size_t capacity = 2;
  while (capacity < 2 * by_identifier_.size()) capacity *= 2;
  mask_ = capacity - 1;
  slots_ = std::make_unique_for_overwrite<Slot[]>(capacity);
  tbb::parallel_for(tbb::blocked_range<size_t>(0, capacity, 1 << 14),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        slots_[k].position = kAbsent;
                      }
                    });
  // Identifiers are distinct, so each only needs a free slot: claimed by a compare-and-swap
  // of its position, after which the claiming thread alone writes its identifier. Nobody
  // reads the table before the loop is over. Which slot an identifier gets may vary with the
  // threads' timing; what `find` returns does not.
  tbb::parallel_for(
      tbb::blocked_range<size_t>(0, by_identifier_.size(), 4096),
      [&](const tbb::blocked_range<size_t>& range) {
        for (size_t k = range.begin(); k != range.end(); ++k) {
          const uint32_t position = by_identifier_[k];
          const Uuid& id = records[position].id;
          for (size_t slot = home(id);; slot = (slot + 1) & mask_) {
            uint32_t expected = kAbsent;
            if (std::atomic_ref<uint32_t>(slots_[slot].position)
                    .compare_exchange_strong(expected, position, std::memory_order_relaxed)) {
              slots_[slot].id = id;
              break;
            }
          }
        }
      });
}
}  // namespace osmira_core::engine
