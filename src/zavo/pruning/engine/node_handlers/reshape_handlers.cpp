#include "zavo/pruning/engine/node_handlers/reshape_handlers.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/dimension_helpers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

// The tensor an operation of this family rearranges, with its shape and its labels.
struct Source {
  const ZavoNode& node;
  const Shape& shape;
  TensorLabels labels;
};

// The first argument with a known shape and labels that can be read one per dimension, and a
// known output shape; none, after the default handler took the node, when anything is missing.
std::optional<Source> read_source(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  if (!labels || !node.result_shape) {
    _default_node_handler(pruning_state, node);
    return std::nullopt;
  }
  return Source{src, *src.result_shape, std::move(*labels)};
}

// Records the source's labels with the output's dimension i taking the source's `order[i]`; the
// default handler instead when there is no order, or it is no permutation matching the output's
// sizes.
void record_permuted(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                     const Source& source, const std::optional<std::vector<std::size_t>>& given) {
  if (!given) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::vector<std::size_t>& order = *given;
  const Shape& out_shape = *node.result_shape;
  std::vector<bool> seen(source.shape.size(), false);
  bool valid = order.size() == source.shape.size() && out_shape.size() == order.size();
  for (std::size_t i = 0; valid && i < order.size(); ++i) {
    valid = order[i] < seen.size() && !seen[order[i]] && out_shape[i] == source.shape[order[i]];
    if (valid)
      seen[order[i]] = true;
  }
  if (!valid) {
    _default_node_handler(pruning_state, node);
    return;
  }
  TensorLabels labels(order.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    labels[i] = source.labels[order[i]];
  _record(pruning_state, node, std::move(labels));
}

std::vector<std::size_t> identity_order(std::size_t rank) {
  std::vector<std::size_t> order(rank);
  std::iota(order.begin(), order.end(), std::size_t{0});
  return order;
}

// The identity order with dimensions `a` and `b` exchanged (counted from the end when
// negative); none when either is out of range.
std::optional<std::vector<std::size_t>> swapped_order(std::size_t rank, std::int64_t a,
                                                      std::int64_t b) {
  const auto first = _dimension_index(a, rank);
  const auto second = _dimension_index(b, rank);
  if (!first || !second)
    return std::nullopt;
  std::vector<std::size_t> order = identity_order(rank);
  std::swap(order[*first], order[*second]);
  return order;
}

// Dimensions given as one integer or a list, made indices; none when one is out of range.
std::optional<std::vector<std::size_t>> dimension_indices(const std::vector<std::int64_t>& dims,
                                                          std::size_t rank) {
  std::vector<std::size_t> indices;
  for (std::int64_t dim : dims) {
    const auto index = _dimension_index(dim, rank);
    if (!index)
      return std::nullopt;
    indices.push_back(*index);
  }
  return indices;
}

}  // namespace

void _reshape_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  std::optional<TensorLabels> labels =
      _reshape_labels(pruning_state, node, source->shape, source->labels, *node.result_shape);
  if (!labels) {
    _default_node_handler(pruning_state, node);
    return;
  }
  _record(pruning_state, node, std::move(*labels));
}

void _transpose_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  const auto dim0 = _int_argument(node, 1, "dim0", std::nullopt);
  const auto dim1 = _int_argument(node, 2, "dim1", std::nullopt);
  record_permuted(pruning_state, node, *source,
                  dim0 && dim1 ? swapped_order(source->shape.size(), *dim0, *dim1) : std::nullopt);
}

void _permute_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  const auto dims = _int_list_argument(node, 1, "dims", /*varargs=*/true);
  record_permuted(pruning_state, node, *source,
                  dims ? dimension_indices(*dims, source->shape.size()) : std::nullopt);
}

void _movedim_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  const std::size_t rank = source->shape.size();
  const auto from = _int_list_argument(node, 1, "source", /*varargs=*/false);
  const auto to = _int_list_argument(node, 2, "destination", /*varargs=*/false);
  const auto sources = from ? dimension_indices(*from, rank) : std::nullopt;
  const auto destinations = to ? dimension_indices(*to, rank) : std::nullopt;
  if (!sources || !destinations || sources->size() != destinations->size()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  // The moved dimensions take their destinations; the others fill the rest in their order.
  std::vector<std::size_t> order(rank, rank);
  std::vector<bool> moved(rank, false);
  for (std::size_t i = 0; i < sources->size(); ++i) {
    if (order[(*destinations)[i]] != rank || moved[(*sources)[i]]) {
      _default_node_handler(pruning_state, node);
      return;
    }
    order[(*destinations)[i]] = (*sources)[i];
    moved[(*sources)[i]] = true;
  }
  std::size_t next = 0;
  for (std::size_t& slot : order) {
    if (slot != rank)
      continue;
    while (moved[next])
      ++next;
    slot = next++;
  }
  record_permuted(pruning_state, node, *source, order);
}

void _reverse_dims_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  std::vector<std::size_t> order = identity_order(source->shape.size());
  std::reverse(order.begin(), order.end());
  record_permuted(pruning_state, node, *source, order);
}

void _matrix_transpose_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  record_permuted(pruning_state, node, *source, swapped_order(source->shape.size(), -2, -1));
}

void _expand_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  const Shape& out_shape = *node.result_shape;
  if (out_shape.size() < source->shape.size()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::size_t offset = out_shape.size() - source->shape.size();
  TensorLabels labels(out_shape.size());
  for (std::size_t d = 0; d < source->shape.size(); ++d) {
    const std::int64_t in = source->shape[d];
    const std::int64_t out = out_shape[offset + d];
    if (in == out) {
      labels[offset + d] = source->labels[d];
    } else if (in != 1) {
      _default_node_handler(pruning_state, node);
      return;
    }
  }
  // A labelled dimension of size 1 made larger copies its one channel: it cannot be pruned.
  for (std::size_t d = 0; d < source->shape.size(); ++d) {
    if (source->shape[d] != out_shape[offset + d])
      _mark_labels_as_non_prunable(pruning_state, source->labels[d]);
  }
  _record(pruning_state, node, std::move(labels));
}

void _repeat_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  const auto repeats = _int_list_argument(
      node, 1, node.operation_name == "tile" ? "dims" : "repeats", /*varargs=*/true);
  const Shape& out_shape = *node.result_shape;
  if (!repeats || std::ranges::any_of(*repeats, [](std::int64_t r) { return r < 1; })) {
    _default_node_handler(pruning_state, node);
    return;
  }
  // `tile` pads short repeats with ones in front; `repeat` needs at least one per dimension.
  std::vector<std::int64_t> times = *repeats;
  if (times.size() < source->shape.size())
    times.insert(times.begin(), source->shape.size() - times.size(), 1);
  if (out_shape.size() != times.size()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::size_t offset = times.size() - source->shape.size();
  for (std::size_t d = 0; d < source->shape.size(); ++d) {
    if (out_shape[offset + d] != source->shape[d] * times[offset + d]) {
      _default_node_handler(pruning_state, node);
      return;
    }
  }
  TensorLabels labels(out_shape.size());
  for (std::size_t d = 0; d < source->shape.size(); ++d)
    labels[offset + d] = _repeat_whole(pruning_state, source->labels[d], times[offset + d]);
  _record(pruning_state, node, std::move(labels));
}

void _repeat_interleave_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::optional<Source> source = read_source(pruning_state, node);
  if (!source)
    return;
  // Repeats given as a tensor vary per channel, and without a dimension the input is
  // flattened first: neither keeps a channel's labels together.
  const Value repeats =
      get_argument({.arg_pos = 1, .arg_key = "repeats", .args = node.args, .kwargs = node.kwargs});
  const auto dim = _int_argument(node, 2, "dim", std::nullopt);
  const std::size_t index =
      dim ? _dimension_index(*dim, source->shape.size()).value_or(source->shape.size())
          : source->shape.size();
  const Shape& out_shape = *node.result_shape;
  if (!repeats.is_int() || repeats.as_int() < 1 || index == source->shape.size() ||
      out_shape.size() != source->shape.size() ||
      out_shape[index] != source->shape[index] * repeats.as_int()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  TensorLabels labels = source->labels;
  labels[index] = _repeat_each(pruning_state, labels[index], repeats.as_int());
  _record(pruning_state, node, std::move(labels));
}

void _stack_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const Value tensors =
      get_argument({.arg_pos = 0, .arg_key = "tensors", .args = node.args, .kwargs = node.kwargs});
  if (!tensors.is_sequence() || tensors.as_sequence().empty() || !node.result_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }
  std::vector<Operand> inputs;
  for (const Value& value : tensors.as_sequence()) {
    std::optional<TensorLabels> labels =
        is_zavo_node(value) ? _shaped_labels(pruning_state, value.as_node()) : std::nullopt;
    if (!labels ||
        *value.as_node().result_shape != *tensors.as_sequence()[0].as_node().result_shape) {
      _default_node_handler(pruning_state, node);
      return;
    }
    inputs.push_back({*value.as_node().result_shape, std::move(*labels)});
  }
  const std::size_t rank = inputs.front().shape.size();
  const auto dim = _int_argument(node, 1, "dim", 0);
  const auto index = _dimension_index(*dim, rank + 1);
  if (!index || node.result_shape->size() != rank + 1) {
    _default_node_handler(pruning_state, node);
    return;
  }
  TensorLabels labels = _tie_broadcast(pruning_state, inputs, rank);
  labels.insert(labels.begin() + static_cast<std::ptrdiff_t>(*index), DimensionLabels());
  _record(pruning_state, node, std::move(labels));
}

}  // namespace zavo::pruning::engine::node_handlers
