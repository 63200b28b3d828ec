#pragma once
// The node-handler module: for each operation node of a traced graph, the handler that decides
// which channels are tied, moved, or taken out of pruning.

#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::pruning::engine::node_handlers {

// A handler changes the pruning state for one node; it returns nothing, warns, or raises.
using NodeHandler = void (*)(utils::PruneGraphParserState& pruning_state,
                             const tensor_trace::ZavoOpNode& node);

// The handler for `node`: attribute reads go to the tensor-read handler whatever their operation;
// other nodes get their operation's registered handler, or the default handler.
NodeHandler get_node_handler(const tensor_trace::ZavoOpNode& node);

}  // namespace zavo::pruning::engine::node_handlers
