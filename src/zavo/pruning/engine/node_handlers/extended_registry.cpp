// The extended rules' registration table: the operations transformers and language models are
// built of, beside the catalogue's table. Rows name operations the catalogue's table does not
// have, except where a row says why it replaces the catalogue's handler for an operation.

#include <initializer_list>
#include <string>
#include <string_view>

#include "zavo/pruning/engine/node_handlers/attention_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/indexing_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/normalization_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/registry.hpp"
#include "zavo/pruning/engine/node_handlers/reshape_handlers.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using tensor_trace::intern_operation;

constexpr std::string_view F = "torch.nn.functional.";
constexpr std::string_view T = "torch.Tensor.";

// The operations of the given qualified names; `prefixes` x `names` for each prefix in order.
OperationList ops(std::initializer_list<std::string_view> prefixes,
                  std::initializer_list<std::string_view> names) {
  OperationList list;
  for (std::string_view prefix : prefixes) {
    for (std::string_view name : names)
      list.push_back(intern_operation(std::string(prefix) + std::string(name)));
  }
  return list;
}

HandlerRegistry load_extended_registry() {
  HandlerRegistry registry;
  auto row = [&registry](const OperationList& nodes, NodeHandler handler) {
    _register_node_handler(nodes, registry)(handler);
  };
  const std::string_view torch = "torch.";

  // Shapes.
  row(ops({T}, {"view", "reshape", "view_as", "reshape_as", "unflatten", "squeeze", "unsqueeze"}),
      _reshape_node_handler);
  row(ops({torch}, {"reshape", "unflatten", "squeeze", "unsqueeze"}), _reshape_node_handler);
  // Replaces the catalogue's flatten handler, which keeps a dimension joined with others; a
  // flatten is a reshape, and heads joined back with their head size must follow as they do
  // through one.
  row(ops({torch, T}, {"flatten"}), _reshape_node_handler);
  row(ops({torch, T}, {"transpose", "swapaxes", "swapdims"}), _transpose_node_handler);
  row(ops({torch, T}, {"permute"}), _permute_node_handler);
  row(ops({torch, T}, {"movedim", "moveaxis"}), _movedim_node_handler);
  row(ops({torch, T}, {"t"}), _reverse_dims_node_handler);
  row(ops({T}, {"T.__get__"}), _reverse_dims_node_handler);
  row(ops({T}, {"mT.__get__"}), _matrix_transpose_node_handler);
  row(ops({T}, {"expand", "expand_as", "broadcast_to"}), _expand_node_handler);
  row(ops({torch}, {"broadcast_to"}), _expand_node_handler);
  row(ops({T}, {"repeat", "tile"}), _repeat_node_handler);
  row(ops({torch}, {"tile"}), _repeat_node_handler);
  row(ops({torch, T}, {"repeat_interleave"}), _repeat_interleave_node_handler);
  row(ops({torch}, {"stack"}), _stack_node_handler);

  // Values that keep their input's layout: conversions, tensors made like another.
  row(ops({T}, {"data.__get__", "long", "int", "short", "bool", "byte", "bfloat16", "type",
                "type_as", "cpu", "cuda", "requires_grad_", "log1p", "expm1", "clamp_min",
                "clamp_max", "nan_to_num"}),
      _elementwise_node_handler);
  row(ops({torch}, {"full_like", "zeros_like", "ones_like", "empty_like", "rand_like", "randn_like",
                    "log1p", "expm1", "nan_to_num"}),
      _elementwise_node_handler);
  row(ops({F}, {"normalize"}), _elementwise_node_handler);
  // Tensors made new from another's type and device only.
  row(ops({T}, {"new_zeros", "new_ones", "new_full", "new_empty", "new_tensor"}),
      _tensor_get_node_handler);
  // Comparisons and masks, with broadcasting.
  row(ops({torch, T}, {"eq", "ne", "lt", "le", "gt", "ge", "logical_and", "logical_or",
                       "logical_xor", "masked_fill"}),
      _binary_elementwise_node_handler);
  row(ops({T}, {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__and__", "__or__",
                "__xor__", "masked_fill_"}),
      _binary_elementwise_node_handler);
  row(ops({torch}, {"where"}), _where_node_handler);

  // Parts of tensors.
  row(ops({T}, {"__getitem__"}), _getitem_node_handler);
  row(ops({T}, {"__setitem__"}), _setitem_node_handler);
  row(ops({torch, T}, {"chunk", "split", "tensor_split", "unbind"}), _split_node_handler);
  row(ops({"_operator."}, {"getitem"}), _tuple_item_node_handler);
  // Replaces the catalogue's concatenation handler, which compares a dimension counted from the
  // end with no dimension index and so ties the joined inputs instead of joining them.
  row(ops({torch}, {"cat", "concat", "concatenate"}), _cat_any_dim_node_handler);
  row(ops({torch, T}, {"roll"}), _roll_node_handler);
  row(ops({torch, T}, {"triu", "tril"}), _triangle_node_handler);
  // Replace the catalogue's element-wise handler for padding, pooling and interpolation, which
  // passes labels through the dimensions these change the size of.
  row(ops({F}, {"pad"}), _pad_node_handler);
  row(ops({F}, {"max_pool1d", "max_pool2d", "max_pool3d", "avg_pool1d", "avg_pool2d", "avg_pool3d",
                "adaptive_max_pool1d", "adaptive_max_pool2d", "adaptive_max_pool3d",
                "adaptive_avg_pool1d", "adaptive_avg_pool2d", "adaptive_avg_pool3d", "lp_pool1d",
                "lp_pool2d"}),
      _pool_node_handler);
  row(ops({F}, {"interpolate", "upsample"}), _interpolate_node_handler);

  // Attention.
  row(ops({torch, T}, {"matmul", "mm", "bmm"}), _matmul_node_handler);
  row(ops({T}, {"__matmul__", "__rmatmul__"}), _matmul_node_handler);
  row(ops({torch}, {"einsum"}), _einsum_node_handler);
  row(ops({F, torch, T}, {"softmax", "log_softmax"}), _softmax_node_handler);
  row(ops({F}, {"scaled_dot_product_attention"}), _scaled_dot_product_attention_node_handler);
  row(ops({F}, {"multi_head_attention_forward"}), _multi_head_attention_node_handler);

  // Normalisations and embeddings.
  row(ops({F, torch}, {"layer_norm", "rms_norm"}), _layer_norm_node_handler);
  row(ops({F, torch}, {"group_norm"}), _group_norm_node_handler);
  row(ops({F, torch}, {"instance_norm"}), _instance_norm_node_handler);
  row(ops({F}, {"embedding"}), _embedding_node_handler);
  // Replaces the catalogue's channel-wise handler, which stops the parse on an input labelled in
  // more dimensions than its channels; the extended rules keep such labels (heads, leading
  // dimensions of a layer over the last axis).
  row(tensor_trace::op_categorization::CHANNELWISE_OPS, _channelwise_any_dims_node_handler);
  // Replaces the catalogue's reduction handler, which keeps every channel of a statistic over
  // them (the mean of an RMS normalisation written out) and every input with two labelled
  // dimensions (heads and channels).
  row(tensor_trace::op_categorization::UNARY_REDUCE_OPS, _statistic_reduce_node_handler);

  // Replaces the catalogue's convolution handler, which leaves labels of the batch dimension
  // behind; pooled attention folds its heads into that dimension.
  row(ops({F}, {"conv1d", "conv2d", "conv3d", "conv_transpose1d", "conv_transpose2d",
                "conv_transpose3d"}),
      _conv_batch_passing_node_handler);
  // Replaces the catalogue's fully-connected handler, which leaves labels of the leading
  // dimensions behind: a layer over the last axis keeps them apart, so they pass.
  row(ops({F}, {"linear"}), _linear_leading_passing_node_handler);
  return registry;
}

}  // namespace

const HandlerRegistry& EXTENDED_NODE_HANDLER_REGISTRY() {
  static const HandlerRegistry registry = load_extended_registry();
  return registry;
}

bool consumes_labels(NodeHandler handler) {
  return handler == &_statistic_reduce_node_handler || handler == &_matmul_node_handler ||
         handler == &_einsum_node_handler || handler == &_scaled_dot_product_attention_node_handler;
}

}  // namespace zavo::pruning::engine::node_handlers
