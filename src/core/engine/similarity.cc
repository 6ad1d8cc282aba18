#include "core/engine/similarity.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/keyed_hash.h"
#include "base/unicode.h"

namespace osmira_core::engine {
namespace {

using osmira_base::unicode::decode_utf8;
using osmira_base::unicode::is_ascii;

// ---- Character sequences --------------------------------------------------------------------

// A text as a sequence of characters: bytes when the text is pure ASCII, else code points.
template <typename Char>
struct Seq {
  const Char* data = nullptr;
  size_t size = 0;
  Char operator[](size_t i) const { return data[i]; }
};

using Bytes = Seq<unsigned char>;
using Points = Seq<char32_t>;

Bytes as_bytes(std::string_view s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// Decodes `s` into `buf` (reused between calls, so a warm thread does not allocate).
Points decode(std::string_view s, std::vector<char32_t>& buf) {
  if (buf.size() < s.size()) buf.resize(s.size());
  size_t n = 0;
  for (size_t pos = 0; pos < s.size();) buf[n++] = decode_utf8(s, pos);
  return {buf.data(), n};
}

size_t char_count(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xc0) != 0x80;
  return n;
}

// Scratch vectors keep their capacity between calls, but not beyond this many elements: one
// huge value must not pin its memory to a worker for good.
constexpr size_t kScratchKeep = size_t{1} << 16;

template <typename V>
struct ScratchTrim {
  V& v;
  ~ScratchTrim() {
    if (v.capacity() > kScratchKeep) V().swap(v);
  }
};

// ---- Pattern-match vectors for texts of at most 64 characters -------------------------------

// For each character, the bit set of positions where it occurs in a pattern of at most 64
// characters. Code points below 256 live in a direct table; others in a small open-addressing
// table (a pattern has at most 64 distinct characters, so 128 slots never fill). One instance
// per worker (in its scratch) is reused: `assign` fills it and `reset` clears exactly what was
// filled (the direct entries of the pattern's characters and the slots recorded as taken), so
// no call pays for zeroing the whole table.
class SmallPatternMatch {
 public:
  template <typename Char>
  void assign(Seq<Char> p) {
    for (size_t i = 0; i < p.size; ++i) set(p[i], uint64_t{1} << i);
  }

  template <typename Char>
  void reset(Seq<Char> p) {
    for (size_t i = 0; i < p.size; ++i) {
      if (p[i] < 256) direct_[p[i]] = 0;
    }
    for (size_t k = 0; k < taken_count_; ++k) slots_[taken_[k]] = Slot{};
    taken_count_ = 0;
  }

  uint64_t get(char32_t c) const {
    if (c < 256) return direct_[c];
    return slots_[slot_of(c)].mask;
  }

 private:
  struct Slot {
    char32_t key = 0;  // 0: empty (keys are >= 256)
    uint64_t mask = 0;
  };
  static constexpr unsigned kSlotBits = 7;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;

  // The slot holding `c`, or the empty slot where it would go.
  size_t slot_of(char32_t c) const {
    // The top bits of the product, which every bit of the character reaches (the low bits
    // would keep characters 128 apart on one slot).
    size_t i = static_cast<uint32_t>(c * 2654435761u) >> (32 - kSlotBits);
    while (slots_[i].key != 0 && slots_[i].key != c) i = (i + 1) % kSlots;
    return i;
  }

  void set(char32_t c, uint64_t bit) {
    if (c < 256) {
      direct_[c] |= bit;
      return;
    }
    const size_t i = slot_of(c);
    if (slots_[i].key == 0) {
      slots_[i].key = c;
      taken_[taken_count_++] = static_cast<uint8_t>(i);
    }
    slots_[i].mask |= bit;
  }

  uint64_t direct_[256] = {};
  Slot slots_[kSlots] = {};
  uint8_t taken_[64] = {};  // slots in use, at most one per pattern position
  size_t taken_count_ = 0;
};

// Working memory of the kernels, reused between calls: the pattern-match table of short
// texts, and the buffers of the long-text paths (so that a pair of long texts allocates only
// while the buffers grow). `trim` gives back buffers that one huge text made large.
struct Workspace {
  SmallPatternMatch pm;
  // Dense identifiers of characters. Keyed per process (base/keyed_hash.h): the characters
  // come from record values, which may be long enough for chosen ones to hurt.
  boost::unordered_flat_map<char32_t, uint32_t, osmira_base::KeyedU32Hash> ids;
  std::vector<uint32_t> id_of;      // per position: the identifier of its character
  std::vector<size_t> start;        // per identifier: first of its entries (CSR offsets)
  std::vector<size_t> cursor;       // per identifier: a moving position in its entries
  std::vector<size_t> positions;    // positions grouped by identifier, ascending
  std::vector<uint8_t> flagged_a, flagged_b;
  struct BlockMask {
    size_t block;
    uint64_t mask;
  };
  std::vector<BlockMask> block_masks;  // per identifier, in block order
  std::vector<uint64_t> vp, vn;

  // Dense identifiers of the characters of `s` into `ids` and `id_of`, and its positions
  // grouped by identifier into `positions` with the group offsets in `start`.
  template <typename Char>
  void group_positions(Seq<Char> s) {
    ids.clear();
    id_of.resize(s.size);
    for (size_t j = 0; j < s.size; ++j) {
      id_of[j] = ids.try_emplace(s[j], static_cast<uint32_t>(ids.size())).first->second;
    }
    start.assign(ids.size() + 1, 0);
    for (size_t j = 0; j < s.size; ++j) ++start[id_of[j] + 1];
    for (size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    cursor.assign(start.begin(), start.end() - 1);
    positions.resize(s.size);
    for (size_t j = 0; j < s.size; ++j) positions[cursor[id_of[j]]++] = j;
  }

  void trim() {
    const auto release = [](auto& v) {
      if (v.capacity() > kScratchKeep) std::remove_reference_t<decltype(v)>().swap(v);
    };
    if (ids.size() > kScratchKeep) decltype(ids)().swap(ids);
    release(id_of), release(start), release(cursor), release(positions);
    release(flagged_a), release(flagged_b), release(block_masks), release(vp), release(vn);
  }
};

// ---- Jaro -----------------------------------------------------------------------------------

// Jaro from the match count and half the transpositions, summed in the usual order.
double jaro_value(size_t matches, size_t transpositions, size_t len_a, size_t len_b) {
  if (matches == 0) return 0.0;
  const double m = static_cast<double>(matches);
  return (m / static_cast<double>(len_a) + m / static_cast<double>(len_b) +
          static_cast<double>(matches - transpositions) / m) /
         3.0;
}

size_t jaro_window(size_t len_a, size_t len_b) {
  const size_t half = std::max(len_a, len_b) / 2;
  return half > 0 ? half - 1 : 0;
}

// Both texts of at most 64 characters: each character of a takes the first unflagged equal
// character of b inside its window, found as the lowest bit of a mask.
template <typename Char>
double jaro_short(Seq<Char> a, Seq<Char> b, SmallPatternMatch& pm) {
  pm.assign(b);
  const size_t window = jaro_window(a.size, b.size);
  uint64_t flagged_a = 0, flagged_b = 0;
  size_t matches = 0;
  // The window of a[i] as a mask of b's positions [i - window, i + window], clipped to b;
  // it slides one position per character of a.
  const size_t first_hi = std::min(b.size, window + 1);
  uint64_t range = first_hi == 64 ? ~uint64_t{0} : (uint64_t{1} << first_hi) - 1;
  for (size_t i = 0; i < a.size; ++i) {
    const uint64_t candidates = pm.get(a[i]) & range & ~flagged_b;
    if (candidates != 0) {
      flagged_b |= candidates & (~candidates + 1);
      flagged_a |= uint64_t{1} << i;
      ++matches;
    }
    if (i + window + 1 < b.size) range |= uint64_t{1} << (i + window + 1);
    if (i >= window) range &= ~(uint64_t{1} << (i - window));
  }
  pm.reset(b);
  size_t transpositions = 0;
  uint64_t rest_b = flagged_b;
  for (uint64_t rest_a = flagged_a; rest_a != 0; rest_a &= rest_a - 1) {
    const int i = std::countr_zero(rest_a);
    const int j = std::countr_zero(rest_b);
    rest_b &= rest_b - 1;
    transpositions += a[i] != b[j];
  }
  return jaro_value(matches, transpositions / 2, a.size, b.size);
}

// Longer texts in linear time. For one character value, the characters of a that carry it
// look at windows that only move right, and each takes the first unflagged equal character
// of b at or after its window's start; so the flagged positions of that value in b are
// always the ones before a cursor, and the cursor only moves forward.
template <typename Char>
double jaro_long(Seq<Char> a, Seq<Char> b, Workspace& w) {
  // Dense identifiers for the characters of b, and b's positions grouped by identifier in
  // ascending order; a character of a that b lacks never matches.
  w.group_positions(b);
  const std::vector<size_t>& start = w.start;
  const std::vector<size_t>& positions = w.positions;
  std::vector<size_t>& cursor = w.cursor;
  cursor.assign(start.begin(), start.end() - 1);
  const size_t window = jaro_window(a.size, b.size);
  std::vector<uint8_t>& flagged_a = w.flagged_a;
  std::vector<uint8_t>& flagged_b = w.flagged_b;
  flagged_a.assign(a.size, 0);
  flagged_b.assign(b.size, 0);
  size_t matches = 0;
  for (size_t i = 0; i < a.size; ++i) {
    const auto it = w.ids.find(a[i]);
    if (it == w.ids.end()) continue;
    const uint32_t id = it->second;
    const size_t lo = i > window ? i - window : 0;
    const size_t hi = i + window;  // inclusive
    size_t& c = cursor[id];
    while (c < start[id + 1] && positions[c] < lo) ++c;
    if (c < start[id + 1] && positions[c] <= hi) {
      flagged_a[i] = 1;
      flagged_b[positions[c]] = 1;
      ++matches;
      ++c;
    }
  }
  size_t transpositions = 0;
  size_t j = 0;
  for (size_t i = 0; i < a.size; ++i) {
    if (!flagged_a[i]) continue;
    while (!flagged_b[j]) ++j;
    transpositions += a[i] != b[j];
    ++j;
  }
  w.trim();
  return jaro_value(matches, transpositions / 2, a.size, b.size);
}

template <typename Char>
double jaro_seq(Seq<Char> a, Seq<Char> b, Workspace& w) {
  if (a.size == 0 && b.size == 0) return 1.0;
  if (a.size == 0 || b.size == 0) return 0.0;
  if (a.size <= 64 && b.size <= 64) return jaro_short(a, b, w.pm);
  return jaro_long(a, b, w);
}

template <typename Char>
double jaro_winkler_seq(Seq<Char> a, Seq<Char> b, Workspace& w) {
  const double sim = jaro_seq(a, b, w);
  if (!(sim > 0.7)) return sim;
  const size_t limit = std::min<size_t>({4, a.size, b.size});
  size_t prefix = 0;
  while (prefix < limit && a[prefix] == b[prefix]) ++prefix;
  return sim + 0.1 * static_cast<double>(prefix) * (1.0 - sim);
}

// ---- Levenshtein ----------------------------------------------------------------------------

// Hyyrö's bit-parallel form of Myers' algorithm for a pattern of 1 to 64 characters: the
// vertical deltas of one DP column live in two words, and each text character advances the
// column in a handful of word operations. O(|text|).
template <typename Char>
size_t levenshtein_single_word(Seq<Char> pattern, Seq<Char> text, SmallPatternMatch& pm) {
  pm.assign(pattern);
  uint64_t vp = ~uint64_t{0};
  uint64_t vn = 0;
  const uint64_t last = uint64_t{1} << (pattern.size - 1);
  size_t dist = pattern.size;
  for (size_t j = 0; j < text.size; ++j) {
    const uint64_t x = pm.get(text[j]);
    const uint64_t d0 = (((x & vp) + vp) ^ vp) | x | vn;
    uint64_t hp = vn | ~(d0 | vp);
    uint64_t hn = d0 & vp;
    dist += (hp & last) != 0;
    dist -= (hn & last) != 0;
    hp = (hp << 1) | 1;
    hn <<= 1;
    vp = hn | ~(d0 | hp);
    vn = hp & d0;
  }
  pm.reset(pattern);
  return dist;
}

// The same over a pattern longer than 64 characters, as a column of 64-bit blocks; the
// horizontal deltas leaving one block's top bit enter the next block. Per text character
// each block needs its pattern-match word: a block's word is non-zero only for characters
// that occur in its 64 pattern positions, so the words are kept sparsely, per character as a
// list of (block, mask) in block order, and read with a cursor while the blocks are walked.
// Memory O(|pattern|), time O(|pattern| / 64 * |text|).
template <typename Char>
size_t levenshtein_blocks(Seq<Char> pattern, Seq<Char> text, Workspace& ws) {
  // Per character of the pattern (by identifier), its (block, mask) list in block order:
  // entries start[id] .. start[id + 1] of `block_masks` once `start` is rewritten below.
  ws.group_positions(pattern);
  std::vector<Workspace::BlockMask>& masks = ws.block_masks;
  masks.clear();
  std::vector<size_t>& first = ws.cursor;  // per identifier: its first entry in `masks`
  first.assign(ws.ids.size() + 1, 0);
  for (size_t id = 0; id < ws.ids.size(); ++id) {
    first[id] = masks.size();
    for (size_t k = ws.start[id]; k < ws.start[id + 1]; ++k) {
      const size_t i = ws.positions[k];
      const size_t block = i / 64;
      const uint64_t bit = uint64_t{1} << (i % 64);
      if (masks.size() > first[id] && masks.back().block == block) {
        masks.back().mask |= bit;
      } else {
        masks.push_back({block, bit});
      }
    }
  }
  first[ws.ids.size()] = masks.size();
  const size_t blocks = (pattern.size + 63) / 64;
  std::vector<uint64_t>& vp = ws.vp;
  std::vector<uint64_t>& vn = ws.vn;
  vp.assign(blocks, ~uint64_t{0});
  vn.assign(blocks, 0);
  const uint64_t last = uint64_t{1} << ((pattern.size - 1) % 64);
  size_t dist = pattern.size;
  for (size_t j = 0; j < text.size; ++j) {
    const auto found = ws.ids.find(text[j]);
    size_t next = 0, end = 0;  // the character's entries; none when the pattern lacks it
    if (found != ws.ids.end()) {
      next = first[found->second];
      end = first[found->second + 1];
    }
    uint64_t hp_carry = 1;  // row 0 of the DP grows by one per text character
    uint64_t hn_carry = 0;
    for (size_t w = 0; w < blocks; ++w) {
      uint64_t pm = 0;
      if (next < end && masks[next].block == w) pm = masks[next++].mask;
      const uint64_t x = pm | hn_carry;
      const uint64_t d0 = (((x & vp[w]) + vp[w]) ^ vp[w]) | x | vn[w];
      uint64_t hp = vn[w] | ~(d0 | vp[w]);
      uint64_t hn = d0 & vp[w];
      if (w == blocks - 1) {
        dist += (hp & last) != 0;
        dist -= (hn & last) != 0;
      }
      const uint64_t hp_in = hp_carry, hn_in = hn_carry;
      hp_carry = hp >> 63;
      hn_carry = hn >> 63;
      hp = (hp << 1) | hp_in;
      hn = (hn << 1) | hn_in;
      vp[w] = hn | ~(d0 | hp);
      vn[w] = hp & d0;
    }
  }
  ws.trim();
  return dist;
}

template <typename Char>
size_t levenshtein_seq(Seq<Char> a, Seq<Char> b, Workspace& w) {
  // A common prefix or suffix never changes the distance.
  while (a.size > 0 && b.size > 0 && a[0] == b[0]) {
    ++a.data, ++b.data;
    --a.size, --b.size;
  }
  while (a.size > 0 && b.size > 0 && a[a.size - 1] == b[b.size - 1]) --a.size, --b.size;
  if (a.size == 0) return b.size;
  if (b.size == 0) return a.size;
  // The shorter text is the pattern (the DP column), the longer one is scanned.
  if (a.size > b.size) std::swap(a, b);
  if (a.size <= 64) return levenshtein_single_word(a, b, w.pm);
  return levenshtein_blocks(a, b, w);
}

// ---- Bigram cosine --------------------------------------------------------------------------

// The text's adjacent character pairs as 64-bit keys, sorted so that equal bigrams are runs.
void sorted_bigrams(std::string_view s, std::vector<uint64_t>& out) {
  out.clear();
  if (is_ascii(s)) {
    for (size_t i = 1; i < s.size(); ++i) {
      out.push_back((uint64_t{static_cast<unsigned char>(s[i - 1])} << 32) |
                    static_cast<unsigned char>(s[i]));
    }
  } else {
    size_t pos = 0;
    char32_t prev = 0;
    bool first = true;
    while (pos < s.size()) {
      const char32_t c = decode_utf8(s, pos);
      if (!first) out.push_back((uint64_t{prev} << 32) | c);
      prev = c;
      first = false;
    }
  }
  std::sort(out.begin(), out.end());
}

// Sum of squared run lengths of a sorted key list.
double squared_counts(const std::vector<uint64_t>& keys) {
  double sum = 0.0;
  for (size_t i = 0; i < keys.size();) {
    size_t j = i;
    while (j < keys.size() && keys[j] == keys[i]) ++j;
    const double count = static_cast<double>(j - i);
    sum += count * count;
    i = j;
  }
  return sum;
}

}  // namespace

struct SimilarityScratch::State {
  Workspace work;
  std::vector<char32_t> buf_a, buf_b;  // decoded or widened characters
  std::vector<uint64_t> keys_a, keys_b;  // bigram keys of the string_view cosine form
};

SimilarityScratch::SimilarityScratch() : state_(std::make_unique<State>()) {}
SimilarityScratch::~SimilarityScratch() = default;
SimilarityScratch::SimilarityScratch(SimilarityScratch&&) noexcept = default;
SimilarityScratch& SimilarityScratch::operator=(SimilarityScratch&&) noexcept = default;

namespace {

// The scratch of the string_view convenience forms. Not inlined, so that a call looks up
// thread-local storage once (in a shared library each lookup is a __tls_get_addr call).
[[gnu::noinline]] SimilarityScratch::State& thread_state() {
  thread_local SimilarityScratch scratch;
  return scratch.state();
}

// Calls `fn(a, b, workspace)` with both texts as byte sequences when both are ASCII, else with both
// decoded to code points.
template <typename Fn>
auto with_sequences(std::string_view a, std::string_view b, Fn fn) {
  SimilarityScratch::State& st = thread_state();
  if (is_ascii(a) && is_ascii(b)) return fn(as_bytes(a), as_bytes(b), st.work);
  const ScratchTrim<std::vector<char32_t>> trim_a{st.buf_a}, trim_b{st.buf_b};
  return fn(decode(a, st.buf_a), decode(b, st.buf_b), st.work);
}

// Code points of prepared characters; ASCII bytes are widened into `buf`.
Points widen(const TextChars& t, std::vector<char32_t>& buf) {
  if (t.points != nullptr) return {t.points, t.size};
  if (buf.size() < t.size) buf.resize(t.size);
  std::copy(t.bytes, t.bytes + t.size, buf.begin());
  return {buf.data(), t.size};
}

// Calls `fn(a, b, workspace)` with both texts as byte sequences when both are ASCII, else with both
// as code points (a mixed pair widens its ASCII side, which gives the same characters).
template <typename Fn>
auto with_chars(const TextChars& a, const TextChars& b, SimilarityScratch& scratch, Fn fn) {
  SimilarityScratch::State& st = scratch.state();
  if (a.points == nullptr && b.points == nullptr) {
    return fn(Bytes{a.bytes, a.size}, Bytes{b.bytes, b.size}, st.work);
  }
  const ScratchTrim<std::vector<char32_t>> trim_a{st.buf_a}, trim_b{st.buf_b};
  return fn(widen(a, st.buf_a), widen(b, st.buf_b), st.work);
}

}  // namespace

void decode_text(std::string_view s, std::vector<char32_t>& out) {
  for (size_t pos = 0; pos < s.size();) out.push_back(decode_utf8(s, pos));
}

size_t leading_byte_count(std::string_view s) { return char_count(s); }

double jaro(std::string_view a, std::string_view b) {
  return with_sequences(a, b, [](auto x, auto y, Workspace& w) { return jaro_seq(x, y, w); });
}

double jaro_winkler(std::string_view a, std::string_view b) {
  return with_sequences(
      a, b, [](auto x, auto y, Workspace& w) { return jaro_winkler_seq(x, y, w); });
}

size_t levenshtein(std::string_view a, std::string_view b) {
  return with_sequences(
      a, b, [](auto x, auto y, Workspace& w) { return levenshtein_seq(x, y, w); });
}

double normalized_levenshtein(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  const size_t longer = std::max(char_count(a), char_count(b));
  return 1.0 - static_cast<double>(levenshtein(a, b)) / static_cast<double>(longer);
}

double jaro_winkler(const TextChars& a, const TextChars& b, SimilarityScratch& scratch) {
  return with_chars(a, b, scratch, [](auto x, auto y, Workspace& w) {
    return jaro_winkler_seq(x, y, w);
  });
}

size_t levenshtein(const TextChars& a, const TextChars& b, SimilarityScratch& scratch) {
  return with_chars(a, b, scratch, [](auto x, auto y, Workspace& w) {
    return levenshtein_seq(x, y, w);
  });
}

double normalized_levenshtein(const TextChars& a, size_t width_a, const TextChars& b,
                              size_t width_b, SimilarityScratch& scratch) {
  if (a.size == 0 && b.size == 0) return 1.0;  // no characters: both texts are empty
  const size_t longer = std::max(width_a, width_b);
  return 1.0 - static_cast<double>(levenshtein(a, b, scratch)) / static_cast<double>(longer);
}

double normalized_levenshtein_by_bytes(std::string_view a, std::string_view b) {
  const size_t longer = std::max(a.size(), b.size());
  if (longer == 0) return 1.0;
  return 1.0 - static_cast<double>(levenshtein(a, b)) / static_cast<double>(longer);
}

double bigram_cosine_similarity(std::string_view a, std::string_view b) {
  // Convenience form only: the pair path compares bigram counts prepared per record.
  SimilarityScratch::State& st = thread_state();
  std::vector<uint64_t>& keys_a = st.keys_a;
  std::vector<uint64_t>& keys_b = st.keys_b;
  const ScratchTrim<std::vector<uint64_t>> trim_a{keys_a}, trim_b{keys_b};
  sorted_bigrams(a, keys_a);
  sorted_bigrams(b, keys_b);
  if (keys_a.empty() || keys_b.empty()) return 0.0;
  // Every count is a small integer, so these sums are exact whatever the summation order.
  double dot = 0.0;
  size_t i = 0, j = 0;
  while (i < keys_a.size() && j < keys_b.size()) {
    if (keys_a[i] < keys_b[j]) {
      ++i;
    } else if (keys_b[j] < keys_a[i]) {
      ++j;
    } else {
      const uint64_t key = keys_a[i];
      size_t count_a = 0, count_b = 0;
      while (i < keys_a.size() && keys_a[i] == key) ++i, ++count_a;
      while (j < keys_b.size() && keys_b[j] == key) ++j, ++count_b;
      dot += static_cast<double>(count_a) * static_cast<double>(count_b);
    }
  }
  const double norm_a = squared_counts(keys_a);
  const double norm_b = squared_counts(keys_b);
  if (norm_a == 0.0 || norm_b == 0.0) return 0.0;
  const double cosine = dot / (std::sqrt(norm_b) * std::sqrt(norm_a));
  // Equal bigram counts score exactly 1.0, which the quotient can miss by a rounding step
  // either way; no score lies above 1.0.
  return cosine >= 1.0 || keys_a == keys_b ? 1.0 : cosine;
}

double haversine_km(double lat_a, double lon_a, double lat_b, double lon_b) {
  constexpr double kRadiansPerDegree = 0.017453292519943295;
  constexpr double kEarthRadiusKm = 6371.0;
  const double phi_a = lat_a * kRadiansPerDegree;
  const double phi_b = lat_b * kRadiansPerDegree;
  const double half_dlat = (lat_b - lat_a) * kRadiansPerDegree / 2.0;
  const double half_dlon = (lon_b - lon_a) * kRadiansPerDegree / 2.0;
  const double s_lat = std::sin(half_dlat);
  const double s_lon = std::sin(half_dlon);
  const double h = s_lat * s_lat + std::cos(phi_a) * std::cos(phi_b) * (s_lon * s_lon);
  return 2.0 * std::asin(std::sqrt(h)) * kEarthRadiusKm;
}

}  // namespace osmira_core::engine
