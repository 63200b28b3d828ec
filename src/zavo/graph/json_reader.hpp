#pragma once
// JSON text to a document, for the graph reader. Beyond plain JSON the reader guarantees what
// the graph reader relies on: the text is UTF-8, no object repeats a key, every integer fits in
// 64 bits, every number is finite, and nothing is nested deeper than `kMaxNesting`. Objects keep
// the file's key order. Each rejection raises `GraphFileError` naming the place.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zavo::graph::json_reader {

using Json = nlohmann::ordered_json;

// One step of a path into a document: a key of an object or an index of an array.
struct Segment {
  std::string key;
  std::size_t index = 0;
  bool is_key = true;
};

// `nodes[3].args[0]`; `top level` for the empty path.
std::string path_text(std::span<const Segment> path);

// `null`, `boolean`, `integer`, `number`, `string`, `array`, `object`.
std::string_view type_name(const Json& value);

Json parse_document(std::string_view text);

}  // namespace zavo::graph::json_reader
