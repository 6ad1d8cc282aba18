#include "core/engine/random.h"

#include <cmath>
#include <cstring>
#include <random>

#include "base/keyed_hash.h"

namespace osmira_core::engine::random {
namespace {

// ---- SeaHash --------------------------------------------------------------------------------

constexpr uint64_t kSeaSeeds[4] = {0x16f11fe89b0d677cull, 0xb480a793d8e6c86cull,
                                   0x6fe2e5aaf078ebc9ull, 0x14f994a4c5259381ull};

inline uint64_t diffuse(uint64_t x) {
  constexpr uint64_t kPrime = 0x6eed0e9da4d94a4full;
  x *= kPrime;
  const uint64_t a = x >> 32;
  const uint64_t b = x >> 60;
  x ^= a >> b;
  x *= kPrime;
  return x;
}

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int k = 7; k >= 0; --k) v = (v << 8) | p[k];
  return v;
}

// ---- ChaCha ---------------------------------------------------------------------------------

inline uint32_t rotl(uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

// PCG32 (XSH-RR) step: advances the state first, then outputs.
uint32_t pcg32_next(uint64_t& state) {
  constexpr uint64_t kMul = 6364136223846793005ull;
  constexpr uint64_t kInc = 11634580027462260723ull;
  state = state * kMul + kInc;
  const uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
  const int rot = static_cast<int>(state >> 59);
  return (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
}

// Fills `out` from the operating system (see read_os_random); std::random_device is the
// fall-back where the kernel's source cannot be read.
void os_entropy(uint8_t* out, size_t size) {
  if (osmira_base::read_os_random(out, size)) return;
  std::random_device device;
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(device());
}

// ---- Sampling -------------------------------------------------------------------------------

// The gap before the last selected item when `remaining` items are left: floor(remaining *
// v) for v in (0, 1]. Method D's v is a power of a uniform draw, which can round to exactly
// 1.0; the gap is kept below `remaining` so the index never leaves the range.
uint64_t last_gap(double remaining, double v) {
  const double gap = std::trunc(remaining * v);
  return static_cast<uint64_t>(gap < remaining ? gap : remaining - 1.0);
}

// Vitter's method A: selects n of the N items from `pos` on, visiting them in order.
// Expected time O(N); used when n is large against N.
void method_a(ChaCha8Rng& rng, uint64_t pos, uint64_t n, uint64_t N,
              const std::function<void(uint64_t)>& visit) {
  double top = static_cast<double>(N - n);
  double n_real = static_cast<double>(N);
  while (n >= 2) {
    const double v = rng.next_open_unit();
    uint64_t s = 0;
    double quot = top / n_real;
    while (quot > v) {
      ++s;
      top -= 1.0;
      n_real -= 1.0;
      quot = quot * top / n_real;
    }
    visit(pos + s);
    pos += s + 1;
    n_real -= 1.0;
    --n;
  }
  visit(pos + last_gap(n_real, rng.next_open_unit()));
}

// Vitter's method D ("An efficient algorithm for sequential random sampling", 1987): the
// gap before each next selected item is drawn by rejection from a continuous envelope, so
// each selection costs O(1) expected time. Falls back to method A once the remaining sample
// exceeds a thirteenth of the remaining items.
void method_d(ChaCha8Rng& rng, uint64_t n, uint64_t N,
              const std::function<void(uint64_t)>& visit) {
  constexpr double kNegAlphaInv = -13.0;
  uint64_t pos = 0;
  double n_inv = 1.0 / static_cast<double>(n);
  double v_prime = std::exp(std::log(rng.next_open_unit()) * n_inv);
  double qu1 = static_cast<double>(N - n + 1);
  double threshold = -kNegAlphaInv * static_cast<double>(n);
  while (n > 1 && threshold < static_cast<double>(N)) {
    const double nn = static_cast<double>(N);
    const double nmin1_inv = 1.0 / (static_cast<double>(n) - 1.0);
    double s;
    while (true) {
      double x;
      while (true) {  // D2: a gap candidate from the envelope
        x = nn * (1.0 - v_prime);
        s = std::trunc(x);
        if (s < qu1) break;
        v_prime = std::exp(std::log(rng.next_open_unit()) * n_inv);
      }
      const double u = rng.next_open_unit();
      // D3: quick acceptance
      const double y1 = std::exp(std::log(u * nn / qu1) * nmin1_inv);
      v_prime = y1 * (1.0 - x / nn) * (qu1 / (qu1 - s));
      if (v_prime <= 1.0) break;
      // D4: exact acceptance test
      double y2 = 1.0;
      double top = nn - 1.0;
      double bottom;
      double limit;
      if (static_cast<double>(n) - 1.0 > s) {
        bottom = nn - static_cast<double>(n);
        limit = nn - s;
      } else {
        bottom = nn - s - 1.0;
        limit = qu1;
      }
      for (double t = nn - 1.0; t >= limit; t -= 1.0) {
        y2 = y2 * top / bottom;
        top -= 1.0;
        bottom -= 1.0;
      }
      if (nn / (nn - x) >= y1 * std::exp(std::log(y2) * nmin1_inv)) {
        v_prime = std::exp(std::log(rng.next_open_unit()) * nmin1_inv);
        break;
      }
      v_prime = std::exp(std::log(rng.next_open_unit()) * n_inv);
    }
    const uint64_t gap = static_cast<uint64_t>(s);
    visit(pos + gap);
    pos += gap + 1;
    N -= gap + 1;
    --n;
    n_inv = nmin1_inv;
    qu1 -= s;
    threshold += kNegAlphaInv;
  }
  if (n > 1) {
    method_a(rng, pos, n, N, visit);
  } else {
    visit(pos + last_gap(static_cast<double>(N), v_prime));
  }
}

}  // namespace

uint64_t seahash(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  uint64_t a = kSeaSeeds[0], b = kSeaSeeds[1], c = kSeaSeeds[2], d = kSeaSeeds[3];
  size_t k = 0;
  for (; k + 32 <= size; k += 32) {
    a = diffuse(a ^ load_le64(p + k));
    b = diffuse(b ^ load_le64(p + k + 8));
    c = diffuse(c ^ load_le64(p + k + 16));
    d = diffuse(d ^ load_le64(p + k + 24));
  }
  uint64_t* lanes[4] = {&a, &b, &c, &d};
  for (size_t lane = 0; k < size; k += 8, ++lane) {
    uint64_t word = 0;
    const size_t n = size - k < 8 ? size - k : 8;
    for (size_t m = n; m > 0; --m) word = (word << 8) | p[k + m - 1];
    *lanes[lane] = diffuse(*lanes[lane] ^ word);
  }
  return diffuse(a ^ b ^ c ^ d ^ static_cast<uint64_t>(size));
}

std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 8>& key, uint64_t counter,
                                      uint64_t stream, int rounds) {
  std::array<uint32_t, 16> input = {0x61707865,
                                    0x3320646e,
                                    0x79622d32,
                                    0x6b206574,
                                    key[0],
                                    key[1],
                                    key[2],
                                    key[3],
                                    key[4],
                                    key[5],
                                    key[6],
                                    key[7],
                                    static_cast<uint32_t>(counter),
                                    static_cast<uint32_t>(counter >> 32),
                                    static_cast<uint32_t>(stream),
                                    static_cast<uint32_t>(stream >> 32)};
  std::array<uint32_t, 16> x = input;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

ChaCha8Rng::ChaCha8Rng(const Seed& seed) {
  for (size_t i = 0; i < 8; ++i) {
    key_[i] = uint32_t{seed[4 * i]} | uint32_t{seed[4 * i + 1]} << 8 |
              uint32_t{seed[4 * i + 2]} << 16 | uint32_t{seed[4 * i + 3]} << 24;
  }
}

ChaCha8Rng ChaCha8Rng::from_seed(const Seed& seed) { return ChaCha8Rng(seed); }

ChaCha8Rng ChaCha8Rng::seed_from_u64(uint64_t state) {
  Seed seed{};
  for (size_t i = 0; i < 8; ++i) {
    const uint32_t word = pcg32_next(state);
    for (size_t b = 0; b < 4; ++b) seed[4 * i + b] = static_cast<uint8_t>(word >> (8 * b));
  }
  return ChaCha8Rng(seed);
}

ChaCha8Rng ChaCha8Rng::from_os_entropy() {
  Seed seed{};
  os_entropy(seed.data(), seed.size());
  return ChaCha8Rng(seed);
}

void ChaCha8Rng::refill() {
  block_ = chacha_block(key_, counter_, 0, 8);
  ++counter_;
  index_ = 0;
}

ChaCha8Rng& thread_rng() {
  thread_local ChaCha8Rng rng = ChaCha8Rng::from_os_entropy();
  return rng;
}

void sample_indices(ChaCha8Rng& rng, uint64_t length, uint64_t amount,
                    const std::function<void(uint64_t)>& visit) {
  if (amount >= length) {
    for (uint64_t k = 0; k < length; ++k) visit(k);
    return;
  }
  if (amount == 0) return;
  method_d(rng, amount, length, visit);
}

std::vector<uint64_t> sample_indices(ChaCha8Rng& rng, uint64_t length, uint64_t amount) {
  std::vector<uint64_t> out;
  out.reserve(static_cast<size_t>(amount < length ? amount : length));
  sample_indices(rng, length, amount, [&](uint64_t k) { out.push_back(k); });
  return out;
}

std::pair<uint64_t, uint64_t> pair_at_index(uint64_t k, uint64_t n) {
  // Pairs whose first item is below i: i*n - i*(i+1)/2. Find the largest i with that count
  // at most k, from the real root of the quadratic, corrected for rounding.
  const auto before = [n](uint64_t i) {
    const unsigned __int128 ii = i;
    return ii * n - ii * (ii + 1) / 2;
  };
  const double m = static_cast<double>(n) - 0.5;
  const double disc = m * m - 2.0 * static_cast<double>(k);
  double guess = m - std::sqrt(disc > 0.0 ? disc : 0.0);
  uint64_t i = guess <= 0.0 ? 0 : static_cast<uint64_t>(guess);
  if (n > 0 && i > n - 1) i = n - 1;
  while (i > 0 && before(i) > k) --i;
  while (i + 1 < n && before(i + 1) <= k) ++i;
  const uint64_t j = i + 1 + static_cast<uint64_t>(k - before(i));
  return {i, j};
}

}  // namespace osmira_core::engine::random
