// The convolution and fully-connected layer handlers, run through the registry.

#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

const std::string CONV2D = "torch.nn.functional.conv2d";
const std::string LINEAR = "torch.nn.functional.linear";

// ---- convolution ------------------------------------------------------------------------------

TEST_F(Handlers, EveryConvolutionTiesInputChannelsToItsWeightsInputChannelDimension) {
  struct Case {
    std::string op;
    std::size_t spatial_dims;
    bool transposed;
  };
  const Case cases[] = {
      {"torch.nn.functional.conv1d", 1, false},
      {"torch.nn.functional.conv2d", 2, false},
      {"torch.nn.functional.conv3d", 3, false},
      {"torch.nn.functional.conv_transpose1d", 1, true},
      {"torch.nn.functional.conv_transpose2d", 2, true},
      {"torch.nn.functional.conv_transpose3d", 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    GraphBuilder g;
    Shape x_shape{1, 3};
    Shape w_shape = c.transposed ? Shape{3, 2} : Shape{2, 3};
    Shape y_shape{1, 2};
    TensorLabels x_labels{none, L({0, 1, 2})};
    TensorLabels w_labels = c.transposed ? TensorLabels{L({10, 11, 12}), L({20, 21})}
                                         : TensorLabels{L({20, 21}), L({10, 11, 12})};
    for (std::size_t i = 0; i < c.spatial_dims; ++i) {
      x_shape.push_back(5);
      w_shape.push_back(3);
      y_shape.push_back(3);
      x_labels.push_back(none);
      w_labels.push_back(L({Label(30 + 3 * i), Label(31 + 3 * i), Label(32 + 3 * i)}));
    }
    auto& x = g.tensor("x", x_shape, x_labels);
    auto& w = g.tensor("w", w_shape, w_labels);
    auto& y = g.call(c.op, {x, w}, {}, y_shape);
    g.run(y);

    const std::size_t in_dim = c.transposed ? 0 : 1;
    const std::size_t out_dim = c.transposed ? 1 : 0;
    TensorLabels expected(x_shape.size());
    expected[1] = L({20, 21});
    EXPECT_EQ(g.text(y), labels_text(expected));
    EXPECT_EQ(g.labels(y)[1], g.labels(w)[out_dim]);  // shared: later merges reach the output
    EXPECT_EQ(labels_text(g.labels(w)[in_dim]), "[0, 1, 2]");
    for (Label label : {0, 1, 2, 20, 21})
      EXPECT_TRUE(g.prunable(label)) << label;
    for (std::size_t i = 0; i < 3 * c.spatial_dims; ++i)
      EXPECT_FALSE(g.prunable(Label(30 + i))) << "kernel label " << 30 + i;
  }
  EXPECT_TRUE(warned.records().empty());
}

TEST_F(Handlers, ConvBiasIsFoldedIntoTheOutputChannelsWhetherPositionalOrKeyword) {
  for (bool by_keyword : {false, true}) {
    SCOPED_TRACE(by_keyword ? "keyword" : "positional");
    GraphBuilder g;
    auto& x = g.tensor("x", Shape{1, 2, 5, 5}, {none, L({0, 1}), none, none});
    auto& w = g.tensor("w", Shape{2, 2, 1, 1}, {L({20, 21}), L({10, 11}), none, none});
    auto& b = g.tensor("b", Shape{2}, {L({14, 22})});
    auto& y = by_keyword ? g.call(CONV2D, {x, w}, {{"bias", b}}, Shape{1, 2, 5, 5})
                         : g.call(CONV2D, {x, w, b}, {}, Shape{1, 2, 5, 5});
    g.run(y);
    // The smaller label of each (weight, bias) pair survives.
    EXPECT_EQ(g.text(y), "[None, [14, 21], None, None]");
    EXPECT_EQ(g.text(w), "[[14, 21], [0, 1], None, None]");
    EXPECT_EQ(g.text(b), "[[14, 21]]");
    EXPECT_FALSE(g.has_label(20));
    EXPECT_FALSE(g.has_label(22));
  }
}

TEST_F(Handlers, DepthwiseConvMakesInputAndOutputChannelOneClass) {
  auto& x = tensor("x", Shape{1, 4, 6, 6}, {none, L({0, 1, 2, 3}), none, none});
  auto& w = tensor("w", Shape{4, 1, 3, 3}, {L({4, 5, 6, 7}), none, L({8, 9, 10}), none});
  auto& b = tensor("b", Shape{4}, {L({11, 12, 13, 14})});
  // groups is the seventh positional argument: input, weight, bias, stride, padding, dilation.
  auto& y = call(CONV2D, {x, w, b, 1, 0, 1, 4}, {}, Shape{1, 4, 4, 4});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2, 3], None, None]");
  EXPECT_EQ(text(x), "[None, [0, 1, 2, 3], None, None]");
  EXPECT_EQ(text(w), "[[0, 1, 2, 3], None, [8, 9, 10], None]");
  EXPECT_EQ(text(b), "[[0, 1, 2, 3]]");
  expect_prunable({0, 1, 2, 3}, true);
}

TEST_F(Handlers, OtherGroupedConvsTakeTheLayersChannelsOutOfPruning) {
  struct Case {
    const char* name;
    std::int64_t groups;
    std::int64_t out_channels;
    Shape weight_shape;
    TensorLabels weight_labels;
  };
  const Case cases[] = {
      {"two groups", 2, 4, {4, 2, 3, 3}, {L({4, 5, 6, 7}), L({8, 9}), none, none}},
      // groups equal to the inputs, twice as many outputs
      {"groups 4", 4, 8, {8, 1, 3, 3}, {L({4, 5, 6, 7, 8, 9, 10, 11}), none, none, none}},
  };
  for (const Case& c : cases) {
    for (bool with_bias : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (with_bias ? ", with bias" : ""));
      GraphBuilder g;
      auto& x = g.tensor("x", Shape{1, 4, 6, 6}, {none, L({0, 1, 2, 3}), none, none});
      auto& w = g.tensor("w", c.weight_shape, c.weight_labels);
      DimensionLabels bias_labels = L({40, 41, 42, 43, 44, 45, 46, 47});
      bias_labels->resize(static_cast<std::size_t>(c.out_channels));
      auto& b = g.tensor("b", Shape{c.out_channels}, {bias_labels});
      Kwargs kwargs{{"groups", c.groups}};
      if (with_bias)
        kwargs.set("bias", b);
      auto& y = g.call(CONV2D, {x, w}, kwargs, Shape{1, c.out_channels, 4, 4});
      g.run(y);

      for (Label label : get_flatten_labels(g.state, x))
        EXPECT_FALSE(g.prunable(label)) << label;
      for (Label label : get_flatten_labels(g.state, w))
        EXPECT_FALSE(g.prunable(label)) << label;
      if (with_bias) {
        EXPECT_EQ(g.labels(y)[1], bias_labels);
        for (Label label : *bias_labels)
          EXPECT_FALSE(g.prunable(label)) << label;
      } else {
        EXPECT_EQ(g.text(y), "[None, None, None, None]");
      }
    }
  }
}

TEST_F(Handlers, SingleChannelConvIsOrdinaryNotDepthwiseAndWarns) {
  auto& x = tensor("x", Shape{1, 1, 5, 5}, {none, L({0}), none, none});
  auto& w = tensor("w", Shape{1, 1, 3, 3}, {L({1}), L({2}), none, none});
  auto& y = call(CONV2D, {x, w}, {}, Shape{1, 1, 3, 3});
  run(y);
  // Depthwise would have tied the input channel to the output: [None, [0], None, None].
  EXPECT_EQ(text(y), "[None, [1], None, None]");
  EXPECT_EQ(text(w), "[[1], [0], None, None]");
  EXPECT_EQ(warned.messages(), std::vector<std::string>{"Conv layer with single output channel"});
}

TEST_F(Handlers, ConvWarnsInOrderAndStillTiesLabels) {
  // Batch labels and labels in two of three spatial dimensions, a computed weight and bias, one
  // output channel: every warning of the handler, once each, in order.
  auto& x = tensor("x", Shape{2, 2, 4, 3, 4},
                   {L({0, 1}), L({2, 3}), L({4, 5, 6, 7}), none, L({8, 9, 10, 11})});
  auto& w = computed("w", Shape{1, 2, 1, 1, 1}, {L({20}), L({21, 22}), none, none, none});
  auto& b = computed("b", Shape{1}, {L({19})});
  auto& y = call("torch.nn.functional.conv3d", {x, w, b}, {}, Shape{2, 1, 4, 3, 4});
  run(y);
  EXPECT_EQ(warned.messages(),
            (std::vector<std::string>{
                "Convolution-like operation input has prunable labels in batch dimension (0)",
                "Attempting to prune convolution-like operation along spatial dimension",
                "Attempting to prune convolution-like operation along spatial dimension",
                "Conv layer with weight dependent on model inputs",
                "Conv layer with bias dependent on model inputs",
                "Conv layer with single output channel",
            }));
  for (const auto& record : warned.records()) {
    EXPECT_EQ(record.category, warnings::Category::UserWarning);
    EXPECT_EQ(record.stacklevel, 1);
  }
  EXPECT_EQ(text(y), "[None, [19], None, None, None]");
  EXPECT_EQ(text(w), "[[19], [2, 3], None, None, None]");
  expect_prunable({0, 1, 2, 3, 19}, true);  // batch labels are warned about, not marked
  expect_prunable({4, 5, 6, 7, 8, 9, 10, 11}, false);
}

TEST_F(Handlers, ConvOverAnInputWithoutShapeGoesToTheDefaultHandlerSilently) {
  auto& x = tensor("x", std::nullopt, {L({0}), L({1, 2}), L({3}), none});
  auto& w = tensor("w", Shape{3, 2, 1, 1}, {L({4, 5, 6}), L({7, 8}), none, none});
  auto& y = call(CONV2D, {x, w}, {}, Shape{1, 3, 5, 5});
  run(y);
  EXPECT_EQ(text(y), "[None, None, None, None]");
  expect_prunable({0, 1, 2, 3, 4, 5, 6, 7, 8}, false);
  EXPECT_TRUE(warned.records().empty());
}

TEST_F(Handlers, ConvChannelCountMismatchRaisesTheMergeError) {
  auto& x = tensor("x", Shape{1, 3, 5, 5}, {none, L({0, 1, 2}), none, none});
  auto& w = tensor("w", Shape{2, 2, 1, 1}, {L({3, 4}), L({5, 6}), none, none});
  auto& b = tensor("b", Shape{3}, {L({7, 8, 9})});
  auto& y = call(CONV2D, {x, w}, {}, Shape{1, 2, 5, 5});
  EXPECT_EQ(failure_of([&] { run(y); }),
            "PruningEngineRuntimeException: Attempting to merge label groups of different "
            "sizes: (3, 2)");
  EXPECT_FALSE(recorded(y));

  auto& w2 = tensor("w2", Shape{2, 3, 1, 1}, {L({10, 11}), L({12, 13, 14}), none, none});
  auto& y2 = call(CONV2D, {x, w2, b}, {}, Shape{1, 2, 5, 5});
  EXPECT_EQ(failure_of([&] { run(y2); }),
            "PruningEngineRuntimeException: Attempting to merge label groups of different "
            "sizes: (2, 3)");
  EXPECT_FALSE(recorded(y2));
}

// Calls the handler cannot read fail before they change anything.
TEST_F(Handlers, UnreadableLayerCallsFailBeforeAnyChange) {
  auto& x = tensor("x", Shape{1, 2, 5, 5}, {none, L({0, 1}), L({2, 3, 4, 5, 6}), none});
  auto& w = tensor("w", Shape{3, 2, 1, 1}, {L({7, 8, 9}), L({10, 11}), none, none});
  auto& x_1d = tensor("x_1d", Shape{2}, {L({12, 13})});
  auto& w_fc = tensor("w_fc", Shape{3, 2}, {L({14, 15, 16}), L({17, 18})});
  auto& short_record = tensor("short", Shape{1, 2, 5, 5}, {none});
  const std::string lookup = "LookupError: ", type = "TypeError: ",
                    unsupported = "PruningEngineRuntimeException: ";
  struct Case {
    std::string op;
    Args args;
    Kwargs kwargs;
    std::optional<Shape> shape;
    std::string kind;
    std::string failure;  // after `<operation name> node <node name>`
  };
  const Shape y4{1, 3, 5, 5};
  // clang-format off
  const Case cases[] = {
      {CONV2D, {}, {{"weight", w}}, y4, lookup, " has no input argument"},
      {CONV2D, {x}, {}, y4, lookup, " has no weight argument"},
      {CONV2D, {x, 0.5}, {}, y4, type, ": argument weight must be a tensor, got float 0.5"},
      {CONV2D, {x, w, 1}, {}, y4, type, ": argument bias must be a tensor, got int 1"},
      {CONV2D, {x, w}, {{"groups", 2.5}}, y4, type,
       ": argument groups must be an integer, got float 2.5"},
      {CONV2D, {x, w}, {{"groups", true}}, y4, type,
       ": argument groups must be an integer, got bool True"},
      {CONV2D, {x, w}, {}, std::nullopt, lookup, ": the output shape is unknown"},
      {CONV2D, {x, w}, {}, Shape{3}, unsupported,
       ": the output shape (3,) has fewer than 2 dimensions"},
      {CONV2D, {x_1d, w}, {}, y4, unsupported,
       ": the shape (2,) of input x_1d has fewer than 2 dimensions"},
      {CONV2D, {short_record, w}, {}, y4, unsupported,
       ": the label record of short has fewer than 2 dimensions"},
      {LINEAR, {x_1d}, {{"bias", w_fc}}, Shape{3}, lookup, " has no weight argument"},
      {LINEAR, {x_1d, w_fc}, {}, std::nullopt, lookup, ": the output shape is unknown"},
      {LINEAR, {x_1d, w_fc}, {}, Shape{}, unsupported,
       ": the output shape () has fewer than 1 dimensions"},
      {LINEAR, {x_1d, w_fc}, {}, Shape{4, 3}, unsupported,
       ": the label record of x_1d has fewer than 2 dimensions"},
  };
  // clang-format on
  const auto prunability = state.is_prunable;
  for (const Case& c : cases) {
    auto& y = call(c.op, c.args, c.kwargs, c.shape);
    EXPECT_EQ(failure_of([&] { run(y); }),
              c.kind + y.operation_name + " node " + y.name + c.failure);
    EXPECT_FALSE(recorded(y)) << y.name;
  }
  EXPECT_EQ(state.is_prunable, prunability);
  EXPECT_TRUE(warned.records().empty());
}

// ---- fully-connected layer --------------------------------------------------------------------

TEST_F(Handlers, LinearTiesInputFeaturesAndRecordsOutputFeaturesInTheLastDimension) {
  struct Case {
    Shape input_shape;
    Shape output_shape;
    std::string expected;
  };
  const Case cases[] = {
      {{5, 4}, {5, 3}, "[None, [20, 21, 22]]"},
      {{5, 7, 4}, {5, 7, 3}, "[None, None, [20, 21, 22]]"},
      {{4}, {3}, "[[20, 21, 22]]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(tensor_trace::shape_text(c.input_shape));
    GraphBuilder g;
    TensorLabels x_labels(c.input_shape.size());
    x_labels.back() = L({0, 1, 2, 3});
    auto& x = g.tensor("x", c.input_shape, x_labels);
    auto& w = g.tensor("w", Shape{3, 4}, {L({20, 21, 22}), L({10, 11, 12, 13})});
    auto& y = g.call(LINEAR, {x, w}, {}, c.output_shape);
    g.run(y);
    EXPECT_EQ(g.text(y), c.expected);
    EXPECT_EQ(g.text(w), "[[20, 21, 22], [0, 1, 2, 3]]");
    EXPECT_EQ(g.labels(y).back(), g.labels(w)[0]);
    for (Label label : {0, 1, 2, 3, 20, 21, 22})
      EXPECT_TRUE(g.prunable(label)) << label;
  }
  EXPECT_TRUE(warned.records().empty());
}

TEST_F(Handlers, LinearBiasIsFoldedIntoTheOutputFeatures) {
  auto& x = tensor("x", Shape{5, 2}, {none, L({0, 1})});
  auto& w = tensor("w", Shape{2, 2}, {L({20, 21}), L({10, 11})});
  auto& b = tensor("b", Shape{2}, {L({14, 22})});
  auto& y = call(LINEAR, {x}, {{"weight", w}, {"bias", b}}, Shape{5, 2});
  run(y);
  EXPECT_EQ(text(y), "[None, [14, 21]]");
  EXPECT_EQ(text(b), "[[14, 21]]");
  EXPECT_EQ(text(w), "[[14, 21], [0, 1]]");
}

TEST_F(Handlers, LinearLeavesLeadingLabelsAloneAndUntiedFeaturesOutOfPruning) {
  // Channel labels of an image tensor before a layer over its last axis, which has no labels.
  auto& x = tensor("x", Shape{1, 3, 4}, {none, L({0, 1, 2}), none});
  auto& w = tensor("w", Shape{2, 4}, {L({10, 11}), L({12, 13, 14, 15})});
  auto& y = call(LINEAR, {x, w}, {}, Shape{1, 3, 2});
  run(y);
  EXPECT_EQ(text(y), "[None, None, [10, 11]]");
  expect_prunable({0, 1, 2, 10, 11}, true);
  expect_prunable({12, 13, 14, 15}, false);
}

TEST_F(Handlers, LinearWarnsInOrderAndStillTiesLabels) {
  auto& x = tensor("x", Shape{5, 2}, {none, L({0, 1})});
  auto& w = computed("w", Shape{1, 2}, {L({10}), L({11, 12})});
  auto& b = computed("b", Shape{1}, {L({3})});
  auto& y = call(LINEAR, {x, w, b}, {}, Shape{5, 1});
  run(y);
  EXPECT_EQ(warned.messages(), (std::vector<std::string>{
                                   "Fully-connected layer have weight dependent on model inputs",
                                   "Fully-connected layer have bias dependent on model inputs",
                                   "Fully-connected layer with single output feature",
                               }));
  EXPECT_EQ(text(y), "[None, [3]]");
  EXPECT_EQ(text(w), "[[3], [0, 1]]");
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
