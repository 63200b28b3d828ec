#include "zavo/pruning/engine/utils.hpp"

namespace zavo::pruning::engine::utils {
namespace {

const TensorLabels* find_labels(const PruneGraphParserState& state, const ZavoNode& node) {
  auto it = state.channel_labels_by_nodes.find(&node);
  return it == state.channel_labels_by_nodes.end() ? nullptr : &it->second;
}

void unindex_node(PruneGraphParserState& state, const ZavoNode& node) {
  auto positions = state.channel_label_positions_in_nodes.find(&node);
  if (positions == state.channel_label_positions_in_nodes.end())
    return;
  for (const auto& [label, unused] : positions->second) {
    auto nodes = state.nodes_by_channel_labels.find(label);
    if (nodes == state.nodes_by_channel_labels.end())
      continue;
    nodes->second.erase(&node);
    if (nodes->second.empty())
      state.nodes_by_channel_labels.erase(nodes);
  }
  state.channel_label_positions_in_nodes.erase(positions);
}

}  // namespace

DimensionLabels make_labels(LabelList labels) {
  return std::make_shared<LabelList>(std::move(labels));
}

std::string labels_text(const DimensionLabels& labels) {
  if (!labels)
    return "None";
  std::string out = "[";
  for (std::size_t i = 0; i < labels->size(); ++i) {
    if (i)
      out += ", ";
    out += std::to_string((*labels)[i]);
  }
  return out + "]";
}

std::string labels_text(const TensorLabels& labels) {
  std::string out = "[";
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i)
      out += ", ";
    out += labels_text(labels[i]);
  }
  return out + "]";
}

void add_node_output_info(const AddNodeOutputInfo& call) {
  auto& state = call.pruning_state;
  const ZavoNode* node = &call.node;
  unindex_node(state, *node);

  auto& positions = state.channel_label_positions_in_nodes[node];
  for (std::size_t dim = 0; dim < call.labels.size(); ++dim) {
    const auto& dim_labels = call.labels[dim];
    if (!dim_labels)
      continue;
    for (std::size_t idx = 0; idx < dim_labels->size(); ++idx) {
      Label label = (*dim_labels)[idx];
      positions[label].push_back(
          Position{static_cast<std::int64_t>(dim), static_cast<std::int64_t>(idx)});
      state.nodes_by_channel_labels[label].insert(node);
    }
  }
  if (positions.empty())
    state.channel_label_positions_in_nodes.erase(node);
  state.channel_labels_by_nodes[node] = call.labels;
}

DimensionLabels generate_new_channel_labels(const GenerateNewChannelLabels& call) {
  const auto& shape = call.node.result_shape;
  if (!shape) {
    throw LookupError("cannot create labels for node " + call.node.name + ": its shape is unknown");
  }
  if (call.dim < 0 || call.dim >= static_cast<std::int64_t>(shape->size())) {
    throw LookupError("cannot create labels for dimension " + std::to_string(call.dim) +
                      " of node " + call.node.name + " with shape " +
                      tensor_trace::shape_text(*shape));
  }
  auto& state = call.pruning_state;
  auto size = (*shape)[static_cast<std::size_t>(call.dim)];
  LabelList labels;
  labels.reserve(static_cast<std::size_t>(size));
  for (std::int64_t i = 0; i < size; ++i) {
    Label label = state.next_label++;
    state.is_prunable[label] = call.is_prunable;
    if (state.observer)
      state.observer->label_created(label, call.is_prunable);
    labels.push_back(label);
  }
  return make_labels(std::move(labels));
}

bool is_label_prunable(const PruneGraphParserState& pruning_state, Label label) {
  auto it = pruning_state.is_prunable.find(label);
  return it != pruning_state.is_prunable.end() && it->second;
}

void mark_non_prunable(PruneGraphParserState& pruning_state, Label label) {
  auto [it, added] = pruning_state.is_prunable.try_emplace(label, false);
  if (!added) {
    if (!it->second)
      return;
    it->second = false;
  }
  if (pruning_state.observer)
    pruning_state.observer->label_marked_non_prunable(label);
}

bool has_recorded_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  return find_labels(pruning_state, node) != nullptr;
}

TensorLabels get_prune_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  const TensorLabels* labels = find_labels(pruning_state, node);
  if (!labels)
    throw LookupError("node " + node.name + " has no recorded labels");
  return *labels;
}

DimensionLabels get_prune_labels_by_dim(const PruneGraphParserState& pruning_state,
                                        const ZavoNode& node, std::int64_t dim) {
  const TensorLabels* labels = find_labels(pruning_state, node);
  if (!labels)
    return nullptr;
  auto n = static_cast<std::int64_t>(labels->size());
  if (dim < 0)
    dim += n;
  if (dim < 0 || dim >= n)
    return nullptr;
  return (*labels)[static_cast<std::size_t>(dim)];
}

LabelList get_flatten_labels(const PruneGraphParserState& pruning_state, const ZavoNode& node) {
  LabelList flat;
  const TensorLabels* labels = find_labels(pruning_state, node);
  if (!labels)
    return flat;
  for (const auto& dim_labels : *labels) {
    if (dim_labels)
      flat.insert(flat.end(), dim_labels->begin(), dim_labels->end());
  }
  return flat;
}

std::optional<std::int64_t> get_prune_dimension(const PruneGraphParserState& pruning_state,
                                                const ZavoNode& node) {
  const TensorLabels* labels = find_labels(pruning_state, node);
  if (!labels)
    return std::nullopt;
  std::optional<std::int64_t> prune_dim;
  for (std::size_t dim = 0; dim < labels->size(); ++dim) {
    if (!(*labels)[dim])
      continue;
    if (prune_dim)
      throw PruningEngineRuntimeException("Multiple prune dimensions are not supported");
    prune_dim = static_cast<std::int64_t>(dim);
  }
  return prune_dim;
}

}  // namespace zavo::pruning::engine::utils
