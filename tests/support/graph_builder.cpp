#include "support/graph_builder.hpp"

#include <algorithm>

namespace zavo::testing {

using namespace pruning::engine::utils;

DimensionLabels GraphBuilder::L(std::initializer_list<Label> labels) {
  return make_labels(state, labels);
}

std::string GraphBuilder::auto_name() {
  return "n" + std::to_string(graph.size());
}

const ZavoNode& GraphBuilder::tensor(std::string name, std::optional<Shape> shape,
                                     TensorLabels labels) {
  const ZavoNode& node =
      graph.add_parameter(name.empty() ? auto_name() : std::move(name), std::move(shape));
  for (const auto& dim_labels : labels) {
    if (!dim_labels)
      continue;
    for (Label label : *dim_labels) {
      if (!state.prunable_flag(label))
        state.set_prunable_flag(label, true);
      state.next_label = std::max(state.next_label, label + 1);
    }
  }
  add_node_output_info({.pruning_state = state, .node = node, .labels = std::move(labels)});
  return node;
}

const ZavoOpNode& GraphBuilder::call(std::string_view op, Args args, Kwargs kwargs,
                                     std::optional<Shape> shape,
                                     std::optional<std::string> operation_name) {
  return graph.add_call(auto_name(), tensor_trace::intern_operation(op), std::move(args),
                        std::move(kwargs), std::move(shape), std::move(operation_name));
}

void GraphBuilder::run(const ZavoOpNode& node) {
  pruning::engine::node_handlers::get_node_handler(node)(state, node);
}

TensorLabels GraphBuilder::labels(const ZavoNode& node) const {
  return get_prune_labels(state, node);
}

bool GraphBuilder::recorded(const ZavoNode& node) const {
  return has_recorded_labels(state, node);
}

std::string GraphBuilder::text(const ZavoNode& node) const {
  return recorded(node) ? labels_text(labels(node)) : "<unrecorded>";
}

bool GraphBuilder::prunable(Label label) const {
  return state.prunable_flag(label).value();
}

bool GraphBuilder::has_label(Label label) const {
  return state.prunable_flag(label).has_value();
}

std::vector<std::pair<Label, bool>> GraphBuilder::flags() const {
  std::vector<std::pair<Label, bool>> entries;
  state.for_each_prunable_entry(
      [&](Label label, bool prunable) { entries.emplace_back(label, prunable); });
  return entries;
}

}  // namespace zavo::testing
