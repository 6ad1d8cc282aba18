#include "core/engine/fellegi_sunter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "engine_test_support.h"

namespace osmira_core::engine::fellegi_sunter {
namespace {

namespace ir = osmira_common::ir;
using ir::FsComparatorType;
using testing::entity;
using types::NormalizedEntity;

ir::CompiledFsField field(std::string name, FsComparatorType comparator, double m = 0.9,
                          double u = 0.1, std::optional<std::string> normalizer = std::nullopt,
                          double weight = 1.0) {
  ir::CompiledFsField f;
  f.name = std::move(name);
  f.comparator = comparator;
  f.weight = weight;
  f.m_probability = m;
  f.u_probability = u;
  f.w_agree = std::log(m / u) * weight;
  f.w_disagree = std::log((1 - m) / (1 - u)) * weight;
  f.normalizer = std::move(normalizer);
  return f;
}

// Block keys taken from the record's "keys" field, comma-separated, in order.
class ListedKeys final : public blocking::BlockingStrategy {
 public:
  std::vector<std::string> generate_block_key(const NormalizedEntity& e) const override {
    std::vector<std::string> keys;
    auto it = e.data.find(std::string_view("keys"));
    if (it == e.data.end()) return keys;
    std::string_view rest = it->second;
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      keys.emplace_back(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return keys;
  }
};

std::vector<std::unique_ptr<blocking::BlockingStrategy>> listed_keys() {
  std::vector<std::unique_ptr<blocking::BlockingStrategy>> s;
  s.push_back(std::make_unique<ListedKeys>());
  return s;
}

// ---- Field agreement -------------------------------------------------------------------------

TEST(FieldAgreement, ValuesPerComparator) {
  struct Row {
    FsComparatorType comparator;
    std::optional<std::string> normalizer;
    const char* a;
    const char* b;
    double want;
  };
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const Row rows[] = {
      {FsComparatorType::kExact, {}, "Smith", "Smith", 1.0},
      {FsComparatorType::kExact, {}, "Smith", "smith", 0.0},  // no case folding by itself
      {FsComparatorType::kExact, {}, "Smith", "Smith ", 0.0},  // nor trimming
      {FsComparatorType::kExact, "name", "  Anne   MARIE ", "anne marie", 1.0},
      {FsComparatorType::kExact, "anything", " Smith ", "smith", 1.0},  // trim + lower
      {FsComparatorType::kExact, "nickname", "Bob", "robert", 1.0},
      {FsComparatorType::kJaroWinkler, {}, "MARTHA", "MARHTA", 0.9611111111111111},
      {FsComparatorType::kJaroWinkler, {}, "José", "Jose", 0.8833333333333333},
      {FsComparatorType::kLevenshtein, {}, "kitten", "sitting", 1.0 - 3.0 / 7.0},
      {FsComparatorType::kLevenshtein, {}, "é", "e", 0.5},  // divided by bytes
      {FsComparatorType::kLevenshtein, {}, "aé", "ae", 1.0 - 1.0 / 3.0},
      {FsComparatorType::kSoundex, {}, "Robert", "Rupert", 1.0},
      {FsComparatorType::kSoundex, {}, "Robert", "Smith", 0.0},
      {FsComparatorType::kMetaphone, {}, "Catherine", "Kathryn", 1.0},
      {FsComparatorType::kMetaphone, {}, "Smith", "Schmidt", 0.5},  // primary = alternate
      {FsComparatorType::kMetaphone, {}, "Schmidt", "Smith", 0.5},
      {FsComparatorType::kMetaphone, {}, "Smith", "Jones", 0.0},
      {FsComparatorType::kCosine, {}, "night", "nacht", 0.25},
      {FsComparatorType::kCosine, {}, "a", "b", 0.0},
      {FsComparatorType::kCosine, {}, "a", "a", 1.0},  // equal before any comparator
      {FsComparatorType::kSoundex, "email", "A.B@x.com", "a.b@X.COM ", 1.0},
      {FsComparatorType::kExact, {}, "", "x", kNaN},  // empty counts as missing
      {FsComparatorType::kExact, {}, "", "", kNaN},
      {FsComparatorType::kExact, {}, nullptr, "x", kNaN},  // missing field
      {FsComparatorType::kExact, {}, "x", nullptr, kNaN},
      {FsComparatorType::kCosine, "name", nullptr, nullptr, kNaN},
  };
  for (const Row& r : rows) {
    const auto f = field("f", r.comparator, 0.9, 0.1, r.normalizer);
    const NormalizedEntity a = r.a ? entity(1, {{"f", r.a}}) : entity(1, {{"g", "x"}});
    const NormalizedEntity b = r.b ? entity(2, {{"f", r.b}}) : entity(2, {{"g", "x"}});
    const double got = compute_field_agreement(a, b, f);
    const std::string label = std::string(osmira_common::enum_text(r.comparator)) + " " +
                              (r.a ? r.a : "(missing)") + " / " + (r.b ? r.b : "(missing)");
    if (std::isnan(r.want)) {
      EXPECT_TRUE(std::isnan(got)) << label << " got " << got;
    } else {
      EXPECT_NEAR(got, r.want, 1e-12) << label;
    }
  }
}

TEST(BigramVector, CountsAdjacentCharacters) {
  const BigramVector v = bigram_vector("abab");
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v.at(Bigram{U'a', U'b'}), 2.0);
  EXPECT_EQ(v.at(Bigram{U'b', U'a'}), 1.0);
  EXPECT_TRUE(bigram_vector("é").empty());
  EXPECT_TRUE(bigram_vector("").empty());
  const BigramVector accented = bigram_vector("éA");
  ASSERT_EQ(accented.size(), 1u);
  EXPECT_EQ(accented.at(Bigram{U'é', U'A'}), 1.0);  // whole characters, case kept
  EXPECT_EQ(cosine_similarity(bigram_vector("a"), bigram_vector("ab")), 0.0);
}

// The comparator's cosine takes a path without maps; it must equal the plain definition.
TEST(BigramVector, CosineComparatorMatchesPlainDefinition) {
  const char* texts[] = {"night", "nacht", "banana", "bandana", "Straße", "strasse",
                         "aaaa",  "aa",    "ab",     "éléphant", "elephant", "xyzxyzxyz"};
  const auto f = field("f", FsComparatorType::kCosine);
  for (const char* x : texts) {
    for (const char* y : texts) {
      const double plain = x == std::string_view(y)
                               ? 1.0
                               : cosine_similarity(bigram_vector(x), bigram_vector(y));
      EXPECT_DOUBLE_EQ(compute_field_agreement(entity(1, {{"f", x}}), entity(2, {{"f", y}}), f),
                       plain)
          << x << " / " << y;
    }
  }
}

// ---- Random u estimation ---------------------------------------------------------------------

TEST(EstimateU, NothingToCompare) {
  const std::vector<ir::CompiledFsField> fields = {field("city", FsComparatorType::kExact)};
  const std::vector<NormalizedEntity> one = {entity(1, {{"city", "x"}})};
  EXPECT_TRUE(estimate_u_using_random_sampling(one, fields, 100).empty());
  const std::vector<NormalizedEntity> two = {entity(1, {{"city", "x"}}),
                                              entity(2, {{"city", "x"}})};
  EXPECT_TRUE(estimate_u_using_random_sampling(two, {}, 100).empty());
  // max_random_pairs 0: no pair is looked at, so no field gets an estimate.
  EXPECT_TRUE(estimate_u_using_random_sampling(two, fields, 0).empty());
}

TEST(EstimateU, AllPairsWhenTheyFitTheLimit) {
  // Four records, six pairs.
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"city", "Oslo"}, {"same", "s"}, {"never", "a"}, {"some", "x"}}),
      entity(2, {{"city", "Oslo"}, {"same", "s"}, {"never", "b"}}),
      entity(3, {{"city", "Rome"}, {"same", "s"}, {"never", "c"}, {"some", "x"}}),
      entity(4, {{"city", "Bern"}, {"same", "s"}, {"never", "d"}, {"some", "y"}}),
  };
  const std::vector<ir::CompiledFsField> fields = {
      field("city", FsComparatorType::kExact), field("same", FsComparatorType::kExact),
      field("never", FsComparatorType::kExact), field("some", FsComparatorType::kExact),
      field("absent", FsComparatorType::kExact)};
  for (uint64_t limit : {6ull, 7ull, 1'000'000ull}) {
    const ProbabilityMap u = estimate_u_using_random_sampling(records, fields, limit);
    EXPECT_DOUBLE_EQ(u.at("city"), 1.0 / 6.0) << limit;
    EXPECT_DOUBLE_EQ(u.at("same"), 0.5) << limit;     // mean 1.0, capped
    EXPECT_DOUBLE_EQ(u.at("never"), 0.001) << limit;  // mean 0.0, floored
    EXPECT_DOUBLE_EQ(u.at("some"), 1.0 / 3.0) << limit;  // only the 3 comparable pairs count
    EXPECT_FALSE(u.contains("absent")) << limit;
  }
}

TEST(EstimateU, SamplesDistinctPairsWhenLimited) {
  // Three records, three pairs with three different agreements; one pair is drawn.
  const std::vector<NormalizedEntity> records = {entity(1, {{"f", "aaaaaaaaaa"}}),
                                                 entity(2, {{"f", "aaaabbbbbb"}}),
                                                 entity(3, {{"f", "aabbbccccc"}})};
  const std::vector<ir::CompiledFsField> fields = {field("f", FsComparatorType::kLevenshtein)};
  std::set<double> candidates;
  for (size_t i = 0; i < 3; ++i) {
    for (size_t j = i + 1; j < 3; ++j) {
      const double a = compute_field_agreement(records[i], records[j], fields[0]);
      ASSERT_GT(a, 0.001);
      ASSERT_LT(a, 0.5);
      candidates.insert(a);
    }
  }
  ASSERT_EQ(candidates.size(), 3u);
  std::set<double> seen;
  for (uint64_t seed = 0; seed < 60; ++seed) {
    random::ChaCha8Rng rng = random::ChaCha8Rng::seed_from_u64(seed);
    const ProbabilityMap u = estimate_u_using_random_sampling(records, fields, 1, rng);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_TRUE(candidates.contains(u.at("f"))) << seed;
    seen.insert(u.at("f"));
  }
  EXPECT_EQ(seen, candidates);  // every pair can be drawn

  // Two of three pairs: the mean of two different pairs, never one pair twice.
  std::set<double> two_pair_means;
  for (double x : candidates) {
    for (double y : candidates) {
      if (x < y) two_pair_means.insert((x + y) / 2.0);
    }
  }
  for (uint64_t seed = 0; seed < 30; ++seed) {
    random::ChaCha8Rng rng = random::ChaCha8Rng::seed_from_u64(seed);
    const double got = estimate_u_using_random_sampling(records, fields, 2, rng).at("f");
    bool found = false;
    for (double m : two_pair_means) found = found || std::abs(m - got) < 1e-15;
    EXPECT_TRUE(found) << seed << " " << got;
  }
}

// ---- Training pairs --------------------------------------------------------------------------

TEST(TrainingPairs, BlockOrderAndMemberOrder) {
  // Keys: "b" holds r1, r2, r3 (external ids z, a, m); "a" holds r2, r4; "c" only r1.
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"keys", "b,c"}}, "z"), entity(2, {{"keys", "b,a"}}, "a"),
      entity(3, {{"keys", "b"}}, "m"), entity(4, {{"keys", "a"}}, "0"),
      entity(5, {}, "q")};
  const auto pairs = collect_training_pairs(listed_keys(), records);
  const std::vector<std::pair<int, int>> want = {{4, 2}, {2, 3}, {2, 1}, {3, 1}};
  ASSERT_EQ(pairs.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(pairs[k].first, &records[want[k].first - 1]) << k;
    EXPECT_EQ(pairs[k].second, &records[want[k].second - 1]) << k;
  }
}

TEST(TrainingPairs, EqualExternalIdsKeepInputOrderAndRepeatsCount) {
  // r2 and r1 share an external id: input order stays. r3 yields key "k" twice, so it is
  // listed twice, but never paired with itself; the pair (r1, r2) also shares block "j".
  const std::vector<NormalizedEntity> records = {entity(2, {{"keys", "k,j"}}, "same"),
                                                 entity(1, {{"keys", "k,j"}}, "same"),
                                                 entity(3, {{"keys", "k,k"}}, "x")};
  const auto pairs = collect_training_pairs(listed_keys(), records);
  const std::vector<std::pair<int, int>> want = {{0, 1}, {0, 1}, {0, 2}, {0, 2}, {1, 2}, {1, 2}};
  ASSERT_EQ(pairs.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(pairs[k].first, &records[want[k].first]) << k;
    EXPECT_EQ(pairs[k].second, &records[want[k].second]) << k;
  }
}

TEST(TrainingPairs, StopsAtTheLimitInBlockOrder) {
  // Block "a" of 150 records gives 11,175 pairs; only its first 10,000 are taken and block
  // "b" contributes none.
  std::vector<NormalizedEntity> records;
  for (uint32_t n = 0; n < 150; ++n) {
    char ext[8];
    std::snprintf(ext, sizeof ext, "%03u", 149 - n);  // reverse order in the input
    records.push_back(entity(n, {{"keys", "b,a"}}, ext));
  }
  const auto pairs = collect_training_pairs(listed_keys(), records);
  ASSERT_EQ(pairs.size(), kMaxTrainingPairs);
  // Member order is external id order, so position p holds records[149 - p].
  const auto at = [&](size_t p) { return &records[149 - p]; };
  EXPECT_EQ(pairs.front().first, at(0));
  EXPECT_EQ(pairs.front().second, at(1));
  // The 10,000th pair (i, j) in i-then-j order.
  size_t k = kMaxTrainingPairs - 1, i = 0;
  while (k >= 149 - i) k -= 149 - i, ++i;
  EXPECT_EQ(pairs.back().first, at(i));
  EXPECT_EQ(pairs.back().second, at(i + 1 + k));
}

TEST(TrainingPairs, NoStrategiesOrNoSharedKeys) {
  const std::vector<NormalizedEntity> records = {entity(1, {{"keys", "a"}}),
                                                 entity(2, {{"keys", "b"}})};
  EXPECT_TRUE(collect_training_pairs({}, records).empty());
  EXPECT_TRUE(collect_training_pairs(listed_keys(), records).empty());
  EXPECT_TRUE(collect_training_pairs(listed_keys(), {}).empty());
}

// ---- EM trainer ------------------------------------------------------------------------------

std::vector<TrainingPair> pairs_of(const std::vector<NormalizedEntity>& records) {
  std::vector<TrainingPair> pairs;
  for (size_t k = 0; k + 1 < records.size(); k += 2) {
    pairs.push_back({&records[k], &records[k + 1]});
  }
  return pairs;
}

TEST(EmTrainer, DegenerateInputs) {
  const std::vector<NormalizedEntity> records = {entity(1, {{"f", "x"}}), entity(2, {{"f", "x"}})};
  const std::vector<ir::CompiledFsField> fields = {field("f", FsComparatorType::kExact, 0.8, 0.3)};
  const EmTrainer trainer{10, 1e-6, false};

  const EmResult no_pairs = trainer.train({}, fields);
  EXPECT_TRUE(no_pairs.converged);
  EXPECT_EQ(no_pairs.iterations, 0u);
  EXPECT_TRUE(no_pairs.m_probabilities.empty());
  EXPECT_TRUE(no_pairs.log_likelihood_history.empty());

  const EmResult no_fields = trainer.train(pairs_of(records), {});
  EXPECT_TRUE(no_fields.converged);
  EXPECT_EQ(no_fields.iterations, 0u);
  EXPECT_TRUE(no_fields.u_probabilities.empty());

  const EmResult zero = EmTrainer{0, 1e-6, false}.train(pairs_of(records), fields);
  EXPECT_FALSE(zero.converged);
  EXPECT_EQ(zero.iterations, 0u);
  EXPECT_EQ(zero.m_probabilities.at("f"), 0.8);
  EXPECT_EQ(zero.u_probabilities.at("f"), 0.3);
  EXPECT_TRUE(zero.log_likelihood_history.empty());
}

// One field, one agreeing and one disagreeing pair, one iteration worked by hand.
TEST(EmTrainer, OneIterationByHand) {
  const std::vector<NormalizedEntity> records = {entity(1, {{"f", "x"}}), entity(2, {{"f", "x"}}),
                                                 entity(3, {{"f", "x"}}), entity(4, {{"f", "y"}})};
  const std::vector<ir::CompiledFsField> fields = {field("f", FsComparatorType::kExact, 0.9, 0.1)};
  const EmResult r = EmTrainer{1, 1e-6, false}.train(pairs_of(records), fields);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.iterations, 1u);
  // lambda = 0.1. Agreeing pair: 0.1*0.9 vs 0.9*0.1, w = 0.5. Disagreeing: 0.1*0.1 vs
  // 0.9*0.9, w = 0.01 / 0.82.
  const double w2 = 0.01 / 0.82;
  ASSERT_EQ(r.log_likelihood_history.size(), 1u);
  EXPECT_NEAR(r.log_likelihood_history[0], std::log(0.18) + std::log(0.82), 1e-12);
  EXPECT_NEAR(r.m_probabilities.at("f"), 0.5 / (0.5 + w2), 1e-12);
  EXPECT_NEAR(r.u_probabilities.at("f"), 0.5 / (0.5 + (1 - w2)), 1e-12);

  // Held u: only m moves.
  const EmResult fixed = EmTrainer{1, 1e-6, true}.train(pairs_of(records), fields);
  EXPECT_NEAR(fixed.m_probabilities.at("f"), 0.5 / (0.5 + w2), 1e-12);
  EXPECT_EQ(fixed.u_probabilities.at("f"), 0.1);
}

TEST(EmTrainer, ConvergenceStopsBeforeTheMStep) {
  const std::vector<NormalizedEntity> records = {entity(1, {{"f", "x"}}), entity(2, {{"f", "x"}}),
                                                 entity(3, {{"f", "x"}}), entity(4, {{"f", "y"}})};
  const std::vector<ir::CompiledFsField> fields = {field("f", FsComparatorType::kExact, 0.9, 0.1)};
  const auto pairs = pairs_of(records);
  // A huge threshold stops at the second E-step: the values are those of the first M-step.
  const EmResult stopped = EmTrainer{50, 1e9, false}.train(pairs, fields);
  const EmResult one = EmTrainer{1, 1e9, false}.train(pairs, fields);
  EXPECT_TRUE(stopped.converged);
  EXPECT_EQ(stopped.iterations, 2u);
  EXPECT_EQ(stopped.log_likelihood_history.size(), 2u);
  EXPECT_EQ(stopped.m_probabilities.at("f"), one.m_probabilities.at("f"));
  EXPECT_EQ(stopped.u_probabilities.at("f"), one.u_probabilities.at("f"));
  // A threshold of 0 never converges (the test is strict). These pairs reach a fixed point
  // in the fourth iteration; the history stops there, the result is that of all seven.
  const EmResult never = EmTrainer{7, 0.0, false}.train(pairs, fields);
  EXPECT_FALSE(never.converged);
  EXPECT_EQ(never.iterations, 7u);
  EXPECT_EQ(never.log_likelihood_history.size(), 4u);
  const EmResult three = EmTrainer{3, 0.0, false}.train(pairs, fields);
  EXPECT_EQ(three.log_likelihood_history.size(), 3u);
  EXPECT_EQ(three.m_probabilities, never.m_probabilities);
}

TEST(EmTrainer, FieldNeverComparableKeepsItsValues) {
  const std::vector<NormalizedEntity> records = {entity(1, {{"f", "x"}}), entity(2, {{"f", "x"}}),
                                                 entity(3, {{"f", "x"}}), entity(4, {{"f", "y"}})};
  const std::vector<ir::CompiledFsField> fields = {
      field("f", FsComparatorType::kExact, 0.9, 0.1),
      field("gone", FsComparatorType::kExact, 0.7, 0.2)};
  const EmResult r = EmTrainer{20, 1e-9, false}.train(pairs_of(records), fields);
  EXPECT_EQ(r.m_probabilities.at("gone"), 0.7);
  EXPECT_EQ(r.u_probabilities.at("gone"), 0.2);
}

// Twenty people, each recorded twice, five people to a zip code. Duplicates always agree on
// the name and mostly on the birth year; different people never share a name and only now
// and then a birth year. The gender field agrees about as often either way.
std::vector<NormalizedEntity> synthetic_records() {
  const char* names[] = {"alice", "bruno", "chloe", "dmitri", "elena",  "farid", "greta",
                         "hiro",  "ines",  "jonas", "kamala", "lars",   "maya",  "nils",
                         "olga",  "pavel", "quinn", "rosa",   "sven",   "tara"};
  std::vector<NormalizedEntity> records;
  uint32_t n = 0;
  for (int person = 0; person < 20; ++person) {
    const char* zips[] = {"z0", "z1", "z2", "z3"};
    const char* zip = zips[person % 4];
    const char* gender = (person / 4) % 2 == 0 ? "f" : "m";
    for (int copy = 0; copy < 2; ++copy) {
      const bool typo = copy == 1 && person % 5 == 0;
      const bool unknown = copy == 1 && person % 3 == 0;
      const std::string copy_year = std::to_string(typo ? 1950 + person : 1980 + person % 7);
      records.push_back(entity(++n, {{"name", names[person]},
                                     {"zip", zip},
                                     {"year", copy_year.c_str()},
                                     {"gender", unknown ? "x" : gender}}));
    }
  }
  return records;
}

ir::IdentityPlan training_plan(std::optional<std::string> estimate_u, double prior_weight,
                               uint64_t max_iterations = 100) {
  ir::IdentityPlan plan = testing::plan_with({});
  plan.blocking.keys = {testing::blocking_key({"zip"})};
  ir::CompiledFellegiSunterPlan fs;
  fs.fields = {field("name", FsComparatorType::kExact, 0.6, 0.4),
               field("gender", FsComparatorType::kExact, 0.6, 0.4, std::nullopt, 0.5),
               field("year", FsComparatorType::kExact, 0.6, 0.4)};
  fs.match_threshold = 2.0;
  fs.possible_threshold = 0.5;
  fs.max_composite = 123.0;  // stale on purpose: training recomputes both bounds
  fs.min_composite = -123.0;
  fs.em_training = ir::CompiledEmTraining{max_iterations, 1e-8, std::move(estimate_u), 1'000'000,
                                          prior_weight};
  plan.decision.scoring_method = ir::ScoringMethod::kFellegiSunter;
  plan.decision.fellegi_sunter = fs;
  return plan;
}

void expect_consistent(const ir::CompiledFellegiSunterPlan& fs) {
  double max_sum = 0.0, min_sum = 0.0;
  for (const auto& f : fs.fields) {
    EXPECT_GE(f.m_probability, 0.0001) << f.name;
    EXPECT_LE(f.m_probability, 0.9999) << f.name;
    EXPECT_GE(f.u_probability, 0.0001) << f.name;
    EXPECT_LE(f.u_probability, 0.9999) << f.name;
    EXPECT_DOUBLE_EQ(f.w_agree, std::log(f.m_probability / f.u_probability) * f.weight) << f.name;
    EXPECT_DOUBLE_EQ(f.w_disagree,
                     std::log((1 - f.m_probability) / (1 - f.u_probability)) * f.weight)
        << f.name;
    max_sum += f.w_agree;
    min_sum += f.w_disagree;
  }
  EXPECT_DOUBLE_EQ(fs.max_composite, max_sum);
  EXPECT_DOUBLE_EQ(fs.min_composite, min_sum);
}

TEST(EmTrainer, DiscriminatingFieldGetsMAboveU) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  const auto pairs = collect_training_pairs(listed_keys(), records);  // no "keys": no pairs
  ASSERT_TRUE(pairs.empty());
  ReconciliationEngine engine = ReconciliationEngine::from_plan(training_plan({}, 0.0));
  const auto block_pairs = collect_training_pairs(engine.settings().blocking_strategies, records);
  ASSERT_EQ(block_pairs.size(), 4u * 45u);  // four blocks of ten records

  const std::vector<ir::CompiledFsField> fields = engine.settings().fs_plan->fields;
  const EmResult r = EmTrainer{100, 1e-8, false}.train(block_pairs, fields);
  EXPECT_TRUE(r.converged);
  EXPECT_GT(r.m_probabilities.at("name"), 0.95);
  EXPECT_LT(r.u_probabilities.at("name"), 0.05);
  EXPECT_GT(r.m_probabilities.at("year"), 0.6);
  EXPECT_LT(r.u_probabilities.at("year"), 0.3);
  // The gender field tells matches apart less well than the name.
  EXPECT_LT(r.m_probabilities.at("gender") - r.u_probabilities.at("gender"),
            r.m_probabilities.at("name") - r.u_probabilities.at("name"));
  EXPECT_GT(r.log_likelihood_history.back(), r.log_likelihood_history.front());
}

// A threshold that the convergence test can never pass (0, negative or NaN) with a huge
// iteration bound: once an iteration leaves every value exactly as it was, all further
// iterations would repeat it, so the trainer ends with the values of the full run instead of
// spinning through the bound.
TEST(EmTrainer, UnreachableThresholdEndsAtAFixedPoint) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  ReconciliationEngine engine = ReconciliationEngine::from_plan(training_plan({}, 0.0));
  const auto pairs = collect_training_pairs(engine.settings().blocking_strategies, records);
  const std::vector<ir::CompiledFsField> fields = engine.settings().fs_plan->fields;
  const uint64_t kEndless = std::numeric_limits<uint64_t>::max();
  for (const bool fix_u : {false, true}) {
    const EmResult bounded = EmTrainer{5000, 0.0, fix_u}.train(pairs, fields);
    for (const double threshold : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
      const EmResult endless = EmTrainer{kEndless, threshold, fix_u}.train(pairs, fields);
      EXPECT_FALSE(endless.converged);
      EXPECT_EQ(endless.iterations, kEndless);
      EXPECT_LT(endless.log_likelihood_history.size(), 5000u);
      EXPECT_EQ(endless.m_probabilities, bounded.m_probabilities) << threshold;
      EXPECT_EQ(endless.u_probabilities, bounded.u_probabilities) << threshold;
    }
  }
}

// Plain EM that runs every iteration up to the bound, with no early stop of any kind: the
// reference for the trainer's shortcuts. The arithmetic is the trainer's, in the same order,
// so that results compare bit for bit.
struct ReferenceEm {
  std::vector<double> m, u;
  uint64_t iterations = 0;
  bool converged = false;
};

ReferenceEm reference_em(std::span<const TrainingPair> pairs,
                         std::span<const ir::CompiledFsField> fields, uint64_t max_iterations,
                         double threshold, bool fix_u) {
  const auto clamp = [](double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; };
  ReferenceEm r;
  for (const auto& f : fields) r.m.push_back(f.m_probability), r.u.push_back(f.u_probability);
  const size_t nf = fields.size();
  std::vector<std::vector<double>> a(pairs.size(), std::vector<double>(nf));
  for (size_t p = 0; p < pairs.size(); ++p) {
    for (size_t f = 0; f < nf; ++f) {
      a[p][f] = compute_field_agreement(*pairs[p].first, *pairs[p].second, fields[f]);
    }
  }
  r.iterations = max_iterations;
  double lambda = 0.1, previous = 0.0;
  std::vector<double> w(pairs.size());
  for (uint64_t t = 0; t < max_iterations; ++t) {
    lambda = clamp(lambda, 1e-10, 0.9999999999);
    double ll = 0.0;
    for (size_t p = 0; p < pairs.size(); ++p) {
      double lm = std::log(lambda), ln = std::log(1.0 - lambda);
      for (size_t f = 0; f < nf; ++f) {
        if (std::isnan(a[p][f])) continue;
        const double mf = clamp(r.m[f], 1e-10, 0.9999999999);
        const double uf = clamp(r.u[f], 1e-10, 0.9999999999);
        lm += a[p][f] * std::log(mf) + (1.0 - a[p][f]) * std::log(1.0 - mf);
        ln += a[p][f] * std::log(uf) + (1.0 - a[p][f]) * std::log(1.0 - uf);
      }
      const double shift = std::fmax(lm, ln);
      const double pll = shift + std::log(std::exp(lm - shift) + std::exp(ln - shift));
      w[p] = std::fmin(1.0, std::exp(lm - pll));
      ll += pll;
    }
    if (t > 0 && std::abs(ll - previous) < threshold) {
      r.converged = true;
      r.iterations = t + 1;
      break;
    }
    previous = ll;
    double sum = -0.0;
    for (double x : w) sum += x;
    lambda = clamp(sum / static_cast<double>(pairs.size()), 0.01, 0.99);
    for (size_t f = 0; f < nf; ++f) {
      double s_w = 0.0, s_wa = 0.0, s_v = 0.0, s_va = 0.0;
      for (size_t p = 0; p < pairs.size(); ++p) {
        if (std::isnan(a[p][f])) continue;
        s_w += w[p], s_wa += w[p] * a[p][f], s_v += 1.0 - w[p], s_va += (1.0 - w[p]) * a[p][f];
      }
      if (s_w > 1e-10) r.m[f] = clamp(s_wa / s_w, 0.01, 0.99);
      if (!fix_u && s_v > 1e-10) r.u[f] = clamp(s_va / s_v, 0.001, 0.99);
    }
  }
  return r;
}

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Compares a trainer result with the reference, bit for bit.
void expect_same_as_reference(const EmResult& got, const ReferenceEm& want,
                              std::span<const ir::CompiledFsField> fields,
                              const std::string& context) {
  EXPECT_EQ(got.iterations, want.iterations) << context;
  EXPECT_EQ(got.converged, want.converged) << context;
  for (size_t f = 0; f < fields.size(); ++f) {
    EXPECT_EQ(bits(got.m_probabilities.at(fields[f].name)), bits(want.m[f]))
        << context << " m of " << fields[f].name;
    EXPECT_EQ(bits(got.u_probabilities.at(fields[f].name)), bits(want.u[f]))
        << context << " u of " << fields[f].name;
  }
}

// Records in one block ("keys" k) with fields v and w, given as "v/w" texts ("v/" leaves w out).
std::vector<NormalizedEntity> block_records(std::initializer_list<const char*> texts) {
  std::vector<NormalizedEntity> records;
  for (const std::string text : texts) {
    const size_t slash = text.find('/');
    const std::string v = text.substr(0, slash);
    const std::string w = slash == std::string::npos ? "" : text.substr(slash + 1);
    records.push_back(entity(static_cast<uint32_t>(records.size() + 1),
                             {{"v", v.c_str()}, {"w", w.c_str()}, {"keys", "k"}}));
  }
  return records;
}

// Workloads on which EM never settles: from some iteration on, the state (m, u and the match
// proportion) runs round a cycle of `period` iterations while the log-likelihood no longer
// moves, so only a positive convergence threshold stops it. The first is four records whose single
// Levenshtein field makes m alternate between 0.7424999999999999 and 0.7425.
struct CycleCase {
  const char* name;
  std::vector<NormalizedEntity> records;
  std::vector<ir::CompiledFsField> fields;
  uint64_t period;
};

std::vector<CycleCase> cycle_cases() {
  std::vector<CycleCase> cases;
  cases.push_back({"period 2", block_records({"aaaa", "bbbb", "bbbb", "baaa"}),
                   {field("v", FsComparatorType::kLevenshtein)}, 2});
  cases.push_back({"period 3", block_records({"baab", "aa", "ba", "abab"}),
                   {field("v", FsComparatorType::kJaroWinkler)}, 3});
  cases.push_back({"period 5, two fields", block_records({"a/bb", "bb/abb", "aba/abb", "bbab/b", "a/b"}),
                   {field("v", FsComparatorType::kJaroWinkler),
                    field("w", FsComparatorType::kJaroWinkler)}, 5});
  cases.push_back({"period 7", block_records({"baba", "aa", "abaa", "aaab"}),
                   {field("v", FsComparatorType::kJaroWinkler)}, 7});
  return cases;
}

TEST(EmTrainer, CycleEndsWhereTheFullRunWouldEnd) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const uint64_t kEndless = std::numeric_limits<uint64_t>::max();
  for (const CycleCase& c : cycle_cases()) {
    const auto pairs = collect_training_pairs(listed_keys(), c.records);
    // The cycle is real and has exactly this period in the plain run (from iteration 1000 on).
    std::vector<ReferenceEm> plain;
    for (uint64_t k = 0; k <= c.period; ++k) {
      plain.push_back(reference_em(pairs, c.fields, 1000 + k, 0.0, false));
    }
    for (uint64_t k = 1; k < c.period; ++k) {
      ASSERT_NE(plain[k].m, plain[0].m) << c.name << " after " << k;
    }
    ASSERT_EQ(plain[c.period].m, plain[0].m) << c.name;

    for (const uint64_t iterations : {kEndless, kEndless - 1, kEndless - 2, kEndless - 3,
                                      uint64_t{1} << 40, (uint64_t{1} << 40) + 1}) {
      const ReferenceEm& want = plain[(iterations - 1000) % c.period];
      for (const double threshold : {0.0, -1.0, nan, -std::numeric_limits<double>::infinity()}) {
        const std::string context = std::string(c.name) + " iterations " +
                                    std::to_string(iterations) + " threshold " +
                                    std::to_string(threshold);
        const EmResult r = EmTrainer{iterations, threshold, false}.train(pairs, c.fields);
        EXPECT_FALSE(r.converged) << context;
        EXPECT_EQ(r.iterations, iterations) << context;
        EXPECT_LT(r.log_likelihood_history.size(), 1000u) << context;
        for (size_t f = 0; f < c.fields.size(); ++f) {
          EXPECT_EQ(bits(r.m_probabilities.at(c.fields[f].name)), bits(want.m[f])) << context;
          EXPECT_EQ(bits(r.u_probabilities.at(c.fields[f].name)), bits(want.u[f])) << context;
        }
      }
    }
  }
}

// Every bounded run gives exactly what running all its iterations gives, whether the
// trainer stops early at a fixed point, jumps along a cycle or runs to the end.
TEST(EmTrainer, BoundedRunsEqualThePlainRunBitForBit) {
  const std::vector<NormalizedEntity> people = synthetic_records();
  ReconciliationEngine engine = ReconciliationEngine::from_plan(training_plan({}, 0.0));
  const std::vector<NormalizedEntity> lone = {entity(1, {{"v", "ab"}}), entity(2, {{"v", "ab"}}),
                                              entity(3, {{"v", "ab"}}), entity(4, {{"w", "x"}})};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    std::string name;
    std::vector<TrainingPair> pairs;
    std::vector<ir::CompiledFsField> fields;
  };
  const std::vector<CycleCase> cycles = cycle_cases();
  std::vector<Row> rows;
  for (const CycleCase& c : cycles) {
    rows.push_back({c.name, collect_training_pairs(listed_keys(), c.records), c.fields});
  }
  rows.push_back({"period 2 from another start", rows[0].pairs,
                  {field("v", FsComparatorType::kLevenshtein, 0.3, 0.6)}});
  rows.push_back({"fixed point", collect_training_pairs(engine.settings().blocking_strategies, people),
                  engine.settings().fs_plan->fields});
  rows.push_back({"NaN start", pairs_of(lone),
                  {field("v", FsComparatorType::kExact, nan, 0.2),
                   field("w", FsComparatorType::kExact)}});
  rows.push_back({"one pair", pairs_of(lone),
                  {field("v", FsComparatorType::kJaroWinkler, 0.5, 0.5)}});
  const auto& kRows = rows;
  for (const auto& row : kRows) {
    for (const bool fix_u : {false, true}) {
      for (const double threshold : {0.0, -1.0, nan, 1e-300, 1e-8}) {
        for (uint64_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 31, 32, 33, 100, 257, 258, 259, 260,
                           261, 262, 263, 1000, 1001}) {
          const std::string context = row.name + " fix_u " + std::to_string(fix_u) +
                                      " threshold " + std::to_string(threshold) + " n " +
                                      std::to_string(n);
          expect_same_as_reference(EmTrainer{n, threshold, fix_u}.train(row.pairs, row.fields),
                                   reference_em(row.pairs, row.fields, n, threshold, fix_u),
                                   row.fields, context);
        }
      }
    }
  }
}

// ---- Blending the result ---------------------------------------------------------------------

TEST(ApplyEmResults, PriorWeightBlendsAndClamps) {
  struct Row {
    double prior_weight;
    double want_m;
    double want_u;
  };
  // Prior (0.8, 0.2), trained (1.0, 0.0).
  const Row rows[] = {
      {1.0, 0.8, 0.2},   {0.0, 0.9999, 0.0001}, {0.5, 0.9, 0.1},
      {7.0, 0.8, 0.2},   {-3.0, 0.9999, 0.0001},
      // Not a number: the default weight 0.7, never NaN parameters.
      {std::numeric_limits<double>::quiet_NaN(), 0.7 * 0.8 + 0.3, 0.7 * 0.2},
  };
  for (const Row& r : rows) {
    ir::CompiledFellegiSunterPlan plan;
    plan.fields = {field("a", FsComparatorType::kExact, 0.8, 0.2, std::nullopt, 2.0),
                   field("untouched", FsComparatorType::kExact, 0.7, 0.3)};
    const ir::CompiledFsField untouched = plan.fields[1];
    EmResult result;
    result.m_probabilities = {{"a", 1.0}, {"untouched", 0.5}};  // no u for "untouched"
    result.u_probabilities = {{"a", 0.0}};
    PriorMap priors = {{"a", {0.8, 0.2}}};
    apply_em_results(plan, result, priors, r.prior_weight);
    EXPECT_NEAR(plan.fields[0].m_probability, r.want_m, 1e-12) << r.prior_weight;
    EXPECT_NEAR(plan.fields[0].u_probability, r.want_u, 1e-12) << r.prior_weight;
    EXPECT_EQ(plan.fields[1], untouched) << r.prior_weight;
    expect_consistent(plan);
  }
}

TEST(ApplyEmResults, EmptyResultOnlyRecomputesComposites) {
  ir::CompiledFellegiSunterPlan plan;
  plan.fields = {field("a", FsComparatorType::kExact, 0.8, 0.2),
                 field("b", FsComparatorType::kExact, 0.6, 0.3)};
  plan.max_composite = 99.0;
  const auto fields = plan.fields;
  apply_em_results(plan, EmResult{}, {}, 0.5);
  EXPECT_EQ(plan.fields, fields);
  EXPECT_DOUBLE_EQ(plan.max_composite, fields[0].w_agree + fields[1].w_agree);
  EXPECT_DOUBLE_EQ(plan.min_composite, fields[0].w_disagree + fields[1].w_disagree);

  ir::CompiledFellegiSunterPlan empty;
  empty.max_composite = 5.0;
  empty.min_composite = 5.0;
  apply_em_results(empty, EmResult{}, {}, 0.5);
  EXPECT_EQ(empty.max_composite, 0.0);
  EXPECT_TRUE(std::signbit(empty.max_composite));  // the sum starts from -0.0
  EXPECT_TRUE(std::signbit(empty.min_composite));
}

// ---- The whole training step -----------------------------------------------------------------

TEST(TrainFellegiSunter, NothingToTrain) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  {
    ReconciliationEngine engine = ReconciliationEngine::from_plan(testing::plan_with({}));
    train_fellegi_sunter(engine, records);
    EXPECT_FALSE(engine.settings().fs_plan.has_value());
  }
  {
    ir::IdentityPlan plan = training_plan({}, 0.0);
    plan.decision.fellegi_sunter->em_training.reset();
    ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
    train_fellegi_sunter(engine, records);
    EXPECT_EQ(*engine.settings().fs_plan, *plan.decision.fellegi_sunter);  // composites not even touched
  }
  {
    // max_iterations 0 without u estimation: unchanged.
    const ir::IdentityPlan plan = training_plan({}, 0.0, 0);
    ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
    train_fellegi_sunter(engine, records);
    EXPECT_EQ(*engine.settings().fs_plan, *plan.decision.fellegi_sunter);
  }
  {
    // No two records share a block: unchanged. An unknown estimate_u value is no estimate.
    const ir::IdentityPlan plan = training_plan("Random_Sampling", 0.0);
    ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
    const std::vector<NormalizedEntity> apart = {entity(1, {{"name", "a"}, {"zip", "1"}}),
                                                 entity(2, {{"name", "a"}, {"zip", "2"}})};
    train_fellegi_sunter(engine, apart);
    EXPECT_EQ(*engine.settings().fs_plan, *plan.decision.fellegi_sunter);
  }
}

// A raised flag stops training (the u estimate, the pair collection, EM) with Cancelled and
// leaves the engine's parameters as they were; a flag never raised changes nothing.
TEST(TrainFellegiSunter, StopsOnARaisedCancelFlag) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  osmira_base::CancelFlag raised;
  raised.raise();
  const osmira_base::CancelFlag lowered;
  for (const char* estimate_u : {"", "random_sampling"}) {
    const ir::IdentityPlan plan =
        training_plan(*estimate_u ? std::optional<std::string>(estimate_u) : std::nullopt, 0.3);
    ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
    EXPECT_THROW(train_fellegi_sunter(engine, records, &raised), osmira_base::Cancelled);
    EXPECT_EQ(*engine.settings().fs_plan, *plan.decision.fellegi_sunter) << estimate_u;

    if (*estimate_u) continue;  // the random estimate differs from run to run
    train_fellegi_sunter(engine, records, &lowered);
    ReconciliationEngine plain = ReconciliationEngine::from_plan(plan);
    train_fellegi_sunter(plain, records);
    EXPECT_EQ(*engine.settings().fs_plan, *plain.settings().fs_plan);
  }
  const auto pairs = collect_training_pairs(
      ReconciliationEngine::from_plan(training_plan({}, 0.0)).settings().blocking_strategies,
      records);
  ASSERT_FALSE(pairs.empty());
  const EmTrainer trainer{1'000'000, 0.0, false};
  const ir::IdentityPlan plan = training_plan({}, 0.0);
  EXPECT_THROW(trainer.train(pairs, plan.decision.fellegi_sunter->fields, &raised),
               osmira_base::Cancelled);
}

TEST(TrainFellegiSunter, RandomUAppliedEvenWithoutPairs) {
  // Two records sharing no block: EM never runs, but the u estimate (over the one pair) is
  // applied, m is clamped and every weight and bound is recomputed.
  ir::IdentityPlan plan = training_plan("random_sampling", 0.7);
  plan.decision.fellegi_sunter->fields[0].m_probability = 1.0;  // clamped to 0.9999
  ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  const std::vector<NormalizedEntity> apart = {
      entity(1, {{"name", "ann"}, {"zip", "1"}, {"gender", "f"}}),
      entity(2, {{"name", "bob"}, {"zip", "2"}, {"gender", "f"}})};
  train_fellegi_sunter(engine, apart);
  const auto& fs = *engine.settings().fs_plan;
  EXPECT_EQ(fs.fields[0].m_probability, 0.9999);
  EXPECT_EQ(fs.fields[0].u_probability, 0.001);  // names disagree: floor
  EXPECT_EQ(fs.fields[1].m_probability, 0.6);
  EXPECT_EQ(fs.fields[1].u_probability, 0.5);  // genders agree: cap
  expect_consistent(fs);
}

TEST(TrainFellegiSunter, RandomUIsHeldThroughEmAndBlendedWithTheCompiledU) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  const double prior_weight = 0.3;
  const ir::IdentityPlan plan = training_plan("random_sampling", prior_weight);
  ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  train_fellegi_sunter(engine, records);  // 780 pairs, below the limit: no sampling

  const auto& compiled = plan.decision.fellegi_sunter->fields;
  const ProbabilityMap sampled = estimate_u_using_random_sampling(records, compiled, 1'000'000);
  const auto& fs = *engine.settings().fs_plan;
  for (size_t f = 0; f < compiled.size(); ++f) {
    const double want = prior_weight * compiled[f].u_probability +
                        (1 - prior_weight) * sampled.at(compiled[f].name);
    EXPECT_DOUBLE_EQ(fs.fields[f].u_probability, want) << compiled[f].name;
  }
  EXPECT_GT(fs.fields[0].m_probability, fs.fields[0].u_probability);
  expect_consistent(fs);
}

TEST(TrainFellegiSunter, DiscriminatingFieldEndsWithPositiveAgreementWeight) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  ReconciliationEngine engine = ReconciliationEngine::from_plan(training_plan({}, 0.0));
  train_fellegi_sunter(engine, records);
  const auto& fs = *engine.settings().fs_plan;
  const auto& name = fs.fields[0];
  EXPECT_GT(name.w_agree, 2.0);
  EXPECT_LT(name.w_disagree, -2.0);
  EXPECT_EQ(fs.match_threshold, 2.0);  // thresholds untouched
  EXPECT_EQ(fs.possible_threshold, 0.5);
  expect_consistent(fs);

  // Deterministic without random sampling.
  ReconciliationEngine again = ReconciliationEngine::from_plan(training_plan({}, 0.0));
  train_fellegi_sunter(again, records);
  EXPECT_EQ(*again.settings().fs_plan, fs);
}

TEST(TrainFellegiSunter, WithoutRandomSamplingEmReestimatesU) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  const double prior_weight = 0.25;
  const ir::IdentityPlan plan = training_plan({}, prior_weight);
  ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  const auto pairs = collect_training_pairs(engine.settings().blocking_strategies, records);
  train_fellegi_sunter(engine, records);

  const auto& compiled = plan.decision.fellegi_sunter->fields;
  const EmResult trained = EmTrainer{100, 1e-8, false}.train(pairs, compiled);
  for (size_t f = 0; f < compiled.size(); ++f) {
    const std::string& name = compiled[f].name;
    const double u = engine.settings().fs_plan->fields[f].u_probability;
    EXPECT_NE(u, compiled[f].u_probability) << name;
    EXPECT_DOUBLE_EQ(u, std::clamp(prior_weight * compiled[f].u_probability +
                                       (1 - prior_weight) * trained.u_probabilities.at(name),
                                   0.0001, 0.9999))
        << name;
  }
  expect_consistent(*engine.settings().fs_plan);
}

TEST(TrainFellegiSunter, PriorWeightOneKeepsThePriors) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  ir::IdentityPlan plan = training_plan({}, 1.0);
  plan.decision.fellegi_sunter->fields[1].u_probability = 0.0;  // clamped to 0.0001
  ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  train_fellegi_sunter(engine, records);
  const auto& fs = *engine.settings().fs_plan;
  EXPECT_EQ(fs.fields[0].m_probability, 0.6);
  EXPECT_EQ(fs.fields[0].u_probability, 0.4);
  EXPECT_EQ(fs.fields[1].u_probability, 0.0001);
  expect_consistent(fs);
}

TEST(TrainFellegiSunter, FieldMissingEverywhereKeepsItsStartThenBlends) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  ir::IdentityPlan plan = training_plan({}, 0.25);
  plan.decision.fellegi_sunter->fields.push_back(
      field("ssn", FsComparatorType::kExact, 0.95, 0.02));
  ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  train_fellegi_sunter(engine, records);
  const auto& ssn = engine.settings().fs_plan->fields[3];
  EXPECT_DOUBLE_EQ(ssn.m_probability, 0.25 * 0.95 + 0.75 * 0.95);
  EXPECT_DOUBLE_EQ(ssn.u_probability, 0.25 * 0.02 + 0.75 * 0.02);
  expect_consistent(*engine.settings().fs_plan);
}

TEST(TrainFellegiSunter, MaxIterationsZeroKeepsOnlyTheUEstimate) {
  const std::vector<NormalizedEntity> records = synthetic_records();
  const ir::IdentityPlan plan = training_plan("random_sampling", 0.5, 0);
  ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
  train_fellegi_sunter(engine, records);
  const auto& compiled = plan.decision.fellegi_sunter->fields;
  const ProbabilityMap sampled = estimate_u_using_random_sampling(records, compiled, 1'000'000);
  for (size_t f = 0; f < compiled.size(); ++f) {
    EXPECT_EQ(engine.settings().fs_plan->fields[f].m_probability, compiled[f].m_probability);
    EXPECT_EQ(engine.settings().fs_plan->fields[f].u_probability, sampled.at(compiled[f].name));
  }
  expect_consistent(*engine.settings().fs_plan);
}

TEST(TrainFellegiSunter, SupersededCopiesDoNotTrain) {
  // Earlier copies of identifiers that later records carry (the old data of updated records)
  // train nothing: the parameters are those of the list without them, for EM pairs and for
  // the u estimate alike.
  const std::vector<NormalizedEntity> standing = synthetic_records();  // identifiers 1..40
  const auto old_copy = [](uint32_t n, const char* zip) {
    return entity(n, {{"name", "zed"}, {"zip", zip}, {"year", "1900"}, {"gender", "f"}});
  };
  struct Row {
    const char* name;
    std::vector<std::pair<size_t, NormalizedEntity>> inserted;  // (position, record)
  };
  const std::vector<Row> rows = {
      {"old copy first, in a shared block", {{0, old_copy(5, "z0")}}},
      {"old copies in the middle", {{10, old_copy(40, "z3")}, {20, old_copy(30, "z1")}}},
      {"old copies pairing only with each other", {{0, old_copy(3, "z9")}, {1, old_copy(4, "z9")}}},
      {"two old copies of one identifier", {{0, old_copy(8, "z2")}, {5, old_copy(8, "z1")}}},
  };
  for (const char* estimate_u : {"", "random_sampling"}) {
    const ir::IdentityPlan plan =
        training_plan(*estimate_u ? std::optional<std::string>(estimate_u) : std::nullopt, 0.2);
    ReconciliationEngine reference = ReconciliationEngine::from_plan(plan);
    train_fellegi_sunter(reference, standing);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + ", estimate_u '" + estimate_u + "'");
      std::vector<NormalizedEntity> records = standing;
      for (const auto& [at, record] : row.inserted) records.insert(records.begin() + at, record);
      ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
      train_fellegi_sunter(engine, records);
      EXPECT_EQ(*engine.settings().fs_plan, *reference.settings().fs_plan);
    }
  }
}

}  // namespace
}  // namespace osmira_core::engine::fellegi_sunter
