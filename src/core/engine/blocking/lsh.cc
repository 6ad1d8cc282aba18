#include "core/engine/blocking/lsh.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>
#include <utility>

#include "core/engine/blocking/trigrams.h"
#include "core/engine/random.h"

namespace osmira_core::engine::blocking::lsh {
namespace {

constexpr uint64_t kCoefficientSeed = 42;

// SeaHash of every run of three consecutive characters of `text` (the whole text when it is
// shorter), sorted and without duplicates.
std::vector<uint64_t> shingle_hashes(std::string_view text) {
  std::vector<uint64_t> hashes;
  for_each_trigram(text, [&](std::string_view shingle) {
    hashes.push_back(random::seahash(shingle));
    return true;
  });
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
  return hashes;
}

}  // namespace

osmira_base::Result<LshBlocking> LshBlocking::create(std::vector<std::string> fields,
                                                     uint64_t bands, uint64_t rows) {
  uint64_t hash_count = 0;
  if (bands > kMaxBands || __builtin_mul_overflow(bands, rows, &hash_count) ||
      hash_count > kMaxHashFunctions) {
    std::string message = "LSH blocking allows at most ";
    message += std::to_string(kMaxBands) + " bands and " + std::to_string(kMaxHashFunctions) +
               " hash functions (bands x rows), got " + std::to_string(bands) +
               " bands of " + std::to_string(rows) + " rows";
    return osmira_base::Error(std::move(message));
  }
  LshBlocking lsh;
  lsh.fields_ = std::move(fields);
  lsh.hash_count_ = hash_count;
  lsh.bands_ = bands;
  lsh.rows_ = rows;
  random::ChaCha8Rng rng = random::ChaCha8Rng::seed_from_u64(kCoefficientSeed);
  lsh.a_.resize(hash_count);
  lsh.b_.resize(hash_count);
  for (uint64_t& a : lsh.a_) a = rng.next_u64();
  for (uint64_t& b : lsh.b_) b = rng.next_u64();
  return lsh;
}

std::vector<std::string> LshBlocking::generate_block_key(
    const types::NormalizedEntity& entity) const {
  std::vector<std::string> keys;
  if (fields_.empty() || entity.data.empty()) return keys;
  std::string text;
  for (const std::string& field : fields_) {
    const auto value = entity.data.find(std::string_view(field));
    if (value == entity.data.end()) continue;
    text += value->second;
    text += ' ';
  }
  if (text.empty()) return keys;

  const std::vector<uint64_t> hashes = shingle_hashes(text);
  std::vector<uint64_t> signature(hash_count_, std::numeric_limits<uint64_t>::max());
  for (uint64_t i = 0; i < hash_count_; ++i) {
    const uint64_t a = a_[i], b = b_[i];
    uint64_t least = signature[i];
    for (uint64_t h : hashes) least = std::min(least, a * h + b);
    signature[i] = least;
  }

  keys.reserve(bands_);
  std::string band_text;
  char digits[24];
  for (uint64_t band = 0; band < bands_; ++band) {
    band_text.clear();
    for (uint64_t r = 0; r < rows_; ++r) {
      const auto end = std::to_chars(digits, digits + sizeof digits, signature[band * rows_ + r]);
      band_text.append(digits, end.ptr);
    }
    std::string key = "lsh:";
    key += std::to_string(band);
    key += ':';
    key += std::to_string(random::seahash(band_text));
    keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace osmira_core::engine::blocking::lsh
