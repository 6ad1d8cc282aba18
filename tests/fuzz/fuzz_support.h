// Helpers shared by the libFuzzer targets in this directory.
//
// A target must never crash, hang or leak on any input: every public reader returns a
// failure value for bad input. A target checks the invariants it can state (a round trip,
// the same result twice) and calls `fuzz_fail` when one does not hold, so that libFuzzer
// keeps the input as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace vintrel_fuzz {

// The input as text (the readers take any bytes, valid UTF-8 or not).
inline std::string_view as_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void fuzz_fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz invariant failed: %.*s\n%.*s\n", static_cast<int>(what.size()),
               what.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// A file of the source tree (examples and fixed fuzz data), read once at start-up. The
// targets are run from anywhere, so the path is the source directory known at build time.
inline std::string read_source_file(std::string_view relative) {
  const std::string path = std::string(VINTREL_SOURCE_DIR) + "/" + std::string(relative);
  std::ifstream in(path, std::ios::binary);
  if (!in) fuzz_fail("cannot read fixed input", path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vintrel_fuzz
