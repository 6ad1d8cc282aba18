// Match rules: each compares one field of two entity records (or combines other rules) and
// reports a `RuleResult`: a score, the weight it contributes, whether it counts as matched,
// and a fixed explanation text.
//
// Ten kinds. Nine are leaves that look at one field; `CompositeMatch` combines the results
// of its children. Rules are built only by `ReconciliationEngine::compile_rule`, are
// immutable afterwards, and may be used by any number of threads at once.
//
// A leaf's work is split in three steps so that pair evaluation can do the per-record part
// once per record instead of once per pair:
//   prepare(record) -> FieldFeature      the field value as the rule compares it
//                                        (normalised text and its decoded characters,
//                                        phonetic codes, bigram counts, parsed number or
//                                        coordinates)
//   compare(feature a, feature b, scratch) -> RuleOutcome   score, weight, matched
//   explain(outcome) -> text              only for results that are handed back
// `evaluate(a, b)` is exactly these three steps, so a result is the same whether the
// features were cached or not.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ir/enums.h"
#include "core/engine/similarity.h"
#include "core/engine/types.h"

namespace osmira_core::engine::matching {

using types::NormalizedEntity;
using types::RuleResult;

enum class RuleKind {
  kExact,
  kFuzzy,
  kLevenshtein,
  kSoundex,
  kMetaphone,
  kCosine,
  kHaversine,
  kRange,
  kComposite,
  kMl,
};

// A character bigram (first << 32 | second) of a text and how often it occurs.
struct Bigram {
  uint64_t key = 0;
  uint32_t count = 0;
};

// One record's value of a rule's field, prepared for comparison. Which members are used
// depends on the rule kind. A pair evaluation reads two of these per leaf, so everything a
// comparison needs is computed here once per record; the layout is kept compact, as a run
// holds one per record and leaf: a text of up to 16 bytes is held in place, and only a longer
// text, the code points of a non-ASCII text or bigram counts take one heap block (the text
// first, then the code points or bigrams). The heap block is the feature's own, or, once
// `move_block_to` has placed it in memory held elsewhere (a run's preparation keeps the blocks
// of many records in one allocation), borrowed from there. Movable, not copyable; a moved-from
// value is empty.
struct FieldFeature {
  bool present : 1 = false;  // the record holds the field (an empty text counts as present)
  bool parsed : 1 = false;   // range: the value is a number; haversine: it holds coordinates
  // fuzzy/levenshtein: `characters` is set and the characters are `text()` (pure ASCII) or
  // `points()`. (A text of 2^32 bytes or more is refused with std::length_error.)
  bool chars : 1 = false;

 private:
  // Declared here, in what would otherwise be padding.
  bool borrowed_ : 1 = false;  // the heap block is held elsewhere: never freed here
  enum Extra : uint8_t { kNone, kPoints, kBigrams };
  Extra extra_ = kNone;     // what follows the text in the heap block
  uint32_t text_size_ = 0;  // bytes of the text

 public:
  // Two words whose meaning depends on the kind (each kind reads only what its prepare
  // wrote): numbers for range and haversine, codes for exact, soundex and metaphone, character
  // counts for fuzzy and levenshtein, the bigram count and norm for cosine.
  struct Numbers {
    double x;  // range: the number; haversine: latitude
    double y;  // haversine: longitude
  };
  struct Codes {
    uint64_t code;       // exact: hash of the text; soundex: the code; metaphone: the
                         // primary code (codes packed)
    uint64_t alternate;  // metaphone: the alternate code (packed)
  };
  struct Characters {
    uint32_t length;  // characters (the code points when `points()` is set)
    uint32_t width;   // levenshtein: bytes that start a character (what it divides by)
  };
  struct Grams {
    double norm;     // of the counts
    uint32_t count;  // distinct bigrams (those of `bigrams()`)
  };
  union {
    Numbers num{0.0, 0.0};
    Codes codes;
    Characters characters;
    Grams grams;
  };

  FieldFeature() = default;
  FieldFeature(FieldFeature&& other) noexcept { steal(other); }
  FieldFeature& operator=(FieldFeature&& other) noexcept {
    if (this != &other) {
      release();
      steal(other);
    }
    return *this;
  }
  FieldFeature(const FieldFeature&) = delete;
  FieldFeature& operator=(const FieldFeature&) = delete;
  ~FieldFeature() { release(); }

  // exact/fuzzy/levenshtein: the compared text (empty when none was set).
  std::string_view text() const {
    return {on_heap() ? store_.heap : store_.local, text_size_};
  }
  // fuzzy/levenshtein: the `characters.length` code points of a non-ASCII text, else null.
  const char32_t* points() const {
    return extra_ == kPoints ? reinterpret_cast<const char32_t*>(store_.heap + extra_offset())
                             : nullptr;
  }
  // cosine: the `grams.count` bigrams, ascending by key, else null.
  const Bigram* bigrams() const {
    return extra_ == kBigrams ? reinterpret_cast<const Bigram*>(store_.heap + extra_offset())
                              : nullptr;
  }

  // Sets the text (a copy of `text`, which must be under 2^32 bytes) and, when `points` is
  // not empty, the code points; replaces what was set before.
  void set_text(std::string_view text, std::span<const char32_t> points = {});
  // Sets the bigrams (a copy) and no text; replaces what was set before.
  void set_bigrams(std::span<const Bigram> bigrams);

  // Bytes of the heap block (a multiple of 8), 0 when everything is held in place.
  // `characters.length` or `grams.count` must count the code points or bigrams that were set.
  size_t block_bytes() const;
  // Copies the heap block to `to` (block_bytes() bytes, 8-byte aligned), which must outlive
  // this value and every value it is moved to, frees its own block and reads from `to`
  // from now on. Nothing happens when there is no heap block.
  void move_block_to(char* to);

 private:
  static constexpr size_t kLocalBytes = 16;

  bool on_heap() const { return text_size_ > kLocalBytes || extra_ != kNone; }
  // Bytes of the heap block in use (0 when there is none).
  size_t used_block_bytes() const;
  size_t extra_offset() const { return (size_t{text_size_} + 7) & ~size_t{7}; }
  // Copies `text` and `extra_bytes` bytes of `extra` into place (the heap block when needed).
  void store(std::string_view text, Extra kind, const void* extra, size_t extra_bytes);
  void release() noexcept {
    if (on_heap() && !borrowed_) delete[] store_.heap;
    text_size_ = 0;
    extra_ = kNone;
    borrowed_ = false;
  }
  void steal(FieldFeature& other) noexcept {
    present = other.present;
    parsed = other.parsed;
    chars = other.chars;
    borrowed_ = other.borrowed_;
    static_assert(sizeof(num) == sizeof(codes) && sizeof(num) == sizeof(grams) &&
                  sizeof(num) > sizeof(characters));
    std::memcpy(&num, &other.num, sizeof(num));  // whichever of the words is in use
    text_size_ = other.text_size_;
    extra_ = other.extra_;
    store_ = other.store_;
    other.text_size_ = 0;
    other.extra_ = kNone;
    other.present = other.parsed = other.chars = other.borrowed_ = false;
    other.num = {0.0, 0.0};
  }

  union Store {
    char local[kLocalBytes];
    char* heap;  // 8-byte aligned (operator new[])
  } store_{};
};

// A rule's verdict on one pair before its explanation is written.
struct RuleOutcome {
  double score = 0.0;
  double weight = 0.0;
  bool matched = false;
  bool complete = false;  // both values were usable (chooses between explanation texts)
  double distance = 0.0;  // haversine: the great-circle distance in km
};

class MatchRule {
 public:
  virtual ~MatchRule() = default;

  virtual std::string_view name() const = 0;
  // A new result whose `rule_name` is a copy of the rule's name.
  virtual RuleResult evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const = 0;

  virtual RuleKind kind() const = 0;
  // The explanation text of an outcome of this rule.
  virtual std::string explain(const RuleOutcome& outcome) const = 0;

  // The result of an outcome: name, explanation and the outcome's numbers.
  RuleResult result(const RuleOutcome& outcome) const;
};

// The nine kinds that compare one field (the ML rule compares none but has the same shape).
class LeafRule : public MatchRule {
 public:
  RuleResult evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const final;

  // Fills `out` (which starts default-constructed) from `record`.
  virtual void prepare(const NormalizedEntity& record, FieldFeature& out) const = 0;
  // `scratch` is the caller's working memory for the text measures.
  virtual RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                              SimilarityScratch& scratch) const = 0;
};

// Leaves that read one named field and carry a weight.
class FieldRule : public LeafRule {
 public:
  std::string_view name() const final { return name_; }
  const std::string& field() const { return field_; }
  double weight() const { return weight_; }

 protected:
  FieldRule(std::string name, std::string field, double weight)
      : name_(std::move(name)), field_(std::move(field)), weight_(weight) {}

  // The record's value of the field, or nothing.
  const std::string_view* value_of(const NormalizedEntity& record) const;

  std::string name_;
  std::string field_;
  double weight_;
};

// Equal texts after the optional normalizer, trimming and lower-casing (in that order).
class ExactMatch final : public FieldRule {
 public:
  ExactMatch(std::string name, std::string field, std::optional<std::string> normalizer,
             double weight, bool case_insensitive, bool normalize);
  RuleKind kind() const override { return RuleKind::kExact; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  const std::optional<std::string>& normalizer() const { return normalizer_; }
  bool case_insensitive() const { return case_insensitive_; }
  bool normalize() const { return normalize_; }

 private:
  std::optional<std::string> normalizer_;
  bool case_insensitive_;
  bool normalize_;
};

// Jaro-Winkler similarity of the (optionally normalised) texts.
class FuzzyStringMatch final : public FieldRule {
 public:
  FuzzyStringMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                   double threshold, double weight);
  RuleKind kind() const override { return RuleKind::kFuzzy; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  const std::optional<std::string>& normalizer() const { return normalizer_; }
  double threshold() const { return threshold_; }

 private:
  std::optional<std::string> normalizer_;
  double threshold_;
};

// Normalised Levenshtein similarity (1 - distance / longer length in characters).
class LevenshteinMatch final : public FieldRule {
 public:
  LevenshteinMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                   double threshold, double weight);
  RuleKind kind() const override { return RuleKind::kLevenshtein; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  const std::optional<std::string>& normalizer() const { return normalizer_; }
  double threshold() const { return threshold_; }

 private:
  std::optional<std::string> normalizer_;
  double threshold_;
};

// Equal American Soundex codes of the raw values; full weight even with missing data.
class SoundexMatch final : public FieldRule {
 public:
  SoundexMatch(std::string name, std::string field, double threshold, double weight);
  RuleKind kind() const override { return RuleKind::kSoundex; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  double threshold() const { return threshold_; }

 private:
  double threshold_;
};

// Double Metaphone codes of the raw values: 1.0 for equal primaries, 0.5 when a primary
// equals the other's alternate.
class MetaphoneMatch final : public FieldRule {
 public:
  MetaphoneMatch(std::string name, std::string field, double threshold, double weight);
  RuleKind kind() const override { return RuleKind::kMetaphone; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  double threshold() const { return threshold_; }

 private:
  double threshold_;
};

// Cosine similarity of the character-bigram counts of the raw values, in [0, 1] (exactly 1.0
// when both count the same bigrams).
class CosineMatch final : public FieldRule {
 public:
  CosineMatch(std::string name, std::string field, double threshold, double weight);
  RuleKind kind() const override { return RuleKind::kCosine; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  double threshold() const { return threshold_; }

 private:
  double threshold_;
};

// Great-circle distance of two "latitude,longitude" values against a maximum distance.
class HaversineMatch final : public FieldRule {
 public:
  HaversineMatch(std::string name, std::string field, double max_distance_km, double weight);
  RuleKind kind() const override { return RuleKind::kHaversine; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  double max_distance_km() const { return max_distance_km_; }

  // "lat,lon": exactly two parts, each trimmed of Unicode white space and read as a number,
  // |lat| <= 90 and |lon| <= 180. Nothing on any failure.
  static std::optional<std::pair<double, double>> parse_latlon(std::string_view text);

 private:
  double max_distance_km_;
};

// Two numbers within an inclusive tolerance.
class RangeMatch final : public FieldRule {
 public:
  RangeMatch(std::string name, std::string field, double tolerance, double weight);
  RuleKind kind() const override { return RuleKind::kRange; }
  void prepare(const NormalizedEntity& record, FieldFeature& out) const override;
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  double tolerance() const { return tolerance_; }

 private:
  double tolerance_;
};

// Placeholder for a learned model: always score 0.0, never matched.
class MlMatch final : public LeafRule {
 public:
  MlMatch(std::string name, std::string model_id, std::vector<std::string> features,
          double threshold, double weight);
  std::string_view name() const override { return name_; }
  RuleKind kind() const override { return RuleKind::kMl; }
  void prepare(const NormalizedEntity&, FieldFeature&) const override {}
  RuleOutcome compare(const FieldFeature& a, const FieldFeature& b,
                      SimilarityScratch& scratch) const override;
  std::string explain(const RuleOutcome& outcome) const override;

  const std::string& model_id() const { return model_id_; }
  const std::vector<std::string>& features() const { return features_; }
  double threshold() const { return threshold_; }
  double weight() const { return weight_; }

 private:
  std::string model_id_;
  std::vector<std::string> features_;
  std::string name_;
  double threshold_;
  double weight_;
};

// The children's results combined: mean score, weight 1.0, matched when all children
// matched (operator and) or when at least one did (operator or). Every child is evaluated.
class CompositeMatch final : public MatchRule {
 public:
  CompositeMatch(std::vector<std::unique_ptr<MatchRule>> children, std::string name,
                 osmira_common::ir::CompositeOperator op);
  // Takes nested composites apart with a work list, so that tearing down a deep tree does
  // not recurse.
  ~CompositeMatch() override;

  std::string_view name() const override { return name_; }
  RuleResult evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const override;
  RuleKind kind() const override { return RuleKind::kComposite; }
  std::string explain(const RuleOutcome& outcome) const override;

  const std::vector<std::unique_ptr<MatchRule>>& children() const { return children_; }
  osmira_common::ir::CompositeOperator op() const { return op_; }
  static constexpr double kWeight = 1.0;

  // The composite's outcome from its children's outcomes, in child order.
  RuleOutcome combine(std::span<const RuleOutcome> children) const;

 private:
  std::vector<std::unique_ptr<MatchRule>> children_;
  std::string name_;
  osmira_common::ir::CompositeOperator op_;
};

// A list of rules flattened for evaluation without recursion: every rule tree in postfix
// order (children before their composite), so one pass with a stack of outcomes evaluates
// the whole list. Leaves are numbered in that order; leaf `slot` of a record's features is
// the feature of that leaf. The program borrows the rules; it must not outlive them.
class RuleProgram {
 public:
  struct Step {
    const MatchRule* rule = nullptr;
    const LeafRule* leaf = nullptr;      // set for leaves
    const CompositeMatch* composite = nullptr;  // set for composites
    uint32_t slot = 0;         // leaves: feature slot
    uint32_t child_count = 0;  // composites: number of direct children
    int32_t top = -1;          // position in the top-level list when this step ends a tree
    RuleKind kind = RuleKind::kExact;  // the rule's kind, so that leaves are called directly
  };

  static RuleProgram build(std::span<const std::unique_ptr<MatchRule>> rules);
  static RuleProgram build(std::span<const MatchRule* const> rules);

  std::span<const Step> steps() const { return steps_; }
  std::span<const LeafRule* const> leaves() const { return leaves_; }
  size_t top_count() const { return top_count_; }

  // Evaluates every rule on a pair whose leaf features are `a` and `b` (one per slot) and
  // writes each top-level outcome to `top[i]`. `stack` and `scratch` are the caller's
  // working memory (one of each per worker).
  void run(std::span<const FieldFeature> a, std::span<const FieldFeature> b,
           std::vector<RuleOutcome>& stack, std::span<RuleOutcome> top,
           SimilarityScratch& scratch) const;
  // The same with working memory of its own, for one-off evaluations.
  void run(std::span<const FieldFeature> a, std::span<const FieldFeature> b,
           std::vector<RuleOutcome>& stack, std::span<RuleOutcome> top) const;

 private:
  std::vector<Step> steps_;
  std::vector<const LeafRule*> leaves_;
  size_t top_count_ = 0;
};

}  // namespace osmira_core::engine::matching
