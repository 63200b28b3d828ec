// The convolution, fully-connected and flatten handlers, run through the registry.

#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"

#include <gtest/gtest.h>

#include <numeric>

#include <string>
#include <vector>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

const std::string CONV2D = "torch.nn.functional.conv2d";
const std::string LINEAR = "torch.nn.functional.linear";

// ---- convolution ------------------------------------------------------------------------------

TEST_F(Handlers, EveryConvolutionTiesInputChannelsToItsWeightsInputChannelDimension) {
  for (const std::string kind : {"conv", "conv_transpose"}) {
    const bool transposed = kind != "conv";
    const std::size_t in_dim = transposed ? 0 : 1, out_dim = 1 - in_dim;
    for (std::size_t spatial = 1; spatial <= 3; ++spatial) {
      const std::string op = "torch.nn.functional." + kind + std::to_string(spatial) + "d";
      SCOPED_TRACE(op);
      GraphBuilder g;
      Shape x_shape{1, 3}, w_shape{2, 2}, y_shape{1, 2};
      w_shape[in_dim] = 3;
      TensorLabels x_labels{none, g.L({0, 1, 2})}, w_labels(2);
      w_labels[in_dim] = g.L({10, 11, 12});
      w_labels[out_dim] = g.L({20, 21});
      for (std::size_t i = 0; i < spatial; ++i) {
        x_shape.push_back(5);
        w_shape.push_back(3);
        y_shape.push_back(3);
        x_labels.push_back(none);
        w_labels.push_back(g.L({Label(30 + 3 * i), Label(31 + 3 * i), Label(32 + 3 * i)}));
      }
      auto& w = g.tensor("w", w_shape, w_labels);
      auto& y = g.call(op, {g.tensor("x", x_shape, x_labels), w}, {}, y_shape);
      g.run(y);
      TensorLabels expected(x_shape.size());
      expected[1] = g.L({20, 21});
      EXPECT_EQ(g.text(y), labels_text(expected));
      EXPECT_EQ(g.labels(y)[1], g.labels(w)[out_dim]);  // shared: later merges reach the output
      EXPECT_EQ(labels_text(g.labels(w)[in_dim]), "[0, 1, 2]");
      for (Label label : {0, 1, 2, 20, 21})
        EXPECT_TRUE(g.prunable(label)) << label;
      for (Label label = 30; label < Label(30 + 3 * spatial); ++label)
        EXPECT_FALSE(g.prunable(label)) << "kernel label " << label;
    }
  }
  EXPECT_TRUE(warned.records().empty());
}

// The smaller label of each (weight, bias) pair survives, the bias given by position or keyword.
TEST_F(Handlers, LayerBiasIsFoldedIntoTheOutputChannels) {
  for (const std::string& op : {CONV2D, LINEAR}) {
    for (bool by_keyword : {false, true}) {
      SCOPED_TRACE(op + (by_keyword ? ", keyword" : ", positional"));
      GraphBuilder g;
      auto& x = g.tensor("x", Shape{1, 2}, {none, g.L({0, 1})});
      auto& w = g.tensor("w", Shape{2, 2}, {g.L({20, 21}), g.L({10, 11})});
      auto& b = g.tensor("b", Shape{2}, {g.L({14, 22})});
      auto& y = by_keyword ? g.call(op, {x, w}, {{"bias", b}}, Shape{1, 2})
                           : g.call(op, {x, w, b}, {}, Shape{1, 2});
      g.run(y);
      EXPECT_EQ(g.text(y), "[None, [14, 21]]");
      EXPECT_EQ(g.text(w), "[[14, 21], [0, 1]]");
      EXPECT_EQ(g.text(b), "[[14, 21]]");
      EXPECT_FALSE(g.has_label(20) || g.has_label(22));
    }
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
  // Weight labels per dimension; an empty list stands for none.
  const std::tuple<std::int64_t, Shape, std::vector<LabelList>> cases[] = {
      {2, {4, 2, 3, 3}, {{4, 5, 6, 7}, {8, 9}, {}, {}}},
      // groups equal to the inputs, twice as many outputs
      {4, {8, 1, 3, 3}, {{4, 5, 6, 7, 8, 9, 10, 11}, {}, {}, {}}},
  };
  for (const auto& [groups, w_shape, w_labels] : cases) {
    for (bool with_bias : {false, true}) {
      SCOPED_TRACE(std::to_string(groups) + (with_bias ? " groups, with bias" : " groups"));
      GraphBuilder g;
      auto& x = g.tensor("x", Shape{1, 4, 6, 6}, {none, g.L({0, 1, 2, 3}), none, none});
      TensorLabels w_dims;
      for (const LabelList& dim_labels : w_labels)
        w_dims.push_back(dim_labels.empty() ? none : make_labels(g.state, dim_labels));
      auto& w = g.tensor("w", w_shape, w_dims);
      LabelList bias(static_cast<std::size_t>(w_shape[0]));
      std::iota(bias.begin(), bias.end(), 40);
      DimensionLabels bias_labels = make_labels(g.state, bias);
      Kwargs kwargs{{"groups", groups}};
      if (with_bias)
        kwargs.set("bias", g.tensor("b", Shape{w_shape[0]}, {bias_labels}));
      auto& y = g.call(CONV2D, {x, w}, kwargs, Shape{1, w_shape[0], 4, 4});
      g.run(y);
      TensorLabels expected(4);
      if (with_bias)
        expected[1] = bias_labels;
      EXPECT_EQ(g.text(y), labels_text(expected));
      for (const ZavoNode* input : {&x, &w})
        for (Label label : get_flatten_labels(g.state, *input))
          EXPECT_FALSE(g.prunable(label)) << label;
      for (Label label : with_bias ? bias : LabelList{})
        EXPECT_FALSE(g.prunable(label)) << label;
    }
  }
}

TEST_F(Handlers, SingleChannelConvIsOrdinaryNotDepthwise) {
  auto& x = tensor("x", Shape{1, 1, 5, 5}, {none, L({0}), none, none});
  auto& w = tensor("w", Shape{1, 1, 3, 3}, {L({1}), L({2}), none, none});
  auto& y = call(CONV2D, {x, w}, {}, Shape{1, 1, 3, 3});
  run(y);
  // Depthwise would have tied the input channel to the output: [None, [0], None, None].
  EXPECT_EQ(text(y), "[None, [1], None, None]");
  EXPECT_EQ(text(w), "[[1], [0], None, None]");
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
  const std::string spatial =
      "Attempting to prune convolution-like operation along spatial dimension";
  EXPECT_EQ(warned.messages(),
            (std::vector<std::string>{
                "Convolution-like operation input has prunable labels in batch dimension (0)",
                spatial, spatial, "Conv layer with weight dependent on model inputs",
                "Conv layer with bias dependent on model inputs",
                "Conv layer with single output channel"}));
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

// Input against weight, and weight against bias.
TEST_F(Handlers, ConvChannelCountMismatchRaisesTheMergeError) {
  auto& x = tensor("x", Shape{1, 3, 5, 5}, {none, L({0, 1, 2}), none, none});
  auto& w = tensor("w", Shape{2, 2, 1, 1}, {L({3, 4}), L({5, 6}), none, none});
  auto& w2 = tensor("w2", Shape{2, 3, 1, 1}, {L({10, 11}), L({12, 13, 14}), none, none});
  auto& b = tensor("b", Shape{3}, {L({7, 8, 9})});
  const std::pair<Args, std::string> cases[] = {{{x, w}, "(3, 2)"}, {{x, w2, b}, "(2, 3)"}};
  for (const auto& [args, sizes] : cases) {
    auto& y = call(CONV2D, args, {}, Shape{1, 2, 5, 5});
    EXPECT_EQ(failure_of([&] { run(y); }),
              "PruningEngineRuntimeException: Attempting to merge "
              "label groups of different sizes: " +
                  sizes);
    EXPECT_FALSE(recorded(y));
  }
}

// Calls the handler cannot read fail before they change anything; `@` stands for
// `<operation name> node <node name>`.
TEST_F(Handlers, UnreadableLayerCallsFailBeforeAnyChange) {
  auto& x = tensor("x", Shape{1, 2, 5, 5}, {none, L({0, 1}), L({2, 3, 4, 5, 6}), none});
  auto& w = tensor("w", Shape{3, 2, 1, 1}, {L({7, 8, 9}), L({10, 11}), none, none});
  auto& x_1d = tensor("x_1d", Shape{2}, {L({12, 13})});
  auto& w_fc = tensor("w_fc", Shape{3, 2}, {L({14, 15, 16}), L({17, 18})});
  auto& short_record = tensor("short", Shape{1, 2, 5, 5}, {none});
  const Shape y4{1, 3, 5, 5};
  // clang-format off
  const std::tuple<std::string, Args, Kwargs, std::optional<Shape>, std::string> cases[] = {
      {CONV2D, {}, {{"weight", w}}, y4, "LookupError: @ has no input argument"},
      {CONV2D, {x}, {}, y4, "LookupError: @ has no weight argument"},
      {CONV2D, {x, 0.5}, {}, y4, "TypeError: @: argument weight must be a tensor, got float 0.5"},
      {CONV2D, {x, w, 1}, {}, y4, "TypeError: @: argument bias must be a tensor, got int 1"},
      {CONV2D, {x, w}, {{"groups", 2.5}}, y4,
       "TypeError: @: argument groups must be an integer, got float 2.5"},
      {CONV2D, {x, w}, {{"groups", true}}, y4,
       "TypeError: @: argument groups must be an integer, got bool True"},
      {CONV2D, {x, w}, {}, std::nullopt, "LookupError: @: the output shape is unknown"},
      {CONV2D, {x, w}, {}, Shape{3},
       "PruningEngineRuntimeException: @: the output shape (3,) has fewer than 2 dimensions"},
      {CONV2D, {x_1d, w}, {}, y4,
       "PruningEngineRuntimeException: @: the shape (2,) of input x_1d has fewer than 2 dimensions"},
      {CONV2D, {short_record, w}, {}, y4,
       "PruningEngineRuntimeException: @: the label record of short has fewer than 2 dimensions"},
      {LINEAR, {x_1d}, {{"bias", w_fc}}, Shape{3}, "LookupError: @ has no weight argument"},
      {LINEAR, {x_1d, w_fc}, {}, std::nullopt, "LookupError: @: the output shape is unknown"},
      {LINEAR, {x_1d, w_fc}, {}, Shape{},
       "PruningEngineRuntimeException: @: the output shape () has fewer than 1 dimensions"},
      {LINEAR, {x_1d, w_fc}, {}, Shape{4, 3},
       "PruningEngineRuntimeException: @: the label record of x_1d has fewer than 2 dimensions"},
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
    x_labels.back() = g.L({0, 1, 2, 3});
    auto& x = g.tensor("x", c.input_shape, x_labels);
    auto& w = g.tensor("w", Shape{3, 4}, {g.L({20, 21, 22}), g.L({10, 11, 12, 13})});
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

// ---- flatten ---------------------------------------------------------------------------------

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
  // clang-format off
  const std::tuple<Args, Kwargs, std::optional<Shape>, std::string> cases[] = {
      {{}, {{"start_dim", 1}}, Shape{6}, "LookupError: @ has no input argument"},
      {{unknown}, {}, Shape{6}, "LookupError: @: the shape of input unknown is unknown"},
      {{scalar}, {}, Shape{1},
       "PruningEngineRuntimeException: @: input scalar has fewer than 1 dimensions"},
      {{x, 1.0}, {}, Shape{2, 3}, "TypeError: @: argument start_dim must be an integer, got float 1.0"},
      {{x}, {{"end_dim", Value::none()}}, Shape{2, 3},
       "TypeError: @: argument end_dim must be an integer, got NoneType None"},
      // The pruned dimension is joined, and the joined size is needed.
      {{x, 1}, {}, std::nullopt, "LookupError: @: the output shape is unknown"},
      {{x, 1}, {}, Shape{2},
       "PruningEngineRuntimeException: @: the output shape (2,) has fewer than 2 dimensions"},
  };
  // clang-format on
  const auto prunability = flags();
  for (const auto& [args, kwargs, output, failure] : cases) {
    auto& y = call("torch.flatten", args, kwargs, output);
    EXPECT_EQ(failure_of([&] { run(y); }), at_node(failure, y));
    EXPECT_FALSE(recorded(y)) << y.name;
  }
  EXPECT_EQ(flags(), prunability);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
