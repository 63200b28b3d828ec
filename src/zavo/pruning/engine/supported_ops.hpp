#pragma once
// Operation lists the pruning engine tests membership in, and the lookup of an operation's
// framework-function and tensor-method forms.

#include <string_view>

#include "zavo/tensor_trace.hpp"

namespace zavo::pruning::engine::supported_ops {

using tensor_trace::OperationCategory;
using tensor_trace::OperationList;

// Reductions with their own argument layout (an order or unbiased flag after the input).
extern const OperationCategory NORM_OPS;
extern const OperationCategory STD_OPS;
extern const OperationCategory VAR_OPS;
// Dropouts whose training flag defaults to true.
extern const OperationCategory DROPOUT_TRAIN_DEFAULT_OPS;

// `torch.NAME`, then `torch.Tensor.NAME`, each where the catalogue has it.
OperationList get_torch_and_tensor_methods(std::string_view name);

}  // namespace zavo::pruning::engine::supported_ops
