#include "core/engine/random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace osmira_core::engine::random {
namespace {

// ---- SeaHash --------------------------------------------------------------------------------

// Word-by-word form of the published definition: word k goes to lane k mod 4.
uint64_t reference_seahash(const std::string& s) {
  const auto diffuse = [](uint64_t x) {
    x *= 0x6eed0e9da4d94a4full;
    x ^= (x >> 32) >> (x >> 60);
    return x * 0x6eed0e9da4d94a4full;
  };
  uint64_t lanes[4] = {0x16f11fe89b0d677cull, 0xb480a793d8e6c86cull, 0x6fe2e5aaf078ebc9ull,
                       0x14f994a4c5259381ull};
  for (size_t k = 0; k < s.size(); k += 8) {
    uint64_t word = 0;
    for (size_t b = 0; b < 8 && k + b < s.size(); ++b) {
      word |= uint64_t{static_cast<unsigned char>(s[k + b])} << (8 * b);
    }
    uint64_t& lane = lanes[(k / 8) % 4];
    lane = diffuse(lane ^ word);
  }
  return diffuse(lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3] ^ s.size());
}

TEST(SeaHash, KnownVectors) {
  std::string bytes_0_to_63;
  for (int k = 0; k < 64; ++k) bytes_0_to_63.push_back(static_cast<char>(k));
  struct Row {
    std::string input;
    uint64_t hash;
  };
  const Row rows[] = {
      {"to be or not to be", 1988685042348123509ull},  // the published example
      {"", 14492805990617963705ull},
      {"a", 3009532316786026829ull},
      {"abc", 9257550784264072582ull},
      {"12345678", 8739073611186757572ull},
      {"123456789", 13331223911193280505ull},
      {"The quick brown fox jumps over the lazy dog", 13099064828389430892ull},
      {bytes_0_to_63, 13143747251591502704ull},
  };
  for (const Row& r : rows) EXPECT_EQ(seahash(r.input), r.hash) << r.input;
}

TEST(SeaHash, EveryLengthMatchesWordByWordForm) {
  std::string s;
  for (int len = 0; len < 200; ++len) {
    ASSERT_EQ(seahash(s), reference_seahash(s)) << len;
    s.push_back(static_cast<char>((len * 37 + 11) & 0xff));
  }
}

// ---- ChaCha ---------------------------------------------------------------------------------

std::string block_hex(const std::array<uint32_t, 16>& words) {
  std::string hex;
  char buf[3];
  for (uint32_t w : words) {
    for (int b = 0; b < 4; ++b) {
      std::snprintf(buf, sizeof buf, "%02x", (w >> (8 * b)) & 0xff);
      hex += buf;
    }
  }
  return hex;
}

TEST(ChaCha, BlockFunctionTestVectors) {
  const std::array<uint32_t, 8> zero_key{};
  // All-zero key, counter and nonce: the standard 20-round keystream.
  EXPECT_EQ(block_hex(chacha_block(zero_key, 0, 0, 20)),
            "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
            "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586");
  // The same with 8 rounds.
  EXPECT_EQ(block_hex(chacha_block(zero_key, 0, 0, 8)),
            "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
            "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42");
}

TEST(ChaCha8Rng, SeedFromU64) {
  // Computed by an independent reimplementation of the PCG32 expansion and the generator.
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(42);
  const uint64_t expected[] = {12578764544318200737ull, 17529487244874322312ull,
                               7886285670807131020ull,  11572758976476374866ull,
                               5323617429756461744ull,  2766252901828231838ull};
  for (uint64_t e : expected) EXPECT_EQ(rng.next_u64(), e);

  ChaCha8Rng zero = ChaCha8Rng::seed_from_u64(0);
  EXPECT_EQ(zero.next_u64(), 13080132717333068652ull);
}

TEST(ChaCha8Rng, SeedBytesAreTheKey) {
  // The PCG32 words for seed 42, written little-endian.
  const ChaCha8Rng::Seed seed = {0xa4, 0x8f, 0xa1, 0x7b, 0x58, 0x32, 0x3d, 0x0a, 0xea, 0xb8, 0xa1,
                                 0xcc, 0x69, 0x01, 0x14, 0xb8, 0x2b, 0x8c, 0xc8, 0x75, 0x18, 0xb4,
                                 0xf7, 0x54, 0x8d, 0x44, 0x6e, 0xa1, 0xe4, 0xdf, 0x20, 0xf2};
  ChaCha8Rng a = ChaCha8Rng::from_seed(seed);
  ChaCha8Rng b = ChaCha8Rng::seed_from_u64(42);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(a.next_u64(), b.next_u64());
}

TEST(ChaCha8Rng, OutputsFollowTheBlocksInOrder) {
  // 64-bit outputs are consecutive words, low half first, running across block boundaries.
  ChaCha8Rng words = ChaCha8Rng::seed_from_u64(7);
  ChaCha8Rng pairs = ChaCha8Rng::seed_from_u64(7);
  for (int k = 0; k < 40; ++k) {
    const uint64_t low = words.next_u32();
    const uint64_t high = words.next_u32();
    ASSERT_EQ(pairs.next_u64(), (high << 32) | low) << k;
  }
  // Word 16 is the first word of block 1.
  const ChaCha8Rng::Seed zero_seed{};
  ChaCha8Rng rng = ChaCha8Rng::from_seed(zero_seed);
  for (int k = 0; k < 16; ++k) rng.next_u32();
  EXPECT_EQ(rng.next_u32(), chacha_block({}, 1, 0, 8)[0]);
}

TEST(ChaCha8Rng, UnitIntervalIsOpen) {
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
  for (int k = 0; k < 10000; ++k) {
    const double u = rng.next_open_unit();
    ASSERT_GT(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

TEST(ChaCha8Rng, OpenUnitNeverReachesTheBounds) {
  // The extreme bit patterns of a 64-bit output still map strictly inside (0, 1), so a
  // scaled draw floor(n * u) always stays below n.
  for (uint64_t bits : {uint64_t{0}, uint64_t{1} << 11, ~uint64_t{0}, ~uint64_t{0} << 11,
                        ~uint64_t{0} >> 1, uint64_t{1} << 63}) {
    const double u = ChaCha8Rng::open_unit(bits);
    EXPECT_GT(u, 0.0) << bits;
    EXPECT_LT(u, 1.0) << bits;
    for (uint64_t n : {uint64_t{1}, uint64_t{2}, uint64_t{1000003}, uint64_t{1} << 52,
                       (uint64_t{1} << 53) - 1}) {
      EXPECT_LT(static_cast<uint64_t>(static_cast<double>(n) * u), n) << bits << " " << n;
    }
  }
}

TEST(ThreadRng, SeededFromTheSystemPerThread) {
  uint64_t first = thread_rng().next_u64();
  uint64_t other = 0;
  std::thread t([&] { other = thread_rng().next_u64(); });
  t.join();
  EXPECT_NE(first, other);  // equal only with probability 2^-64
  EXPECT_NE(ChaCha8Rng::from_os_entropy().next_u64(), ChaCha8Rng::from_os_entropy().next_u64());
}

// ---- Sampling -------------------------------------------------------------------------------

void expect_valid_sample(const std::vector<uint64_t>& s, uint64_t length, uint64_t amount) {
  ASSERT_EQ(s.size(), std::min(length, amount));
  for (size_t k = 0; k < s.size(); ++k) {
    ASSERT_LT(s[k], length);
    if (k > 0) {
      ASSERT_LT(s[k - 1], s[k]);  // ascending, hence distinct
    }
  }
}

TEST(SampleIndices, SizesAndBounds) {
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(3);
  struct Row {
    uint64_t length;
    uint64_t amount;
  };
  const Row rows[] = {{0, 0},     {0, 5},        {5, 0},          {5, 5},       {5, 9},
                      {10, 1},    {10, 9},       {1000, 10},      {1000, 500},  {1000, 999},
                      {100000, 7}, {1ull << 40, 1000}, {1ull << 52, 3}, {13, 1}, {14, 1}};
  for (const Row& r : rows) {
    expect_valid_sample(sample_indices(rng, r.length, r.amount), r.length, r.amount);
  }
  // Taking everything visits every index in order.
  const std::vector<uint64_t> all = sample_indices(rng, 6, 6);
  EXPECT_EQ(all, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
}

// Every subset must come up equally often. Chi-square statistic against the uniform
// expectation; with a fixed seed the outcome is fixed, and the bound sits about six standard
// deviations above the statistic's mean (its degrees of freedom).
double chi_square(const std::map<std::vector<uint64_t>, int>& counts, size_t subsets, int draws) {
  const double expected = static_cast<double>(draws) / static_cast<double>(subsets);
  double chi = 0.0;
  size_t seen = 0;
  for (const auto& [subset, count] : counts) {
    chi += (count - expected) * (count - expected) / expected;
    ++seen;
  }
  chi += static_cast<double>(subsets - seen) * expected;  // subsets never drawn
  return chi;
}

TEST(SampleIndices, UniformOverSubsets) {
  struct Row {
    uint64_t length;
    uint64_t amount;
    size_t subsets;  // length choose amount
  };
  // (10, 3) takes method A only; (40, 2) and (60, 3) start in method D; (30, 1) is the
  // single-draw end of method D.
  const Row rows[] = {{10, 3, 120}, {40, 2, 780}, {60, 3, 34220}, {30, 1, 30}};
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(11);
  for (const Row& r : rows) {
    const int draws = static_cast<int>(r.subsets) * 40;
    std::map<std::vector<uint64_t>, int> counts;
    for (int d = 0; d < draws; ++d) ++counts[sample_indices(rng, r.length, r.amount)];
    const double dof = static_cast<double>(r.subsets - 1);
    EXPECT_LT(chi_square(counts, r.subsets, draws), dof + 6.0 * std::sqrt(2.0 * dof))
        << r.length << " choose " << r.amount;
    EXPECT_EQ(counts.size(), r.subsets) << r.length << " choose " << r.amount;
  }
}

TEST(SampleIndices, UniformPositionsInLargeRange) {
  // Sample 5 of 1000 (method D throughout): each tenth of the range holds a tenth of the
  // selected indices.
  ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
  std::vector<int> deciles(10, 0);
  const int draws = 40000;
  for (int d = 0; d < draws; ++d) {
    for (uint64_t k : sample_indices(rng, 1000, 5)) ++deciles[k / 100];
  }
  const double expected = draws * 5 / 10.0;
  double chi = 0.0;
  for (int c : deciles) chi += (c - expected) * (c - expected) / expected;
  EXPECT_LT(chi, 9.0 + 6.0 * std::sqrt(18.0));
}

TEST(PairAtIndex, MatchesCountingOrder) {
  for (uint64_t n = 2; n <= 40; ++n) {
    uint64_t k = 0;
    for (uint64_t i = 0; i < n; ++i) {
      for (uint64_t j = i + 1; j < n; ++j, ++k) {
        ASSERT_EQ(pair_at_index(k, n), std::make_pair(i, j)) << n << " " << k;
      }
    }
  }
  const uint64_t n = 3000000;
  const uint64_t total = n * (n - 1) / 2;
  EXPECT_EQ(pair_at_index(0, n), std::make_pair(uint64_t{0}, uint64_t{1}));
  EXPECT_EQ(pair_at_index(n - 2, n), std::make_pair(uint64_t{0}, n - 1));
  EXPECT_EQ(pair_at_index(n - 1, n), std::make_pair(uint64_t{1}, uint64_t{2}));
  EXPECT_EQ(pair_at_index(total - 1, n), std::make_pair(n - 2, n - 1));
  EXPECT_EQ(pair_at_index(total - 2, n), std::make_pair(n - 3, n - 1));
}

}  // namespace
}  // namespace osmira_core::engine::random
