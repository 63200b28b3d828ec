// Reading a reduction's arguments, and the reduction handler's failures. What the handler records
// on whole graphs is pinned by the report goldens (the reductions graph); these cases hold the
// argument layouts a golden graph does not exercise and the messages none raises.

#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"

#include <gtest/gtest.h>

#include <string>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

using tensor_trace::intern_operation;

std::string dims_text(const ReduceDims& dims) {
  if (!dims)
    return "None";
  std::string out = "[";
  for (std::size_t i = 0; i < dims->size(); ++i)
    out += (i ? ", " : "") + std::to_string((*dims)[i]);
  return out + "]";
}

TEST_F(Handlers, ReductionArgumentsFollowEachFamilysLayout) {
  struct Case {
    const char* op;
    Args args;  // after the input
    Kwargs kwargs;
    std::string dim;
    std::string keepdim;
  };
  const Case cases[] = {
      {"torch.Tensor.mean", {}, {{"keepdim", 1}}, "None", "1"},  // kept as found
      // Standard deviation and variance: a boolean after the input is the unbiased flag.
      {"torch.std", {1, true, true}, {}, "[1]", "True"},
      {"torch.var", {1, true, true}, {{"keepdim", false}}, "[1]", "False"},
      // Norms: an integer, a boolean or a name after the input is the order.
      {"torch.norm", {true, 1}, {}, "[1]", "False"},
      {"torch.norm", {2}, {}, "None", "False"},
      // A keyword dim, none included, ends the search through positions.
      {"torch.Tensor.norm", {2, 1, true}, {{"dim", Value::none()}}, "None", "True"},
  };
  auto& x = tensor("x", Shape{2, 3, 4}, {none, none, none});
  for (const Case& c : cases) {
    Args args{x};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto& node = call(c.op, args, c.kwargs, Shape{1});
    auto [dim, keepdim] = _get_args_for_unary_reduce(node);
    EXPECT_EQ(dims_text(dim), c.dim) << c.op << " " << node.name;
    EXPECT_EQ(text_form(keepdim), c.keepdim) << c.op << " " << node.name;
  }
  EXPECT_EQ(failure_of([] { _unary_reduce_first_arg_is_dim(1, intern_operation("torch.mean")); }),
            "NotImplementedError: Unknown reduction operation");
}

// The handler fails as the argument reading does, before it changes anything.
TEST_F(Handlers, ReductionFailuresLeaveNoRecord) {
  const std::string not_index = "TypeError: Reduction dim entries must be integers, got ";
  auto& x = tensor("x", Shape{2, 3, 4}, {none, L({0, 1, 2}), none});
  // Labels recorded for more dimensions than the shape has.
  auto& wide = tensor("wide", Shape{2, 3, 4, 5}, {none, none, none, none, L({3, 4})});
  const std::tuple<std::string_view, Args, Kwargs, std::string> cases[] = {
      {"torch.std",
       {x, Value(Sequence{1.5, "c"})},
       {},  // names are refused first
       "PruningEngineRuntimeException: Pruning does not support named tensors"},
      {"torch.mean",
       {x, true},
       {},
       "TypeError: Reduction dim of type bool is not a sequence: True"},
      {"torch.mean", {x, Value(Sequence{0, 1.5})}, {}, not_index + "float 1.5"},
      {"torch.mean", {x, Value(Sequence{0, false})}, {}, not_index + "bool False"},
      {"torch.mean",
       {wide, 0},
       {},
       "PruningEngineRuntimeException: Prune dimension index exceeds the number of dimensions "
       "(4 >= 4)"},
  };
  for (const auto& [op, args, kwargs, failure] : cases) {
    auto& node = call(op, args, kwargs, Shape{2});
    EXPECT_EQ(failure_of([&] { run(node); }), failure) << node.name;
    EXPECT_FALSE(recorded(node));
  }
  auto& z = call("torch.sum", {}, {{"input", Value::none()}, {"dim", 0}}, Shape{3, 4});
  EXPECT_EQ(failure_of([&] { run(z); }), at_node("LookupError: @ has no input argument", z));
  EXPECT_FALSE(recorded(z));
  expect_prunable({0, 1, 2, 3, 4}, true);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
