#pragma once
// The handler registry: operation -> handler, filled once from the registration table.

#include <unordered_map>

#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers {

using HandlerRegistry = std::unordered_map<OperationKey, NodeHandler>;

// Registers one handler for the operations it was made with (the `wrapper` of a registration).
class NodeHandlerRegistration {
 public:
  NodeHandlerRegistration(OperationList nodes, HandlerRegistry& registry)
      : nodes_(std::move(nodes)), registry_(&registry) {}

  // Registers `func` for every bound operation in order and returns `func`. Raises `ValueError`
  // when an operation already has a different handler; entries made before that stay.
  NodeHandler operator()(NodeHandler func) const;

 private:
  OperationList nodes_;
  HandlerRegistry* registry_;
};

// One operation, or an ordered sequence of operations, bound for registration into `registry`.
NodeHandlerRegistration _register_node_handler(OperationKey node, HandlerRegistry& registry);
NodeHandlerRegistration _register_node_handler(const OperationList& nodes,
                                               HandlerRegistry& registry);

// The module's registry, loaded from the registration table on first use, read-only after.
const HandlerRegistry& PRUNING_NODE_HANDLER_REGISTRY();

// The extended rules' own table, asked before the catalogue's under `RuleSet::Extended`; loaded
// on first use, read-only after. A conflicting row aborts the load, as in the catalogue's table.
const HandlerRegistry& EXTENDED_NODE_HANDLER_REGISTRY();

}  // namespace zavo::pruning::engine::node_handlers
