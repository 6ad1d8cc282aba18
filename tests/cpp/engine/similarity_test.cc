#include "core/engine/similarity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/unicode.h"

namespace osmira_core::engine {
namespace {

// ---- Plain reference implementations ---------------------------------------------------------

std::u32string points(std::string_view s) {
  std::u32string out;
  for (size_t pos = 0; pos < s.size();) out.push_back(osmira_base::unicode::decode_utf8(s, pos));
  return out;
}

// The whole (|a|+1) x (|b|+1) table, computed row by row.
size_t reference_levenshtein(std::string_view sa, std::string_view sb) {
  const std::u32string a = points(sa), b = points(sb);
  std::vector<size_t> prev(b.size() + 1), row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      row[j] = std::min({prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
    std::swap(prev, row);
  }
  return prev[b.size()];
}

// Textbook Jaro: scan the window of each character of a for the first unused equal
// character of b.
double reference_jaro(std::string_view sa, std::string_view sb) {
  const std::u32string a = points(sa), b = points(sb);
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;
  const size_t half = std::max(a.size(), b.size()) / 2;
  const size_t window = half > 0 ? half - 1 : 0;
  std::vector<bool> used_a(a.size()), used_b(b.size());
  size_t matches = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const size_t lo = i > window ? i - window : 0;
    const size_t hi = std::min(b.size(), i + window + 1);
    for (size_t j = lo; j < hi; ++j) {
      if (!used_b[j] && a[i] == b[j]) {
        used_a[i] = used_b[j] = true;
        ++matches;
        break;
      }
    }
  }
  if (matches == 0) return 0.0;
  std::u32string ma, mb;
  for (size_t i = 0; i < a.size(); ++i) {
    if (used_a[i]) ma.push_back(a[i]);
  }
  for (size_t j = 0; j < b.size(); ++j) {
    if (used_b[j]) mb.push_back(b[j]);
  }
  size_t half_transpositions = 0;
  for (size_t k = 0; k < ma.size(); ++k) half_transpositions += ma[k] != mb[k];
  const double m = static_cast<double>(matches);
  return (m / a.size() + m / b.size() + (m - half_transpositions / 2) / m) / 3.0;
}

double reference_jaro_winkler(std::string_view sa, std::string_view sb) {
  const double j = reference_jaro(sa, sb);
  if (j <= 0.7) return j;
  const std::u32string a = points(sa), b = points(sb);
  size_t prefix = 0;
  while (prefix < 4 && prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) {
    ++prefix;
  }
  return j + 0.1 * prefix * (1.0 - j);
}

double reference_bigram_cosine(std::string_view sa, std::string_view sb) {
  const auto vec = [](std::string_view s) {
    const std::u32string p = points(s);
    std::map<std::pair<char32_t, char32_t>, double> v;
    for (size_t k = 1; k < p.size(); ++k) v[{p[k - 1], p[k]}] += 1.0;
    return v;
  };
  const auto x = vec(sa), y = vec(sb);
  if (x.empty() || y.empty()) return 0.0;
  double dot = 0.0, nx = 0.0, ny = 0.0;
  for (const auto& [key, count] : x) {
    const auto it = y.find(key);
    if (it != y.end()) dot += count * it->second;
    nx += count * count;
  }
  for (const auto& [key, count] : y) ny += count * count;
  return dot / (std::sqrt(ny) * std::sqrt(nx));
}

// Random texts over a small alphabet (so that matches and long runs of matches are common),
// optionally mixing in two- to four-byte characters.
std::string random_text(std::mt19937& rng, size_t max_len, bool non_ascii) {
  static const std::vector<std::string> kAscii = {"a", "b", "c", "d", "e"};
  static const std::vector<std::string> kMixed = {"a", "b", "é", "ü", "漢", "😀", "e"};
  const auto& alphabet = non_ascii ? kMixed : kAscii;
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (size_t n = len(rng); n > 0; --n) s += alphabet[pick(rng)];
  return s;
}

// ---- Known values ---------------------------------------------------------------------------

TEST(JaroWinkler, KnownValues) {
  struct Row {
    const char* a;
    const char* b;
    double expected;
  };
  const Row rows[] = {
      {"MARTHA", "MARHTA", 0.96111111111111114},
      {"José", "Jose", 0.88333333333333341},
      {"DWAYNE", "DUANE", 0.84},
      {"DIXON", "DICKSONX", 0.81333333333333335},
      {"", "", 1.0},
      {"abc", "", 0.0},
      {"", "abc", 0.0},
      {"abc", "abc", 1.0},
      {"abc", "xyz", 0.0},
      {"a", "a", 1.0},
  };
  for (const Row& r : rows) {
    EXPECT_NEAR(jaro_winkler(r.a, r.b), r.expected, 1e-15) << r.a << " / " << r.b;
  }
}

TEST(JaroWinkler, PrefixBonusRules) {
  // Jaro of "abcdxxxx"/"abcdyyyy" is 2/3, not above 0.7: no bonus despite a 4-letter prefix.
  EXPECT_DOUBLE_EQ(jaro("abcdxxxx", "abcdyyyy"), 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(jaro_winkler("abcdxxxx", "abcdyyyy"), 2.0 / 3.0);
  // The prefix counts at most four characters.
  const double j = jaro("abcdefgh", "abcdefgx");
  EXPECT_DOUBLE_EQ(jaro_winkler("abcdefgh", "abcdefgx"), j + 0.4 * (1.0 - j));
  // The prefix is counted in characters, not bytes: "é" is one character.
  const double je = jaro("éébcx", "éébcy");
  EXPECT_DOUBLE_EQ(jaro_winkler("éébcx", "éébcy"), je + 0.4 * (1.0 - je));
}

TEST(Levenshtein, KnownValues) {
  struct Row {
    const char* a;
    const char* b;
    size_t distance;
    double normalized;
  };
  const Row rows[] = {
      {"flaw", "lawn", 2, 0.5},
      {"kitten", "sitting", 3, 1.0 - 3.0 / 7.0},
      {"", "", 0, 1.0},
      {"", "abc", 3, 0.0},
      {"abc", "", 3, 0.0},
      {"José", "Jose", 1, 0.75},
      {"é", "e", 1, 0.0},
      {"漢字", "漢", 1, 0.5},
      {"😀a", "a😀", 2, 0.0},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(levenshtein(r.a, r.b), r.distance) << r.a << " / " << r.b;
    EXPECT_DOUBLE_EQ(normalized_levenshtein(r.a, r.b), r.normalized) << r.a << " / " << r.b;
  }
}

TEST(Levenshtein, ByteLengthNormalisation) {
  // One accented character (two bytes) against a plain one: 1 - 1/2.
  EXPECT_DOUBLE_EQ(normalized_levenshtein_by_bytes("é", "e"), 0.5);
  EXPECT_DOUBLE_EQ(normalized_levenshtein_by_bytes("", ""), 1.0);
  EXPECT_DOUBLE_EQ(normalized_levenshtein_by_bytes("flaw", "lawn"), 0.5);
  EXPECT_DOUBLE_EQ(normalized_levenshtein_by_bytes("José", "Jose"), 1.0 - 1.0 / 5.0);
}

TEST(Levenshtein, IllFormedBytesCountAsOneCharacterEach) {
  EXPECT_EQ(levenshtein("\xff", "a"), 1u);
  EXPECT_EQ(levenshtein("a\xc3", "a"), 1u);  // truncated sequence
  EXPECT_DOUBLE_EQ(jaro_winkler("\xff\xfe", "ab"), 0.0);
}

// ---- Fast paths against the references ------------------------------------------------------

TEST(Levenshtein, MatchesReferenceOnRandomTexts) {
  std::mt19937 rng(12345);
  // Lengths up to 200 cross the one-block (64) and multi-block boundaries.
  for (int round = 0; round < 3000; ++round) {
    const bool non_ascii = round % 3 == 0;
    const size_t max_len = round % 2 == 0 ? 20 : 200;
    const std::string a = random_text(rng, max_len, non_ascii);
    const std::string b = random_text(rng, max_len, non_ascii);
    ASSERT_EQ(levenshtein(a, b), reference_levenshtein(a, b)) << a << " / " << b;
  }
}

TEST(Levenshtein, MatchesReferenceAtBlockBoundaries) {
  std::mt19937 rng(7);
  for (size_t len : {63, 64, 65, 127, 128, 129, 300}) {
    for (int round = 0; round < 20; ++round) {
      std::string a, b;
      for (size_t k = 0; k < len; ++k) a += "ab"[rng() % 2];
      b = a;
      // A few edits somewhere in the text.
      for (int e = 0; e < 5; ++e) {
        const size_t at = rng() % (b.size() + 1);
        switch (rng() % 3) {
          case 0: b.insert(at, 1, 'c'); break;
          case 1: if (at < b.size()) b.erase(at, 1); break;
          default: if (at < b.size()) b[at] = 'c'; break;
        }
      }
      ASSERT_EQ(levenshtein(a, b), reference_levenshtein(a, b)) << len;
      ASSERT_EQ(levenshtein(b, a), reference_levenshtein(a, b)) << len;
    }
  }
}

TEST(JaroWinkler, MatchesReferenceOnRandomTexts) {
  std::mt19937 rng(54321);
  // Lengths up to 150 take both the bit-mask path (both <= 64) and the long path.
  for (int round = 0; round < 4000; ++round) {
    const bool non_ascii = round % 3 == 0;
    const size_t max_len = round % 2 == 0 ? 12 : 150;
    const std::string a = random_text(rng, max_len, non_ascii);
    const std::string b = random_text(rng, max_len, non_ascii);
    ASSERT_DOUBLE_EQ(jaro_winkler(a, b), reference_jaro_winkler(a, b)) << a << " / " << b;
  }
}

TEST(Similarity, ManyDistinctCharactersAcrossCalls) {
  // Short texts drawn from 300 distinct non-ASCII characters: the per-thread match tables
  // see many colliding entries and must come back clean after every call.
  std::mt19937 rng(4242);
  for (int round = 0; round < 3000; ++round) {
    std::string a, b;
    for (size_t n = rng() % 40; n > 0; --n) osmira_base::unicode::append_utf8(a, 0x4e00 + rng() % 300);
    for (size_t n = rng() % 40; n > 0; --n) osmira_base::unicode::append_utf8(b, 0x4e00 + rng() % 300);
    ASSERT_EQ(levenshtein(a, b), reference_levenshtein(a, b)) << round;
    ASSERT_DOUBLE_EQ(jaro_winkler(a, b), reference_jaro_winkler(a, b)) << round;
  }
}

TEST(Similarity, LongTextsMatchReference) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 4; ++round) {
    const bool non_ascii = round % 2 == 1;
    const std::string a = random_text(rng, 3000, non_ascii);
    const std::string b = random_text(rng, 3000, non_ascii);
    EXPECT_EQ(levenshtein(a, b), reference_levenshtein(a, b));
    EXPECT_DOUBLE_EQ(jaro_winkler(a, b), reference_jaro_winkler(a, b));
  }
  // Long texts of many distinct characters (the sparse per-block match lists).
  std::string a, b;
  for (char32_t c = 0x4e00; c < 0x4e00 + 1500; ++c) {
    osmira_base::unicode::append_utf8(a, c);
    osmira_base::unicode::append_utf8(b, c + (c % 7 == 0 ? 1 : 0));
  }
  EXPECT_EQ(levenshtein(a, b), reference_levenshtein(a, b));
  EXPECT_DOUBLE_EQ(jaro_winkler(a, b), reference_jaro_winkler(a, b));
}

TEST(BigramCosine, MatchesReferenceAndKnownValues) {
  EXPECT_DOUBLE_EQ(bigram_cosine_similarity("ab", "ab"), 1.0);
  EXPECT_DOUBLE_EQ(bigram_cosine_similarity("a", "a"), 0.0);  // no bigrams
  EXPECT_DOUBLE_EQ(bigram_cosine_similarity("", "ab"), 0.0);
  EXPECT_DOUBLE_EQ(bigram_cosine_similarity("AB", "ab"), 0.0);  // case kept
  // {aa: 3} against {aa: 1}: 3 / (3 * 1).
  EXPECT_DOUBLE_EQ(bigram_cosine_similarity("aaaa", "aa"), 1.0);
  // {ab, bc} against {ab, bd}: 1 / (sqrt 2 * sqrt 2).
  EXPECT_NEAR(bigram_cosine_similarity("abc", "abd"), 0.5, 1e-15);
  EXPECT_NEAR(bigram_cosine_similarity("éa", "éa"), 1.0, 1e-15);

  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    const bool non_ascii = round % 2 == 0;
    const std::string a = random_text(rng, 30, non_ascii);
    const std::string b = random_text(rng, 30, non_ascii);
    ASSERT_DOUBLE_EQ(bigram_cosine_similarity(a, b), reference_bigram_cosine(a, b))
        << a << " / " << b;
  }
}

// ---- Characters decoded once, explicit scratch ---------------------------------------------

// Bytes that start a character: what the normalised Levenshtein similarity divides by.
size_t reference_width(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xc0) != 0x80;
  return n;
}

double reference_normalized_levenshtein(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  const size_t longer = std::max(reference_width(a), reference_width(b));
  return 1.0 - static_cast<double>(reference_levenshtein(a, b)) / static_cast<double>(longer);
}

// A text's characters as the pair loop prepares them: its bytes when pure ASCII, else its
// code points.
struct Prepared {
  std::string text;
  std::vector<char32_t> points;

  explicit Prepared(std::string s) : text(std::move(s)) {
    if (!osmira_base::unicode::is_ascii(text)) decode_text(text, points);
  }
  TextChars chars() const {
    return osmira_base::unicode::is_ascii(text) ? TextChars::ascii(text)
                                                : TextChars::wide(points.data(), points.size());
  }
};

// Texts of `min_len` to `max_len` characters drawn from `alphabet` (each entry one character,
// or a character with a combining mark).
std::string draw(std::mt19937& rng, const std::vector<std::string>& alphabet, size_t min_len,
                 size_t max_len) {
  std::uniform_int_distribution<size_t> len(min_len, max_len);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (size_t n = len(rng); n > 0; --n) s += alphabet[pick(rng)];
  return s;
}

TEST(PreparedSimilarity, BitIdenticalToReferences) {
  const std::vector<std::string> ascii = {"a", "b", "c", "d", "e", " "};
  // Two-, three- and four-byte characters (the last astral), combining marks that stand as
  // characters of their own, and ASCII letters so that mixed texts share characters.
  const std::vector<std::string> unicode = {"a", "b", "\u00e9", "e\u0301", "\u0301", "\u6f22",
                                            "\U0001F600", "\U00010348", "\u00fc"};
  // Ill-formed UTF-8: lone continuation bytes, a truncated sequence, bytes never valid.
  const std::vector<std::string> ill_formed = {"a", "\x80", "\xc3", "\xff", "\xe6\xbc", "\u00e9"};
  std::vector<std::string> many;  // more distinct characters than a pattern holds
  for (char32_t c = 0x4e00; c < 0x4e00 + 300; ++c) {
    std::string ch;
    osmira_base::unicode::append_utf8(ch, c);
    many.push_back(ch);
  }
  struct Row {
    const char* name;
    const std::vector<std::string>* left;
    const std::vector<std::string>* right;
    size_t min_len, max_len;
    int rounds;
  };
  // Lengths cross the single-word pattern (64 characters) and the second block (128).
  const Row rows[] = {
      {"ascii short", &ascii, &ascii, 0, 20, 3000},
      {"ascii around 64", &ascii, &ascii, 56, 72, 1000},
      {"ascii around 128", &ascii, &ascii, 120, 140, 300},
      {"ascii long", &ascii, &ascii, 60, 300, 200},
      {"unicode short", &unicode, &unicode, 0, 20, 3000},
      {"unicode around 64", &unicode, &unicode, 56, 72, 1000},
      {"unicode long", &unicode, &unicode, 60, 300, 200},
      {"ascii against unicode", &ascii, &unicode, 0, 70, 2000},
      {"unicode against ascii", &unicode, &ascii, 0, 70, 2000},
      {"ill-formed", &ill_formed, &ill_formed, 0, 12, 2000},
      {"many distinct", &many, &many, 0, 40, 2000},
  };
  std::mt19937 rng(20261207);
  SimilarityScratch scratch;  // one for all rows: what a call leaves behind must not matter
  for (const Row& row : rows) {
    for (int round = 0; round < row.rounds; ++round) {
      const Prepared a(draw(rng, *row.left, row.min_len, row.max_len));
      const Prepared b(draw(rng, *row.right, row.min_len, row.max_len));
      const TextChars ca = a.chars(), cb = b.chars();
      const double jw = reference_jaro_winkler(a.text, b.text);
      const size_t lev = reference_levenshtein(a.text, b.text);
      const double norm = reference_normalized_levenshtein(a.text, b.text);
      ASSERT_EQ(jaro_winkler(ca, cb, scratch), jw) << row.name << ": " << a.text << " / " << b.text;
      ASSERT_EQ(jaro_winkler(cb, ca, scratch), reference_jaro_winkler(b.text, a.text)) << row.name;
      ASSERT_EQ(jaro_winkler(a.text, b.text), jw) << row.name << ": " << a.text << " / " << b.text;
      ASSERT_EQ(levenshtein(ca, cb, scratch), lev) << row.name << ": " << a.text << " / " << b.text;
      ASSERT_EQ(levenshtein(cb, ca, scratch), lev) << row.name;
      ASSERT_EQ(levenshtein(a.text, b.text), lev) << row.name;
      const double prepared_norm = normalized_levenshtein(ca, leading_byte_count(a.text), cb,
                                                          leading_byte_count(b.text), scratch);
      // Compared as bits: an ill-formed text may give an infinite or NaN similarity.
      ASSERT_EQ(std::bit_cast<uint64_t>(prepared_norm), std::bit_cast<uint64_t>(norm))
          << row.name << ": " << a.text << " / " << b.text;
      ASSERT_EQ(std::bit_cast<uint64_t>(normalized_levenshtein(a.text, b.text)),
                std::bit_cast<uint64_t>(norm))
          << row.name;
    }
  }
}

TEST(PreparedSimilarity, ScratchesAreIndependent) {
  // Two scratches used in turn, and a scratch moved from one owner to another, give the
  // same values as a fresh one.
  const Prepared a("Jonathan \u00c5berg"), b("Jonathon Aberg"), c("x");
  SimilarityScratch first, second;
  const double want_jw = reference_jaro_winkler(a.text, b.text);
  const size_t want_lev = reference_levenshtein(a.text, b.text);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(jaro_winkler(a.chars(), b.chars(), first), want_jw);
    EXPECT_EQ(levenshtein(c.chars(), a.chars(), second), reference_levenshtein(c.text, a.text));
    EXPECT_EQ(levenshtein(a.chars(), b.chars(), second), want_lev);
  }
  SimilarityScratch moved = std::move(first);
  EXPECT_EQ(jaro_winkler(a.chars(), b.chars(), moved), want_jw);
  EXPECT_EQ(levenshtein(a.chars(), b.chars(), moved), want_lev);
}

TEST(Haversine, KnownDistances) {
  // One degree of longitude on the equator: 2 * pi * 6371 / 360.
  EXPECT_NEAR(haversine_km(0, 0, 0, 1), 111.19492664455873, 1e-9);
  EXPECT_DOUBLE_EQ(haversine_km(48.8566, 2.3522, 48.8566, 2.3522), 0.0);
  // Paris to London, about 343.6 km on this sphere.
  EXPECT_NEAR(haversine_km(48.8566, 2.3522, 51.5074, -0.1278), 343.56, 0.05);
  // Antipodes: half the circumference.
  EXPECT_NEAR(haversine_km(0, 0, 0, 180), 6371.0 * 3.141592653589793, 1e-6);
  EXPECT_DOUBLE_EQ(haversine_km(10, 20, 30, 40), haversine_km(30, 40, 10, 20));
}

}  // namespace
}  // namespace osmira_core::engine
