#include "zavo/pruning/engine/node_handlers/indexing_handlers.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "zavo/pruning/engine/node_handlers/attention_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/dimension_helpers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

// ---- index expressions ------------------------------------------------------------------

// A slice constant, `slice(start, stop, step)` with each part an integer or None.
struct Slice {
  std::optional<std::int64_t> start, stop, step;
};

std::optional<std::optional<std::int64_t>> slice_part(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  if (text == "None")
    return std::optional<std::int64_t>();
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return std::optional<std::int64_t>(value);
}

std::optional<Slice> parse_slice(const Value& value) {
  if (!value.is_opaque() || value.as_opaque().type != "slice")
    return std::nullopt;
  std::string_view text = value.as_opaque().text;
  if (!text.starts_with("slice(") || !text.ends_with(")"))
    return std::nullopt;
  text = text.substr(6, text.size() - 7);
  std::optional<std::int64_t> parts[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = i < 2 ? text.find(',') : text.size();
    if (comma == std::string_view::npos)
      return std::nullopt;
    const auto part = slice_part(text.substr(0, comma));
    if (!part)
      return std::nullopt;
    parts[i] = *part;
    text = i < 2 ? text.substr(comma + 1) : std::string_view();
  }
  return Slice{parts[0], parts[1], parts[2]};
}

bool is_ellipsis(const Value& value) {
  return value.is_opaque() && value.as_opaque().type == "ellipsis";
}

// A slice that reads every index in order. A stop written out counts as a part even when it
// equals the size: the model wrote a number there, which pruning does not change.
bool reads_whole(const Slice& s) {
  return (!s.start || *s.start == 0) && !s.stop && (!s.step || *s.step == 1);
}

// The number of indices a slice reads from a dimension of `size`, as Python counts them.
std::optional<std::int64_t> slice_length(const Slice& s, std::int64_t size) {
  const std::int64_t step = s.step.value_or(1);
  if (step <= 0)
    return std::nullopt;
  auto clamp = [size](std::int64_t v) {
    if (v < 0)
      v += size;
    return std::clamp<std::int64_t>(v, 0, size);
  };
  const std::int64_t start = s.start ? clamp(*s.start) : 0;
  const std::int64_t stop = s.stop ? clamp(*s.stop) : size;
  return stop <= start ? 0 : (stop - start + step - 1) / step;
}

// One dimension of the result of an index expression: a dimension of the input read whole or in
// part, or a dimension the expression makes (None, the dimensions of an index tensor).
struct IndexedDim {
  std::optional<std::size_t> source;
  bool whole = false;
  std::int64_t size = 1;
};

struct IndexPlan {
  std::vector<IndexedDim> dims;
  std::vector<std::size_t> read_in_part;       // input dimensions read in part or at indices
  std::vector<const ZavoNode*> index_tensors;  // tensors whose values are indices
};

// What `x[index]` reads from a tensor of `shape`; none for expressions this handler does not
// follow (several tensor indices, a tensor index beside an integer, boolean masks, unknown
// values).
std::optional<IndexPlan> plan_index(const Value& index, const Shape& shape) {
  const ValueList items = index.is_sequence() ? index.as_sequence() : ValueList(&index, 1);
  std::size_t consumed = 0;
  std::size_t ellipses = 0;
  std::size_t advanced = 0;
  bool integers = false;
  for (const Value& item : items) {
    if (item.is_none()) {
      continue;
    } else if (is_ellipsis(item)) {
      ++ellipses;
    } else if (item.is_int()) {
      integers = true;
      ++consumed;
    } else if (parse_slice(item)) {
      ++consumed;
    } else if (is_zavo_node(item) || item.is_sequence()) {
      ++advanced;
      ++consumed;
    } else {
      return std::nullopt;
    }
  }
  if (ellipses > 1 || consumed > shape.size() || advanced > 1 || (advanced && integers))
    return std::nullopt;

  IndexPlan plan;
  std::size_t dim = 0;
  auto read_part = [&](std::size_t d) { plan.read_in_part.push_back(d); };
  for (const Value& item : items) {
    if (item.is_none()) {
      plan.dims.push_back({std::nullopt, false, 1});
    } else if (is_ellipsis(item)) {
      for (std::size_t n = shape.size() - consumed; n > 0; --n, ++dim)
        plan.dims.push_back({dim, true, shape[dim]});
    } else if (item.is_int()) {
      read_part(dim++);
    } else if (const auto slice = parse_slice(item)) {
      const auto length = slice_length(*slice, shape[dim]);
      if (!length)
        return std::nullopt;
      const bool whole = reads_whole(*slice);
      if (!whole)
        read_part(dim);
      plan.dims.push_back({dim, whole, *length});
      ++dim;
    } else if (is_zavo_node(item)) {
      const ZavoNode& tensor = item.as_node();
      if (!tensor.result_shape)
        return std::nullopt;
      plan.index_tensors.push_back(&tensor);
      read_part(dim++);
      for (std::int64_t size : *tensor.result_shape)
        plan.dims.push_back({std::nullopt, false, size});
    } else {  // a list of indices
      read_part(dim++);
      plan.dims.push_back(
          {std::nullopt, false, static_cast<std::int64_t>(item.as_sequence().size())});
    }
  }
  for (; dim < shape.size(); ++dim)
    plan.dims.push_back({dim, true, shape[dim]});
  return plan;
}

// Takes the dimensions read in part and the index tensors' labels out of pruning; returns the
// labels of the indexed result.
TensorLabels indexed_labels(PruneGraphParserState& pruning_state, const IndexPlan& plan,
                            const TensorLabels& labels) {
  for (std::size_t d : plan.read_in_part)
    _mark_labels_as_non_prunable(pruning_state, labels[d]);
  for (const ZavoNode* tensor : plan.index_tensors) {
    if (has_recorded_labels(pruning_state, *tensor))
      _mark_labels_as_non_prunable(pruning_state, get_flatten_labels(pruning_state, *tensor));
  }
  TensorLabels out;
  out.reserve(plan.dims.size());
  for (const IndexedDim& dim : plan.dims)
    out.push_back(dim.whole ? labels[*dim.source] : DimensionLabels());
  return out;
}

std::vector<std::int64_t> plan_sizes(const IndexPlan& plan) {
  std::vector<std::int64_t> sizes;
  for (const IndexedDim& dim : plan.dims)
    sizes.push_back(dim.size);
  return sizes;
}

// ---- parts of a tensor ------------------------------------------------------------------

// The sizes of the parts a split makes of a dimension of `size`; none for forms not followed.
std::optional<std::vector<std::int64_t>> part_sizes(const ZavoOpNode& node, std::int64_t size) {
  const std::string& name = node.operation_name;
  if (name == "unbind")
    return std::vector<std::int64_t>(static_cast<std::size_t>(size), 1);
  // tensor_split names its second argument by what it holds.
  Value how = get_argument({.arg_pos = 1,
                            .arg_key = name == "chunk"   ? "chunks"
                                       : name == "split" ? "split_size_or_sections"
                                                         : "indices_or_sections",
                            .args = node.args,
                            .kwargs = node.kwargs});
  for (const char* key : {"sections", "indices", "split_size", "tensor_indices_or_sections"}) {
    if (const Value* given = node.kwargs.find(key); how.is_none() && given)
      how = *given;
  }
  std::vector<std::int64_t> sizes;
  if (name == "chunk" && how.is_int() && how.as_int() > 0) {
    const std::int64_t part = (size + how.as_int() - 1) / how.as_int();
    for (std::int64_t left = size; left > 0; left -= part)
      sizes.push_back(std::min(part, left));
  } else if (name == "split" && how.is_int() && how.as_int() > 0) {
    for (std::int64_t left = size; left > 0; left -= how.as_int())
      sizes.push_back(std::min(how.as_int(), left));
  } else if (name == "split" && how.is_sequence()) {
    for (const Value& part : how.as_sequence()) {
      if (!part.is_int())
        return std::nullopt;
      sizes.push_back(part.as_int());
    }
  } else if (name == "tensor_split" && how.is_int() && how.as_int() > 0) {
    // The first size % n parts are one longer.
    const std::int64_t n = how.as_int();
    for (std::int64_t i = 0; i < n; ++i)
      sizes.push_back(size / n + (i < size % n ? 1 : 0));
  } else if (name == "tensor_split" && how.is_sequence() && !node.kwargs.contains("sections")) {
    std::int64_t start = 0;
    for (const Value& index : how.as_sequence()) {
      if (!index.is_int())
        return std::nullopt;
      const std::int64_t stop = std::clamp<std::int64_t>(index.as_int(), start, size);
      sizes.push_back(stop - start);
      start = stop;
    }
    sizes.push_back(size - start);
  } else {
    return std::nullopt;
  }
  return sizes;
}

// The handlers whose tuple results `_tuple_item_node_handler` reads.
bool records_parts(NodeHandler handler) {
  return handler == &_split_node_handler;
}

// ---- positions ------------------------------------------------------------------------

std::size_t input_rank(const ZavoOpNode& node) {
  const ZavoNode* src = _tensor_argument_or_null(node, 0, "input");
  return src && src->result_shape ? src->result_shape->size() : 0;
}

}  // namespace

void _getitem_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  const Value index =
      get_argument({.arg_pos = 1, .arg_key = "index", .args = node.args, .kwargs = node.kwargs});
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  const std::optional<IndexPlan> plan =
      labels ? plan_index(index, *src.result_shape) : std::nullopt;
  if (!plan || !node.result_shape || plan_sizes(*plan) != *node.result_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }
  _record(pruning_state, node, indexed_labels(pruning_state, *plan, *labels));
}

void _setitem_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& target = _required_tensor_argument(node, 0, "input");
  const Value index =
      get_argument({.arg_pos = 1, .arg_key = "index", .args = node.args, .kwargs = node.kwargs});
  const Value value =
      get_argument({.arg_pos = 2, .arg_key = "value", .args = node.args, .kwargs = node.kwargs});
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, target);
  const std::optional<IndexPlan> plan =
      labels ? plan_index(index, *target.result_shape) : std::nullopt;
  std::optional<TensorLabels> value_labels;
  if (is_zavo_node(value))
    value_labels = _shaped_labels(pruning_state, value.as_node());
  const bool value_read = !is_zavo_node(value) || value_labels;
  if (!plan || !value_read || !node.result_shape || *node.result_shape != *target.result_shape) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const TensorLabels written = indexed_labels(pruning_state, *plan, *labels);
  if (value_labels) {
    const Shape& value_shape = *value.as_node().result_shape;
    const std::vector<std::int64_t> sizes = plan_sizes(*plan);
    if (value_shape.size() > sizes.size()) {
      _default_node_handler(pruning_state, node);
      return;
    }
    const Operand operands[] = {{sizes, written}, {value_shape, *value_labels}};
    _tie_broadcast(pruning_state, operands, sizes.size());
  }
  // The written tensor's own lists, which the ties above reached.
  _record(pruning_state, node, *_shaped_labels(pruning_state, target));
}

void _split_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode& src = _required_tensor_argument(node, 0, "input");
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, src);
  // unbind takes its dimension second, the others third.
  const auto dim = _int_argument(node, node.operation_name == "unbind" ? 1 : 2, "dim", 0);
  const auto index = labels ? _dimension_index(*dim, labels->size()) : std::nullopt;
  const auto sizes = index ? part_sizes(node, (*src.result_shape)[*index]) : std::nullopt;
  if (!sizes || sizes->empty()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  DimensionLabels& split = (*labels)[*index];
  const std::int64_t part = sizes->front();
  const bool equal = std::ranges::all_of(*sizes, [part](std::int64_t s) { return s == part; });
  if (split && equal && part > 1 && sizes->size() > 1) {
    const LabelList all = split->to_vector();
    std::vector<DimensionLabels> parts;
    for (std::size_t p = 0; p < sizes->size(); ++p) {
      const auto begin = all.begin() + static_cast<std::ptrdiff_t>(p) * part;
      parts.push_back(make_labels(pruning_state, LabelList(begin, begin + part)));
    }
    split = _merge_label_groups(pruning_state, parts);
  } else if (split && !(equal && sizes->size() == 1)) {
    _mark_labels_as_non_prunable(pruning_state, split);
    split = nullptr;
  }
  if (node.operation_name == "unbind")
    labels->erase(labels->begin() + static_cast<std::ptrdiff_t>(*index));
  _record(pruning_state, node, std::move(*labels));
}

void _tuple_item_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode* tuple = _tensor_argument_or_null(node, 0, "input");
  const ZavoOpNode* call = tuple ? tuple->as_op_node() : nullptr;
  const Value item =
      get_argument({.arg_pos = 1, .arg_key = "index", .args = node.args, .kwargs = node.kwargs});
  const NodeHandler handler = call && item.is_int() && has_recorded_labels(pruning_state, *call)
                                  ? get_node_handler(*call, RuleSet::Extended)
                                  : nullptr;
  // The attention weights an attention call returns beside its output carry none of its
  // features (weights per head take the heads out of pruning there).
  if (handler == &_multi_head_attention_node_handler && item.as_int() != 0) {
    _tensor_get_node_handler(pruning_state, node);
    return;
  }
  const bool parts = records_parts(handler) || handler == &_multi_head_attention_node_handler;
  if (!parts || !node.result_shape ||
      get_prune_labels(pruning_state, *call).size() != node.result_shape->size()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  _node_keep_state({.pruning_state = pruning_state, .node = node, .src_node = *call});
}

void _cat_any_dim_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  Value cat_dim =
      get_argument({.arg_pos = 1, .arg_key = "dim", .args = node.args, .kwargs = node.kwargs});
  const Value tensors =
      get_argument({.arg_pos = 0, .arg_key = "tensors", .args = node.args, .kwargs = node.kwargs});
  // Without a dimension the call joins along dimension 0.
  if (cat_dim.is_none())
    cat_dim = 0;
  if (cat_dim.is_int() && cat_dim.as_int() < 0 && tensors.is_sequence() &&
      !tensors.as_sequence().empty() && is_zavo_node(tensors.as_sequence().front())) {
    const ZavoNode& first = tensors.as_sequence().front().as_node();
    if (first.result_shape) {
      const auto index = _dimension_index(cat_dim.as_int(), first.result_shape->size());
      if (index)
        cat_dim = static_cast<std::int64_t>(*index);
    }
  }
  _cat_node_handler(pruning_state, node, cat_dim);
}

void _roll_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const auto dims = _int_list_argument(node, 2, "dims", /*varargs=*/false);
  const std::size_t rank = input_rank(node);
  std::vector<std::size_t> rolled;
  for (std::int64_t dim : dims.value_or(std::vector<std::int64_t>{})) {
    if (const auto index = _dimension_index(dim, rank))
      rolled.push_back(*index);
  }
  // Without dimensions the tensor is rolled as one flat row: every position moves.
  if (!dims || rolled.size() != dims->size()) {
    _default_node_handler(pruning_state, node);
    return;
  }
  _record_keeping_dimensions(pruning_state, node, rolled);
}

void _pad_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const auto pad = _int_list_argument(node, 1, "pad", /*varargs=*/false);
  const std::size_t rank = input_rank(node);
  if (!pad || pad->size() % 2 != 0 || pad->size() / 2 > rank) {
    _default_node_handler(pruning_state, node);
    return;
  }
  // Pairs from the last dimension backwards.
  std::vector<std::size_t> padded;
  for (std::size_t i = 0; i < pad->size() / 2; ++i) {
    if ((*pad)[2 * i] != 0 || (*pad)[2 * i + 1] != 0)
      padded.push_back(rank - 1 - i);
  }
  _record_keeping_dimensions(pruning_state, node, padded);
}

void _pool_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  // The pooled dimensions are the last n of `..._poolNd`.
  const std::string& name = node.operation_name;
  const std::size_t n =
      name.size() >= 2 ? static_cast<std::size_t>(name[name.size() - 2] - '0') : 0;
  const std::size_t rank = input_rank(node);
  if (n < 1 || n > 3 || rank < n) {
    _default_node_handler(pruning_state, node);
    return;
  }
  std::vector<std::size_t> pooled;
  for (std::size_t d = rank - n; d < rank; ++d)
    pooled.push_back(d);
  _record_keeping_dimensions(pruning_state, node, pooled);
}

void _interpolate_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  std::vector<std::size_t> spatial;
  for (std::size_t d = 2; d < input_rank(node); ++d)
    spatial.push_back(d);
  _record_keeping_dimensions(pruning_state, node, spatial);
}

void _triangle_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const std::size_t rank = input_rank(node);
  std::vector<std::size_t> matrix;
  for (std::size_t d = rank < 2 ? 0 : rank - 2; d < rank; ++d)
    matrix.push_back(d);
  _record_keeping_dimensions(pruning_state, node, matrix);
}

void _where_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  if (!node.result_shape || node.args.size() + node.kwargs.size() < 3) {
    _default_node_handler(pruning_state, node);
    return;
  }
  std::vector<Operand> operands;
  for (const ZavoNode* input : node.collect_all_input_nodes()) {
    std::optional<TensorLabels> labels = _shaped_labels(pruning_state, *input);
    if (!labels || input->result_shape->size() > node.result_shape->size()) {
      _default_node_handler(pruning_state, node);
      return;
    }
    operands.push_back({*input->result_shape, std::move(*labels)});
  }
  _record(pruning_state, node, _tie_broadcast(pruning_state, operands, node.result_shape->size()));
}

}  // namespace zavo::pruning::engine::node_handlers
