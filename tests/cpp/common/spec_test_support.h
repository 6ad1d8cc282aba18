// Helpers shared by the spec reader tests: a small valid spec with replaceable sections,
// and expectations on a failed read.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "common/spec/spec_reader.h"

namespace osmira_common::spec::testing {

// A valid spec laid out on five known lines; `extra` starts on line 6.
//   1 api_version: vintrel/v1
//   2 identity_version: "1"
//   3 entity: <entity>            (value at column 9)
//   4 sources: <sources>          (value at column 10)
//   5 decision: <decision>        (value at column 11)
struct SpecParts {
  std::string entity = "{name: person}";
  std::string sources = "{crm: {}}";
  std::string decision = "{thresholds: {match: 0.9}}";
  std::string extra;
};

inline std::string make_spec(const SpecParts& p) {
  std::string text = "api_version: vintrel/v1\nidentity_version: \"1\"\n";
  text += "entity: " + p.entity + "\n";
  text += "sources: " + p.sources + "\n";
  text += "decision: " + p.decision + "\n";
  text += p.extra;
  return text;
}

// A valid spec with one section replaced: spec_with(&SpecParts::entity, "{name: p}").
inline std::string spec_with(std::string SpecParts::*section, std::string value) {
  SpecParts p;
  p.*section = std::move(value);
  return make_spec(p);
}

inline std::string with_extra(std::string_view extra) {
  SpecParts p;
  p.extra = std::string(extra);
  return make_spec(p);
}

// A failure row: the text, the message without its position suffix, and where the failure
// is: "" for no location, "@L:C" for an explicit line and column, or otherwise a piece of the
// text whose first occurrence starts at the failing node ("key: |value" points after the bar). The expected message gets
// " at line L column C" unless the position is line 1 column 1.
struct FailureCase {
  std::string yaml;
  std::string message;
  std::string at;
};

struct Position {
  uint64_t line = 0;
  uint64_t column = 0;
};

inline Position position_of(const std::string& yaml, const std::string& at) {
  if (at.empty()) return {};
  if (at[0] == '@') {
    const size_t colon = at.find(':');
    return {std::stoull(at.substr(1, colon - 1)), std::stoull(at.substr(colon + 1))};
  }
  // "text|more" points at "more" inside the first occurrence of "textmore".
  const size_t bar = at.find('|');
  const std::string needle = bar == std::string::npos ? at : at.substr(0, bar) + at.substr(bar + 1);
  size_t offset = yaml.find(needle);
  EXPECT_NE(offset, std::string::npos) << at;
  if (offset != std::string::npos && bar != std::string::npos) offset += bar;
  Position p{1, 1};
  for (size_t i = 0; i < offset && i < yaml.size(); ++i) {
    if (yaml[i] == '\n') {
      ++p.line;
      p.column = 1;
    } else if ((static_cast<unsigned char>(yaml[i]) & 0xC0) != 0x80) {
      ++p.column;
    }
  }
  return p;
}

inline void expect_failure(const FailureCase& c) {
  SCOPED_TRACE(c.yaml);
  const Position p = position_of(c.yaml, c.at);
  std::string message = c.message;
  if (p.line != 0 && (p.line != 1 || p.column != 1)) {
    message += " at line " + std::to_string(p.line) + " column " + std::to_string(p.column);
  }
  SpecReadResult r = read_identity_spec(c.yaml);
  ASSERT_FALSE(r.ok()) << "expected: " << message;
  EXPECT_EQ(r.error().message(), message);
  if (p.line == 0) {
    EXPECT_FALSE(r.error().location().has_value());
  } else {
    ASSERT_TRUE(r.error().location().has_value());
    EXPECT_EQ(r.error().location()->line, p.line);
    EXPECT_EQ(r.error().location()->column, p.column);
  }
}

inline IdentitySpec read_ok(const std::string& yaml) {
  SpecReadResult r = read_identity_spec(yaml);
  EXPECT_TRUE(r.ok()) << yaml << "\n-> " << (r.ok() ? "" : r.error().message());
  if (!r.ok()) return IdentitySpec{};
  return std::move(r).value();
}

}  // namespace osmira_common::spec::testing
