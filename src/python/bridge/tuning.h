// The tuned constants of building a reconcile result's Python form, with what each was measured
// on: "1M" and "100k" records of bench/reconcile_scale_bench.py, on 6 to 8 shared cores.
#pragma once

#include <cstddef>

namespace vintrel_bridge::tuning {

// Per-call caches of the builder. Texts of the telemetry and golden records that repeat, and
// floats (weights, 0, 1, thresholds), are shared while their cache holds fewer than
// kMaxCachedEntries and a text is at most kMaxCachedTextBytes long, so that a result of
// all-distinct values does not double its memory there; golden-record values up to
// kSharedValueBytes go through that cache (100k: 2,769 -> 2,528 bytes kept per decision).
inline constexpr size_t kMaxCachedEntries = size_t{1} << 16;
inline constexpr size_t kMaxCachedTextBytes = 256;
inline constexpr size_t kSharedValueBytes = 16;

// Decisions fetched ahead of the one being converted: the conversion waits on memory more than
// it computes (1M, lock-holding thread on the decisions: 2.4 -> 1.2 s with numbering). The
// numbering fetches twice as far ahead (100k: 75-108 -> 47-68 ms).
inline constexpr size_t kPrefetchAhead = 4;

// Text numbering: the last text at each of the first this many positions of a decision is
// remembered, and a text equal to it takes its number without a hash look-up (1M: numbering
// 1.3-1.6 s without, 0.7-1.1 s with, on one thread).
inline constexpr size_t kRememberedPositions = 64;

// A converted list is released by a thread of its own from this many items on (a shorter one
// at its end, in line), and converted items are reported to it this many at a time (each
// report wakes it, and a wake-up may cost the converting thread its processor).
inline constexpr size_t kHelperBatch = 8192;
// The freed heap is handed back to the system at most this many times per list, and not
// more often than every kMinItemsPerHeapReturn items: a pass walks every free chunk of the heap
// (milliseconds to tens of milliseconds at 1M). With 16 passes, converting the golden records
// of 100k without decisions stays under the engine's peak (with 8, 3% above it).
inline constexpr size_t kHeapReturnsPerList = 16;
inline constexpr size_t kMinItemsPerHeapReturn = size_t{1} << 12;

// A result of at least this many containers (three per decision, one per cluster) joins the
// host's collector in its oldest generation (OldestGeneration): the young collection that
// would otherwise fall due for it costs several milliseconds from here on (2.85 million
// containers: 0.5-1.7 s).
inline constexpr size_t kCollectorHandOver = size_t{1} << 14;

// Arenas faulted in ahead of the conversion: a sixteenth (kAheadShare) of the Python result's
// rough size, estimated at kBytesPerDecision and kBytesPerCluster (1M: 2,528 bytes kept per
// decision with its share of the clusters), at most kMostAhead (the arenas not yet used when
// the conversion ends add to the call's peak), and none for a result under kLeastResult,
// where a thread and its start-up cost more than they save. 1M: 3.3-3.5 s with, 4.1 s
// without; 100k: 0.36-0.38 s with, 0.45-0.46 s without.
inline constexpr size_t kBytesPerDecision = 2048;
inline constexpr size_t kBytesPerCluster = 768;
inline constexpr size_t kAheadShare = 16;
inline constexpr size_t kMostAhead = size_t{16} << 20;
inline constexpr size_t kLeastResult = size_t{32} << 20;

}  // namespace vintrel_bridge::tuning
