#pragma once
// Handlers of operations whose output keeps the channel layout of their inputs: element-wise,
// binary element-wise with broadcasting, channel-wise, dropout and concatenation.

#include <utility>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

// The node's first positional argument, which must be a traced tensor.
const ZavoNode& _get_input_for_elementwise_node(const ZavoOpNode& node);

struct ElementwiseNodeHandler {
  PruneGraphParserState& pruning_state;
  const ZavoOpNode& node;
  // Whose labels the output takes; none means the node's first positional argument.
  Value src_node = Value::none();
};

void _elementwise_node_handler(const ElementwiseNodeHandler& call);
void _elementwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// The first two positional arguments.
std::pair<Value, Value> _get_inputs_for_binary_node(const ZavoOpNode& node);
void _binary_elementwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

// `src_node` names the main input; null means the node's first positional argument.
void _channelwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                               const ZavoNode* src_node);
void _channelwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

void _dropout_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);

void _cat_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node);
// The same with the concatenation dimension given, compared with the dimension indices as given.
void _cat_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                       const Value& cat_dim);

}  // namespace zavo::pruning::engine::node_handlers
