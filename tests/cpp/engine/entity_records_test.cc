// Record storage (arena-backed and hand-built records) and the parallel entity reader, which
// must give exactly what the sequential reader gives: the same records, or the same message.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/engine/types.h"

namespace osmira_core::engine::types {
namespace {

using osmira_base::DateTime;

constexpr const char* kIdA = "67e55044-10b1-426f-9247-bb680e5fe0c8";
constexpr const char* kIdB = "00000000-0000-0000-0000-0000000000ff";

// Everything a record holds, in a form that compares regardless of storage and field order.
struct Snapshot {
  std::string id, tenant_id, external_id, entity_type, source_name;
  std::map<std::string, std::string> data;
  std::optional<DateTime> valid_from, valid_to;
  DateTime last_updated;
  size_t data_size = 0;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const NormalizedEntity& e) {
  Snapshot s{e.id.to_string(),          e.tenant_id.to_string(),  std::string(e.external_id),
             std::string(e.entity_type), std::string(e.source_name), {},
             e.valid_from.to_optional(), e.valid_to.to_optional(),  e.last_updated,
             e.data.size()};
  for (const auto& [name, value] : e.data) s.data.emplace(name, value);
  return s;
}

// "<ok>" and the snapshots, or the message.
std::string describe(const osmira_base::Result<RecordSet>& r) {
  if (!r.ok()) return "error: " + r.error().message();
  std::string out = "<ok> " + std::to_string(r->size());
  for (const NormalizedEntity& e : *r) {
    const Snapshot s = snapshot(e);
    out += "|" + s.id + "," + s.tenant_id + "," + s.external_id + "," + s.entity_type + "," +
           s.source_name + "," + std::to_string(s.data_size) + ",";
    for (const auto& [k, v] : s.data) out += k + "=" + v + ";";
    for (const auto& t : {s.valid_from, s.valid_to, std::optional<DateTime>(s.last_updated)}) {
      out += t ? std::to_string(t->seconds) + "." + std::to_string(t->nanos) : "-";
      out += ",";
    }
  }
  return out;
}

std::string object_record(int n, const std::string& extra = "") {
  return std::string(R"({"id":")") + kIdA + R"(","tenant_id":")" + kIdB +
         R"(","external_id":"e)" + std::to_string(n) +
         R"(","entity_type":"person","data":{"name":"Ann\u00e9","email":"a)" +
         std::to_string(n) + R"(@b.c","name":"J\"o","city":"K\u00f6ln"},)"
         R"("source_name":"crm","valid_from":"2020-01-01T00:00:00.5+01:00",)"
         R"("last_updated":"2024-01-01T12:00:00+02:00","skip":{"a":[1,{"b":null}],"c":"]}"})" +
         extra + "}";
}

std::string array_record(int n) {
  return std::string("[\"") + kIdB + "\",\"" + kIdA + "\",\"x" + std::to_string(n) +
         "\",\"t\",{\"k\":\"v\\\\,\",\"z\":\"\"},\"erp\",null,\"2030-01-01t00:00:00z\","
         "\"2024-01-01 00:00:00z\"]";
}

std::string sample_text(int records) {
  std::string text = "[\n";
  for (int i = 0; i < records; ++i) {
    if (i > 0) text += " ,\n ";
    text += i % 3 == 2 ? array_record(i) : object_record(i);
  }
  return text + "\n]";
}

// The parallel reading with runs of several sizes, and under several worker counts, against
// the sequential reading.
void expect_same_as_sequential(const std::string& text) {
  const std::string expected = describe(detail::read_entities_json_sequential(text));
  for (size_t run_bytes : {1, 40, 300, 1 << 20}) {
    EXPECT_EQ(describe(detail::read_entities_json_parallel(text, run_bytes)), expected)
        << "run bytes " << run_bytes << ", text: " << text;
  }
  EXPECT_EQ(describe(read_entities_json(text)), expected) << text;
}

TEST(ParallelEntityRead, ValidTextsReadAlike) {
  for (int n : {0, 1, 2, 3, 7, 20}) {
    const std::string text = sample_text(n);
    ASSERT_TRUE(detail::read_entities_json_sequential(text).ok()) << text;
    expect_same_as_sequential(text);
  }
  expect_same_as_sequential(" [ ] ");
  expect_same_as_sequential("[]");
}

TEST(ParallelEntityRead, ResultsDoNotDependOnTheWorkerCount) {
  const std::string text = sample_text(200);
  const std::string expected = describe(detail::read_entities_json_sequential(text));
  for (int workers : {1, 2, 3, 8}) {
    tbb::task_arena arena(workers);
    arena.execute([&] {
      EXPECT_EQ(describe(detail::read_entities_json_parallel(text, 64)), expected) << workers;
    });
  }
}

TEST(ParallelEntityRead, EveryTruncationFailsAlike) {
  const std::string text = sample_text(4);
  for (size_t n = 0; n < text.size(); ++n) expect_same_as_sequential(text.substr(0, n));
}

TEST(ParallelEntityRead, SingleByteDamageFailsAlike) {
  const std::string text = sample_text(3);
  const char replacements[] = {'"', '{', '}', '[', ']', ',', ':', 'x', '0', ' ', '\\', '\xff', '\0',
                               'n'};
  for (size_t i = 0; i < text.size(); ++i) {
    for (const char c : replacements) {
      std::string damaged = text;
      damaged[i] = c;
      expect_same_as_sequential(damaged);
    }
  }
}

TEST(ParallelEntityRead, RandomEditsFailAlike) {
  const std::string text = sample_text(5);
  const std::string pieces[] = {"\"", "\\", "\\u12", "\\ud800", "[", "]", "{", "}", ",", ",,",
                                ":", "null", "1e999", "\xc3", "\xed\xa0\x80", "\"\\q\"", "  ",
                                "\n", "tru"};
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = text;
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
      const size_t at = rng() % (damaged.size() + 1);
      const std::string& piece = pieces[rng() % std::size(pieces)];
      switch (rng() % 3) {
        case 0: damaged.insert(at, piece); break;
        case 1: damaged.erase(at, 1 + rng() % 4); break;
        default: damaged.replace(at, piece.size(), piece); break;
      }
    }
    expect_same_as_sequential(damaged);
  }
}

// Faults of each kind in a later record, with good records before and after it: the message
// is the sequential one (first fault in text order, its own line and column).
TEST(ParallelEntityRead, FaultsInALaterRecordReportAlike) {
  const std::string good = object_record(1);
  const std::vector<std::string> bad = {
      object_record(2, R"(,"id":"x")"),                                   // duplicate field
      R"({"id":"not-a-uuid"})",                                           // bad UUID
      std::string(object_record(3)).replace(object_record(3).find("2024-01-01T12"), 4, "20x4"),
      R"({"data":{"a":1}})",                                              // wrong value type
      R"({"data":{"a":"\x"}})",                                           // bad escape
      "{\"data\":{\"a\":\"\xc3\x28\"}}",                                  // bad UTF-8
      "{\"data\":{\"a\":\"\x01\"}}",                                      // control character
      R"("text")",                                                        // not a record
      R"([1,2])",                                                         // short array form
      R"({"external_id":"a"})",                                           // missing fields
      object_record(4) + " x",                                            // garbage after
      array_record(5).insert(1, "null,"),                                 // ten elements
  };
  for (const std::string& fault : bad) {
    expect_same_as_sequential("[" + good + ",\n" + fault + ",\n" + good + "]");
    expect_same_as_sequential("[" + good + ",\n" + good + ",\n" + fault + "]");
  }
  expect_same_as_sequential("[" + good + "] x");
  expect_same_as_sequential("[" + good + ",]");
  expect_same_as_sequential("[," + good + "]");
  expect_same_as_sequential("{\"a\":" + good + "}");
  expect_same_as_sequential("[" + good + "}");
}

// The depth limit counts the enclosing array whichever reader reads the element.
TEST(ParallelEntityRead, DepthLimitAlike) {
  for (int levels : {100, 125, 126, 127, 128, 200}) {
    const std::string nested = std::string(levels, '[') + std::string(levels, ']');
    const std::string text = "[" + object_record(1) + "," +
                             object_record(2, ",\"deep\":" + nested) + "]";
    expect_same_as_sequential(text);
    expect_same_as_sequential("[" + object_record(1) + "," + nested + "]");
  }
}

// The structural scan must find every element of a valid array, or the parallel reading
// would always fall back to the sequential one. Strings, escapes, backslash runs and nesting
// are moved across the scan's block edges by padding.
TEST(ParallelEntityRead, ScanFindsEveryElement) {
  const std::vector<std::string> elements = {
      R"({"a":"x,y]}","b":[1,{"c":"[{"}]})",
      R"("q\"uote, \\ \\\"],")",
      R"(["\\\\",[],{},"\u005d"])",
      "\"J\\u00f6rg M\xc3\xbcller, [x]\"",
      R"({"deep":[[[[["]"]]]]],"e":"\\"})",
      "null",
      "12.5e3",
  };
  for (size_t pad = 0; pad < 140; ++pad) {
    for (size_t count = 1; count <= 5; ++count) {
      std::string text(pad + 1, ' ');
      text[0] = '[';
      for (size_t k = 0; k < count; ++k) {
        if (k > 0) text += k % 2 ? "," : " ,\n";
        text += elements[(pad + k) % elements.size()];
      }
      text += "]";
      osmira_base::json::Reader reader(text);
      osmira_base::Value value;
      ASSERT_TRUE(reader.read_value(value).ok()) << text;
      EXPECT_EQ(detail::count_entity_elements(text), std::optional<size_t>(count)) << text;
    }
  }
  for (const char* bad : {"", "  ", "{}", "[", "[\"]", "[1", "[1]]", "[1] x", "[\"\\\"]"}) {
    EXPECT_EQ(detail::count_entity_elements(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(detail::count_entity_elements(" [ ] "), std::optional<size_t>(0));
}

TEST(RecordStorage, HandBuiltRecordsOwnTheirTexts) {
  NormalizedEntity a;
  {
    std::string name = "name", value = "a value longer than the small-string buffer";
    a.data.insert_or_assign(name, value);
    a.external_id = std::string("ext-") + "1";
    a.source_name = name;
  }  // the texts the record was built from are gone
  NormalizedEntity b = a;
  a.data.insert_or_assign("name", "changed");
  a.data.insert_or_assign("other", "x");
  a.external_id = "changed";
  EXPECT_EQ(snapshot(b).data, (std::map<std::string, std::string>{
                                  {"name", "a value longer than the small-string buffer"}}));
  EXPECT_EQ(b.external_id, "ext-1");
  EXPECT_EQ(b.source_name, "name");
  EXPECT_EQ(a.data.size(), 2u);
  EXPECT_EQ(a.data.find("name")->second, "changed");
  EXPECT_EQ(a.data.find("missing"), a.data.end());
  EXPECT_FALSE(a.data.emplace("other", "y"));
  EXPECT_EQ(a.data.find("other")->second, "x");
  EXPECT_TRUE(a.data.emplace("third", ""));
  EXPECT_EQ(a.data.size(), 3u);
  b = a;
  a = NormalizedEntity();
  EXPECT_EQ(b.data.size(), 3u);
  EXPECT_EQ(b.external_id, "changed");
  EXPECT_TRUE(a.data.empty());
  EXPECT_TRUE(a.external_id.empty());
}

TEST(RecordStorage, ReadRecordsStayValidWithTheirList) {
  RecordSet records;
  {
    auto first = read_entities_json("[" + object_record(1) + "]");
    auto second = detail::read_entities_json_parallel(sample_text(30), 100);
    ASSERT_TRUE(first.ok() && second.ok());
    records = std::move(first).value();
    records.append(std::move(second).value());
  }  // both texts and both result objects are gone
  ASSERT_EQ(records.size(), 31u);
  EXPECT_EQ(records[0].external_id, "e1");
  EXPECT_EQ(records[29].external_id, "e28");
  EXPECT_EQ(records[29].data.find("name")->second, "J\"o");
  EXPECT_EQ(records[29].data.find("city")->second, "K\u00f6ln");
  EXPECT_EQ(records[3].external_id, "x2");
  EXPECT_EQ(records[3].data.find("k")->second, "v\\,");
  // A hand-built record joins the list; a copy of a read record reads the same.
  NormalizedEntity copy = records[29];
  copy.data.insert_or_assign("extra", "1");
  records.push_back(copy);
  EXPECT_EQ(records[31].data.size(), 4u);
  EXPECT_EQ(records[31].data.find("email")->second, "a28@b.c");
  EXPECT_EQ(records[29].data.size(), 3u);
  EXPECT_GT(records.arena_bytes(), 0u);
}

// Borrowing readings give the records the copying reading gives; values written without
// escapes are views into the text (escaped ones are copies, also in records that follow the
// escaped one).
TEST(RecordStorage, BorrowedReadingsPointIntoTheText) {
  const std::string text = sample_text(40);
  const auto inside = [&](std::string_view v) {
    return !v.empty() && v.data() >= text.data() &&
           v.data() + v.size() <= text.data() + text.size();
  };
  auto copied = detail::read_entities_json_sequential(text);
  ASSERT_TRUE(copied.ok());
  const std::string expected = describe(copied);
  for (const NormalizedEntity& e : *copied) {
    for (const auto& [name, value] : e.data) EXPECT_FALSE(inside(value)) << name;
    EXPECT_FALSE(inside(e.external_id));
  }
  struct Reading {
    const char* name;
    std::function<osmira_base::Result<RecordSet>()> read;
  };
  const Reading readings[] = {
      {"sequential", [&] { return detail::read_entities_json_sequential(text, TextUse::kBorrow); }},
      {"parallel",
       [&] { return detail::read_entities_json_parallel(text, 100, TextUse::kBorrow); }},
      {"whole", [&] { return read_entities_json(text, TextUse::kBorrow); }},
  };
  for (const Reading& reading : readings) {
    const auto borrowed = reading.read();
    ASSERT_TRUE(borrowed.ok()) << reading.name;
    EXPECT_EQ(describe(borrowed), expected) << reading.name;
    for (size_t i = 0; i < borrowed->size(); ++i) {
      const NormalizedEntity& e = (*borrowed)[i];
      const std::string where = std::string(reading.name) + " record " + std::to_string(i);
      EXPECT_TRUE(inside(e.external_id)) << where;
      if (i % 3 == 2) {  // the array form: "k" holds an escape, "z" is empty
        EXPECT_FALSE(inside(e.data.find("k")->second)) << where;
        EXPECT_EQ(e.data.find("k")->second, "v\\,") << where;
      } else {  // the object form: "email" plain, "name" and "city" escaped
        EXPECT_TRUE(inside(e.data.find("email")->second)) << where;
        EXPECT_FALSE(inside(e.data.find("name")->second)) << where;
        EXPECT_FALSE(inside(e.data.find("city")->second)) << where;
        EXPECT_EQ(e.data.find("city")->second, "K\u00f6ln") << where;
      }
    }
  }
  // A failing text gives the same message either way.
  const std::string bad = text.substr(0, text.size() / 2);
  EXPECT_EQ(describe(read_entities_json(bad, TextUse::kBorrow)), describe(read_entities_json(bad)));
}

TEST(RecordStorage, ComparesLikeStrings) {
  struct Row {
    const char* a;
    const char* b;
    int order;  // sign of a <=> b
  };
  const Row rows[] = {{"", "", 0}, {"a", "b", -1}, {"b", "a", 1}, {"ab", "a", 1},
                      {"\xff", "a", 1}, {"a", "ab", -1}};
  for (const Row& row : rows) {
    const RecordText a = RecordText::borrow(row.a), b(std::string_view{row.b});
    EXPECT_EQ(a == b, row.order == 0) << row.a << " " << row.b;
    EXPECT_EQ(a < b, row.order < 0) << row.a << " " << row.b;
    EXPECT_EQ(a > std::string(row.b), row.order > 0) << row.a << " " << row.b;
    EXPECT_EQ(std::string(row.a) < std::string(row.b), a < b) << row.a << " " << row.b;
  }
}

TEST(RecordStorage, OptionalInstantKeepsEveryInstant) {
  const DateTime instants[] = {{0, 0}, {-1, 999'999'999}, {1, 1'999'999'999},
                               DateTime::earliest(), DateTime::latest()};
  for (const DateTime& t : instants) {
    OptionalInstant o = t;
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(*o, t);
    EXPECT_EQ(o.value_or(DateTime{5, 5}), t);
    o.reset();
    EXPECT_FALSE(o);
    EXPECT_EQ(o.value_or(t), t);
    EXPECT_EQ(o.to_optional(), std::nullopt);
  }
  EXPECT_LE(sizeof(OptionalInstant), sizeof(DateTime));
}

}  // namespace
}  // namespace osmira_core::engine::types

namespace osmira_core::engine::types {
namespace {

TEST(RecordStorage, MovedFromFieldsAreEmpty) {
  NormalizedEntity built;
  built.data.insert_or_assign("a", "1");
  auto read = read_entities_json("[" + object_record(1) + "]");
  ASSERT_TRUE(read.ok());
  for (const NormalizedEntity* source : {static_cast<const NormalizedEntity*>(&built), &(*read)[0]}) {
    EntityData from = source->data;
    const size_t size = from.size();
    EntityData to = std::move(from);
    EXPECT_EQ(to.size(), size);
    EXPECT_TRUE(from.empty());  // NOLINT: reading a moved-from value on purpose
    EntityData again;
    again = std::move(to);
    EXPECT_EQ(again.size(), size);
    EXPECT_TRUE(to.empty());  // NOLINT
    EXPECT_EQ(again.find("a") != again.end(), source == &built);
  }
}

}  // namespace
}  // namespace osmira_core::engine::types

namespace osmira_core::engine::types {
namespace {

// Identifiers read from records are those of the general UUID parser, and its message is the
// one reported, whatever the form of the text.
TEST(ReadEntities, IdentifiersReadLikeTheUuidParser) {
  std::vector<std::string> texts = {
      "67e55044-10b1-426f-9247-bb680e5fe0c8", "67E55044-10B1-426F-9247-BB680E5FE0C8",
      "67e55044-10B1-426f-9247-Bb680e5fe0c8", "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8", "67e5504410b1426f9247bb680e5fe0c8",
      "67e55044-10b1-426f-9247-bb680e5fe0cg", "67e55044-10b1-426f-9247_bb680e5fe0c8",
      "67e5504-410b1-426f-9247-bb680e5fe0c8", "67e55044-10b1-426f-9247-bb680e5fe0c",
      "67e55044-10b1-426f-9247-bb680e5fe0c80", "67e55044-10b1-426f-9247-bb680e5f\u00e9c",
      "",
  };
  std::mt19937 rng(3);
  const std::string alphabet = "0123456789abcdefABCDEF-g{}:x ";
  for (int k = 0; k < 3000; ++k) {
    std::string t = texts[rng() % 3];
    t[rng() % t.size()] = alphabet[rng() % alphabet.size()];
    texts.push_back(t);
  }
  for (const std::string& text : texts) {
    const std::string json = std::string(R"([{"id":")") + text + R"(","tenant_id":")" + kIdB +
                             R"(","external_id":"1","entity_type":"t","data":{},)"
                             R"("source_name":"s","last_updated":"2024-01-01T00:00:00Z"}])";
    const auto parsed = osmira_base::Uuid::parse(text);
    const auto read = read_entities_json(json);
    ASSERT_EQ(read.ok(), parsed.ok()) << text;
    if (parsed.ok()) {
      EXPECT_EQ((*read)[0].id, *parsed) << text;
    } else {
      EXPECT_EQ(read.error().message().find("UUID parsing failed: " + parsed.error().message()),
                0u)
          << text;
    }
  }
}

}  // namespace
}  // namespace osmira_core::engine::types
