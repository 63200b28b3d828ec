#pragma once
// Operations grouped by how they treat channels. Each category is an ordered sequence of
// catalogue operations; the five handler categories are pairwise disjoint.

#include <span>
#include <string_view>

#include "zavo/tensor_trace.hpp"

namespace zavo::tensor_trace::op_categorization {

extern const OperationCategory ELEMENTWISE_OPS;
extern const OperationCategory BINARY_ELEMENTWISE_OPS;
extern const OperationCategory CHANNELWISE_OPS;
extern const OperationCategory DROPOUT_OPS;
extern const OperationCategory UNARY_REDUCE_OPS;

// Every qualified name the catalogue knows, categories and individually named operations alike.
std::span<const std::string_view> catalogue_names();

}  // namespace zavo::tensor_trace::op_categorization
