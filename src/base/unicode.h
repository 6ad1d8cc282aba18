// Unicode text helpers over UTF-8: code-point decoding, the White_Space property, trimming,
// canonical composition (NFC) and full lower-casing. ICU does the Unicode work; texts that
// are pure ASCII take a byte-wise fast path with the same result.
//
// Inputs are expected to be well-formed UTF-8 (every text of the system comes from the JSON
// or YAML readers, which only produce well-formed text). Ill-formed bytes never crash: the
// decoder reads each one as U+FFFD, and ICU handles them by its own rules.
//
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace osmira_base::unicode {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// True when every byte is below 0x80.
bool is_ascii(std::string_view text);

// Decodes the code point that starts at byte `pos` and advances `pos` past it. An ill-formed
// or truncated sequence yields U+FFFD and advances by one byte. `pos` must be < size.
char32_t decode_utf8(std::string_view text, size_t& pos);

// Appends the UTF-8 form of `c` (U+FFFD for surrogates and values beyond U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// The Unicode White_Space property (tab to carriage return, space, U+0085, no-break
// spaces, the U+2000 block spaces, line and paragraph separators, ideographic space).
// U+001C..U+001F are not white space.
bool is_whitespace(char32_t c);

// `text` without white space at either end (a view into `text`).
std::string_view trim_whitespace(std::string_view text);

// Full Unicode lower-casing, language-independent: one character may become several
// (U+0130 becomes "i" + U+0307) and a capital sigma at the end of a word becomes the final
// form U+03C2.
void append_lowercase(std::string& out, std::string_view text);
std::string to_lowercase(std::string_view text);

// Unicode canonical composition (NFC). `is_nfc` tells, without copying, whether `text` is
// already composed (so that callers can skip `to_nfc` and its allocation).
bool is_nfc(std::string_view text);
void append_nfc(std::string& out, std::string_view text);
std::string to_nfc(std::string_view text);

// Rewrites `text` in place so that the pieces between runs of white space are joined by
// one space " ", with no white space at either end.
void collapse_whitespace(std::string& text);

}  // namespace osmira_base::unicode
