#pragma once
// What reading a graph file raises, and the nesting bound that both its readers hold a file to:
// the JSON reader, which sees the text, and the graph file's reader, which skips what it does not
// need without the JSON reader's events.

#include <cstddef>
#include <stdexcept>

namespace zavo::graph {

// A graph file that cannot be used: unreadable, not UTF-8, not JSON, or breaking a rule of the
// format. The message names the place: a path into the document (`nodes[3].shape[1]`), a line
// and column for text that is not JSON, or `top level`.
class GraphFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Arrays and objects nested deeper than this are rejected, so that a hostile or broken file
// cannot exhaust the stack.
inline constexpr std::size_t kMaxNesting = 64;

}  // namespace zavo::graph
