#pragma once
// Reductions over dimensions: reading their arguments and moving the labels of the prune
// dimension past the dimensions that vanish.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// For the norm, standard-deviation and variance families: whether `arg`, the argument after the
// input, is the dimension argument. Raises `NotImplementedError` for any other operation.
bool _unary_reduce_first_arg_is_dim(const Value& arg, OperationKey operation);

// The reduced dimensions (none for all of them, else a new list in the order given, not
// normalised) and the keep-dimension flag as found (false when absent).
using ReduceDims = std::optional<std::vector<std::int64_t>>;
std::pair<ReduceDims, Value> _get_args_for_unary_reduce(const ZavoOpNode& node);

void _unary_reduce_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
