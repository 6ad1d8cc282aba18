#include "core/engine/blocking/plan_blocking.h"

#include <utility>

#include "base/unicode.h"
#include "core/engine/blocking/trigrams.h"
#include "core/engine/normalization/normalizers.h"
#include "core/engine/phonetic.h"

namespace osmira_core::engine::blocking {
namespace {

using osmira_common::ir::BlockingTransformation;
namespace norm = osmira_core::engine::normalization;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t digit_count(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += is_digit(c);
  return n;
}

std::string area_code(std::string_view v) {
  const size_t digits = digit_count(v);
  if (digits < 3) return std::string(v);
  std::string out;
  bool skip_one = digits > 10;
  for (char c : v) {
    if (!is_digit(c)) continue;
    if (skip_one) {
      skip_one = false;
      if (c == '1') continue;
    }
    out.push_back(c);
    if (out.size() == 3) break;
  }
  return out;
}

std::string last4(std::string_view v) {
  const size_t digits = digit_count(v);
  if (digits < 4) return std::string(v);
  std::string out;
  size_t seen = 0;
  for (char c : v) {
    if (!is_digit(c)) continue;
    if (++seen > digits - 4) out.push_back(c);
  }
  return out;
}

// At most `limit` (at least 1) trigrams of `v`.
void trigrams(std::string_view v, std::vector<std::string>& out, size_t limit) {
  size_t made = 0;
  for_each_trigram(v, [&](std::string_view window) {
    out.emplace_back(window);
    return ++made < limit;
  });
}

template <typename Normalizer>
std::string normalized_or_unchanged(std::string_view v) {
  auto result = Normalizer::normalize(v);
  if (!result.ok()) return std::string(v);
  return std::move(result).value();
}

}  // namespace

void transform_variant(BlockingTransformation transformation, std::string_view variant,
                       std::vector<std::string>& out, size_t limit) {
  if (limit == 0) return;
  switch (transformation) {
    case BlockingTransformation::kLowercase:
      out.push_back(osmira_base::unicode::to_lowercase(variant));
      return;
    case BlockingTransformation::kFirstInitial:
      out.emplace_back(variant.substr(0, variant.empty() ? 0 : char_length(variant, 0)));
      return;
    case BlockingTransformation::kSoundex:
      out.push_back(soundex(variant));
      return;
    case BlockingTransformation::kAreaCode:
      out.push_back(area_code(variant));
      return;
    case BlockingTransformation::kLast4:
      out.push_back(last4(variant));
      return;
    case BlockingTransformation::kTrigrams:
      trigrams(variant, out, limit);
      return;
    case BlockingTransformation::kDoubleMetaphone:
      out.push_back(double_metaphone(variant, 4).primary);
      return;
    case BlockingTransformation::kNormalizePhone:
      out.push_back(normalized_or_unchanged<norm::PhoneNormalizer>(variant));
      return;
    case BlockingTransformation::kNormalizeEmail:
      out.push_back(normalized_or_unchanged<norm::EmailNormalizer>(variant));
      return;
    case BlockingTransformation::kNormalizeName:
      out.push_back(norm::NameNormalizer::normalize(variant));
      return;
    case BlockingTransformation::kNormalizeNickname:
      out.push_back(norm::NicknameNormalizer::normalize(variant));
      return;
    case BlockingTransformation::kNormalizeDomain:
      out.push_back(norm::DomainNormalizer::normalize(variant));
      return;
  }
  out.emplace_back(variant);  // not reached: every transformation is handled above
}

std::vector<std::string> PlanBlocking::generate_block_key(
    const types::NormalizedEntity& entity) const {
  KeyList list;
  KeyScratch scratch;
  append_block_keys(entity, list, scratch);
  std::vector<std::string> keys;
  keys.reserve(list.size());
  for (size_t k = 0; k < list.size(); ++k) keys.emplace_back(list[k]);
  return keys;
}

void PlanBlocking::append_block_keys(const types::NormalizedEntity& entity, KeyList& keys,
                                     KeyScratch& scratch) const {
  // Only the first kMaxCombinationsPerKey combinations of a key can ever be output, and each
  // transformation turns one variant into at least one, so a list longer than the cap + 1
  // never needs to exist: keeping cap + 1 entries still tells whether the cap was passed.
  constexpr size_t kKeep = kMaxCombinationsPerKey + 1;
  // The working lists live in the scratch, so that their buffers (and those of the strings
  // in them) serve record after record.
  std::vector<std::string>& combinations = scratch.lists[0];
  std::vector<std::string>& next = scratch.lists[1];
  std::vector<std::string>& variants = scratch.lists[2];
  std::vector<std::string>& transformed = scratch.lists[3];
  for (const osmira_common::ir::BlockingKey& key : keys_) {
    if (key.transformations.empty()) {
      // Each field has one variant, its value: the one combination is written in place.
      const size_t mark = keys.bytes.size();
      bool complete = true;
      for (size_t f = 0; f < key.fields.size() && complete; ++f) {
        const auto value = entity.data.find(std::string_view(key.fields[f]));
        complete = value != entity.data.end();
        if (!complete) break;
        if (f > 0) keys.bytes += '|';
        keys.bytes += value->second;
      }
      if (complete) {
        keys.ends.push_back(keys.bytes.size());
      } else {
        keys.bytes.resize(mark);
      }
      continue;
    }
    combinations.resize(1);
    combinations[0].clear();
    bool complete = true;
    for (size_t f = 0; f < key.fields.size(); ++f) {
      const auto value = entity.data.find(std::string_view(key.fields[f]));
      if (value == entity.data.end()) {
        complete = false;
        break;
      }
      variants.resize(1);
      variants[0].assign(value->second);
      for (BlockingTransformation t : key.transformations) {
        transformed.clear();
        for (const std::string& v : variants) {
          if (transformed.size() >= kKeep) break;
          transform_variant(t, v, transformed, kKeep - transformed.size());
        }
        std::swap(variants, transformed);
      }
      size_t made = 0;
      for (const std::string& c : combinations) {
        for (const std::string& v : variants) {
          if (made >= kKeep) break;
          if (made == next.size()) next.emplace_back();
          std::string& joined = next[made++];
          if (f == 0) {
            joined.assign(v);
          } else {
            joined.assign(c).append("|").append(v);
          }
        }
        if (made >= kKeep) break;
      }
      next.resize(made);
      std::swap(combinations, next);
      if (combinations.size() > kMaxCombinationsPerKey) {
        combinations.resize(kMaxCombinationsPerKey);
        break;
      }
    }
    if (!complete) continue;
    for (const std::string& c : combinations) keys.add(c);
  }
}

}  // namespace osmira_core::engine::blocking
