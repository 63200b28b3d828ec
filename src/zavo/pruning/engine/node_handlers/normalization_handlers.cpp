#include "zavo/pruning/engine/node_handlers/normalization_handlers.hpp"

#include <algorithm>
#include <utility>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/dimension_helpers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"
#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

// Ties the channels of one dimension of the input with the given dimensions of its parameters,
// as the batch normalisation ties its parameters: a parameter without labels there takes the
// others out of pruning.
void tie_parameters(PruneGraphParserState& pruning_state, const DimensionLabels& channels,
                    std::vector<DimensionLabels> parameters) {
  parameters.push_back(channels);
  _tie_label_groups(pruning_state, parameters);
}

// The number of normalised trailing dimensions: one for an integer, the length of a sequence.
std::optional<std::size_t> normalised_dims(const Value& normalized_shape) {
  if (normalized_shape.is_int())
    return 1;
  if (normalized_shape.is_sequence())
    return normalized_shape.as_sequence().size();
  return std::nullopt;
}

}  // namespace

void _channelwise_any_dims_node_handler(PruneGraphParserState& pruning_state,
                                        const ZavoOpNode& node) {
  const ZavoNode& src = _get_input_for_elementwise_node(node);
  bool several = false;
  try {
    get_prune_dimension(pruning_state, src);
  } catch (const PruningEngineRuntimeException&) {
    several = true;
  }
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  if (!several || !labels || labels->size() <= static_cast<std::size_t>(CNN_PRUNE_DIM)) {
    _channelwise_node_handler(pruning_state, node);
    return;
  }
  if (node.operation_name == "batch_norm") {
    std::vector<const ZavoNode*> params = node.collect_all_input_nodes();
    std::erase(params, &src);
    std::vector<DimensionLabels> parameters;
    for (const ZavoNode* param : params) {
      if (!param->result_shape || param->result_shape->size() != 1) {
        throw PruningEngineRuntimeException(
            "One of the batch norm parameters has more than one dimension");
      }
      parameters.push_back(get_prune_labels_by_dim(pruning_state, *param, BATCH_NORM_PRUNE_DIM));
    }
    tie_parameters(pruning_state, (*labels)[static_cast<std::size_t>(CNN_PRUNE_DIM)],
                   std::move(parameters));
  }
  _record(pruning_state, node, *_shaped_labels(pruning_state, src));
}

void _layer_norm_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  const auto count = normalised_dims(get_argument(
      {.arg_pos = 1, .arg_key = "normalized_shape", .args = node.args, .kwargs = node.kwargs}));
  const ZavoNode* weight = _tensor_argument_or_null(node, 2, "weight");
  // rms_norm has no bias; its fourth argument is the epsilon.
  const ZavoNode* bias =
      node.operation_name == "rms_norm" ? nullptr : _tensor_argument_or_null(node, 3, "bias");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  bool valid = labels && count && *count <= labels->size() && node.result_shape &&
               *node.result_shape == *src.result_shape;
  for (const ZavoNode* parameter : {weight, bias}) {
    valid = valid &&
            (!parameter || (parameter->result_shape && parameter->result_shape->size() == *count &&
                            has_recorded_labels(pruning_state, *parameter)));
  }
  if (!valid) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::size_t first = labels->size() - *count;
  for (std::size_t j = 0; j < *count; ++j) {
    std::vector<DimensionLabels> parameters;
    for (const ZavoNode* parameter : {weight, bias}) {
      if (parameter)
        parameters.push_back(
            get_prune_labels_by_dim(pruning_state, *parameter, static_cast<std::int64_t>(j)));
    }
    if (!parameters.empty())
      tie_parameters(pruning_state, (*labels)[first + j], std::move(parameters));
  }
  _record(pruning_state, node, *_shaped_labels(pruning_state, src));
}

void _group_norm_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  const auto groups = _int_argument(node, 1, "num_groups", std::nullopt);
  const ZavoNode* weight = _tensor_argument_or_null(node, 2, "weight");
  const ZavoNode* bias = _tensor_argument_or_null(node, 3, "bias");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  const std::int64_t channels = labels && labels->size() >= 2 ? (*src.result_shape)[1] : 0;
  bool valid = channels > 0 && groups && *groups > 0 && channels % *groups == 0 &&
               node.result_shape && *node.result_shape == *src.result_shape;
  for (const ZavoNode* parameter : {weight, bias}) {
    valid = valid && (!parameter ||
                      (parameter->result_shape && *parameter->result_shape == Shape{channels} &&
                       has_recorded_labels(pruning_state, *parameter)));
  }
  if (!valid) {
    _default_node_handler(pruning_state, node);
    return;
  }
  std::vector<DimensionLabels> parameters;
  for (const ZavoNode* parameter : {weight, bias}) {
    if (parameter)
      parameters.push_back(get_prune_labels_by_dim(pruning_state, *parameter, 0));
  }
  tie_parameters(pruning_state, (*labels)[1], std::move(parameters));
  // Removing a channel from a group would move channels between groups: each group is pruned
  // whole (and the group count follows).
  if (*groups > 1 && *groups < channels) {
    const std::int64_t sizes[] = {*groups, channels / *groups};
    _fold_into_dimension(pruning_state, get_prune_labels_by_dim(pruning_state, src, 1), sizes, 0);
  }
  _record(pruning_state, node, *_shaped_labels(pruning_state, src));
}

void _instance_norm_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  std::vector<const ZavoNode*> params = node.collect_all_input_nodes();
  std::erase(params, &src);
  const std::int64_t channels = labels && labels->size() >= 2 ? (*src.result_shape)[1] : 0;
  const bool valid = channels > 0 && node.result_shape && *node.result_shape == *src.result_shape &&
                     std::ranges::all_of(params, [&](const ZavoNode* param) {
                       return param->result_shape && *param->result_shape == Shape{channels} &&
                              has_recorded_labels(pruning_state, *param);
                     });
  if (!valid) {
    _default_node_handler(pruning_state, node);
    return;
  }
  std::vector<DimensionLabels> parameters;
  for (const ZavoNode* param : params)
    parameters.push_back(get_prune_labels_by_dim(pruning_state, *param, 0));
  tie_parameters(pruning_state, (*labels)[1], std::move(parameters));
  _record(pruning_state, node, *_shaped_labels(pruning_state, src));
}

void _embedding_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& ids = _required_tensor_argument(node, 0, "input");
  const ZavoNode& weight = _required_tensor_argument(node, 1, "weight");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, ids);
  std::optional<TensorLabels> weight_labels = _shaped_labels(pruning_state, weight);
  if (!labels || !weight_labels || weight_labels->size() != 2 || !node.result_shape ||
      node.result_shape->size() != labels->size() + 1 ||
      node.result_shape->back() != weight.result_shape->back()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  // A row is a token id: removing one would renumber the tokens after it.
  _mark_labels_as_non_prunable(pruning_state, (*weight_labels)[0]);
  labels->push_back((*weight_labels)[1]);
  _record(pruning_state, node, std::move(*labels));
}

void _statistic_reduce_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  auto [dim, keepdim] = _get_args_for_unary_reduce(node);
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  // A reduction over every dimension is left to the default, as in the catalogue.
  if (!dim || !labels || !node.result_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::size_t rank = labels->size();
  std::vector<bool> reduced(rank, false);
  for (std::int64_t item : *dim) {
    const auto index = rank ? _dimension_index(item, rank) : std::nullopt;
    if (!index) {
      _default_node_handler(pruning_state, node);
      return;
    }
    reduced[*index] = true;
  }
  const bool kept = keepdim.truthy();
  const auto removed = static_cast<std::size_t>(std::ranges::count(reduced, true));
  if (node.result_shape->size() != (kept ? rank : rank - removed)) {
    _default_node_handler(pruning_state, node);
    return;
  }
  TensorLabels out;
  for (std::size_t d = 0; d < rank; ++d) {
    if (!reduced[d]) {
      out.push_back((*labels)[d]);
    } else if (kept) {
      out.push_back(nullptr);  // a statistic: the channels stay prunable
    } else {
      _mark_labels_as_non_prunable(pruning_state, (*labels)[d]);
    }
  }
  _record(pruning_state, node, std::move(out));
}

}  // namespace zavo::pruning::engine::node_handlers
