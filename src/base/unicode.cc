#include "base/unicode.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>

#include <cstdint>
#include <cstdlib>

namespace osmira_base::unicode {
namespace {

// ICU measures texts in int32_t. Longer texts are handed over in pieces no longer than this,
// cut where neither composition nor the final-sigma context can reach across (see below).
constexpr size_t kIcuPiece = size_t{1} << 28;

bool is_ascii_whitespace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

bool is_ascii_letter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Where to end the next ICU piece of `text` (which is longer than `limit`): before an ASCII
// byte that is neither a letter nor case-ignorable (' . : ^ `). No ASCII character composes
// with what precedes it, and such a byte breaks the final-sigma context on both sides, so
// the pieces give the same result as the whole. A text without such a byte in its first
// `limit` bytes is cut at the last code-point boundary.
size_t piece_end(std::string_view text, size_t limit) {
  for (size_t i = limit; i > 0; --i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80 && !is_ascii_letter(c) && c != '\'' && c != '.' && c != ':' && c != '^' &&
        c != '`') {
      return i;
    }
  }
  size_t i = limit;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xc0) == 0x80) --i;
  return i > 0 ? i : limit;
}

// Runs `fn(piece)` over `text` in pieces that ICU can measure.
template <typename Fn>
void for_each_icu_piece(std::string_view text, Fn fn) {
  while (text.size() > kIcuPiece) {
    const size_t end = piece_end(text, kIcuPiece);
    fn(text.substr(0, end));
    text.remove_prefix(end);
  }
  fn(text);
}

icu::StringPiece piece(std::string_view s) {
  return icu::StringPiece(s.data(), static_cast<int32_t>(s.size()));
}

const icu::Normalizer2& nfc_instance() {
  static const icu::Normalizer2* nfc = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || n == nullptr) std::abort();  // ICU data missing: a broken install
    return n;
  }();
  return *nfc;
}

}  // namespace

bool is_ascii(std::string_view text) {
  // Eight bytes at a time: a text is ASCII when no byte has its high bit set.
  size_t i = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    __builtin_memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ULL) return false;
  }
  for (; i < text.size(); ++i) {
    if (p[i] & 0x80) return false;
  }
  return true;
}

char32_t decode_utf8(std::string_view text, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  size_t len;
  char32_t c;
  char32_t min;
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    len = 2, c = b0 & 0x1f, min = 0x80;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    len = 3, c = b0 & 0x0f, min = 0x800;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  if (pos + len > text.size()) {
    ++pos;
    return kReplacementCharacter;
  }
  for (size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(pos + k);
    if ((b & 0xc0) != 0x80) {
      ++pos;
      return kReplacementCharacter;
    }
    c = (c << 6) | (b & 0x3f);
  }
  if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) {
    ++pos;
    return kReplacementCharacter;
  }
  pos += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) c = kReplacementCharacter;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

bool is_whitespace(char32_t c) {
  if (c < 0x80) return is_ascii_whitespace(static_cast<unsigned char>(c));
  return u_isUWhiteSpace(static_cast<UChar32>(c));
}

std::string_view trim_whitespace(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!is_whitespace(decode_utf8(text, next))) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the first byte of the last code point.
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xc0) == 0x80 &&
           end - start < 4) {
      --start;
    }
    size_t next = start;
    const char32_t c = decode_utf8(text, next);
    if (next != end || !is_whitespace(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

void append_lowercase(std::string& out, std::string_view text) {
  if (is_ascii(text)) {
    const size_t base = out.size();
    out.resize(base + text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      out[base + i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    return;
  }
  out.reserve(out.size() + text.size());
  icu::StringByteSink<std::string> sink(&out);
  for_each_icu_piece(text, [&](std::string_view part) {
    UErrorCode status = U_ZERO_ERROR;
    // The root locale ("") gives the language-independent mappings.
    icu::CaseMap::utf8ToLower("", 0, piece(part), sink, nullptr, status);
    if (U_FAILURE(status)) std::abort();  // only memory exhaustion reaches this
  });
}

std::string to_lowercase(std::string_view text) {
  std::string out;
  append_lowercase(out, text);
  return out;
}

bool is_nfc(std::string_view text) {
  if (is_ascii(text)) return true;
  // Longer texts than ICU measures are reported as not composed: the caller then composes
  // them piece by piece, which gives the right result either way.
  if (text.size() > kIcuPiece) return false;
  UErrorCode status = U_ZERO_ERROR;
  return nfc_instance().isNormalizedUTF8(piece(text), status) && U_SUCCESS(status);
}

void append_nfc(std::string& out, std::string_view text) {
  if (is_nfc(text)) {
    out.append(text);
    return;
  }
  const icu::Normalizer2& nfc = nfc_instance();
  out.reserve(out.size() + text.size());
  icu::StringByteSink<std::string> sink(&out);
  for_each_icu_piece(text, [&](std::string_view part) {
    UErrorCode status = U_ZERO_ERROR;
    nfc.normalizeUTF8(0, piece(part), sink, nullptr, status);
    if (U_FAILURE(status)) std::abort();  // only memory exhaustion reaches this
  });
}

std::string to_nfc(std::string_view text) {
  std::string out;
  append_nfc(out, text);
  return out;
}

void collapse_whitespace(std::string& text) {
  const std::string_view in(text);
  size_t write = 0;
  size_t read = 0;
  bool pending_space = false;  // a run of white space lies between the last word and here
  while (read < in.size()) {
    const unsigned char b = static_cast<unsigned char>(in[read]);
    size_t next = read;
    const bool space = b < 0x80 ? is_ascii_whitespace(b) : is_whitespace(decode_utf8(in, next));
    if (b < 0x80) next = read + 1;
    if (space) {
      pending_space = write > 0;
    } else {
      if (pending_space) {
        text[write++] = ' ';
        pending_space = false;
      }
      // Writing never overtakes reading: the output is never longer than the input so far.
      for (size_t k = read; k < next; ++k) text[write++] = in[k];
    }
    read = next;
  }
  text.resize(write);
}

}  // namespace osmira_base::unicode
