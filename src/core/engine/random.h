// Hashing and randomness for the engine: the 64-bit SeaHash, the ChaCha stream generator
// (seeded from an integer for reproducible LSH coefficients, or from the operating system
// for sampling), and sampling of distinct indices.
//
// SeaHash and the free functions are pure and thread-safe. A generator is a value owned by
// one thread at a time; `thread_rng()` gives each thread its own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace osmira_core::engine::random {

// SeaHash (64-bit) of `bytes` with its standard seeds: four lanes take the little-endian
// 8-byte words of the input in turn (a final partial word zero-extended), each through the
// multiply-xorshift diffusion, and the lanes' xor with the byte length is diffused once more.
// seahash("to be or not to be") = 1988685042348123509.
uint64_t seahash(std::string_view bytes);

// The ChaCha block function: 16 output words for a 256-bit key, a 64-bit block counter and a
// 64-bit stream number (state words 12-13 and 14-15), after `rounds` rounds (8, 12 or 20).
std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 8>& key, uint64_t counter,
                                      uint64_t stream, int rounds);

// A ChaCha stream generator with 8 rounds, stream 0, counter starting at 0. Outputs are the
// block words in order; a 64-bit output is two consecutive words, the first as the low half.
class ChaCha8Rng {
 public:
  using Seed = std::array<uint8_t, 32>;

  // The 32 seed bytes are the key, as eight little-endian words.
  static ChaCha8Rng from_seed(const Seed& seed);

  // The usual expansion of a 64-bit seed into a key: a PCG32 sequence (multiplier
  // 6364136223846793005, increment 11634580027462260723, state advanced before each output,
  // XSH-RR output) gives eight 32-bit words, written little-endian into the 32 seed bytes.
  static ChaCha8Rng seed_from_u64(uint64_t state);

  // A key of 32 bytes from the operating system's entropy source.
  static ChaCha8Rng from_os_entropy();

  uint32_t next_u32() {
    if (index_ == block_.size()) refill();
    return block_[index_++];
  }

  uint64_t next_u64() {
    const uint64_t low = next_u32();
    const uint64_t high = next_u32();
    return (high << 32) | low;
  }

  // Uniform in the open interval (0, 1).
  double next_open_unit() { return open_unit(next_u64()); }

  // The midpoint of one of 2^52 equal steps of (0, 1), chosen by the top 52 bits of `bits`.
  // With 52 bits, "+ 0.5" is exact, so the largest value is 1 - 2^-53 and never rounds up
  // to 1.0 (with 53 bits it would), and n * u stays below n for every n up to 2^53.
  static double open_unit(uint64_t bits) {
    return (static_cast<double>(bits >> 12) + 0.5) * 0x1p-52;
  }

 private:
  explicit ChaCha8Rng(const Seed& seed);
  void refill();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;
  std::array<uint32_t, 16> block_{};
  size_t index_ = 16;  // block_ is used up
};

// This thread's generator, seeded from the operating system on first use; results differ
// from run to run.
ChaCha8Rng& thread_rng();

// Draws min(amount, length) distinct indices from [0, length), every such set equally
// likely, and calls `visit` with each in ascending order. When amount >= length every index
// is visited. Vitter's sequential method D (falling back to his method A when the sample is
// more than a thirteenth of the range): time O(amount) and constant memory, whatever
// `length` is (exact for lengths up to 2^53).
void sample_indices(ChaCha8Rng& rng, uint64_t length, uint64_t amount,
                    const std::function<void(uint64_t)>& visit);

// The same, collected into a vector.
std::vector<uint64_t> sample_indices(ChaCha8Rng& rng, uint64_t length, uint64_t amount);

// The pair (i, j), i < j < n, that index k names when the pairs of n items are counted in
// the order (0,1), (0,2), ..., (0,n-1), (1,2), ...; k must be below n(n-1)/2.
std::pair<uint64_t, uint64_t> pair_at_index(uint64_t k, uint64_t n);

}  // namespace osmira_core::engine::random
