#include "base/time.h"

#include <chrono>

namespace osmira_base {
namespace {

constexpr const char* kInvalid = "input contains invalid characters";
constexpr const char* kTooShort = "premature end of input";
constexpr const char* kTooLong = "trailing input";
constexpr const char* kOutOfRange = "input is out of range";
constexpr const char* kImpossible = "no possible date and time matching input";

constexpr uint32_t kNanosPerSecond = 1'000'000'000;

// A cursor over the text that reads fixed-width fields.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }
  char peek() const { return text_[pos_]; }
  void skip() { ++pos_; }

  // `width` decimal digits as a number, checked against [min, max].
  Result<int> field(int width, int min, int max) {
    int value = 0;
    for (int k = 0; k < width; ++k) {
      if (at_end()) return Error(kTooShort);
      const char c = text_[pos_];
      if (c < '0' || c > '9') return Error(kInvalid);
      value = value * 10 + (c - '0');
      ++pos_;
    }
    if (value < min || value > max) return Error(kOutOfRange);
    return value;
  }

  Status literal(char want) {
    if (at_end()) return Error(kTooShort);
    if (text_[pos_] != want) return Error(kInvalid);
    ++pos_;
    return ok_status();
  }

  // One or more digits after the decimal point, as nanoseconds (truncated after nine).
  Result<uint32_t> fraction() {
    uint32_t nanos = 0;
    int digits = 0;
    while (!at_end() && peek() >= '0' && peek() <= '9') {
      if (digits < 9) nanos = nanos * 10 + static_cast<uint32_t>(peek() - '0');
      ++digits;
      ++pos_;
    }
    if (digits == 0) return Error(at_end() ? kTooShort : kInvalid);
    for (int k = digits; k < 9; ++k) nanos *= 10;
    return nanos;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

DateTime DateTime::now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto secs = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs);
  return {static_cast<int64_t>(secs.count()), static_cast<uint32_t>(nanos.count())};
}

Result<DateTime> parse_rfc3339(std::string_view text) {
  Scanner in(text);
  ASSIGN_OR_RETURN(const int year, in.field(4, 0, 9999));
  RETURN_IF_ERROR(in.literal('-'));
  ASSIGN_OR_RETURN(const int month, in.field(2, 1, 12));
  RETURN_IF_ERROR(in.literal('-'));
  ASSIGN_OR_RETURN(const int day, in.field(2, 1, 31));
  if (in.at_end()) return Error(kTooShort);
  if (in.peek() != 'T' && in.peek() != 't' && in.peek() != ' ') return Error(kInvalid);
  in.skip();
  ASSIGN_OR_RETURN(const int hour, in.field(2, 0, 23));
  RETURN_IF_ERROR(in.literal(':'));
  ASSIGN_OR_RETURN(const int minute, in.field(2, 0, 59));
  RETURN_IF_ERROR(in.literal(':'));
  ASSIGN_OR_RETURN(const int second, in.field(2, 0, 60));
  uint32_t nanos = 0;
  if (!in.at_end() && in.peek() == '.') {
    in.skip();
    ASSIGN_OR_RETURN(nanos, in.fraction());
  }

  int offset_seconds = 0;
  if (in.at_end()) return Error(kTooShort);
  const char zone = in.peek();
  in.skip();
  if (zone == '+' || zone == '-') {
    ASSIGN_OR_RETURN(const int offset_hour, in.field(2, 0, 23));
    RETURN_IF_ERROR(in.literal(':'));
    ASSIGN_OR_RETURN(const int offset_minute, in.field(2, 0, 59));
    offset_seconds = (offset_hour * 60 + offset_minute) * 60;
    if (zone == '-') offset_seconds = -offset_seconds;
  } else if (zone != 'Z' && zone != 'z') {
    return Error(kInvalid);
  }
  if (!in.at_end()) return Error(kTooLong);

  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return Error(kImpossible);
  const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();

  // A leap second stays inside second 59, past its last ordinary nanosecond.
  int effective_second = second;
  if (second == 60) {
    effective_second = 59;
    nanos += kNanosPerSecond;
  }
  DateTime out;
  out.seconds = days * 86400 + hour * 3600 + minute * 60 + effective_second - offset_seconds;
  out.nanos = nanos;
  return out;
}

}  // namespace osmira_base
