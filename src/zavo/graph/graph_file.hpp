#pragma once
// Graph files: a traced graph stored as JSON (format "zavo.graph", version 1). Reading either
// yields a complete graph or raises `GraphFileError` with one message that names the place of
// the first problem (`nodes[12].args[0]: node 40 is used before it is defined`); a file is never
// half read.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

// A graph file that cannot be used: unreadable, not UTF-8, not JSON, or breaking a rule of the
// format. The message names the place: a path into the document (`nodes[3].shape[1]`), a line
// and column for text that is not JSON, or `top level`.
class GraphFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bounds that keep a hostile or broken file from exhausting the stack or the memory.
// Arrays and objects nested deeper than this are rejected.
inline constexpr std::size_t kMaxNesting = 64;
// The longest node name, in bytes. Messages about a node quote the names of the nodes it uses,
// so that one long name could otherwise be copied into a message for every use.
inline constexpr std::size_t kMaxNameLength = 1024;
// The largest number of dimensions of one shape. Handlers keep a label entry per dimension for
// every node they record, so a node's cost follows its shape's length.
inline constexpr std::size_t kMaxDimensions = 64;
// The largest size of one dimension.
inline constexpr std::int64_t kMaxDimensionSize = 2'147'483'647;
// The node kinds a graph file may use, as an unknown kind's message lists them.
inline constexpr std::string_view kNodeKinds = "input, parameter, call or constant";

// Reads the graph in `text`, the whole content of a graph file.
tensor_trace::Graph read_graph_text(std::string_view text);

// Reads the graph file at `path`.
tensor_trace::Graph read_graph_file(const std::filesystem::path& path);

}  // namespace zavo::graph
