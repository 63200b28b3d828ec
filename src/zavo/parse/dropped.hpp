#pragma once
// The dropped-label guard. A prunable label that reaches an input of a node and appears neither
// in the node's output nor in two of its inputs one of which is a parameter (a weight it was tied
// to there) has been dropped: nothing after the node sees it, so pruning it may change a shape
// that the rest of the model relies on, and no rule takes it out of pruning. A parameter read as
// data (a table of coordinates that a linear layer maps) drops the labels of the dimensions the
// layer does not tie, like any other input.

#include <cstdint>
#include <vector>

#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

struct DroppedLabels {
  std::int64_t node;
  std::vector<pruning::engine::utils::Label> labels;  // ascending
  std::vector<std::int64_t> parameters;               // the parameters carrying them, file order
};

// Every node that drops labels, in file order, read from the final labels of a parse under
// `rules`. Calls that only read a tensor's size or attributes drop nothing, nor do the handlers
// that consume labels on purpose (`consumes_labels`); calls without recorded labels (not handled)
// are skipped.
std::vector<DroppedLabels> find_dropped_labels(
    const tensor_trace::Graph& graph, const pruning::engine::utils::PruneGraphParserState& state,
    pruning::engine::node_handlers::RuleSet rules);

}  // namespace zavo::graph
