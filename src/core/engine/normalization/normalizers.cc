#include "core/engine/normalization/normalizers.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "base/unicode.h"

namespace osmira_core::engine::normalization {
namespace {

using osmira_base::Error;
using osmira_base::Result;
namespace unicode = osmira_base::unicode;

// Country calling codes, ascending, searched by binary search.
constexpr std::array<uint16_t, 216> kCountryCodes = {
    1, 7, 20, 27, 30, 31, 32, 33, 34, 36, 39, 40, 41, 43, 44, 45, 46, 47, 48, 49, 51, 52, 53,
    54, 55, 56, 57, 58, 60, 61, 62, 63, 64, 65, 66, 81, 82, 84, 86, 90, 91, 92, 93, 94, 95,
    98, 211, 212, 213, 216, 218, 220, 221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231,
    232, 233, 234, 235, 236, 237, 238, 239, 240, 241, 242, 243, 244, 245, 246, 247, 248, 249,
    250, 251, 252, 253, 254, 255, 256, 257, 258, 260, 261, 262, 263, 264, 265, 266, 267, 268,
    269, 290, 291, 297, 298, 299, 350, 351, 352, 353, 354, 355, 356, 357, 358, 359, 370, 371,
    372, 373, 374, 375, 376, 377, 378, 380, 381, 382, 383, 385, 386, 387, 389, 420, 421, 423,
    500, 501, 502, 503, 504, 505, 506, 507, 508, 509, 590, 591, 592, 593, 594, 595, 596, 597,
    598, 599, 670, 672, 673, 674, 675, 676, 677, 678, 679, 680, 681, 682, 683, 684, 685, 686,
    687, 688, 689, 690, 691, 692, 800, 808, 850, 852, 853, 855, 856, 870, 878, 880, 881, 882,
    883, 886, 888, 960, 961, 962, 963, 964, 965, 966, 967, 968, 970, 971, 972, 973, 974, 975,
    976, 977, 979, 992, 993, 994, 995, 996, 998,
};
static_assert(std::is_sorted(kCountryCodes.begin(), kCountryCodes.end()));

// Nickname -> given name, sorted by nickname for binary search.
using NicknameEntry = std::pair<std::string_view, std::string_view>;
constexpr std::array<NicknameEntry, 128> kNicknames = {{
    {"abe", "abraham"}, {"al", "alan"}, {"alex", "alexander"}, {"andy", "andrew"},
    {"archie", "archibald"}, {"babs", "barbara"}, {"barb", "barbara"}, {"becky", "rebecca"},
    {"ben", "benjamin"}, {"benny", "benjamin"}, {"beth", "elizabeth"}, {"betsy", "elizabeth"},
    {"betty", "elizabeth"}, {"bill", "william"}, {"billy", "william"}, {"bob", "robert"},
    {"bobby", "robert"}, {"cath", "catherine"}, {"cathy", "catherine"}, {"charlie", "charles"},
    {"chaz", "charles"}, {"chris", "christopher"}, {"chuck", "charles"}, {"cindy", "cynthia"},
    {"dan", "daniel"}, {"danny", "daniel"}, {"dave", "david"}, {"davy", "david"},
    {"deb", "deborah"}, {"debbie", "deborah"}, {"debby", "deborah"}, {"dick", "richard"},
    {"don", "donald"}, {"donnie", "donald"}, {"doug", "douglas"}, {"drew", "andrew"},
    {"ed", "edward"}, {"eddie", "edward"}, {"eliza", "elizabeth"}, {"ernie", "ernest"},
    {"frank", "francis"}, {"frankie", "francis"}, {"fred", "frederick"}, {"freddy", "frederick"},
    {"gene", "eugene"}, {"greg", "gregory"}, {"gus", "augustus"}, {"hal", "henry"},
    {"hank", "henry"}, {"harry", "henry"}, {"jack", "john"}, {"jamie", "james"},
    {"jeff", "jeffrey"}, {"jen", "jennifer"}, {"jenny", "jennifer"}, {"jerry", "gerald"},
    {"jim", "james"}, {"jimmy", "james"}, {"joe", "joseph"}, {"joey", "joseph"},
    {"johnny", "john"}, {"kat", "katherine"}, {"kate", "katherine"}, {"kath", "katherine"},
    {"kathy", "katherine"}, {"katie", "katherine"}, {"ken", "kenneth"}, {"kenny", "kenneth"},
    {"larry", "lawrence"}, {"len", "leonard"}, {"lenny", "leonard"}, {"liam", "william"},
    {"liz", "elizabeth"}, {"lizzy", "elizabeth"}, {"maggie", "margaret"}, {"mandy", "amanda"},
    {"marge", "margaret"}, {"matt", "matthew"}, {"matty", "matthew"}, {"meg", "margaret"},
    {"mick", "michael"}, {"mike", "michael"}, {"mikey", "michael"}, {"nate", "nathan"},
    {"ned", "edward"}, {"nick", "nicholas"}, {"nicky", "nicholas"}, {"pat", "patricia"},
    {"patty", "patricia"}, {"peggy", "margaret"}, {"pete", "peter"}, {"phil", "philip"},
    {"ray", "raymond"}, {"rich", "richard"}, {"richie", "richard"}, {"rick", "richard"},
    {"ricky", "richard"}, {"rob", "robert"}, {"robbie", "robert"}, {"robby", "robert"},
    {"ron", "ronald"}, {"ronnie", "ronald"}, {"sam", "samuel"}, {"sammy", "samuel"},
    {"sandy", "sandra"}, {"stephen", "steven"}, {"steve", "steven"}, {"sue", "susan"},
    {"susie", "susan"}, {"suzy", "susan"}, {"ted", "edward"}, {"teddy", "edward"},
    {"terry", "terrence"}, {"tim", "timothy"}, {"timmy", "timothy"}, {"tom", "thomas"},
    {"tommy", "thomas"}, {"tony", "anthony"}, {"tricia", "patricia"}, {"trish", "patricia"},
    {"vicki", "victoria"}, {"vicky", "victoria"}, {"walt", "walter"}, {"wendy", "gwendolyn"},
    {"will", "william"}, {"willie", "william"}, {"willy", "william"}, {"xander", "alexander"},
}};
static_assert(std::is_sorted(kNicknames.begin(), kNicknames.end()) &&
              std::adjacent_find(kNicknames.begin(), kNicknames.end(),
                                 [](const NicknameEntry& a, const NicknameEntry& b) {
                                   return a.first == b.first;
                                 }) == kNicknames.end());

// Keys are 2 to 7 bytes long; longer or shorter texts need no search.
constexpr size_t kShortestNickname = 2;
constexpr size_t kLongestNickname = 7;

// The consumer mail provider whose addresses ignore dots and "+tags" in the local part: its
// primary domain and its legacy alias.
constexpr std::string_view kDotInsensitiveDomains[] = {"gmail.com", "googlemail.com"};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The first `len` digits of `digits` as a number.
unsigned leading_number(std::string_view digits, size_t len) {
  unsigned n = 0;
  for (size_t i = 0; i < len; ++i) n = n * 10 + static_cast<unsigned>(digits[i] - '0');
  return n;
}

bool is_country_code(unsigned code) {
  return std::binary_search(kCountryCodes.begin(), kCountryCodes.end(), code);
}

// ASCII single pass of the name normalizer: lower-case and collapse white space at once.
void append_ascii_name(std::string& out, std::string_view text) {
  bool pending_space = false;
  for (const char ch : text) {
    const bool space = ch == ' ' || (ch >= '\t' && ch <= '\r');
    if (space) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) {
      out += ' ';
      pending_space = false;
    }
    out += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + ('a' - 'A')) : ch;
  }
}

Error phone_error(const char* message) { return Error(message); }

// Checks the digits that follow an international prefix (or a dropped national 0).
osmira_base::Status check_international(std::string_view digits) {
  if (digits[0] == '0') return phone_error("Invalid E.164: country codes never start with 0");
  if (digits.size() >= 16) return phone_error("Too many digits for E.164");
  if (digits.size() < 7) return phone_error("Too few digits for E.164");
  return osmira_base::ok_status();
}

// A country code of one, two or three leading digits, tried in that order.
osmira_base::Status check_country_code(std::string_view digits) {
  for (size_t len = 1; len <= 3 && len <= digits.size(); ++len) {
    if (is_country_code(leading_number(digits, len))) return osmira_base::ok_status();
  }
  return phone_error("Unrecognized country code");
}

}  // namespace

std::string NameNormalizer::normalize(std::string_view text) {
  std::string out;
  if (unicode::is_ascii(text)) {
    out.reserve(text.size());
    append_ascii_name(out, text);
    return out;
  }
  // Composition first, then lower-casing (which may decompose again, as U+0130 does), then
  // the white-space runs, squeezed in place. Most values are composed already; only the
  // others pay for a composed copy.
  std::string composed;
  std::string_view source = text;
  if (!unicode::is_nfc(text)) {
    composed = unicode::to_nfc(text);
    source = composed;
  }
  unicode::append_lowercase(out, source);
  unicode::collapse_whitespace(out);
  return out;
}

Result<std::string> EmailNormalizer::normalize(std::string_view text) {
  std::string out = unicode::to_lowercase(unicode::trim_whitespace(text));
  const size_t at = out.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == out.size() ||
      out.find('@', at + 1) != std::string::npos) {
    return Error("Invalid email format");
  }
  const std::string_view domain = std::string_view(out).substr(at + 1);
  if (std::find(std::begin(kDotInsensitiveDomains), std::end(kDotInsensitiveDomains), domain) ==
      std::end(kDotInsensitiveDomains)) {
    return out;
  }
  // Local part: cut at the first "+", drop every ".", then move the domain up behind it.
  const size_t plus = std::string_view(out).substr(0, at).find('+');
  const size_t local_end = plus == std::string::npos ? at : plus;
  size_t write = 0;
  for (size_t read = 0; read < local_end; ++read) {
    if (out[read] != '.') out[write++] = out[read];
  }
  for (size_t read = at; read < out.size(); ++read) out[write++] = out[read];
  out.resize(write);
  return out;
}

Result<std::string> PhoneNormalizer::normalize(std::string_view text) {
  const std::string_view trimmed = unicode::trim_whitespace(text);
  const bool international = !trimmed.empty() && trimmed.front() == '+';

  // `out` holds "+" and then the digits, with room for a "1" in front of them, so that the
  // result needs no further allocation. ASCII digit bytes never occur inside a multi-byte
  // UTF-8 sequence.
  std::string out;
  out.reserve(2 + static_cast<size_t>(std::count_if(trimmed.begin(), trimmed.end(), is_digit)));
  out += '+';
  for (const char c : trimmed) {
    if (is_digit(c)) out += c;
  }
  const size_t count = out.size() - 1;
  if (count == 0) return phone_error("No digits found");

  const auto digits = [&out] { return std::string_view(out).substr(1); };
  if (!international) {
    if (digits().starts_with("011") && count >= 11) {
      out.erase(1, 3);
    } else if (digits().starts_with("00") && count >= 10) {
      out.erase(1, 2);
    } else if (out[1] != '0') {
      if (count == 10) {
        out.insert(out.begin() + 1, '1');  // North American numbering plan
        return out;
      }
      if (count < 10) return phone_error("Too few digits for E.164");
      if (count > 15) return phone_error("Too many digits for E.164");
      RETURN_IF_ERROR(check_country_code(digits()));
      return out;
    } else {
      if (count <= 9) return phone_error("Too few digits for E.164");
      out.erase(1, 1);
    }
  }
  RETURN_IF_ERROR(check_international(digits()));
  RETURN_IF_ERROR(check_country_code(digits()));
  return out;
}

std::string DomainNormalizer::normalize(std::string_view text) {
  std::string out = unicode::to_lowercase(unicode::trim_whitespace(text));
  std::string_view rest(out);
  if (rest.starts_with("https://")) {
    rest.remove_prefix(8);
  } else if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  }
  if (rest.starts_with("www.")) rest.remove_prefix(4);
  const size_t slash = rest.find('/');
  if (slash != std::string_view::npos) rest = rest.substr(0, slash);
  const size_t begin = static_cast<size_t>(rest.data() - out.data());
  const size_t length = rest.size();
  out.erase(0, begin);
  out.resize(length);
  return out;
}

std::string NicknameNormalizer::normalize(std::string_view text) {
  std::string name = NameNormalizer::normalize(text);
  if (name.size() < kShortestNickname || name.size() > kLongestNickname) return name;
  const std::string_view key(name);
  const auto it = std::lower_bound(
      kNicknames.begin(), kNicknames.end(), key,
      [](const NicknameEntry& entry, std::string_view k) { return entry.first < k; });
  if (it != kNicknames.end() && it->first == key) name.assign(it->second);
  return name;
}

std::string apply_fs_normalizer(std::string_view normalizer_name, std::string_view value) {
  const auto or_value = [&](Result<std::string> r) {
    return r.ok() ? std::move(r).value() : std::string(value);
  };
  if (normalizer_name == "name") return NameNormalizer::normalize(value);
  if (normalizer_name == "phone") return or_value(PhoneNormalizer::normalize(value));
  if (normalizer_name == "email") return or_value(EmailNormalizer::normalize(value));
  if (normalizer_name == "domain") return DomainNormalizer::normalize(value);
  if (normalizer_name == "nickname") return NicknameNormalizer::normalize(value);
  return unicode::to_lowercase(unicode::trim_whitespace(value));
}

}  // namespace osmira_core::engine::normalization
