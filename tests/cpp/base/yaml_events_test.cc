#include "base/yaml_events.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace osmira_base::yaml {
namespace {

// The error that ends the first document of `text`; the test fails when there is none.
LoadError first_error(const std::string& text) {
  Loader loader(text);
  std::optional<Document> doc = loader.next_document();
  EXPECT_TRUE(doc && doc->error) << text;
  return doc && doc->error ? *doc->error : LoadError{};
}

TEST(LoaderErrors, MessageAndMarkOfTheProblem) {
  // The mark is the problem's, counted from 0; the message shows it counted from 1 and
  // leaves out line 1 column 1. A reader error knows only a byte offset and has no mark.
  struct Row {
    std::string text;
    const char* message;
    bool has_mark;
    uint64_t line = 0;
    uint64_t column = 0;
  };
  const Row rows[] = {
      {"x: [a, b\n", "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at line 1 column 4",
       true, 1, 0},
      {"]", "did not find expected node content, while parsing a block node", true, 0, 0},
      {"a: b: c", "mapping values are not allowed in this context at line 1 column 5", true, 0, 4},
      {"a: *x", "unknown anchor at line 1 column 4", true, 0, 3},
      {"a: 1\n\xff", "invalid leading UTF-8 octet at position 5", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    const LoadError e = first_error(r.text);
    EXPECT_EQ(e.message, r.message);
    ASSERT_EQ(e.mark.has_value(), r.has_mark);
    if (r.has_mark) {
      EXPECT_EQ(e.mark->line, r.line);
      EXPECT_EQ(e.mark->column, r.column);
    }
  }
}

TEST(Loader, EmptyViewIsAnEmptyStream) {
  Loader loader{std::string_view()};
  std::optional<Document> doc = loader.next_document();
  ASSERT_TRUE(doc);
  EXPECT_FALSE(doc->error);
  ASSERT_EQ(doc->events.size(), 1u);
  EXPECT_EQ(doc->events[0].kind, EventKind::kVoid);
  EXPECT_FALSE(loader.next_document());
}

}  // namespace
}  // namespace osmira_base::yaml
