// The YAML event layer: libyaml's event stream, cut into documents, with anchors resolved to
// event indexes. Both the document-tree builder and the typed spec reader walk these lists,
// so they see the same nodes, positions and parser errors.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace osmira_base::yaml {

// A position in the text, counted from 0 (index in characters).
struct Mark {
  uint64_t index = 0;
  uint64_t line = 0;
  uint64_t column = 0;
};

// " at line L column C" with both numbers counted from 1.
std::string position_suffix(const Mark& mark);

enum class EventKind : uint8_t {
  kVoid,  // stands for a stream with no document at all
  kScalar,
  kSequenceStart,
  kSequenceEnd,
  kMappingStart,
  kMappingEnd,
  kAlias,
};

enum class ScalarStyle : uint8_t { kPlain, kSingleQuoted, kDoubleQuoted, kLiteral, kFolded };

struct Event {
  EventKind kind = EventKind::kVoid;
  ScalarStyle style = ScalarStyle::kPlain;  // scalars only
  Mark mark;                                // where the event starts
  std::string value;                        // scalar text
  std::string tag;  // explicit tag as libyaml resolves it ("!name", "tag:yaml.org,2002:str"); empty if none
  size_t alias_target = 0;  // kAlias: index in Document::events of the anchored node's first event

  bool is_plain() const { return kind == EventKind::kScalar && style == ScalarStyle::kPlain; }
};

// An error met while producing events: the parser's own problem (with its marks already in
// the text) or an alias to an undefined anchor.
struct LoadError {
  std::string message;
  std::optional<Mark> mark;  // where the problem is, when known
};

struct Document {
  std::vector<Event> events;
  // Set when the events stop early: whoever reads past the last event reports this error.
  std::optional<LoadError> error;
};

// Pulls documents one at a time out of a YAML stream. The first call always yields a
// document (a stream without any gives one holding a single kVoid event at the end of the
// stream); later calls yield nothing once the stream is exhausted or broken. The text is
// not copied: it must outlive the loader.
//
// `max_depth` bounds the nesting of sequences and mappings that the loader collects: the
// start event one level deeper is kept, then the document ends with "recursion limit
// exceeded" at that event. libyaml's scanner works in time quadratic in the depth of flow
// collections, so a reader that rejects deep nesting anyway passes its limit here to stop
// early instead of first scanning a hostile text to its end.
class Loader {
 public:
  static constexpr size_t kNoDepthLimit = static_cast<size_t>(-1);

  explicit Loader(std::string_view text, size_t max_depth = kNoDepthLimit);
  ~Loader();
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  std::optional<Document> next_document();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace osmira_base::yaml
