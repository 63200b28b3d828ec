// Reading a reduction's arguments, and the reduction handler run through the registry.

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

// ---- argument reading -------------------------------------------------------------------------

TEST_F(Handlers, ReductionArgumentsFollowEachFamilysLayout) {
  struct Case {
    const char* op;
    Args args;  // after the input
    Kwargs kwargs;
    std::string dim;
    std::string keepdim;
  };
  const Case cases[] = {
      {"torch.mean", {}, {}, "None", "False"},
      {"torch.sum", {Sequence{1, 2}, true}, {}, "[1, 2]", "True"},
      {"torch.Tensor.amax", {}, {{"dim", -1}, {"keepdim", true}}, "[-1]", "True"},
      {"torch.Tensor.mean", {}, {{"keepdim", 1}}, "None", "1"},  // kept as found
      // Standard deviation and variance: a boolean after the input is the unbiased flag.
      {"torch.std", {true}, {}, "None", "False"},
      {"torch.std", {1, true, true}, {}, "[1]", "True"},
      {"torch.Tensor.var", {}, {{"dim", Sequence{0, 2}}}, "[0, 2]", "False"},
      {"torch.var", {1, true, true}, {{"keepdim", false}}, "[1]", "False"},
      // Norms: an integer, a boolean or a name after the input is the order.
      {"torch.norm", {true, 1}, {}, "[1]", "False"},
      {"torch.Tensor.norm", {"fro", Sequence{0, 1}, true}, {}, "[0, 1]", "True"},
      {"torch.norm", {Value::none()}, {}, "None", "False"},
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

TEST_F(Handlers, ReductionDimensionsMustBeIndices) {
  const std::string named = "PruningEngineRuntimeException: Pruning does not support named tensors";
  const std::string not_index = "TypeError: Reduction dim entries must be integers, got ";
  struct Case {
    const char* op;
    Args args;  // after the input
    Kwargs kwargs;
    std::string failure;
  };
  const Case cases[] = {
      {"torch.mean", {"c"}, {}, named},
      {"torch.sum", {}, {{"dim", Sequence{0, "c"}}}, named},
      {"torch.std", {Value(Sequence{1.5, "c"})}, {}, named},  // names are refused first
      {"torch.norm", {2.5, 1}, {}, "TypeError: Reduction dim of type float is not a sequence: 2.5"},
      {"torch.mean", {true}, {}, "TypeError: Reduction dim of type bool is not a sequence: True"},
      {"torch.mean", {Value(Sequence{0, 1.5})}, {}, not_index + "float 1.5"},
      {"torch.mean", {Value(Sequence{0, false})}, {}, not_index + "bool False"},
  };
  auto& x = tensor("x", Shape{2, 3, 4}, {none, L({0, 1, 2}), none});
  for (const Case& c : cases) {
    Args args{x};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto& node = call(c.op, args, c.kwargs, Shape{2});
    // The handler fails as the argument reading does, before it changes anything.
    EXPECT_EQ(failure_of([&] { run(node); }), c.failure) << node.name;
    EXPECT_FALSE(recorded(node));
  }
  expect_prunable({0, 1, 2}, true);
}

// ---- the handler ------------------------------------------------------------------------------

TEST_F(Handlers, ReductionKeepsOrMovesThePruneDimensionsLabelsOrFallsBack) {
  const std::string channels_at_1 = "[None, [0, 1, 2], None, None]";
  // clang-format off
  const PruneDimCase cases[] = {
      {"torch.mean", {2, 3, 5, 5}, 1, {Value(Sequence{2, 3})}, {}, {2, 3}, channels_at_1},
      {"torch.Tensor.sum", {2, 3, 5, 5}, 1, {0}, {}, {3, 5, 5}, "[[0, 1, 2], None, None, None]"},
      {"torch.amax", {2, 3, 5, 5}, 1, {0, true}, {}, {1, 3, 5, 5}, channels_at_1},
      {"torch.Tensor.mean", {2, 5, 3, 5}, 2, {Value(Sequence{-1, 0})}, {}, {5, 3}, channels_at_1},
      {"torch.sum", {2, 5, 5, 3}, 3, {}, {{"dim", Sequence{1, 2}}}, {2, 3}, channels_at_1},
      {"torch.std", {2, 3, 5, 5}, 1, {Sequence{2, 3}, true, true}, {}, {2, 3, 1, 1}, channels_at_1},
      {"torch.norm", {2, 5, 3}, 2, {2, 0}, {}, {5, 3}, "[None, [0, 1, 2], None]"},
      // The prune dimension is reduced, counted from the end.
      {"torch.mean", {2, 3, 5, 5}, 1, {-3}, {}, {2, 5, 5}, FALLS_BACK},
      // Every dimension is reduced: no dim, or only the unbiased flag.
      {"torch.mean", {2, 3, 5, 5}, 1, {}, {}, {}, FALLS_BACK},
      {"torch.Tensor.std", {2, 3, 5, 5}, 1, {true}, {}, {}, FALLS_BACK},
  };
  // clang-format on
  for (const PruneDimCase& c : cases) {
    SCOPED_TRACE(c.op + " over " + text_form(c.args.empty() ? Value() : c.args[0]));
    check_prune_dim_case(c);
  }
}

TEST_F(Handlers, ReductionFallsBackWithoutOneLabelledDimensionOrAShape) {
  auto& bare = tensor("bare", Shape{2, 3}, {none, none});
  auto& no_shape = tensor("no_shape", std::nullopt, {none, L({0, 1, 2})});
  auto& two = tensor("two", Shape{2, 3}, {L({3, 4}), L({5, 6, 7})});
  for (const ZavoNode* input : {&bare, &no_shape, &two}) {
    auto& y = call("torch.mean", {*input, 0}, {}, Shape{3});
    run(y);
    expect_default_handled(*this, y, *input);
  }
}

TEST_F(Handlers, ReductionRefusesAPruneDimensionPastTheShapeOrAMissingInput) {
  // Labels recorded for more dimensions than the shape has.
  auto& wide = tensor("wide", Shape{2, 3, 4, 5}, {none, none, none, none, L({0, 1})});
  auto& y = call("torch.mean", {wide, 0}, {}, Shape{3, 4, 5});
  EXPECT_EQ(failure_of([&] { run(y); }),
            "PruningEngineRuntimeException: Prune dimension index exceeds the number of "
            "dimensions (4 >= 4)");
  EXPECT_FALSE(recorded(y));

  auto& z = call("torch.sum", {}, {{"input", Value::none()}, {"dim", 0}}, Shape{3, 4});
  EXPECT_EQ(failure_of([&] { run(z); }), at_node("LookupError: @ has no input argument", z));
  EXPECT_FALSE(recorded(z));
  expect_prunable({0, 1}, true);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
