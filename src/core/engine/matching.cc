#include "core/engine/matching.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

#include "base/number_text.h"
#include "base/unicode.h"
#include "core/engine/normalization/normalizers.h"
#include "core/engine/phonetic.h"
#include "core/engine/similarity.h"
#include "core/engine/survivorship.h"

namespace osmira_core::engine::matching {
namespace {

using osmira_base::fixed_number;
using osmira_common::ir::CompositeOperator;
using normalization::apply_fs_normalizer;

std::string two_decimals(double x) { return fixed_number(x, 2); }

// The text a fuzzy or Levenshtein rule compares (the normalizer's result, else the raw
// value) with its characters: the text's own bytes when it is pure ASCII, else its code
// points decoded once here rather than in every pair.
void prepare_text(const std::string_view* value, const std::optional<std::string>& normalizer,
                  FieldFeature& out) {
  if (value == nullptr) return;
  out.present = true;
  std::string normalized;
  if (normalizer) normalized = apply_fs_normalizer(*normalizer, *value);
  const std::string_view text = normalizer ? std::string_view(normalized) : *value;
  out.chars = true;
  out.characters.width = static_cast<uint32_t>(leading_byte_count(text));
  if (osmira_base::unicode::is_ascii(text)) {
    out.characters.length = static_cast<uint32_t>(text.size());
    out.set_text(text);
    return;
  }
  std::vector<char32_t> points;
  points.reserve(text.size());
  decode_text(text, points);
  out.characters.length = static_cast<uint32_t>(points.size());
  out.set_text(text, points);
}

TextChars chars_of(const FieldFeature& f) {
  const char32_t* points = f.points();
  return points != nullptr ? TextChars::wide(points, f.characters.length) : TextChars::ascii(f.text());
}

// Fuzzy-style outcome: the similarity with the rule weight when both values are present,
// score and weight 0.0 otherwise; matched by the inclusive threshold test. `prepared` compares
// two features with characters, `plain` two texts.
template <typename Prepared, typename Plain>
RuleOutcome similarity_outcome(const FieldFeature& a, const FieldFeature& b, double threshold,
                               double weight, Prepared prepared, Plain plain) {
  RuleOutcome o;
  if (a.present && b.present) {
    o.score = a.chars && b.chars ? prepared(a, b) : plain(a.text(), b.text());
    o.weight = weight;
    o.complete = true;
  }
  o.matched = o.score >= threshold;
  return o;
}

// A phonetic code as one integer: its bytes, then its length in the top byte, so that two
// codes are equal exactly when their integers are. Codes are at most 4 characters.
constexpr size_t kPhoneticCodeLength = 4;
static_assert(kPhoneticCodeLength <= 7);

uint64_t pack_code(std::string_view code) {
  uint64_t packed = 0;
  const size_t n = std::min(code.size(), kPhoneticCodeLength);
  std::memcpy(&packed, code.data(), n);
  return packed | (uint64_t{n} << 56);
}

}  // namespace

// ---- MatchRule ----------------------------------------------------------------------------

// ---- FieldFeature -------------------------------------------------------------------------

void FieldFeature::store(std::string_view text, Extra kind, const void* extra, size_t extra_bytes) {
  if (text.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("a field value of 4 GiB or more cannot be compared");
  }
  release();
  const auto size = static_cast<uint32_t>(text.size());
  if (size <= kLocalBytes && kind == kNone) {
    if (size > 0) std::memcpy(store_.local, text.data(), size);
    text_size_ = size;
    return;
  }
  const size_t offset = (size_t{size} + 7) & ~size_t{7};
  char* block = new char[offset + extra_bytes];
  if (size > 0) std::memcpy(block, text.data(), size);
  if (extra_bytes > 0) std::memcpy(block + offset, extra, extra_bytes);
  store_.heap = block;
  text_size_ = size;
  extra_ = kind;
}

void FieldFeature::set_text(std::string_view text, std::span<const char32_t> points) {
  store(text, points.empty() ? kNone : kPoints, points.data(), points.size_bytes());
}

void FieldFeature::set_bigrams(std::span<const Bigram> bigrams) {
  store({}, bigrams.empty() ? kNone : kBigrams, bigrams.data(), bigrams.size_bytes());
}

size_t FieldFeature::used_block_bytes() const {
  if (!on_heap()) return 0;
  // The code points or bigrams that follow the text.
  size_t extra = 0;
  if (extra_ == kPoints) extra = size_t{characters.length} * sizeof(char32_t);
  if (extra_ == kBigrams) extra = size_t{grams.count} * sizeof(Bigram);
  return extra_offset() + extra;
}

size_t FieldFeature::block_bytes() const { return (used_block_bytes() + 7) & ~size_t{7}; }

void FieldFeature::move_block_to(char* to) {
  const size_t bytes = used_block_bytes();
  if (bytes == 0) return;
  std::memcpy(to, store_.heap, bytes);
  if (!borrowed_) delete[] store_.heap;
  store_.heap = to;
  borrowed_ = true;
}

RuleResult MatchRule::result(const RuleOutcome& outcome) const {
  RuleResult r;
  r.rule_name = std::string(name());
  r.explanation = explain(outcome);
  r.score = outcome.score;
  r.weight = outcome.weight;
  r.matched = outcome.matched;
  return r;
}

RuleResult LeafRule::evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const {
  FieldFeature fa;
  FieldFeature fb;
  prepare(a, fa);
  prepare(b, fb);
  SimilarityScratch scratch;
  return result(compare(fa, fb, scratch));
}

const std::string_view* FieldRule::value_of(const NormalizedEntity& record) const {
  const auto it = record.data.find(std::string_view(field_));
  return it == record.data.end() ? nullptr : &it->second;
}

// ---- ExactMatch ---------------------------------------------------------------------------

ExactMatch::ExactMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                       double weight, bool case_insensitive, bool normalize)
    : FieldRule(std::move(name), std::move(field), weight),
      normalizer_(std::move(normalizer)),
      case_insensitive_(case_insensitive),
      normalize_(normalize) {}

void ExactMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  const std::string_view* value = value_of(record);
  if (value == nullptr) return;
  out.present = true;
  std::string text = normalizer_ ? apply_fs_normalizer(*normalizer_, *value) : std::string(*value);
  if (normalize_) text = std::string(osmira_base::unicode::trim_whitespace(text));
  if (case_insensitive_) text = osmira_base::unicode::to_lowercase(text);
  out.codes.code = std::hash<std::string_view>()(text);
  out.set_text(text);
}

RuleOutcome ExactMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                SimilarityScratch&) const {
  RuleOutcome o;
  if (!a.present || !b.present) return o;
  o.complete = true;
  o.weight = weight_;
  // Unequal hashes settle most pairs.
  o.matched = a.codes.code == b.codes.code && a.text() == b.text();
  o.score = o.matched ? 1.0 : 0.0;
  return o;
}

std::string ExactMatch::explain(const RuleOutcome& o) const {
  if (!o.complete) return "Missing data on field " + field_;
  return (o.matched ? "Exact match on field " : "No match on field ") + field_;
}

// ---- FuzzyStringMatch ---------------------------------------------------------------------

FuzzyStringMatch::FuzzyStringMatch(std::string name, std::string field,
                                   std::optional<std::string> normalizer, double threshold,
                                   double weight)
    : FieldRule(std::move(name), std::move(field), weight),
      normalizer_(std::move(normalizer)),
      threshold_(threshold) {}

void FuzzyStringMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  prepare_text(value_of(record), normalizer_, out);
}

RuleOutcome FuzzyStringMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                      SimilarityScratch& scratch) const {
  return similarity_outcome(
      a, b, threshold_, weight_,
      [&](const FieldFeature& x, const FieldFeature& y) {
        return jaro_winkler(chars_of(x), chars_of(y), scratch);
      },
      [](std::string_view x, std::string_view y) { return jaro_winkler(x, y); });
}

std::string FuzzyStringMatch::explain(const RuleOutcome& o) const {
  if (o.score >= threshold_) {
    return "Fuzzy match on field " + field_ + " (score: " + two_decimals(o.score) + ")";
  }
  if (o.complete) {
    return "Insufficient fuzzy score on field " + field_ + " (score: " + two_decimals(o.score) +
           ")";
  }
  return "Missing data on field " + field_;
}

// ---- LevenshteinMatch ---------------------------------------------------------------------

LevenshteinMatch::LevenshteinMatch(std::string name, std::string field,
                                   std::optional<std::string> normalizer, double threshold,
                                   double weight)
    : FieldRule(std::move(name), std::move(field), weight),
      normalizer_(std::move(normalizer)),
      threshold_(threshold) {}

void LevenshteinMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  prepare_text(value_of(record), normalizer_, out);
}

RuleOutcome LevenshteinMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                      SimilarityScratch& scratch) const {
  return similarity_outcome(
      a, b, threshold_, weight_,
      [&](const FieldFeature& x, const FieldFeature& y) {
        return normalized_levenshtein(chars_of(x), x.characters.width, chars_of(y),
                                      y.characters.width, scratch);
      },
      [](std::string_view x, std::string_view y) { return normalized_levenshtein(x, y); });
}

std::string LevenshteinMatch::explain(const RuleOutcome& o) const {
  if (o.score >= threshold_) {
    return "Levenshtein match on field " + field_ + " (score: " + two_decimals(o.score) + ")";
  }
  if (o.complete) {
    return "Insufficient Levenshtein score on field " + field_ +
           " (score: " + two_decimals(o.score) + ")";
  }
  return "Missing data on field " + field_;
}

// ---- SoundexMatch -------------------------------------------------------------------------

SoundexMatch::SoundexMatch(std::string name, std::string field, double threshold, double weight)
    : FieldRule(std::move(name), std::move(field), weight), threshold_(threshold) {}

void SoundexMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  const std::string_view* value = value_of(record);
  if (value == nullptr) return;
  out.present = true;
  out.codes.code = pack_code(soundex(*value));
}

RuleOutcome SoundexMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                  SimilarityScratch&) const {
  RuleOutcome o;
  o.weight = weight_;  // also with missing data
  o.complete = a.present && b.present;
  if (o.complete && a.codes.code == b.codes.code) o.score = 1.0;
  o.matched = o.score >= threshold_;
  return o;
}

std::string SoundexMatch::explain(const RuleOutcome& o) const {
  return o.score >= threshold_ ? "Soundex match on field " + field_ + " (codes match)"
                               : "Soundex mismatch on field " + field_ + " (codes differ)";
}

// ---- MetaphoneMatch -----------------------------------------------------------------------

MetaphoneMatch::MetaphoneMatch(std::string name, std::string field, double threshold,
                               double weight)
    : FieldRule(std::move(name), std::move(field), weight), threshold_(threshold) {}

void MetaphoneMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  const std::string_view* value = value_of(record);
  if (value == nullptr) return;
  out.present = true;
  const DoubleMetaphoneCodes codes = double_metaphone(*value, kPhoneticCodeLength);
  out.codes = {pack_code(codes.primary), pack_code(codes.alternate)};
}

RuleOutcome MetaphoneMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                    SimilarityScratch&) const {
  RuleOutcome o;
  o.weight = weight_;
  o.complete = a.present && b.present;
  if (o.complete) {
    if (a.codes.code == b.codes.code) {
      o.score = 1.0;
    } else if (a.codes.code == b.codes.alternate || a.codes.alternate == b.codes.code) {
      o.score = 0.5;
    }
  }
  o.matched = o.score >= threshold_;
  return o;
}

std::string MetaphoneMatch::explain(const RuleOutcome& o) const {
  return (o.score >= threshold_ ? "Metaphone match on field " : "Metaphone mismatch on field ") +
         field_ + " (score: " + two_decimals(o.score) + ")";
}

// ---- CosineMatch --------------------------------------------------------------------------

CosineMatch::CosineMatch(std::string name, std::string field, double threshold, double weight)
    : FieldRule(std::move(name), std::move(field), weight), threshold_(threshold) {}

void CosineMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  const std::string_view* value = value_of(record);
  if (value == nullptr) return;
  out.present = true;
  std::vector<uint64_t> pairs;
  const std::string_view text = *value;
  size_t pos = 0;
  bool have_prev = false;
  char32_t prev = 0;
  while (pos < text.size()) {
    const char32_t c = osmira_base::unicode::decode_utf8(text, pos);
    if (have_prev) pairs.push_back((static_cast<uint64_t>(prev) << 32) | c);
    prev = c;
    have_prev = true;
  }
  std::sort(pairs.begin(), pairs.end());
  // The counts and their squares are small integers, so every sum below is exact and the
  // result does not depend on the order of summation.
  std::vector<Bigram> bigrams;
  double squares = 0.0;
  for (size_t i = 0; i < pairs.size();) {
    size_t j = i;
    while (j < pairs.size() && pairs[j] == pairs[i]) ++j;
    const auto count = static_cast<uint32_t>(j - i);
    bigrams.push_back({pairs[i], count});
    squares += static_cast<double>(count) * static_cast<double>(count);
    i = j;
  }
  // More distinct bigrams than a 32-bit count holds would need a text of over 4 GB; such a
  // value keeps only that many (it cannot arise from a record that fits in memory here).
  const size_t kept = std::min<size_t>(bigrams.size(), std::numeric_limits<uint32_t>::max());
  out.grams.norm = std::sqrt(squares);
  out.grams.count = static_cast<uint32_t>(kept);
  if (kept > 0) out.set_bigrams(std::span<const Bigram>(bigrams.data(), kept));
}

RuleOutcome CosineMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                 SimilarityScratch&) const {
  RuleOutcome o;
  o.weight = weight_;
  o.complete = a.present && b.present;
  if (o.complete && a.grams.count > 0 && b.grams.count > 0) {
    double dot = 0.0;
    const Bigram* x = a.bigrams();
    const Bigram* const x_end = x + a.grams.count;
    const Bigram* y = b.bigrams();
    const Bigram* const y_end = y + b.grams.count;
    while (x != x_end && y != y_end) {
      if (x->key < y->key) {
        ++x;
      } else if (y->key < x->key) {
        ++y;
      } else {
        dot += static_cast<double>(x->count) * static_cast<double>(y->count);
        ++x;
        ++y;
      }
    }
    o.score = dot / (a.grams.norm * b.grams.norm);
    // Equal count vectors score exactly 1.0, which the quotient can miss by a rounding step
    // either way; no score lies above 1.0. (Equal vectors have equal norms and lists.)
    if (o.score >= 1.0 ||
        (a.grams.count == b.grams.count && a.grams.norm == b.grams.norm &&
         std::equal(a.bigrams(), x_end, b.bigrams(), [](const Bigram& p, const Bigram& q) {
           return p.key == q.key && p.count == q.count;
         }))) {
      o.score = 1.0;
    }
  }
  o.matched = o.score >= threshold_;
  return o;
}

std::string CosineMatch::explain(const RuleOutcome& o) const {
  return (o.score >= threshold_ ? "Cosine match on field " : "Insufficient cosine score on field ") +
         field_ + " (score: " + two_decimals(o.score) + ")";
}

// ---- HaversineMatch -----------------------------------------------------------------------

HaversineMatch::HaversineMatch(std::string name, std::string field, double max_distance_km,
                               double weight)
    : FieldRule(std::move(name), std::move(field), weight), max_distance_km_(max_distance_km) {}

std::optional<std::pair<double, double>> HaversineMatch::parse_latlon(std::string_view text) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const std::string_view rest = text.substr(comma + 1);
  if (rest.find(',') != std::string_view::npos) return std::nullopt;
  const auto lat = read_decimal_number(osmira_base::unicode::trim_whitespace(text.substr(0, comma)));
  const auto lon = read_decimal_number(osmira_base::unicode::trim_whitespace(rest));
  if (!lat || !lon) return std::nullopt;
  // Written so that NaN fails both tests.
  if (!(std::fabs(*lat) <= 90.0) || !(std::fabs(*lon) <= 180.0)) return std::nullopt;
  return std::pair(*lat, *lon);
}

void HaversineMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  const std::string_view* value = value_of(record);
  if (value == nullptr) return;
  out.present = true;
  if (auto point = parse_latlon(*value)) {
    out.parsed = true;
    out.num = {point->first, point->second};
  }
}

RuleOutcome HaversineMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                    SimilarityScratch&) const {
  RuleOutcome o;
  o.weight = weight_;
  if (!a.parsed || !b.parsed) return o;
  o.complete = true;
  const double d = haversine_km(a.num.x, a.num.y, b.num.x, b.num.y);
  const double max = max_distance_km_;
  o.distance = d;
  if (d <= max) {
    o.score = 1.0;
  } else if (max < d && d <= 2.0 * max) {
    o.score = 1.0 - (d - max) / max;
  }
  o.matched = max >= d;
  return o;
}

std::string HaversineMatch::explain(const RuleOutcome& o) const {
  if (!o.complete) return "Haversine: could not parse coordinates from field " + field_;
  const std::string numbers =
      " (distance: " + two_decimals(o.distance) + " km, " +
      (o.matched ? "within " : "exceeds ") + two_decimals(max_distance_km_) + " km tolerance)";
  return (o.matched ? "Haversine match on field " : "Haversine mismatch on field ") + field_ +
         numbers;
}

// ---- RangeMatch ---------------------------------------------------------------------------

RangeMatch::RangeMatch(std::string name, std::string field, double tolerance, double weight)
    : FieldRule(std::move(name), std::move(field), weight), tolerance_(tolerance) {}

void RangeMatch::prepare(const NormalizedEntity& record, FieldFeature& out) const {
  const std::string_view* value = value_of(record);
  if (value == nullptr) return;
  out.present = true;
  if (auto number = read_decimal_number(*value)) {
    out.parsed = true;
    out.num.x = *number;
  }
}

RuleOutcome RangeMatch::compare(const FieldFeature& a, const FieldFeature& b,
                                SimilarityScratch&) const {
  RuleOutcome o;
  if (!a.parsed || !b.parsed) return o;
  o.complete = true;
  o.weight = weight_;
  o.matched = tolerance_ >= std::fabs(a.num.x - b.num.x);  // false when the difference is NaN
  o.score = o.matched ? 1.0 : 0.0;
  return o;
}

std::string RangeMatch::explain(const RuleOutcome& o) const {
  if (!o.complete) return "Missing data on field " + field_;
  if (o.matched) {
    return "Range match on field " + field_ + " (diff within " +
           osmira_base::plain_number(tolerance_) + ")";
  }
  return "Range mismatch on field " + field_;
}

// ---- MlMatch ------------------------------------------------------------------------------

MlMatch::MlMatch(std::string name, std::string model_id, std::vector<std::string> features,
                 double threshold, double weight)
    : model_id_(std::move(model_id)),
      features_(std::move(features)),
      name_(std::move(name)),
      threshold_(threshold),
      weight_(weight) {}

RuleOutcome MlMatch::compare(const FieldFeature&, const FieldFeature&, SimilarityScratch&) const {
  RuleOutcome o;
  o.weight = weight_;
  return o;
}

std::string MlMatch::explain(const RuleOutcome&) const {
  return "ML matching not fully implemented currently";
}

// ---- CompositeMatch -----------------------------------------------------------------------

CompositeMatch::CompositeMatch(std::vector<std::unique_ptr<MatchRule>> children, std::string name,
                               CompositeOperator op)
    : children_(std::move(children)), name_(std::move(name)), op_(op) {}

CompositeMatch::~CompositeMatch() {
  std::vector<std::unique_ptr<MatchRule>> pending = std::move(children_);
  while (!pending.empty()) {
    std::unique_ptr<MatchRule> rule = std::move(pending.back());
    pending.pop_back();
    if (rule->kind() == RuleKind::kComposite) {
      auto& children = static_cast<CompositeMatch&>(*rule).children_;
      for (auto& child : children) pending.push_back(std::move(child));
      children.clear();
    }
  }
}

RuleOutcome CompositeMatch::combine(std::span<const RuleOutcome> children) const {
  RuleOutcome o;
  o.weight = kWeight;
  o.complete = true;
  double sum = 0.0;
  for (const RuleOutcome& c : children) sum += c.score;
  o.score = children.empty() ? 0.0 : sum / static_cast<double>(children.size());
  if (op_ == CompositeOperator::kAnd) {
    o.matched = std::all_of(children.begin(), children.end(),
                            [](const RuleOutcome& c) { return c.matched; });
  } else {
    o.matched = std::any_of(children.begin(), children.end(),
                            [](const RuleOutcome& c) { return c.matched; });
  }
  return o;
}

RuleResult CompositeMatch::evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const {
  const MatchRule* self = this;
  const RuleProgram program = RuleProgram::build(std::span<const MatchRule* const>(&self, 1));
  std::vector<FieldFeature> fa(program.leaves().size());
  std::vector<FieldFeature> fb(program.leaves().size());
  for (size_t i = 0; i < program.leaves().size(); ++i) {
    program.leaves()[i]->prepare(a, fa[i]);
    program.leaves()[i]->prepare(b, fb[i]);
  }
  std::vector<RuleOutcome> stack;
  RuleOutcome outcome;
  SimilarityScratch scratch;
  program.run(fa, fb, stack, std::span<RuleOutcome>(&outcome, 1), scratch);
  return result(outcome);
}

std::string CompositeMatch::explain(const RuleOutcome& o) const {
  return "Composite match (" + std::to_string(children_.size()) +
         " component rules, matched: " + (o.matched ? "true" : "false") + ")";
}

// ---- RuleProgram --------------------------------------------------------------------------

RuleProgram RuleProgram::build(std::span<const std::unique_ptr<MatchRule>> rules) {
  std::vector<const MatchRule*> roots;
  roots.reserve(rules.size());
  for (const auto& r : rules) roots.push_back(r.get());
  return build(std::span<const MatchRule* const>(roots));
}

RuleProgram RuleProgram::build(std::span<const MatchRule* const> rules) {
  RuleProgram program;
  program.top_count_ = rules.size();
  struct Frame {
    const MatchRule* rule;
    size_t next_child;
  };
  std::vector<Frame> stack;  // explicit: rule trees are walked without recursion
  for (size_t t = 0; t < rules.size(); ++t) {
    stack.push_back({rules[t], 0});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      const auto* composite = frame.rule->kind() == RuleKind::kComposite
                                  ? static_cast<const CompositeMatch*>(frame.rule)
                                  : nullptr;
      if (composite != nullptr && frame.next_child < composite->children().size()) {
        const MatchRule* child = composite->children()[frame.next_child++].get();
        stack.push_back({child, 0});
        continue;
      }
      Step step;
      step.rule = frame.rule;
      if (composite != nullptr) {
        step.composite = composite;
        step.child_count = static_cast<uint32_t>(composite->children().size());
      } else {
        step.leaf = static_cast<const LeafRule*>(frame.rule);
        step.kind = step.leaf->kind();
        step.slot = static_cast<uint32_t>(program.leaves_.size());
        program.leaves_.push_back(step.leaf);
      }
      stack.pop_back();
      if (stack.empty()) step.top = static_cast<int32_t>(t);
      program.steps_.push_back(step);
    }
  }
  return program;
}

namespace {

// A leaf's comparison called directly: every leaf class is final, so each case below is a
// plain (inlinable) call rather than a virtual one.
RuleOutcome compare_leaf(const RuleProgram::Step& step, const FieldFeature& a,
                         const FieldFeature& b, SimilarityScratch& scratch) {
  switch (step.kind) {
    case RuleKind::kExact:
      return static_cast<const ExactMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kFuzzy:
      return static_cast<const FuzzyStringMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kLevenshtein:
      return static_cast<const LevenshteinMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kSoundex:
      return static_cast<const SoundexMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kMetaphone:
      return static_cast<const MetaphoneMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kCosine:
      return static_cast<const CosineMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kHaversine:
      return static_cast<const HaversineMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kRange:
      return static_cast<const RangeMatch*>(step.leaf)->compare(a, b, scratch);
    case RuleKind::kMl:
    case RuleKind::kComposite:
      break;
  }
  return step.leaf->compare(a, b, scratch);
}

}  // namespace

void RuleProgram::run(std::span<const FieldFeature> a, std::span<const FieldFeature> b,
                      std::vector<RuleOutcome>& stack, std::span<RuleOutcome> top,
                      SimilarityScratch& scratch) const {
  stack.clear();
  for (const Step& step : steps_) {
    if (step.leaf != nullptr && step.top >= 0) {  // a top-level leaf: no stack needed
      top[static_cast<size_t>(step.top)] = compare_leaf(step, a[step.slot], b[step.slot], scratch);
      continue;
    }
    if (step.leaf != nullptr) {
      stack.push_back(compare_leaf(step, a[step.slot], b[step.slot], scratch));
    } else {
      const size_t first = stack.size() - step.child_count;
      const RuleOutcome combined = step.composite->combine(
          std::span<const RuleOutcome>(stack.data() + first, step.child_count));
      stack.resize(first);
      stack.push_back(combined);
    }
    if (step.top >= 0) {
      top[static_cast<size_t>(step.top)] = stack.back();
      stack.pop_back();
    }
  }
}

void RuleProgram::run(std::span<const FieldFeature> a, std::span<const FieldFeature> b,
                      std::vector<RuleOutcome>& stack, std::span<RuleOutcome> top) const {
  SimilarityScratch scratch;
  run(a, b, stack, top, scratch);
}

}  // namespace osmira_core::engine::matching
