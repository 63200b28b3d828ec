#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

// Placeholder bodies, replaced as the handlers are built.
namespace zavo::pruning::engine::node_handlers {
void _process_input_for_conv_like_operation(PruneGraphParserState&, const ZavoNode&) { throw NotImplementedError("stub"); }
void _conv_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _linear_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _flatten_node_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
}  // namespace zavo::pruning::engine::node_handlers
