#include "base/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/sha256.h"

namespace osmira_base {
namespace {

TEST(CompactJson, Scalars) {
  struct Row { Value in; const char* want; };
  const Row rows[] = {
      {Value(), "null"},
      {Value(true), "true"},
      {Value(false), "false"},
      {Value(uint64_t{18446744073709551615u}), "18446744073709551615"},
      {Value(int64_t{-9223372036854775807 - 1}), "-9223372036854775808"},
      {Value(1.0), "1.0"},
      {Value(1e16), "1e+16"},
      {Value(std::numeric_limits<double>::infinity()), "null"},
      {Value(std::nan("")), "null"},
      {Value(""), "\"\""},
  };
  for (const Row& r : rows) EXPECT_EQ(compact_json(r.in), r.want);
}

TEST(CompactJson, StringEscapes) {
  struct Row { std::string in; const char* want; };
  const Row rows[] = {
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"/\x7f", "\"/\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
  };
  for (const Row& r : rows) EXPECT_EQ(compact_json(Value(r.in)), r.want);
}

TEST(CompactJson, ObjectKeysInByteOrder) {
  Value o = Value::object();
  o.set("b", 1);
  o.set("a", Value::array());
  o.set("B", Value::object());
  o.set("\xc3\xa9", 2);  // non-ASCII sorts after ASCII
  o.get("a")->push(1.5);
  o.get("a")->push(Value());
  EXPECT_EQ(compact_json(o), R"({"B":{},"a":[1.5,null],"b":1,"é":2})");
}

TEST(CompactJson, DeepTreeDoesNotRecurse) {
  Value root = Value::array();
  Value* cur = &root;
  const int depth = 200000;
  for (int i = 0; i < depth; ++i) cur = &cur->push(Value::array());
  const std::string s = compact_json(root);
  EXPECT_EQ(s.size(), static_cast<size_t>(2 * (depth + 1)));
  // Dropping the tree must not recurse either.
  Value object_chain = Value::object();
  cur = &object_chain;
  for (int i = 0; i < depth; ++i) cur = &cur->set("k", Value::object());
}

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 h;
  h.update("a");
  h.update("bc");
  EXPECT_EQ(h.hex_digest(), sha256_hex("abc"));
}

}  // namespace
}  // namespace osmira_base
