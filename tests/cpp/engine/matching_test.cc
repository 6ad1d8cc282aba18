#include "core/engine/matching.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "core/engine/engine.h"
#include "core/engine/fellegi_sunter.h"
#include "core/engine/phonetic.h"
#include "core/engine/similarity.h"
#include "engine_test_support.h"

namespace osmira_core::engine::matching {
namespace {

using osmira_common::ir::CompositeOperator;
using osmira_common::ir::SimilarityAlgorithm;
using testing::entity;
using types::RuleResult;

// A pair of records holding `field` with the given values (nothing: the record lacks it).
struct Pair {
  NormalizedEntity a;
  NormalizedEntity b;
};

Pair pair_of(const std::string& field, std::optional<std::string> va,
             std::optional<std::string> vb) {
  Pair p{entity(1, {}), entity(2, {})};
  if (va) p.a.data.insert_or_assign(field, *va);
  if (vb) p.b.data.insert_or_assign(field, *vb);
  return p;
}

struct Expect {
  double score;
  double weight;
  bool matched;
  std::string explanation;
};

void check(const MatchRule& rule, const std::optional<std::string>& va,
           const std::optional<std::string>& vb, const Expect& want, double tolerance = 0.0) {
  const std::string field_name = "f";
  const Pair p = pair_of(field_name, va, vb);
  const RuleResult r = rule.evaluate(p.a, p.b);
  const std::string where = "a=" + va.value_or("<absent>") + " b=" + vb.value_or("<absent>");
  EXPECT_EQ(r.rule_name, std::string(rule.name())) << where;
  if (tolerance == 0.0) {
    EXPECT_EQ(r.score, want.score) << where;
  } else {
    EXPECT_NEAR(r.score, want.score, tolerance) << where;
  }
  EXPECT_EQ(r.weight, want.weight) << where;
  EXPECT_EQ(r.matched, want.matched) << where;
  EXPECT_EQ(r.explanation, want.explanation) << where;
}

using Opt = std::optional<std::string>;
const Opt kAbsent = std::nullopt;

TEST(ExactMatch, Table) {
  struct Row {
    bool case_insensitive;
    bool normalize;
    Opt normalizer;
    Opt a, b;
    Expect want;
  };
  const Row rows[] = {
      {true, true, {}, " Bob ", "bob", {1.0, 2.0, true, "Exact match on field f"}},
      {false, false, {}, "Bob", "bob", {0.0, 2.0, false, "No match on field f"}},
      {false, true, {}, "\u00a0Bob\t", "Bob", {1.0, 2.0, true, "Exact match on field f"}},
      {true, false, {}, " Bob", "bob", {0.0, 2.0, false, "No match on field f"}},
      {true, false, {}, "\u00c9COLE", "\u00e9cole", {1.0, 2.0, true, "Exact match on field f"}},
      {false, false, {}, "", "", {1.0, 2.0, true, "Exact match on field f"}},
      {false, false, {}, "x", kAbsent, {0.0, 0.0, false, "Missing data on field f"}},
      {true, true, {}, kAbsent, kAbsent, {0.0, 0.0, false, "Missing data on field f"}},
      {false, false, "nickname", "Bob", "ROBERT", {1.0, 2.0, true, "Exact match on field f"}},
      {false, false, "email", "A.B@Example.com ", "a.b@example.com",
       {1.0, 2.0, true, "Exact match on field f"}},
      // Any other normalizer name trims and lower-cases.
      {false, false, "unknown", "  MiXed ", "mixed", {1.0, 2.0, true, "Exact match on field f"}},
  };
  for (const Row& row : rows) {
    const ExactMatch rule("r", "f", row.normalizer, 2.0, row.case_insensitive, row.normalize);
    check(rule, row.a, row.b, row.want);
  }
}

TEST(FuzzyStringMatch, Table) {
  struct Row {
    double threshold;
    Opt normalizer;
    Opt a, b;
    Expect want;
  };
  const double martha = jaro_winkler("MARTHA", "MARHTA");
  ASSERT_NEAR(martha, 0.9611, 1e-4);
  const Row rows[] = {
      {0.9, {}, "MARTHA", "MARHTA", {martha, 1.5, true, "Fuzzy match on field f (score: 0.96)"}},
      {0.97, {}, "MARTHA", "MARHTA",
       {martha, 1.5, false, "Insufficient fuzzy score on field f (score: 0.96)"}},
      {0.5, {}, "abc", kAbsent, {0.0, 0.0, false, "Missing data on field f"}},
      // A threshold of 0 lets missing data report the match text with weight 0.
      {0.0, {}, kAbsent, "abc", {0.0, 0.0, true, "Fuzzy match on field f (score: 0.00)"}},
      {0.9, "name", "  ANNE   marie", "anne marie", {1.0, 1.5, true, "Fuzzy match on field f (score: 1.00)"}},
      {0.9, {}, "", "", {1.0, 1.5, true, "Fuzzy match on field f (score: 1.00)"}},
      {0.1, {}, "", "abc", {0.0, 1.5, false, "Insufficient fuzzy score on field f (score: 0.00)"}},
  };
  for (const Row& row : rows) {
    const FuzzyStringMatch rule("r", "f", row.normalizer, row.threshold, 1.5);
    check(rule, row.a, row.b, row.want);
  }
}

TEST(LevenshteinMatch, Table) {
  struct Row {
    double threshold;
    Opt a, b;
    Expect want;
  };
  const Row rows[] = {
      {0.5, "flaw", "lawn", {0.5, 1.0, true, "Levenshtein match on field f (score: 0.50)"}},
      {0.6, "flaw", "lawn", {0.5, 1.0, false, "Insufficient Levenshtein score on field f (score: 0.50)"}},
      // Characters, not bytes: one substitution in two characters.
      {0.5, "\u00e9e", "ee", {0.5, 1.0, true, "Levenshtein match on field f (score: 0.50)"}},
      {0.5, kAbsent, "x", {0.0, 0.0, false, "Missing data on field f"}},
      {0.5, "", "", {1.0, 1.0, true, "Levenshtein match on field f (score: 1.00)"}},
  };
  for (const Row& row : rows) {
    const LevenshteinMatch rule("r", "f", std::nullopt, row.threshold, 1.0);
    check(rule, row.a, row.b, row.want);
  }
}

TEST(SoundexMatch, Table) {
  struct Row {
    Opt a, b;
    Expect want;
  };
  const Row rows[] = {
      {"Robert", "Rupert", {1.0, 3.0, true, "Soundex match on field f (codes match)"}},
      {"Robert", "Smith", {0.0, 3.0, false, "Soundex mismatch on field f (codes differ)"}},
      // Missing data keeps the full weight and has no text of its own.
      {"Robert", kAbsent, {0.0, 3.0, false, "Soundex mismatch on field f (codes differ)"}},
      // Two empty codes are equal.
      {"123", "456", {1.0, 3.0, true, "Soundex match on field f (codes match)"}},
      // Raw values: no trimming before encoding.
      {" robert", "ROBERT", {1.0, 3.0, true, "Soundex match on field f (codes match)"}},
  };
  for (const Row& row : rows) {
    const SoundexMatch rule("r", "f", 1.0, 3.0);
    check(rule, row.a, row.b, row.want);
  }
}

TEST(MetaphoneMatch, PrimaryAlternateCrossingScoresHalf) {
  const auto smith = double_metaphone("Smith", 4);
  const auto schmidt = double_metaphone("Schmidt", 4);
  ASSERT_NE(smith.primary, schmidt.primary);
  ASSERT_TRUE(smith.alternate == schmidt.primary || smith.primary == schmidt.alternate);
  const MetaphoneMatch rule("r", "f", 0.5, 2.0);
  check(rule, "Smith", "Schmidt", {0.5, 2.0, true, "Metaphone match on field f (score: 0.50)"});
  const MetaphoneMatch strict("r", "f", 0.9, 2.0);
  check(strict, "Smith", "Schmidt", {0.5, 2.0, false, "Metaphone mismatch on field f (score: 0.50)"});
  check(strict, "Smith", "Smyth", {1.0, 2.0, true, "Metaphone match on field f (score: 1.00)"});
  check(strict, kAbsent, "Smyth", {0.0, 2.0, false, "Metaphone mismatch on field f (score: 0.00)"});
}

TEST(CosineMatch, Table) {
  struct Row {
    Opt a, b;
    Expect want;
  };
  const Row rows[] = {
      // Bigrams ni ig gh ht / na ac ch ht: one shared of four each.
      {"night", "nacht", {0.25, 1.0, false, "Insufficient cosine score on field f (score: 0.25)"}},
      {"abab", "abab", {1.0, 1.0, true, "Cosine match on field f (score: 1.00)"}},
      {"a", "a", {0.0, 1.0, false, "Insufficient cosine score on field f (score: 0.00)"}},
      {"ab", kAbsent, {0.0, 1.0, false, "Insufficient cosine score on field f (score: 0.00)"}},
  };
  for (const Row& row : rows) {
    const CosineMatch rule("r", "f", 0.9, 1.0);
    check(rule, row.a, row.b, row.want, 1e-12);
  }
}

TEST(CosineMatch, PreparedCountsAgreeWithDirectSimilarity) {
  const std::vector<std::string> texts = {
      "", "a", "ab", "abab", "night", "nacht", "Hello World", "hello world", "aaaaaa",
      "Jos\u00e9 Garc\u00eda", "Jose Garcia", "\u00e9\u00e9\u00e9", "ab ab ab ba", "Mississippi",
      "\u4e2d\u6587\u4e2d\u6587", "x\xff" "y"};
  const CosineMatch rule("r", "f", 0.0, 1.0);
  for (const std::string& x : texts) {
    for (const std::string& y : texts) {
      const Pair p = pair_of("f", x, y);
      EXPECT_DOUBLE_EQ(rule.evaluate(p.a, p.b).score, bigram_cosine_similarity(x, y))
          << x << " / " << y;
    }
  }
}

// Equal bigram counts score exactly 1.0 in all three cosine forms (the prepared rule, the
// plain function, the training's bigram vectors), where the quotient alone gives
// 0.9999999999999998 ("hello world") or 1.0000000000000002 ("abcd ef"); no score leaves
// [0, 1].
TEST(CosineMatch, EqualCountsScoreExactlyOneAndNoScoreLeavesTheRange) {
  const CosineMatch rule("r", "f", 1.0, 1.0);
  const auto scores = [&](const std::string& x, const std::string& y) {
    const Pair p = pair_of("f", x, y);
    return std::vector<double>{
        rule.evaluate(p.a, p.b).score, bigram_cosine_similarity(x, y),
        fellegi_sunter::cosine_similarity(fellegi_sunter::bigram_vector(x),
                                          fellegi_sunter::bigram_vector(y))};
  };
  const std::pair<std::string, std::string> equal_counts[] = {
      {"hello world", "hello world"}, {"abcd ef", "abcd ef"},
      {"abca", "bcab"},  // other texts, the same bigrams
      {"Jos\u00e9 Garc\u00eda", "Jos\u00e9 Garc\u00eda"}, {"aaaaaaa", "aaaaaaa"}};
  for (const auto& [x, y] : equal_counts) {
    for (const double score : scores(x, y)) EXPECT_EQ(score, 1.0) << x << " / " << y;
  }
  std::mt19937 rng(7);
  const auto random_text = [&] {
    static constexpr std::string_view kLetters = "abcde f\xc3\xa9";
    std::string text;
    for (size_t n = rng() % 40; n > 0; --n) text += kLetters[rng() % kLetters.size()];
    return text;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string x = random_text();
    const std::string y = random_text();
    const bool has_bigrams = !fellegi_sunter::bigram_vector(x).empty();
    for (const double score : scores(x, x)) EXPECT_EQ(score, has_bigrams ? 1.0 : 0.0) << x;
    for (const double score : scores(x, y)) {
      EXPECT_TRUE(score >= 0.0 && score <= 1.0) << x << " / " << y << ": " << score;
    }
  }
}

TEST(RuleProgram, PreparedFeaturesAgreeWithStringForms) {
  // Every record's features are prepared once and every pair is compared through one
  // program with one scratch, as the pair loop does; each leaf's score must be the value of
  // the plain function on the two texts, bit for bit.
  std::vector<std::string> texts = {
      "", "a", "MARTHA", "MARHTA", "Jos\u00e9", "Jose", "Jose\u0301", "Smith", "Schmidt",
      "Smyth", "  robert ", "Rupert", "\u6e21\u8fba", "\u6e21\u908a", "\U0001F600a",
      "a\U0001F600", "x\xff" "y", "\x80", "\xc3", "Mississippi", "ab ab ab ba"};
  std::string long_ascii, long_wide;
  for (int i = 0; i < 150; ++i) {
    long_ascii += static_cast<char>('a' + i % 5);
    long_wide += i % 7 == 0 ? "\u00e9" : std::string(1, static_cast<char>('a' + i % 5));
  }
  for (size_t len : {63, 64, 65, 127, 128, 129, 150}) {
    texts.push_back(long_ascii.substr(0, len));
    texts.push_back(long_wide.substr(0, len + len / 7));  // cut whole characters or not
  }
  texts.push_back(long_ascii.substr(1, 70) + "z");
  for (const char* same_as_other : {" Mississippi", "MISSISSIPPI", "Jos\u00c9"}) {
    texts.push_back(same_as_other);  // equal to another text once trimmed and lower-cased
  }

  using Plain = double (*)(const std::string&, const std::string&);
  struct Row {
    std::unique_ptr<MatchRule> rule;
    Plain plain;
  };
  std::vector<Row> rows;
  rows.push_back({std::make_unique<FuzzyStringMatch>("jw", "f", std::nullopt, 0.9, 1.0),
                  [](const std::string& x, const std::string& y) { return jaro_winkler(x, y); }});
  rows.push_back(
      {std::make_unique<LevenshteinMatch>("lev", "f", std::nullopt, 0.9, 1.0),
       [](const std::string& x, const std::string& y) { return normalized_levenshtein(x, y); }});
  rows.push_back({std::make_unique<ExactMatch>("exact", "f", std::nullopt, 1.0, true, true),
                  [](const std::string& x, const std::string& y) {
                    const auto key = [](const std::string& v) {
                      return osmira_base::unicode::to_lowercase(
                          osmira_base::unicode::trim_whitespace(v));
                    };
                    return key(x) == key(y) ? 1.0 : 0.0;
                  }});
  rows.push_back({std::make_unique<SoundexMatch>("sdx", "f", 1.0, 1.0),
                  [](const std::string& x, const std::string& y) {
                    return soundex(x) == soundex(y) ? 1.0 : 0.0;
                  }});
  rows.push_back({std::make_unique<MetaphoneMatch>("mph", "f", 1.0, 1.0),
                  [](const std::string& x, const std::string& y) {
                    const auto cx = double_metaphone(x, 4), cy = double_metaphone(y, 4);
                    if (cx.primary == cy.primary) return 1.0;
                    return cx.primary == cy.alternate || cx.alternate == cy.primary ? 0.5 : 0.0;
                  }});
  rows.push_back({std::make_unique<CosineMatch>("cos", "f", 1.0, 1.0),
                  [](const std::string& x, const std::string& y) {
                    return bigram_cosine_similarity(x, y);
                  }});
  std::vector<std::unique_ptr<MatchRule>> rules;
  for (Row& row : rows) rules.push_back(std::move(row.rule));
  const RuleProgram program = RuleProgram::build(rules);
  const size_t leaves = program.leaves().size();
  ASSERT_EQ(leaves, rows.size());

  std::vector<FieldFeature> features(texts.size() * leaves);
  for (size_t t = 0; t < texts.size(); ++t) {
    const NormalizedEntity e = entity(static_cast<uint32_t>(t + 1), {{"f", texts[t].c_str()}});
    for (size_t k = 0; k < leaves; ++k) program.leaves()[k]->prepare(e, features[t * leaves + k]);
  }
  SimilarityScratch scratch;
  std::vector<RuleOutcome> stack, top(rows.size());
  for (size_t x = 0; x < texts.size(); ++x) {
    for (size_t y = 0; y < texts.size(); ++y) {
      program.run(std::span<const FieldFeature>(features.data() + x * leaves, leaves),
                  std::span<const FieldFeature>(features.data() + y * leaves, leaves), stack, top,
                  scratch);
      for (size_t k = 0; k < rows.size(); ++k) {
        const double want = rows[k].plain(texts[x], texts[y]);
        EXPECT_EQ(std::bit_cast<uint64_t>(top[k].score), std::bit_cast<uint64_t>(want))
            << rules[k]->name() << ": " << texts[x] << " / " << texts[y];
      }
    }
  }
}

TEST(FieldFeature, StaysCompact) {
  // One feature per record and leaf is held for a whole run.
  EXPECT_LE(sizeof(FieldFeature), 40u);
}

// Code points and bigrams the feature tests below store.
const std::vector<char32_t> wide = {U'\u00e9', U'x', U'\u4e2d'};
const std::vector<Bigram> grams = {{1, 2}, {5, 1}, {(uint64_t{7} << 32) | 9, 3}};

// Texts on both sides of the in-place limit, with and without code points, and bigrams: what
// was set reads back after the value is moved (also into a value that held something), and the
// moved-from value is empty.
TEST(FieldFeature, HoldsWhatWasSetAcrossMoves) {
  struct Row {
    std::string text;
    std::vector<char32_t> points;
    bool bigrams;
  };
  const Row rows[] = {
      {"", {}, false},
      {"abc", {}, false},
      {std::string(16, 'q'), {}, false},  // the longest text held in place
      {std::string(17, 'r'), {}, false},  // the shortest on the heap
      {"someone.long@example.com", {}, false},
      {"\xc3\xa9x\xe4\xb8\xad", wide, false},        // short, with code points
      {std::string(21, 'z') + "\xc3\xa9", {U'z'}, false},  // long, with code points
      {"", {}, true},
  };
  for (const Row& row : rows) {
    const std::string where = "text of " + std::to_string(row.text.size()) + " bytes";
    FieldFeature f;
    f.present = true;
    f.codes = {42, 43};
    if (row.bigrams) {
      f.set_bigrams(grams);
    } else {
      f.set_text("something else entirely, long enough for the heap", wide);
      f.set_text(row.text, row.points);  // replaces the first text
    }
    FieldFeature target;
    target.set_text(std::string(40, 'o'), wide);
    target = std::move(f);
    const FieldFeature moved(std::move(target));
    EXPECT_TRUE(moved.present) << where;
    EXPECT_EQ(moved.codes.code, 42u) << where;
    EXPECT_EQ(moved.codes.alternate, 43u) << where;
    EXPECT_EQ(moved.text(), row.bigrams ? std::string() : row.text) << where;
    if (row.points.empty()) {
      EXPECT_EQ(moved.points(), nullptr) << where;
    } else {
      ASSERT_NE(moved.points(), nullptr) << where;
      EXPECT_EQ(std::vector<char32_t>(moved.points(), moved.points() + row.points.size()),
                row.points) << where;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(moved.points()) % alignof(char32_t), 0u) << where;
    }
    if (row.bigrams) {
      ASSERT_NE(moved.bigrams(), nullptr);
      for (size_t i = 0; i < grams.size(); ++i) {
        EXPECT_EQ(moved.bigrams()[i].key, grams[i].key) << i;
        EXPECT_EQ(moved.bigrams()[i].count, grams[i].count) << i;
      }
    } else {
      EXPECT_EQ(moved.bigrams(), nullptr) << where;
    }
    for (const FieldFeature* gone : {&f, &target}) {
      EXPECT_FALSE(gone->present) << where;
      EXPECT_TRUE(gone->text().empty()) << where;
      EXPECT_EQ(gone->points(), nullptr) << where;
      EXPECT_EQ(gone->bigrams(), nullptr) << where;
    }
  }
}

// A run keeps the heap blocks of many features in one allocation: a block moved there reads
// back the same, from there, across moves; setting a new value or destroying the feature
// leaves the shared memory alone (AddressSanitizer reports any free of it); values held in
// place have no block to move.
TEST(FieldFeature, ReadsItsBlockFromSharedMemory) {
  struct Row {
    std::string text;
    std::vector<char32_t> points;
    bool bigrams;
    bool in_place;
  };
  const Row rows[] = {
      {"", {}, false, true},
      {std::string(16, 'q'), {}, false, true},
      {std::string(17, 'r'), {}, false, false},
      {"someone.long@example.com", {}, false, false},
      {"\xc3\xa9x\xe4\xb8\xad", wide, false, false},
      {std::string(21, 'z') + "\xc3\xa9", {U'z', U'\u00e9', U'q'}, false, false},
      {"", {}, true, false},
  };
  for (const Row& row : rows) {
    const std::string where = "text of " + std::to_string(row.text.size()) + " bytes";
    FieldFeature f;
    f.present = true;
    if (row.bigrams) {
      f.grams.count = static_cast<uint32_t>(grams.size());
      f.set_bigrams(grams);
    } else {
      f.characters.length = static_cast<uint32_t>(row.points.size());
      f.set_text(row.text, row.points);
    }
    const size_t bytes = f.block_bytes();
    EXPECT_EQ(bytes == 0, row.in_place) << where;
    EXPECT_EQ(bytes % 8, 0u) << where;
    // Two blocks side by side, as a run lays them out; the second one is the feature's.
    std::vector<uint64_t> shared(bytes / 4 + 1, 0x5555555555555555u);
    char* const at = reinterpret_cast<char*>(shared.data()) + bytes;
    f.move_block_to(at);
    FieldFeature moved(std::move(f));
    EXPECT_TRUE(moved.present) << where;
    if (!row.in_place) {
      const char* const read_from = row.bigrams ? reinterpret_cast<const char*>(moved.bigrams())
                                                : moved.text().data();
      EXPECT_EQ(read_from, at) << where;
    }
    EXPECT_EQ(moved.text(), row.bigrams ? std::string() : row.text) << where;
    if (!row.points.empty()) {
      ASSERT_NE(moved.points(), nullptr) << where;
      EXPECT_EQ(std::vector<char32_t>(moved.points(), moved.points() + row.points.size()),
                row.points) << where;
    }
    if (row.bigrams) {
      ASSERT_NE(moved.bigrams(), nullptr);
      for (size_t i = 0; i < grams.size(); ++i) {
        EXPECT_EQ(moved.bigrams()[i].key, grams[i].key) << i;
        EXPECT_EQ(moved.bigrams()[i].count, grams[i].count) << i;
      }
    }
    // The first block's bytes are untouched.
    for (size_t i = 0; i < bytes / 8; ++i) EXPECT_EQ(shared[i], 0x5555555555555555u) << where;
    FieldFeature replaced(std::move(moved));
    replaced.set_text(std::string(30, 'n'));  // a block of its own again
    EXPECT_EQ(replaced.text(), std::string(30, 'n')) << where;
    EXPECT_EQ(replaced.block_bytes(), 32u) << where;
  }
}

// Two points `km` apart along a meridian.
std::pair<std::string, std::string> points_apart(double km) {
  const double degrees = km / 6371.0 * 180.0 / std::numbers::pi;
  return {"10.0,20.0", std::to_string(10.0 + degrees) + ",20.0"};
}

TEST(HaversineMatch, DistanceScores) {
  const HaversineMatch rule("r", "f", 10.0, 2.0);
  {
    const auto [a, b] = points_apart(15.0);
    check(rule, a, b,
          {0.5, 2.0, false,
           "Haversine mismatch on field f (distance: 15.00 km, exceeds 10.00 km tolerance)"},
          1e-4);
  }
  {
    const auto [a, b] = points_apart(25.0);
    check(rule, a, b,
          {0.0, 2.0, false,
           "Haversine mismatch on field f (distance: 25.00 km, exceeds 10.00 km tolerance)"});
  }
  {
    const auto [a, b] = points_apart(5.0);
    check(rule, a, b,
          {1.0, 2.0, true,
           "Haversine match on field f (distance: 5.00 km, within 10.00 km tolerance)"});
  }
}

TEST(HaversineMatch, UnparsableCoordinates) {
  const HaversineMatch rule("r", "f", 10.0, 2.0);
  const Expect failed{0.0, 2.0, false, "Haversine: could not parse coordinates from field f"};
  for (const char* bad : {"91,0", "0,181", "1,2,3", "abc", "1;2", "NaN,0", ",", "1,"}) {
    check(rule, std::string(bad), "1,2", failed);
  }
  check(rule, kAbsent, "1,2", failed);
  check(rule, " 1 , 2 ", "1,2", {1.0, 2.0, true, "Haversine match on field f (distance: 0.00 km, within 10.00 km tolerance)"});
}

TEST(HaversineMatch, ParseLatLon) {
  struct Row {
    const char* text;
    std::optional<std::pair<double, double>> want;
  };
  const Row rows[] = {
      {"90,180", std::pair(90.0, 180.0)},
      {"-90,-180", std::pair(-90.0, -180.0)},
      {"\u00a0 1.5e1 ,\t-2", std::pair(15.0, -2.0)},
      {"90.0001,0", std::nullopt},
      {"1,2,3", std::nullopt},
      {"inf,0", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(HaversineMatch::parse_latlon(row.text), row.want) << row.text;
  }
}

TEST(RangeMatch, Table) {
  struct Row {
    double tolerance;
    Opt a, b;
    Expect want;
  };
  const Row rows[] = {
      {5.0, "10", "15", {1.0, 1.0, true, "Range match on field f (diff within 5)"}},
      {5.0, "10", "15.5", {0.0, 1.0, false, "Range mismatch on field f"}},
      {0.5, "1e1", "+10.5", {1.0, 1.0, true, "Range match on field f (diff within 0.5)"}},
      {5.0, " 10", "15", {0.0, 0.0, false, "Missing data on field f"}},
      {5.0, "10", "15 ", {0.0, 0.0, false, "Missing data on field f"}},
      {5.0, "ten", "15", {0.0, 0.0, false, "Missing data on field f"}},
      {5.0, "10", kAbsent, {0.0, 0.0, false, "Missing data on field f"}},
      // Both infinite: the difference is NaN, which is never within the tolerance.
      {5.0, "inf", "Infinity", {0.0, 1.0, false, "Range mismatch on field f"}},
      {5.0, "NaN", "1", {0.0, 1.0, false, "Range mismatch on field f"}},
      {1e21, "0", "1", {1.0, 1.0, true, "Range match on field f (diff within 1000000000000000000000)"}},
  };
  for (const Row& row : rows) {
    const RangeMatch rule("r", "f", row.tolerance, 1.0);
    check(rule, row.a, row.b, row.want);
  }
}

TEST(MlMatch, NeverMatches) {
  const MlMatch rule("r", "model", {"a"}, 0.0, 0.7);
  check(rule, "x", "x", {0.0, 0.7, false, "ML matching not fully implemented currently"});
}

std::vector<std::unique_ptr<MatchRule>> exact_children(int count) {
  std::vector<std::unique_ptr<MatchRule>> children;
  for (int i = 0; i < count; ++i) {
    // Appended rather than "c" + to_string(i), which trips a false -Wrestrict in g++ 12.
    std::string name = "c";
    name += std::to_string(i);
    std::string field = "f";
    field += std::to_string(i);
    children.push_back(std::make_unique<ExactMatch>(std::move(name), std::move(field),
                                                    std::nullopt, 5.0, false, false));
  }
  return children;
}

TEST(CompositeMatch, MeanScoreUnitWeightAndOperator) {
  NormalizedEntity a = entity(1, {{"f0", "x"}, {"f1", "x"}});
  NormalizedEntity b = entity(2, {{"f0", "x"}, {"f1", "y"}});
  struct Row {
    CompositeOperator op;
    bool matched;
  };
  for (const Row row : {Row{CompositeOperator::kAnd, false}, Row{CompositeOperator::kOr, true}}) {
    const CompositeMatch rule(exact_children(2), "comp", row.op);
    const RuleResult r = rule.evaluate(a, b);
    EXPECT_EQ(r.rule_name, "comp");
    EXPECT_EQ(r.score, 0.5);
    EXPECT_EQ(r.weight, 1.0);
    EXPECT_EQ(r.matched, row.matched);
    EXPECT_EQ(r.explanation, std::string("Composite match (2 component rules, matched: ") +
                                 (row.matched ? "true" : "false") + ")");
  }
  b.data.insert_or_assign("f1", "x");
  const CompositeMatch all(exact_children(2), "comp", CompositeOperator::kAnd);
  EXPECT_TRUE(all.evaluate(a, b).matched);
}

TEST(CompositeMatch, WithoutChildren) {
  const NormalizedEntity a = entity(1, {});
  const CompositeMatch both(exact_children(0), "c", CompositeOperator::kAnd);
  const CompositeMatch any(exact_children(0), "c", CompositeOperator::kOr);
  EXPECT_EQ(both.evaluate(a, a).score, 0.0);
  EXPECT_TRUE(both.evaluate(a, a).matched);
  EXPECT_FALSE(any.evaluate(a, a).matched);
  EXPECT_EQ(any.evaluate(a, a).explanation, "Composite match (0 component rules, matched: false)");
}

TEST(CompositeMatch, DeepNestingIsEvaluatedWithoutRecursion) {
  // compile_rule and evaluation walk the tree with explicit stacks.
  constexpr int kDepth = 5000;
  osmira_common::ir::CompiledRule rule = testing::exact_rule("leaf", "f");
  for (int d = 0; d < kDepth; ++d) {
    std::vector<osmira_common::ir::CompiledRule> children;
    children.push_back(std::move(rule));
    children.push_back(testing::exact_rule("other", "g"));
    std::string name = "n";
    name += std::to_string(d);
    rule = testing::composite_rule(std::move(name), CompositeOperator::kAnd,
                                   std::move(children));
  }
  const auto compiled = ReconciliationEngine::compile_rule(rule);
  const NormalizedEntity a = entity(1, {{"f", "x"}, {"g", "y"}});
  const NormalizedEntity b = entity(2, {{"f", "x"}, {"g", "z"}});
  const RuleResult r = compiled->evaluate(a, b);
  EXPECT_EQ(r.rule_name, "n4999");
  EXPECT_FALSE(r.matched);
  EXPECT_EQ(r.weight, 1.0);
  EXPECT_LT(r.score, 0.5);  // every level averages in a 0
  const RuleResult all = compiled->evaluate(a, a);
  EXPECT_TRUE(all.matched);
  EXPECT_EQ(all.score, 1.0);
  // Tear down the plan's own tree from the leaves up: the plan records destroy their
  // children recursively.
  while (auto* composite = std::get_if<osmira_common::ir::CompiledRuleType::Composite>(&rule.rule_type.kind)) {
    osmira_common::ir::CompiledRule inner = std::move(composite->children.front());
    rule = std::move(inner);
  }
}

TEST(RuleProgram, PostfixOrderAndTopLevelOutcomes) {
  std::vector<std::unique_ptr<MatchRule>> rules;
  rules.push_back(std::make_unique<ExactMatch>("e", "f", std::nullopt, 1.0, false, false));
  rules.push_back(std::make_unique<CompositeMatch>(exact_children(3), "c", CompositeOperator::kOr));
  rules.push_back(std::make_unique<MlMatch>("m", "model", std::vector<std::string>{}, 0.0, 1.0));
  const RuleProgram program = RuleProgram::build(rules);
  EXPECT_EQ(program.top_count(), 3u);
  EXPECT_EQ(program.leaves().size(), 5u);
  ASSERT_EQ(program.steps().size(), 6u);
  EXPECT_EQ(program.steps()[0].top, 0);
  EXPECT_EQ(program.steps()[1].top, -1);
  EXPECT_EQ(program.steps()[4].top, 1);
  EXPECT_EQ(program.steps()[4].child_count, 3u);
  EXPECT_EQ(program.steps()[5].top, 2);

  const NormalizedEntity a = entity(1, {{"f", "1"}, {"f0", "x"}, {"f1", "y"}, {"f2", "z"}});
  const NormalizedEntity b = entity(2, {{"f", "1"}, {"f0", "x"}, {"f1", "q"}});
  std::vector<FieldFeature> fa(5), fb(5);
  for (size_t i = 0; i < 5; ++i) {
    program.leaves()[i]->prepare(a, fa[i]);
    program.leaves()[i]->prepare(b, fb[i]);
  }
  std::vector<RuleOutcome> stack;
  std::vector<RuleOutcome> top(3);
  program.run(fa, fb, stack, top);
  for (size_t i = 0; i < rules.size(); ++i) {
    const RuleResult direct = rules[i]->evaluate(a, b);
    const RuleResult via = rules[i]->result(top[i]);
    EXPECT_EQ(direct.score, via.score) << i;
    EXPECT_EQ(direct.weight, via.weight) << i;
    EXPECT_EQ(direct.matched, via.matched) << i;
    EXPECT_EQ(direct.explanation, via.explanation) << i;
  }
  EXPECT_DOUBLE_EQ(top[1].score, 1.0 / 3.0);
  EXPECT_TRUE(top[1].matched);
}

}  // namespace
}  // namespace osmira_core::engine::matching
