// Failures as values: every fallible operation returns Result<T>, holding either its value
// or an Error that carries the message text shown to the user.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace osmira_base {

// An expected failure: a message text and, where the failing input has one, a position.
class Error {
 public:
  Error() = default;
  explicit Error(std::string message) : message_(std::move(message)) {}

  const std::string& message() const { return message_; }
  std::string& mutable_message() { return message_; }

  // A new error whose message is `prefix` followed by this one's.
  Error with_prefix(std::string_view prefix) const {
    std::string m(prefix);
    m += message_;
    return Error(std::move(m));
  }

 private:
  std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }

  const Error& error() const& { assert(!ok()); return std::get<1>(v_); }
  Error&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT(implicit)

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { assert(!ok()); return *error_; }
  Error&& error() && { assert(!ok()); return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace osmira_base

#define OSMIRA_CONCAT_INNER_(a, b) a##b
#define OSMIRA_CONCAT_(a, b) OSMIRA_CONCAT_INNER_(a, b)

// Returns the error of `expr` (a Result or Status) from the enclosing function.
#define RETURN_IF_ERROR(expr)                                   \
  do {                                                          \
    auto&& osmira_status_ = (expr);                             \
    if (!osmira_status_.ok()) return std::move(osmira_status_).error(); \
  } while (0)

#define ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                           \
  if (!tmp.ok()) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()

// `ASSIGN_OR_RETURN(auto x, f());` declares x from f()'s value or returns f()'s error.
#define ASSIGN_OR_RETURN(lhs, expr) \
  ASSIGN_OR_RETURN_IMPL_(OSMIRA_CONCAT_(osmira_result_, __LINE__), lhs, expr)
