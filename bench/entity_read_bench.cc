// Entity records read per second from JSON text (both record forms). Prints figures only.
#include <chrono>
#include <cstdio>
#include <string>

#include "core/engine/types.h"

namespace {

using osmira_core::engine::types::read_entities_json;

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

}  // namespace

int main() {
  using Clock = std::chrono::steady_clock;
  for (unsigned count : {1000u, 100000u}) {
    const std::string text = make_records(count);
    size_t records = 0;
    int rounds = 0;
    const auto start = Clock::now();
    double seconds = 0.0;
    do {
      auto r = read_entities_json(text);
      if (!r.ok()) {
        std::printf("read failed: %s\n", r.error().message().c_str());
        return 1;
      }
      records += r->size();
      ++rounds;
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 1.0);
    std::printf("%7u records/text: %10.0f records/s, %7.1f MB/s (%d rounds)\n", count,
                records / seconds, text.size() * rounds / seconds / 1e6, rounds);
  }
  return 0;
}
