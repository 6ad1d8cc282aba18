// The timing loop of the throughput benchmarks: the work is repeated in rounds until about
// half a second has passed, so that calls of a few nanoseconds are timed over many rounds.
#pragma once

#include <chrono>
#include <cstddef>

struct Timed {
  size_t operations = 0;
  double seconds = 0.0;

  double per_second() const { return static_cast<double>(operations) / seconds; }
  double nanos_each() const { return seconds * 1e9 / static_cast<double>(operations); }
};

// Calls `round()`, which does some work and returns how many operations that was, until
// about half a second has passed.
template <typename Round>
Timed repeat_for_half_second(Round&& round) {
  using Clock = std::chrono::steady_clock;
  Timed t;
  const auto start = Clock::now();
  do {
    t.operations += round();
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  } while (t.seconds < 0.5);
  return t;
}
