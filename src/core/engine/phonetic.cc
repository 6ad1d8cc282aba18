#include "core/engine/phonetic.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <initializer_list>

#include "base/unicode.h"

namespace osmira_core::engine {
namespace {

// ---- Soundex --------------------------------------------------------------------------------

// Digit of each letter A..Z; '0' for the vowels A E I O U Y and for H and W (which are
// handled apart).
constexpr std::array<char, 26> kSoundexDigits = {'0', '1', '2', '3', '0', '1', '2', '0', '0',
                                                 '2', '2', '4', '5', '5', '0', '1', '2', '6',
                                                 '2', '3', '0', '1', '0', '2', '0', '2'};

// Upper-case ASCII letter of a byte, or 0 for any other byte (including every byte of a
// multi-byte UTF-8 sequence).
char ascii_upper(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'Z') return c;
  return 0;
}

// ---- Double Metaphone -----------------------------------------------------------------------

// Stand-ins for the two non-ASCII letters the algorithm reads, and for every other non-ASCII
// character (which matches no rule and is silent).
constexpr char kCCedilla = '\x01';
constexpr char kNTilde = '\x02';
constexpr char kOtherChar = '\x03';

// The word being encoded: one byte per character, ASCII upper-cased, with the stand-ins
// above. Reads outside the word give '\0', as the algorithm's rules expect.
class Word {
 public:
  explicit Word(const std::string& s) : s_(s), n_(static_cast<int>(s.size())) {}

  int size() const { return n_; }
  int last() const { return n_ - 1; }

  char at(int i) const { return i < 0 || i >= n_ ? '\0' : s_[static_cast<size_t>(i)]; }

  // True when the `length` characters from `start` equal one of `options` (all of which
  // have that length); false when the span leaves the word.
  bool has(int start, int length, std::initializer_list<std::string_view> options) const {
    if (start < 0 || start + length > n_) return false;
    const std::string_view span(s_.data() + start, static_cast<size_t>(length));
    for (std::string_view o : options) {
      if (span == o) return true;
    }
    return false;
  }

  bool contains(std::string_view needle) const {
    return std::string_view(s_).find(needle) != std::string_view::npos;
  }

  static bool is_vowel(char c) {
    return c == 'A' || c == 'E' || c == 'I' || c == 'O' || c == 'U' || c == 'Y';
  }
  bool vowel_at(int i) const { return is_vowel(at(i)); }

 private:
  const std::string& s_;
  int n_;
};

// The two codes under construction, each cut at the maximum length.
class Codes {
 public:
  explicit Codes(size_t max_len) : max_(max_len) {}

  void add(std::string_view both) { add(both, both); }
  void add(std::string_view primary, std::string_view alternate) {
    add_primary(primary);
    add_alternate(alternate);
  }
  void add_primary(std::string_view s) { append(out_.primary, s); }
  void add_alternate(std::string_view s) { append(out_.alternate, s); }

  bool complete() const { return out_.primary.size() >= max_ && out_.alternate.size() >= max_; }
  DoubleMetaphoneCodes take() { return std::move(out_); }

 private:
  void append(std::string& code, std::string_view s) const {
    if (code.size() >= max_) return;
    code.append(s.substr(0, max_ - code.size()));
  }

  size_t max_;
  DoubleMetaphoneCodes out_;
};

class DoubleMetaphone {
 public:
  DoubleMetaphone(const Word& w, size_t max_len) : w_(w), out_(max_len) {
    slavo_germanic_ = w.contains("W") || w.contains("K") || w.contains("CZ") ||
                      w.contains("WITZ");
  }

  DoubleMetaphoneCodes run() {
    int i = w_.has(0, 2, {"GN", "KN", "PN", "WR", "PS"}) ? 1 : 0;
    while (!out_.complete() && i <= w_.last()) {
      switch (w_.at(i)) {
        case 'A':
        case 'E':
        case 'I':
        case 'O':
        case 'U':
        case 'Y':
          if (i == 0) out_.add("A");
          ++i;
          break;
        case 'B':
          out_.add("P");
          i = w_.at(i + 1) == 'B' ? i + 2 : i + 1;
          break;
        case kCCedilla:
          out_.add("S");
          ++i;
          break;
        case 'C':
          i = handle_c(i);
          break;
        case 'D':
          i = handle_d(i);
          break;
        case 'F':
          out_.add("F");
          i = w_.at(i + 1) == 'F' ? i + 2 : i + 1;
          break;
        case 'G':
          i = handle_g(i);
          break;
        case 'H':
          i = handle_h(i);
          break;
        case 'J':
          i = handle_j(i);
          break;
        case 'K':
          out_.add("K");
          i = w_.at(i + 1) == 'K' ? i + 2 : i + 1;
          break;
        case 'L':
          i = handle_l(i);
          break;
        case 'M':
          out_.add("M");
          i = m_doubled(i) ? i + 2 : i + 1;
          break;
        case 'N':
          out_.add("N");
          i = w_.at(i + 1) == 'N' ? i + 2 : i + 1;
          break;
        case kNTilde:
          out_.add("N");
          ++i;
          break;
        case 'P':
          i = handle_p(i);
          break;
        case 'Q':
          out_.add("K");
          i = w_.at(i + 1) == 'Q' ? i + 2 : i + 1;
          break;
        case 'R':
          i = handle_r(i);
          break;
        case 'S':
          i = handle_s(i);
          break;
        case 'T':
          i = handle_t(i);
          break;
        case 'V':
          out_.add("F");
          i = w_.at(i + 1) == 'V' ? i + 2 : i + 1;
          break;
        case 'W':
          i = handle_w(i);
          break;
        case 'X':
          i = handle_x(i);
          break;
        case 'Z':
          i = handle_z(i);
          break;
        default:
          ++i;
          break;
      }
    }
    return out_.take();
  }

 private:
  bool germanic_start() const { return w_.has(0, 4, {"VAN ", "VON "}) || w_.has(0, 3, {"SCH"}); }

  int handle_c(int i) {
    if (c_is_k(i)) {  // "bacher", "macher"
      out_.add("K");
      return i + 2;
    }
    if (i == 0 && w_.has(i, 6, {"CAESAR"})) {
      out_.add("S");
      return i + 2;
    }
    if (w_.has(i, 2, {"CH"})) return handle_ch(i);
    if (w_.has(i, 2, {"CZ"}) && !w_.has(i - 2, 4, {"WICZ"})) {  // "Czerny"
      out_.add("S", "X");
      return i + 2;
    }
    if (w_.has(i + 1, 3, {"CIA"})) {  // "focaccia"
      out_.add("X");
      return i + 3;
    }
    if (w_.has(i, 2, {"CC"}) && !(i == 1 && w_.at(0) == 'M')) {  // not "McClelland"
      return handle_cc(i);
    }
    if (w_.has(i, 2, {"CK", "CG", "CQ"})) {
      out_.add("K");
      return i + 2;
    }
    if (w_.has(i, 2, {"CI", "CE", "CY"})) {  // Italian against English
      if (w_.has(i, 3, {"CIO", "CIE", "CIA"})) {
        out_.add("S", "X");
      } else {
        out_.add("S");
      }
      return i + 2;
    }
    out_.add("K");
    if (w_.has(i + 1, 2, {" C", " Q", " G"})) return i + 3;  // "Mac Caffrey", "Mac Gregor"
    if (w_.has(i + 1, 1, {"C", "K", "Q"}) && !w_.has(i + 1, 2, {"CE", "CI"})) return i + 2;
    return i + 1;
  }

  int handle_cc(int i) {
    if (w_.has(i + 2, 1, {"I", "E", "H"}) && !w_.has(i + 2, 2, {"HU"})) {
      // "bellocchio" but not "bacchus"
      if ((i == 1 && w_.at(i - 1) == 'A') || w_.has(i - 1, 5, {"UCCEE", "UCCES"})) {
        out_.add("KS");  // "accident", "accede", "succeed"
      } else {
        out_.add("X");  // "bacci", "bertucci"
      }
      return i + 3;
    }
    out_.add("K");  // Pierce's rule
    return i + 2;
  }

  int handle_ch(int i) {
    if (i > 0 && w_.has(i, 4, {"CHAE"})) {  // "Michael"
      out_.add("K", "X");
      return i + 2;
    }
    if (ch_greek_start(i) || ch_is_k(i)) {
      out_.add("K");
      return i + 2;
    }
    if (i > 0) {
      if (w_.has(0, 2, {"MC"})) {
        out_.add("K");
      } else {
        out_.add("X", "K");
      }
    } else {
      out_.add("X");
    }
    return i + 2;
  }

  int handle_d(int i) {
    if (w_.has(i, 2, {"DG"})) {
      if (w_.has(i + 2, 1, {"I", "E", "Y"})) {  // "edge"
        out_.add("J");
        return i + 3;
      }
      out_.add("TK");  // "Edgar"
      return i + 2;
    }
    out_.add("T");
    return w_.has(i, 2, {"DT", "DD"}) ? i + 2 : i + 1;
  }

  int handle_g(int i) {
    if (w_.at(i + 1) == 'H') return handle_gh(i);
    if (w_.at(i + 1) == 'N') {
      if (i == 1 && w_.vowel_at(0) && !slavo_germanic_) {
        out_.add("KN", "N");
      } else if (!w_.has(i + 2, 2, {"EY"}) && w_.at(i + 1) != 'Y' && !slavo_germanic_) {
        out_.add("N", "KN");
      } else {
        out_.add("KN");
      }
      return i + 2;
    }
    if (w_.has(i + 1, 2, {"LI"}) && !slavo_germanic_) {
      out_.add("KL", "L");
      return i + 2;
    }
    if (i == 0 && (w_.at(i + 1) == 'Y' ||
                   w_.has(i + 1, 2,
                          {"ES", "EP", "EB", "EL", "EY", "IB", "IL", "IN", "IE", "EI", "ER"}))) {
      out_.add("K", "J");  // -ges-, -gep-, -gel-, -gie- at the start
      return i + 2;
    }
    if ((w_.has(i + 1, 2, {"ER"}) || w_.at(i + 1) == 'Y') &&
        !w_.has(0, 6, {"DANGER", "RANGER", "MANGER"}) && !w_.has(i - 1, 1, {"E", "I"}) &&
        !w_.has(i - 1, 3, {"RGY", "OGY"})) {
      out_.add("K", "J");  // -ger-, -gy-
      return i + 2;
    }
    if (w_.has(i + 1, 1, {"E", "I", "Y"}) || w_.has(i - 1, 4, {"AGGI", "OGGI"})) {
      if (germanic_start() || w_.has(i + 1, 2, {"ET"})) {
        out_.add("K");
      } else if (w_.has(i + 1, 3, {"IER"})) {
        out_.add("J");
      } else {
        out_.add("J", "K");
      }
      return i + 2;
    }
    out_.add("K");
    return w_.at(i + 1) == 'G' ? i + 2 : i + 1;
  }

  int handle_gh(int i) {
    if (i > 0 && !w_.vowel_at(i - 1)) {
      out_.add("K");
      return i + 2;
    }
    if (i == 0) {
      out_.add(w_.at(i + 2) == 'I' ? "J" : "K");
      return i + 2;
    }
    // Parker's rule with refinements: "hugh"
    if ((i > 1 && w_.has(i - 2, 1, {"B", "H", "D"})) ||
        (i > 2 && w_.has(i - 3, 1, {"B", "H", "D"})) || (i > 3 && w_.has(i - 4, 1, {"B", "H"}))) {
      return i + 2;
    }
    if (i > 2 && w_.at(i - 1) == 'U' && w_.has(i - 3, 1, {"C", "G", "L", "R", "T"})) {
      out_.add("F");  // "laugh", "McLaughlin", "cough", "rough"
    } else if (i > 0 && w_.at(i - 1) != 'I') {
      out_.add("K");
    }
    return i + 2;
  }

  int handle_h(int i) {
    // Kept only at the start or after a vowel, and before a vowel.
    if ((i == 0 || w_.vowel_at(i - 1)) && w_.vowel_at(i + 1)) {
      out_.add("H");
      return i + 2;
    }
    return i + 1;
  }

  int handle_j(int i) {
    if (w_.has(i, 4, {"JOSE"}) || w_.has(0, 4, {"SAN "})) {  // Spanish: "Jose", "San Jacinto"
      if ((i == 0 && w_.at(i + 4) == ' ') || w_.size() == 4 || w_.has(0, 4, {"SAN "})) {
        out_.add("H");
      } else {
        out_.add("J", "H");
      }
      return i + 1;
    }
    if (i == 0 && !w_.has(i, 4, {"JOSE"})) {
      out_.add("J", "A");
    } else if (w_.vowel_at(i - 1) && !slavo_germanic_ &&
               (w_.at(i + 1) == 'A' || w_.at(i + 1) == 'O')) {
      out_.add("J", "H");
    } else if (i == w_.last()) {
      out_.add("J", " ");
    } else if (!w_.has(i + 1, 1, {"L", "T", "K", "S", "N", "M", "B", "Z"}) &&
               !w_.has(i - 1, 1, {"S", "K", "L"})) {
      out_.add("J");
    }
    return w_.at(i + 1) == 'J' ? i + 2 : i + 1;
  }

  int handle_l(int i) {
    if (w_.at(i + 1) == 'L') {
      if (ll_is_spanish(i)) {
        out_.add_primary("L");
      } else {
        out_.add("L");
      }
      return i + 2;
    }
    out_.add("L");
    return i + 1;
  }

  int handle_p(int i) {
    if (w_.at(i + 1) == 'H') {
      out_.add("F");
      return i + 2;
    }
    out_.add("P");
    return w_.has(i + 1, 1, {"P", "B"}) ? i + 2 : i + 1;
  }

  int handle_r(int i) {
    // French final "-ier" is silent in the primary reading, except after "me"/"ma".
    if (i == w_.last() && !slavo_germanic_ && w_.has(i - 2, 2, {"IE"}) &&
        !w_.has(i - 4, 2, {"ME", "MA"})) {
      out_.add_alternate("R");
    } else {
      out_.add("R");
    }
    return w_.at(i + 1) == 'R' ? i + 2 : i + 1;
  }

  int handle_s(int i) {
    if (w_.has(i - 1, 3, {"ISL", "YSL"})) return i + 1;  // "island", "isle", "carlisle"
    if (i == 0 && w_.has(i, 5, {"SUGAR"})) {
      out_.add("X", "S");
      return i + 1;
    }
    if (w_.has(i, 2, {"SH"})) {
      out_.add(w_.has(i + 1, 4, {"HEIM", "HOEK", "HOLM", "HOLZ"}) ? "S" : "X");  // Germanic
      return i + 2;
    }
    if (w_.has(i, 3, {"SIO", "SIA"}) || w_.has(i, 4, {"SIAN"})) {  // Italian, Armenian
      if (slavo_germanic_) {
        out_.add("S");
      } else {
        out_.add("S", "X");
      }
      return i + 3;
    }
    // German and anglicised forms ("smith" against "schmidt", "snider" against "schneider"),
    // and Slavic -sz-.
    if ((i == 0 && w_.has(i + 1, 1, {"M", "N", "L", "W"})) || w_.has(i + 1, 1, {"Z"})) {
      out_.add("S", "X");
      return w_.has(i + 1, 1, {"Z"}) ? i + 2 : i + 1;
    }
    if (w_.has(i, 2, {"SC"})) return handle_sc(i);
    if (i == w_.last() && w_.has(i - 2, 2, {"AI", "OI"})) {  // French: "resnais", "artois"
      out_.add_alternate("S");
    } else {
      out_.add("S");
    }
    return w_.has(i + 1, 1, {"S", "Z"}) ? i + 2 : i + 1;
  }

  int handle_sc(int i) {
    if (w_.at(i + 2) == 'H') {  // Schlesinger's rule
      if (w_.has(i + 3, 2, {"OO", "ER", "EN", "UY", "ED", "EM"})) {  // Dutch: "school"
        if (w_.has(i + 3, 2, {"ER", "EN"})) {
          out_.add("X", "SK");  // "schermerhorn", "schenker"
        } else {
          out_.add("SK");
        }
      } else if (i == 0 && !w_.vowel_at(3) && w_.at(3) != 'W') {
        out_.add("X", "S");
      } else {
        out_.add("X");
      }
    } else if (w_.has(i + 2, 1, {"I", "E", "Y"})) {
      out_.add("S");
    } else {
      out_.add("SK");
    }
    return i + 3;
  }

  int handle_t(int i) {
    if (w_.has(i, 4, {"TION"}) || w_.has(i, 3, {"TIA", "TCH"})) {
      out_.add("X");
      return i + 3;
    }
    if (w_.has(i, 2, {"TH"}) || w_.has(i, 3, {"TTH"})) {
      // "thomas", "thames", or Germanic
      if (w_.has(i + 2, 2, {"OM", "AM"}) || germanic_start()) {
        out_.add("T");
      } else {
        out_.add("0", "T");
      }
      return i + 2;
    }
    out_.add("T");
    return w_.has(i + 1, 1, {"T", "D"}) ? i + 2 : i + 1;
  }

  int handle_w(int i) {
    if (w_.has(i, 2, {"WR"})) {
      out_.add("R");
      return i + 2;
    }
    if (i == 0 && (w_.vowel_at(i + 1) || w_.has(i, 2, {"WH"}))) {
      if (w_.vowel_at(i + 1)) {
        out_.add("A", "F");  // "Wasserman" against "Vasserman"
      } else {
        out_.add("A");  // "Uomo" against "Womo"
      }
      return i + 1;
    }
    if ((i == w_.last() && w_.vowel_at(i - 1)) ||
        w_.has(i - 1, 5, {"EWSKI", "EWSKY", "OWSKI", "OWSKY"}) || w_.has(0, 3, {"SCH"})) {
      out_.add_alternate("F");  // "Arnow" against "Arnoff"
      return i + 1;
    }
    if (w_.has(i, 4, {"WICZ", "WITZ"})) {  // Polish: "filipowicz"
      out_.add("TS", "FX");
      return i + 4;
    }
    return i + 1;
  }

  int handle_x(int i) {
    if (i == 0) {
      out_.add("S");
      return i + 1;
    }
    // French final "-iaux", "-eaux", "-aux", "-oux" is silent: "breaux"
    if (!(i == w_.last() && (w_.has(i - 3, 3, {"IAU", "EAU"}) || w_.has(i - 2, 2, {"AU", "OU"})))) {
      out_.add("KS");
    }
    return w_.has(i + 1, 1, {"C", "X"}) ? i + 2 : i + 1;
  }

  int handle_z(int i) {
    if (w_.at(i + 1) == 'H') {  // Chinese pinyin: "Zhao"
      out_.add("J");
      return i + 2;
    }
    if (w_.has(i + 1, 2, {"ZO", "ZI", "ZA"}) ||
        (slavo_germanic_ && i > 0 && w_.at(i - 1) != 'T')) {
      out_.add("S", "TS");
    } else {
      out_.add("S");
    }
    return w_.at(i + 1) == 'Z' ? i + 2 : i + 1;
  }

  // "C" read as K before "H" in "chia" and in -ach- not followed by I or E (but always in
  // "bacher" and "macher").
  bool c_is_k(int i) const {
    if (w_.has(i, 4, {"CHIA"})) return true;
    if (i <= 1) return false;
    if (w_.vowel_at(i - 2)) return false;
    if (!w_.has(i - 1, 3, {"ACH"})) return false;
    const char c = w_.at(i + 2);
    return (c != 'I' && c != 'E') || w_.has(i - 2, 6, {"BACHER", "MACHER"});
  }

  // Greek roots at the start: "character", "charisma", "chorus", "chymist", "chemistry".
  bool ch_greek_start(int i) const {
    if (i != 0) return false;
    if (!w_.has(i + 1, 5, {"HARAC", "HARIS"}) && !w_.has(i + 1, 3, {"HOR", "HYM", "HIA", "HEM"})) {
      return false;
    }
    return !w_.has(0, 5, {"CHORE"});
  }

  // Germanic, Greek or other "ch" read as "kh".
  bool ch_is_k(int i) const {
    return germanic_start() || w_.has(i - 2, 6, {"ORCHES", "ARCHIT", "ORCHID"}) ||
           w_.has(i + 2, 1, {"T", "S"}) ||
           ((w_.has(i - 1, 1, {"A", "O", "U", "E"}) || i == 0) &&
            (w_.has(i + 2, 1, {"L", "R", "N", "M", "B", "H", "F", "V", "W", " "}) ||
             i + 1 == w_.last()));
  }

  // Spanish "ll" ("cabrillo", "gallegos"): no L in the alternate reading.
  bool ll_is_spanish(int i) const {
    const int n = w_.size();
    if (i == n - 3 && w_.has(i - 1, 4, {"ILLO", "ILLA", "ALLE"})) return true;
    return (w_.has(n - 2, 2, {"AS", "OS"}) || w_.has(n - 1, 1, {"A", "O"})) &&
           w_.has(i - 1, 4, {"ALLE"});
  }

  // "MM", and "UMB" at the end or before "ER" ("dumb", "thumb", "plumber").
  bool m_doubled(int i) const {
    if (w_.at(i + 1) == 'M') return true;
    return w_.has(i - 1, 3, {"UMB"}) && (i + 1 == w_.last() || w_.has(i + 2, 2, {"ER"}));
  }

  const Word& w_;
  Codes out_;
  bool slavo_germanic_ = false;
};

// One ASCII character of the word: letters upper-cased; the control bytes that serve as
// stand-ins (and the others with them) become the silent stand-in, so a control character
// in the input is never read as "Ç" or "Ñ".
char ascii_for_word(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (c > '\0' && c < ' ') return kOtherChar;
  return c;
}

// The word as the algorithm reads it: trimmed, upper-cased (full Unicode upper-casing for
// non-ASCII text, so "ß" reads as "SS"), one byte per character.
void prepare_word(std::string_view s, std::string& out) {
  out.clear();
  s = osmira_base::unicode::trim_whitespace(s);
  if (osmira_base::unicode::is_ascii(s)) {
    out.reserve(s.size());
    for (char c : s) out.push_back(ascii_for_word(c));
    return;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(s.data(), static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX))));
  u.toUpper(icu::Locale::getRoot());
  for (int32_t k = 0; k < u.length();) {
    const UChar32 c = u.char32At(k);
    k += U16_LENGTH(c);
    if (c < 0x80) {
      out.push_back(ascii_for_word(static_cast<char>(c)));
    } else if (c == 0xC7) {
      out.push_back(kCCedilla);
    } else if (c == 0xD1) {
      out.push_back(kNTilde);
    } else {
      out.push_back(kOtherChar);
    }
  }
}

}  // namespace

std::string soundex(std::string_view s) {
  std::string code;
  char last_digit = 0;
  for (char raw : s) {
    const char c = ascii_upper(raw);
    if (c == 0) continue;  // not an ASCII letter: as if absent
    const char digit = kSoundexDigits[static_cast<size_t>(c - 'A')];
    if (code.empty()) {
      code.push_back(c);
      last_digit = digit;
      continue;
    }
    if (c == 'H' || c == 'W') continue;  // neither coded nor separating
    if (digit != '0' && digit != last_digit) {
      code.push_back(digit);
      if (code.size() == 4) return code;
    }
    last_digit = digit;
  }
  if (!code.empty()) code.resize(4, '0');
  return code;
}

namespace {

// The prepared word's buffer, reused between calls so that a warm thread does not allocate.
// Reached through one call so that the encoder looks up thread-local storage once per word,
// not at every use of the buffer.
[[gnu::noinline]] std::string& word_buffer() {
  thread_local std::string text;
  return text;
}

}  // namespace

DoubleMetaphoneCodes double_metaphone(std::string_view s, size_t max_len) {
  // A huge input's buffer is given back rather than kept for the thread's life.
  std::string& text = word_buffer();
  prepare_word(s, text);
  DoubleMetaphoneCodes codes;
  if (!text.empty()) {
    const Word word(text);
    codes = DoubleMetaphone(word, max_len).run();
  }
  if (text.capacity() > (size_t{1} << 16)) std::string().swap(text);
  return codes;
}

}  // namespace osmira_core::engine
