// Keyed hashing for tables whose keys callers choose (record identifiers, field values, names
// in records or specs).
//
// A fixed, public hash function lets anyone who picks the keys put all of them on one probe
// chain, which turns every look-up into a walk over the whole table. These tables hash with
// SipHash-1-3 (one compression round per 8-byte word, three finalisation rounds: the variant
// CPython and Rust hash strings with) under a 128-bit key drawn once per process from the
// operating system's random source. SipHash is a pseudo-random function: without the key,
// which never leaves the process, nobody can choose inputs whose hashes share bits more often
// than chance would have them. Nothing any function returns depends on the key: every result
// is sorted, or kept in the order of the input, before it leaves the engine.
//
// A forked child keeps its parent's key; so do all threads and every call of the process.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/uuid.h"

namespace osmira_base {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// Fills `out` with `size` bytes from the kernel's random source: getrandom, else /dev/urandom
// where that call is missing. False when neither gives the bytes.
bool read_os_random(unsigned char* out, size_t size);

// The process's key: drawn on first use (thread-safe), then fixed for the life of the process.
const SipKey& process_hash_key();

namespace siphash_detail {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
  uint64_t v0, v1, v2, v3;

  explicit State(const SipKey& key)
      : v0(key.k0 ^ 0x736f6d6570736575ULL),
        v1(key.k1 ^ 0x646f72616e646f6dULL),
        v2(key.k0 ^ 0x6c7967656e657261ULL),
        v3(key.k1 ^ 0x7465646279746573ULL) {}

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  template <int kCompression>
  void absorb(uint64_t m) {
    v3 ^= m;
    for (int r = 0; r < kCompression; ++r) round();
    v0 ^= m;
  }
  template <int kFinalization>
  uint64_t finish() {
    v2 ^= 0xff;
    for (int r = 0; r < kFinalization; ++r) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t m;
  std::memcpy(&m, p, 8);
  if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
  return m;
}

}  // namespace siphash_detail

// SipHash-c-d of `size` bytes at `data` (64-bit output), as published: message words read
// little-endian, the last word padded with zeros and carrying the length in its top byte.
template <int kCompression, int kFinalization>
uint64_t siphash(const SipKey& key, const void* data, size_t size) {
  siphash_detail::State s(key);
  const auto* p = static_cast<const unsigned char*>(data);
  const size_t whole = size & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.absorb<kCompression>(siphash_detail::load_le64(p + i));
  uint64_t last = static_cast<uint64_t>(size) << 56;
  for (size_t i = whole; i < size; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
  s.absorb<kCompression>(last);
  return s.finish<kFinalization>();
}

inline uint64_t siphash13(const SipKey& key, std::string_view text) {
  return siphash<1, 3>(key, text.data(), text.size());
}

// SipHash-1-3 of the 4 bytes of `value`, little-endian.
inline uint64_t siphash13(const SipKey& key, uint32_t value) {
  siphash_detail::State s(key);
  s.absorb<1>(uint64_t{value} | uint64_t{4} << 56);
  return s.finish<3>();
}

// SipHash-1-3 of the identifier's 16 bytes, the same value as siphash13 of those bytes.
inline uint64_t siphash13(const SipKey& key, const Uuid& id) {
  siphash_detail::State s(key);
  s.absorb<1>(siphash_detail::load_le64(id.bytes.data()));
  s.absorb<1>(siphash_detail::load_le64(id.bytes.data() + 8));
  s.absorb<1>(uint64_t{16} << 56);
  return s.finish<3>();
}

// SipHash-1-3 of the 32 bytes of two identifiers, first then second.
inline uint64_t siphash13(const SipKey& key, const Uuid& first, const Uuid& second) {
  siphash_detail::State s(key);
  s.absorb<1>(siphash_detail::load_le64(first.bytes.data()));
  s.absorb<1>(siphash_detail::load_le64(first.bytes.data() + 8));
  s.absorb<1>(siphash_detail::load_le64(second.bytes.data()));
  s.absorb<1>(siphash_detail::load_le64(second.bytes.data() + 8));
  s.absorb<1>(uint64_t{32} << 56);
  return s.finish<3>();
}

// Hashers for boost's and the standard library's hash containers. Each holds a copy of the
// process key (taken when the container is made) rather than reading it on every call, and
// tells boost's tables that its bits are well mixed already (`is_avalanching`), so they add
// no mixing step of their own. Strings are hashed transparently: a table of std::string can
// be searched with a string_view.
struct KeyedStringHash {
  using is_transparent = void;
  using is_avalanching = void;
  SipKey key = process_hash_key();
  size_t operator()(std::string_view text) const noexcept {
    return static_cast<size_t>(siphash13(key, text));
  }
};

// For code points (or any 32-bit keys).
struct KeyedU32Hash {
  using is_avalanching = void;
  SipKey key = process_hash_key();
  size_t operator()(uint32_t value) const noexcept {
    return static_cast<size_t>(siphash13(key, value));
  }
};

struct KeyedUuidHash {
  using is_avalanching = void;
  SipKey key = process_hash_key();
  size_t operator()(const Uuid& id) const noexcept {
    return static_cast<size_t>(siphash13(key, id));
  }
};

struct KeyedUuidPairHash {
  using is_avalanching = void;
  SipKey key = process_hash_key();
  size_t operator()(const std::pair<Uuid, Uuid>& ids) const noexcept {
    return static_cast<size_t>(siphash13(key, ids.first, ids.second));
  }
};

}  // namespace osmira_base
