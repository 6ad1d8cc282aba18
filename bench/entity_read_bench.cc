// Entity records read per second from JSON text (both record forms), sequentially and on the
// worker pool, and the heap that read records and their per-record preparation hold.
// Prints figures only.
//
//   entity_read_bench [records]      (default 100000 for the memory figures)
#include <malloc.h>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <boost/unordered/unordered_flat_map.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/spec/spec_reader.h"
#include "core/engine/compiler.h"
#include "core/engine/engine.h"
#include "core/engine/pair_scorer.h"
#include "core/engine/types.h"

namespace {

using osmira_core::engine::types::NormalizedEntity;
using osmira_core::engine::types::read_entities_json;
using osmira_core::engine::types::RecordSet;
namespace types = osmira_core::engine::types;

std::string hex_id(unsigned n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", n * 2654435761u, n);
  return buf;
}

// `count` records; every fourth one in the array form.
std::string make_records(unsigned count) {
  std::string out = "[";
  for (unsigned i = 0; i < count; ++i) {
    if (i > 0) out += ",\n";
    const std::string id = hex_id(i);
    const std::string n = std::to_string(i);
    if (i % 4 == 3) {
      out += "[\"" + id + "\",\"00000000-0000-0000-0000-000000000001\",\"ext-" + n +
             "\",\"person\",{\"first_name\":\"Ann\",\"last_name\":\"Lee\",\"email\":\"ann" + n +
             "@example.com\"},\"erp\",null,null,\"2024-03-01T08:30:00.123456Z\"]";
    } else {
      out += "{\"id\":\"" + id + "\",\"tenant_id\":\"00000000-0000-0000-0000-000000000001\","
             "\"external_id\":\"ext-" + n + "\",\"entity_type\":\"person\",\"data\":{"
             "\"first_name\":\"J\\u00f6rg\",\"last_name\":\"M\u00fcller\",\"email\":\"j" + n +
             "@example.com\",\"phone\":\"+49 30 1234567\",\"city\":\"Berlin\"},"
             "\"source_name\":\"crm\",\"valid_from\":\"2023-01-01T00:00:00+01:00\","
             "\"last_updated\":\"2024-01-01T12:00:00Z\",\"ignored\":{\"a\":[1,2,3]}}";
    }
  }
  out += "]";
  return out;
}

// Person records as the customer example sees them: six fields, three sources, the object
// form that json.dumps writes.
std::string make_people(unsigned count) {
  static const char* const kFirst[] = {"Anna", "William", "Maria", "James", "Sophie", "Hiroshi"};
  static const char* const kLast[] = {"Kowalski", "Turner", "Garcia", "OBrien", "Martin", "Wei"};
  static const char* const kSources[] = {"crm", "webshop", "billing"};
  std::string out = "[";
  char buf[160];
  for (unsigned i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    const unsigned p = i / 2;
    std::snprintf(buf, sizeof buf, "%s%u", kLast[p % 6], p % 997);
    const std::string last = buf;
    const std::string first = kFirst[(p * 7) % 6];
    out += "{\"id\": \"" + hex_id(i) + "\", \"tenant_id\": \"7d444840-9dc0-11d1-b245-5ffdce74fad2\", "
           "\"external_id\": \"C-" + std::to_string(i) + "\", \"entity_type\": \"customer\", "
           "\"data\": {\"first_name\": \"" + first + "\", \"last_name\": \"" + last +
           "\", \"email\": \"" + first + "." + last + "." + std::to_string(p) + "@example.com\", ";
    std::snprintf(buf, sizeof buf,
                  "\"postal_code\": \"%u\", \"date_of_birth\": \"19%02u-%02u-%02u\", "
                  "\"phone\": \"+1 %u 555 %04u\"}, ",
                  10000 + (p * 7919) % 90000, 50 + p % 50, 1 + p % 12, 1 + p % 28, 200 + p % 800,
                  p % 10000);
    out += buf;
    out += std::string("\"source_name\": \"") + kSources[i % 3] +
           "\", \"valid_from\": null, \"valid_to\": null, \"last_updated\": "
           "\"2024-05-15T10:00:00Z\"}";
  }
  out += "]";
  return out;
}

// The record as it was held before records pointed into an arena: every text its own
// std::string, the fields a hash map of strings. Built here only to weigh it.
struct StringRecord {
  osmira_base::Uuid id, tenant_id;
  std::string external_id, entity_type;
  boost::unordered_flat_map<std::string, std::string, types::StringHash, std::equal_to<>> data;
  std::string source_name;
  std::optional<osmira_base::DateTime> valid_from, valid_to;
  osmira_base::DateTime last_updated;
};

size_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Records per second of `read`, repeated for at least a second.
template <typename Read>
double rate(const std::string& text, Read read) {
  size_t records = 0;
  const auto start = std::chrono::steady_clock::now();
  double seconds = 0.0;
  do {
    auto r = read(text);
    if (!r.ok()) {
      std::printf("read failed: %s\n", r.error().message().c_str());
      std::exit(1);
    }
    records += r->size();
    seconds = seconds_since(start);
  } while (seconds < 1.0);
  return records / seconds;
}

void read_speed() {
  const int workers = tbb::info::default_concurrency();
  for (unsigned count : {1000u, 100000u}) {
    for (const bool people : {false, true}) {
      const std::string text = people ? make_people(count) : make_records(count);
      const double seq = rate(text, [](const std::string& t) {
        return types::detail::read_entities_json_sequential(t);
      });
      const double par1 = [&] {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        return rate(text, [](const std::string& t) {
          return types::detail::read_entities_json_parallel(t, 128 << 10);
        });
      }();
      const double par = rate(text, [](const std::string& t) {
        return types::detail::read_entities_json_parallel(t, 128 << 10);
      });
      double scan_seconds = 0.0;
      int scans = 0;
      const auto scan_start = std::chrono::steady_clock::now();
      do {
        if (!types::detail::count_entity_elements(text)) std::exit(1);
        ++scans;
        scan_seconds = seconds_since(scan_start);
      } while (scan_seconds < 0.5);
      std::printf("%7u %-7s structural scan alone: %7.0f MB/s\n", count, people ? "person" : "mixed",
                  text.size() * scans / scan_seconds / 1e6);
      std::printf("%7u %-7s records (%5.1f MB): sequential %9.0f rec/s %6.1f MB/s | "
                  "parallel, 1 worker %9.0f rec/s | %d workers %9.0f rec/s %6.1f MB/s (%.2fx)\n",
                  count, people ? "person" : "mixed", text.size() / 1e6, seq,
                  seq * text.size() / count / 1e6, par1, workers, par,
                  par * text.size() / count / 1e6, par / seq);
    }
  }
}

// Heap per record: read records, the same records held as strings, and the pair scorer's
// preparation for the customer example's rules.
void memory(unsigned count) {
  const std::string text = make_people(count);
  std::printf("memory at %u person records, %.0f B of JSON per record:\n", count,
              static_cast<double>(text.size()) / count);
  malloc_trim(0);
  const size_t base = heap_in_use();
  auto read = read_entities_json(text);
  if (!read.ok()) {
    std::printf("read failed: %s\n", read.error().message().c_str());
    return;
  }
  const RecordSet records = std::move(read).value();
  const size_t after_read = heap_in_use();
  std::printf("  read records (arena %zu B/record, sizeof record %zu B): %8.0f B/record\n",
              records.arena_bytes() / count, sizeof(NormalizedEntity),
              static_cast<double>(after_read - base) / count);

  {
    const size_t before = heap_in_use();
    std::vector<StringRecord> strings(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      const NormalizedEntity& e = records[i];
      StringRecord& s = strings[i];
      s.id = e.id;
      s.tenant_id = e.tenant_id;
      s.external_id = e.external_id;
      s.entity_type = e.entity_type;
      s.source_name = e.source_name;
      for (const auto& [k, v] : e.data) s.data.insert_or_assign(std::string(k), std::string(v));
      s.valid_from = e.valid_from.to_optional();
      s.valid_to = e.valid_to.to_optional();
      s.last_updated = e.last_updated;
    }
    std::printf("  the same held as strings and a hash map (sizeof %zu B):    %8.0f B/record\n",
                sizeof(StringRecord), static_cast<double>(heap_in_use() - before) / count);
  }

  // The example spec beside this file's folder (CMake compiles it by its full path).
  std::string path = __FILE__;
  path = path.substr(0, path.rfind('/') + 1) + "../examples/customer.yaml";
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return;
  std::string yaml;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) yaml.append(buf, n);
  std::fclose(f);
  auto spec = osmira_common::spec::read_identity_spec(yaml);
  if (!spec.ok()) return;
  auto plan = osmira_core::engine::compiler::SpecCompiler::compile(*spec);
  if (!plan.ok()) return;
  const auto engine = osmira_core::engine::ReconciliationEngine::from_plan(*plan);
  malloc_trim(0);
  const size_t before = heap_in_use();
  std::vector<const NormalizedEntity*> pointers;
  pointers.reserve(records.size());
  for (const NormalizedEntity& e : records) pointers.push_back(&e);
  const osmira_core::engine::detail::PairScorer scorer(engine.settings(), std::move(pointers), true);
  std::printf("  pair scorer preparation (customer example rules):         %8.0f B/record\n",
              static_cast<double>(heap_in_use() - before) / count);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 100000u;
  read_speed();
  memory(count);
  return 0;
}
