#include "base/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "base/json_writer.h"

namespace osmira_base::json {
namespace {

// "OK <compact json>" or the error message, for a whole text read as any value.
std::string read_any(std::string_view text) {
  Reader r(text);
  Value v;
  Status s = r.read_value(v);
  if (s.ok()) s = r.end();
  if (!s.ok()) return s.error().message();
  return "OK " + compact_json(v);
}

TEST(JsonReader, SyntaxMessagesAndPositions) {
  struct Row {
    const char* in;
    const char* want;
  };
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {"x", "expected value at line 1 column 1"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[,1]", "expected value at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{,\"a\":1}", "key must be a string at line 1 column 2"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"a\\", "EOF while parsing a string at line 1 column 3"},
      {"\"a\\x\"", "invalid escape at line 1 column 4"},
      {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 6"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"a\x01z\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      // A raw line feed inside a string counts as read: the position moves to the next line.
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"[1]x", "trailing characters at line 1 column 4"},
      {"[1] ]", "trailing characters at line 1 column 5"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"trux", "expected ident at line 1 column 4"},
      {"f", "EOF while parsing a value at line 1 column 1"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"18446744073709551616.e5", "invalid number at line 1 column 22"},
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"1e99999999999", "number out of range at line 1 column 12"},
      {"[\n1,\n2\n", "EOF while parsing a list at line 4 column 0"},
      {"[\r\n1\r\n,x]", "expected value at line 3 column 2"},
  };
  for (const Row& row : rows) EXPECT_EQ(read_any(row.in), row.want) << "input: " << row.in;
}

TEST(JsonReader, AcceptedValues) {
  struct Row {
    const char* in;
    const char* want;
  };
  const Row rows[] = {
      {" \t\n\r[ ]\n ", "OK []"},
      {"{\"b\":1,\"a\":[true,false,null]}", "OK {\"a\":[true,false,null],\"b\":1}"},
      {"{\"a\":1,\"a\":2}", "OK {\"a\":2}"},  // a repeated key keeps the last value
      {"\"\\/\\b\\f\\n\\r\\t\\\"\\\\\"", "OK \"/\\b\\f\\n\\r\\t\\\"\\\\\""},
      {"\"\\uD83D\\uDE00 caf\\u00e9\"", "OK \"\xF0\x9F\x98\x80 caf\xC3\xA9\""},
      {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", "OK \"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      {"18446744073709551615", "OK 18446744073709551615"},
      {"18446744073709551616", "OK 1.8446744073709552e+19"},
      {"-9223372036854775808", "OK -9223372036854775808"},
      {"-9223372036854775809", "OK -9.223372036854776e+18"},
      {"-0", "OK -0.0"},
      {"1.5", "OK 1.5"},
      {"2.5e-3", "OK 0.0025"},
      {"1E2", "OK 100.0"},
      {"1e-400", "OK 0.0"},
      {"-1e-400", "OK -0.0"},
      {"1e-99999999999", "OK 0.0"},
      {"0e99999999999", "OK 0.0"},
      {"123456789012345678901234567890", "OK 1.2345678901234568e+29"},
      {"1.7976931348623157e308", "OK 1.7976931348623157e+308"},
      {"4.9e-324", "OK 5e-324"},
  };
  for (const Row& row : rows) EXPECT_EQ(read_any(row.in), row.want) << "input: " << row.in;
}

TEST(JsonReader, InvalidUtf8InReadStringsOnly) {
  // Read strings are checked once complete; the position is after the closing quote.
  const char* bad[] = {"\"a\xFF\"", "\"\xC3\"", "\"\xE0\x80\x80\"", "\"\xED\xA0\x80\"",
                       "\"\xF4\x90\x80\x80\"", "\"\xC0\xAF\""};
  for (const char* text : bad) {
    const std::string s(text);
    EXPECT_EQ(read_any(s), "invalid unicode code point at line 1 column " +
                               std::to_string(s.size()))
        << s;
  }
  // A string that is only skipped is not decoded.
  Reader r("{\"skip\":\"a\xFF\",\"k\":1}");
  ASSERT_TRUE(r.begin_object().ok());
  std::string_view key;
  ASSERT_TRUE(*r.next_key(&key));
  EXPECT_TRUE(r.skip_value().ok());
  ASSERT_TRUE(*r.next_key(&key));
  EXPECT_EQ(*r.read_u64(), 1u);
}

TEST(JsonReader, SkipMessagesDifferFromReads) {
  // Skipping follows its own rules for commas and control characters.
  struct Row {
    const char* in;
    const char* want;
  };
  const Row rows[] = {
      {"[1,]", "expected value at line 1 column 4"},
      {"{\"a\":1,}", "key must be a string at line 1 column 8"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"-", "invalid number at line 1 column 1"},
      {"1.", "invalid number at line 1 column 2"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\uDC00\"", ""},  // any code unit will do when skipping
      {"1e400", ""},
      {"[[],{},{\"a\":[1,{\"b\":null}]},\"x\",-1.5e3,true,false]", ""},
  };
  for (const Row& row : rows) {
    Reader r(row.in);
    Status s = r.skip_value();
    if (s.ok()) s = r.end();
    EXPECT_EQ(s.ok() ? std::string() : s.error().message(), row.want) << "input: " << row.in;
  }
}

// Text with `depth` nested arrays.
std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonReader, DepthLimitCountsSkippedValues) {
  EXPECT_EQ(read_any(nested(127)).substr(0, 3), "OK ");
  EXPECT_EQ(read_any(nested(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(read_any("{\"a\":" + nested(127) + "}"),
            "recursion limit exceeded at line 1 column 132");
  // Inside one object, a skipped value may nest 126 more levels, not 127.
  for (int depth : {126, 127, 100000}) {
    const std::string text = "{\"a\":" + nested(depth) + "}";
    Reader r(text);
    ASSERT_TRUE(r.begin_object().ok());
    std::string_view key;
    ASSERT_TRUE(*r.next_key(&key));
    Status s = r.skip_value();
    if (depth == 126) {
      EXPECT_TRUE(s.ok());
      EXPECT_TRUE(r.end_object().ok());
      EXPECT_TRUE(r.end().ok());
    } else {
      EXPECT_EQ(s.error().message(), "recursion limit exceeded at line 1 column 132");
    }
  }
}

TEST(JsonReader, TypedScalarsAndFoundTexts) {
  struct Row {
    const char* in;
    const char* want;  // the u64 read of the single element, or its failure
  };
  const Row rows[] = {
      {"[5]", "5"},
      {"[18446744073709551615]", "18446744073709551615"},
      {"[-5]", "invalid value: integer `-5`, expected u64 at line 1 column 3"},
      {"[25.0]", "invalid type: floating point `25.0`, expected u64 at line 1 column 5"},
      {"[1e20]", "invalid type: floating point `100000000000000000000.0`, expected u64 at line 1 column 5"},
      {"[-0]", "invalid type: floating point `-0.0`, expected u64 at line 1 column 3"},
      {"[2.5e-7]", "invalid type: floating point `0.00000025`, expected u64 at line 1 column 7"},
      {"[null]", "invalid type: null, expected u64 at line 1 column 5"},
      {"[true]", "invalid type: boolean `true`, expected u64 at line 1 column 5"},
      {"[false]", "invalid type: boolean `false`, expected u64 at line 1 column 6"},
      {"[\"a\\\"b\\\\c\\n\"]", "invalid type: string \"a\\\"b\\\\c\\n\", expected u64 at line 1 column 12"},
      {"[[1]]", "invalid type: sequence, expected u64 at line 1 column 1"},
      {"[{}]", "invalid type: map, expected u64 at line 1 column 1"},
      {"[nul]", "expected ident at line 1 column 5"},
      {"[x]", "expected value at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
  };
  for (const Row& row : rows) {
    Reader r(row.in);
    std::string got;
    Status s = r.begin_array();
    if (s.ok()) {
      Result<bool> more = r.has_next();
      if (!more.ok()) {
        s = std::move(more).error();
      } else {
        Result<uint64_t> v = r.read_u64();
        if (v.ok()) got = std::to_string(*v);
        else s = std::move(v).error();
      }
    }
    if (!s.ok()) got = s.error().message();
    EXPECT_EQ(got, row.want) << "input: " << row.in;
  }
}

TEST(JsonReader, OtherScalarReads) {
  {
    Reader r("[-9223372036854775808, 9223372036854775808, 3, 1.5]");
    ASSERT_TRUE(r.begin_array().ok());
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(*r.read_i64(), std::numeric_limits<int64_t>::min());
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(r.read_i64().error().message(),
              "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 42");
  }
  {
    Reader r("[3, -2, 1.5, \"x\"]");
    ASSERT_TRUE(r.begin_array().ok());
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(*r.read_f64(), 3.0);
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(*r.read_f64(), -2.0);
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(*r.read_f64(), 1.5);
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(r.read_f64().error().message(),
              "invalid type: string \"x\", expected f64 at line 1 column 16");
  }
  {
    Reader r("[true, 7, null, \"s\"]");
    ASSERT_TRUE(r.begin_array().ok());
    ASSERT_TRUE(*r.has_next());
    EXPECT_TRUE(*r.read_bool());
    ASSERT_TRUE(*r.has_next());
    EXPECT_EQ(r.read_bool().error().message(),
              "invalid type: integer `7`, expected a boolean at line 1 column 8");
    ASSERT_TRUE(*r.has_next());
    EXPECT_TRUE(*r.read_null_if_present());
    ASSERT_TRUE(*r.has_next());
    EXPECT_FALSE(*r.read_null_if_present());
    EXPECT_EQ(*r.read_string(), "s");
    EXPECT_FALSE(*r.has_next());
    EXPECT_TRUE(r.end_array().ok());
    EXPECT_TRUE(r.end().ok());
  }
}

TEST(JsonReader, ObjectsKeysAndRecordFailures) {
  // A typed reader's duplicate-field failure points at the closing quote of the second key
  // (or the white space after it); a missing-field failure after the closing brace.
  {
    Reader r("{\"a\":1, \"a\" :2}");
    ASSERT_TRUE(r.begin_object().ok());
    std::string_view key;
    ASSERT_TRUE(*r.next_key(&key));
    EXPECT_EQ(key, "a");
    EXPECT_EQ(*r.read_u64(), 1u);
    ASSERT_TRUE(*r.next_key(&key));
    EXPECT_EQ(r.error_in_object("duplicate field `a`").message(),
              "duplicate field `a` at line 1 column 12");
  }
  {
    Reader r("{ \"x\\u0041\": [1, 2] }  ");
    ASSERT_TRUE(r.begin_object().ok());
    std::string_view key;
    ASSERT_TRUE(*r.next_key(&key));
    EXPECT_EQ(key, "xA");  // escapes decoded
    EXPECT_TRUE(r.skip_value().ok());
    EXPECT_FALSE(*r.next_key(&key));
    EXPECT_EQ(r.error_in_object("missing field `y`").message(),
              "missing field `y` at line 1 column 21");
  }
  {
    Reader r("[1, 2 ]");
    ASSERT_TRUE(r.begin_array().ok());
    ASSERT_TRUE(*r.has_next());
    ASSERT_TRUE(r.skip_value().ok());
    ASSERT_TRUE(*r.has_next());
    ASSERT_TRUE(r.skip_value().ok());
    EXPECT_FALSE(*r.has_next());
    EXPECT_EQ(r.error_in_array("invalid length 2, expected struct S with 3 elements").message(),
              "invalid length 2, expected struct S with 3 elements at line 1 column 7");
  }
  {
    Reader r("[1, 2, 3]");
    ASSERT_TRUE(r.begin_array().ok());
    ASSERT_TRUE(*r.has_next());
    ASSERT_TRUE(r.skip_value().ok());
    EXPECT_EQ(r.end_array().error().message(), "trailing characters at line 1 column 5");
  }
  {
    Reader r("{\"k\" 1}");
    ASSERT_TRUE(r.begin_object().ok());
    std::string_view key;
    ASSERT_TRUE(*r.next_key(&key));
    EXPECT_EQ(r.peek().error().message(), "expected `:` at line 1 column 6");
  }
  {
    Reader r("5");
    EXPECT_EQ(r.begin_object().error().message(),
              "invalid type: integer `5`, expected a map at line 1 column 1");
  }
}

TEST(JsonReader, VariantForms) {
  struct Row {
    const char* in;
    const char* want;
  };
  const Row rows[] = {
      {"\"b\"", "b"},
      {"{\"b\":null}", "b"},
      {" { \"b\" : null } ", "b"},
      {"{\"b\":5}", "invalid type: integer `5`, expected unit at line 1 column 6"},
      {"{\"b\":null,\"c\":1}", "expected value at line 1 column 9"},
      {"{\"b\":null", "EOF while parsing an object at line 1 column 9"},
      {"{}", "expected value at line 1 column 2"},
      {"{5:null}", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {"5", "expected value at line 1 column 1"},
      {"null", "expected value at line 1 column 1"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const Row& row : rows) {
    Reader r(row.in);
    VariantForm form;
    std::string got;
    Result<std::string_view> name = r.read_variant_name(&form);
    Status s = name.ok() ? r.finish_variant(form) : Status(name.error());
    if (s.ok()) s = r.end();
    got = s.ok() ? std::string(*name) : s.error().message();
    EXPECT_EQ(got, row.want) << "input: " << row.in;
  }
}

TEST(JsonReader, FloatsAreCorrectlyRounded) {
  // Checked against the C library's correctly rounded conversion.
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (rng() % 2) text += '-';
    const int int_digits = 1 + static_cast<int>(rng() % 20);
    text += static_cast<char>('1' + rng() % 9);
    for (int d = 1; d < int_digits; ++d) text += static_cast<char>('0' + rng() % 10);
    if (rng() % 2) {
      text += '.';
      const int frac_digits = 1 + static_cast<int>(rng() % 20);
      for (int d = 0; d < frac_digits; ++d) text += static_cast<char>('0' + rng() % 10);
    }
    text += 'e';
    text += std::to_string(static_cast<int>(rng() % 600) - 320);
    Reader r(text);
    Result<double> got = r.read_f64();
    const double want = std::strtod(text.c_str(), nullptr);
    if (std::isinf(want)) {
      ASSERT_FALSE(got.ok()) << text;
      EXPECT_EQ(got.error().message().substr(0, 19), "number out of range") << text;
    } else {
      ASSERT_TRUE(got.ok()) << text << ": " << got.error().message();
      EXPECT_EQ(*got, want) << text;
      EXPECT_EQ(std::signbit(*got), std::signbit(want)) << text;
    }
  }
}

TEST(JsonReader, PositionsCountBytesPerLine) {
  // Multi-byte characters count one column per byte.
  EXPECT_EQ(read_any("[\"\xC3\xA9\"x"), "expected `,` or `]` at line 1 column 6");
  EXPECT_EQ(read_any("\n\n  [1,\n   x"), "expected value at line 4 column 4");
  EXPECT_EQ(position_suffix(Position{3, 0}), " at line 3 column 0");
}

TEST(JsonReader, DescribeFoundValues) {
  Number n;
  n.type = Number::Type::kF64;
  n.f = 1.5;
  EXPECT_EQ(describe_number(n), "floating point `1.5`");
  n.f = 1e300;
  EXPECT_EQ(describe_number(n).size(), std::string("floating point ``").size() + 303);
  n.type = Number::Type::kI64;
  n.i = -7;
  EXPECT_EQ(describe_number(n), "integer `-7`");
  EXPECT_EQ(describe_string("a\"b\\c\td\x01"), "string \"a\\\"b\\\\c\\td\\u{1}\"");
}

}  // namespace
}  // namespace osmira_base::json

namespace osmira_base::json {
namespace {

// True when "[" + run + "]" reads as an array of values with a reader over the whole text.
bool whole_text_reads(std::string_view run) {
  std::string text;
  text += '[';
  text.append(run);
  text += ']';
  Reader r(text);
  if (!r.begin_array().ok()) return false;
  while (true) {
    Result<bool> more = r.has_next();
    if (!more.ok()) return false;
    if (!*more) break;
    Value v;
    if (!r.read_value(v).ok()) return false;
  }
  return r.end_array().ok() && r.end().ok();
}

// A reader over a run of elements cut out of an array, reading a known number of elements
// and then only white space, accepts exactly the runs that the reader of the whole array
// accepts.
TEST(JsonReader, ReaderOfARunInsideAnArray) {
  // Read a known number of elements, then only white space: the readers' way of using it.
  struct Counted {
    const char* run;
    int count;
    bool ok;
  };
  const Counted counted[] = {
      {"1", 1, true},           {" 1 , [2,{\"a\":\"b\"}] ", 2, true}, {"1,", 1, false},
      {"1 2", 1, false},        {",1", 1, false},                       {"1,,2", 2, false},
      {"1,]", 2, false},        {"\"\\q\"", 1, false},                  {"[1]]", 1, false},
  };
  for (const Counted& row : counted) {
    Reader r(row.run, 1);
    bool ok = true;
    for (int k = 0; k < row.count && ok; ++k) {
      Result<bool> more = r.has_next();
      Value v;
      ok = more.ok() && *more && r.read_value(v).ok();
    }
    ok = ok && r.end().ok();
    EXPECT_EQ(ok, row.ok) << row.run;
    EXPECT_EQ(whole_text_reads(row.run), row.ok) << row.run;
  }
}

// The depth limit counts the enclosing levels given to the reader.
TEST(JsonReader, ReaderOfARunCountsEnclosingLevels) {
  for (int depth : {1, 2, 10}) {
    for (int levels = Reader::kMaxDepth - depth - 2; levels <= Reader::kMaxDepth - depth + 1;
         ++levels) {
      const std::string nested = std::string(levels, '[') + std::string(levels, ']');
      Reader r(nested, depth);
      Value v;
      const bool read_ok = r.has_next().ok() && r.read_value(v).ok();
      Reader s(nested, depth);
      const bool skip_ok = s.has_next().ok() && s.skip_value().ok();
      const bool fits = depth + levels < Reader::kMaxDepth;
      EXPECT_EQ(read_ok, fits) << depth << " " << levels;
      EXPECT_EQ(skip_ok, fits) << depth << " " << levels;
    }
  }
}

}  // namespace
}  // namespace osmira_base::json
