#pragma once
// Handlers of operations that map channels through a weight or join dimensions: convolution,
// fully-connected layer and flatten.

#include <string_view>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// The traced tensor that the argument `arg_key` of `node` holds. A handler cannot go on without
// it, so an absent argument (none) raises `LookupError` and a constant raises `TypeError`, both
// before the handler has changed anything.
const ZavoNode& _as_tensor_argument(const ZavoOpNode& node, std::string_view arg_key,
                                    const Value& value);

// Warns about labels in the batch and spatial dimensions of a convolution's input and takes the
// spatial labels out of pruning.
void _process_input_for_conv_like_operation(PruneGraphParserState& pruning_state,
                                            const ZavoNode& input_node);

void _conv_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _linear_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// Extended rules: as `_conv_node_handler`, but labels in the input's batch dimension (heads that
// pooled attention folds into the batch) pass to the output's batch dimension, without warning.
void _conv_batch_passing_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// Extended rules: as `_linear_node_handler`, but labels in the input's leading dimensions pass to
// the output's (a layer applied over the last axis maps each leading index on its own).
void _linear_leading_passing_node_handler(PruneGraphParserState& pruning_state,
                                          const ZavoOpNode& node);
void _flatten_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
