#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {

void _default_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                           bool mark_inputs_as_non_prunable) {
  if (mark_inputs_as_non_prunable)
    _mark_node_inputs_as_non_prunable(pruning_state, node);
  TensorLabels labels;
  if (node.result_shape)
    labels.resize(node.result_shape->size());
  add_node_output_info({.pruning_state = pruning_state, .node = node, .labels = std::move(labels)});
}

void _default_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  _default_node_handler(pruning_state, node, /*mark_inputs_as_non_prunable=*/true);
}

void _mark_node_inputs_as_non_prunable(PruneGraphParserState& pruning_state,
                                       const ZavoOpNode& node) {
  // Marking is idempotent: an input passed many times is marked once, so that the cost follows
  // the distinct inputs' labels, not the number of times they are passed.
  // Marking writes flags only, never the lists being read.
  for (const ZavoNode* input_node : node.distinct_input_nodes()) {
    for_each_recorded_label(pruning_state, *input_node,
                            [&](Label label) { mark_non_prunable(pruning_state, label); });
  }
}

void _mark_labels_as_non_prunable(PruneGraphParserState& pruning_state,
                                  const DimensionLabels& labels) {
  if (!labels)
    return;
  for (Label label : *labels)
    mark_non_prunable(pruning_state, label);
}

void _mark_labels_as_non_prunable(PruneGraphParserState& pruning_state,
                                  std::span<const Label> labels) {
  for (Label label : labels)
    mark_non_prunable(pruning_state, label);
}

void _mark_node_dim_as_non_prunable(PruneGraphParserState& pruning_state, const ZavoNode& node,
                                    std::int64_t dim) {
  _mark_labels_as_non_prunable(pruning_state, get_prune_labels_by_dim(pruning_state, node, dim));
}

void _mark_node_dimensions_as_non_prunable(PruneGraphParserState& pruning_state,
                                           const ZavoNode& node,
                                           std::span<const std::int64_t> dims) {
  for (std::int64_t dim : dims)
    _mark_node_dim_as_non_prunable(pruning_state, node, dim);
}

void _node_keep_state(const NodeKeepState& call) {
  add_node_output_info({.pruning_state = call.pruning_state,
                        .node = call.node,
                        .labels = get_prune_labels(call.pruning_state, call.src_node)});
}

void _tensor_get_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  _default_node_handler(pruning_state, node, /*mark_inputs_as_non_prunable=*/false);
}

}  // namespace zavo::pruning::engine::node_handlers
