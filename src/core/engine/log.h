// Log events of the engine, the compiler and the trainer: a level, a target (the module path)
// and a text with its placeholders filled in.
//
// A call collects its own events in an `Events` object that it owns and hands by pointer to
// the compiler, the engine (which keeps it in its settings for the pair scorer) and the
// trainer; the host layer delivers them after the call (src/python/log_events.h). There is
// no global or thread-local sink, so calls running at once on several threads each see only
// their own events. A null pointer collects nothing: the call site's arguments are then not
// even evaluated.
//
// Identical events of one call (same level, target and text) are kept as one entry with a
// count, so an expression failing on every one of 80,000 pairs holds one text, not 80,000.
#pragma once

#include <tbb/enumerable_thread_specific.h>

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/keyed_hash.h"

namespace osmira_core::engine::log {

enum class Level : uint8_t { kInfo, kWarn, kError };

// One entry of a call's events: the first occurrence's level, target and text, and how many
// identical events occurred.
struct Event {
  Level level = Level::kInfo;
  std::string_view target;  // the call site's static module path
  std::string text;
  uint64_t count = 0;
};

// The events of one call. Any thread may add at any time; each thread counts into entries
// of its own (no lock, and no shared cache line but a sequence number taken when a thread
// first meets an event), so that an event firing on every pair does not make the workers
// wait for each other. A call with nothing to say pays nothing.
//
// Equal texts are found through hash tables, so that a call with many distinct events (one
// per field of a large spec) costs a look-up per event, not a walk over all the others. The
// texts carry names from the spec, so they are hashed under the process key
// (base/keyed_hash.h).
class Events {
 public:
  // An event whose text has no placeholders (a string literal of the call site): its repeats
  // are recognised by the literal's address, nothing built or hashed.
  void add(Level level, std::string_view target, const char* fixed);
  void add(Level level, std::string_view target, std::string text);

  // The collected entries, those of all threads merged, in the order of their first
  // occurrence; leaves none behind. Not while another thread adds.
  std::vector<Event> take();

 private:
  struct Entry {
    Event event;
    uint64_t first = 0;  // order of the first occurrence among all threads
  };
  // What makes two events identical; the texts view those of the entries.
  struct Key {
    Level level;
    std::string_view target;
    std::string_view text;
    friend bool operator==(const Key&, const Key&) = default;
  };
  // The text alone is hashed: level and target are compared.
  struct KeyHash {
    using is_avalanching = void;
    osmira_base::KeyedStringHash text_hash;
    size_t operator()(const Key& key) const noexcept { return text_hash(key.text); }
  };
  // A fixed text's call site. Addresses are not chosen by callers: a plain hash will do.
  struct Site {
    const char* fixed;
    Level level;
    std::string_view target;
    friend bool operator==(const Site&, const Site&) = default;
  };
  struct SiteHash {
    size_t operator()(const Site& site) const noexcept {
      return boost::hash<const void*>()(site.fixed) ^ static_cast<size_t>(site.level);
    }
  };
  using TextTable = boost::unordered_flat_map<Key, Entry*, KeyHash>;
  // One thread's entries, in the order of their first occurrence there. A deque keeps every
  // entry where it was put, so the tables can view its text.
  struct Local {
    std::deque<Entry> entries;
    TextTable by_text;
    boost::unordered_flat_map<Site, Entry*, SiteHash> by_site;
  };
  // The entry of `text` in `local`, made with a count of 0 when there is none.
  Entry& entry_of(Local& local, Level level, std::string_view target, std::string&& text);

  std::atomic<uint64_t> next_first_{0};
  tbb::enumerable_thread_specific<Local> per_thread_;
};

// One argument of an event's text.
struct Arg {
  enum class Kind : uint8_t { kText, kSigned, kUnsigned, kFloat, kBool };
  Kind kind;
  std::string_view text;
  int64_t signed_value = 0;
  uint64_t unsigned_value = 0;
  double float_value = 0.0;

  Arg(std::string_view v) : kind(Kind::kText), text(v) {}
  Arg(const std::string& v) : kind(Kind::kText), text(v) {}
  Arg(const char* v) : kind(Kind::kText), text(v) {}
  Arg(bool v) : kind(Kind::kBool), unsigned_value(v ? 1 : 0) {}
  Arg(double v) : kind(Kind::kFloat), float_value(v) {}
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
  Arg(T v) {
    if constexpr (std::is_signed_v<T>) {
      kind = Kind::kSigned;
      signed_value = v;
    } else {
      kind = Kind::kUnsigned;
      unsigned_value = v;
    }
  }
};

// `format` with each "{}" replaced by the next argument and each "{:.N}" by the next
// argument with N decimals (numbers in "{}" are written with the fewest digits that read
// back, never in exponent form; booleans as "true"/"false"). Arguments left over after the
// last placeholder are name/value pairs, appended as " (name=value, name=value)". A
// placeholder with no argument left stays as written.
//
// Text arguments are names and messages from the spec or the engine, never a record's value.
// They are escaped as Python's repr escapes a str (the backslash doubled; \t, \n, \r; \xNN
// for the other C0 and C1 controls and DEL; \uNNNN for the line and paragraph separators and
// the bidirectional controls), so that a name cannot start a line of its own in a log.
std::string format_text(std::string_view format, std::span<const Arg> args);

// The text of a call site: the literal itself when it has no arguments.
inline const char* text(const char* fixed) { return fixed; }
template <typename... Args>
  requires(sizeof...(Args) > 0)
std::string text(std::string_view format, const Args&... args) {
  const std::array<Arg, sizeof...(Args)> list{Arg(args)...};
  return format_text(format, list);
}

}  // namespace osmira_core::engine::log

// OSMIRA_LOG_INFO(events, target, format, args...) and its WARN and ERROR siblings, where
// `events` is the call's `log::Events*` (may be null). `format` uses "{}" placeholders, e.g.
//   OSMIRA_LOG_WARN(events, "osmira_core::engine", "... failed: {}, falling back", reason);
#define OSMIRA_LOG_EVENT_(level, events, target, ...)                                     \
  do {                                                                                    \
    if (::osmira_core::engine::log::Events* const osmira_log_events_ = (events)) {        \
      osmira_log_events_->add(level, target, ::osmira_core::engine::log::text(__VA_ARGS__)); \
    }                                                                                     \
  } while (0)
#define OSMIRA_LOG_INFO(...) OSMIRA_LOG_EVENT_(::osmira_core::engine::log::Level::kInfo, __VA_ARGS__)
#define OSMIRA_LOG_WARN(...) OSMIRA_LOG_EVENT_(::osmira_core::engine::log::Level::kWarn, __VA_ARGS__)
#define OSMIRA_LOG_ERROR(...) \
  OSMIRA_LOG_EVENT_(::osmira_core::engine::log::Level::kError, __VA_ARGS__)
