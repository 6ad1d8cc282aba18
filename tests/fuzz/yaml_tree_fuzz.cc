// The YAML document tree as the tooling functions use it: parse, then validate and hash the
// tree. The tree's compact JSON must read back as JSON to a tree that writes the same bytes
// (the writer escapes everything the reader needs and writes numbers that read back exact).
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/json_reader.h"
#include "base/json_writer.h"
#include "base/value.h"
#include "fuzz_support.h"
#include "tooling/parser.h"
#include "tooling/validator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  osmira_base::Result<osmira_base::Value> tree =
      vintrel_core::parser::parse_yaml(vintrel_fuzz::as_text(data, size));
  if (!tree.ok()) {
    if (tree.error().message().empty()) vintrel_fuzz::fuzz_fail("parse failed without a message");
    return 0;
  }
  (void)vintrel_core::validator::validate_schema(*tree);
  (void)vintrel_core::validator::validate_semantics(*tree);
  const std::string hash = vintrel_core::document_hash(*tree);
  if (hash.size() != 7 + 64) vintrel_fuzz::fuzz_fail("hash of unexpected length", hash);

  const std::string json = osmira_base::compact_json(*tree);
  osmira_base::json::Reader reader(json);
  osmira_base::Value again;
  osmira_base::Status read = reader.read_value(again);
  if (read.ok()) read = reader.end();
  // Nesting the YAML tree allows may exceed what the JSON reader accepts; anything else
  // the writer produced must read back.
  if (!read.ok() && read.error().message().find("recursion limit exceeded") == std::string::npos) {
    vintrel_fuzz::fuzz_fail("compact JSON of the tree does not read back", read.error().message() + "\n" + json);
  }
  if (read.ok() && osmira_base::compact_json(again) != json) {
    vintrel_fuzz::fuzz_fail("compact JSON of the tree changes when read back", json);
  }
  return 0;
}
