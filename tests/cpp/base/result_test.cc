#include "base/result.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace osmira_base {
namespace {

Error described() {
  return Error("a.b: unknown variant `x`, expected `y` or `z` at line 3 column 4")
      .set_kind(ErrorKind::kUnknownVariant, "x", "`y` or `z`")
      .set_location(ErrorLocation{3, 4, 20, "a.b"});
}

TEST(Error, MessageOnlyHasNoFacts) {
  const Error e("plain");
  EXPECT_EQ(e.message(), "plain");
  EXPECT_EQ(e.kind(), ErrorKind::kOther);
  EXPECT_EQ(e.subject(), "");
  EXPECT_EQ(e.detail(), "");
  EXPECT_FALSE(e.location().has_value());
}

TEST(Error, CopiesMovesAndPrefixesKeepEveryFact) {
  const Error original = described();
  Error copy = original;
  Error assigned("other");
  assigned = original;
  Error moved_from = described();
  Error moved = std::move(moved_from);
  const Error prefixed = original.with_prefix("Invalid spec: ");
  for (const Error* e : std::initializer_list<const Error*>{&copy, &assigned, &moved, &prefixed}) {
    EXPECT_EQ(e->kind(), ErrorKind::kUnknownVariant);
    EXPECT_EQ(e->subject(), "x");
    EXPECT_EQ(e->detail(), "`y` or `z`");
    ASSERT_TRUE(e->location().has_value());
    EXPECT_EQ(*e->location(), (ErrorLocation{3, 4, 20, "a.b"}));
  }
  EXPECT_EQ(prefixed.message(), "Invalid spec: " + original.message());
  EXPECT_EQ(copy.message(), original.message());

  // A copy is independent of its source.
  copy.set_kind(ErrorKind::kMissingField, "k");
  copy.mutable_message() = "changed";
  EXPECT_EQ(original.kind(), ErrorKind::kUnknownVariant);
  EXPECT_EQ(original.subject(), "x");
  EXPECT_NE(original.message(), "changed");

  Error self = described();
  const Error& alias = self;
  self = alias;
  EXPECT_EQ(self.subject(), "x");
}

TEST(Error, TravelsThroughResults) {
  auto fails = []() -> Result<int> { return described(); };
  auto passes_on = [&]() -> Status {
    ASSIGN_OR_RETURN(int v, fails());
    (void)v;
    return ok_status();
  };
  const Status s = passes_on();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::kUnknownVariant);
  EXPECT_EQ(s.error().location()->path, "a.b");
}

}  // namespace
}  // namespace osmira_base
