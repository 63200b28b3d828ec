#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

#include <cstddef>
#include <optional>
#include <string>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

std::string describe(const ZavoOpNode& node) {
  return node.operation_name + " node " + node.name;
}

}  // namespace

const ZavoNode& _as_tensor_argument(const ZavoOpNode& node, std::string_view arg_key,
                                    const Value& value) {
  if (value.is_none())
    throw LookupError(describe(node) + " has no " + std::string(arg_key) + " argument");
  if (!is_zavo_node(value)) {
    throw TypeError(describe(node) + ": argument " + std::string(arg_key) +
                    " must be a tensor, got " + type_text(value) + " " + text_form(value));
  }
  return value.as_node();
}

namespace {

// An optional tensor argument (a bias): none stays none, anything else must be a traced tensor.
const ZavoNode* optional_tensor_argument(const ZavoOpNode& node, std::string_view arg_key,
                                         const Value& value) {
  return value.is_none() ? nullptr : &_as_tensor_argument(node, arg_key, value);
}

// An integer argument. A boolean or a floating-point number is a wrong type here, not a value
// to be compared by its numeric meaning.
std::int64_t integer_argument(const ZavoOpNode& node, std::string_view arg_key,
                              const Value& value) {
  if (!value.is_int()) {
    throw TypeError(describe(node) + ": argument " + std::string(arg_key) +
                    " must be an integer, got " + type_text(value) + " " + text_form(value));
  }
  return value.as_int();
}

// The handlers index fixed dimensions (channels, features, the joined dimension) of shapes and
// label records. A record with too few entries is a graph this engine does not support; it is
// refused before the handler changes anything.
// `what()` names what lacks the dimensions; it is only called to raise, so that a layer that has
// them formats no text.
template <typename What>
void require_dimensions(const ZavoOpNode& node, What&& what, std::size_t count,
                        std::size_t needed) {
  if (count < needed) {
    throw PruningEngineRuntimeException(describe(node) + ": " + what() + " has fewer than " +
                                        std::to_string(needed) + " dimensions");
  }
}

// The node's output shape, which the layer handlers read their channel counts from.
const Shape& required_result_shape(const ZavoOpNode& node, std::size_t needed) {
  if (!node.result_shape)
    throw LookupError(describe(node) + ": the output shape is unknown");
  require_dimensions(
      node, [&] { return "the output shape " + tensor_trace::shape_text(*node.result_shape); },
      node.result_shape->size(), needed);
  return *node.result_shape;
}

void require_label_entries(const ZavoOpNode& node, const ZavoNode& tensor,
                           std::span<const DimensionLabels> labels, std::size_t needed) {
  require_dimensions(
      node, [&] { return "the label record of " + tensor.name; }, labels.size(), needed);
}

const DimensionLabels& at(std::span<const DimensionLabels> labels, std::int64_t dim) {
  return labels[static_cast<std::size_t>(dim)];
}

std::int64_t at(const Shape& shape, std::int64_t dim) {
  return shape[static_cast<std::size_t>(dim)];
}

// Dimensions an activation needs for its channel dimension to exist.
constexpr auto CHANNEL_LAYOUT_DIMS = static_cast<std::size_t>(CNN_PRUNE_DIM) + 1;

// The input, weight and optional bias of a layer call, read in that order. Convolutions and the
// fully-connected layer share their positions and names.
struct LayerArguments {
  const ZavoNode& input_node;
  const ZavoNode& weight;
  const ZavoNode* bias;
};

LayerArguments read_layer_arguments(const ZavoOpNode& node) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;
  const ZavoNode& input_node = _as_tensor_argument(
      node, "input",
      get_argument({.arg_pos = 0, .arg_key = "input", .args = args, .kwargs = kwargs}));
  const ZavoNode& weight = _as_tensor_argument(
      node, "weight",
      get_argument({.arg_pos = 1, .arg_key = "weight", .args = args, .kwargs = kwargs}));
  const ZavoNode* bias = optional_tensor_argument(node, "bias",
                                                  get_argument({.arg_pos = 2,
                                                                .arg_key = "bias",
                                                                .args = args,
                                                                .kwargs = kwargs,
                                                                .default_value = Value::none()}));
  return {input_node, weight, bias};
}

// Folds the bias's labels into the output labels position by position; without a bias the
// output labels stay as they are.
DimensionLabels fold_bias(PruneGraphParserState& pruning_state,
                          const DimensionLabels& output_labels, const ZavoNode* bias) {
  if (!bias)
    return output_labels;
  return _merge_label_groups(pruning_state,
                             {output_labels, get_prune_labels_by_dim(pruning_state, *bias, 0)});
}

// True when a convolution that tied its input's channels to its weight loses no prunable label
// of its inputs: the weight is a parameter of its own, so the tie keeps the input's channels;
// the weight's output channels and the bias's are the output's; the spatial labels of input and
// weight left pruning; the input's batch labels pass to the output or there are none; and the
// call has no other tensor argument.
bool keeps_inputs(const PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                  const LayerArguments& layer, std::span<const DimensionLabels> input_labels,
                  bool batch_passes) {
  const auto& [input_node, weight, bias] = layer;
  if (weight.kind != tensor_trace::NodeKind::Parameter || &weight == &input_node ||
      (bias && (bias == &weight || bias == &input_node)))
    return false;
  if (!batch_passes && at(input_labels, BATCH_DIM))
    return false;
  std::size_t tensor_arguments = 0;
  node.for_each_input_node([&tensor_arguments](const ZavoNode&) { ++tensor_arguments; });
  if (tensor_arguments != (bias ? 3u : 2u))
    return false;
  if (!bias)
    return true;
  const NodeLabels bias_labels(pruning_state, *bias);
  for (std::size_t d = 1; d < bias_labels.size(); ++d) {
    if (bias_labels[d])
      return false;
  }
  return true;
}

// Every spatial label of a convolution's input leaves pruning, with a warning per labelled
// dimension.
void mark_spatial_labels(PruneGraphParserState& pruning_state,
                         std::span<const DimensionLabels> input_labels) {
  for (std::size_t dim = 2; dim < input_labels.size(); ++dim) {
    const DimensionLabels& dim_labels = input_labels[dim];
    if (dim_labels)
      _warn("Attempting to prune convolution-like operation along spatial dimension");
    _mark_labels_as_non_prunable(pruning_state, dim_labels);
  }
}

}  // namespace

void _process_input_for_conv_like_operation(PruneGraphParserState& pruning_state,
                                            const ZavoNode& input_node) {
  const NodeLabels input_labels(pruning_state, input_node);
  // A record without a batch entry carries no batch labels.
  if (input_labels.size() > static_cast<std::size_t>(BATCH_DIM) && at(input_labels, BATCH_DIM)) {
    _warn("Convolution-like operation input has prunable labels in batch dimension (" +
          std::to_string(BATCH_DIM) + ")");
  }
  // Batch labels stay as they are; every spatial label leaves pruning.
  mark_spatial_labels(pruning_state, input_labels);
}

namespace {

// The convolution handler. With `batch_passes`, labels in the input's batch dimension pass to
// the output's batch dimension (each batch entry is convolved on its own) instead of being
// warned about and left behind.
void convolve(PruneGraphParserState& pruning_state, const ZavoOpNode& node, bool batch_passes) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;

  const LayerArguments layer = read_layer_arguments(node);
  const auto& [input_node, weight, bias] = layer;
  const std::int64_t groups = integer_argument(
      node, "groups",
      get_argument(
          {.arg_pos = 6, .arg_key = "groups", .args = args, .kwargs = kwargs, .default_value = 1}));

  const tensor_trace::ResultShape& input_shape = get_shape(input_node);
  if (!input_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }
  // The batched layout is assumed: channels in dimension 1 of the input and of the output.
  require_dimensions(
      node,
      [&, &input = input_node] {
        return "the shape " + tensor_trace::shape_text(*input_shape) + " of input " + input.name;
      },
      input_shape->size(), CHANNEL_LAYOUT_DIMS);
  const std::int64_t in_channels = at(*input_shape, CNN_PRUNE_DIM);
  const std::int64_t out_channels =
      at(required_result_shape(node, CHANNEL_LAYOUT_DIMS), CNN_PRUNE_DIM);

  const NodeLabels input_labels(pruning_state, input_node);
  const NodeLabels weight_labels(pruning_state, weight);
  require_label_entries(node, input_node, input_labels, CHANNEL_LAYOUT_DIMS);
  require_label_entries(node, weight, weight_labels, 2);

  // A transposed convolution's weight holds its input channels first.
  const bool transposed = node.operation_name.find("transpose") != std::string::npos;
  const std::int64_t out_dim = transposed ? 1 : 0;
  const std::int64_t in_dim = transposed ? 0 : 1;
  // The weight dimension sized by the full channel count rather than a count per group.
  const std::int64_t non_group_dim = 0;

  if (batch_passes)
    mark_spatial_labels(pruning_state, input_labels);
  else
    _process_input_for_conv_like_operation(pruning_state, input_node);
  for (std::size_t dim = 2; dim < weight_labels.size(); ++dim)
    _mark_labels_as_non_prunable(pruning_state, weight_labels[dim]);

  if (is_operation_node(weight))
    _warn("Conv layer with weight dependent on model inputs");
  if (bias && is_operation_node(*bias))
    _warn("Conv layer with bias dependent on model inputs");
  if (out_channels == 1)
    _warn("Conv layer with single output channel");

  DimensionLabels output_channel_labels;
  if (groups == 1) {
    _tie_label_groups(pruning_state, {at(input_labels, CNN_PRUNE_DIM), at(weight_labels, in_dim)});
    // The weight's list is the stored one, so it already shows the merge.
    output_channel_labels = at(weight_labels, out_dim);
  } else if (out_channels == in_channels && in_channels == groups) {
    // Depthwise: input channel i, weight slice i and output channel i are one class.
    output_channel_labels = _merge_label_groups(
        pruning_state, {at(input_labels, CNN_PRUNE_DIM), at(weight_labels, non_group_dim)});
  } else {
    // Other grouped convolutions: no channel of the layer can be pruned.
    _mark_labels_as_non_prunable(pruning_state, at(input_labels, CNN_PRUNE_DIM));
    _mark_labels_as_non_prunable(pruning_state, at(weight_labels, in_dim));
    _mark_labels_as_non_prunable(pruning_state, at(weight_labels, out_dim));
  }

  output_channel_labels = fold_bias(pruning_state, output_channel_labels, bias);

  TensorLabelsBuffer output_labels(input_shape->size());
  if (batch_passes)
    output_labels[BATCH_DIM] = at(input_labels, BATCH_DIM);
  output_labels[CNN_PRUNE_DIM] = output_channel_labels;
  add_node_output_info(
      {.pruning_state = pruning_state,
       .node = node,
       .labels = output_labels,
       .keeps_input_labels =
           groups == 1 && keeps_inputs(pruning_state, node, layer, input_labels, batch_passes)});
}

// The fully-connected layer's handler. With `leading_pass`, labels in the input's leading
// dimensions pass to the same dimensions of the output (every leading index is mapped on its
// own) instead of going nowhere.
void fully_connect(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                   bool leading_pass) {
  const auto [input_node, weight, bias] = read_layer_arguments(node);

  const std::int64_t out_dim = 0;
  const std::int64_t in_dim = 1;

  // Input and output have the same number of dimensions, so the output's last dimension also
  // addresses the input's features.
  const Shape& result_shape = required_result_shape(node, 1);
  const auto last_dim = static_cast<std::int64_t>(result_shape.size()) - 1;
  const std::int64_t out_features = at(result_shape, last_dim);

  const NodeLabels weight_labels(pruning_state, weight);
  const NodeLabels input_labels(pruning_state, input_node);
  require_label_entries(node, weight, weight_labels, 2);
  require_label_entries(node, input_node, input_labels, result_shape.size());

  if (is_operation_node(weight))
    _warn("Fully-connected layer have weight dependent on model inputs");
  if (bias && is_operation_node(*bias))
    _warn("Fully-connected layer have bias dependent on model inputs");
  if (out_features == 1)
    _warn("Fully-connected layer with single output feature");

  _tie_label_groups(pruning_state, {at(input_labels, last_dim), at(weight_labels, in_dim)});
  // The weight's list is the stored one, so it already shows the merge.
  DimensionLabels output_feature_labels = at(weight_labels, out_dim);
  output_feature_labels = fold_bias(pruning_state, output_feature_labels, bias);

  // Without `leading_pass`, labels in the input's leading dimensions go nowhere: the output
  // records none there.
  TensorLabelsBuffer output_labels(result_shape.size());
  if (leading_pass) {
    for (std::size_t d = 0; d + 1 < result_shape.size(); ++d)
      output_labels[d] = input_labels[d];
  }
  output_labels[static_cast<std::size_t>(last_dim)] = output_feature_labels;
  add_node_output_info({.pruning_state = pruning_state, .node = node, .labels = output_labels});
}

}  // namespace

void _conv_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  convolve(pruning_state, node, /*batch_passes=*/false);
}

void _conv_batch_passing_node_handler(PruneGraphParserState& pruning_state,
                                      const ZavoOpNode& node) {
  convolve(pruning_state, node, /*batch_passes=*/true);
}

void _linear_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  fully_connect(pruning_state, node, /*leading_pass=*/false);
}

void _linear_leading_passing_node_handler(PruneGraphParserState& pruning_state,
                                          const ZavoOpNode& node) {
  fully_connect(pruning_state, node, /*leading_pass=*/true);
}

void _flatten_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;

  const ZavoNode& src_node = _as_tensor_argument(
      node, "input",
      get_argument({.arg_pos = 0, .arg_key = "input", .args = args, .kwargs = kwargs}));
  std::int64_t start_dim = integer_argument(node, "start_dim",
                                            get_argument({.arg_pos = 1,
                                                          .arg_key = "start_dim",
                                                          .args = args,
                                                          .kwargs = kwargs,
                                                          .default_value = 0}));
  std::int64_t end_dim = integer_argument(node, "end_dim",
                                          get_argument({.arg_pos = 2,
                                                        .arg_key = "end_dim",
                                                        .args = args,
                                                        .kwargs = kwargs,
                                                        .default_value = -1}));

  // The joined range is normalised against the input's dimensions; without them there is
  // nothing to normalise against.
  const tensor_trace::ResultShape& input_shape = get_shape(src_node);
  if (!input_shape)
    throw LookupError(describe(node) + ": the shape of input " + src_node.name + " is unknown");
  require_dimensions(
      node, [&] { return "input " + src_node.name; }, input_shape->size(), 1);
  const auto n_dims = static_cast<std::int64_t>(input_shape->size());
  start_dim = floor_mod(start_dim, n_dims);
  end_dim = floor_mod(end_dim, n_dims);

  TensorLabels input_labels = get_prune_labels(pruning_state, src_node);
  std::optional<std::int64_t> prune_dimension;
  try {
    prune_dimension = get_prune_dimension(pruning_state, src_node);
  } catch (const PruningEngineRuntimeException&) {
    _default_node_handler(pruning_state, node);
    return;
  }
  if (!prune_dimension) {
    _default_node_handler(pruning_state, node);
    return;
  }

  std::int64_t new_prune_dim = 0;
  if (start_dim <= *prune_dimension && *prune_dimension <= end_dim) {
    // Joined: the labels survive only when the joined dimension keeps the pruned one's size.
    const Shape& result_shape =
        required_result_shape(node, static_cast<std::size_t>(start_dim) + 1);
    if (at(*input_shape, *prune_dimension) != at(result_shape, start_dim)) {
      _default_node_handler(pruning_state, node);
      return;
    }
    new_prune_dim = start_dim;
  } else {
    new_prune_dim =
        *prune_dimension < start_dim ? *prune_dimension : *prune_dimension - (end_dim - start_dim);
  }

  add_node_output_info({.pruning_state = pruning_state,
                        .node = node,
                        .labels = _swap_prune_dims(input_labels, *prune_dimension, new_prune_dim)});
}

}  // namespace zavo::pruning::engine::node_handlers
