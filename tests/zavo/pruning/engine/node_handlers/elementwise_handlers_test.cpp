// The element-wise, binary element-wise and dropout handlers, and the registry rows of the family.

#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

#include <gtest/gtest.h>

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::elementwise_test {
namespace {

// ---- registry rows ------------------------------------------------------------------------

TEST_F(ElementwiseFamily, RegistryResolvesEveryOperationOfTheFamilyRows) {
  struct Row {
    const OperationList& ops;
    NodeHandler handler;
  };
  const OperationList cat{tensor_trace::intern_operation("torch.cat")};
  const Row rows[] = {
      {ELEMENTWISE_OPS, static_cast<NodeHandler>(_elementwise_node_handler)},
      {CHANNELWISE_OPS, static_cast<NodeHandler>(_channelwise_node_handler)},
      {DROPOUT_OPS, &_dropout_node_handler},
      {BINARY_ELEMENTWISE_OPS, &_binary_elementwise_node_handler},
      {cat, &_cat_node_handler},
  };
  auto& x = input("x", Shape{2});
  for (const Row& row : rows) {
    for (OperationKey op : row.ops) {
      auto& node = graph.add_call("n", op, {x}, {}, Shape{2});
      EXPECT_EQ(get_node_handler(node), row.handler) << op->qualified_name();
    }
  }
}

// ---- element-wise -------------------------------------------------------------------------

TEST_F(ElementwiseFamily, ElementwiseOutputSharesTheFirstArgumentsLabels) {
  auto& x = tensor("x", Shape{1, 3, 4}, {none, L({0, 1, 2}), none});
  auto& other = tensor("other", Shape{1, 3, 4}, {none, L({3, 4, 5}), none});
  auto& y = call("torch.clamp", {x, other, 6}, {}, Shape{1, 3, 4});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2], None]");
  EXPECT_EQ(labels(y)[1], labels(x)[1]);  // shared: later merges and marks reach both
  EXPECT_EQ(text(other), "[None, [3, 4, 5], None]");
  for (Label label = 0; label <= 5; ++label)
    EXPECT_TRUE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, ElementwiseWithKeywordOnlyTensorListsTheCategory) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  auto& y = call("torch.nn.functional.relu", {}, {{"input", x}}, Shape{2});
  const std::string message = error_of<NotImplementedError>([&] { run(y); });

  const std::string head =
      "Unimplemented elementwise function call\nSome of the following functions "
      "(torch.nn.functional.relu, torch.nn.functional.relu_, torch.nn.functional.relu6, ";
  const std::string tail =
      ", torch.Tensor.double, torch.Tensor.to) in your model have their first argument set with "
      "a construction \"function(input=input, ...)\". You should use \"function(input, ...)\" "
      "construction instead.";
  EXPECT_EQ(message.substr(0, head.size()), head);
  ASSERT_GE(message.size(), tail.size());
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
  std::string listed;
  for (std::string_view name : ELEMENTWISE_OPS.names())
    listed += (listed.empty() ? "" : ", ") + std::string(name);
  EXPECT_NE(message.find("(" + listed + ")"), std::string::npos);
  EXPECT_FALSE(recorded(y));
}

TEST_F(ElementwiseFamily, ElementwiseRejectsAConstantFirstArgumentEvenBeforeATensor) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  const std::pair<Value, std::string> cases[] = {
      {2.5, "float"}, {Value::none(), "NoneType"}, {Sequence{x}, "list"}};
  for (const auto& [first, type] : cases) {
    auto& y = call("torch.Tensor.clamp", {first, x}, {}, Shape{2});
    EXPECT_EQ(error_of<PruningEngineRuntimeException>([&] { run(y); }),
              "Elementwise node handler with non-tensor input: " + type);
    EXPECT_FALSE(recorded(y));
  }
}

TEST_F(ElementwiseFamily, ElementwiseWithAGivenSourceUsesItUnchecked) {
  auto& src = tensor("src", Shape{1, 2}, {none, L({0, 1})});
  auto& y = call("test.op", {}, {}, Shape{1, 2});
  _elementwise_node_handler({.pruning_state = state, .node = y, .src_node = src});
  EXPECT_EQ(text(y), "[None, [0, 1]]");

  auto& z = call("test.op", {src}, {}, Shape{1, 2});
  EXPECT_EQ(error_of<LookupError>([&] {
              _elementwise_node_handler({.pruning_state = state, .node = z, .src_node = 3});
            }),
            "value 3 of type int has no recorded labels");
  EXPECT_FALSE(recorded(z));
}

// ---- binary element-wise ------------------------------------------------------------------

TEST_F(ElementwiseFamily, BinaryWithOneTensorKeepsThatTensorsLabels) {
  auto& x = tensor("x", std::nullopt, {none, L({0, 1})});  // shapes are not read on this path
  auto& plus = call("torch.add", {x, 1.5}, {}, std::nullopt);
  auto& rsub = call("torch.Tensor.__rsub__", {2, x}, {}, std::nullopt);
  run(plus);
  run(rsub);
  EXPECT_EQ(text(plus), "[None, [0, 1]]");
  EXPECT_EQ(text(rsub), "[None, [0, 1]]");
  EXPECT_TRUE(prunable(0));
}

TEST_F(ElementwiseFamily, BinaryWithoutTensorsTakesTheSecondOperandAsSource) {
  auto& numbers = call("torch.mul", {2, 3}, {}, Shape{});
  EXPECT_EQ(error_of<LookupError>([&] { run(numbers); }),
            "value 3 of type int has no recorded labels");
  // A none second operand means no source at all, so the first argument is checked.
  auto& with_none = call("torch.mul", {2, Value::none()}, {}, Shape{});
  EXPECT_EQ(error_of<PruningEngineRuntimeException>([&] { run(with_none); }),
            "Elementwise node handler with non-tensor input: int");
  EXPECT_FALSE(recorded(numbers));
  EXPECT_FALSE(recorded(with_none));
}

TEST_F(ElementwiseFamily, BinaryNeedsTwoPositionalOperands) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  for (const auto& [args, kwargs] : {std::pair<Args, Kwargs>{{x}, {{"other", x}}},
                                     std::pair<Args, Kwargs>{{}, {{"input", x}, {"other", x}}}}) {
    auto& y = call("torch.add", args, kwargs, Shape{2});
    EXPECT_EQ(error_of<NotImplementedError>([&] { run(y); }),
              "Unimplemented binary function call, please contact ZAVO team");
    EXPECT_FALSE(recorded(y));
  }
}

TEST_F(ElementwiseFamily, BinaryEqualShapesMergeTheChannelGroups) {
  auto& a = tensor("a", Shape{2, 4, 3, 3}, {none, L({0, 1, 2, 3}), none, none});
  auto& b = tensor("b", Shape{2, 4, 3, 3}, {none, L({4, 5, 6, 7}), none, none});
  auto& extra = tensor("extra", Shape{2, 4, 3, 3}, {none, L({8, 9, 10, 11}), none, none});
  auto& y = call("torch.Tensor.__add__", {a, b, extra}, {}, Shape{2, 4, 3, 3});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2, 3], None, None]");
  EXPECT_EQ(text(b), "[None, [0, 1, 2, 3], None, None]");
  for (Label label = 4; label <= 7; ++label)
    EXPECT_FALSE(has_label(label)) << label;
  for (Label label : {0, 1, 2, 3, 8, 9, 10, 11})
    EXPECT_TRUE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, BinaryBroadcastPadsTheShorterOperandInFront) {
  auto& a = tensor("a", Shape{2, 3, 5, 5}, {L({0, 1}), L({2, 3, 4}), none, none});
  auto& bias = tensor("bias", Shape{3, 1, 1}, {L({5, 6, 7}), none, none});
  auto& y = call("torch.add", {a, bias}, {}, Shape{2, 3, 5, 5});
  run(y);
  EXPECT_EQ(text(y), "[[0, 1], [2, 3, 4], None, None]");
  EXPECT_EQ(labels(y)[0], labels(a)[0]);
  EXPECT_FALSE(has_label(5));
  EXPECT_TRUE(prunable(2));
}

TEST_F(ElementwiseFamily, BinaryBroadcastDimensionTakesTheFirstOperandsLabelsWhenPresent) {
  auto& a = tensor("a", Shape{2, 1, 4}, {none, L({0}), none});
  auto& b = tensor("b", Shape{2, 3, 4}, {none, L({1, 2, 3}), none});
  auto& y = call("torch.mul", {a, b}, {}, Shape{2, 3, 4});
  run(y);
  EXPECT_EQ(text(y), "[None, [0], None]");

  auto& c = tensor("c", Shape{2, 1, 4}, {none, none, none});
  auto& z = call("torch.mul", {c, b}, {}, Shape{2, 3, 4});
  run(z);
  EXPECT_EQ(text(z), "[None, [1, 2, 3], None]");
  for (Label label = 0; label <= 3; ++label)
    EXPECT_TRUE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, BinarySizeOneInBothLeavesLabelsAlone) {
  auto& a = tensor("a", Shape{1, 4}, {L({0}), none});
  auto& b = tensor("b", Shape{1, 4}, {L({1}), none});
  auto& y = call("torch.sub", {a, b}, {}, Shape{1, 4});
  run(y);
  EXPECT_EQ(text(y), "[None, None]");
  EXPECT_TRUE(prunable(0));
  EXPECT_TRUE(prunable(1));
}

// An operand without labels in a full-size dimension (rule 3) or without a shape (the default
// handler) leaves no dimension labelled and takes the other operand's channels out of pruning.
TEST_F(ElementwiseFamily, BinaryWithAnUnlabelledOrShapelessOperandTakesLabelsOutOfPruning) {
  for (std::optional<Shape> other_shape :
       {std::optional<Shape>(Shape{2, 3}), std::optional<Shape>(std::nullopt)}) {
    auto& a = tensor("", Shape{2, 3}, {none, L({0, 1, 2})});
    auto& other = tensor("", other_shape, {none, other_shape ? none : L({3})});
    auto& y = call("torch.div", {other, a}, {}, Shape{2, 3});
    run(y);
    EXPECT_EQ(text(y), "[None, None]");
    EXPECT_EQ(text(a), "[None, [0, 1, 2]]");
    for (const ZavoNode* input : {&a, &other}) {
      for (Label label : get_flatten_labels(state, *input))
        EXPECT_FALSE(prunable(label)) << label;
    }
    state.is_prunable.clear();
  }
}

TEST_F(ElementwiseFamily, BinaryMergeFailureKeepsEarlierDimensionsMerged) {
  auto& a = tensor("a", Shape{4, 2}, {L({0, 1, 2, 3}), L({4, 5})});
  auto& b = tensor("b", Shape{4, 3}, {L({6, 7, 8, 9}), L({10, 11, 12})});
  auto& y = call("torch.add", {a, b}, {}, Shape{4, 3});
  EXPECT_EQ(error_of<PruningEngineRuntimeException>([&] { run(y); }),
            "Attempting to merge label groups of different sizes: (2, 3)");
  EXPECT_EQ(text(b), "[[0, 1, 2, 3], [10, 11, 12]]");
  EXPECT_FALSE(recorded(y));
}

TEST_F(ElementwiseFamily, BinaryWritesItsTwoDebugLines) {
  auto& a = tensor("a", Shape{1, 4}, {none, L({0, 1, 2, 3})});
  auto& b = tensor("b", std::nullopt, {});
  auto& y = call("torch.add", {a, b}, {}, Shape{1, 4});
  auto& z = call("torch.add", {a, 2}, {}, Shape{1, 4});
  {
    DebugCapture capture;
    run(y);
    run(z);
    EXPECT_EQ(capture.lines, (std::vector<std::string>{
                                 "zavo.pruning.engine.node_handlers:DEBUG:input_1: a, input_2: b",
                                 "zavo.pruning.engine.node_handlers:DEBUG:shape_1: (1, 4), "
                                 "shape_2: None",
                                 "zavo.pruning.engine.node_handlers:DEBUG:input_1: a, input_2: 2",
                             }));
  }
  DebugCapture disabled(/*enable=*/false);
  run(y);
  EXPECT_TRUE(disabled.lines.empty());
}

// ---- dropout ------------------------------------------------------------------------------

TEST_F(ElementwiseFamily, DropoutWarnsInTrainingModeAndPassesLabelsEitherWay) {
  const std::string warning =
      "For proper pruning of model with dropout, dropout should be in eval mode";
  struct Case {
    std::string_view op;
    Args extra;
    Kwargs kwargs;
    bool warns;
  };
  const Case cases[] = {
      {"torch.nn.functional.dropout", {0.5, true}, {}, true},
      {"torch.nn.functional.dropout", {0.5}, {{"training", false}}, false},
      {"torch.nn.functional.dropout", {0.5, false}, {{"training", true}}, false},  // position wins
      {"torch.nn.functional.dropout2d", {}, {}, true},            // defaults to training
      {"torch.dropout", {0.5}, {}, false},                        // defaults to evaluation
      {"torch.nn.functional.alpha_dropout", {0.5, 1}, {}, true},  // any true value
      {"torch.feature_dropout", {}, {{"training", true}}, true},
  };
  for (const Case& c : cases) {
    auto& x = tensor("", Shape{1, 2}, {none, L({0, 1})});
    Args args{x};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    auto& y = call(c.op, args, c.kwargs, Shape{1, 2});
    warnings::ScopedRecorder recorder;
    run(y);
    EXPECT_EQ(recorder.messages(),
              c.warns ? std::vector<std::string>{warning} : std::vector<std::string>{})
        << c.op;
    EXPECT_EQ(text(y), "[None, [0, 1]]") << c.op;
    EXPECT_TRUE(prunable(0));
  }
}

TEST_F(ElementwiseFamily, DropoutWarnsBeforeRejectingAKeywordOnlyInput) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  auto& y = call("torch.nn.functional.dropout", {}, {{"input", x}}, Shape{2});
  warnings::ScopedRecorder recorder;
  error_of<NotImplementedError>([&] { run(y); });
  ASSERT_EQ(recorder.records().size(), 1u);
  EXPECT_EQ(recorder.records()[0].category, warnings::Category::UserWarning);
  EXPECT_EQ(recorder.records()[0].stacklevel, 1);
  EXPECT_FALSE(recorded(y));
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::elementwise_test
