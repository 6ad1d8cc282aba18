// Custom scoring expressions: an arithmetic expression over match-rule names (numbers, + - *
// /, parentheses, unary minus, min(a, b) and max(a, b)), compiled once into a postfix
// program and evaluated once per candidate pair with that pair's rule scores as variables.
//
// The compiler is a tokenizer followed by an operator-precedence (shunting-yard) converter;
// neither recurses (the operator stack is an explicit vector), so nesting depth is bounded
// only by the length of the text. Evaluation is one pass over the program with one stack of
// floats.
//
// Failures are Errors whose message is the display text "expression error: {reason}".
// Everything here is pure: compiled programs may be shared read-only between threads.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace osmira_core::engine::expression {

enum class TokenKind { kNumber, kIdent, kPlus, kMinus, kStar, kSlash, kLParen, kRParen, kComma, kFunc };

// One lexical unit. `number` is set for kNumber, `text` for kIdent (a variable name) and
// kFunc ("min" or "max").
struct Token {
  TokenKind kind = TokenKind::kNumber;
  double number = 0.0;
  std::string text;

  friend bool operator==(const Token&, const Token&) = default;
};

// The debug text of a token: Plus, Number(-1.0), Ident("a"), Func("min").
std::string token_debug_text(const Token& token);

enum class OpKind { kPush, kVar, kAdd, kSub, kMul, kDiv, kMin, kMax };

// One instruction: kPush carries `value`, kVar the variable `name`.
struct Op {
  OpKind kind = OpKind::kPush;
  double value = 0.0;
  std::string name;

  friend bool operator==(const Op&, const Op&) = default;
};

// Instructions in postfix order.
using Program = std::vector<Op>;

// Rule name -> that rule's score for one pair. Keys are views: the caller keeps the names
// alive for the evaluation (the engine's rule names live as long as the engine).
// Not keyed: the keys are the spec's rule names, a few, fixed when the engine is built, and
// the table is read for every pair, where a keyed hash would cost more than it could save.
using Variables =
    boost::unordered_flat_map<std::string_view, double, boost::hash<std::string_view>>;

// The error of both operations, shown as "expression error: {message}".
osmira_base::Error expr_error(std::string_view message);

// Splits the expression text into tokens. A "-" that cannot be binary is a unary minus: in
// front of a number it makes a negative constant, otherwise it becomes Number(-1) Star.
[[nodiscard]] osmira_base::Result<std::vector<Token>> tokenize(std::string_view text);

// Appends the instruction of an arithmetic operator token (Plus, Minus, Star, Slash) to
// `output`; any other token fails with "unexpected operator: {debug text}".
[[nodiscard]] osmira_base::Status push_operator(const Token& token, Program& output);

// Compiles the expression text into a postfix program.
[[nodiscard]] osmira_base::Result<Program> compile_expression(std::string_view text);

// Runs a program. A name missing from `variables` reads as 0.0; division by zero gives 0.0;
// min/max ignore a single NaN operand and keep the left operand on a tie.
[[nodiscard]] osmira_base::Result<double> evaluate(const Program& program,
                                                   const Variables& variables);

}  // namespace osmira_core::engine::expression
