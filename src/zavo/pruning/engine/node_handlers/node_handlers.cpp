#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/registry.hpp"

namespace zavo::pruning::engine::node_handlers {

using supported_ops::get_torch_and_tensor_methods;
using tensor_trace::intern_operation;

NodeHandler NodeHandlerRegistration::operator()(NodeHandler func) const {
  for (OperationKey node : nodes_) {
    auto [it, inserted] = registry_->try_emplace(node, func);
    if (!inserted && it->second != func) {
      throw ValueError("Pruning handler for node " + node->qualified_name() +
                       " has already been registered");
    }
  }
  return func;
}

NodeHandlerRegistration _register_node_handler(OperationKey node, HandlerRegistry& registry) {
  return NodeHandlerRegistration({node}, registry);
}

NodeHandlerRegistration _register_node_handler(const OperationList& nodes,
                                               HandlerRegistry& registry) {
  return NodeHandlerRegistration(nodes, registry);
}

namespace {

// The registration table, run once in this order. A conflicting row aborts the load.
// `_default_node_handler` is the lookup's fall-back and `_node_keep_state` is only called by
// other handlers, so neither has a row.
HandlerRegistry load_registry() {
  HandlerRegistry registry;
  auto row = [&registry](const auto& nodes, NodeHandler handler) {
    _register_node_handler(nodes, registry)(handler);
  };
  row(ELEMENTWISE_OPS, _elementwise_node_handler);
  row(CHANNELWISE_OPS, _channelwise_node_handler);
  row(UNARY_REDUCE_OPS, _unary_reduce_handler);
  row(DROPOUT_OPS, _dropout_node_handler);
  row(OperationList{intern_operation("torch.nn.functional.conv1d"),
                    intern_operation("torch.nn.functional.conv2d"),
                    intern_operation("torch.nn.functional.conv3d"),
                    intern_operation("torch.nn.functional.conv_transpose1d"),
                    intern_operation("torch.nn.functional.conv_transpose2d"),
                    intern_operation("torch.nn.functional.conv_transpose3d")},
      _conv_node_handler);
  row(intern_operation("torch.nn.functional.linear"), _linear_node_handler);
  row(get_torch_and_tensor_methods("flatten"), _flatten_node_handler);
  row(BINARY_ELEMENTWISE_OPS, _binary_elementwise_node_handler);
  row(intern_operation("torch.cat"), _cat_node_handler);
  row(intern_operation("torch.Tensor.size"), _tensor_get_node_handler);
  return registry;
}

}  // namespace

const HandlerRegistry& PRUNING_NODE_HANDLER_REGISTRY() {
  static const HandlerRegistry registry = load_registry();
  return registry;
}

NodeHandler get_node_handler(const ZavoOpNode& node) {
  if (node.operation_name == "__get__")
    return _tensor_get_node_handler;
  const auto& registry = PRUNING_NODE_HANDLER_REGISTRY();
  auto it = registry.find(node.operation);
  if (it == registry.end())
    return static_cast<NodeHandler>(_default_node_handler);
  return it->second;
}

NodeHandler get_node_handler(const ZavoOpNode& node, RuleSet rules) {
  if (rules == RuleSet::Extended) {
    const auto& registry = EXTENDED_NODE_HANDLER_REGISTRY();
    if (auto it = registry.find(node.operation); it != registry.end())
      return it->second;
  }
  return get_node_handler(node);
}

std::string_view rule_set_name(RuleSet rules) {
  return rules == RuleSet::Extended ? "extended" : "core";
}

std::optional<RuleSet> parse_rule_set(std::string_view name) {
  if (name == "core")
    return RuleSet::Core;
  if (name == "extended")
    return RuleSet::Extended;
  return std::nullopt;
}

}  // namespace zavo::pruning::engine::node_handlers
