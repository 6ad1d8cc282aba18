// Instants in UTC with nanosecond precision, and the reader of RFC 3339 date-times that
// entity records carry.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <string_view>

#include "base/result.h"

namespace osmira_base {

// A point in time in UTC: whole seconds since 1970-01-01T00:00:00Z (negative before) and
// the nanoseconds into that second. A leap second (second 60) is held as second 59 with
// `nanos` from 1'000'000'000 on, so it sorts after every other instant of second 59 and
// before the next second: comparison is chronological to the nanosecond.
struct DateTime {
  int64_t seconds = 0;
  uint32_t nanos = 0;

  // The current time from the system clock.
  static DateTime now();
  // Below and above every instant a record can hold; used for open interval ends.
  static constexpr DateTime earliest() { return {std::numeric_limits<int64_t>::min(), 0}; }
  static constexpr DateTime latest() {
    return {std::numeric_limits<int64_t>::max(), 1'999'999'999};
  }

  friend auto operator<=>(const DateTime&, const DateTime&) = default;
};

// Reads an RFC 3339 date-time with its offset and converts it to UTC:
//   YYYY-MM-DD, "T" / "t" / " ", hh:mm:ss, optional "." and one or more digits (digits
//   beyond the ninth are read and dropped), then "Z" / "z" or "+hh:mm" / "-hh:mm".
// Second 60 is read as a leap second. The error reason is one of "input contains invalid
// characters", "premature end of input", "trailing input", "input is out of range" (a
// field beyond its range) and "no possible date and time matching input" (a day the month
// does not have).
[[nodiscard]] Result<DateTime> parse_rfc3339(std::string_view text);

}  // namespace osmira_base
