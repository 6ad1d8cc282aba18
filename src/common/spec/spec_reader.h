// The spec reader: the text of one identity spec (a YAML document) to an IdentitySpec, or
// exactly one failure with its message, path and position. It keeps no state between calls
// and is safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/result.h"
#include "common/spec/identity_spec.h"

namespace osmira_common::spec {

// Where a failure is: `index` counts characters from 0, `line` and `column` count from 1.
struct SpecLocation {
  uint64_t index = 0;
  uint64_t line = 1;
  uint64_t column = 1;

  friend bool operator==(const SpecLocation&, const SpecLocation&) = default;
};

// The one failure of a spec read. The message is complete: "<path>: " when the failing node
// is not the root, the body, and " at line L column C" unless the position is line 1 column 1
// (the location keeps that position even when the message leaves it out).
class SpecReadError {
 public:
  SpecReadError(std::string message, std::optional<SpecLocation> location)
      : message_(std::move(message)), location_(location) {}

  const std::string& message() const { return message_; }
  const std::optional<SpecLocation>& location() const { return location_; }

  osmira_base::Error to_error() const { return osmira_base::Error(message_); }

 private:
  std::string message_;
  std::optional<SpecLocation> location_;
};

// An IdentitySpec or the SpecReadError of the read.
class [[nodiscard]] SpecReadResult {
 public:
  SpecReadResult(IdentitySpec spec) : v_(std::in_place_index<0>, std::move(spec)) {}  // NOLINT
  SpecReadResult(SpecReadError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  const IdentitySpec& value() const& { return std::get<0>(v_); }
  IdentitySpec& value() & { return std::get<0>(v_); }
  IdentitySpec&& value() && { return std::get<0>(std::move(v_)); }
  const IdentitySpec* operator->() const { return &value(); }
  const IdentitySpec& operator*() const& { return value(); }

  const SpecReadError& error() const { return std::get<1>(v_); }

 private:
  std::variant<IdentitySpec, SpecReadError> v_;
};

// Reads the whole text as one identity spec. The first problem met ends the read.
SpecReadResult read_identity_spec(std::string_view text);

}  // namespace osmira_common::spec
