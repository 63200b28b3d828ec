#pragma once
// Names shared by the module's source files. Not part of the module's public surface.

#include <cstdint>
#include <optional>
#include <vector>

#include "zavo/platform/errors.hpp"
#include "zavo/platform/logging.hpp"
#include "zavo/platform/warnings.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/pruning/engine/supported_ops.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"
#include "zavo/tensor_trace/op_categorization.hpp"
#include "zavo/tensor_trace/tracing.hpp"
#include "zavo/utils/argument_utils.hpp"

namespace zavo::pruning::engine::node_handlers {

using tensor_trace::Args;
using tensor_trace::KeywordList;
using tensor_trace::Kwargs;
using tensor_trace::OperationCategory;
using tensor_trace::OperationKey;
using tensor_trace::OperationList;
using tensor_trace::Shape;
using tensor_trace::Value;
using tensor_trace::ValueList;
using tensor_trace::ZavoNode;
using tensor_trace::ZavoOpNode;
using tensor_trace::op_categorization::BINARY_ELEMENTWISE_OPS;
using tensor_trace::op_categorization::CHANNELWISE_OPS;
using tensor_trace::op_categorization::DROPOUT_OPS;
using tensor_trace::op_categorization::ELEMENTWISE_OPS;
using tensor_trace::op_categorization::UNARY_REDUCE_OPS;
using tensor_trace::tracing::is_operation_node;
using tensor_trace::tracing::is_zavo_node;
using zavo::utils::argument_utils::get_argument;
using namespace zavo::pruning::engine::utils;  // labels, state and label utilities

// Index of the batch dimension of an activation tensor.
inline constexpr std::int64_t BATCH_DIM = 0;
// The only dimension of a per-channel normalisation parameter.
inline constexpr std::int64_t BATCH_NORM_PRUNE_DIM = 0;
// Channel dimension of a convolutional activation.
inline constexpr std::int64_t CNN_PRUNE_DIM = 1;

// The non-negative remainder of `value` by `n` (n > 0): a dimension counted from the end becomes
// its index.
inline std::int64_t floor_mod(std::int64_t value, std::int64_t n) {
  return ((value % n) + n) % n;
}

// The module's logger, named after the module, written only at debug level.
inline logging::Logger& _LOGGER = logging::get_logger("zavo.pruning.engine.node_handlers");

// Emits a user warning attributed to the warning call itself.
inline void _warn(std::string message) {
  warnings::warn(std::move(message), warnings::Category::UserWarning, /*stacklevel=*/1);
}

}  // namespace zavo::pruning::engine::node_handlers
