#include "core/engine/expression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace osmira_core::engine::expression {
namespace {

// Compiles and evaluates `text` with a = 0.9, b = 0.4, c = 0.5, x = 0.25 (and `nan` NaN);
// the result or the error message.
struct Outcome {
  bool ok = false;
  double value = 0.0;
  std::string error;
};

Outcome run(const std::string& text) {
  const Variables vars = {{"a", 0.9}, {"b", 0.4}, {"c", 0.5}, {"x", 0.25},
                          {"nan", std::numeric_limits<double>::quiet_NaN()}};
  auto program = compile_expression(text);
  if (!program.ok()) return {false, 0.0, program.error().message()};
  auto value = evaluate(*program, vars);
  if (!value.ok()) return {false, 0.0, value.error().message()};
  return {true, *value, {}};
}

TEST(Expression, Values) {
  struct Row { const char* text; double want; };
  const Row rows[] = {
      {"a", 0.9},
      {"0.5 * a + 0.5 * b", 0.65},
      {"max(a, b) * 0.5 + 0.1", 0.55},         // product before sum
      {"a - b - c", (0.9 - 0.4) - 0.5},         // left associative
      {"a / b * c", (0.9 / 0.4) * 0.5},
      {"1 + 2 * 3", 7.0},
      {"(1 + 2) * 3", 9.0},
      {"a / -b", (0.9 / -1.0) * 0.4},           // -b is -1 * b and binds as a Star
      {"a / -2", 0.9 / -2.0},                   // -2 is a negative constant
      {"-(a + b)", -1.0 * (0.9 + 0.4)},
      {"2 - -3", 5.0},
      {"- 3", -3.0},                            // spaces after a unary minus
      {"2 * -x", -0.5},
      {"-.5", -0.5},
      {"--3", 3.0},                             // -1 * -3
      {"1 / 0", 0.0}, {"x / 0", 0.0}, {"0 / 0", 0.0}, {"x / -0", 0.0},
      {"unknown_rule + 1", 1.0},
      {"min(a, b)", 0.4}, {"min (a, b)", 0.4}, {"max(a,b)", 0.9},
      {"max(a, 0 / 0)", 0.9},
      {"max(nan, b)", 0.4}, {"min(a, nan)", 0.9},
      {".5 + 5.", 5.5},
      {"\t1\n+\r2 ", 3.0},
      {"min(max(a, b), c)", 0.5},
  };
  for (const Row& r : rows) {
    const Outcome o = run(r.text);
    ASSERT_TRUE(o.ok) << r.text << ": " << o.error;
    EXPECT_DOUBLE_EQ(o.value, r.want) << r.text;
  }
  EXPECT_TRUE(std::isnan(run("nan + 1").value));
  EXPECT_TRUE(std::isnan(run("max(nan, nan)").value));
  EXPECT_TRUE(std::isnan(run("1 / nan").value));
  // A tie keeps the left operand: visible on signed zeros.
  EXPECT_TRUE(std::signbit(run("min(-0, 0)").value));
  EXPECT_FALSE(std::signbit(run("max(0, -0)").value));
}

TEST(Expression, Errors) {
  struct Row { std::string text; const char* error; };
  const Row rows[] = {
      {"", "expression error: empty expression"},
      {"   ", "expression error: empty expression"},
      {"\u00a0\u3000", "expression error: empty expression"},
      {"()", "expression error: empty expression"},
      {"(,)", "expression error: empty expression"},
      {"-", "expression error: stack underflow"},
      {"1 +", "expression error: stack underflow"},
      {"min(1)", "expression error: stack underflow"},
      {"MIN(a, b)", "expression error: expression did not reduce to single value (stack has 3 items)"},
      {"min(1, 2, 3)", "expression error: expression did not reduce to single value (stack has 2 items)"},
      {"1 2", "expression error: expression did not reduce to single value (stack has 2 items)"},
      {"1, 2", "expression error: expression did not reduce to single value (stack has 2 items)"},
      {"1.2.3", "expression error: invalid number: 1.2.3"},
      {"-1.2.3", "expression error: invalid number: -1.2.3"},
      {"- 1.2.3", "expression error: invalid number: -1.2.3"},
      {"a + .", "expression error: invalid number: ."},
      {"a $ b", "expression error: unexpected character: '$'"},
      {"caf\u00e9", "expression error: unexpected character: '\u00e9'"},
      {"a\u00a0+ b", "expression error: unexpected character: '\u00a0'"},
      {"a\f+ b", "expression error: unexpected character: '\f'"},
      {"1 ^ 2", "expression error: unexpected character: '^'"},
      {"(1 + 2", "expression error: mismatched parentheses"},
      {"1 + 2)", "expression error: mismatched parentheses"},
      {"min(a, b", "expression error: mismatched parentheses"},
  };
  for (const Row& r : rows) {
    const Outcome o = run(r.text);
    EXPECT_FALSE(o.ok) << r.text;
    EXPECT_EQ(o.error, r.error) << r.text;
  }
}

TEST(Expression, Programs) {
  auto push = [](double v) { return Op{OpKind::kPush, v, {}}; };
  auto var = [](const char* n) { return Op{OpKind::kVar, 0.0, n}; };
  auto op = [](OpKind k) { return Op{k, 0.0, {}}; };
  EXPECT_EQ(*compile_expression("-"), (Program{push(-1.0), op(OpKind::kMul)}));
  EXPECT_EQ(*compile_expression("MIN(a, b)"), (Program{var("MIN"), var("a"), var("b")}));
  EXPECT_EQ(*compile_expression("a / -b"),
            (Program{var("a"), push(-1.0), op(OpKind::kDiv), var("b"), op(OpKind::kMul)}));
  EXPECT_EQ(*compile_expression("max(a, 2) * 0.5"),
            (Program{var("a"), push(2.0), op(OpKind::kMax), push(0.5), op(OpKind::kMul)}));
  EXPECT_EQ(*compile_expression("a - b + c"),
            (Program{var("a"), var("b"), op(OpKind::kSub), var("c"), op(OpKind::kAdd)}));
}

TEST(Expression, Tokens) {
  auto tokens = tokenize("min (x_1, -2) max2(");
  ASSERT_TRUE(tokens.ok());
  std::string debug;
  for (const Token& t : *tokens) debug += token_debug_text(t) + " ";
  EXPECT_EQ(debug, "Func(\"min\") LParen Ident(\"x_1\") Comma Number(-2.0) RParen Ident(\"max2\") LParen ");
}

TEST(Expression, PushOperatorRefusesOtherTokens) {
  Program out;
  EXPECT_TRUE(push_operator(Token{TokenKind::kSlash, 0.0, {}}, out).ok());
  EXPECT_EQ(out, (Program{Op{OpKind::kDiv, 0.0, {}}}));
  struct Row { Token token; const char* error; };
  const Row rows[] = {
      {Token{TokenKind::kFunc, 0.0, "min"}, "expression error: unexpected operator: Func(\"min\")"},
      {Token{TokenKind::kLParen, 0.0, {}}, "expression error: unexpected operator: LParen"},
      {Token{TokenKind::kNumber, 1.5, {}}, "expression error: unexpected operator: Number(1.5)"},
      {Token{TokenKind::kIdent, 0.0, "a\"b"}, "expression error: unexpected operator: Ident(\"a\\\"b\")"},
      {Token{TokenKind::kIdent, 0.0, std::string("\t\r\n\0\x01\x7f\\", 7)},
       "expression error: unexpected operator: Ident(\"\\t\\r\\n\\0\\u{1}\\u{7f}\\\\\")"},
  };
  for (const Row& r : rows) {
    const osmira_base::Status s = push_operator(r.token, out);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), r.error);
  }
  EXPECT_EQ(out.size(), 1u);  // nothing appended on refusal
}

// Nothing here recurses, so nesting has no limit of its own: deep texts compile and
// evaluate, and an unclosed run of parentheses is an ordinary mismatch.
TEST(Expression, DeepNesting) {
  const auto nested = [](size_t depth, const char* open, const char* inner, const char* close) {
    std::string s;
    for (size_t i = 0; i < depth; ++i) s += open;
    s += inner;
    for (size_t i = 0; i < depth; ++i) s += close;
    return s;
  };
  struct Row { std::string text; double want; };
  const Row rows[] = {
      {nested(257, "(", "a", ")"), 0.9},
      {nested(100000, "(", "a", ")"), 0.9},
      {nested(100000, "min(a, ", "b", ")"), 0.4},
      {nested(50000, "max(1, -(", "a", "))"), 1.0},
  };
  for (const Row& r : rows) {
    const Outcome o = run(r.text);
    ASSERT_TRUE(o.ok) << r.text.substr(0, 40) << ": " << o.error;
    EXPECT_DOUBLE_EQ(o.value, r.want) << r.text.substr(0, 40);
  }
  EXPECT_EQ(run(std::string(1000000, '(')).error, "expression error: mismatched parentheses");
  EXPECT_EQ(run(std::string(1000000, ')')).error, "expression error: mismatched parentheses");
  // Long flat expressions are fine too.
  std::string flat = "x";
  for (int i = 0; i < 100000; ++i) flat += " + -x";
  EXPECT_EQ(run(flat).value, 0.25 - 100000 * 0.25);
}

TEST(Expression, HugeNumbers) {
  EXPECT_TRUE(std::isinf(run("1" + std::string(400, '0')).value));
  EXPECT_EQ(run("0." + std::string(400, '0') + "1").value, 0.0);
  EXPECT_TRUE(std::isinf(run("-1" + std::string(400, '0')).value));
}

}  // namespace
}  // namespace osmira_core::engine::expression

namespace osmira_core::engine::expression {
namespace {

// Random texts over the expression alphabet compile or fail with a message; compiled ones
// evaluate or fail with a message. Nothing may crash (run under the sanitizers).
TEST(Expression, RandomTextsNeverCrash) {
  const std::string alphabet = "ab_1.0 -+*/(),minax\t\xc3\xa9$";
  uint64_t state = 12345;
  const auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<size_t>(state >> 33);
  };
  const Variables vars = {{"a", 0.5}, {"b", 2.0}};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const size_t len = next() % 24;
    for (size_t i = 0; i < len; ++i) text += alphabet[next() % alphabet.size()];
    auto program = compile_expression(text);
    if (!program.ok()) {
      EXPECT_TRUE(program.error().message().starts_with("expression error: ")) << text;
      continue;
    }
    auto value = evaluate(*program, vars);
    if (!value.ok()) {
      EXPECT_TRUE(value.error().message().starts_with("expression error: ")) << text;
    }
  }
}

}  // namespace
}  // namespace osmira_core::engine::expression
