#include "base/yaml_tree.h"

#include <cmath>
#include <utility>
#include <vector>

#include "base/yaml_scalar.h"

namespace osmira_base::yaml {

std::string error_position(const Mark& mark) {
  if (mark.line == 0 && mark.column == 0) return std::string();
  return position_suffix(mark);
}

namespace {

constexpr std::string_view kStrTag = "tag:yaml.org,2002:str";

// The tree node of a scalar in value position. Written through `out` rather than returned
// in a Result: moving a Value out of a Result trips a false -Wmaybe-uninitialized in
// GCC 12's std::variant at -O3.
Status scalar_value(const Event& e, NonFinite non_finite, Value& out) {
  if (!e.is_plain() || e.tag == kStrTag) {
    out = Value(e.value);
    return ok_status();
  }
  const PlainScalar s = classify_plain_scalar(e.value);
  switch (s.kind) {
    case PlainScalar::Kind::kNull: out = Value(); break;
    case PlainScalar::Kind::kBool: out = Value(s.boolean); break;
    case PlainScalar::Kind::kUInt: out = Value(s.uint); break;
    case PlainScalar::Kind::kInt: out = Value(s.sint); break;
    case PlainScalar::Kind::kBigUInt:
    case PlainScalar::Kind::kBigInt:
      return Error("JSON number out of range" + error_position(e.mark));
    case PlainScalar::Kind::kFloat:
      // Unless asked to keep them, ".inf" and ".nan" become null.
      out = std::isfinite(s.number) || non_finite == NonFinite::kKeep ? Value(s.number) : Value();
      break;
    case PlainScalar::Kind::kString: out = Value(e.value); break;
  }
  return ok_status();
}

// One open sequence or mapping.
struct Frame {
  Value value;          // an array or an object being filled
  bool is_map = false;
  bool has_key = false;  // mappings: `key` waits for its value
  std::string key;
};

// Where to resume after an alias's anchored node has been walked again: the event after
// the alias, once a node completes at the nesting depth the alias stood at.
struct AliasReturn {
  size_t resume = 0;
  size_t depth = 0;
};

class Composer {
 public:
  Composer(const Document& doc, NonFinite non_finite)
      : doc_(doc), non_finite_(non_finite), limit_(kRepetitionFactor * doc.events.size()) {}

  Result<Value> run() {
    while (true) {
      ASSIGN_OR_RETURN(const Event* e, next_event());
      if (e->kind == EventKind::kAlias) {
        if (++expansions_ > limit_) return Error("repetition limit exceeded");
        returns_.push_back({pos_, frames_.size()});
        pos_ = e->alias_target;
        continue;
      }
      const bool want_key = !frames_.empty() && frames_.back().is_map && !frames_.back().has_key;
      switch (e->kind) {
        case EventKind::kScalar:
          if (want_key) {
            frames_.back().key = e->value;
            frames_.back().has_key = true;
            resume_after_alias();
            continue;
          }
          {
            Value v;
            RETURN_IF_ERROR(scalar_value(*e, non_finite_, v));
            if (complete(std::move(v))) return finish();
          }
          continue;
        case EventKind::kSequenceStart:
        case EventKind::kMappingStart: {
          const bool is_map = e->kind == EventKind::kMappingStart;
          if (want_key) {
            // The first key of a mapping is read as "a string key", every later key as
            // "a string"; an object is empty exactly until its first entry is stored.
            const bool first_key = frames_.back().value.as_object().empty();
            return Error(std::string("invalid type: ") + (is_map ? "map" : "sequence") +
                         (first_key ? ", expected a string key" : ", expected a string") +
                         error_position(e->mark));
          }
          if (frames_.size() >= kMaxNestingDepth) {
            return Error("recursion limit exceeded" + error_position(e->mark));
          }
          Frame f;
          f.is_map = is_map;
          f.value = is_map ? Value::object() : Value::array();
          frames_.push_back(std::move(f));
          continue;
        }
        case EventKind::kSequenceEnd:
        case EventKind::kMappingEnd: {
          // libyaml only produces ends that match an open collection; a hand-made
          // Document might not.
          if (frames_.empty()) return Error("unexpected end of a collection" + error_position(e->mark));
          Value v = std::move(frames_.back().value);
          frames_.pop_back();
          if (complete(std::move(v))) return finish();
          continue;
        }
        case EventKind::kVoid:
          return Error("EOF while parsing a value");
        case EventKind::kAlias:
          break;  // handled above
      }
    }
  }

 private:
  // The next event to walk; past the end of the events, the document's own error.
  Result<const Event*> next_event() {
    if (pos_ >= doc_.events.size()) {
      if (doc_.error) return Error(doc_.error->message);
      return Error("EOF while parsing a value");
    }
    if (!returns_.empty() && ++replayed_ > limit_) return Error("repetition limit exceeded");
    return &doc_.events[pos_++];
  }

  // The composed root, assigned into a constructed Result (see scalar_value).
  Result<Value> finish() {
    Result<Value> out{Value()};
    out.value() = std::move(root_);
    return out;
  }

  // A node is complete at the current depth: leave every alias whose anchored node it was.
  void resume_after_alias() {
    while (!returns_.empty() && returns_.back().depth == frames_.size()) {
      pos_ = returns_.back().resume;
      returns_.pop_back();
    }
  }

  // Places a complete value in its parent; true when it is the root.
  bool complete(Value v) {
    resume_after_alias();
    if (frames_.empty()) {
      root_ = std::move(v);
      return true;
    }
    Frame& parent = frames_.back();
    if (parent.is_map) {
      parent.value.set(std::move(parent.key), std::move(v));
      parent.key.clear();
      parent.has_key = false;
    } else {
      parent.value.push(std::move(v));
    }
    return false;
  }

  const Document& doc_;
  const NonFinite non_finite_;
  const size_t limit_;
  size_t pos_ = 0;
  size_t expansions_ = 0;  // alias jumps
  size_t replayed_ = 0;    // events walked while inside an alias expansion
  std::vector<Frame> frames_;
  std::vector<AliasReturn> returns_;
  Value root_;
};

}  // namespace

Result<Value> compose_tree(const Document& doc, NonFinite non_finite) {
  return Composer(doc, non_finite).run();
}

}  // namespace osmira_base::yaml
