// The flatten handler, run through the registry for both flatten operations.

#include <gtest/gtest.h>

#include <string>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

const std::string FLATTENS[] = {"torch.flatten", "torch.Tensor.flatten"};

TEST_F(Handlers, FlattenKeepsOrMovesThePrunedDimensionOrFallsBack) {
  const std::string channels_last = "[None, None, [0, 1, 2], None]";
  // The operation field names the case; the loop runs each case with both flatten operations.
  // clang-format off
  const PruneDimCase cases[] = {
      {"joined, unit spatial sizes", {2, 3, 1, 1}, 1, {1}, {}, {2, 3},
       "[None, [0, 1, 2], None, None]"},
      {"joined, larger spatial sizes", {2, 3, 2, 2}, 1, {1}, {}, {2, 12}, FALLS_BACK},
      {"before the range", {2, 3, 4, 4}, 1, {2}, {}, {2, 3, 16}, "[None, [0, 1, 2], None, None]"},
      {"after the range", {2, 4, 4, 3}, 3, {1, 2}, {}, {2, 16, 3}, channels_last},
      {"after the range, by name", {2, 4, 4, 3}, 3, {}, {{"start_dim", 1}, {"end_dim", 2}},
       {2, 16, 3}, channels_last},
      {"position wins over name", {2, 4, 4, 3}, 3, {1, 2}, {{"start_dim", 0}, {"end_dim", 3}},
       {2, 16, 3}, channels_last},
      {"wrapped out-of-range dimensions", {2, 4, 4, 3}, 3, {-7, 6}, {}, {2, 16, 3}, channels_last},
      {"joined at the range start", {1, 3, 4}, 1, {0, 1}, {}, {3, 4}, "[[0, 1, 2], None, None]"},
      {"joined at the range start, larger", {2, 3, 4}, 1, {0, 1}, {}, {6, 4}, FALLS_BACK},
      {"defaults join everything, same size", {1, 3}, 1, {}, {}, {3}, "[[0, 1, 2], None]"},
      {"defaults join everything, larger", {2, 3}, 1, {}, {}, {6}, FALLS_BACK},
  };
  // clang-format on
  for (const std::string& op : FLATTENS) {
    for (PruneDimCase c : cases) {
      SCOPED_TRACE(op + ": " + c.op);
      c.op = op;
      check_prune_dim_case(c);
    }
  }
  EXPECT_TRUE(warned.records().empty());
}

TEST_F(Handlers, FlattenWithoutOneLabelledDimensionFallsBackWithoutError) {
  // No labels at all, even with a single-dimension range; labels in two dimensions, whose
  // prune dimension cannot be told.
  auto& bare = tensor("bare", Shape{2, 3, 4}, {none, none, none});
  auto& y = call("torch.flatten", {bare, 1, 1}, {}, Shape{2, 3, 4});
  run(y);
  EXPECT_EQ(text(y), "[None, None, None]");

  auto& two = tensor("two", Shape{2, 3, 4}, {none, L({0, 1, 2}), L({3, 4, 5, 6})});
  auto& z = call("torch.Tensor.flatten", {two, 2}, {}, Shape{2, 3, 4});
  run(z);
  expect_default_handled(*this, z, two);
}

TEST_F(Handlers, FlattenOfAnInputWithoutDimensionsFailsBeforeAnyChange) {
  auto& x = tensor("x", Shape{2, 3, 1}, {none, L({0, 1, 2}), none});
  auto& unknown = tensor("unknown", std::nullopt, {none, L({3, 4})});
  auto& scalar = tensor("scalar", Shape{}, {});
  const std::string lookup = "LookupError: ", type = "TypeError: ",
                    unsupported = "PruningEngineRuntimeException: ";
  struct Case {
    Args args;
    Kwargs kwargs;
    std::optional<Shape> output;
    std::string kind;
    std::string failure;  // after `flatten node <node name>`
  };
  // clang-format off
  const Case cases[] = {
      {{}, {{"start_dim", 1}}, Shape{6}, lookup, " has no input argument"},
      {{unknown}, {}, Shape{6}, lookup, ": the shape of input unknown is unknown"},
      {{scalar}, {}, Shape{1}, unsupported, ": input scalar has fewer than 1 dimensions"},
      {{x, 1.0}, {}, Shape{2, 3}, type, ": argument start_dim must be an integer, got float 1.0"},
      {{x}, {{"end_dim", Value::none()}}, Shape{2, 3}, type,
       ": argument end_dim must be an integer, got NoneType None"},
      // The pruned dimension is joined, and the joined size is needed.
      {{x, 1}, {}, std::nullopt, lookup, ": the output shape is unknown"},
      {{x, 1}, {}, Shape{2}, unsupported, ": the output shape (2,) has fewer than 2 dimensions"},
  };
  // clang-format on
  const auto prunability = state.is_prunable;
  for (const Case& c : cases) {
    auto& y = call("torch.flatten", c.args, c.kwargs, c.output);
    EXPECT_EQ(failure_of([&] { run(y); }), c.kind + "flatten node " + y.name + c.failure);
    EXPECT_FALSE(recorded(y)) << y.name;
  }
  EXPECT_EQ(state.is_prunable, prunability);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
