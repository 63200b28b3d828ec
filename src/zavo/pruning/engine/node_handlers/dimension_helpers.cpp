#include "zavo/pruning/engine/node_handlers/dimension_helpers.hpp"

#include <algorithm>
#include <string>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

std::string describe(const ZavoOpNode& node) {
  return node.operation_name + " node " + node.name;
}

std::int64_t as_integer(const ZavoOpNode& node, std::string_view key, const Value& value) {
  if (!value.is_int()) {
    throw TypeError(describe(node) + ": argument " + std::string(key) +
                    " must be an integer, got " + type_text(value) + " " + text_form(value));
  }
  return value.as_int();
}

// a * b, or none when it does not fit.
std::optional<std::int64_t> checked_product(std::int64_t a, std::int64_t b) {
  std::int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product))
    return std::nullopt;
  return product;
}

std::int64_t product_of(std::span<const std::int64_t> sizes) {
  std::int64_t product = 1;
  for (std::int64_t size : sizes)
    product *= size;
  return product;
}

// The identity of a list within its state, to tie each distinct list once.
bool same_list(const DimensionLabels& a, const DimensionLabels& b) {
  return a == b;
}

}  // namespace

const ZavoNode* _tensor_argument_or_null(const ZavoOpNode& node, std::size_t pos,
                                         std::string_view key) {
  const Value value =
      get_argument({.arg_pos = pos, .arg_key = key, .args = node.args, .kwargs = node.kwargs});
  return is_zavo_node(value) ? &value.as_node() : nullptr;
}

const ZavoNode& _required_tensor_argument(const ZavoOpNode& node, std::size_t pos,
                                          std::string_view key) {
  return _as_tensor_argument(
      node, key,
      get_argument({.arg_pos = pos, .arg_key = key, .args = node.args, .kwargs = node.kwargs}));
}

std::optional<std::int64_t> _int_argument(const ZavoOpNode& node, std::size_t pos,
                                          std::string_view key,
                                          std::optional<std::int64_t> default_value) {
  const Value value =
      get_argument({.arg_pos = pos, .arg_key = key, .args = node.args, .kwargs = node.kwargs});
  if (value.is_none())
    return default_value;
  return as_integer(node, key, value);
}

std::optional<std::vector<std::int64_t>> _int_list_argument(const ZavoOpNode& node, std::size_t pos,
                                                            std::string_view key, bool varargs) {
  std::vector<std::int64_t> values;
  if (varargs && pos < node.args.size() && !node.args[pos].is_sequence()) {
    for (std::size_t i = pos; i < node.args.size(); ++i)
      values.push_back(as_integer(node, key, node.args[i]));
    return values;
  }
  const Value value =
      get_argument({.arg_pos = pos, .arg_key = key, .args = node.args, .kwargs = node.kwargs});
  if (value.is_none())
    return std::nullopt;
  if (!value.is_sequence())
    return std::vector<std::int64_t>{as_integer(node, key, value)};
  for (const Value& item : value.as_sequence())
    values.push_back(as_integer(node, key, item));
  return values;
}

std::optional<std::size_t> _dimension_index(std::int64_t dim, std::size_t rank) {
  const auto n = static_cast<std::int64_t>(rank);
  if (dim < -n || dim >= n)
    return std::nullopt;
  return static_cast<std::size_t>(dim < 0 ? dim + n : dim);
}

std::optional<TensorLabels> _shaped_labels(const PruneGraphParserState& pruning_state,
                                           const ZavoNode& node) {
  if (!node.result_shape || !has_recorded_labels(pruning_state, node))
    return std::nullopt;
  TensorLabels labels = get_prune_labels(pruning_state, node);
  const std::size_t rank = node.result_shape->size();
  if (labels.size() < rank)
    return std::nullopt;
  for (std::size_t d = rank; d < labels.size(); ++d) {
    if (labels[d])
      return std::nullopt;
  }
  labels.resize(rank);
  return labels;
}

void _record(PruneGraphParserState& pruning_state, const ZavoOpNode& node, TensorLabels labels) {
  add_node_output_info({.pruning_state = pruning_state, .node = node, .labels = std::move(labels)});
}

DimensionLabels _tie_dimension(PruneGraphParserState& pruning_state,
                               std::span<const DimensionEntry> entries) {
  std::vector<DimensionLabels> present;
  bool unlabelled = false;
  for (const DimensionEntry& entry : entries) {
    if (entry.size == 1)
      continue;
    if (!entry.labels) {
      unlabelled = true;
    } else if (std::ranges::none_of(present, [&](const DimensionLabels& seen) {
                 return same_list(seen, entry.labels);
               })) {
      present.push_back(entry.labels);
    }
  }
  if (unlabelled) {
    for (const DimensionLabels& labels : present)
      _mark_labels_as_non_prunable(pruning_state, labels);
    return nullptr;
  }
  if (present.empty())
    return nullptr;
  // The first list itself, which the merge rewrote: a recorded list keeps showing later merges,
  // where a new list of survivors would hold labels a later merge retires.
  _tie_label_groups(pruning_state, present);
  return present.front();
}

TensorLabels _tie_broadcast(PruneGraphParserState& pruning_state, std::span<const Operand> operands,
                            std::size_t rank) {
  TensorLabels out(rank);
  std::vector<DimensionEntry> entries;
  for (std::size_t dim = 0; dim < rank; ++dim) {
    entries.clear();
    for (const Operand& operand : operands) {
      const std::size_t own = operand.shape.size();
      if (own + dim < rank)
        continue;  // a leading dimension the operand is broadcast along
      const std::size_t d = own + dim - rank;
      entries.push_back({operand.shape[d], operand.labels[d]});
    }
    out[dim] = _tie_dimension(pruning_state, entries);
  }
  return out;
}

void _keep_dimensions(PruneGraphParserState& pruning_state, TensorLabels& labels,
                      std::span<const std::size_t> dims) {
  for (std::size_t dim : dims) {
    if (dim < labels.size()) {
      _mark_labels_as_non_prunable(pruning_state, labels[dim]);
      labels[dim] = nullptr;
    }
  }
}

void _record_keeping_dimensions(PruneGraphParserState& pruning_state, const ZavoOpNode& node,
                                std::span<const std::size_t> dims) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  if (!labels || !node.result_shape || node.result_shape->size() != labels->size()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  _keep_dimensions(pruning_state, *labels, dims);
  _record(pruning_state, node, std::move(*labels));
}

DimensionLabels _fold_into_dimension(PruneGraphParserState& pruning_state,
                                     const DimensionLabels& labels,
                                     std::span<const std::int64_t> sizes, std::size_t carrier) {
  if (!labels)
    return nullptr;
  const std::int64_t total = product_of(sizes);
  if (static_cast<std::int64_t>(labels->size()) != total) {
    throw PruningEngineRuntimeException("Attempting to fold " + std::to_string(labels->size()) +
                                        " labels into dimensions of " + std::to_string(total) +
                                        " positions");
  }
  const std::int64_t heads = sizes[carrier];
  const std::int64_t inner = product_of(sizes.subspan(carrier + 1));
  const std::int64_t rows = total / heads;
  if (rows == 1)
    return labels;
  LabelList all;
  all.reserve(labels->size());
  labels->append_to(all);
  // Row r holds, for every head, the r-th of the positions that the head covers: the rows tied
  // column by column tie each head's positions together.
  std::vector<DimensionLabels> groups;
  groups.reserve(static_cast<std::size_t>(rows));
  LabelList row(static_cast<std::size_t>(heads));
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::int64_t outer = r / inner;
    const std::int64_t offset = r % inner;
    for (std::int64_t head = 0; head < heads; ++head) {
      row[static_cast<std::size_t>(head)] =
          all[static_cast<std::size_t>((outer * heads + head) * inner + offset)];
    }
    groups.push_back(make_labels(pruning_state, row));
  }
  return _merge_label_groups(pruning_state, groups);
}

DimensionLabels _repeat_each(PruneGraphParserState& pruning_state, const DimensionLabels& labels,
                             std::int64_t times) {
  if (!labels || times == 1)
    return labels;
  LabelList repeated;
  repeated.reserve(labels->size() * static_cast<std::size_t>(times));
  for (Label label : *labels)
    repeated.insert(repeated.end(), static_cast<std::size_t>(times), label);
  return make_labels(pruning_state, repeated);
}

DimensionLabels _repeat_whole(PruneGraphParserState& pruning_state, const DimensionLabels& labels,
                              std::int64_t times) {
  if (!labels || times == 1)
    return labels;
  LabelList once = labels->to_vector();
  LabelList repeated;
  repeated.reserve(once.size() * static_cast<std::size_t>(times));
  for (std::int64_t i = 0; i < times; ++i)
    repeated.insert(repeated.end(), once.begin(), once.end());
  return make_labels(pruning_state, repeated);
}

namespace {

// The label of each index along `carrier` when the labels of `all` (laid out row-major as
// `sizes`) depend on that index only; none otherwise.
std::optional<LabelList> labels_along(const LabelList& all, std::span<const std::int64_t> sizes,
                                      std::size_t carrier) {
  const std::int64_t heads = sizes[carrier];
  const std::int64_t inner = product_of(sizes.subspan(carrier + 1));
  LabelList heads_labels(static_cast<std::size_t>(heads));
  for (std::int64_t head = 0; head < heads; ++head)
    heads_labels[static_cast<std::size_t>(head)] = all[static_cast<std::size_t>(head * inner)];
  for (std::size_t p = 0; p < all.size(); ++p) {
    const auto head = (static_cast<std::int64_t>(p) / inner) % heads;
    if (all[p] != heads_labels[static_cast<std::size_t>(head)])
      return std::nullopt;
  }
  return heads_labels;
}

// One run of input dimensions and the run of output dimensions that holds the same elements.
void map_reshape_group(PruneGraphParserState& pruning_state, const Shape& in_shape,
                       const TensorLabels& in_labels, std::span<const std::size_t> in_dims,
                       const Shape& out_shape, std::span<const std::size_t> out_dims,
                       TensorLabels& out_labels) {
  // The joined labels of the input run: its outermost dimension's, each repeated for the inner
  // positions. Labels behind an unlabelled outer dimension cannot follow.
  DimensionLabels joined;
  if (in_labels[in_dims.front()]) {
    std::int64_t inner = 1;
    for (std::size_t d : in_dims.subspan(1)) {
      _mark_labels_as_non_prunable(pruning_state, in_labels[d]);
      inner *= in_shape[d];
    }
    joined = _repeat_each(pruning_state, in_labels[in_dims.front()], inner);
  } else {
    for (std::size_t d : in_dims)
      _mark_labels_as_non_prunable(pruning_state, in_labels[d]);
  }
  if (!joined)
    return;
  if (out_dims.size() == 1) {
    out_labels[out_dims.front()] = joined;
    return;
  }
  std::vector<std::int64_t> sizes;
  for (std::size_t d : out_dims)
    sizes.push_back(out_shape[d]);
  // Split. Labels that already differ along one dimension only (heads joined with others and now
  // split again) keep to that dimension; otherwise the dimension before the innermost carries
  // the heads.
  const LabelList all = joined->to_vector();
  for (std::size_t carrier = 0; carrier < sizes.size(); ++carrier) {
    if (std::optional<LabelList> heads = labels_along(all, sizes, carrier)) {
      out_labels[out_dims[carrier]] = make_labels(pruning_state, *heads);
      return;
    }
  }
  const std::size_t carrier = out_dims.size() - 2;
  out_labels[out_dims[carrier]] = _fold_into_dimension(pruning_state, joined, sizes, carrier);
}

}  // namespace

std::optional<TensorLabels> _reshape_labels(PruneGraphParserState& pruning_state,
                                            const ZavoOpNode& node, const Shape& in_shape,
                                            const TensorLabels& in_labels, const Shape& out_shape) {
  if (in_labels.size() != in_shape.size())
    return std::nullopt;
  if (std::ranges::find(in_shape, 0) != in_shape.end() ||
      std::ranges::find(out_shape, 0) != out_shape.end()) {
    return std::nullopt;
  }
  // Dimensions of size 1 come and go freely; what matters is the others, in order.
  std::vector<std::size_t> in_dims;
  std::vector<std::size_t> out_dims;
  for (std::size_t d = 0; d < in_shape.size(); ++d) {
    if (in_shape[d] != 1)
      in_dims.push_back(d);
  }
  for (std::size_t d = 0; d < out_shape.size(); ++d) {
    if (out_shape[d] != 1)
      out_dims.push_back(d);
  }
  // Runs of equal products, found before anything is marked.
  struct Run {
    std::size_t in_begin, in_end, out_begin, out_end;
  };
  std::vector<Run> runs;
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < in_dims.size() || j < out_dims.size()) {
    if (i == in_dims.size() || j == out_dims.size())
      return std::nullopt;
    const std::size_t i0 = i;
    const std::size_t j0 = j;
    std::int64_t in_product = in_shape[in_dims[i]];
    std::int64_t out_product = out_shape[out_dims[j]];
    // Takes the next dimension of one side into its product; false when there is none or the
    // product does not fit.
    auto grow = [](std::int64_t& product, std::size_t& k, const std::vector<std::size_t>& dims,
                   const Shape& shape) {
      if (++k == dims.size())
        return false;
      const std::optional<std::int64_t> next = checked_product(product, shape[dims[k]]);
      product = next.value_or(0);
      return next.has_value();
    };
    while (in_product != out_product) {
      const bool grown = in_product < out_product ? grow(in_product, i, in_dims, in_shape)
                                                  : grow(out_product, j, out_dims, out_shape);
      if (!grown)
        return std::nullopt;
    }
    runs.push_back({i0, ++i, j0, ++j});
  }

  // A labelled dimension of size 1 cannot lose its one channel.
  for (std::size_t d = 0; d < in_shape.size(); ++d) {
    if (in_shape[d] == 1)
      _mark_labels_as_non_prunable(pruning_state, in_labels[d]);
  }
  TensorLabels out_labels(out_shape.size());
  const std::span<const std::size_t> ins(in_dims);
  const std::span<const std::size_t> outs(out_dims);
  for (const Run& run : runs) {
    map_reshape_group(pruning_state, in_shape, in_labels,
                      ins.subspan(run.in_begin, run.in_end - run.in_begin), out_shape,
                      outs.subspan(run.out_begin, run.out_end - run.out_begin), out_labels);
    // Held by the node, the lists made so far show the merges of the runs after them.
    _record(pruning_state, node, out_labels);
  }
  return out_labels;
}

}  // namespace zavo::pruning::engine::node_handlers
