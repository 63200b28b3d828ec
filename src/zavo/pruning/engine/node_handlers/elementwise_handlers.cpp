#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "zavo/platform/first_occurrences.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

// The message for an element-wise call whose tensor was passed by keyword only. It lists every
// operation of the category, so that the user can find the offending call in the model.
std::string keyword_only_elementwise_message() {
  std::string message =
      "Unimplemented elementwise function call\nSome of the following functions (";
  bool first = true;
  for (OperationKey operation : ELEMENTWISE_OPS) {
    if (!first)
      message += ", ";
    first = false;
    message += operation->qualified_name();
  }
  message +=
      ") in your model have their first argument set with a construction "
      "\"function(input=input, ...)\". You should use \"function(input, ...)\" construction "
      "instead.";
  return message;
}

// The node whose recorded labels `value` names. Only traced tensors have labels in the state;
// a constant has none, which is the same failure as reading an unrecorded node.
const ZavoNode& labelled_node(const Value& value) {
  if (!is_zavo_node(value)) {
    throw LookupError("value " + text_form(value) + " of type " + type_text(value) +
                      " has no recorded labels");
  }
  return value.as_node();
}

// The inputs of a concatenation: the `tensors` argument must be a sequence.
ValueList cat_inputs(const Value& tensors) {
  if (!tensors.is_sequence()) {
    throw TypeError("Concatenation expects a sequence of tensors, got " + type_text(tensors) +
                    ": " + text_form(tensors));
  }
  return tensors.as_sequence();
}

// A concatenated value whose shape is read: only traced tensors have one.
const ZavoNode& cat_tensor(const Value& value) {
  if (!is_zavo_node(value)) {
    throw TypeError("Concatenation input " + text_form(value) + " is not a tensor but " +
                    type_text(value));
  }
  return value.as_node();
}

// Whether `dim` is the concatenation dimension as the call gave it. The value is compared as
// given: none, or a dimension counted from the end, equals no dimension index.
bool is_cat_dim(const Value& cat_dim, std::int64_t dim) {
  return cat_dim.is_int() && cat_dim.as_int() == dim;
}

// How many of `inputs`, from the first, the remembered concatenation stands for along the
// joined dimension (see `PruneGraphParserState::JoinedInputs`): all of its own inputs when they
// begin `inputs` and it still holds their labels, else none.
std::size_t joined_prefix(const PruneGraphParserState& pruning_state,
                          const PruneGraphParserState::JoinedInputs& memo,
                          std::span<const ZavoNode* const> inputs, std::size_t dims,
                          const Value& cat_dim) {
  const std::size_t n = memo.inputs.size();
  if (!memo.node || n == 0 || n > inputs.size() || memo.dims != dims ||
      !is_cat_dim(cat_dim, memo.dim) || !std::ranges::equal(memo.inputs, inputs.first(n)))
    return 0;
  if (!holds_input_labels(pruning_state, *memo.node) ||
      get_prune_labels_by_dim(pruning_state, *memo.node, memo.dim) != memo.list)
    return 0;
  return n;
}

// True when no input's list of a dimension other than `dim` is labelled (`lists` holds each
// input's `dims` lists in a row).
bool only_joined_dim_labelled(std::span<const DimensionLabels> lists, std::size_t dims,
                              std::int64_t dim) {
  for (std::size_t i = 0; i < lists.size(); ++i) {
    if (lists[i] && static_cast<std::int64_t>(i % dims) != dim)
      return false;
  }
  return true;
}

// A list's identity within its state; -1 for none.
std::int64_t list_identity(const DimensionLabels& labels) {
  return labels ? static_cast<std::int64_t>(labels.id()) : -1;
}

// The rows of a position-by-position tie with each list once. A repeated list adds no label to
// any column, so the tie comes out the same, at the cost of the distinct lists rather than of
// every repeat. A list given more than once stays twice, so that the tie still makes a new list
// of survivors as it does for several rows; when the lengths differ every row stays, as the tie
// then fails with a message that lists each row given.
std::vector<DimensionLabels> distinct_rows(const std::vector<DimensionLabels>& rows) {
  DimensionLabels first;
  std::size_t present = 0;
  for (const DimensionLabels& row : rows) {
    if (!row)
      continue;
    if (first && row->size() != first->size())
      return rows;
    first = first ? first : row;
    ++present;
  }
  std::vector<DimensionLabels> distinct = platform::first_occurrences(rows, list_identity);
  auto is_present = [](const DimensionLabels& row) { return row != nullptr; };
  if (present > 1 && std::ranges::count_if(distinct, is_present) == 1)
    distinct.push_back(*std::ranges::find_if(distinct, is_present));
  return distinct;
}

}  // namespace

const ZavoNode& _get_input_for_elementwise_node(const ZavoOpNode& node) {
  const ValueList args = node.args;
  if (args.empty())
    throw NotImplementedError(keyword_only_elementwise_message());
  const Value& input_node = args.front();
  if (!is_zavo_node(input_node)) {
    throw PruningEngineRuntimeException("Elementwise node handler with non-tensor input: " +
                                        type_text(input_node));
  }
  return input_node.as_node();
}

void _elementwise_node_handler(const ElementwiseNodeHandler& call) {
  const ZavoNode& src_node = call.src_node.is_none() ? _get_input_for_elementwise_node(call.node)
                                                     : labelled_node(call.src_node);
  _node_keep_state({.pruning_state = call.pruning_state, .node = call.node, .src_node = src_node});
}

void _elementwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  _elementwise_node_handler({.pruning_state = pruning_state, .node = node});
}

std::pair<Value, Value> _get_inputs_for_binary_node(const ZavoOpNode& node) {
  const ValueList args = node.args;
  if (args.size() < 2)
    throw NotImplementedError("Unimplemented binary function call, please contact ZAVO team");
  const Value& input_1 = args[0];
  const Value& input_2 = args[1];
  _LOGGER.debug(
      [&] { return "input_1: " + text_form(input_1) + ", input_2: " + text_form(input_2); });
  return {input_1, input_2};
}

void _binary_elementwise_node_handler(PruneGraphParserState& pruning_state,
                                      const ZavoOpNode& node) {
  const auto [input_1, input_2] = _get_inputs_for_binary_node(node);

  // With one operand a constant the operation keeps the other operand's layout.
  if (!is_zavo_node(input_1) || !is_zavo_node(input_2)) {
    const Value& src_node = is_zavo_node(input_1) ? input_1 : input_2;
    _elementwise_node_handler({.pruning_state = pruning_state, .node = node, .src_node = src_node});
    return;
  }

  const ZavoNode& node_1 = input_1.as_node();
  const ZavoNode& node_2 = input_2.as_node();
  const NodeLabels labels_1(pruning_state, node_1);
  const NodeLabels labels_2(pruning_state, node_2);
  const auto& maybe_shape_1 = get_shape(node_1);
  const auto& maybe_shape_2 = get_shape(node_2);
  _LOGGER.debug([&] {
    return "shape_1: " + tensor_trace::shape_text(maybe_shape_1) +
           ", shape_2: " + tensor_trace::shape_text(maybe_shape_2);
  });
  if (!maybe_shape_1 || !maybe_shape_2) {
    _default_node_handler(pruning_state, node);
    return;
  }

  // Align the operands from the right, as broadcasting does: the shorter operand reads as if
  // padded at the front with sizes 1 and none labels (read in place, nothing is copied).
  const std::size_t max_shape_items = std::max(maybe_shape_1->size(), maybe_shape_2->size());
  const std::size_t pad_1 = max_shape_items - maybe_shape_1->size();
  const std::size_t pad_2 = max_shape_items - maybe_shape_2->size();
  auto size_at = [](const Shape& shape, std::size_t pad, std::size_t dim) {
    return dim < pad ? std::int64_t{1} : shape[dim - pad];
  };
  auto labels_at = [](std::span<const DimensionLabels> labels, std::size_t pad,
                      std::size_t dim) -> DimensionLabels {
    return dim < pad ? nullptr : labels[dim - pad];
  };

  const std::size_t n_dims =
      std::min({pad_1 + labels_1.size(), pad_2 + labels_2.size(), max_shape_items});
  TensorLabelsBuffer all_labels(n_dims);
  // The output holds both operands' labels when every labelled dimension of each is tied into
  // the output's, passed on, or taken out of pruning, and the call reads no other tensor. A tie
  // after the first list it made could retire a label of that list, which is not recorded yet:
  // then it claims nothing.
  bool holds_inputs = pad_1 + labels_1.size() == n_dims && pad_2 + labels_2.size() == n_dims;
  node.for_each_input_node([&](const ZavoNode& input) {
    holds_inputs = holds_inputs && (&input == &node_1 || &input == &node_2);
  });
  std::optional<std::uint64_t> folds_at_first_list;
  for (std::size_t dim = 0; dim < n_dims; ++dim) {
    const DimensionLabels dim_labels_1 = labels_at(labels_1, pad_1, dim);
    const DimensionLabels dim_labels_2 = labels_at(labels_2, pad_2, dim);
    const bool broadcast_1 = size_at(*maybe_shape_1, pad_1, dim) == 1;
    const bool broadcast_2 = size_at(*maybe_shape_2, pad_2, dim) == 1;
    if (broadcast_1 && broadcast_2) {
      holds_inputs = holds_inputs && !dim_labels_1 && !dim_labels_2;
      continue;  // the entry stays none
    }
    if (broadcast_1 || broadcast_2) {
      // The operand that carries labels wins, whichever one is broadcast.
      all_labels[dim] = dim_labels_1 ? dim_labels_1 : dim_labels_2;
      holds_inputs =
          holds_inputs && (!dim_labels_1 || !dim_labels_2 || dim_labels_1 == dim_labels_2);
    } else if (!dim_labels_1 || !dim_labels_2) {
      // Channels tied to an unlabelled dimension cannot be pruned.
      _mark_labels_as_non_prunable(pruning_state, dim_labels_1);
      _mark_labels_as_non_prunable(pruning_state, dim_labels_2);
    } else {
      all_labels[dim] = _merge_label_groups(pruning_state, {dim_labels_1, dim_labels_2});
      if (!folds_at_first_list)
        folds_at_first_list = pruning_state.folds();
    }
  }
  if (folds_at_first_list && *folds_at_first_list != pruning_state.folds())
    holds_inputs = false;
  add_node_output_info({.pruning_state = pruning_state,
                        .node = node,
                        .labels = all_labels,
                        .holds_input_labels = holds_inputs});
}

void _channelwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                               const ZavoNode* src_node) {
  if (src_node == nullptr)
    src_node = &_get_input_for_elementwise_node(node);

  const std::optional<std::int64_t> prune_dimension = get_prune_dimension(pruning_state, *src_node);
  if (prune_dimension != CNN_PRUNE_DIM) {
    _warn("For channelwise operation " + node.operation_name + " prune dimension should be " +
          std::to_string(CNN_PRUNE_DIM) + ", but got " +
          (prune_dimension ? std::to_string(*prune_dimension) : std::string("None")) +
          " dimension");
    _default_node_handler(pruning_state, node);
    return;
  }

  if (node.operation_name == "batch_norm") {
    // Every per-channel parameter is tied to the input's channels, so that pruning a channel
    // removes the matching entry of each parameter.
    std::vector<const ZavoNode*> params = node.collect_all_input_nodes();
    std::erase(params, src_node);
    for (const ZavoNode* param : params) {
      if (!param->result_shape || param->result_shape->size() != 1) {
        throw PruningEngineRuntimeException(
            "One of the batch norm parameters has more than one dimension");
      }
    }
    std::vector<DimensionLabels> labels;
    labels.reserve(params.size() + 1);
    for (const ZavoNode* param : params)
      labels.push_back(get_prune_labels_by_dim(pruning_state, *param, BATCH_NORM_PRUNE_DIM));
    labels.push_back(get_prune_labels_by_dim(pruning_state, *src_node, CNN_PRUNE_DIM));
    _tie_label_groups(pruning_state, distinct_rows(labels));
  }

  _node_keep_state({.pruning_state = pruning_state, .node = node, .src_node = *src_node});
}

void _channelwise_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  _channelwise_node_handler(pruning_state, node, nullptr);
}

void _dropout_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;
  const bool default_training = supported_ops::DROPOUT_TRAIN_DEFAULT_OPS.contains(node.operation);
  const Value training = get_argument({.arg_pos = 2,
                                       .arg_key = "training",
                                       .args = args,
                                       .kwargs = kwargs,
                                       .default_value = default_training});
  // Warned before the labels are handled, so the warning stands even when that fails.
  if (training.truthy())
    _warn("For proper pruning of model with dropout, dropout should be in eval mode");
  _elementwise_node_handler(pruning_state, node);
}

void _cat_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  _cat_node_handler(
      pruning_state, node,
      get_argument({.arg_pos = 1, .arg_key = "dim", .args = node.args, .kwargs = node.kwargs}));
}

void _cat_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                       const Value& cat_dim) {
  const Value tensors =
      get_argument({.arg_pos = 0, .arg_key = "tensors", .args = node.args, .kwargs = node.kwargs});
  const ValueList inputs = cat_inputs(tensors);

  if (inputs.size() == 1) {
    _node_keep_state(
        {.pruning_state = pruning_state, .node = node, .src_node = labelled_node(inputs[0])});
    return;
  }

  std::vector<const ZavoNode*> input_nodes;
  input_nodes.reserve(inputs.size());
  for (const Value& input : inputs)
    input_nodes.push_back(&cat_tensor(input));
  if (input_nodes.empty())
    throw LookupError("Concatenation of an empty sequence of tensors");
  if (!input_nodes.front()->result_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }

  const auto n_dims = static_cast<std::int64_t>(input_nodes.front()->result_shape->size());
  const auto dims = static_cast<std::size_t>(n_dims);
  // The output carries every label of its inputs when the joined tensors are the call's only
  // tensor arguments and record no dimension past the output's: the joined dimension holds the
  // inputs' lists one after another, another dimension either ties the inputs' lists into one
  // whose labels they all read afterwards or takes them out of pruning. That stays true unless
  // a fold retires a label of a list made here before the output is recorded.
  std::size_t tensor_arguments = 0;
  node.for_each_input_node([&tensor_arguments](const ZavoNode&) { ++tensor_arguments; });
  bool holds_inputs = tensor_arguments == input_nodes.size();
  // One pass over the inputs (a ladder joins thousands, each a node of its own in memory): an
  // input without a shape, or with an empty dimension other than the concatenated one, is not
  // handled; else its lists are read once, row i holding input i's list of each dimension.
  // Nothing below records a node, so the rows stay what the dimensions would read one by one.
  std::vector<DimensionLabels> input_lists(input_nodes.size() * dims);
  const utils::LabelStore& store = pruning_state.store();
  const std::size_t n_inputs = input_nodes.size();
  // A ladder joins every earlier output again: when the inputs begin with those of the last
  // concatenation that can stand for them, its joined list is read in one piece instead of its
  // inputs' lists one by one. Those inputs passed every check below then, and no dimension but
  // the joined one of theirs is labelled (their entries here stay none).
  PruneGraphParserState::JoinedInputs& memo = pruning_state.joined_inputs();
  const std::size_t prefix = joined_prefix(pruning_state, memo, input_nodes, dims, cat_dim);
  for (std::size_t i = prefix; i < n_inputs; ++i) {
    // The nodes, their records and their entries are spread over memory: their loads start a
    // few inputs ahead.
    if (i + 24 < n_inputs)
      __builtin_prefetch(input_nodes[i + 24]);
    if (i + 16 < n_inputs)
      store.prefetch_record(*input_nodes[i + 16]);
    if (i + 8 < n_inputs)
      store.prefetch_entries(*input_nodes[i + 8]);
    const ZavoNode& input_node = *input_nodes[i];
    if (!input_node.result_shape) {
      _default_node_handler(pruning_state, node);
      return;
    }
    const Shape& shape = *input_node.result_shape;
    for (std::size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] == 0 && !is_cat_dim(cat_dim, static_cast<std::int64_t>(d))) {
        _default_node_handler(pruning_state, node);
        return;
      }
    }
    const std::size_t recorded =
        get_prune_labels(pruning_state, input_node, std::span(input_lists).subspan(i * dims, dims));
    holds_inputs = holds_inputs && recorded <= dims;
  }
  auto list_of = [&](std::size_t input, std::int64_t dim) -> const DimensionLabels& {
    return input_lists[input * dims + static_cast<std::size_t>(dim)];
  };
  std::optional<std::uint64_t> folds_at_first_list;
  std::size_t fresh_inputs = 0;  // inputs without labels along the joined dimension
  LabelList joined_labels;
  TensorLabels all_labels;
  all_labels.reserve(dims);
  for (std::int64_t dim = 0; dim < n_dims; ++dim) {
    DimensionLabels label_group;
    if (is_cat_dim(cat_dim, dim)) {
      // The inputs' channels one after another; an unlabelled input gets fresh labels that
      // stay out of pruning, so that every output position has a label.
      std::size_t joined_size = prefix ? memo.list->size() : 0;
      for (std::size_t i = prefix; i < input_nodes.size(); ++i)
        joined_size += list_of(i, dim) ? list_of(i, dim)->size() : 0;
      LabelList joined;
      if (prefix) {
        // The labels it was made of, while they still read so; else its list, read now. The
        // remembered concatenation is used up either way.
        memo.node = nullptr;
        if (pruning_state.lowest_folded() > memo.highest)
          joined.swap(memo.labels);
        else
          memo.list->append_to(joined);
      }
      joined.reserve(joined_size);
      // Each list's place, slots and classes are loaded a few inputs ahead, as above.
      auto ahead = [&](std::size_t input) {
        return input < n_inputs ? list_of(input, dim) : DimensionLabels();
      };
      for (std::size_t i = prefix; i < n_inputs; ++i) {
        if (const DimensionLabels later = ahead(i + 16))
          store.prefetch_list(later.id());
        if (const DimensionLabels later = ahead(i + 8))
          store.prefetch_slots(later.id());
        if (const DimensionLabels later = ahead(i + 4))
          store.prefetch_classes(later.id());
        DimensionLabels labels = list_of(i, dim);
        if (!labels) {
          ++fresh_inputs;
          labels = generate_new_channel_labels({.pruning_state = pruning_state,
                                                .node = *input_nodes[i],
                                                .dim = dim,
                                                .is_prunable = false});
        }
        labels->append_to(joined);
      }
      label_group = make_labels(pruning_state, joined);
      joined_labels = std::move(joined);
    } else {
      // Position i of the output is position i of every input: tie them.
      std::vector<DimensionLabels> label_groups;
      label_groups.reserve(input_nodes.size());
      for (std::size_t i = 0; i < input_nodes.size(); ++i)
        label_groups.push_back(list_of(i, dim));
      if (std::ranges::any_of(label_groups, [](const DimensionLabels& g) { return !g; })) {
        // Each labelled list once (a dimension without labels in every input, the usual case,
        // has nothing to mark).
        std::erase(label_groups, nullptr);
        for (const DimensionLabels& labels :
             platform::first_occurrences(label_groups, list_identity))
          _mark_labels_as_non_prunable(pruning_state, labels);
      } else {
        label_group = _merge_label_groups(pruning_state, distinct_rows(label_groups));
      }
    }
    if (label_group && !folds_at_first_list)
      folds_at_first_list = pruning_state.folds();
    all_labels.push_back(std::move(label_group));
  }
  if (folds_at_first_list && *folds_at_first_list != pruning_state.folds())
    holds_inputs = false;
  const bool stands_for_inputs = holds_inputs && fresh_inputs == 0 && cat_dim.is_int() &&
                                 cat_dim.as_int() >= 0 && cat_dim.as_int() < n_dims &&
                                 only_joined_dim_labelled(input_lists, dims, cat_dim.as_int());
  const DimensionLabels joined_list =
      stands_for_inputs ? all_labels[static_cast<std::size_t>(cat_dim.as_int())] : nullptr;
  add_node_output_info({.pruning_state = pruning_state,
                        .node = node,
                        .labels = std::move(all_labels),
                        .holds_input_labels = holds_inputs});
  if (joined_list) {
    memo.node = &node;
    memo.inputs = std::move(input_nodes);
    memo.dims = dims;
    memo.dim = cat_dim.as_int();
    memo.list = joined_list;
    memo.highest = joined_labels.empty() ? -1 : std::ranges::max(joined_labels);
    memo.labels = std::move(joined_labels);
    pruning_state.restart_lowest_folded();
  }
}

}  // namespace zavo::pruning::engine::node_handlers
