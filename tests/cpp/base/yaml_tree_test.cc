#include "base/yaml_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "base/json_writer.h"
#include "base/yaml_events.h"

namespace osmira_base::yaml {
namespace {

// The first document of `text` composed into a tree, as compact JSON, or "error: <msg>".
std::string compose(const std::string& text, size_t loader_depth = kMaxNestingDepth) {
  Loader loader(text, loader_depth);
  std::optional<Document> doc = loader.next_document();
  if (!doc) return "no document";
  Result<Value> tree = compose_tree(*doc);
  if (!tree.ok()) return "error: " + tree.error().message();
  return compact_json(*tree);
}

std::string nested_sequences(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(ComposeTree, NodesAndScalars) {
  struct Row { const char* yaml; const char* want; };
  const Row rows[] = {
      {"a: 1\nb: [x, 'y', \"z\"]\nc: {d: ~}", R"({"a":1,"b":["x","y","z"],"c":{"d":null}})"},
      // quoted and block scalars are always text
      {"a: '1'\nb: \"true\"\nc: |\n  12\nd: >\n  ~\n", R"({"a":"1","b":"true","c":"12\n","d":"~\n"})"},
      {"[01234, 1234, -007, .nan, -.inf, 1e999, -0, 0x10, 1.5, +.5]",
       R"(["01234",1234,"-007",null,null,"1e999",0,16,1.5,0.5])"},
      {"[true, False, NULL, '', yes, -3]", R"([true,false,null,"","yes",-3])"},
      // keys are the key scalar's text as written; a repeated key keeps the later value
      {"1: a\n~: b\ntrue: c\n0x1F: d\n'q': e", R"({"0x1F":"d","1":"a","q":"e","true":"c","~":"b"})"},
      {"a: 1\nb: 2\na: 3", R"({"a":3,"b":2})"},
      {"? \n: empty key", R"({"":"empty key"})"},
      // tags: !!str keeps a plain scalar as text; other tags are ignored
      {"[!!str 123, !!str true, !!int 7, !local 8, !!str ~]", R"(["123","true",7,8,"~"])"},
      {"!!map {a: !!seq [1]}", R"({"a":[1]})"},
      {"---\n", "null"},
      {"plain text", R"("plain text")"},
  };
  for (const Row& r : rows) EXPECT_EQ(compose(r.yaml), r.want) << r.yaml;
}

// Non-finite floats: null by default, kept as floats when asked (validation's range checks
// need to see them); every other scalar is composed alike either way.
TEST(ComposeTree, NonFiniteFloatsKeptOnRequest) {
  const char* text = "[.nan, .NAN, .inf, -.Inf, +.INF, 1.5, ~, '.nan', 1e999, !!float .nan]";
  Loader loader(text, kMaxNestingDepth);
  std::optional<Document> doc = loader.next_document();
  ASSERT_TRUE(doc);
  const Result<Value> kept = compose_tree(*doc, NonFinite::kKeep);
  ASSERT_TRUE(kept.ok());
  const Value::Array& a = kept->as_array();
  ASSERT_EQ(a.size(), 10u);
  for (size_t i : {0, 1, 9}) EXPECT_TRUE(a[i].is_number() && std::isnan(a[i].as_float())) << i;
  EXPECT_EQ(a[2].as_float(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[3].as_float(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[4].as_float(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[5].as_float(), 1.5);
  EXPECT_TRUE(a[6].is_null());
  EXPECT_EQ(*a[7].string(), ".nan");
  EXPECT_EQ(*a[8].string(), "1e999");
  EXPECT_EQ(compose(text), R"([null,null,null,null,null,1.5,null,".nan","1e999",null])");
}

TEST(ComposeTree, NonScalarKeysFail) {
  // The first key of a mapping is expected as "a string key", every later one as "a string".
  struct Row { const char* yaml; const char* want; };
  const Row rows[] = {
      {"{[1]: 2}", "error: invalid type: sequence, expected a string key at line 1 column 2"},
      {"? {a: 1}\n: 2", "error: invalid type: map, expected a string key at line 1 column 3"},
      {"x: 1\n? {a: 1}\n: 2", "error: invalid type: map, expected a string at line 2 column 3"},
      {"{a: 1, [b]: 2}", "error: invalid type: sequence, expected a string at line 1 column 8"},
      {"outer: {[b]: 2}", "error: invalid type: sequence, expected a string key at line 1 column 9"},
      {"- a: 1\n  ? [b]\n  : 2", "error: invalid type: sequence, expected a string at line 2 column 5"},
  };
  for (const Row& r : rows) EXPECT_EQ(compose(r.yaml), r.want) << r.yaml;
  // An alias in key position stands for its anchored node: a scalar works, a mapping fails.
  EXPECT_EQ(compose("a: &k name\n*k : 2"), R"({"a":"name","name":2})");
  EXPECT_EQ(compose("a: &m {x: 1}\n*m : 2"), "error: invalid type: map, expected a string at line 1 column 4");
  EXPECT_EQ(compose("- &m {x: 1}\n- {*m : 2}"), "error: invalid type: map, expected a string key at line 1 column 3");
}

TEST(ComposeTree, IntegersBeyond64BitsFail) {
  EXPECT_EQ(compose("a: 18446744073709551615"), R"({"a":18446744073709551615})");
  EXPECT_EQ(compose("a: -9223372036854775808"), R"({"a":-9223372036854775808})");
  EXPECT_EQ(compose("a: 18446744073709551616"), "error: JSON number out of range at line 1 column 4");
  EXPECT_EQ(compose("a:\n  - -9223372036854775809"), "error: JSON number out of range at line 2 column 5");
  // At the very start of the text the position is left out.
  EXPECT_EQ(compose("18446744073709551616"), "error: JSON number out of range");
  // Beyond 128 bits the text reads as a float.
  EXPECT_EQ(compose("1234567890123456789012345678901234567890"), "1.2345678901234568e+39");
  // Quoted, it is text.
  EXPECT_EQ(compose("'18446744073709551616'"), R"("18446744073709551616")");
}

TEST(ComposeTree, NestingLimit) {
  EXPECT_EQ(compose(nested_sequences(kMaxNestingDepth)).size(), 2 * kMaxNestingDepth);
  EXPECT_EQ(compose(nested_sequences(kMaxNestingDepth + 1)),
            "error: recursion limit exceeded at line 1 column 129");
  // Mappings count like sequences.
  std::string maps;
  for (size_t i = 0; i < kMaxNestingDepth; ++i) maps += "{a: ";
  maps += "1" + std::string(kMaxNestingDepth, '}');
  EXPECT_EQ(compose(maps).substr(0, 6), R"({"a":{)");
  EXPECT_EQ(compose("[" + maps + "]"), "error: recursion limit exceeded at line 1 column 510");
  // A hundred thousand levels fail cleanly instead of exhausting the stack.
  EXPECT_EQ(compose(nested_sequences(100000)), "error: recursion limit exceeded at line 1 column 129");
}

TEST(ComposeTree, LoaderDepthCapGivesTheSameResults) {
  // Without a cap the loader collects everything and the tree builder finds the limit;
  // with it the loader stops at the first event too deep. Both report the same.
  for (const std::string& text :
       {nested_sequences(kMaxNestingDepth + 1), "a:\n" + nested_sequences(300),
        "a: &x [[1]]\nb: [" + nested_sequences(kMaxNestingDepth - 3) + "*x]",
        nested_sequences(kMaxNestingDepth)}) {
    EXPECT_EQ(compose(text, Loader::kNoDepthLimit), compose(text, kMaxNestingDepth)) << text;
  }
  const std::string deep = nested_sequences(200);
  Loader loader(deep, 3);
  std::optional<Document> doc = loader.next_document();
  ASSERT_TRUE(doc && doc->error);
  EXPECT_EQ(doc->error->message, "recursion limit exceeded at line 1 column 4");
  EXPECT_EQ(doc->events.size(), 4u);
  EXPECT_FALSE(loader.next_document());
}

TEST(ComposeTree, DepthCountsThroughAliases) {
  // 127 levels inside the anchor, plus the sequence holding the alias: 128 levels.
  const std::string inner = nested_sequences(kMaxNestingDepth - 1);
  const std::string ok = "a: &x " + inner + "\nb: *x";
  const std::string deep = "a: &x " + inner + "\nb: [*x]";
  EXPECT_EQ(compose(ok).substr(0, 7), R"({"a":[[)");
  EXPECT_EQ(compose(deep), "error: recursion limit exceeded at line 1 column 133");
  // An anchor that contains its own alias nests without end.
  EXPECT_EQ(compose("a: &x [1, {b: *x}]"), "error: recursion limit exceeded at line 1 column 11");
}

TEST(ComposeTree, AliasesExpandToCopies) {
  EXPECT_EQ(compose("base: &b {x: 1, y: [2, 3]}\ncopy: *b\nlist: [*b, &s text, *s]"),
            R"({"base":{"x":1,"y":[2,3]},"copy":{"x":1,"y":[2,3]},"list":[{"x":1,"y":[2,3]},"text","text"]})");
  // Nested aliases return to the right place.
  EXPECT_EQ(compose("a: &a [1]\nb: &b [*a, *a]\nc: [*b, 9]"),
            R"({"a":[1],"b":[[1],[1]],"c":[[[1],[1]],9]})");
  // A redefined anchor names its latest node.
  EXPECT_EQ(compose("- &a x\n- &a y\n- *a"), R"(["x","y","y"])");
  // The alias's node is typed by its own text.
  EXPECT_EQ(compose("a: &n 0x10\nb: *n"), R"({"a":16,"b":16})");
}

TEST(ComposeTree, UnknownAndLaterAnchorsFail) {
  EXPECT_EQ(compose("a: *x\nb: &x 1"), "error: unknown anchor at line 1 column 4");
  EXPECT_EQ(compose("*x"), "error: unknown anchor");
}

TEST(ComposeTree, WideAliasFanOutHitsRepetitionLimit) {
  // Few alias expansions, each copying a large node: the tree would grow quadratically in
  // the text, so the events walked through aliases are bounded too.
  std::string text = "a: &a [";
  for (int i = 0; i < 2000; ++i) text += i ? ",0" : "0";
  text += "]\nb: [";
  for (int i = 0; i < 2000; ++i) text += i ? ",*a" : "*a";
  text += "]\n";
  EXPECT_EQ(compose(text), "error: repetition limit exceeded");
  // Modest reuse stays well inside the bound.
  std::string small = "a: &a [1, 2, 3]\nb: [";
  for (int i = 0; i < 50; ++i) small += i ? ",*a" : "*a";
  small += "]\n";
  EXPECT_EQ(compose(small).substr(0, 21), R"({"a":[1,2,3],"b":[[1,)");
}

TEST(ErrorPosition, OmitsTheStartOfTheText) {
  EXPECT_EQ(error_position(Mark{0, 0, 0}), "");
  EXPECT_EQ(error_position(Mark{5, 0, 5}), " at line 1 column 6");
  EXPECT_EQ(error_position(Mark{9, 2, 0}), " at line 3 column 1");
}

}  // namespace
}  // namespace osmira_base::yaml
