// Pairs per second for each similarity function and phonetic encoder on name-like texts,
// ASCII and non-ASCII (string forms, and the forms on characters decoded once), plus block keys per second for plan and LSH blocking. Prints figures
// only.
#include <cstdio>
#include <string>
#include <vector>

#include "base/unicode.h"
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

// The same over the characters decoded once per text, with one explicit scratch (the form
// the pair loop uses).
template <typename Fn>
void measure_prepared(const char* label, const std::vector<std::string>& texts, Fn fn) {
  std::vector<std::vector<char32_t>> points(texts.size());
  std::vector<TextChars> chars;
  for (size_t k = 0; k < texts.size(); ++k) {
    if (osmira_base::unicode::is_ascii(texts[k])) {
      chars.push_back(TextChars::ascii(texts[k]));
    } else {
      decode_text(texts[k], points[k]);
      chars.push_back(TextChars::wide(points[k].data(), points[k].size()));
    }
  }
  SimilarityScratch scratch;
  double sink = 0.0;
  const Timed t = repeat_for_half_second([&] {
    for (const TextChars& a : chars) {
      for (const TextChars& b : chars) sink += static_cast<double>(fn(a, b, scratch));
    }
    return chars.size() * chars.size();
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

// A pair function of two strings calling the string_view form of `fn`.
#define PAIR(fn) [](const std::string& a, const std::string& b) { return fn(a, b); }

int main() {
  const auto ascii = ascii_names();
  const auto unicode = unicode_names();
  const auto longer = long_texts();

  std::printf("-- similarity (pairs of name-like texts)\n");
  measure_pairs("jaro_winkler (ascii)", ascii, PAIR(jaro_winkler));
  measure_pairs("jaro_winkler (non-ascii)", unicode, PAIR(jaro_winkler));
  measure_pairs("levenshtein (ascii)", ascii, PAIR(levenshtein));
  measure_pairs("levenshtein (non-ascii)", unicode, PAIR(levenshtein));
  measure_pairs("normalized_levenshtein (ascii)", ascii, PAIR(normalized_levenshtein));
  measure_pairs("normalized_levenshtein (non-ascii)", unicode, PAIR(normalized_levenshtein));
  measure_pairs("bigram_cosine_similarity (ascii)", ascii, PAIR(bigram_cosine_similarity));
  measure_pairs("bigram_cosine_similarity (non-ascii)", unicode, PAIR(bigram_cosine_similarity));
  measure_pairs("levenshtein (200 chars)", longer, PAIR(levenshtein));
  measure_pairs("jaro_winkler (200 chars)", longer, PAIR(jaro_winkler));
  const auto prepared_jw = [](const TextChars& a, const TextChars& b, SimilarityScratch& s) {
    return jaro_winkler(a, b, s);
  };
  const auto prepared_lev = [](const TextChars& a, const TextChars& b, SimilarityScratch& s) {
    return levenshtein(a, b, s);
  };
  measure_prepared("jaro_winkler prepared (ascii)", ascii, prepared_jw);
  measure_prepared("jaro_winkler prepared (non-ascii)", unicode, prepared_jw);
  measure_prepared("levenshtein prepared (ascii)", ascii, prepared_lev);
  measure_prepared("levenshtein prepared (non-ascii)", unicode, prepared_lev);
  measure_prepared("levenshtein prepared (200 chars)", longer, prepared_lev);
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
