// String similarity measures used when two field values of a pair are compared: Jaro-Winkler,
// Levenshtein distance and its normalised similarity, cosine similarity of character-bigram
// counts, and the great-circle distance between two coordinates.
//
// Every text measure works on Unicode code points of UTF-8 input (an ill-formed byte counts
// as one U+FFFD character). Two forms:
//   - on `std::string_view`: convenient for one-off comparisons; pure ASCII inputs take
//     byte-wise paths and scratch space comes from thread-local buffers, so a call on short
//     texts allocates nothing once a thread has warmed up;
//   - on `TextChars` with an explicit `SimilarityScratch`: for the pair loop, where each
//     record's text was checked for ASCII and decoded once, and each worker owns its
//     scratch, so a comparison neither scans nor decodes its inputs nor reaches thread-local
//     storage.
// Both forms give bit-identical results. All functions are pure and thread-safe (a scratch
// is used by one thread at a time).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace osmira_core::engine {

// The characters of a text, decoded once: its bytes when the text is pure ASCII (`points`
// null), else its code points. A view; the owner keeps the characters alive.
struct TextChars {
  const unsigned char* bytes = nullptr;
  const char32_t* points = nullptr;
  size_t size = 0;  // characters

  static TextChars ascii(std::string_view s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), nullptr, s.size()};
  }
  static TextChars wide(const char32_t* p, size_t n) { return {nullptr, p, n}; }
};

// Appends the code points of UTF-8 `s` to `out` (an ill-formed byte gives one U+FFFD).
void decode_text(std::string_view s, std::vector<char32_t>& out);

// Character count of `s` as the normalised Levenshtein similarity divides by: bytes that
// are not UTF-8 continuation bytes.
size_t leading_byte_count(std::string_view s);

// Working memory of the `TextChars` comparisons (pattern-match tables and buffers). One per
// worker; it is reused between calls and never shared by two threads at once.
class SimilarityScratch {
 public:
  SimilarityScratch();
  ~SimilarityScratch();
  SimilarityScratch(SimilarityScratch&&) noexcept;
  SimilarityScratch& operator=(SimilarityScratch&&) noexcept;

  struct State;
  State& state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// Jaro-Winkler similarity, as `jaro_winkler` on the texts the characters came from.
double jaro_winkler(const TextChars& a, const TextChars& b, SimilarityScratch& scratch);

// Levenshtein distance, as `levenshtein` on the texts the characters came from.
size_t levenshtein(const TextChars& a, const TextChars& b, SimilarityScratch& scratch);

// 1 - levenshtein(a, b) / max(width_a, width_b), both texts empty giving 1.0; with the widths
// from `leading_byte_count` of the texts, as `normalized_levenshtein` on them.
double normalized_levenshtein(const TextChars& a, size_t width_a, const TextChars& b,
                              size_t width_b, SimilarityScratch& scratch);

// Jaro similarity in [0, 1]: matching characters within the window
// max(len_a, len_b) / 2 - 1, and half the transpositions among them. Both texts empty gives
// 1.0, exactly one empty gives 0.0.
double jaro(std::string_view a, std::string_view b);

// Jaro-Winkler similarity in [0, 1]: the Jaro similarity raised by 0.1 per character of
// common prefix (at most 4 counted), the raise applied only when the Jaro similarity is above
// 0.7. Both empty gives 1.0, exactly one empty gives 0.0.
// jaro_winkler("MARTHA", "MARHTA") = 0.9611..., jaro_winkler("José", "Jose") = 0.8833...
double jaro_winkler(std::string_view a, std::string_view b);

// Levenshtein distance in characters with unit costs for insertion, deletion and
// substitution.
size_t levenshtein(std::string_view a, std::string_view b);

// 1 - levenshtein(a, b) / (character count of the longer text); both empty gives 1.0.
double normalized_levenshtein(std::string_view a, std::string_view b);

// 1 - levenshtein(a, b) / (byte length of the longer text); both empty gives 1.0.
// The Fellegi-Sunter "levenshtein" comparator divides by UTF-8 byte length, so a
// one-character accented "é" against "e" scores 1 - 1/2 = 0.5 here.
double normalized_levenshtein_by_bytes(std::string_view a, std::string_view b);

// Cosine similarity of the character-bigram count vectors of the two texts (counts of
// adjacent character pairs, case kept): dot / (|a| * |b|). 0.0 when either text has fewer
// than two characters, exactly 1.0 when both count the same bigrams, never above 1.0. All
// counts are integers, so the result does not depend on the order in which bigrams are summed.
double bigram_cosine_similarity(std::string_view a, std::string_view b);

// Great-circle distance in kilometres between two points given in degrees (haversine formula
// on a sphere of radius 6371.0 km).
double haversine_km(double lat_a, double lon_a, double lat_b, double lon_b);

}  // namespace osmira_core::engine
