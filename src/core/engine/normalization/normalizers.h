// Value normalizers: bring one field value into a canonical text before it is compared or
// used as a blocking key. Five kinds (names, e-mail addresses, telephone numbers, web
// domains, nicknames) and the choice of one by the name a spec gives (`apply_fs_normalizer`).
//
// Every normalizer is a stateless struct with a static `normalize`; they are called
// directly, never through a table of virtual operations. All are pure and safe to call from
// any number of threads. They run once per record and field, so each builds its result in a
// single string and, for ASCII input, in a single pass.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

#include "base/result.h"

namespace osmira_core::engine::normalization {

// What the five share: `N::normalize(text)` gives the canonical text (the never-failing ones
// as a plain string, the e-mail and phone normalizers as a Result).
template <typename N>
concept Normalizer = requires(std::string_view text) { N::normalize(text); };

// NFC, full lower-casing, then the words joined by single spaces ("  Anne   MARIE " ->
// "anne marie").
struct NameNormalizer {
  static std::string normalize(std::string_view text);
};

// Trimmed and lower-cased "local@domain". At the large consumer provider's two domains the
// local part loses its "+tag" and its dots. Fails with "Invalid email format" unless the text
// holds exactly one "@" with something on both sides.
struct EmailNormalizer {
  static osmira_base::Result<std::string> normalize(std::string_view text);
};

// E.164 form: "+" and the digits, with the international prefixes 00 and 011 and a national
// leading 0 taken off, ten-digit national numbers read as North American (+1), and the
// country calling code checked against the table. Fails with "No digits found", "Too few
// digits for E.164", "Too many digits for E.164", "Invalid E.164: country codes never start
// with 0" or "Unrecognized country code".
struct PhoneNormalizer {
  static osmira_base::Result<std::string> normalize(std::string_view text);
};

// Trimmed, lower-cased, without a leading "https://" or "http://", without a leading "www.",
// and cut at the first "/" (ports and queries stay).
struct DomainNormalizer {
  static std::string normalize(std::string_view text);
};

// The name-normalised text, replaced by the given name when the whole text is a known
// nickname ("bob" -> "robert").
struct NicknameNormalizer {
  static std::string normalize(std::string_view text);
};

static_assert(Normalizer<NameNormalizer> && Normalizer<EmailNormalizer> &&
              Normalizer<PhoneNormalizer> && Normalizer<DomainNormalizer> &&
              Normalizer<NicknameNormalizer>);

// The normalizer a spec names, compared exactly and case-sensitively: "name", "phone",
// "email", "domain" or "nickname"; any other name trims white space at both ends and
// lower-cases. When the chosen normalizer fails, the value comes back exactly as given.
// Never fails.
std::string apply_fs_normalizer(std::string_view normalizer_name, std::string_view value);

}  // namespace osmira_core::engine::normalization

namespace osmira_core::engine::fellegi_sunter {
// The Fellegi-Sunter comparisons and the match rules share this dispatch.
using normalization::apply_fs_normalizer;
}  // namespace osmira_core::engine::fellegi_sunter
