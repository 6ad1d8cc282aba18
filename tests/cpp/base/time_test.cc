#include "base/time.h"

#include <gtest/gtest.h>

namespace osmira_base {
namespace {

// Seconds since the epoch of some calendar points.
constexpr int64_t k2024_01_01 = 1704067200;
constexpr int64_t k1970_01_01 = 0;

TEST(Rfc3339, AcceptedForms) {
  struct Row { const char* in; int64_t seconds; uint32_t nanos; };
  const Row rows[] = {
      {"2024-01-01T00:00:00Z", k2024_01_01, 0},
      {"2024-01-01t00:00:00z", k2024_01_01, 0},
      {"2024-01-01 00:00:00Z", k2024_01_01, 0},
      {"2024-01-01T12:00:00+02:00", k2024_01_01 + 10 * 3600, 0},
      {"2024-01-01T12:00:00-05:30", k2024_01_01 + 17 * 3600 + 1800, 0},
      {"2024-01-01T00:00:00+00:00", k2024_01_01, 0},
      {"2024-01-01T00:00:00-00:00", k2024_01_01, 0},
      {"2024-01-01T00:00:00.5Z", k2024_01_01, 500000000},
      {"2024-01-01T00:00:00.123456789Z", k2024_01_01, 123456789},
      {"2024-01-01T00:00:00.1234567891234Z", k2024_01_01, 123456789},  // truncated
      {"2024-01-01T00:00:00.000000001Z", k2024_01_01, 1},
      {"1970-01-01T00:00:00Z", k1970_01_01, 0},
      {"1969-12-31T23:59:59.999Z", -1, 999000000},
      {"0000-01-01T00:00:00Z", -62167219200, 0},
      {"0000-01-01T00:00:00+01:00", -62167219200 - 3600, 0},  // into year -1
      {"9999-12-31T23:59:59Z", 253402300799, 0},
      {"9999-12-31T23:59:59-23:59", 253402300799 + 86340, 0},
      {"2024-02-29T00:00:00Z", k2024_01_01 + 59 * 86400, 0},
      {"2000-02-29T00:00:00Z", 951782400, 0},
      // A leap second is held inside second 59.
      {"2016-12-31T23:59:60Z", 1483228799, 1000000000},
      {"2016-12-31T23:59:60.25Z", 1483228799, 1250000000},
      {"2017-01-01T00:59:60+01:00", 1483228799, 1000000000},
  };
  for (const Row& r : rows) {
    Result<DateTime> t = parse_rfc3339(r.in);
    ASSERT_TRUE(t.ok()) << r.in << ": " << t.error().message();
    EXPECT_EQ(t->seconds, r.seconds) << r.in;
    EXPECT_EQ(t->nanos, r.nanos) << r.in;
  }
}

TEST(Rfc3339, RejectedForms) {
  struct Row { const char* in; const char* reason; };
  const Row rows[] = {
      {"", "premature end of input"},
      {"2024", "premature end of input"},
      {"2024-01-01", "premature end of input"},
      {"2024-01-01T", "premature end of input"},
      {"2024-01-01T12:00", "premature end of input"},
      {"2024-01-01T12:00:00", "premature end of input"},
      {"2024-01-01T12:00:00.", "premature end of input"},
      {"2024-01-01T12:00:00+02", "premature end of input"},
      {"2024-01-01T12:00:00+02:0", "premature end of input"},
      {"not a date", "input contains invalid characters"},
      {"2024/01/01T00:00:00Z", "input contains invalid characters"},
      {"2024-01-01X00:00:00Z", "input contains invalid characters"},
      {"2024-01-01T00:00:00.Z", "input contains invalid characters"},
      {"2024-01-01T00:00:00 Z", "input contains invalid characters"},
      {"2024-01-01T00:00:00+0200", "input contains invalid characters"},
      {"2024-01-01T00:00:00UTC", "input contains invalid characters"},
      {"24-01-01T00:00:00Z", "input contains invalid characters"},
      {"+2024-01-01T00:00:00Z", "input contains invalid characters"},
      {"2024-1-01T00:00:00Z", "input contains invalid characters"},
      {"2024-01-01T00:00:00ZZ", "trailing input"},
      {"2024-01-01T00:00:00Z ", "trailing input"},
      {"2024-01-01T00:00:00+01:00:00", "trailing input"},
      {"2024-13-01T00:00:00Z", "input is out of range"},
      {"2024-00-01T00:00:00Z", "input is out of range"},
      {"2024-01-32T00:00:00Z", "input is out of range"},
      {"2024-01-00T00:00:00Z", "input is out of range"},
      {"2024-01-01T24:00:00Z", "input is out of range"},
      {"2024-01-01T00:60:00Z", "input is out of range"},
      {"2024-01-01T00:00:61Z", "input is out of range"},
      {"2024-01-01T00:00:00+24:00", "input is out of range"},
      {"2024-01-01T00:00:00+00:60", "input is out of range"},
      {"2023-02-29T00:00:00Z", "no possible date and time matching input"},
      {"2024-04-31T00:00:00Z", "no possible date and time matching input"},
      {"1900-02-29T00:00:00Z", "no possible date and time matching input"},
  };
  for (const Row& r : rows) {
    Result<DateTime> t = parse_rfc3339(r.in);
    ASSERT_FALSE(t.ok()) << r.in;
    EXPECT_EQ(t.error().message(), r.reason) << r.in;
  }
}

TEST(DateTime, ChronologicalOrder) {
  const char* ordered[] = {
      "0000-01-01T00:00:00Z",          "1969-12-31T23:59:59.999999999Z",
      "1970-01-01T00:00:00Z",          "2016-12-31T23:59:59.999999999Z",
      "2016-12-31T23:59:60Z",          "2016-12-31T23:59:60.999999999Z",
      "2017-01-01T00:00:00Z",          "2024-01-01T11:00:00+02:00",
      "2024-01-01T10:00:00.000000001Z", "9999-12-31T23:59:59Z",
  };
  EXPECT_LT(DateTime::earliest(), *parse_rfc3339(ordered[0]));
  for (size_t i = 0; i + 1 < std::size(ordered); ++i) {
    EXPECT_LT(*parse_rfc3339(ordered[i]), *parse_rfc3339(ordered[i + 1])) << ordered[i];
  }
  EXPECT_LT(*parse_rfc3339(ordered[std::size(ordered) - 1]), DateTime::latest());
  EXPECT_EQ(*parse_rfc3339("2024-01-01T12:00:00+02:00"), *parse_rfc3339("2024-01-01T10:00:00Z"));
  const DateTime now = DateTime::now();
  EXPECT_LT(*parse_rfc3339("2020-01-01T00:00:00Z"), now);
  EXPECT_LT(now.nanos, 1000000000u);
}

}  // namespace
}  // namespace osmira_base
