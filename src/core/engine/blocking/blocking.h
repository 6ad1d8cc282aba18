// Blocking: the block keys under which a record is filed, so that only records sharing a
// key are compared. The engine owns its strategies as a list of `BlockingStrategy` objects
// and files every record under every key of every strategy.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/engine/types.h"

namespace osmira_core::engine::blocking {

// Block keys one after another: key k is bytes[ends[k - 1], ends[k]) (from 0 for k = 0).
struct KeyList {
  std::string bytes;
  std::vector<size_t> ends;

  void add(std::string_view key) {
    bytes.append(key);
    ends.push_back(bytes.size());
  }
  size_t size() const { return ends.size(); }
  std::string_view operator[](size_t k) const {
    const size_t begin = k == 0 ? 0 : ends[k - 1];
    return std::string_view(bytes).substr(begin, ends[k] - begin);
  }
  void clear() {
    bytes.clear();
    ends.clear();
  }
};

// Buffers that a strategy may reuse from one record to the next (one per thread).
struct KeyScratch {
  std::vector<std::string> lists[4];
};

// One way of deriving block keys from a record. Implementations hold no mutable state after
// construction, so one object may serve any number of threads at once.
class BlockingStrategy {
 public:
  virtual ~BlockingStrategy() = default;

  // The record's block keys, in the strategy's order; the same key may appear more than
  // once. Never fails.
  virtual std::vector<std::string> generate_block_key(
      const types::NormalizedEntity& entity) const = 0;

  // Appends the same keys as `generate_block_key` to `keys`: each key's bytes to
  // `keys.bytes` and its end offset there to `keys.ends`. A strategy may override it to keep
  // its working lists in `scratch` instead of allocating them for every record.
  virtual void append_block_keys(const types::NormalizedEntity& entity, KeyList& keys,
                                 KeyScratch& scratch) const {
    (void)scratch;
    for (const std::string& key : generate_block_key(entity)) keys.add(key);
  }
};

}  // namespace osmira_core::engine::blocking
