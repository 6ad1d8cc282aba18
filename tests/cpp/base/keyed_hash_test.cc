#include "base/keyed_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace osmira_base {
namespace {

std::string from_hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

// The bytes 0, 1, ..., n - 1: the messages of the published vectors.
std::string counting(size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += static_cast<char>(i);
  return out;
}

TEST(SipHash, PublishedVectorsOfSipHash24) {
  // Key 00 01 .. 0f, message 00 01 .. (n - 1): the first vectors of the reference
  // implementation, and the worked example of the paper (15 bytes).
  const SipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  const struct {
    size_t length;
    uint64_t expected;
  } rows[] = {
      {0, 0x726fdb47dd0e0e31ULL},
      {1, 0x74f839c593dc67fdULL},
      {2, 0x0d6c8009d9a94f5aULL},
      {3, 0x85676696d7fb7e2dULL},
      {15, 0xa129ca6149be45e5ULL},
  };
  for (const auto& row : rows) {
    const std::string message = counting(row.length);
    EXPECT_EQ((siphash<2, 4>(key, message.data(), message.size())), row.expected) << row.length;
  }
}

TEST(SipHash, SipHash13AsCPythonHashesBytes) {
  // CPython's hash of a bytes object is SipHash-1-3 under its secret key: the zero key under
  // PYTHONHASHSEED=0, and for other seeds the key its seeded generator fills in.
  const struct {
    SipKey key;
    const char* message_hex;
    uint64_t expected;
  } rows[] = {
      {{0, 0}, "00", 0x68a914128e01e473ULL},
      {{0, 0}, "00010203040506", 0x2f098ab0c751325aULL},
      {{0, 0}, "0001020304050607", 0xead411e67ebe2eeaULL},
      {{0, 0}, "000102030405060708", 0x75927f9d95124362ULL},
      {{0, 0}, "000102030405060708090a0b0c0d0e", 0xf30eb725bb91c9eaULL},
      {{0, 0}, "000102030405060708090a0b0c0d0e0f", 0x8972188433a5c5b7ULL},
      {{0, 0}, "000102030405060708090a0b0c0d0e0f10", 0x4883c49a2c009c1dULL},
      {{0, 0}, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e", 0x385d3e39e5f37359ULL},
      {{0, 0}, "68656c6c6f20776f726c64", 0xb1b1f2e707e4ac8aULL},
      {{0, 0}, "303132333435363738396162", 0x58ad1e5ac2bf1033ULL},
      {{0, 0}, "ffffffffffffffffffffffffffffffffffffffffffffffff", 0x1b8698f54a7f563bULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "00", 0xecd3e5afcecda4b9ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "00010203040506", 0xfd15e78052a69ddfULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "0001020304050607", 0xc0b5739e7e28dd01ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "000102030405060708", 0x208a1a5a0cbbf778ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "000102030405060708090a0b0c0d0e", 0xfa87985f39e97a53ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "000102030405060708090a0b0c0d0e0f", 0x12e9d283f9f37002ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "000102030405060708090a0b0c0d0e0f10", 0x9f5bb4237f61907fULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e", 0x542052345bc68274ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "68656c6c6f20776f726c64", 0x413072ae11390c7aULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "303132333435363738396162", 0x6b04423d73d73ad4ULL},
      {{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL}, "ffffffffffffffffffffffffffffffffffffffffffffffff", 0xdc21fd548bb15872ULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "00", 0xddb5fc492fbdf63aULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "00010203040506", 0x831edfe12fee6ffdULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "0001020304050607", 0x354edb093928c942ULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "000102030405060708", 0x09a5e47bf18abeccULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "000102030405060708090a0b0c0d0e", 0xbe8dc664d017b99eULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "000102030405060708090a0b0c0d0e0f", 0x2e932605ea370595ULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "000102030405060708090a0b0c0d0e0f10", 0x76887087110a4b41ULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e", 0x171afa1ac779cd10ULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "68656c6c6f20776f726c64", 0x2c308cd4ea6fa053ULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "303132333435363738396162", 0x796d1211dd21615cULL},
      {{0x25556dc46dc3dca0ULL, 0xfc3ee4dbd06f6c90ULL}, "ffffffffffffffffffffffffffffffffffffffffffffffff", 0x49c685c3248cce77ULL},
  };
  for (const auto& row : rows) {
    const std::string message = from_hex(row.message_hex);
    EXPECT_EQ(siphash13(row.key, message), row.expected) << row.message_hex;
  }
}

TEST(SipHash, FixedWidthFormsAgreeWithTheBytes) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    const SipKey key{rng(), rng()};
    Uuid a, b;
    for (auto& byte : a.bytes) byte = static_cast<uint8_t>(rng());
    for (auto& byte : b.bytes) byte = static_cast<uint8_t>(rng());
    const std::string a_bytes(a.bytes.begin(), a.bytes.end());
    const std::string both = a_bytes + std::string(b.bytes.begin(), b.bytes.end());
    EXPECT_EQ(siphash13(key, a), siphash13(key, a_bytes));
    EXPECT_EQ(siphash13(key, a, b), siphash13(key, both));
    const auto value = static_cast<uint32_t>(rng());
    const char le[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                        static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    EXPECT_EQ(siphash13(key, value), siphash13(key, std::string_view(le, 4)));
  }
}

TEST(SipHash, ProcessKeyIsDrawnOnceAndUsedByEveryHasher) {
  const SipKey& key = process_hash_key();
  EXPECT_EQ(&key, &process_hash_key());
  EXPECT_FALSE(key.k0 == 0 && key.k1 == 0);
  const Uuid id = *Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");
  EXPECT_EQ(KeyedUuidHash{}(id), siphash13(key, id));
  EXPECT_EQ(hash_value(id), siphash13(key, id));
  EXPECT_EQ(KeyedStringHash{}(std::string("abc")), siphash13(key, "abc"));
}

}  // namespace
}  // namespace osmira_base
