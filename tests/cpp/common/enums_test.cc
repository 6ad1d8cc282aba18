#include "common/ir/enums.h"

#include <gtest/gtest.h>

namespace osmira_common::ir {
namespace {

TEST(Enums, TextsAndLookup) {
  EXPECT_EQ(enum_text(ScoringMethod::kFellegiSunter), "fellegi_sunter");
  EXPECT_EQ(enum_text(BlockingTransformation::kNormalizeDomain), "normalize_domain");
  EXPECT_EQ(enum_from_text<Cardinality>("many_to_many"), Cardinality::kManyToMany);
  EXPECT_EQ(enum_from_text<Cardinality>("Many_To_Many"), std::nullopt);
  EXPECT_EQ(enum_from_index<CompositeOperator>(1), CompositeOperator::kOr);
  EXPECT_EQ(enum_from_index<CompositeOperator>(2), std::nullopt);
}

TEST(Enums, UnknownVariantMessages) {
  EXPECT_EQ(unknown_variant_message("LSH", enum_names<BlockingStrategy>()),
            "unknown variant `LSH`, expected one of `single`, `composite`, `lsh`, `ml_predicted`");
  EXPECT_EQ(unknown_variant_message("AND", enum_names<CompositeOperator>()),
            "unknown variant `AND`, expected `and` or `or`");
  const std::string_view one[] = {"only"};
  EXPECT_EQ(unknown_variant_message("x", one), "unknown variant `x`, expected `only`");
  EXPECT_EQ(unknown_variant_message("x", {}), "unknown variant `x`, there are no variants");
}

}  // namespace
}  // namespace osmira_common::ir
