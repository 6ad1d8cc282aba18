#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/engine/blocking/lsh.h"
#include "core/engine/blocking/plan_blocking.h"
#include "core/engine/phonetic.h"
#include "core/engine/random.h"

namespace osmira_core::engine::blocking {
namespace {

using osmira_common::ir::BlockingKey;
using T = osmira_common::ir::BlockingTransformation;
using Keys = std::vector<std::string>;

types::NormalizedEntity record(std::initializer_list<std::pair<std::string, std::string>> data) {
  types::NormalizedEntity e;
  for (const auto& [field, value] : data) e.data.emplace(field, value);
  return e;
}

Keys transform(T t, std::string_view v, size_t limit = 1000) {
  Keys out;
  transform_variant(t, v, out, limit);
  return out;
}

// ---- Transformations ------------------------------------------------------------------------

TEST(BlockingTransformation, Table) {
  struct Row {
    T transformation;
    std::string input;
    Keys output;
  };
  const Row rows[] = {
      {T::kLowercase, "ÉCOLE Smith", {"école smith"}},
      {T::kLowercase, "ΟΔΟΣ", {"οδος"}},  // full lower case: final sigma
      {T::kLowercase, "İ", {"i̇"}},
      {T::kFirstInitial, "Smith", {"S"}},
      {T::kFirstInitial, "émile", {"é"}},
      {T::kFirstInitial, "", {""}},
      {T::kSoundex, "Smith", {"S530"}},
      {T::kSoundex, "12345", {""}},
      {T::kAreaCode, "(415) 555-1234", {"415"}},
      {T::kAreaCode, "1-415-555-1234", {"415"}},  // 11 digits starting with 1
      {T::kAreaCode, "14155551234", {"415"}},
      {T::kAreaCode, "4155551234", {"415"}},       // 10 digits: the 1 rule does not apply
      {T::kAreaCode, "1415555123", {"141"}},
      {T::kAreaCode, "24155551234", {"241"}},      // 11 digits not starting with 1
      {T::kAreaCode, "x12", {"x12"}},              // fewer than 3 digits: unchanged
      {T::kLast4, "555-1234", {"1234"}},
      {T::kLast4, "ab12", {"ab12"}},               // two digits: unchanged
      {T::kLast4, "1234", {"1234"}},
      {T::kTrigrams, "Smith", {"Smi", "mit", "ith"}},
      {T::kTrigrams, "aaaa", {"aaa", "aaa"}},      // duplicates kept
      {T::kTrigrams, "ab", {"ab"}},
      {T::kTrigrams, "", {""}},
      {T::kTrigrams, "Zoë!", {"Zoë", "oë!"}},      // cut between characters
      {T::kDoubleMetaphone, "Schmidt", {"XMT"}},
      {T::kDoubleMetaphone, "Schwarzenegger", {"XRSN"}},
      {T::kNormalizePhone, "(415) 555-1234", {"+14155551234"}},
      {T::kNormalizePhone, "no digits", {"no digits"}},  // failure: unchanged
      {T::kNormalizeEmail, " John.Doe@Example.COM ", {"john.doe@example.com"}},
      {T::kNormalizeEmail, "not-an-email", {"not-an-email"}},
      {T::kNormalizeName, "  Anne   MARIE ", {"anne marie"}},
      {T::kNormalizeNickname, "Bob", {"robert"}},
      {T::kNormalizeDomain, "https://www.Example.com/path", {"example.com"}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(transform(r.transformation, r.input), r.output)
        << osmira_common::enum_text(r.transformation) << " on " << r.input;
  }
}

TEST(BlockingTransformation, TrigramsStopAtTheLimit) {
  EXPECT_EQ(transform(T::kTrigrams, "abcdefgh", 2), (Keys{"abc", "bcd"}));
  EXPECT_EQ(transform(T::kTrigrams, "abcdefgh", 0), Keys{});
}

TEST(BlockingTransformation, AnyBytesGiveAtLeastOneVariant) {
  // Arbitrary bytes, ill-formed UTF-8 included: every transformation answers, with at least
  // one variant, and trigrams with one per character run.
  std::mt19937 rng(77);
  const std::string pieces[] = {"a", "Z", "1", " ", "@", ".", "é", "\xff", "\xc3", "ß", "+"};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (size_t n = rng() % 16; n > 0; --n) text += pieces[rng() % std::size(pieces)];
    for (size_t t = 0; t < osmira_common::enum_names<T>().size(); ++t) {
      const Keys out = transform(static_cast<T>(t), text);
      ASSERT_GE(out.size(), 1u) << text;
    }
  }
}

// ---- PlanBlocking ---------------------------------------------------------------------------

TEST(PlanBlocking, SoundexOfTwoFields) {
  const PlanBlocking blocking({BlockingKey{{"last_name", "zip"}, {T::kSoundex}}});
  const Keys keys = blocking.generate_block_key(record({{"last_name", "Smith"}, {"zip", "12345"}}));
  // The zip has no letters, so its Soundex code is empty.
  EXPECT_EQ(keys, (Keys{"S530|"}));
  EXPECT_EQ(keys[0], soundex("Smith") + "|" + soundex("12345"));
}

TEST(PlanBlocking, TrigramsCombineWithTheNextField) {
  const PlanBlocking blocking({BlockingKey{{"last_name", "zip"}, {T::kTrigrams}}});
  const Keys keys = blocking.generate_block_key(record({{"last_name", "Smith"}, {"zip", "94105"}}));
  EXPECT_EQ(keys, (Keys{"Smi|941", "Smi|410", "Smi|105", "mit|941", "mit|410", "mit|105",
                        "ith|941", "ith|410", "ith|105"}));
}

TEST(PlanBlocking, TransformationsApplyInOrderToEveryVariant) {
  const PlanBlocking blocking({BlockingKey{{"name"}, {T::kTrigrams, T::kFirstInitial}}});
  EXPECT_EQ(blocking.generate_block_key(record({{"name", "abcd"}})), (Keys{"a", "b"}));
  const PlanBlocking lowered({BlockingKey{{"name"}, {T::kNormalizeName, T::kDoubleMetaphone}}});
  EXPECT_EQ(lowered.generate_block_key(record({{"name", "  SMITH "}})), (Keys{"SM0"}));
}

TEST(PlanBlocking, MissingFieldDropsOnlyItsKey) {
  const PlanBlocking blocking({
      BlockingKey{{"email"}, {T::kNormalizeEmail}},
      BlockingKey{{"first_name", "zip"}, {T::kNormalizeName}},
      BlockingKey{{"zip"}, {T::kLowercase}},
      BlockingKey{{"zip"}, {T::kLowercase}},
  });
  const Keys keys = blocking.generate_block_key(record({{"first_name", "Ann"}, {"zip", "AB1"}}));
  // Key order; the same text twice when two keys give it.
  EXPECT_EQ(keys, (Keys{"ann|ab1", "ab1", "ab1"}));
}

TEST(PlanBlocking, EmptyDataAndFieldlessKeys) {
  const PlanBlocking blocking({BlockingKey{}, BlockingKey{{"zip"}, {}}, BlockingKey{}});
  EXPECT_EQ(blocking.generate_block_key(record({})), (Keys{"", ""}));
  EXPECT_EQ(blocking.generate_block_key(record({{"zip", "1"}})), (Keys{"", "1", ""}));
  EXPECT_EQ(PlanBlocking({}).generate_block_key(record({{"zip", "1"}})), Keys{});
}

TEST(PlanBlocking, EmptyValueIsPresent) {
  const PlanBlocking blocking({BlockingKey{{"a", "b"}, {}}});
  EXPECT_EQ(blocking.generate_block_key(record({{"a", ""}, {"b", "x"}})), (Keys{"|x"}));
}

// Trigrams of two or three fields, with the full product computed by hand for comparison.
Keys trigram_product(const std::vector<std::string>& values) {
  Keys combos = {""};
  for (size_t f = 0; f < values.size(); ++f) {
    Keys next;
    for (const std::string& c : combos) {
      for (const std::string& v : transform(T::kTrigrams, values[f])) {
        next.push_back(f == 0 ? v : c + "|" + v);
      }
    }
    combos = next;
  }
  return combos;
}

TEST(PlanBlocking, CombinationCap) {
  const std::string s11 = "abcdefghijk", s12 = "abcdefghijkl", s13 = "abcdefghijklm";
  const PlanBlocking two({BlockingKey{{"x", "y"}, {T::kTrigrams}}});
  // 10 x 9 = 90 and 10 x 10 = 100 stay whole.
  EXPECT_EQ(two.generate_block_key(record({{"x", s12}, {"y", s11}})), trigram_product({s12, s11}));
  EXPECT_EQ(two.generate_block_key(record({{"x", s12}, {"y", s12}})).size(), 100u);

  // 10 x 11 = 110: the first 100 two-field combinations, and the third field is never
  // looked at, so its absence does not drop the key.
  const PlanBlocking three({BlockingKey{{"x", "y", "z"}, {T::kTrigrams}}});
  const Keys product = trigram_product({s12, s13});
  ASSERT_EQ(product.size(), 110u);
  const Keys expected(product.begin(), product.begin() + 100);
  EXPECT_EQ(three.generate_block_key(record({{"x", s12}, {"y", s13}})), expected);
  EXPECT_EQ(three.generate_block_key(record({{"x", s12}, {"y", s13}, {"z", "abc"}})), expected);
  // 10 x 10 = 100 leaves the third field in play: absent, it drops the key.
  EXPECT_EQ(three.generate_block_key(record({{"x", s12}, {"y", s12}})), Keys{});
}

TEST(PlanBlocking, CapOnOneLongField) {
  // A single field with 300 trigrams: more than 100, so 100 remain and the second field is
  // not processed.
  const std::string long_value(302, 'q');
  const PlanBlocking blocking({BlockingKey{{"x", "y"}, {T::kTrigrams}}});
  const Keys keys = blocking.generate_block_key(record({{"x", long_value}}));
  EXPECT_EQ(keys, Keys(100, "qqq"));
  // Exactly 100 trigrams keep the second field in play.
  const Keys whole = blocking.generate_block_key(record({{"x", std::string(102, 'q')}, {"y", "ab"}}));
  EXPECT_EQ(whole, Keys(100, "qqq|ab"));
}

// One key list and one scratch serving record after record (as the engine's workers use
// them) give every record the keys that a fresh call gives it: nothing left over from an
// earlier record leaks into a later one, whether a key is written in place (no
// transformations) or through the combination lists, capped or dropped.
TEST(PlanBlocking, ReusedScratchGivesTheKeysOfAFreshCall) {
  const PlanBlocking blocking({
      BlockingKey{{"last", "zip"}, {}},
      BlockingKey{{"last", "zip"}, {T::kTrigrams}},
      BlockingKey{{"first"}, {T::kLowercase, T::kFirstInitial}},
      BlockingKey{{"first", "last", "zip"}, {T::kTrigrams}},
      BlockingKey{{"email"}, {}},
      BlockingKey{},
  });
  const char* const values[] = {"", "a", "Ab", "Smith", "M\u00fcller|x", "abcdefghijklmnopq",
                                "ZZZ", "qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq"};
  std::mt19937 rng(1207);
  KeyList list;
  KeyScratch scratch;
  std::vector<Keys> expected;
  std::vector<size_t> first_key;
  for (int r = 0; r < 400; ++r) {
    types::NormalizedEntity e;
    for (const char* field : {"first", "last", "zip", "email"}) {
      if (rng() % 4 != 0) e.data.emplace(field, values[rng() % std::size(values)]);
    }
    first_key.push_back(list.size());
    blocking.append_block_keys(e, list, scratch);
    expected.push_back(blocking.generate_block_key(e));
  }
  first_key.push_back(list.size());
  for (size_t r = 0; r < expected.size(); ++r) {
    Keys got;
    for (size_t k = first_key[r]; k < first_key[r + 1]; ++k) got.emplace_back(list[k]);
    ASSERT_EQ(got, expected[r]) << "record " << r;
  }
}

// ---- LshBlocking ----------------------------------------------------------------------------

lsh::LshBlocking make_lsh(std::vector<std::string> fields, uint64_t bands, uint64_t rows) {
  auto made = lsh::LshBlocking::create(std::move(fields), bands, rows);
  EXPECT_TRUE(made.ok());
  return std::move(made).value();
}

TEST(LshBlocking, CoefficientsFromSeed42) {
  const lsh::LshBlocking lsh = make_lsh({"name"}, 20, 5);
  EXPECT_EQ(lsh.hash_count(), 100u);
  EXPECT_EQ(lsh.shingle_size(), 3u);
  ASSERT_EQ(lsh.coefficients_a().size(), 100u);
  ASSERT_EQ(lsh.coefficients_b().size(), 100u);
  EXPECT_EQ(lsh.coefficients_a()[0], 12578764544318200737ull);
  EXPECT_EQ(lsh.coefficients_a()[1], 17529487244874322312ull);
  EXPECT_EQ(lsh.coefficients_a()[2], 7886285670807131020ull);
  EXPECT_EQ(lsh.coefficients_b()[0], 201506281876058851ull);  // output 100 of the generator
  EXPECT_EQ(lsh.coefficients_b()[99], 4912714759649460414ull);
}

TEST(LshBlocking, KnownKeys) {
  // Computed by an independent reimplementation of shingling, SeaHash, ChaCha8 and banding.
  struct Row {
    std::vector<std::string> fields;
    uint64_t bands, rows;
    types::NormalizedEntity entity;
    Keys keys;
  };
  const Row rows[] = {
      {{"name"}, 2, 2, record({{"name", "Smith"}}),
       {"lsh:0:10156723768290202958", "lsh:1:15853500105512713428"}},
      // "a " is shorter than a shingle: the whole text is one.
      {{"name"}, 1, 3, record({{"name", "a"}}), {"lsh:0:7392211411488849203"}},
      {{"name", "missing", "zip"}, 3, 2, record({{"name", "José"}, {"zip", "12345"}}),
       {"lsh:0:17106964009127225812", "lsh:1:17198042943939657760",
        "lsh:2:15050779311572074331"}},
      // No rows: every band hashes the empty text.
      {{"name"}, 2, 0, record({{"name", "x"}}),
       {"lsh:0:14492805990617963705", "lsh:1:14492805990617963705"}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(make_lsh(r.fields, r.bands, r.rows).generate_block_key(r.entity), r.keys);
  }
}

TEST(LshBlocking, OneKeyPerBandOrNone) {
  const lsh::LshBlocking lsh = make_lsh({"first_name", "zip", "zip"}, 20, 5);
  const Keys keys = lsh.generate_block_key(record({{"zip", "94105"}, {"other", "x"}}));
  ASSERT_EQ(keys.size(), 20u);
  for (size_t k = 0; k < keys.size(); ++k) {
    EXPECT_EQ(keys[k].rfind("lsh:" + std::to_string(k) + ":", 0), 0u) << keys[k];
  }
  EXPECT_EQ(lsh.generate_block_key(record({{"other", "x"}})), Keys{});
  EXPECT_EQ(lsh.generate_block_key(record({})), Keys{});
  EXPECT_EQ(make_lsh({}, 20, 5).generate_block_key(record({{"zip", "1"}})), Keys{});
}

TEST(LshBlocking, EqualTextsGiveEqualKeys) {
  const lsh::LshBlocking lsh = make_lsh({"first", "last"}, 20, 5);
  const Keys a = lsh.generate_block_key(record({{"first", "Ann"}, {"last", "Lee"}, {"x", "1"}}));
  const Keys b = lsh.generate_block_key(record({{"first", "Ann"}, {"last", "Lee"}}));
  // "Ann" + " " + "Lee" + " " is the same text as a first name "Ann Lee" alone.
  const Keys c = lsh.generate_block_key(record({{"first", "Ann Lee"}}));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  // Near-identical texts share most bands; unrelated ones share few or none.
  const Keys near = lsh.generate_block_key(record({{"first", "Ann"}, {"last", "Lea"}}));
  const Keys far = lsh.generate_block_key(record({{"first", "Xavier"}, {"last", "Quinn"}}));
  size_t shared_near = 0, shared_far = 0;
  for (size_t k = 0; k < a.size(); ++k) {
    shared_near += a[k] == near[k];
    shared_far += a[k] == far[k];
  }
  EXPECT_GT(shared_near, shared_far);
}

TEST(LshBlocking, ShinglesCountOnce) {
  // "aaaaaa " has the shingles {aaa, aa } whatever the repetition.
  const lsh::LshBlocking lsh = make_lsh({"x"}, 4, 2);
  EXPECT_EQ(lsh.generate_block_key(record({{"x", "aaaaaa"}})),
            lsh.generate_block_key(record({{"x", "aaaaaaaaa"}})));
}

TEST(LshBlocking, RejectsSizesBeyondTheBounds) {
  struct Row {
    uint64_t bands, rows;
    bool ok;
  };
  const Row rows[] = {
      {20, 5, true},
      {0, 5, true},
      {lsh::kMaxBands, 1, true},
      {lsh::kMaxBands + 1, 0, false},
      {1, lsh::kMaxHashFunctions + 1, false},
      {1ull << 32, 1ull << 32, false},  // the product overflows 64 bits
      {3, (1ull << 63) + 1, false},
  };
  for (const Row& r : rows) {
    auto made = lsh::LshBlocking::create({"x"}, r.bands, r.rows);
    EXPECT_EQ(made.ok(), r.ok) << r.bands << " x " << r.rows;
    if (!made.ok()) {
      EXPECT_NE(made.error().message().find(std::to_string(r.bands) + " bands of " +
                                            std::to_string(r.rows) + " rows"),
                std::string::npos)
          << made.error().message();
    }
  }
}

TEST(LshBlocking, ZeroBandsGiveNoKeys) {
  EXPECT_EQ(make_lsh({"x"}, 0, 5).generate_block_key(record({{"x", "abc"}})), Keys{});
}

}  // namespace
}  // namespace osmira_core::engine::blocking
