#include "base/uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace osmira_base {
namespace {

constexpr const char* kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(Uuid, AcceptedForms) {
  const char* forms[] = {
      "67e55044-10b1-426f-9247-bb680e5fe0c8",
      "67E55044-10B1-426F-9247-BB680E5FE0C8",
      "67e5504410b1426f9247bb680e5fe0c8",
      "67E5504410b1426F9247bb680e5fe0C8",
      "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
      "urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8",
  };
  for (const char* f : forms) {
    Result<Uuid> id = Uuid::parse(f);
    ASSERT_TRUE(id.ok()) << f << ": " << id.error().message();
    EXPECT_EQ(id->to_string(), kCanonical) << f;
  }
}

TEST(Uuid, RejectedForms) {
  struct Row { const char* in; const char* reason_starts; };
  const Row rows[] = {
      {"", "invalid length"},
      {"not-a-uuid", "invalid length"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c", "invalid length"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c8a", "invalid length"},
      {"67e5504410b1426f9247bb680e5fe0c", "invalid length"},
      {"67e55044-10b1-426f-9247bb680e5fe0c8-", "invalid group structure: expected `-`, found `b` at 24"},
      {"67e55044_10b1-426f-9247-bb680e5fe0c8", "invalid group structure: expected `-`, found `_` at 9"},
      {"g7e5504410b1426f9247bb680e5fe0c8", "invalid character: expected a hexadecimal digit, found `g` at 1"},
      {"67e5504410b1426f9247bb680e5fe0-8", "invalid character: expected a hexadecimal digit, found `-` at 31"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "invalid length"},
      {"(67e55044-10b1-426f-9247-bb680e5fe0c8)", "invalid length"},
      {"{67e5504410b1426f9247bb680e5fe0c8}", "invalid length"},
      {"URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8", "invalid length"},
      {"urn:uuid:67e5504410b1426f9247bb680e5fe0c8", "invalid length"},
      {"{urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8}", "invalid length"},
      {" 67e55044-10b1-426f-9247-bb680e5fe0c8", "invalid length"},
      {"67e55044-10b1-426f-9247-bb680e5fe0\xc3\xa9", "invalid character: expected a hexadecimal digit, found `\xc3\xa9` at 35"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0cx}", "invalid character: expected a hexadecimal digit, found `x` at 37"},
      {"+7e55044-10b1-426f-9247-bb680e5fe0c8", "invalid character"},
  };
  for (const Row& r : rows) {
    Result<Uuid> id = Uuid::parse(r.in);
    ASSERT_FALSE(id.ok()) << r.in;
    EXPECT_TRUE(id.error().message().starts_with(r.reason_starts))
        << r.in << " -> " << id.error().message();
  }
  EXPECT_EQ(Uuid::parse("abc").error().message(),
            "invalid length: expected 32 hexadecimal digits, or 36 characters in the hyphenated "
            "8-4-4-4-12 form (optionally in braces or behind urn:uuid:), found 3 characters");
}

TEST(Uuid, OrderIsBigEndianBytes) {
  const char* sorted[] = {
      "00000000-0000-0000-0000-000000000000", "00000000-0000-0000-0000-0000000000ff",
      "00000000-0000-0000-0000-000000000100", "00000000-0000-0001-0000-000000000000",
      "01000000-0000-0000-0000-000000000000", "7fffffff-ffff-ffff-ffff-ffffffffffff",
      "80000000-0000-0000-0000-000000000000", "ffffffff-ffff-ffff-ffff-ffffffffffff",
  };
  std::vector<Uuid> ids;
  for (const char* s : sorted) ids.push_back(*Uuid::parse(s));
  for (size_t i = 0; i + 1 < ids.size(); ++i) {
    EXPECT_LT(ids[i], ids[i + 1]) << sorted[i];
    EXPECT_LT(ids[i].to_string(), ids[i + 1].to_string());
  }
  EXPECT_EQ(*Uuid::parse("00000000-0000-0000-0000-0000000000FF"),
            *Uuid::parse("000000000000000000000000000000ff"));
  std::unordered_set<Uuid> set(ids.begin(), ids.end());
  set.insert(ids[3]);
  EXPECT_EQ(set.size(), ids.size());
}

}  // namespace
}  // namespace osmira_base
