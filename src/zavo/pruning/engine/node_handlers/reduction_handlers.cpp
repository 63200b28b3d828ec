#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using supported_ops::NORM_OPS;
using supported_ops::STD_OPS;
using supported_ops::VAR_OPS;

// Reductions with another parameter (a norm order, an unbiased flag) after the input.
bool has_own_argument_layout(OperationKey operation) {
  return NORM_OPS.contains(operation) || STD_OPS.contains(operation) || VAR_OPS.contains(operation);
}

// The dimension argument as a new list of indices: one index or name becomes a list of one, a
// sequence is copied. Names are refused first, as the reason pruning stops; the indices must
// then be integers (a boolean is not an index here).
ReduceDims dims_as_list(const Value& dim) {
  if (dim.is_none())
    return std::nullopt;
  if (!(dim.is_int() || dim.is_text() || dim.is_sequence())) {
    throw TypeError("Reduction dim of type " + type_text(dim) +
                    " is not a sequence: " + text_form(dim));
  }
  const std::span<const Value> items =
      dim.is_sequence() ? std::span<const Value>(dim.as_sequence()) : std::span(&dim, 1);
  for (const Value& item : items) {
    if (item.is_text())
      throw PruningEngineRuntimeException("Pruning does not support named tensors");
  }
  std::vector<std::int64_t> dims;
  dims.reserve(items.size());
  for (const Value& item : items) {
    if (!item.is_int()) {
      throw TypeError("Reduction dim entries must be integers, got " + type_text(item) + " " +
                      text_form(item));
    }
    dims.push_back(item.as_int());
  }
  return dims;
}

}  // namespace

bool _unary_reduce_first_arg_is_dim(const Value& arg, OperationKey operation) {
  if (NORM_OPS.contains(operation)) {
    if (arg.is_none())
      return true;
    // A norm order, given as a number or by name; here a boolean counts as an integer.
    return !(arg.is_int() || arg.is_bool() || arg.is_text());
  }
  if (STD_OPS.contains(operation) || VAR_OPS.contains(operation)) {
    // A boolean in this place is the unbiased flag.
    return !arg.is_bool();
  }
  throw NotImplementedError("Unknown reduction operation");
}

std::pair<ReduceDims, Value> _get_args_for_unary_reduce(const ZavoOpNode& node) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;
  const OperationKey operation = node.operation;
  // Empty while not resolved: distinct from every argument value, none included.
  std::optional<Value> dim;
  std::optional<Value> keepdim;

  if (has_own_argument_layout(operation)) {
    // A keyword always wins; positions are read only for what no keyword gave.
    if (const Value* value = kwargs.find("dim"))
      dim = *value;
    if (const Value* value = kwargs.find("keepdim"))
      keepdim = *value;
    if (!dim) {
      if (args.size() < 2)
        dim = Value::none();
      else if (_unary_reduce_first_arg_is_dim(args[1], operation))
        dim = args[1];
      else
        dim = args.size() >= 3 ? args[2] : Value::none();
    }
    if (!keepdim)
      keepdim = args.size() >= 4 ? args[3] : Value(false);
  } else {
    dim = get_argument({.arg_pos = 1,
                        .arg_key = "dim",
                        .args = args,
                        .kwargs = kwargs,
                        .default_value = Value::none()});
    keepdim = get_argument({.arg_pos = 2,
                            .arg_key = "keepdim",
                            .args = args,
                            .kwargs = kwargs,
                            .default_value = false});
  }
  return {dims_as_list(*dim), std::move(*keepdim)};
}

void _unary_reduce_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;
  const ZavoNode& input_node = _as_tensor_argument(
      node, "input",
      get_argument({.arg_pos = 0, .arg_key = "input", .args = args, .kwargs = kwargs}));
  auto [dim, keepdim] = _get_args_for_unary_reduce(node);

  std::optional<std::int64_t> prune_dimension;
  try {
    prune_dimension = get_prune_dimension(pruning_state, input_node);
  } catch (const PruningEngineRuntimeException&) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const tensor_trace::ResultShape& input_shape = get_shape(input_node);
  // A reduction over all dimensions, an input without labels or without a known shape.
  if (!dim || !prune_dimension || !input_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }

  const auto n_dims = static_cast<std::int64_t>(input_shape->size());
  if (*prune_dimension >= n_dims) {
    throw PruningEngineRuntimeException("Prune dimension index exceeds the number of dimensions (" +
                                        std::to_string(*prune_dimension) +
                                        " >= " + std::to_string(n_dims) + ")");
  }
  for (std::int64_t& dim_item : *dim)
    dim_item = floor_mod(dim_item, n_dims);
  std::sort(dim->begin(), dim->end());

  if (std::find(dim->begin(), dim->end(), *prune_dimension) != dim->end()) {
    _default_node_handler(pruning_state, node);
    return;
  }

  std::int64_t dims_removed_before_prune_dim = 0;
  if (!keepdim.truthy()) {
    for (std::int64_t dim_item : *dim) {
      if (dim_item > *prune_dimension)
        break;
      ++dims_removed_before_prune_dim;
    }
  }
  const std::int64_t new_prune_dim = *prune_dimension - dims_removed_before_prune_dim;

  // A new list of the stored entries: the swap changes only what is recorded for `node`.
  TensorLabels label_group = get_prune_labels(pruning_state, input_node);
  add_node_output_info({.pruning_state = pruning_state,
                        .node = node,
                        .labels = _swap_prune_dims(label_group, *prune_dimension, new_prune_dim)});
}

}  // namespace zavo::pruning::engine::node_handlers
