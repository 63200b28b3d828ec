#include "zavo/graph_file/json_reader.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace zavo::graph::json_reader {
namespace {

// What a source hands out: the bytes, or the message of the first problem.
std::string content(Source source) {
  std::string bytes;
  for (std::string_view chunk = source.next(); !chunk.empty(); chunk = source.next())
    bytes += chunk;
  source.drain();
  return source.error() ? "error: " + *source.error() : bytes;
}

// A text read from a stream in chunks of any size gives the same bytes as from memory, and the
// same message for the first byte that is not UTF-8, wherever a chunk ends: in the middle of a
// sequence, a line, or the ill-formed sequence itself.
TEST(JsonSource, ChunksOfAnySizeReadLikeTheWholeText) {
  const std::string good =
      "{\"a\": \"caf\xC3\xA9\",\n \"b\": \"\xE2\x82\xAC\xF0\x9F\x98\x80\",\n \"c\": "
      "\"\xED\x9F\xBF\"}";
  std::vector<std::string> texts = {good, ""};
  // Every byte replaced by one that breaks or cuts a sequence, and the text cut short anywhere.
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (char bad : {'\x80', '\xC0', '\xED', '\xF4', '\xFF'})
      texts.push_back(good.substr(0, i) + bad + good.substr(i + 1));
    texts.push_back(good.substr(0, i));
  }
  for (const std::string& text : texts) {
    std::string whole = content(Source(text));
    for (std::size_t chunk_size = 4; chunk_size <= 9; ++chunk_size) {
      std::istringstream in(text);
      EXPECT_EQ(content(Source(in, chunk_size)), whole)
          << "chunks of " << chunk_size << " of " << ::testing::PrintToString(text);
    }
  }
  EXPECT_EQ(content(Source(good)), good);
  EXPECT_EQ(content(Source(good.substr(0, 8) + '\xFF' + good.substr(9))),
            "error: line 1, column 9: not UTF-8 (byte 0xFF)");
}

}  // namespace
}  // namespace zavo::graph::json_reader
