#include "base/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace osmira_base::unicode {
namespace {

TEST(Unicode, WhiteSpaceProperty) {
  const char32_t yes[] = {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x20, 0x85, 0xa0, 0x1680, 0x2000,
                          0x200a, 0x2028, 0x2029, 0x202f, 0x205f, 0x3000};
  const char32_t no[] = {0x1c, 0x1d, 0x1e, 0x1f, 'a', '_', 0x200b, 0xfeff, 0x180e, 0};
  for (char32_t c : yes) EXPECT_TRUE(is_whitespace(c)) << std::hex << static_cast<uint32_t>(c);
  for (char32_t c : no) EXPECT_FALSE(is_whitespace(c)) << std::hex << static_cast<uint32_t>(c);
}

TEST(Unicode, DecodeRejectsIllFormedSequences) {
  struct Row { std::string in; char32_t want; size_t advance; };
  const Row rows[] = {
      {"a", 'a', 1},
      {"\xc3\xa9", 0xe9, 2},
      {"\xe2\x82\xac", 0x20ac, 3},
      {"\xf0\x9f\x98\x80", 0x1f600, 4},
      {"\xff", kReplacementCharacter, 1},
      {"\xc3", kReplacementCharacter, 1},          // truncated
      {"\xc0\x80", kReplacementCharacter, 1},      // overlong
      {"\xe0\x80\x80", kReplacementCharacter, 1},  // overlong
      {"\xed\xa0\x80", kReplacementCharacter, 1},  // surrogate
      {"\xf4\x90\x80\x80", kReplacementCharacter, 1},  // beyond U+10FFFF
      {"\xc3(", kReplacementCharacter, 1},
  };
  for (const Row& r : rows) {
    size_t pos = 0;
    EXPECT_EQ(decode_utf8(r.in, pos), r.want) << r.in;
    EXPECT_EQ(pos, r.advance) << r.in;
  }
  std::string out;
  for (char32_t c : {char32_t{0x41}, char32_t{0xe9}, char32_t{0x20ac}, char32_t{0x1f600}}) {
    append_utf8(out, c);
  }
  EXPECT_EQ(out, "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

TEST(Unicode, Trim) {
  struct Row { const char* in; const char* want; };
  const Row rows[] = {
      {"", ""}, {"   ", ""}, {" a ", "a"}, {"\t\na b\r\n", "a b"},
      {"\u3000\u00a0x\u2003", "x"},          // ideographic, no-break and em space
      {"\u200bx\u200b", "\u200bx\u200b"},    // zero-width space is no white space
      {"\x1fx", "\x1fx"},
      {"\u00e9 ", "\u00e9"},
  };
  for (const Row& r : rows) EXPECT_EQ(trim_whitespace(r.in), r.want) << r.in;
}

TEST(Unicode, Lowercase) {
  struct Row { const char* in; const char* want; };
  const Row rows[] = {
      {"", ""},
      {"HeLLo World 42", "hello world 42"},
      {"\u00c0\u00c9\u00ce", "\u00e0\u00e9\u00ee"},
      {"\u0130", "i\u0307"},                                  // dotted capital I
      {"\u0130STANBUL", "i\u0307stanbul"},
      {"\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"},  // final sigma
      {"\u03a3", "\u03c3"},                                  // a lone sigma is not final
      {"\u0391\u03a3 \u0392", "\u03b1\u03c2 \u03b2"},
      {"\u0391\u03a3\u0392", "\u03b1\u03c3\u03b2"},          // inside a word
      {"\u1e9e", "\u00df"},
      {"\u212a", "k"},                                       // Kelvin sign
      {"\U00010400", "\U00010428"},                          // outside the BMP
  };
  for (const Row& r : rows) EXPECT_EQ(to_lowercase(r.in), r.want) << r.in;
}

// The ASCII fast path against ICU: a trailing non-ASCII letter sends the same bytes
// through ICU.
TEST(Unicode, LowercaseFastPathMatchesIcu) {
  std::string all;
  for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
  EXPECT_EQ(to_lowercase(all + "\u00c9"), to_lowercase(all) + "\u00e9");
  EXPECT_EQ(to_nfc(all + "\u00e9"), all + "\u00e9");
}

TEST(Unicode, Nfc) {
  struct Row { const char* in; const char* want; };
  const Row rows[] = {
      {"", ""},
      {"plain", "plain"},
      {"e\u0301", "\u00e9"},
      {"\u00e9", "\u00e9"},
      {"A\u030a", "\u00c5"},
      {"\u1100\u1161", "\uac00"},            // Hangul jamo compose
      {"\u212b", "\u00c5"},                  // Angstrom sign is a singleton
      {"q\u0307\u0323", "q\u0323\u0307"},    // marks reordered, nothing to compose
  };
  for (const Row& r : rows) {
    EXPECT_EQ(to_nfc(r.in), r.want) << r.in;
    EXPECT_TRUE(is_nfc(r.want)) << r.want;
    EXPECT_EQ(is_nfc(r.in), std::string_view(r.in) == r.want) << r.in;
  }
  EXPECT_TRUE(is_nfc("ill-formed \xff\xc3 stays"));  // nothing to compose
}

TEST(Unicode, CollapseWhitespace) {
  struct Row { std::string in; std::string want; };
  const Row rows[] = {
      {"", ""}, {"   ", ""}, {"a", "a"}, {"  Anne   Marie ", "Anne Marie"},
      {"a\t\n b\u3000c\u00a0", "a b c"}, {"\u00e9\u2003\u00e8", "\u00e9 \u00e8"},
      {"x\u200by", "x\u200by"},
  };
  for (const Row& r : rows) {
    std::string s = r.in;
    collapse_whitespace(s);
    EXPECT_EQ(s, r.want) << r.in;
  }
}

TEST(Unicode, LongTexts) {
  // One megabyte and more, through both paths.
  std::string ascii(1 << 20, 'A');
  EXPECT_EQ(to_lowercase(ascii), std::string(1 << 20, 'a'));
  std::string greek;
  for (int i = 0; i < (1 << 18); ++i) greek += "\u03a3\u0391 ";  // 5 bytes each
  const std::string lower = to_lowercase(greek);
  ASSERT_EQ(lower.size(), greek.size());
  EXPECT_EQ(lower.substr(0, 10), "\u03c3\u03b1 \u03c3\u03b1 ");
  std::string decomposed;
  for (int i = 0; i < (1 << 18); ++i) decomposed += "e\u0301";
  EXPECT_EQ(to_nfc(decomposed).size(), size_t{2} << 18);
}

}  // namespace
}  // namespace osmira_base::unicode
