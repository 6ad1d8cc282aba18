#include "tooling/parser.h"

#include <gtest/gtest.h>

#include <string>

#include "base/json_writer.h"

namespace vintrel_core::parser {
namespace {

// The parse as compact JSON, or "error: <message>".
std::string parse(const std::string& text) {
  osmira_base::Result<osmira_base::Value> r = parse_yaml(text);
  return r.ok() ? osmira_base::compact_json(*r) : "error: " + r.error().message();
}

TEST(ParseYaml, SpecDocument) {
  const std::string text =
      "api_version: vintrel/v1\n"
      "identity_version: 2.0\n"
      "entity: {name: customer}\n"
      "sources:\n"
      "  - name: crm\n"
      "    attributes: {email: string, zip: '01234'}\n"
      "rules:\n"
      "  - {name: r, type: exact, field: email, weight: 1, threshold: 0.85}\n"
      "decision:\n"
      "  thresholds: {match: 0.9, review: .5}\n";
  EXPECT_EQ(parse(text),
            R"({"api_version":"vintrel/v1","decision":{"thresholds":{"match":0.9,"review":0.5}},)"
            R"("entity":{"name":"customer"},"identity_version":2.0,)"
            R"("rules":[{"field":"email","name":"r","threshold":0.85,"type":"exact","weight":1}],)"
            R"("sources":[{"attributes":{"email":"string","zip":"01234"},"name":"crm"}]})");
}

TEST(ParseYaml, ValueTyping) {
  struct Row { const char* yaml; const char* want; };
  const Row rows[] = {
      {"v: 01234", R"({"v":"01234"})"}, {"v: 1234", R"({"v":1234})"},
      {"v: .nan", R"({"v":null})"}, {"v: .inf", R"({"v":null})"},
      {"v: -5", R"({"v":-5})"}, {"v: 1.0", R"({"v":1.0})"}, {"v: 1e999", R"({"v":"1e999"})"},
      {"v: inf", R"({"v":"inf"})"}, {"v:", R"({"v":null})"}, {"v: 'null'", R"({"v":"null"})"},
      {"1: one", R"({"1":"one"})"}, {"hello", R"("hello")"},
  };
  for (const Row& r : rows) EXPECT_EQ(parse(r.yaml), r.want) << r.yaml;
}

TEST(ParseYaml, DocumentLevelFailures) {
  struct Row { const char* yaml; const char* want; };
  const Row rows[] = {
      {"", "EOF while parsing a value"},
      {"# nothing but a comment\n", "EOF while parsing a value"},
      {"a: 1\n---\nb: 2", "deserializing from YAML containing more than one document is not supported"},
      {"---\na: 1\n...\n---\na: 1\n", "deserializing from YAML containing more than one document is not supported"},
      // a broken second document still counts as another document
      {"a: 1\n---\n]", "deserializing from YAML containing more than one document is not supported"},
      // a document after "..." is a further document too
      {"a: 1\n...\nb: 2", "deserializing from YAML containing more than one document is not supported"},
      {"v: 18446744073709551616", "JSON number out of range at line 1 column 4"},
      {"v: -9223372036854775809", "JSON number out of range at line 1 column 4"},
      {"a: *nope", "unknown anchor at line 1 column 4"},
      {"a: *x\nb: &x 1", "unknown anchor at line 1 column 4"},
  };
  for (const Row& r : rows) EXPECT_EQ(parse(r.yaml), std::string("error: ") + r.want) << r.yaml;
  // An empty view may carry no data pointer at all; it is an empty stream like any other.
  EXPECT_EQ(parse_yaml(std::string_view()).error().message(), "EOF while parsing a value");
  // "..." ends a document without starting another.
  EXPECT_EQ(parse("a: 1\n...\n"), R"({"a":1})");
  EXPECT_EQ(parse("---\n"), "null");
}

TEST(ParseYaml, SyntaxErrorsCarryTheParserText) {
  struct Row { const char* yaml; const char* want; };
  const Row rows[] = {
      {"[a, b\n", "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence"},
      {"x: [a, b\n", "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at line 1 column 4"},
      {"a:\n  b: 1\n c: 2", "did not find expected key at line 3 column 2, while parsing a block mapping"},
      {"a:\n  - b\n  c: 1", "did not find expected '-' indicator at line 3 column 3, while parsing a block collection at line 2 column 3"},
      {"a: b: c", "mapping values are not allowed in this context at line 1 column 5"},
      {"key: \"open\nnext: 1", "found unexpected end of stream at line 2 column 8, while scanning a quoted scalar at line 1 column 6"},
      {"a: \"\\xZZ\"", "did not find expected hexdecimal number at line 1 column 7, while parsing a quoted scalar at line 1 column 4"},
      // Marks count from 1 in the text; a mark at line 1 column 1 is left out, and so is a
      // context mark equal to the problem's.
      {"]", "did not find expected node content, while parsing a block node"},
      {"\t- a", "found character that cannot start any token, while scanning for the next token"},
      {"{a: 1]", "did not find expected ',' or '}' at line 1 column 6, while parsing a flow mapping"},
      {"- [a\n- b", "did not find expected ',' or ']' at line 3 column 1, while parsing a flow sequence at line 1 column 3"},
      {"a: 1\n b: 2", "mapping values are not allowed in this context at line 2 column 3"},
      {"a: &x 1\nb: *", "did not find expected alphabetic or numeric character at line 2 column 5, while scanning an alias at line 2 column 4"},
      // columns count characters, not bytes
      {"\xc3\xa9\xc3\xa9: [a", "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at line 1 column 5"},
      {"\xc3\xa9: \"\\q\"", "found unknown escape character at line 1 column 5, while parsing a quoted scalar at line 1 column 4"},
      // the reader knows only a byte offset for text that is not UTF-8
      {"a: 1\n\xff", "invalid leading UTF-8 octet at position 5"},
      {"\xff", "invalid leading UTF-8 octet"},
  };
  for (const Row& r : rows) EXPECT_EQ(parse(r.yaml), std::string("error: ") + r.want) << r.yaml;
}

TEST(ParseYaml, CompositionFailureBeforeSyntaxErrorWins) {
  // The bad integer comes before the unclosed sequence, so it is reported.
  EXPECT_EQ(parse("a: 18446744073709551616\nb: [1, 2\n"), "error: JSON number out of range at line 1 column 4");
  // A syntax error in the middle of the document ends it there.
  EXPECT_EQ(parse("a: 1\nb: [1, 2\nc: 18446744073709551616\n"),
            "error: did not find expected ',' or ']' at line 3 column 2, while parsing a flow sequence at line 2 column 4");
}

TEST(ParseYaml, NestingLimits) {
  auto nested = [](size_t n) { return "root: " + std::string(n - 1, '[') + std::string(n - 1, ']'); };
  EXPECT_EQ(parse(nested(128)).substr(0, 10), R"({"root":[[)");
  EXPECT_EQ(parse(nested(129)), "error: recursion limit exceeded at line 1 column 134");
  // Deep hostile nesting fails at the limit, in flow or block style.
  EXPECT_EQ(parse(std::string(100000, '[') + std::string(100000, ']')),
            "error: recursion limit exceeded at line 1 column 129");
  EXPECT_EQ(parse(std::string(100000, '[')), "error: recursion limit exceeded at line 1 column 129");
  std::string block;
  for (size_t i = 0; i < 200; ++i) block += std::string(i, ' ') + "- \n";
  EXPECT_EQ(parse(block), "error: recursion limit exceeded at line 129 column 129");
}

TEST(ParseYaml, AliasBombFails) {
  std::string text = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (char c = 'b'; c <= 'j'; ++c) {
    text += std::string(1, c) + ": &" + c + " [";
    for (int j = 0; j < 10; ++j) text += std::string(j ? ", " : "") + "*" + static_cast<char>(c - 1);
    text += "]\n";
  }
  EXPECT_EQ(parse(text), "error: repetition limit exceeded");
}

}  // namespace
}  // namespace vintrel_core::parser
