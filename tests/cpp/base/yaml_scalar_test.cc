#include "base/yaml_scalar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace osmira_base::yaml {
namespace {

using Kind = PlainScalar::Kind;

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::kNull: return "null";
    case Kind::kBool: return "bool";
    case Kind::kUInt: return "uint";
    case Kind::kInt: return "int";
    case Kind::kBigUInt: return "big_uint";
    case Kind::kBigInt: return "big_int";
    case Kind::kFloat: return "float";
    case Kind::kString: return "string";
  }
  return "?";
}

TEST(ClassifyPlainScalar, KindsAndValues) {
  struct Row {
    const char* text;
    Kind kind;
    // uint/int: the value; float: the value (NaN compared by isnan); others ignored.
    long double value = 0;
  };
  const Row rows[] = {
      // null and boolean words, exact spellings only
      {"", Kind::kNull}, {"~", Kind::kNull}, {"null", Kind::kNull}, {"Null", Kind::kNull},
      {"NULL", Kind::kNull}, {"nULL", Kind::kString},
      {"true", Kind::kBool, 1}, {"True", Kind::kBool, 1}, {"TRUE", Kind::kBool, 1},
      {"false", Kind::kBool, 0}, {"False", Kind::kBool, 0}, {"FALSE", Kind::kBool, 0},
      {"yes", Kind::kString}, {"on", Kind::kString}, {"tRUE", Kind::kString},
      // unsigned integers: decimal, radix prefixes, one optional '+'
      {"0", Kind::kUInt, 0}, {"1234", Kind::kUInt, 1234}, {"+7", Kind::kUInt, 7},
      {"0x1F", Kind::kUInt, 31}, {"0xff", Kind::kUInt, 255}, {"+0b101", Kind::kUInt, 5},
      {"0o17", Kind::kUInt, 15}, {"18446744073709551615", Kind::kUInt, 18446744073709551615.0L},
      {"0xFFFFFFFFFFFFFFFF", Kind::kUInt, 18446744073709551615.0L},
      {"-0", Kind::kUInt, 0}, {"-0x0", Kind::kUInt, 0},
      // negative integers
      {"-1", Kind::kInt, -1}, {"-0o17", Kind::kInt, -15}, {"-0x1F", Kind::kInt, -31},
      {"-0b11", Kind::kInt, -3}, {"-9223372036854775808", Kind::kInt, -9223372036854775808.0L},
      // beyond 64 bits, within 128
      {"18446744073709551616", Kind::kBigUInt}, {"0x10000000000000000", Kind::kBigUInt},
      {"-9223372036854775809", Kind::kBigInt},
      {"340282366920938463463374607431768211455", Kind::kBigUInt},
      {"-170141183460469231731687303715884105728", Kind::kBigInt},
      // beyond 128 bits: read as floats
      {"1234567890123456789012345678901234567890", Kind::kFloat, 1234567890123456789012345678901234567890.0L},
      {"-1234567890123456789012345678901234567890", Kind::kFloat, -1234567890123456789012345678901234567890.0L},
      // digits but not a number: text, not octal, not float
      {"01234", Kind::kString}, {"-007", Kind::kString}, {"+007", Kind::kString},
      {"00", Kind::kString}, {"0123456789012345678901234567890123456789", Kind::kString},
      // malformed signs and prefixes
      {"+-1", Kind::kString}, {"++1", Kind::kString}, {"-+1", Kind::kString},
      {"0x+1", Kind::kString}, {"0x-1", Kind::kString}, {"-0x-1", Kind::kString},
      {"0x", Kind::kString}, {"0xG", Kind::kString}, {"0b102", Kind::kString},
      {"0o8", Kind::kString}, {"0X1F", Kind::kString}, {"-", Kind::kString}, {"+", Kind::kString},
      {"1_000", Kind::kString}, {"1,5", Kind::kString},
      // floats
      {"1.", Kind::kFloat, 1.0}, {".5", Kind::kFloat, 0.5}, {"1e5", Kind::kFloat, 1e5},
      {"1E5", Kind::kFloat, 1e5}, {"1.e5", Kind::kFloat, 1e5}, {"+1.5", Kind::kFloat, 1.5},
      {"-2.5e-3", Kind::kFloat, -2.5e-3}, {"0.1", Kind::kFloat, 0.1}, {"1e+2", Kind::kFloat, 100},
      {"007.5", Kind::kFloat, 7.5}, {"1e-400", Kind::kFloat, 0.0}, {"-1e-400", Kind::kFloat, -0.0},
      {"4.9e-324", Kind::kFloat, 4.9e-324}, {"0e999999999999", Kind::kFloat, 0.0},
      {".inf", Kind::kFloat, INFINITY}, {"+.Inf", Kind::kFloat, INFINITY},
      {".INF", Kind::kFloat, INFINITY}, {"-.inf", Kind::kFloat, -INFINITY},
      {"-.INF", Kind::kFloat, -INFINITY}, {".nan", Kind::kFloat, NAN}, {".NaN", Kind::kFloat, NAN},
      {".NAN", Kind::kFloat, NAN},
      // not floats
      {"1e999", Kind::kString}, {"-1e999", Kind::kString}, {"inf", Kind::kString},
      {"nan", Kind::kString}, {"infinity", Kind::kString}, {"+.nan", Kind::kString},
      {".", Kind::kString}, {"e5", Kind::kString}, {".e5", Kind::kString}, {"1e", Kind::kString},
      {"1e+", Kind::kString}, {"1.5.5", Kind::kString}, {"+-1.5", Kind::kString},
      {"0x1.8p3", Kind::kString}, {" 1", Kind::kString}, {"1 ", Kind::kString},
      {"hello", Kind::kString},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string("text: \"") + r.text + "\"");
    const PlainScalar s = classify_plain_scalar(r.text);
    ASSERT_EQ(kind_name(s.kind), std::string(kind_name(r.kind)));
    switch (s.kind) {
      case Kind::kBool: EXPECT_EQ(s.boolean, r.value != 0); break;
      case Kind::kUInt: EXPECT_EQ(static_cast<long double>(s.uint), r.value); break;
      case Kind::kInt: EXPECT_EQ(static_cast<long double>(s.sint), r.value); break;
      case Kind::kFloat:
        if (std::isnan(static_cast<double>(r.value))) {
          EXPECT_TRUE(std::isnan(s.number));
        } else {
          EXPECT_EQ(s.number, static_cast<double>(r.value));
          EXPECT_EQ(std::signbit(s.number), std::signbit(static_cast<double>(r.value)));
        }
        break;
      default: break;
    }
  }
}

TEST(ClassifyPlainScalar, IntegerExtremes) {
  EXPECT_EQ(classify_plain_scalar("-9223372036854775808").sint, std::numeric_limits<int64_t>::min());
  EXPECT_EQ(classify_plain_scalar("18446744073709551615").uint, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(classify_plain_scalar("0b" + std::string(64, '1')).uint, std::numeric_limits<uint64_t>::max());

  const PlainScalar big = classify_plain_scalar("18446744073709551616");
  EXPECT_EQ(big.big_uint, static_cast<unsigned __int128>(1) << 64);
  const PlainScalar neg = classify_plain_scalar("-170141183460469231731687303715884105728");
  EXPECT_EQ(neg.big_int, static_cast<__int128>(static_cast<unsigned __int128>(1) << 127));
  // One past the 128-bit range is a float, not an integer.
  EXPECT_EQ(classify_plain_scalar("340282366920938463463374607431768211456").kind, Kind::kFloat);
  EXPECT_EQ(classify_plain_scalar("-170141183460469231731687303715884105729").kind, Kind::kFloat);
}

TEST(ClassifyPlainScalar, FloatsAreCorrectlyRounded) {
  // Halfway and near-halfway cases where naive digit accumulation rounds wrongly.
  EXPECT_EQ(classify_plain_scalar("9007199254740993").kind, Kind::kUInt);
  EXPECT_EQ(classify_plain_scalar("9007199254740993.0").number, 9007199254740992.0);
  EXPECT_EQ(classify_plain_scalar("2.2250738585072011e-308").number, 2.2250738585072011e-308);
  EXPECT_EQ(classify_plain_scalar("1.7976931348623157e308").number, std::numeric_limits<double>::max());
  EXPECT_EQ(classify_plain_scalar("1.7976931348623159e308").kind, Kind::kString);
}

}  // namespace
}  // namespace osmira_base::yaml
