#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"

// Placeholder bodies, replaced as the handlers are built.
namespace zavo::pruning::engine::node_handlers {
bool _unary_reduce_first_arg_is_dim(const Value&, OperationKey) { throw NotImplementedError("stub"); }
std::pair<ReduceDims, Value> _get_args_for_unary_reduce(const ZavoOpNode&) { throw NotImplementedError("stub"); }
void _unary_reduce_handler(PruneGraphParserState&, const ZavoOpNode&) { throw NotImplementedError("stub"); }
}  // namespace zavo::pruning::engine::node_handlers
