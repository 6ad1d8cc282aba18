// Phonetic codes for names: American Soundex and Double Metaphone. Both read English
// spelling; characters outside the ASCII letters carry no sound of their own (see each
// function). Pure and thread-safe; the codes are short enough to live in the string's inline
// buffer, so encoding allocates nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace osmira_core::engine {

// American Soundex: the first letter (upper case) and three digits from the letter table
// BFPV=1, CGJKQSXZ=2, DT=3, L=4, MN=5, R=6, padded with "0" ("Robert" and "Rupert" both give
// "R163"). Adjacent letters with the same digit count once, also when H or W stands between
// them; a vowel (A, E, I, O, U, Y) between them makes them count twice. Case is ignored and
// every character that is not an ASCII letter is skipped as if absent, so a text without
// ASCII letters ("12345", "") gives the empty code "".
std::string soundex(std::string_view s);

// The two Double Metaphone codes of a word. `alternate` equals `primary` where the spelling
// has no second reading.
struct DoubleMetaphoneCodes {
  std::string primary;
  std::string alternate;
};

// Double Metaphone (Lawrence Philips' published algorithm, the common Apache Commons Codec
// reading), each code cut to at most `max_len` characters. The input is trimmed of white
// space and read in full Unicode upper case ("ß" reads as "SS"); "Ç" and "Ñ" are read as in
// the classic algorithm and any other non-ASCII character is silent. An empty or all-blank
// input gives two empty codes. As in the classic algorithm, a final "J" may add a blank to
// the alternate code ("RAJ" gives "RJ" and "R ").
DoubleMetaphoneCodes double_metaphone(std::string_view s, size_t max_len = 4);

}  // namespace osmira_core::engine
