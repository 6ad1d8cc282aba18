#include "core/engine/normalization/normalizers.h"

#include <gtest/gtest.h>

#include <string>

namespace osmira_core::engine::normalization {
namespace {

struct Row {
  std::string in;
  std::string want;  // the result, or the error message
};

TEST(NameNormalizer, Cases) {
  const Row rows[] = {
      {"", ""},
      {"   \t\n ", ""},
      {"\u3000\u00a0", ""},
      {"  Anne   MARIE  ", "anne marie"},
      {"Jean-Luc\tPICARD", "jean-luc picard"},
      {"e\u0301", "\u00e9"},
      {"  JOSE\u0301  ", "jos\u00e9"},
      {"\u0130brahim", "i\u0307brahim"},  // lower-casing decomposes again after NFC
      {"\u039f\u0394\u039f\u03a3 \u039f\u0394\u039f\u03a3",
       "\u03bf\u03b4\u03bf\u03c2 \u03bf\u03b4\u03bf\u03c2"},  // final sigma per word
      {"M\u00dcLLER\u2003Hans", "m\u00fcller hans"},
      {"\x1f" "a", "\x1f" "a"},  // U+001F is not white space
  };
  for (const Row& r : rows) EXPECT_EQ(NameNormalizer::normalize(r.in), r.want) << r.in;
}

TEST(EmailNormalizer, Accepted) {
  const Row rows[] = {
      {"  John.Doe@Example.COM ", "john.doe@example.com"},
      {"j.o.h.n+news@gmail.com", "john@gmail.com"},
      {"J.O.H.N+news@GoogleMail.com", "john@googlemail.com"},  // alias kept as written
      {"john+a+b@gmail.com", "john@gmail.com"},
      {"+tag@gmail.com", "@gmail.com"},
      {"j.o.h.n+news@example.com", "j.o.h.n+news@example.com"},
      {"john.x@mail.gmail.com", "john.x@mail.gmail.com"},
      {"\u00c9MILE@EXAMPLE.FR", "\u00e9mile@example.fr"},
      {"\u00a0a@b\u3000", "a@b"},
  };
  for (const Row& r : rows) {
    auto got = EmailNormalizer::normalize(r.in);
    ASSERT_TRUE(got.ok()) << r.in;
    EXPECT_EQ(*got, r.want) << r.in;
  }
}

TEST(EmailNormalizer, Rejected) {
  const char* rows[] = {"", "plain", "@example.com", "john@", "a@b@c", "john@@example.com", " @ "};
  for (const char* in : rows) {
    auto got = EmailNormalizer::normalize(in);
    ASSERT_FALSE(got.ok()) << in;
    EXPECT_EQ(got.error().message(), "Invalid email format") << in;
  }
}

TEST(PhoneNormalizer, Accepted) {
  const Row rows[] = {
      {"(555) 123-4567", "+15551234567"},          // ten digits: North American
      {"15551234567", "+15551234567"},             // eleven digits find code 1
      {"+44 20 7946 0958", "+442079460958"},
      {"0044 20 7946 0958", "+442079460958"},
      {"011 44 20 7946 0958", "+442079460958"},
      {"\u00a0+44 20 7946 0958\u3000", "+442079460958"},
      {"tel: 44 20 7946 0958", "+442079460958"},   // no "+": eleven+ digits, code 44
      {"020 7946 0958", "+2079460958"},            // national 0 dropped, code 20
      {"0112345678", "+112345678"},                // "011" needs eleven digits
      {"00123456789", "+123456789"},
      {"+2125551234", "+2125551234"},              // 2 and 21 miss, 212 hits
      {"+998 90 123 4567", "+998901234567"},
      {"+1234567", "+1234567"},                    // seven digits are enough after "+"
      {"123456789012345", "+123456789012345"},     // fifteen without "+"
  };
  for (const Row& r : rows) {
    auto got = PhoneNormalizer::normalize(r.in);
    ASSERT_TRUE(got.ok()) << r.in << ": " << got.error().message();
    EXPECT_EQ(*got, r.want) << r.in;
  }
}

TEST(PhoneNormalizer, Rejected) {
  const Row rows[] = {
      {"", "No digits found"},
      {"call me", "No digits found"},
      {"+", "No digits found"},
      {"\uff15\uff15\uff15", "No digits found"},           // full-width digits are not ASCII
      {"12345", "Too few digits for E.164"},
      {"555123456", "Too few digits for E.164"},           // nine digits
      {"012345678", "Too few digits for E.164"},           // nine digits after a 0
      {"001234567", "Too few digits for E.164"},           // "00" needs ten digits
      {"1234567890123456", "Too many digits for E.164"},
      {"+1234567890123456", "Too many digits for E.164"},  // sixteen after "+"
      {"+123456", "Too few digits for E.164"},
      {"+0441234567", "Invalid E.164: country codes never start with 0"},
      {"000441234567", "Invalid E.164: country codes never start with 0"},
      {"+9991234567", "Unrecognized country code"},
      {"99912345678", "Unrecognized country code"},
      {"0099912345678", "Unrecognized country code"},
  };
  for (const Row& r : rows) {
    auto got = PhoneNormalizer::normalize(r.in);
    ASSERT_FALSE(got.ok()) << r.in << " gave " << *got;
    EXPECT_EQ(got.error().message(), r.want) << r.in;
  }
}

TEST(DomainNormalizer, Cases) {
  const Row rows[] = {
      {"HTTPS://WWW.Example.COM/Path/x", "example.com"},
      {"http://example.com", "example.com"},
      {"https://www.example.com/", "example.com"},
      {"www.example.com:8080/path", "example.com:8080"},
      {"example.com?q=1", "example.com?q=1"},
      {"ftp://example.com/x", "ftp:"},
      {"http://https://x.org", "https:"},   // only one scheme is dropped
      {"www.www.example.com", "www.example.com"},
      {"  wWw.Example.com  ", "example.com"},
      {"", ""},
      {"/only/path", ""},
      {"M\u00dcNCHEN.DE", "m\u00fcnchen.de"},
  };
  for (const Row& r : rows) EXPECT_EQ(DomainNormalizer::normalize(r.in), r.want) << r.in;
}

TEST(NicknameNormalizer, Cases) {
  const Row rows[] = {
      {"  BOB  ", "robert"},
      {"Xander", "alexander"},
      {"Stephen", "steven"},
      {"abe", "abraham"},          // first key
      {"xander", "alexander"},     // last key
      {"Ed", "edward"},            // shortest keys
      {"charlie", "charles"},      // longest keys
      {"Frankie", "francis"},
      {"Wendy\u00a0", "gwendolyn"},
      {"Robert", "robert"},        // a given name is no key
      {"Bob Smith", "bob smith"},
      {"B", "b"},
      {"", ""},
      {"Z\u00d6E", "z\u00f6e"},
  };
  for (const Row& r : rows) EXPECT_EQ(NicknameNormalizer::normalize(r.in), r.want) << r.in;
}

TEST(ApplyFsNormalizer, DispatchByExactName) {
  struct Case { const char* name; std::string value; std::string want; };
  const Case cases[] = {
      {"name", "  Anne  MARIE ", "anne marie"},
      {"nickname", " BOB ", "robert"},
      {"phone", " (555) 123-4567 ", "+15551234567"},
      {"phone", " No Digits ", " No Digits "},       // failure: value unchanged
      {"email", " A.B+x@Gmail.com ", "ab@gmail.com"},
      {"email", " Not An Address ", " Not An Address "},
      {"domain", "WWW.X.COM/", "x.com"},
      {"Name", "  BOB  SMITH ", "bob  smith"},       // other names: trim and lower-case only
      {"PHONE", " 555 ", "555"},
      {"", " MiXed ", "mixed"},
      {"unknown", "\u0130\u00a0", "i\u0307"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(apply_fs_normalizer(c.name, c.value), c.want) << c.name << " / " << c.value;
    EXPECT_EQ(fellegi_sunter::apply_fs_normalizer(c.name, c.value), c.want);
  }
}

TEST(Normalizers, MegabyteInputs) {
  const size_t n = 1 << 20;
  std::string words;
  while (words.size() < n) words += "  W\u00d6RD\u2003";
  const std::string name = NameNormalizer::normalize(words);
  EXPECT_EQ(name.substr(0, 12), "w\u00f6rd w\u00f6rd ");
  EXPECT_EQ(name.back(), 'd');

  std::string ascii_words;
  while (ascii_words.size() < n) ascii_words += " Ab\t";
  EXPECT_EQ(NameNormalizer::normalize(ascii_words).size(), ascii_words.size() / 4 * 3 - 1);
  EXPECT_EQ(NicknameNormalizer::normalize(ascii_words).substr(0, 6), "ab ab ");

  const std::string local(n, 'a');
  EXPECT_EQ(*EmailNormalizer::normalize(local + ".b+tag@gmail.com"), local + "b@gmail.com");
  EXPECT_EQ(PhoneNormalizer::normalize("+" + std::string(n, '1')).error().message(),
            "Too many digits for E.164");
  EXPECT_EQ(DomainNormalizer::normalize("https://www." + local + "/x"), local);
}

}  // namespace
}  // namespace osmira_core::engine::normalization

namespace osmira_core::engine::normalization {
namespace {

// Arbitrary bytes, ill-formed UTF-8 included, pass through every normalizer without a crash
// (run under the sanitizers); the ASCII and ICU paths agree on what they share.
TEST(Normalizers, ArbitraryBytes) {
  uint64_t state = 99;
  const auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned char>(state >> 56);
  };
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    const size_t len = next() % 32;
    for (size_t i = 0; i < len; ++i) text += static_cast<char>(next());
    (void)NameNormalizer::normalize(text);
    (void)NicknameNormalizer::normalize(text);
    (void)EmailNormalizer::normalize(text);
    (void)PhoneNormalizer::normalize(text);
    (void)DomainNormalizer::normalize(text);
    (void)apply_fs_normalizer("other", text);
  }
  // Non-ASCII text drives the ICU path; the same words in ASCII take the fast path.
  EXPECT_EQ(NameNormalizer::normalize(" \tHELLO  World\n\u00c9"), "hello world \u00e9");
  EXPECT_EQ(NameNormalizer::normalize(" \tHELLO  World\n"), "hello world");
}

}  // namespace
}  // namespace osmira_core::engine::normalization
