#include "core/engine/log.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "base/number_text.h"
#include "base/unicode.h"

namespace osmira_core::engine::log {
namespace {

// Characters that would let a text start a new line or change how the line reads: the C0
// and C1 controls and DEL, the line and paragraph separators, and the bidirectional controls
// (which reorder what a reader sees). Other characters are printed as they are.
bool escaped(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C ||
         c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// Appends `text` as Python's repr writes it inside the quotes of a str: the backslash doubled,
// \t, \n and \r, and \xNN or \uNNNN for the other escaped characters, so that no text
// argument (names from the spec, messages quoting them) can forge a line of the log, and the
// escaped text reads back to one text only. An ill-formed UTF-8 byte becomes U+FFFD.
void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    const char32_t c = osmira_base::unicode::decode_utf8(text, pos);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (escaped(c)) {
      out += c < 0x100 ? "\\x" : "\\u";
      for (int shift = c < 0x100 ? 4 : 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    } else {
      osmira_base::unicode::append_utf8(out, c);  // U+FFFD for an ill-formed byte
    }
  }
}

// `decimals` < 0: the plain form.
void append_arg(std::string& out, const Arg& arg, int decimals) {
  switch (arg.kind) {
    case Arg::Kind::kText: append_escaped(out, arg.text); return;
    case Arg::Kind::kBool: out += arg.unsigned_value != 0 ? "true" : "false"; return;
    case Arg::Kind::kSigned: out += std::to_string(arg.signed_value); return;
    case Arg::Kind::kUnsigned: out += std::to_string(arg.unsigned_value); return;
    case Arg::Kind::kFloat:
      if (decimals < 0) {
        osmira_base::append_plain_number(out, arg.float_value);
      } else {
        out += osmira_base::fixed_number(arg.float_value, decimals);
      }
      return;
  }
}

// The decimals of a "{:.N}" placeholder whose text (without the braces) is `spec`; -1 for
// "{}" and -2 for anything else, which is not a placeholder.
int placeholder_decimals(std::string_view spec) {
  if (spec.empty()) return -1;
  if (!spec.starts_with(":.") || spec.size() == 2) return -2;
  int decimals = 0;
  const auto [end, ec] = std::from_chars(spec.data() + 2, spec.data() + spec.size(), decimals);
  if (ec != std::errc() || end != spec.data() + spec.size() || decimals > 100) return -2;
  return decimals;
}

}  // namespace

Events::Entry& Events::entry_of(Local& local, Level level, std::string_view target,
                                std::string&& text) {
  if (const auto it = local.by_text.find(Key{level, target, text}); it != local.by_text.end()) {
    return *it->second;
  }
  Entry& e = local.entries.emplace_back(Entry{Event{level, target, std::move(text), 0},
                                              next_first_.fetch_add(1, std::memory_order_relaxed)});
  local.by_text.emplace(Key{level, target, e.event.text}, &e);
  return e;
}

void Events::add(Level level, std::string_view target, const char* fixed) {
  Local& local = per_thread_.local();
  const Site site{fixed, level, target};
  if (const auto it = local.by_site.find(site); it != local.by_site.end()) {
    ++it->second->event.count;
    return;
  }
  // The site's first event here; its text may have come from another call site already.
  Entry& e = entry_of(local, level, target, std::string(fixed));
  ++e.event.count;
  local.by_site.emplace(site, &e);
}

void Events::add(Level level, std::string_view target, std::string text) {
  ++entry_of(per_thread_.local(), level, target, std::move(text)).event.count;
}

std::vector<Event> Events::take() {
  // The threads' entries in the order of their first occurrence; an event that several
  // threads met joins the entry of its earliest occurrence.
  std::vector<Entry*> all;
  for (Local& local : per_thread_) {
    for (Entry& e : local.entries) all.push_back(&e);
  }
  std::sort(all.begin(), all.end(),
            [](const Entry* a, const Entry* b) { return a->first < b->first; });
  TextTable earliest;
  earliest.reserve(all.size());
  std::vector<Entry*> merged;
  for (Entry* e : all) {
    const Key key{e->event.level, e->event.target, e->event.text};
    const auto [it, made] = earliest.try_emplace(key, e);
    if (made) {
      merged.push_back(e);
    } else {
      it->second->event.count += e->event.count;
    }
  }
  std::vector<Event> out;
  out.reserve(merged.size());
  for (Entry* e : merged) out.push_back(std::move(e->event));
  per_thread_.clear();
  return out;
}

std::string format_text(std::string_view format, std::span<const Arg> args) {
  std::string out;
  size_t next = 0;
  size_t pos = 0;
  while (pos < format.size()) {
    const size_t open = format.find('{', pos);
    const size_t close = open == std::string_view::npos ? open : format.find('}', open);
    if (close == std::string_view::npos) break;
    out.append(format, pos, open - pos);
    const int decimals = placeholder_decimals(format.substr(open + 1, close - open - 1));
    if (decimals == -2 || next == args.size()) {
      out.append(format, open, close + 1 - open);
    } else {
      append_arg(out, args[next++], decimals);
    }
    pos = close + 1;
  }
  if (pos < format.size()) out.append(format, pos);
  if (next < args.size()) {
    out += " (";
    for (size_t i = next; i < args.size(); ++i) {
      if (i > next) out += (i - next) % 2 == 0 ? ", " : "=";
      append_arg(out, args[i], -1);
    }
    out += ')';
  }
  return out;
}

}  // namespace osmira_core::engine::log
