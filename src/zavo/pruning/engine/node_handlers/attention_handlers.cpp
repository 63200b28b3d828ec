#include "zavo/pruning/engine/node_handlers/attention_handlers.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <utility>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/dimension_helpers.hpp"
#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

// A tensor argument with its shape and labels, one entry per dimension.
struct Tensor {
  const ZavoNode* node = nullptr;
  Shape shape;
  TensorLabels labels;
};

std::optional<Tensor> read_tensor(const PruneGraphParserState& pruning_state,
                                  const ZavoNode* node) {
  if (!node)
    return std::nullopt;
  std::optional<TensorLabels> labels = _shaped_labels(pruning_state, *node);
  if (!labels)
    return std::nullopt;
  return Tensor{node, *node->result_shape, std::move(*labels)};
}

// The leading (batch) dimensions of a tensor, as a broadcast operand.
Operand leading(const Tensor& tensor, std::size_t trailing) {
  const auto end = static_cast<std::ptrdiff_t>(tensor.shape.size() - trailing);
  return {Shape(tensor.shape.begin(), tensor.shape.begin() + end),
          TensorLabels(tensor.labels.begin(), tensor.labels.begin() + end)};
}

// The size of a broadcast of the leading dimensions; none when they do not broadcast.
std::optional<Shape> broadcast_shape(std::span<const Operand> operands) {
  std::size_t rank = 0;
  for (const Operand& operand : operands)
    rank = std::max(rank, operand.shape.size());
  Shape out(rank, 1);
  for (const Operand& operand : operands) {
    const std::size_t offset = rank - operand.shape.size();
    for (std::size_t d = 0; d < operand.shape.size(); ++d) {
      std::int64_t& size = out[offset + d];
      if (operand.shape[d] != 1 && size != 1 && operand.shape[d] != size)
        return std::nullopt;
      size = std::max(size, operand.shape[d]);
    }
  }
  return out;
}

// The broadcast of the leading dimensions, when `result` is it followed by `rows` and
// `columns`; none otherwise.
std::optional<Shape> product_batch(std::span<const Operand> batches, std::int64_t rows,
                                   std::int64_t columns, const Shape& result) {
  std::optional<Shape> batch = broadcast_shape(batches);
  if (!batch)
    return std::nullopt;
  Shape expected = *batch;
  expected.push_back(rows);
  expected.push_back(columns);
  return expected == result ? batch : std::nullopt;
}

DimensionLabels last(const Tensor& tensor, std::size_t from_end) {
  return tensor.labels[tensor.labels.size() - from_end];
}
std::int64_t last_size(const Tensor& tensor, std::size_t from_end) {
  return tensor.shape[tensor.shape.size() - from_end];
}

// Ties two dimensions that meet in a product (the contracted one, or a sequence).
void tie_pair(PruneGraphParserState& pruning_state, std::int64_t size, const DimensionLabels& a,
              const DimensionLabels& b) {
  const DimensionEntry entries[] = {{size, a}, {size, b}};
  _tie_dimension(pruning_state, entries);
}

// ---- einsum ---------------------------------------------------------------------------------

struct Equation {
  std::vector<std::string> inputs;
  std::string output;
};

std::optional<Equation> parse_equation(std::string text) {
  std::erase(text, ' ');
  if (text.find("...") != std::string::npos)
    return std::nullopt;
  Equation equation;
  const std::size_t arrow = text.find("->");
  const std::string left = text.substr(0, arrow);
  for (std::size_t start = 0;;) {
    const std::size_t comma = left.find(',', start);
    equation.inputs.push_back(left.substr(start, comma - start));
    if (comma == std::string::npos)
      break;
    start = comma + 1;
  }
  std::map<char, int> counts;
  for (const std::string& input : equation.inputs) {
    for (char letter : input) {
      if (!std::isalpha(static_cast<unsigned char>(letter)) ||
          std::count(input.begin(), input.end(), letter) > 1)
        return std::nullopt;  // a letter twice in one operand takes a diagonal
      ++counts[letter];
    }
  }
  if (arrow != std::string::npos) {
    equation.output = text.substr(arrow + 2);
  } else {  // the letters that occur once, in alphabetical order
    for (const auto& [letter, count] : counts) {
      if (count == 1)
        equation.output += letter;
    }
  }
  for (char letter : equation.output) {
    if (!counts.contains(letter) ||
        std::count(equation.output.begin(), equation.output.end(), letter) > 1)
      return std::nullopt;
  }
  return equation;
}

// ---- multi-head attention -------------------------------------------------------------------

DimensionLabels dim_labels(const PruneGraphParserState& pruning_state, const ZavoNode* node,
                           std::int64_t dim) {
  return node ? get_prune_labels_by_dim(pruning_state, *node, dim) : DimensionLabels();
}

// The labels of `positions` of a bias list, as a new list; none without a bias.
DimensionLabels part_of(PruneGraphParserState& pruning_state, const DimensionLabels& labels,
                        std::size_t begin, std::size_t size) {
  if (!labels)
    return nullptr;
  const LabelList all = labels->to_vector();
  return make_labels(pruning_state, std::span<const Label>(all).subspan(begin, size));
}

// Folds a bias's labels into a weight's rows position by position; without a bias the rows stay
// as they are.
DimensionLabels with_bias(PruneGraphParserState& pruning_state, const DimensionLabels& rows,
                          const DimensionLabels& bias) {
  return bias ? _merge_label_groups(pruning_state, {rows, bias}) : rows;
}

}  // namespace

void _matmul_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const bool reflected = node.operation_name == "__rmatmul__";
  const ZavoNode* first = _tensor_argument_or_null(node, reflected ? 1 : 0, "input");
  const ZavoNode* second = _tensor_argument_or_null(
      node, reflected ? 0 : 1, node.operation_name == "matmul" ? "other" : "mat2");
  const std::optional<Tensor> a = read_tensor(pruning_state, first);
  const std::optional<Tensor> b = read_tensor(pruning_state, second);
  // Vectors on either side drop a dimension of the result; they are left to the default.
  if (!a || !b || a->shape.size() < 2 || b->shape.size() < 2 || !node.result_shape ||
      last_size(*a, 1) != last_size(*b, 2)) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const Operand batches[] = {leading(*a, 2), leading(*b, 2)};
  const std::optional<Shape> batch =
      product_batch(batches, last_size(*a, 2), last_size(*b, 1), *node.result_shape);
  if (!batch) {
    _default_node_handler(pruning_state, node);
    return;
  }
  TensorLabels labels = _tie_broadcast(pruning_state, batches, batch->size());
  tie_pair(pruning_state, last_size(*a, 1), last(*a, 1), last(*b, 2));
  labels.push_back(last(*a, 2));
  labels.push_back(last(*b, 1));
  _record(pruning_state, node, std::move(labels));
}

void _einsum_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const Value text =
      get_argument({.arg_pos = 0, .arg_key = "equation", .args = node.args, .kwargs = node.kwargs});
  std::vector<const ZavoNode*> inputs;
  if (node.args.size() == 2 && node.args[1].is_sequence()) {
    for (const Value& value : node.args[1].as_sequence())
      inputs.push_back(is_zavo_node(value) ? &value.as_node() : nullptr);
  } else {
    for (std::size_t i = 1; i < node.args.size(); ++i)
      inputs.push_back(is_zavo_node(node.args[i]) ? &node.args[i].as_node() : nullptr);
  }
  const std::optional<Equation> equation =
      text.is_text() ? parse_equation(std::string(text.as_text())) : std::nullopt;
  std::vector<Tensor> operands;
  for (const ZavoNode* input : inputs) {
    if (std::optional<Tensor> tensor = read_tensor(pruning_state, input))
      operands.push_back(std::move(*tensor));
  }
  bool valid = equation && operands.size() == inputs.size() &&
               operands.size() == equation->inputs.size() && node.result_shape &&
               node.result_shape->size() == equation->output.size();
  // Each letter's dimensions, and its size (1 where it is broadcast).
  std::map<char, std::vector<DimensionEntry>> letters;
  std::map<char, std::int64_t> sizes;
  for (std::size_t i = 0; valid && i < operands.size(); ++i) {
    const std::string& subscript = equation->inputs[i];
    valid = subscript.size() == operands[i].shape.size();
    for (std::size_t d = 0; valid && d < subscript.size(); ++d) {
      const std::int64_t size = operands[i].shape[d];
      std::int64_t& known = sizes.try_emplace(subscript[d], 1).first->second;
      valid = size == 1 || known == 1 || size == known;
      known = std::max(known, size);
      letters[subscript[d]].push_back({size, operands[i].labels[d]});
    }
  }
  for (std::size_t d = 0; valid && d < equation->output.size(); ++d)
    valid = sizes[equation->output[d]] == (*node.result_shape)[d];
  if (!valid) {
    _default_node_handler(pruning_state, node);
    return;
  }
  std::map<char, DimensionLabels> tied;
  for (const auto& [letter, entries] : letters) {
    tied[letter] = _tie_dimension(pruning_state, entries);
    // Summed over within one operand: a reduction, which keeps them.
    if (entries.size() == 1 && equation->output.find(letter) == std::string::npos)
      _mark_labels_as_non_prunable(pruning_state, entries.front().labels);
  }
  TensorLabels labels;
  for (char letter : equation->output)
    labels.push_back(sizes[letter] == 1 ? DimensionLabels() : tied[letter]);
  _record(pruning_state, node, std::move(labels));
}

void _softmax_node_handler(PruneGraphParserState& pruning_state, const ZavoOpNode& node) {
  const ZavoNode* src = _tensor_argument_or_null(node, 0, "input");
  const auto dim = _int_argument(node, 1, "dim", std::nullopt);
  const auto index = src && src->result_shape && dim
                         ? _dimension_index(*dim, src->result_shape->size())
                         : std::nullopt;
  // Without a dimension the framework picks one by the input's rank: left to the default.
  if (!index) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::size_t dims[] = {*index};
  _record_keeping_dimensions(pruning_state, node, dims);
}

void _scaled_dot_product_attention_node_handler(PruneGraphParserState& pruning_state,
                                                const ZavoOpNode& node) {
  std::optional<Tensor> q = read_tensor(pruning_state, _tensor_argument_or_null(node, 0, "query"));
  std::optional<Tensor> k = read_tensor(pruning_state, _tensor_argument_or_null(node, 1, "key"));
  std::optional<Tensor> v = read_tensor(pruning_state, _tensor_argument_or_null(node, 2, "value"));
  const ZavoNode* mask_node = _tensor_argument_or_null(node, 3, "attn_mask");
  std::optional<Tensor> mask = read_tensor(pruning_state, mask_node);
  const std::size_t rank = q ? q->shape.size() : 0;
  bool valid = q && k && v && rank >= 2 && k->shape.size() == rank && v->shape.size() == rank &&
               (!mask_node || mask) && last_size(*q, 1) == last_size(*k, 1) &&
               last_size(*k, 2) == last_size(*v, 2) && node.result_shape;
  // Fewer key-value heads than query heads: each serves a group of query heads in a row.
  if (valid && rank >= 3) {
    const std::int64_t heads = last_size(*q, 3);
    for (Tensor* kv : {&*k, &*v}) {
      const std::int64_t kv_heads = last_size(*kv, 3);
      if (kv_heads != heads && kv_heads != 1) {
        valid = heads % kv_heads == 0;
        if (valid) {
          DimensionLabels& head_labels = kv->labels[rank - 3];
          head_labels = _repeat_each(pruning_state, head_labels, heads / kv_heads);
          kv->shape[rank - 3] = heads;
          // Held by the node, so that the ties below reach the repeated lists.
          _record(pruning_state, node, {k->labels[rank - 3], v->labels[rank - 3]});
        }
      }
    }
  }
  std::vector<Operand> batches;
  std::optional<Shape> batch;
  if (valid) {
    batches = {leading(*q, 2), leading(*k, 2), leading(*v, 2)};
    batch = product_batch(batches, last_size(*q, 2), last_size(*v, 1), *node.result_shape);
  }
  if (!batch) {
    _default_node_handler(pruning_state, node);
    return;
  }
  TensorLabels labels = _tie_broadcast(pruning_state, batches, batch->size());
  tie_pair(pruning_state, last_size(*q, 1), last(*q, 1), last(*k, 1));
  tie_pair(pruning_state, last_size(*k, 2), last(*k, 2), last(*v, 2));
  if (mask) {
    // The mask broadcasts against the scores: (batch..., L, S).
    Operand scores{*batch, labels};
    scores.shape.push_back(last_size(*q, 2));
    scores.shape.push_back(last_size(*k, 2));
    scores.labels.push_back(last(*q, 2));
    scores.labels.push_back(last(*k, 2));
    const Operand both[] = {std::move(scores), {mask->shape, mask->labels}};
    _tie_broadcast(pruning_state, both, std::max(both[0].shape.size(), mask->shape.size()));
  }
  labels.push_back(last(*q, 2));
  labels.push_back(last(*v, 1));
  _record(pruning_state, node, std::move(labels));
}

void _multi_head_attention_node_handler(PruneGraphParserState& pruning_state,
                                        const ZavoOpNode& node) {
  const ValueList args = node.args;
  const KeywordList kwargs = node.kwargs;
  auto argument = [&](std::size_t pos, std::string_view key) {
    return get_argument({.arg_pos = pos, .arg_key = key, .args = args, .kwargs = kwargs});
  };
  auto tensor = [&](std::size_t pos, std::string_view key) {
    return _tensor_argument_or_null(node, pos, key);
  };
  const std::optional<Tensor> query = read_tensor(pruning_state, tensor(0, "query"));
  const std::optional<Tensor> key = read_tensor(pruning_state, tensor(1, "key"));
  const std::optional<Tensor> value = read_tensor(pruning_state, tensor(2, "value"));
  const Value heads_value = argument(4, "num_heads");
  const ZavoNode* in_proj_weight = tensor(5, "in_proj_weight");
  const ZavoNode* in_proj_bias = tensor(6, "in_proj_bias");
  const ZavoNode* bias_k = tensor(7, "bias_k");
  const ZavoNode* bias_v = tensor(8, "bias_v");
  const ZavoNode* out_proj_weight = tensor(11, "out_proj_weight");
  const ZavoNode* out_proj_bias = tensor(12, "out_proj_bias");
  const bool separate = argument(17, "use_separate_proj_weight").truthy();
  const ZavoNode* projections[] = {separate ? tensor(18, "q_proj_weight") : nullptr,
                                   separate ? tensor(19, "k_proj_weight") : nullptr,
                                   separate ? tensor(20, "v_proj_weight") : nullptr};

  const std::int64_t embed_dim = query ? last_size(*query, 1) : 0;
  const std::int64_t heads = heads_value.is_int() ? heads_value.as_int() : 0;
  bool valid = query && key && value && out_proj_weight && out_proj_weight->result_shape &&
               embed_dim > 1 && heads > 0 && embed_dim % heads == 0 &&
               *out_proj_weight->result_shape == Shape{embed_dim, embed_dim} &&
               (separate ? std::ranges::all_of(projections, [](const ZavoNode* w) { return w; })
                         : in_proj_weight != nullptr);
  if (valid && !separate) {
    valid = in_proj_weight->result_shape &&
            *in_proj_weight->result_shape == Shape{3 * embed_dim, embed_dim} &&
            last_size(*key, 1) == embed_dim && last_size(*value, 1) == embed_dim;
  }
  // The biases, where given, hold one entry per row or column they are added to.
  auto sized = [](const ZavoNode* given, const Shape& shape) {
    return !given || (given->result_shape && *given->result_shape == shape);
  };
  valid = valid && sized(in_proj_bias, {3 * embed_dim}) && sized(out_proj_bias, {embed_dim}) &&
          sized(bias_k, {1, 1, embed_dim}) && sized(bias_v, {1, 1, embed_dim});
  if (valid && separate) {
    const Tensor* inputs[] = {&*query, &*key, &*value};
    for (std::size_t i = 0; valid && i < 3; ++i) {
      const auto& shape = projections[i]->result_shape;
      valid = shape && shape->size() == 2 && (*shape)[0] == embed_dim &&
              (*shape)[1] == last_size(*inputs[i], 1);
    }
  }
  if (!valid) {
    _default_node_handler(pruning_state, node);
    return;
  }
  const std::int64_t head_dim = embed_dim / heads;

  // The inputs' features and the projections' columns.
  if (separate) {
    const Tensor* inputs[] = {&*query, &*key, &*value};
    for (std::size_t i = 0; i < 3; ++i) {
      tie_pair(pruning_state, last_size(*inputs[i], 1), last(*inputs[i], 1),
               dim_labels(pruning_state, projections[i], 1));
    }
  } else {
    const DimensionEntry entries[] = {{embed_dim, last(*query, 1)},
                                      {embed_dim, last(*key, 1)},
                                      {embed_dim, last(*value, 1)},
                                      {embed_dim, dim_labels(pruning_state, in_proj_weight, 1)}};
    _tie_dimension(pruning_state, entries);
  }

  // The projections' rows, q then k then v, each with its part of the packed bias.
  const DimensionLabels bias = dim_labels(pruning_state, in_proj_bias, 0);
  DimensionLabels rows;
  if (separate) {
    LabelList all;
    for (std::size_t i = 0; i < 3; ++i) {
      with_bias(pruning_state, dim_labels(pruning_state, projections[i], 0),
                part_of(pruning_state, bias, i * static_cast<std::size_t>(embed_dim),
                        static_cast<std::size_t>(embed_dim)));
    }
    for (const ZavoNode* projection : projections)
      dim_labels(pruning_state, projection, 0)->append_to(all);
    rows = make_labels(pruning_state, all);
  } else {
    with_bias(pruning_state, dim_labels(pruning_state, in_proj_weight, 0), bias);
    rows = dim_labels(pruning_state, in_proj_weight, 0);
  }
  const std::int64_t row_sizes[] = {3, heads, head_dim};
  const std::int64_t column_sizes[] = {heads, head_dim};
  // Each fold's heads, held by the node so that the next folds' merges reach them.
  TensorLabels head_groups{rows};
  head_groups.push_back(_fold_into_dimension(pruning_state, rows, row_sizes, 1));
  _record(pruning_state, node, head_groups);
  head_groups.push_back(_fold_into_dimension(
      pruning_state, dim_labels(pruning_state, out_proj_weight, 1), column_sizes, 0));
  _record(pruning_state, node, head_groups);
  // Learned key and value biases appended to the sequence, (1, 1, embed_dim) each.
  for (const ZavoNode* appended : {bias_k, bias_v}) {
    if (appended) {
      head_groups.push_back(_fold_into_dimension(
          pruning_state, dim_labels(pruning_state, appended, -1), column_sizes, 0));
      _record(pruning_state, node, head_groups);
    }
  }
  head_groups.erase(head_groups.begin());
  const DimensionLabels head_labels = _merge_label_groups(pruning_state, head_groups);
  // One head is the whole attention; static keys or values, a mask per head and weights per head
  // returned are sized by the head count.
  const Value mask = argument(16, "attn_mask");
  const bool per_head_mask =
      is_zavo_node(mask) && mask.as_node().result_shape && mask.as_node().result_shape->size() == 3;
  const bool per_head_weights = get_argument({.arg_pos = 15,
                                              .arg_key = "need_weights",
                                              .args = args,
                                              .kwargs = kwargs,
                                              .default_value = true})
                                    .truthy() &&
                                !get_argument({.arg_pos = 23,
                                               .arg_key = "average_attn_weights",
                                               .args = args,
                                               .kwargs = kwargs,
                                               .default_value = true})
                                     .truthy();
  if (heads == 1 || tensor(21, "static_k") || tensor(22, "static_v") || per_head_mask ||
      per_head_weights) {
    _mark_labels_as_non_prunable(pruning_state, head_labels);
  }

  // The output's features: the output projection's rows.
  TensorLabels labels(query->shape.size());
  labels.back() = with_bias(pruning_state, dim_labels(pruning_state, out_proj_weight, 0),
                            dim_labels(pruning_state, out_proj_bias, 0));
  _record(pruning_state, node, std::move(labels));
}

}  // namespace zavo::pruning::engine::node_handlers
