#include "core/engine/phonetic.h"

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>

namespace osmira_core::engine {
namespace {

TEST(Soundex, ClassicCodes) {
  struct Row {
    const char* name;
    const char* code;
  };
  const Row rows[] = {
      {"Robert", "R163"},    {"Rupert", "R163"},    {"Rubin", "R150"},
      {"Ashcraft", "A261"},  // H does not separate S and C
      {"Ashcroft", "A261"},  {"Tymczak", "T522"},   // vowel separates the two 2s
      {"Pfister", "P236"},   // F has the first letter's code
      {"Honeyman", "H555"},  {"Smith", "S530"},     {"Schmidt", "S530"},
      {"Lee", "L000"},       {"Lloyd", "L300"},     {"Washington", "W252"},
      {"Jackson", "J250"},   {"Gutierrez", "G362"}, {"Thompson", "T512"},
      {"robert", "R163"},    {"O'Brien", "O165"},   {"  Smith  ", "S530"},
      {"Van Buren", "V516"}, {"Wu", "W000"},        {"Hwang", "H520"},
  };
  for (const Row& r : rows) EXPECT_EQ(soundex(r.name), r.code) << r.name;
}

TEST(Soundex, TextsWithoutAsciiLetters) {
  // Everything but ASCII letters is skipped, so these have no code at all.
  EXPECT_EQ(soundex(""), "");
  EXPECT_EQ(soundex("12345"), "");
  EXPECT_EQ(soundex(" -'. "), "");
  EXPECT_EQ(soundex("渡辺"), "");
  // Non-ASCII letters are skipped like any other non-letter.
  EXPECT_EQ(soundex("Émile"), "M400");
  EXPECT_EQ(soundex("Müller"), "M460");
  EXPECT_EQ(soundex("R2D2"), "R300");
}

// A name with its primary and alternate Double Metaphone codes.
struct MetaphoneRow {
  const char* name;
  const char* primary;
  const char* alternate;
};

void expect_metaphone_codes(std::span<const MetaphoneRow> rows) {
  for (const MetaphoneRow& r : rows) {
    const DoubleMetaphoneCodes codes = double_metaphone(r.name);
    EXPECT_EQ(codes.primary, r.primary) << r.name;
    EXPECT_EQ(codes.alternate, r.alternate) << r.name;
  }
}

TEST(DoubleMetaphone, ClassicNames) {
  const MetaphoneRow rows[] = {
      {"Smith", "SM0", "XMT"},
      {"Schmidt", "XMT", "SMT"},
      {"Thompson", "TMPS", "TMPS"},
      {"Xavier", "SF", "SFR"},
      {"Jose", "HS", "HS"},
      {"Gallegos", "KLKS", "KKS"},
      {"Knight", "NT", "NT"},
      {"Wright", "RT", "RT"},
      {"Czerny", "SRN", "XRN"},
      {"Caesar", "SSR", "SSR"},
      {"McHugh", "MK", "MK"},
      {"Michael", "MKL", "MXL"},
      {"Jones", "JNS", "ANS"},
      {"Schneider", "XNTR", "SNTR"},
      {"Snider", "SNTR", "XNTR"},
      {"Wasserman", "ASRM", "FSRM"},
      {"Vasserman", "FSRM", "FSRM"},
      {"Arnow", "ARN", "ARNF"},
      {"Arnoff", "ARNF", "ARNF"},
      {"Filipowicz", "FLPT", "FLPF"},
      {"Breaux", "PR", "PR"},
      {"Zhao", "J", "J"},
      {"Thumb", "0M", "TM"},
      {"Cabrillo", "KPRL", "KPR"},
      {"Edge", "AJ", "AJ"},
      {"Edgar", "ATKR", "ATKR"},
      {"Chorus", "KRS", "KRS"},
      {"Orchestra", "ARKS", "ARKS"},
      {"Bacchus", "PKS", "PKS"},
      {"Accident", "AKST", "AKST"},
      {"Bertucci", "PRTX", "PRTX"},
      {"Laugh", "LF", "LF"},
      {"Hugh", "H", "H"},
      {"Island", "ALNT", "ALNT"},
      {"Sugar", "XKR", "SKR"},
      {"School", "SKL", "SKL"},
      {"Schermerhorn", "XRMR", "SKRM"},
      {"Thomas", "TMS", "TMS"},
      {"Jacques", "JKS", "AKS"},
      {"Gnome", "NM", "NM"},
      {"Pneumatic", "NMTK", "NMTK"},
      {"Psyche", "SX", "SK"},
      {"Tagliaro", "TKLR", "TLR"},
      {"Biaggi", "PJ", "PK"},
      {"Danger", "TNJR", "TNKR"},
      {"Ghislane", "JLN", "JLN"},
      {"Womo", "AM", "FM"},
      {"Resnais", "RSN", "RSNS"},
      {"Artois", "ART", "ARTS"},
      {"Rogier", "RJ", "RJR"},
      {"Mac Caffrey", "MKFR", "MKFR"},
      {"San Jacinto", "SNHS", "SNHS"},
      // Case and surrounding blanks do not matter.
      {"  smith ", "SM0", "XMT"},
      // Where the common reading departs from Philips' first publication it is followed:
      // a word-initial W before a vowel is read on its own ("Witz"), and "-gier-" is soft
      // anywhere, not only at the end.
      {"Witz", "ATS", "FTS"},
      {"Hgierem", "JRM", "JRM"},
      // A final J adds a blank to the alternate reading.
      {"Raj", "RJ", "R "},
  };
  expect_metaphone_codes(rows);
}

TEST(DoubleMetaphone, NonAsciiInput) {
  const MetaphoneRow rows[] = {
      {"Ñandu", "NNT", "NNT"},        // Ñ reads N
      {"Françoise", "FRNS", "FRNS"},  // Ç reads S
      {"Straße", "STRS", "STRS"},     // ß upper-cases to SS
      {"Müller", "MLR", "MLR"},       // Ü is silent
      {"José", "JS", "AS"},           // É is not E: no Spanish "Jose"
      {"渡辺", "", ""},
  };
  expect_metaphone_codes(rows);
}

TEST(DoubleMetaphone, ControlCharactersAreSilent) {
  // Control characters inside a value (JSON allows \u0001 and the like) carry no sound, like
  // any other character outside the algorithm's letters.
  const MetaphoneRow rows[] = {
      {"B\x01", "P", "P"},
      {"B\x02", "P", "P"},
      {"B\x03", "P", "P"},
      {"Mo\x01ller", "MLR", "MLR"},
      {"\x01\x02", "", ""},
  };
  expect_metaphone_codes(rows);
}

TEST(DoubleMetaphone, EmptyInputAndCodeLength) {
  EXPECT_EQ(double_metaphone("").primary, "");
  EXPECT_EQ(double_metaphone("   ").alternate, "");
  EXPECT_EQ(double_metaphone("Schwarzenegger").primary, "XRSN");
  const DoubleMetaphoneCodes longer = double_metaphone("Schwarzenegger", 10);
  EXPECT_EQ(longer.primary, "XRSNKR");
  EXPECT_EQ(longer.alternate, "XFRTSNKR");
  EXPECT_EQ(double_metaphone("Schwarzenegger", 0).primary, "");
}

TEST(DoubleMetaphone, AnyTextGivesBoundedCodes) {
  // Random texts over letters, blanks, digits and multi-byte characters: every call ends,
  // and codes stay within the length bound and the code alphabet.
  std::mt19937 rng(2024);
  const std::string pieces[] = {"A", "C", "G", "H", "J", "S", "W", "Z", "CH", "SCH", "GH",
                                "TH", " ", "1", "é", "ç", "Ñ", "ß", "\xff", "WICZ", "IER"};
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (size_t n = rng() % 12; n > 0; --n) text += pieces[rng() % std::size(pieces)];
    const size_t max_len = rng() % 7;
    const DoubleMetaphoneCodes codes = double_metaphone(text, max_len);
    ASSERT_LE(codes.primary.size(), max_len) << text;
    ASSERT_LE(codes.alternate.size(), max_len) << text;
    for (char c : codes.primary + codes.alternate) {
      ASSERT_NE(std::string("AFHJKLMNPRSTX0 ").find(c), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace osmira_core::engine
