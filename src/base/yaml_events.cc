#include "base/yaml_events.h"

#include <yaml.h>

#include <map>

namespace osmira_base::yaml {

std::string position_suffix(const Mark& mark) {
  return " at line " + std::to_string(mark.line + 1) + " column " + std::to_string(mark.column + 1);
}

namespace {

Mark to_mark(const yaml_mark_t& m) {
  return Mark{static_cast<uint64_t>(m.index), static_cast<uint64_t>(m.line),
              static_cast<uint64_t>(m.column)};
}

// The parser's problem, its position, and its context with the context's position when
// that differs from the problem's.
LoadError parser_error(const yaml_parser_t& p) {
  LoadError e;
  e.message = p.problem != nullptr ? p.problem : "unknown error";
  const Mark pm = to_mark(p.problem_mark);
  if (pm.line != 0 || pm.column != 0) {
    e.message += position_suffix(pm);
    e.mark = pm;
  } else if (p.problem_offset != 0) {
    e.message += " at position " + std::to_string(p.problem_offset);
  } else {
    e.mark = pm;
  }
  if (p.context != nullptr) {
    e.message += ", ";
    e.message += p.context;
    const Mark cm = to_mark(p.context_mark);
    if ((cm.line != 0 || cm.column != 0) && (cm.line != pm.line || cm.column != pm.column)) {
      e.message += position_suffix(cm);
    }
  }
  return e;
}

// `message` at `mark`; like every positioned message, the very start of the text has no
// suffix.
LoadError positioned_error(std::string message, const Mark& mark) {
  if (mark.line != 0 || mark.column != 0) message += position_suffix(mark);
  return LoadError{std::move(message), mark};
}

std::string_view text_of(const yaml_char_t* s) {
  return s == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(s));
}

}  // namespace

struct Loader::Impl {
  yaml_parser_t parser;
  bool live = true;  // the parser can still produce events
  size_t documents = 0;
  size_t max_depth = kNoDepthLimit;
};

Loader::Loader(std::string_view text, size_t max_depth) : impl_(std::make_unique<Impl>()) {
  impl_->max_depth = max_depth;
  yaml_parser_initialize(&impl_->parser);
  // libyaml asserts on a null input pointer, which an empty view is free to carry.
  static constexpr unsigned char kNoText[] = "";
  const unsigned char* input =
      text.data() != nullptr ? reinterpret_cast<const unsigned char*>(text.data()) : kNoText;
  yaml_parser_set_input_string(&impl_->parser, input, text.size());
}

Loader::~Loader() {
  yaml_parser_delete(&impl_->parser);
}

std::optional<Document> Loader::next_document() {
  if (!impl_->live) return std::nullopt;
  const bool first = impl_->documents++ == 0;
  Document doc;
  std::map<std::string, size_t, std::less<>> anchors;  // anchor name -> event index
  size_t depth = 0;  // open sequences and mappings
  auto anchor = [&](const yaml_char_t* name) {
    if (name != nullptr) anchors.insert_or_assign(std::string(text_of(name)), doc.events.size());
  };
  while (true) {
    yaml_event_t ev;
    if (!yaml_parser_parse(&impl_->parser, &ev)) {
      doc.error = parser_error(impl_->parser);
      impl_->live = false;
      return doc;
    }
    Event out;
    out.mark = to_mark(ev.start_mark);
    bool keep = true;
    bool done = false;
    switch (ev.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
      case YAML_NO_EVENT:
        keep = false;
        break;
      case YAML_STREAM_END_EVENT:
        impl_->live = false;
        yaml_event_delete(&ev);
        if (!first) return std::nullopt;
        if (doc.events.empty()) doc.events.push_back(out);  // kVoid at the end of the stream
        return doc;
      case YAML_DOCUMENT_END_EVENT:
        keep = false;
        done = true;
        break;
      case YAML_ALIAS_EVENT: {
        auto it = anchors.find(text_of(ev.data.alias.anchor));
        if (it == anchors.end()) {
          doc.error = positioned_error("unknown anchor", out.mark);
          impl_->live = false;
          yaml_event_delete(&ev);
          return doc;
        }
        out.kind = EventKind::kAlias;
        out.alias_target = it->second;
        break;
      }
      case YAML_SCALAR_EVENT:
        anchor(ev.data.scalar.anchor);
        out.kind = EventKind::kScalar;
        out.value.assign(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
        out.tag = text_of(ev.data.scalar.tag);
        switch (ev.data.scalar.style) {
          case YAML_SINGLE_QUOTED_SCALAR_STYLE: out.style = ScalarStyle::kSingleQuoted; break;
          case YAML_DOUBLE_QUOTED_SCALAR_STYLE: out.style = ScalarStyle::kDoubleQuoted; break;
          case YAML_LITERAL_SCALAR_STYLE: out.style = ScalarStyle::kLiteral; break;
          case YAML_FOLDED_SCALAR_STYLE: out.style = ScalarStyle::kFolded; break;
          default: out.style = ScalarStyle::kPlain; break;
        }
        break;
      case YAML_SEQUENCE_START_EVENT:
        anchor(ev.data.sequence_start.anchor);
        out.kind = EventKind::kSequenceStart;
        out.tag = text_of(ev.data.sequence_start.tag);
        break;
      case YAML_SEQUENCE_END_EVENT:
        out.kind = EventKind::kSequenceEnd;
        break;
      case YAML_MAPPING_START_EVENT:
        anchor(ev.data.mapping_start.anchor);
        out.kind = EventKind::kMappingStart;
        out.tag = text_of(ev.data.mapping_start.tag);
        break;
      case YAML_MAPPING_END_EVENT:
        out.kind = EventKind::kMappingEnd;
        break;
    }
    yaml_event_delete(&ev);
    if (out.kind == EventKind::kSequenceStart || out.kind == EventKind::kMappingStart) {
      if (++depth > impl_->max_depth) {
        doc.error = positioned_error("recursion limit exceeded", out.mark);
        doc.events.push_back(std::move(out));
        impl_->live = false;
        return doc;
      }
    } else if (out.kind == EventKind::kSequenceEnd || out.kind == EventKind::kMappingEnd) {
      --depth;
    }
    if (keep) doc.events.push_back(std::move(out));
    if (done) return doc;
  }
}

}  // namespace osmira_base::yaml
