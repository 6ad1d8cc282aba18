// Several threads running the reconcile driver at once, as Python threads do once the
// interpreter lock is released around the engine: each call owns its driver, and the engine
// shares nothing writable between calls, so every thread must get the single-threaded
// result byte for byte. Under ThreadSanitizer (scripts/test_sanitizers.sh, with oneTBB built
// with TSan as well, so the calls' parallel loops run on the pool's workers) this is the check
// that calls do not race on shared state or within their own parallel steps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/json_reader.h"
#include "base/json_writer.h"
#include "base/value.h"
#include "python/bridge/reconcile_driver.h"

namespace vintrel_bridge {
namespace {

using osmira_base::Value;

std::string read_source_file(const std::filesystem::path& relative) {
  // This file is tests/cpp/bridge/<name>.cc; the paths are relative to the repository.
  const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "..";
  std::ifstream in(root / relative, std::ios::binary);
  EXPECT_TRUE(in) << (root / relative);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The example records split in two: the first part is already known in incremental calls.
struct Inputs {
  std::string spec;
  std::string fs_spec;
  std::string records;
  std::string existing;
  std::string fresh;
};

const Inputs& inputs() {
  static const Inputs* const value = [] {
    auto* in = new Inputs;
    in->spec = read_source_file("examples/customer.yaml");
    in->fs_spec = read_source_file("tests/fuzz/specs/fellegi_sunter.yaml");
    in->records = read_source_file("examples/customers.json");
    osmira_base::json::Reader reader(in->records);
    Value all;
    EXPECT_TRUE(reader.read_value(all).ok());
    Value existing = Value::array();
    Value fresh = Value::array();
    const Value::Array& list = all.as_array();
    for (size_t i = 0; i < list.size(); ++i) (i < list.size() / 2 ? existing : fresh).push(list[i]);
    in->existing = osmira_base::compact_json(existing);
    in->fresh = osmira_base::compact_json(fresh);
    return in;
  }();
  return *value;
}

enum class Call { kLocal, kLocalFs, kIncremental, kIncrementalFsGivenParams };

struct Case {
  const char* name;
  Call call;
};

constexpr Case kCases[] = {
    {"local, weighted sum", Call::kLocal},
    {"local, Fellegi-Sunter with EM training", Call::kLocalFs},
    {"incremental, weighted sum", Call::kIncremental},
    {"incremental, Fellegi-Sunter with given parameters", Call::kIncrementalFsGivenParams},
};

// One call from texts to the compact JSON of its result ("" and a test failure if prepare
// fails).
std::string run_once(Call call) {
  const Inputs& in = inputs();
  osmira_base::Result<ReconcileDriver> driver = [&] {
    switch (call) {
      case Call::kLocal: return ReconcileDriver::prepare_local(in.spec, in.records);
      case Call::kLocalFs: return ReconcileDriver::prepare_local(in.fs_spec, in.records);
      case Call::kIncremental:
        return ReconcileDriver::prepare_incremental(in.spec, in.fresh, in.existing,
                                                    "[[\"8ce8b8b1-e4d5-5ec2-a52c-b0e02a06a328\"]]",
                                                    std::nullopt);
      case Call::kIncrementalFsGivenParams:
        break;
    }
    static const std::string params = [&] {
      auto trained = ReconcileDriver::prepare_local(in.fs_spec, in.existing);
      return trained.ok() && trained->trained_fs_params() ? *trained->trained_fs_params() : std::string();
    }();
    return ReconcileDriver::prepare_incremental(in.fs_spec, in.fresh, in.existing, "[]",
                                                std::optional<std::string_view>(params));
  }();
  if (!driver.ok()) {
    ADD_FAILURE() << driver.error().message();
    return "";
  }
  driver->reconcile();
  return osmira_base::compact_json(result_tree(driver->finish()));
}

TEST(ConcurrentReconcile, ThreadsGetTheSingleThreadedResult) {
  constexpr size_t kThreads = 8;
  constexpr size_t kRounds = 2;
  std::vector<std::string> expected;
  for (const Case& c : kCases) {
    expected.push_back(run_once(c.call));
    ASSERT_FALSE(expected.back().empty()) << c.name;
  }

  // Thread t runs case t % cases, so every case runs in two threads at once beside others.
  std::vector<std::vector<std::string>> got(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (size_t round = 0; round < kRounds; ++round) {
        got[t].push_back(run_once(kCases[t % std::size(kCases)].call));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (size_t t = 0; t < kThreads; ++t) {
    const size_t c = t % std::size(kCases);
    for (size_t round = 0; round < kRounds; ++round) {
      EXPECT_EQ(got[t][round], expected[c]) << kCases[c].name << ", thread " << t << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace vintrel_bridge
