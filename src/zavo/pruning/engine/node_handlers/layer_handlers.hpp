#pragma once
// Handlers of operations that map channels through a weight or join dimensions: convolution,
// fully-connected layer and flatten.

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// Warns about labels in the batch and spatial dimensions of a convolution's input and takes the
// spatial labels out of pruning.
void _process_input_for_conv_like_operation(PruneGraphParserState& pruning_state,
                                            const ZavoNode& input_node);

void _conv_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _linear_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
void _flatten_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
