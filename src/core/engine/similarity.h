// String similarity measures used when two field values of a pair are compared: Jaro-Winkler,
// Levenshtein distance and its normalised similarity, cosine similarity of character-bigram
// counts, and the great-circle distance between two coordinates.
//
// Every text measure works on Unicode code points of UTF-8 input (an ill-formed byte counts
// as one U+FFFD character). These functions sit on the per-pair hot path: pure ASCII inputs
// take byte-wise paths, and scratch space comes from thread-local buffers, so a call on
// short texts allocates nothing once a thread has warmed up. All functions are pure and
// thread-safe.
#pragma once

#include <cstddef>
#include <string_view>

namespace osmira_core::engine {

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
// than two characters. All counts are integers, so the result does not depend on the order
// in which bigrams are summed.
double bigram_cosine_similarity(std::string_view a, std::string_view b);

// Great-circle distance in kilometres between two points given in degrees (haversine formula
// on a sphere of radius 6371.0 km).
double haversine_km(double lat_a, double lon_a, double lat_b, double lon_b);

}  // namespace osmira_core::engine
