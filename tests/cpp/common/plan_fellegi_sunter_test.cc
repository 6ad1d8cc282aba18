#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "common/ir/fellegi_sunter.h"

namespace osmira_common::ir {
namespace {

constexpr const char* kExample =
    "{\"fields\":[{\"name\":\"email\",\"comparator\":\"exact\",\"weight\":1.0,\"m_probability\":0.9,"
    "\"u_probability\":0.01,\"w_agree\":4.499809670330265,\"w_disagree\":-2.2925347571405443,"
    "\"normalizer\":null}],\"match_threshold\":3.0,\"possible_threshold\":1.0,"
    "\"non_match_threshold\":-1.0,\"merge_threshold\":null,\"max_composite\":4.499809670330265,"
    "\"min_composite\":-2.2925347571405443,\"em_training\":{\"max_iterations\":25,"
    "\"convergence_threshold\":0.001,\"estimate_u\":null,\"max_random_pairs\":1000000,"
    "\"prior_weight\":0.7}}";

CompiledFellegiSunterPlan example_plan() {
  CompiledFellegiSunterPlan p;
  CompiledFsField f;
  f.name = "email";
  f.comparator = FsComparatorType::kExact;
  f.weight = 1.0;
  f.m_probability = 0.9;
  f.u_probability = 0.01;
  f.w_agree = f.weight * std::log(f.m_probability / f.u_probability);
  f.w_disagree = f.weight * std::log((1 - f.m_probability) / (1 - f.u_probability));
  p.fields.push_back(f);
  p.match_threshold = 3.0;
  p.possible_threshold = 1.0;
  p.non_match_threshold = -1.0;
  p.max_composite = -0.0 + f.w_agree;
  p.min_composite = -0.0 + f.w_disagree;
  CompiledEmTraining t;
  t.max_iterations = 25;
  t.convergence_threshold = 0.001;
  p.em_training = t;
  return p;
}

// The message of a failed read, or "OK".
std::string read_message(std::string_view text) {
  auto r = read_trained_params(text);
  return r.ok() ? "OK" : r.error().message();
}

TEST(TrainedParams, WritesTheDocumentedText) {
  EXPECT_EQ(write_trained_params(example_plan()), kExample);
}

TEST(TrainedParams, RoundTripIsIdentical) {
  CompiledFellegiSunterPlan p = example_plan();
  CompiledFsField g;
  g.name = "na\"me\\\n";
  g.comparator = FsComparatorType::kCosine;
  g.weight = 0.3;
  g.m_probability = 0.9999;
  g.u_probability = 0.0001;
  g.w_agree = 1e-10;
  g.w_disagree = -1e300;
  g.normalizer = "nickname";
  p.fields.push_back(g);
  p.merge_threshold = 2.5e-7;
  p.em_training->estimate_u = "random_sampling";
  p.em_training->max_random_pairs = std::numeric_limits<uint64_t>::max();
  p.em_training->prior_weight = 0.1 + 0.2;
  const std::string text = write_trained_params(p);
  auto back = read_trained_params(text);
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(*back, p);
  EXPECT_EQ(write_trained_params(*back), text);

  CompiledFellegiSunterPlan empty;
  empty.max_composite = -0.0;
  empty.min_composite = -0.0;
  const std::string empty_text = write_trained_params(empty);
  EXPECT_EQ(empty_text,
            "{\"fields\":[],\"match_threshold\":0.0,\"possible_threshold\":0.0,"
            "\"non_match_threshold\":0.0,\"merge_threshold\":null,\"max_composite\":-0.0,"
            "\"min_composite\":-0.0,\"em_training\":null}");
  ASSERT_TRUE(read_trained_params(empty_text).ok());
  EXPECT_TRUE(std::signbit(read_trained_params(empty_text)->max_composite));
}

TEST(TrainedParams, NonFiniteNumbersBecomeNull) {
  CompiledFellegiSunterPlan p = example_plan();
  p.merge_threshold = std::numeric_limits<double>::infinity();
  p.max_composite = std::nan("");
  const std::string text = write_trained_params(p);
  EXPECT_NE(text.find("\"merge_threshold\":null"), std::string::npos);
  EXPECT_NE(text.find("\"max_composite\":null"), std::string::npos);
  EXPECT_EQ(read_message(text).substr(0, 35), "invalid type: null, expected f64 at");

  p.max_composite = 1.0;
  auto back = read_trained_params(write_trained_params(p));
  ASSERT_TRUE(back.ok());
  EXPECT_FALSE(back->merge_threshold.has_value());
}

TEST(TrainedParams, DefaultsUnknownKeysAndArrayForms) {
  const std::string base =
      "\"match_threshold\":3,\"possible_threshold\":1,\"non_match_threshold\":-1,"
      "\"max_composite\":0,\"min_composite\":0";
  {
    auto r = read_trained_params("{\"fields\":[]," + base + "}");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->match_threshold, 3.0);  // integers read as floats
    EXPECT_FALSE(r->em_training.has_value());
    EXPECT_FALSE(r->merge_threshold.has_value());
  }
  {
    auto r = read_trained_params("{\"fields\":[]," + base + ",\"em_training\":null}");
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->em_training.has_value());
  }
  {
    auto r = read_trained_params(
        "{\"version\":{\"x\":[1,{\"y\":null}]},\"fields\":[]," + base +
        ",\"em_training\":{\"max_iterations\":5,\"convergence_threshold\":0.1,\"other\":true}}");
    ASSERT_TRUE(r.ok()) << r.error().message();
    ASSERT_TRUE(r->em_training.has_value());
    EXPECT_EQ(r->em_training->max_iterations, 5u);
    EXPECT_EQ(r->em_training->max_random_pairs, 1000000u);
    EXPECT_EQ(r->em_training->prior_weight, 0.7);
    EXPECT_FALSE(r->em_training->estimate_u.has_value());
  }
  {
    // Every record in its array form; the comparator in its object form.
    auto r = read_trained_params(
        "[[[\"n\",{\"soundex\":null},1,0.5,0.25,2e0,-1E-1]],3,1,-1,null,0.0,0.0,[5,0.1]]");
    ASSERT_TRUE(r.ok()) << r.error().message();
    ASSERT_EQ(r->fields.size(), 1u);
    EXPECT_EQ(r->fields[0].comparator, FsComparatorType::kSoundex);
    EXPECT_FALSE(r->fields[0].normalizer.has_value());
    EXPECT_EQ(r->fields[0].w_disagree, -0.1);
    EXPECT_EQ(r->em_training->max_random_pairs, 1000000u);
  }
  EXPECT_EQ(read_message("[[], 3.0, 1.0, -1.0, null, 0.0, 0.0]"), "OK");
  EXPECT_EQ(read_message(" \n{\"fields\":[]," + base + "}\n\t "), "OK");
}

TEST(TrainedParams, Messages) {
  const std::string tail =
      ",\"match_threshold\":3,\"possible_threshold\":1,\"non_match_threshold\":-1,"
      "\"max_composite\":0,\"min_composite\":0}";
  const std::string field_head = "{\"fields\":[{\"name\":\"a\",\"comparator\":";
  const std::string field_rest =
      ",\"weight\":1,\"m_probability\":0.9,\"u_probability\":0.1,\"w_agree\":1,\"w_disagree\":-1}]";
  struct Row {
    std::string in;
    std::string want;
  };
  const Row rows[] = {
      {"{}", "missing field `fields` at line 1 column 2"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\"fields\":[]}", "missing field `match_threshold` at line 1 column 13"},
      {"{\"fields\":[]" + tail + "x", "trailing characters at line 1 column 118"},
      {"{\"fields\":[]" + tail + " ,", "trailing characters at line 1 column 119"},
      {"{\"fields\":[],\"fields\":[]}", "duplicate field `fields` at line 1 column 21"},
      {"{\"fields\":[] , \"fields\" :[]}", "duplicate field `fields` at line 1 column 24"},
      {"{\"fields\":[],\"merge_threshold\":null,\"merge_threshold\":null}",
       "duplicate field `merge_threshold` at line 1 column 53"},
      {"{\"fields\":{}}", "invalid type: map, expected a sequence at line 1 column 10"},
      {"{\"fields\":[{\"name\":\"a\"}]}", "missing field `comparator` at line 1 column 23"},
      {field_head + "\"exact\",\"m_probability\":1}]}", "missing field `weight` at line 1 column 62"},
      {field_head + "\"Exact\"" + field_rest + tail,
       "unknown variant `Exact`, expected one of `exact`, `jaro_winkler`, `levenshtein`, "
       "`soundex`, `metaphone`, `cosine` at line 1 column 43"},
      {field_head + "\"Soundex\"" + field_rest + tail,
       "unknown variant `Soundex`, expected one of `exact`, `jaro_winkler`, `levenshtein`, "
       "`soundex`, `metaphone`, `cosine` at line 1 column 45"},
      {field_head + "{\"soundex\":5}" + field_rest + tail,
       "invalid type: integer `5`, expected unit at line 1 column 48"},
      {field_head + "null" + field_rest + tail, "expected value at line 1 column 37"},
      {"{\"fields\":[],\"match_threshold\":null}",
       "invalid type: null, expected f64 at line 1 column 35"},
      {"{\"fields\":[],\"match_threshold\":\"3\"}",
       "invalid type: string \"3\", expected f64 at line 1 column 34"},
      {"{\"fields\":[],\"match_threshold\":true}",
       "invalid type: boolean `true`, expected f64 at line 1 column 35"},
      {"{\"fields\":[],\"match_threshold\":[]}",
       "invalid type: sequence, expected f64 at line 1 column 31"},
      {"{\"fields\":[{\"name\":5}]}", "invalid type: integer `5`, expected a string at line 1 column 20"},
      {"{\"fields\":5}", "invalid type: integer `5`, expected a sequence at line 1 column 11"},
      {"{\"fields\":[5]}",
       "invalid type: integer `5`, expected struct CompiledFsField at line 1 column 12"},
      {"\"x\"", "invalid type: string \"x\", expected struct CompiledFellegiSunterPlan at line 1 column 3"},
      {"{\"fields\":[],\"em_training\":true}",
       "invalid type: boolean `true`, expected struct CompiledEmTraining at line 1 column 31"},
      {"{\"fields\":[],\"em_training\":{\"max_iterations\":-5}}",
       "invalid value: integer `-5`, expected usize at line 1 column 47"},
      {"{\"fields\":[],\"em_training\":{\"max_iterations\":25.0}}",
       "invalid type: floating point `25.0`, expected usize at line 1 column 49"},
      {"{\"fields\":[],\"em_training\":{\"max_iterations\":25}}",
       "missing field `convergence_threshold` at line 1 column 48"},
      {"{\"fields\":[],\"em_training\":[25]}",
       "invalid length 1, expected struct CompiledEmTraining with 5 elements at line 1 column 31"},
      {"[[], 3.0, 1.0, -1.0]",
       "invalid length 5, expected struct CompiledFellegiSunterPlan with 8 elements at line 1 column 20"},
      {"[[[\"a\",\"exact\",1]]]",
       "invalid length 3, expected struct CompiledFsField with 8 elements at line 1 column 17"},
      {"[[],1,2,3,null,4,5,null,6]", "trailing characters at line 1 column 25"},
      {"[[],1,2,3,null,4,5,null,]", "trailing comma at line 1 column 25"},
      {"{\"fields\":[],}", "trailing comma at line 1 column 14"},
      {"{\"fields\":[] \"x\":1}", "expected `,` or `}` at line 1 column 14"},
      {"{\"fields\" []}", "expected `:` at line 1 column 11"},
      {"{\"fields\":[", "EOF while parsing a list at line 1 column 11"},
      {"{\"fields\":[]", "EOF while parsing an object at line 1 column 12"},
      {"{\"fields", "EOF while parsing a string at line 1 column 8"},
      {"{5:1}", "key must be a string at line 1 column 2"},
      {"{\"fields\":[],\"match_threshold\":nul}", "expected ident at line 1 column 35"},
      {"{\"fields\":[],\"match_threshold\":1e999}", "number out of range at line 1 column 36"},
      {"{\"fields\":[],\"match_threshold\":01}", "invalid number at line 1 column 33"},
      {"{\"fields\":[{\"name\":\"\\x\"}]}", "invalid escape at line 1 column 22"},
      {"{\"fields\":[{\"name\":\"\\uD800\"}]}", "unexpected end of hex escape at line 1 column 27"},
      {"{\"fields\":[{\"name\":\"a\x01\"}]}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 22"},
      {"{\"fields\":[{\"name\":\"\xFF\"}]}", "invalid unicode code point at line 1 column 22"},
      {"{\"x\":" + std::string(127, '[') + std::string(127, ']') + "}",
       "recursion limit exceeded at line 1 column 132"},
      {"{\"fields\":[],\"match_threshold\":\n  x}", "expected value at line 2 column 3"},
  };
  for (const Row& row : rows) EXPECT_EQ(read_message(row.in), row.want) << "input: " << row.in;
}

// m and u must lie within the bounds that compiling and training clamp them to; anything else
// was never written by the system. The message names the field by place and name.
TEST(TrainedParams, ProbabilitiesOutsideTheStoredBoundsAreRefused) {
  const auto text = [](const std::string& m, const std::string& u) {
    return "{\"fields\":[{\"name\":\"email\",\"comparator\":\"exact\",\"weight\":1,"
           "\"m_probability\":0.9,\"u_probability\":0.1,\"w_agree\":1,\"w_disagree\":-1},"
           "{\"name\":\"na\\\"me\",\"comparator\":\"exact\",\"weight\":1,\"m_probability\":" +
           m + ",\"u_probability\":" + u +
           ",\"w_agree\":1,\"w_disagree\":-1}],\"match_threshold\":3,\"possible_threshold\":1,"
           "\"non_match_threshold\":-1,\"max_composite\":0,\"min_composite\":0}";
  };
  const std::string kField = "fields[1] (`na\"me`): ";
  struct Row {
    std::string m, u, want;
  };
  const Row rows[] = {
      {"0.9", "0.1", "OK"},
      {"0.0001", "0.9999", "OK"},  // the bounds themselves
      {"0.9999", "0.0001", "OK"},
      {"1e308", "-1e308", kField + "m_probability 1e+308 is outside [0.0001, 0.9999]"},
      {"0.5", "-1e308", kField + "u_probability -1e+308 is outside [0.0001, 0.9999]"},
      {"0", "0", kField + "m_probability 0.0 is outside [0.0001, 0.9999]"},
      {"-0.0", "0.5", kField + "m_probability -0.0 is outside [0.0001, 0.9999]"},
      {"0.5", "0", kField + "u_probability 0.0 is outside [0.0001, 0.9999]"},
      {"1", "0.5", kField + "m_probability 1.0 is outside [0.0001, 0.9999]"},
      {"0.5", "1", kField + "u_probability 1.0 is outside [0.0001, 0.9999]"},
      {"0.00009999999999999999", "0.5", kField + "m_probability 0.00009999999999999999 is outside [0.0001, 0.9999]"},
      {"0.5", "0.99990000000000001", "OK"},  // reads as 0.9999
      {"0.5", "0.9999000000000001", kField + "u_probability 0.9999000000000001 is outside [0.0001, 0.9999]"},
      {"2", "3", kField + "m_probability 2.0 is outside [0.0001, 0.9999]"},
      {"-5", "0.5", kField + "m_probability -5.0 is outside [0.0001, 0.9999]"},
      // JSON has no NaN or infinity: such texts fail as JSON before any range is looked at.
      {"NaN", "0.5", "expected value at line 1 column 194"},
      {"1e999", "0.5", "number out of range at line 1 column 198"},
  };
  for (const Row& r : rows) EXPECT_EQ(read_message(text(r.m, r.u)), r.want) << r.m << " " << r.u;

  // Array forms are checked alike.
  EXPECT_EQ(read_message("[[[\"a\",\"exact\",1,0,0.5,1,1]],1,1,1,null,0,0]"),
            "fields[0] (`a`): m_probability 0.0 is outside [0.0001, 0.9999]");
  // Every field is checked, the first fault is reported.
  std::string many = "{\"fields\":[";
  for (int i = 0; i < 1000; ++i) {
    if (i > 0) many += ',';
    many += "{\"name\":\"f\",\"comparator\":\"exact\",\"weight\":1,\"m_probability\":" +
            std::string(i == 998 ? "7" : "0.5") +
            ",\"u_probability\":0.5,\"w_agree\":0,\"w_disagree\":0}";
  }
  many += "],\"match_threshold\":3,\"possible_threshold\":1,\"non_match_threshold\":-1,"
          "\"max_composite\":0,\"min_composite\":0}";
  EXPECT_EQ(read_message(many), "fields[998] (`f`): m_probability 7.0 is outside [0.0001, 0.9999]");
}

TEST(TrainedParams, KeysAreMatchedAfterUnescapingAndPositionsSpanLines) {
  const std::string rest =
      ",\"match_threshold\":3,\"possible_threshold\":1,\"non_match_threshold\":-1,"
      "\"max_composite\":0,\"min_composite\":0}";
  struct Row {
    std::string in;
    std::string want;
  };
  const Row rows[] = {
      // An escaped key names the same field as its plain spelling.
      {"{\"fields\":[],\"f\\u0069elds\":[]}", "duplicate field `fields` at line 1 column 26"},
      {"{\n \"fields\": [],\n \"fields\": []}", "duplicate field `fields` at line 3 column 9"},
      {"{\"fields\":[],\r\n\"match_threshold\":\n\"x\"}",
       "invalid type: string \"x\", expected f64 at line 3 column 3"},
      // A field with a default still has to be a number when given, also in the array form.
      {"{\"fields\":[],\"em_training\":[25,0.1,null,null]}",
       "invalid type: null, expected usize at line 1 column 44"},
      {"{\"fields\":[],\"em_training\":[25,0.1,\"random_sampling\",-1]}",
       "invalid value: integer `-1`, expected usize at line 1 column 55"},
  };
  for (const Row& row : rows) EXPECT_EQ(read_message(row.in), row.want) << "input: " << row.in;

  auto r = read_trained_params("{\"fields\":[[\"n\",\"levenshtein\",1,0.5,0.25,2,-1,\"name\"]]" +
                               rest);
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(r->fields.size(), 1u);
  EXPECT_EQ(r->fields[0].comparator, FsComparatorType::kLevenshtein);
  EXPECT_EQ(r->fields[0].normalizer, std::optional<std::string>("name"));
  EXPECT_EQ(r->fields[0].w_agree, 2.0);
}

TEST(TrainedParams, UnknownKeysMayNestJustBelowTheLimit) {
  const std::string text =
      "{\"x\":" + std::string(126, '[') + std::string(126, ']') +
      ",\"fields\":[],\"match_threshold\":3,\"possible_threshold\":1,\"non_match_threshold\":-1,"
      "\"max_composite\":0,\"min_composite\":0}";
  EXPECT_EQ(read_message(text), "OK");
}

}  // namespace
}  // namespace osmira_common::ir
