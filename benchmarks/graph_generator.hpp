#pragma once
// A generated graph file of a deep residual network, for measuring how reading and parsing
// scale: a stem convolution, then identical residual blocks conv -> batch norm -> relu -> conv
// -> add (the block's input), eleven nodes each. The channels inside a block are prunable; the
// channels along the residual path reach the output and are not.

#include <cstddef>
#include <string>

namespace zavo::benchmarks {

// The text of a graph file with about `nodes` nodes (whole blocks, at least one) of `channels`
// channels.
std::string residual_graph_text(std::size_t nodes, std::size_t channels = 16);

}  // namespace zavo::benchmarks
