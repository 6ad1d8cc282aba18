#include "core/engine/expression.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "base/debug_text.h"
#include "base/number_text.h"
#include "base/unicode.h"

namespace osmira_core::engine::expression {
namespace {

using osmira_base::append_debug_string;
using osmira_base::Error;
using osmira_base::Result;
using osmira_base::Status;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_number_char(char c) { return is_digit(c) || c == '.'; }
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Length of the run of digits and dots at `pos`.
size_t number_run(std::string_view text, size_t pos) {
  size_t end = pos;
  while (end < text.size() && is_number_char(text[end])) ++end;
  return end - pos;
}

// A run of digits and dots is a number when it has at most one dot and at least one digit
// ("5", "5.", ".5", "5.25"). Overlong digit strings read as infinity or zero, as a decimal
// reader that rounds to the nearest float does.
std::optional<double> parse_number_run(std::string_view run) {
  size_t dots = 0;
  size_t digits = 0;
  bool nonzero_integer_digit = false;
  for (const char c : run) {
    if (c == '.') {
      ++dots;
    } else {
      ++digits;
      if (dots == 0 && c != '0') nonzero_integer_digit = true;
    }
  }
  if (dots > 1 || digits == 0) return std::nullopt;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(run.data(), run.data() + run.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too large needs a non-zero digit before the point; anything else underflowed.
    return nonzero_integer_digit ? std::numeric_limits<double>::infinity() : 0.0;
  }
  if (ec != std::errc() || ptr != run.data() + run.size()) return std::nullopt;
  return value;
}

Token simple(TokenKind kind) { return Token{kind, 0.0, {}}; }
Token number(double value) { return Token{TokenKind::kNumber, value, {}}; }

bool is_arithmetic(TokenKind kind) {
  return kind == TokenKind::kPlus || kind == TokenKind::kMinus || kind == TokenKind::kStar ||
         kind == TokenKind::kSlash;
}

int precedence(TokenKind kind) {
  return (kind == TokenKind::kPlus || kind == TokenKind::kMinus) ? 1 : 2;
}

}  // namespace

Error expr_error(std::string_view message) {
  std::string text = "expression error: ";
  text += message;
  return Error(std::move(text));
}

std::string token_debug_text(const Token& token) {
  switch (token.kind) {
    case TokenKind::kNumber: {
      std::string out = "Number(";
      if (std::isnan(token.number)) {
        out += "NaN";
      } else if (std::isinf(token.number)) {
        out += token.number > 0 ? "inf" : "-inf";
      } else {
        for (const char c : osmira_base::json_float(token.number)) {
          if (c != '+') out += c;  // exponents are written without a plus sign here
        }
      }
      out += ')';
      return out;
    }
    case TokenKind::kIdent: {
      std::string out = "Ident(";
      append_debug_string(out, token.text);
      out += ')';
      return out;
    }
    case TokenKind::kFunc: {
      std::string out = "Func(";
      append_debug_string(out, token.text);
      out += ')';
      return out;
    }
    case TokenKind::kPlus: return "Plus";
    case TokenKind::kMinus: return "Minus";
    case TokenKind::kStar: return "Star";
    case TokenKind::kSlash: return "Slash";
    case TokenKind::kLParen: return "LParen";
    case TokenKind::kRParen: return "RParen";
    case TokenKind::kComma: return "Comma";
  }
  return {};
}

Result<std::vector<Token>> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    switch (c) {
      case ' ': case '\t': case '\n': case '\r': ++i; continue;
      case '(': tokens.push_back(simple(TokenKind::kLParen)); ++i; continue;
      case ')': tokens.push_back(simple(TokenKind::kRParen)); ++i; continue;
      case '*': tokens.push_back(simple(TokenKind::kStar)); ++i; continue;
      case '+': tokens.push_back(simple(TokenKind::kPlus)); ++i; continue;
      case ',': tokens.push_back(simple(TokenKind::kComma)); ++i; continue;
      case '/': tokens.push_back(simple(TokenKind::kSlash)); ++i; continue;
      default: break;
    }
    if (c == '-') {
      ++i;
      const bool binary =
          !tokens.empty() &&
          (tokens.back().kind == TokenKind::kNumber || tokens.back().kind == TokenKind::kIdent ||
           tokens.back().kind == TokenKind::kRParen || tokens.back().kind == TokenKind::kFunc);
      if (binary) {
        tokens.push_back(simple(TokenKind::kMinus));
        continue;
      }
      while (i < text.size() && text[i] == ' ') ++i;
      if (i < text.size() && is_number_char(text[i])) {
        const std::string_view run = text.substr(i, number_run(text, i));
        const std::optional<double> value = parse_number_run(run);
        if (!value) return expr_error("invalid number: -" + std::string(run));
        tokens.push_back(number(-*value));
        i += run.size();
      } else {
        // Minus in front of a name or a parenthesis: a multiplication by -1.
        tokens.push_back(number(-1.0));
        tokens.push_back(simple(TokenKind::kStar));
      }
      continue;
    }
    if (is_number_char(c)) {
      const std::string_view run = text.substr(i, number_run(text, i));
      const std::optional<double> value = parse_number_run(run);
      if (!value) return expr_error("invalid number: " + std::string(run));
      tokens.push_back(number(*value));
      i += run.size();
      continue;
    }
    if (is_name_start(c)) {
      size_t end = i;
      while (end < text.size() && is_name_char(text[end])) ++end;
      const std::string_view name = text.substr(i, end - i);
      size_t look = end;
      while (look < text.size() && text[look] == ' ') ++look;
      const bool call = look < text.size() && text[look] == '(' && (name == "min" || name == "max");
      tokens.push_back(Token{call ? TokenKind::kFunc : TokenKind::kIdent, 0.0, std::string(name)});
      i = end;
      continue;
    }
    std::string message = "unexpected character: '";
    osmira_base::unicode::append_utf8(message, osmira_base::unicode::decode_utf8(text, i));
    message += '\'';
    return expr_error(message);
  }
  return tokens;
}

Status push_operator(const Token& token, Program& output) {
  OpKind kind;
  switch (token.kind) {
    case TokenKind::kPlus: kind = OpKind::kAdd; break;
    case TokenKind::kMinus: kind = OpKind::kSub; break;
    case TokenKind::kStar: kind = OpKind::kMul; break;
    case TokenKind::kSlash: kind = OpKind::kDiv; break;
    default: return expr_error("unexpected operator: " + token_debug_text(token));
  }
  output.push_back(Op{kind, 0.0, {}});
  return osmira_base::ok_status();
}

Result<Program> compile_expression(std::string_view text) {
  if (osmira_base::unicode::trim_whitespace(text).empty()) return expr_error("empty expression");
  ASSIGN_OR_RETURN(std::vector<Token> tokens, tokenize(text));

  Program output;
  output.reserve(tokens.size());
  // Operators, parentheses and function names, as pointers into `tokens` (which stays in
  // place while they are used): a text of many parentheses costs no token copies.
  std::vector<const Token*> stack;
  stack.reserve(tokens.size());
  for (Token& token : tokens) {
    switch (token.kind) {
      case TokenKind::kNumber:
        output.push_back(Op{OpKind::kPush, token.number, {}});
        break;
      case TokenKind::kIdent:
        output.push_back(Op{OpKind::kVar, 0.0, std::move(token.text)});
        break;
      case TokenKind::kPlus:
      case TokenKind::kMinus:
      case TokenKind::kStar:
      case TokenKind::kSlash:
        // Equal precedence pops too: operators associate to the left.
        while (!stack.empty() && is_arithmetic(stack.back()->kind) &&
               precedence(stack.back()->kind) >= precedence(token.kind)) {
          RETURN_IF_ERROR(push_operator(*stack.back(), output));
          stack.pop_back();
        }
        stack.push_back(&token);
        break;
      case TokenKind::kLParen:
      case TokenKind::kFunc:
        stack.push_back(&token);
        break;
      case TokenKind::kComma:
        while (!stack.empty() && stack.back()->kind != TokenKind::kLParen) {
          RETURN_IF_ERROR(push_operator(*stack.back(), output));
          stack.pop_back();
        }
        break;
      case TokenKind::kRParen: {
        while (true) {
          if (stack.empty()) return expr_error("mismatched parentheses");
          if (stack.back()->kind == TokenKind::kLParen) break;
          RETURN_IF_ERROR(push_operator(*stack.back(), output));
          stack.pop_back();
        }
        stack.pop_back();
        if (!stack.empty() && stack.back()->kind == TokenKind::kFunc) {
          const std::string& name = stack.back()->text;
          if (name == "min") {
            output.push_back(Op{OpKind::kMin, 0.0, {}});
          } else if (name == "max") {
            output.push_back(Op{OpKind::kMax, 0.0, {}});
          } else {
            return expr_error("unknown function: " + name);
          }
          stack.pop_back();
        }
        break;
      }
    }
  }
  while (!stack.empty()) {
    if (stack.back()->kind == TokenKind::kLParen) return expr_error("mismatched parentheses");
    RETURN_IF_ERROR(push_operator(*stack.back(), output));
    stack.pop_back();
  }
  if (output.empty()) return expr_error("empty expression");
  return output;
}

namespace {

// min/max: a single NaN operand is ignored; on a tie the left operand wins.
double min_of(double left, double right) {
  if (std::isnan(left)) return right;
  if (std::isnan(right)) return left;
  return right < left ? right : left;
}

double max_of(double left, double right) {
  if (std::isnan(left)) return right;
  if (std::isnan(right)) return left;
  return right > left ? right : left;
}

}  // namespace

Result<double> evaluate(const Program& program, const Variables& variables) {
  // The stack never holds more values than the program has instructions; short programs
  // (every realistic one) run on a fixed buffer without allocating.
  constexpr size_t kInline = 64;
  double inline_stack[kInline];
  std::unique_ptr<double[]> heap_stack;
  double* stack = inline_stack;
  if (program.size() > kInline) {
    heap_stack = std::make_unique<double[]>(program.size());
    stack = heap_stack.get();
  }
  size_t size = 0;

  for (const Op& op : program) {
    switch (op.kind) {
      case OpKind::kPush:
        stack[size++] = op.value;
        continue;
      case OpKind::kVar: {
        const auto it = variables.find(std::string_view(op.name));
        stack[size++] = it == variables.end() ? 0.0 : it->second;
        continue;
      }
      default:
        break;
    }
    if (size < 2) return expr_error("stack underflow");
    const double right = stack[--size];
    const double left = stack[size - 1];
    double result = 0.0;
    switch (op.kind) {
      case OpKind::kAdd: result = left + right; break;
      case OpKind::kSub: result = left - right; break;
      case OpKind::kMul: result = left * right; break;
      case OpKind::kDiv: result = right == 0.0 ? 0.0 : left / right; break;
      case OpKind::kMin: result = min_of(left, right); break;
      case OpKind::kMax: result = max_of(left, right); break;
      default: break;
    }
    stack[size - 1] = result;
  }
  if (size != 1) {
    return expr_error("expression did not reduce to single value (stack has " +
                      std::to_string(size) + " items)");
  }
  return stack[0];
}

}  // namespace osmira_core::engine::expression
