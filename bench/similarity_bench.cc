// Pairs per second for each similarity function and phonetic encoder on name-like texts,
// ASCII and non-ASCII, plus block keys per second for plan and LSH blocking. Prints figures
// only.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "core/engine/blocking/lsh.h"
#include "core/engine/blocking/plan_blocking.h"
#include "core/engine/phonetic.h"
#include "core/engine/random.h"
#include "core/engine/similarity.h"

namespace {

using namespace osmira_core::engine;

// Runs `fn` over all ordered pairs of `texts` until about half a second has passed; prints
// pairs per second.
template <typename Fn>
void measure_pairs(const char* label, const std::vector<std::string>& texts, Fn fn) {
  double sink = 0.0;  // keeps the results alive so that the calls are not optimised away
  const Timed t = repeat_for_half_second([&] {
    for (const std::string& a : texts) {
      for (const std::string& b : texts) sink += static_cast<double>(fn(a, b));
    }
    return texts.size() * texts.size();
  });
  std::printf("%-36s %12.0f pairs/s  (%6.1f ns/pair, checksum %.3f)\n", label, t.per_second(),
              t.nanos_each(), sink);
}

template <typename Fn>
void measure_calls(const char* label, const std::vector<std::string>& texts, Fn fn) {
  size_t sink = 0;
  const Timed t = repeat_for_half_second([&] {
    for (const std::string& a : texts) sink += fn(a);
    return texts.size();
  });
  std::printf("%-36s %12.0f calls/s  (%6.1f ns/call, checksum %zu)\n", label, t.per_second(),
              t.nanos_each(), sink);
}

std::vector<std::string> ascii_names() {
  return {"MARTHA",   "MARHTA",  "Jonathan Smith", "Jon Smyth",  "Catherine", "Katharine",
          "Robert",   "Rupert",  "Elizabeth",      "Elisabeth",  "Schmidt",   "Smith",
          "McDonald", "MacDonald", "Christopher",  "Kristopher", "Ann",       "Anne",
          "Alexander Hamilton", "Alexandra Hamilton"};
}

std::vector<std::string> unicode_names() {
  return {"José",   "Jose",     "Müller",  "Mueller",  "Zoë Saldaña", "Zoe Saldana",
          "François", "Francois", "Łukasz", "Lukasz",  "渡辺",        "渡邊",
          "Ἀθῆναι", "Athenai",  "Dvořák",  "Dvorak"};
}

std::vector<std::string> long_texts() {
  std::vector<std::string> out;
  for (int k = 0; k < 8; ++k) {
    std::string s;
    for (int i = 0; i < 200; ++i) s += static_cast<char>('a' + (i * (k + 3)) % 7);
    out.push_back(s);
  }
  return out;
}

}  // namespace

int main() {
  const auto ascii = ascii_names();
  const auto unicode = unicode_names();
  const auto longer = long_texts();

  std::printf("-- similarity (pairs of name-like texts)\n");
  measure_pairs("jaro_winkler (ascii)", ascii, jaro_winkler);
  measure_pairs("jaro_winkler (non-ascii)", unicode, jaro_winkler);
  measure_pairs("levenshtein (ascii)", ascii, levenshtein);
  measure_pairs("levenshtein (non-ascii)", unicode, levenshtein);
  measure_pairs("normalized_levenshtein (ascii)", ascii, normalized_levenshtein);
  measure_pairs("normalized_levenshtein (non-ascii)", unicode, normalized_levenshtein);
  measure_pairs("bigram_cosine_similarity (ascii)", ascii, bigram_cosine_similarity);
  measure_pairs("bigram_cosine_similarity (non-ascii)", unicode, bigram_cosine_similarity);
  measure_pairs("levenshtein (200 chars)", longer, levenshtein);
  measure_pairs("jaro_winkler (200 chars)", longer, jaro_winkler);
  measure_pairs("soundex pair (ascii)", ascii,
                [](const std::string& a, const std::string& b) { return soundex(a) == soundex(b); });
  measure_pairs("double_metaphone pair (ascii)", ascii, [](const std::string& a, const std::string& b) {
    return double_metaphone(a).primary == double_metaphone(b).primary;
  });

  std::printf("-- encoders and hashing (single texts)\n");
  measure_calls("soundex (ascii)", ascii, [](const std::string& s) { return soundex(s).size(); });
  measure_calls("double_metaphone (ascii)", ascii,
                [](const std::string& s) { return double_metaphone(s).primary.size(); });
  measure_calls("double_metaphone (non-ascii)", unicode,
                [](const std::string& s) { return double_metaphone(s).primary.size(); });
  measure_calls("seahash", ascii, [](const std::string& s) {
    return static_cast<size_t>(random::seahash(s) & 1);
  });

  std::printf("-- blocking (records)\n");
  using osmira_common::ir::BlockingKey;
  using T = osmira_common::ir::BlockingTransformation;
  const blocking::PlanBlocking plan({BlockingKey{{"last_name", "zip"}, {T::kSoundex}},
                                     BlockingKey{{"first_name"}, {T::kNormalizeName}},
                                     BlockingKey{{"last_name"}, {T::kTrigrams}}});
  auto lsh = blocking::lsh::LshBlocking::create({"first_name", "last_name"}, 20, 5);
  std::vector<types::NormalizedEntity> records;
  for (size_t k = 0; k < ascii.size(); ++k) {
    types::NormalizedEntity e;
    e.data.emplace("first_name", ascii[k]);
    e.data.emplace("last_name", ascii[(k + 3) % ascii.size()]);
    e.data.emplace("zip", std::to_string(94100 + k));
    records.push_back(std::move(e));
  }
  for (const auto& [label, strategy] :
       {std::pair<const char*, const blocking::BlockingStrategy*>{"plan blocking (3 keys)", &plan},
        {"lsh blocking (20 bands x 5 rows)", &*lsh}}) {
    size_t sink = 0;
    const Timed t = repeat_for_half_second([&] {
      for (const auto& r : records) sink += strategy->generate_block_key(r).size();
      return records.size();
    });
    std::printf("%-36s %12.0f records/s  (%6.1f ns/record, keys %zu)\n", label, t.per_second(),
                t.nanos_each(), sink);
  }
  return 0;
}
