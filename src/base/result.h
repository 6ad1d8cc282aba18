// Failures as values: every fallible operation returns Result<T>, holding either its value
// or an Error that carries the message text shown to the user (and, where known, the kind of
// failure and where it is). This is the one failure type of every library.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace osmira_base {

// What kind of failure an Error is, for callers that react to some kinds differently. The
// message is always complete on its own; the kind and the texts that go with it only
// describe it.
enum class ErrorKind : uint8_t {
  kOther,           // no finer kind
  kMissingField,    // a required key is absent; subject: the key; detail: the record, when
                    // the message names it
  kUnknownField,    // a key the record does not have; subject: the key; detail: the keys
                    // expected ("one of `a`, `b`")
  kUnknownVariant,  // a text that names no variant; subject: the text; detail: the variants
                    // expected ("one of `a`, `b`, `c`", "`a` or `b`")
  kInvalidType,     // a value of the wrong type; subject: what was found ("integer `1`");
                    // detail: what was expected ("a boolean")
};

// Where in its input a failure is: `line` and `column` count from 1, `offset` counts
// characters from 0. `path` names the failing node of a document ("a.b[2].c"; empty for the
// root or where there is no document).
struct ErrorLocation {
  uint64_t line = 1;
  uint64_t column = 1;
  uint64_t offset = 0;
  std::string path;

  friend bool operator==(const ErrorLocation&, const ErrorLocation&) = default;
};

// An expected failure: a message text; where known, its kind with the offending text
// (`subject`) and what goes with it (`detail`), and its location. An Error with a message
// only is as small as its text, so that a Result stays cheap to pass around.
class Error {
 public:
  Error() = default;
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(const Error& other)
      : message_(other.message_),
        facts_(other.facts_ ? std::make_unique<Facts>(*other.facts_) : nullptr) {}
  Error(Error&&) noexcept = default;
  Error& operator=(const Error& other) {
    if (this != &other) *this = Error(other);
    return *this;
  }
  Error& operator=(Error&&) noexcept = default;
  ~Error() = default;

  const std::string& message() const { return message_; }
  std::string& mutable_message() { return message_; }

  ErrorKind kind() const { return facts_ ? facts_->kind : ErrorKind::kOther; }
  const std::string& subject() const { return facts_ ? facts_->subject : empty_text(); }
  const std::string& detail() const { return facts_ ? facts_->detail : empty_text(); }
  const std::optional<ErrorLocation>& location() const {
    return facts_ ? facts_->location : no_location();
  }

  Error& set_kind(ErrorKind kind, std::string subject = {}, std::string detail = {}) & {
    Facts& f = facts();
    f.kind = kind;
    f.subject = std::move(subject);
    f.detail = std::move(detail);
    return *this;
  }
  Error&& set_kind(ErrorKind kind, std::string subject = {}, std::string detail = {}) && {
    return std::move(set_kind(kind, std::move(subject), std::move(detail)));
  }
  Error& set_location(std::optional<ErrorLocation> location) & {
    facts().location = std::move(location);
    return *this;
  }
  Error&& set_location(std::optional<ErrorLocation> location) && {
    return std::move(set_location(std::move(location)));
  }

  // A new error whose message is `prefix` followed by this one's; the rest is kept.
  Error with_prefix(std::string_view prefix) const {
    Error out = *this;
    out.message_.insert(0, prefix);
    return out;
  }

 private:
  struct Facts {
    ErrorKind kind = ErrorKind::kOther;
    std::string subject;
    std::string detail;
    std::optional<ErrorLocation> location;
  };

  Facts& facts() {
    if (!facts_) facts_ = std::make_unique<Facts>();
    return *facts_;
  }
  static const std::string& empty_text() {
    static const std::string kEmpty;
    return kEmpty;
  }
  static const std::optional<ErrorLocation>& no_location() {
    static const std::optional<ErrorLocation> kNone;
    return kNone;
  }

  std::string message_;
  std::unique_ptr<Facts> facts_;
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
