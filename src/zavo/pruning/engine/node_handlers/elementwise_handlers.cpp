#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

// Placeholder bodies, replaced as the handlers are built.
namespace zavo::pruning::engine::node_handlers {
const ZavoNode& _get_input_for_elementwise_node(const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _elementwise_node_handler(const ElementwiseNodeHandler&) { throw NotImplementedError("stub"); }
void _elementwise_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
std::pair<Value, Value> _get_inputs_for_binary_node(const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _binary_elementwise_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _channelwise_node_handler(PruneGraphParserState&, const ZavoOpNode&, const ZavoNode*) { throw NotImplementedError("stub"); }
void _channelwise_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _dropout_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _cat_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
}  // namespace zavo::pruning::engine::node_handlers
