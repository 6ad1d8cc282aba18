// Locality-sensitive blocking with MinHash: records whose chosen field texts share many
// character trigrams land, with high probability, under a common band key.
//
// The record's text (each present field value followed by one blank) is cut into its
// distinct runs of three characters (a shorter text is one shingle), each hashed with
// SeaHash. Hash function i maps a shingle hash h to A[i] * h + B[i] (wrapping 64-bit
// arithmetic) and the signature holds each function's minimum. The signature is cut into
// `bands` bands of `rows` values; a band's key is "lsh:<band>:<SeaHash of the band's values
// written in decimal one after another>". The coefficients come from a ChaCha8 generator
// seeded with 42, so keys are the same in every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "core/engine/blocking/blocking.h"

namespace osmira_core::engine::blocking::lsh {

// Bounds on `bands` and on bands × rows (the number of hash functions): each record costs
// O(hash functions × shingles) and yields one key per band.
inline constexpr uint64_t kMaxBands = uint64_t{1} << 20;
inline constexpr uint64_t kMaxHashFunctions = uint64_t{1} << 20;

class LshBlocking final : public BlockingStrategy {
 public:
  // Fails, with a message naming both numbers, when `bands` or bands × rows exceeds its
  // bound above (such a plan would exhaust memory or never finish a record).
  [[nodiscard]] static osmira_base::Result<LshBlocking> create(std::vector<std::string> fields,
                                                              uint64_t bands, uint64_t rows);

  // One key per band, in band order; none when no listed field is present.
  std::vector<std::string> generate_block_key(
      const types::NormalizedEntity& entity) const override;

  const std::vector<std::string>& fields() const { return fields_; }
  const std::vector<uint64_t>& coefficients_a() const { return a_; }
  const std::vector<uint64_t>& coefficients_b() const { return b_; }
  uint64_t shingle_size() const { return shingle_size_; }
  uint64_t hash_count() const { return hash_count_; }
  uint64_t bands() const { return bands_; }
  uint64_t rows() const { return rows_; }

 private:
  LshBlocking() = default;

  std::vector<std::string> fields_;
  std::vector<uint64_t> a_;
  std::vector<uint64_t> b_;
  uint64_t shingle_size_ = 3;
  uint64_t hash_count_ = 0;
  uint64_t bands_ = 0;
  uint64_t rows_ = 0;
};

}  // namespace osmira_core::engine::blocking::lsh
