#pragma once
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
namespace tmp_timing {
inline double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
inline double cpu() { timespec ts; clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts); return ts.tv_sec + ts.tv_nsec * 1e-9; }
inline long rss_mb() { FILE* f = std::fopen("/proc/self/statm", "r"); long a = 0, b = 0; if (f) { if (std::fscanf(f, "%ld %ld", &a, &b) != 2) b = 0; std::fclose(f); } return b * 4096 / 1000000; }
inline void mark(const char* what) {
  static double last = 0, last_cpu = 0;
  static bool on = std::getenv("VT_TIMING") != nullptr;
  if (!on) return;
  double t = now(), c = cpu();
  if (last != 0) std::fprintf(stderr, "  %-28s %.3f s wall %.3f s cpu  rss %ld MB\n", what, t - last, c - last_cpu, rss_mb());
  last = t; last_cpu = c;
}
}
