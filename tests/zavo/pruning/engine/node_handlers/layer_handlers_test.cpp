// The convolution, fully-connected and flatten handlers, run through the registry. Their label
// results on whole graphs are pinned by the report goldens; these cases hold the sharing of the
// output's list, the warnings' order, category and stack level, and the exact messages of calls
// no golden graph makes.

#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

const std::string CONV2D = "torch.nn.functional.conv2d";
const std::string LINEAR = "torch.nn.functional.linear";

TEST_F(Handlers, LayerOutputsShareTheWeightsOutputChannelList) {
  auto& x = tensor("x", Shape{1, 2, 5, 5}, {none, L({0, 1}), none, none});
  auto& w = tensor("w", Shape{3, 2, 1, 1}, {L({10, 11, 12}), L({13, 14}), none, none});
  auto& conv = call(CONV2D, {x, w}, {}, Shape{1, 3, 5, 5});
  auto& v = tensor("v", Shape{5, 4}, {none, L({20, 21, 22, 23})});
  auto& fc_w = tensor("fc_w", Shape{2, 4}, {L({30, 31}), L({32, 33, 34, 35})});
  auto& fc = call(LINEAR, {v, fc_w}, {}, Shape{5, 2});
  run(conv);
  run(fc);
  EXPECT_EQ(labels(conv)[1], labels(w)[0]);  // shared: later merges reach the output
  EXPECT_EQ(labels(fc)[1], labels(fc_w)[0]);
  EXPECT_TRUE(warned.records().empty());
}

TEST_F(Handlers, LayerWarningsComeInOrderAsUserWarningsAtLevelOne) {
  // Batch labels and labels in two of three spatial dimensions, a computed weight and bias, one
  // output channel: every warning of the handler, once each, in order.
  auto& x = tensor("x", Shape{2, 2, 4, 3, 4},
                   {L({0, 1}), L({2, 3}), L({4, 5, 6, 7}), none, L({8, 9, 10, 11})});
  auto& w = computed("w", Shape{1, 2, 1, 1, 1}, {L({20}), L({21, 22}), none, none, none});
  auto& b = computed("b", Shape{1}, {L({19})});
  run(call("torch.nn.functional.conv3d", {x, w, b}, {}, Shape{2, 1, 4, 3, 4}));
  auto& v = tensor("v", Shape{5, 2}, {none, L({30, 31})});
  auto& fc_w = computed("fc_w", Shape{1, 2}, {L({32}), L({33, 34})});
  auto& fc_b = computed("fc_b", Shape{1}, {L({35})});
  run(call(LINEAR, {v, fc_w, fc_b}, {}, Shape{5, 1}));
  const std::string spatial =
      "Attempting to prune convolution-like operation along spatial dimension";
  EXPECT_EQ(
      warned.messages(),
      (std::vector<std::string>{
          "Convolution-like operation input has prunable labels in batch dimension (0)", spatial,
          spatial, "Conv layer with weight dependent on model inputs",
          "Conv layer with bias dependent on model inputs", "Conv layer with single output channel",
          "Fully-connected layer have weight dependent on model inputs",
          "Fully-connected layer have bias dependent on model inputs",
          "Fully-connected layer with single output feature"}));
  for (const auto& record : warned.records()) {
    EXPECT_EQ(record.category, warnings::Category::UserWarning);
    EXPECT_EQ(record.stacklevel, 1);
  }
  expect_prunable({0, 1, 2, 3, 19}, true);  // batch labels are warned about, not marked
  expect_prunable({4, 5, 6, 7, 8, 9, 10, 11}, false);
}

// Calls the handlers cannot read fail before they change anything; `@` stands for
// `<operation name> node <node name>`. The goldens pin the other messages.
TEST_F(Handlers, UnreadableLayerCallsFailBeforeAnyChange) {
  auto& x = tensor("x", Shape{1, 2, 5, 5}, {none, L({0, 1}), L({2, 3, 4, 5, 6}), none});
  auto& w = tensor("w", Shape{3, 2, 1, 1}, {L({7, 8, 9}), L({10, 11}), none, none});
  auto& x_1d = tensor("x_1d", Shape{2}, {L({12, 13})});
  auto& w_fc = tensor("w_fc", Shape{3, 2}, {L({14, 15, 16}), L({17, 18})});
  auto& short_record = tensor("short", Shape{1, 2, 5, 5}, {none});
  auto& scalar = tensor("scalar", Shape{}, {});
  auto& xf = tensor("xf", Shape{2, 3, 1}, {none, L({19, 20, 21}), none});
  const std::string FLATTEN = "torch.flatten";
  const Shape y4{1, 3, 5, 5};
  // clang-format off
  const std::tuple<std::string, Args, Kwargs, std::optional<Shape>, std::string> cases[] = {
      {CONV2D, {}, {{"weight", w}}, y4, "LookupError: @ has no input argument"},
      {CONV2D, {x, 0.5}, {}, y4, "TypeError: @: argument weight must be a tensor, got float 0.5"},
      {CONV2D, {x, w}, {{"groups", true}}, y4,
       "TypeError: @: argument groups must be an integer, got bool True"},
      {CONV2D, {short_record, w}, {}, y4,
       "PruningEngineRuntimeException: @: the label record of short has fewer than 2 dimensions"},
      {LINEAR, {x_1d, w_fc}, {}, Shape{},
       "PruningEngineRuntimeException: @: the output shape () has fewer than 1 dimensions"},
      {FLATTEN, {scalar}, {}, Shape{1},
       "PruningEngineRuntimeException: @: input scalar has fewer than 1 dimensions"},
      {FLATTEN, {xf}, {{"end_dim", Value::none()}}, Shape{2, 3},
       "TypeError: @: argument end_dim must be an integer, got NoneType None"},
      {FLATTEN, {xf, 1}, {}, Shape{2},
       "PruningEngineRuntimeException: @: the output shape (2,) has fewer than 2 dimensions"},
  };
  // clang-format on
  const auto prunability = flags();
  for (const auto& [op, args, kwargs, shape, failure] : cases) {
    auto& y = call(op, args, kwargs, shape);
    EXPECT_EQ(failure_of([&] { run(y); }), at_node(failure, y));
    EXPECT_FALSE(recorded(y)) << y.name;
  }
  EXPECT_EQ(flags(), prunability);
  EXPECT_TRUE(warned.records().empty());
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
