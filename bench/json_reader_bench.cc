// Throughput of the JSON pull reader on entity-shaped records: an array of N objects (id,
// tenant_id, external_id, entity_type, a data map of string fields, source_name, timestamps)
// built in memory, read on one core into a small typed record, skipped, and read into a
// document tree. Prints MB/s; asserts nothing.
//
// Usage: json_reader_bench [records]   (default 1000000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "base/json_reader.h"

namespace {

using osmira_base::Status;
using osmira_base::json::Reader;

// The fields of an entity record, as texts; reused from record to record so that reading
// allocates only when a text outgrows its buffer.
struct EntityText {
  std::string id;
  std::string tenant_id;
  std::string external_id;
  std::string entity_type;
  std::vector<std::pair<std::string, std::string>> data;
  size_t data_size = 0;
  std::string source_name;
  std::string valid_from;
  std::string valid_to;
  std::string last_updated;
};

std::string uuid_text(uint64_t a, uint64_t b) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08llx-%04llx-4%03llx-8%03llx-%012llx",
                static_cast<unsigned long long>(a & 0xffffffff),
                static_cast<unsigned long long>((a >> 32) & 0xffff),
                static_cast<unsigned long long>((a >> 48) & 0xfff),
                static_cast<unsigned long long>(b & 0xfff),
                static_cast<unsigned long long>((b >> 12) & 0xffffffffffffull));
  return buf;
}

std::string make_records(size_t count) {
  static const char* kFirst[] = {"Anna", "Björn", "Chloé", "David", "Eva", "Farid", "Grace"};
  static const char* kLast[] = {"Smith", "Müller", "García", "Nguyen", "O'Brien", "Kowalski"};
  static const char* kCity[] = {"Berlin", "São Paulo", "Zürich", "Toronto", "Lyon"};
  std::string out;
  out.reserve(count * 420);
  out += '[';
  uint64_t x = 0x9e3779b97f4a7c15ull;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const char* first = kFirst[x % 7];
    const char* last = kLast[(x >> 8) % 6];
    if (i > 0) out += ',';
    out += "{\"id\":\"" + uuid_text(x, i) + "\",\"tenant_id\":\"" + uuid_text(42, 7) +
           "\",\"external_id\":\"crm-" + std::to_string(i) +
           "\",\"entity_type\":\"customer\",\"data\":{\"first_name\":\"" + first +
           "\",\"last_name\":\"" + last + "\",\"email\":\"" + first + "." + last +
           std::to_string(i % 1000) + "@example.com\",\"phone\":\"+1 (555) " +
           std::to_string(1000000 + x % 9000000) + "\",\"city\":\"" + kCity[(x >> 16) % 5] +
           "\",\"note\":\"line\\nbreak \\\"quoted\\\"\"},\"source_name\":\"crm\","
           "\"valid_from\":\"2024-01-01T00:00:00Z\",\"valid_to\":null,"
           "\"last_updated\":\"2024-05-01T12:00:00+02:00\"}";
  }
  out += ']';
  return out;
}

Status read_data(Reader& r, EntityText& e) {
  RETURN_IF_ERROR(r.begin_object());
  e.data_size = 0;
  std::string_view key;
  while (true) {
    ASSIGN_OR_RETURN(const bool more, r.next_key(&key));
    if (!more) break;
    if (e.data_size == e.data.size()) e.data.emplace_back();
    auto& slot = e.data[e.data_size++];
    slot.first.assign(key.data(), key.size());
    RETURN_IF_ERROR(r.read_string_into(slot.second));
  }
  return r.end_object();
}

Status read_optional(Reader& r, std::string& out) {
  ASSIGN_OR_RETURN(const bool is_null, r.read_null_if_present());
  if (is_null) {
    out.clear();
    return osmira_base::ok_status();
  }
  return r.read_string_into(out);
}

Status read_entity(Reader& r, EntityText& e) {
  RETURN_IF_ERROR(r.begin_object());
  std::string_view key;
  while (true) {
    ASSIGN_OR_RETURN(const bool more, r.next_key(&key));
    if (!more) break;
    if (key == "id") RETURN_IF_ERROR(r.read_string_into(e.id));
    else if (key == "tenant_id") RETURN_IF_ERROR(r.read_string_into(e.tenant_id));
    else if (key == "external_id") RETURN_IF_ERROR(r.read_string_into(e.external_id));
    else if (key == "entity_type") RETURN_IF_ERROR(r.read_string_into(e.entity_type));
    else if (key == "data") RETURN_IF_ERROR(read_data(r, e));
    else if (key == "source_name") RETURN_IF_ERROR(r.read_string_into(e.source_name));
    else if (key == "valid_from") RETURN_IF_ERROR(read_optional(r, e.valid_from));
    else if (key == "valid_to") RETURN_IF_ERROR(read_optional(r, e.valid_to));
    else if (key == "last_updated") RETURN_IF_ERROR(r.read_string_into(e.last_updated));
    else RETURN_IF_ERROR(r.skip_value());
  }
  return r.end_object();
}

template <typename Fn>
void measure(const char* label, const std::string& text, Fn fn) {
  double best = 1e300;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const Status s = fn();
    const auto stop = std::chrono::steady_clock::now();
    if (!s.ok()) {
      std::printf("%s: failed: %s\n", label, s.error().message().c_str());
      return;
    }
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
  }
  std::printf("%-28s %8.1f MB/s  (%.3f s best of 3)\n", label,
              static_cast<double>(text.size()) / best / 1e6, best);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string text = make_records(count);
  std::printf("json_reader: %zu entity records, %.1f MB\n", count,
              static_cast<double>(text.size()) / 1e6);

  size_t checksum = 0;
  measure("typed entity records", text, [&]() -> Status {
    Reader r(text);
    EntityText e;
    RETURN_IF_ERROR(r.begin_array());
    while (true) {
      ASSIGN_OR_RETURN(const bool more, r.has_next());
      if (!more) break;
      RETURN_IF_ERROR(read_entity(r, e));
      checksum += e.external_id.size() + e.data_size;
    }
    RETURN_IF_ERROR(r.end_array());
    return r.end();
  });
  measure("skip_value", text, [&]() -> Status {
    Reader r(text);
    RETURN_IF_ERROR(r.skip_value());
    return r.end();
  });
  measure("read_value (document tree)", text, [&]() -> Status {
    Reader r(text);
    osmira_base::Value v;
    RETURN_IF_ERROR(r.read_value(v));
    checksum += v.as_array().size();
    return r.end();
  });
  std::printf("(checksum %zu)\n", checksum);
  return 0;
}
