#pragma once
// Predicates on argument values of a traced call.

#include "zavo/tensor_trace.hpp"

namespace zavo::tensor_trace::tracing {

// True for a traced tensor; false for constants and none.
inline bool is_zavo_node(const Value& x) {
  return x.is_node();
}

// True when `x` is computed inside the traced graph (the result of a call); false for model
// inputs, parameters, constants and none.
inline bool is_operation_node(const Value& x) {
  return x.is_node() && x.as_node().kind == NodeKind::Call;
}

}  // namespace zavo::tensor_trace::tracing
