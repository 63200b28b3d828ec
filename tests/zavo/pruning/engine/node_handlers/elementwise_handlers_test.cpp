// The element-wise family: element-wise, binary, dropout, channel-wise and concatenation.

#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

#include <gtest/gtest.h>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

const std::string NON_TENSOR =
    "PruningEngineRuntimeException: Elementwise node handler with non-tensor input: ";
const std::string MERGE_2_3 =
    "PruningEngineRuntimeException: Attempting to merge label groups of different sizes: (2, 3)";

// An input tensor of a table case.
struct Operand {
  std::optional<Shape> shape;
  TensorLabels labels;
};

// Labels that must be prunable, out of pruning, or gone (merged into another list).
struct LabelFates {
  std::vector<Label> prunable, not_prunable, gone;
};

void expect_fates(const GraphBuilder& g, const LabelFates& f) {
  for (Label label : f.prunable)
    EXPECT_TRUE(g.prunable(label)) << label;
  for (Label label : f.not_prunable)
    EXPECT_FALSE(g.prunable(label)) << label;
  for (Label label : f.gone)
    EXPECT_FALSE(g.has_label(label)) << label;
}

// ---- element-wise -------------------------------------------------------------------------

TEST_F(Handlers, ElementwiseOutputSharesTheFirstArgumentsLabels) {
  auto& x = tensor("x", Shape{1, 3}, {none, L({0, 1, 2})});
  auto& other = tensor("other", Shape{1, 3}, {none, L({3, 4, 5})});
  auto& y = call("torch.clamp", {x, other, 6}, {}, Shape{1, 3});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2]]");
  EXPECT_EQ(labels(y)[1], labels(x)[1]);  // shared: later merges and marks reach both
  EXPECT_EQ(text(other), "[None, [3, 4, 5]]");
  expect_prunable({0, 1, 2, 3, 4, 5}, true);
}

TEST_F(Handlers, ElementwiseRefusesAKeywordOnlyOrConstantFirstArgument) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  std::string listed;
  for (std::string_view name : ELEMENTWISE_OPS.names())
    listed += (listed.empty() ? "" : ", ") + std::string(name);
  ASSERT_EQ(listed.rfind("torch.nn.functional.relu, torch.nn.functional.relu_, ", 0), 0u);
  const std::pair<Args, std::string> cases[] = {
      {{},
       "NotImplementedError: Unimplemented elementwise function call\nSome of the following "
       "functions (" +
           listed +
           ") in your model have their first argument set with a "
           "construction \"function(input=input, ...)\". You should use \"function(input, ...)\" "
           "construction instead."},
      {{2.5, x}, NON_TENSOR + "float"},  // even before a tensor
      {{Value::none(), x}, NON_TENSOR + "NoneType"},
      {{Sequence{x}, x}, NON_TENSOR + "list"},
  };
  for (const auto& [args, failure] : cases) {
    auto& y = call("torch.nn.functional.relu", args, {{"input", x}}, Shape{2});
    EXPECT_EQ(failure_of([&] { run(y); }), failure);
    EXPECT_FALSE(recorded(y));
  }
}

// ---- binary element-wise ------------------------------------------------------------------

TEST_F(Handlers, BinaryWithOneTensorKeepsItsLabelsWithoutReadingShapes) {
  auto& x = tensor("x", std::nullopt, {none, L({0, 1})});
  for (const Args& args : {Args{x, 1.5}, Args{2, x}}) {
    auto& y = call("torch.Tensor.__rsub__", args, {}, std::nullopt);
    run(y);
    EXPECT_EQ(text(y), "[None, [0, 1]]");
  }
  EXPECT_TRUE(prunable(0));
}

TEST_F(Handlers, BinaryCallsItCannotReadFailBeforeRecording) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  const std::string two =
      "NotImplementedError: Unimplemented binary function call, please "
      "contact ZAVO team";
  const std::tuple<Args, Kwargs, std::string> cases[] = {
      {{x}, {{"other", x}}, two},
      {{}, {{"input", x}, {"other", x}}, two},
      // No tensor: the second operand is the source, unless it is none.
      {{2, 3}, {}, "LookupError: value 3 of type int has no recorded labels"},
      {{2, Value::none()}, {}, NON_TENSOR + "int"},
  };
  for (const auto& [args, kwargs, failure] : cases) {
    auto& y = call("torch.mul", args, kwargs, Shape{2});
    EXPECT_EQ(failure_of([&] { run(y); }), failure);
    EXPECT_FALSE(recorded(y));
  }
}

TEST_F(Handlers, BinaryAlignsFromTheRightAndMergesOrTakesOutEachDimension) {
  struct Case {
    const char* name;
    Operand a, b;
    std::string expected;
    LabelFates fates;
  };
  // clang-format off
  const Case cases[] = {
      {"equal shapes merge", {Shape{2, 4}, {none, L({0, 1, 2, 3})}},
       {Shape{2, 4}, {none, L({4, 5, 6, 7})}}, "[None, [0, 1, 2, 3]]", {{0, 1, 2, 3}, {}, {4, 5, 6, 7}}},
      {"shorter operand padded in front", {Shape{2, 3, 5}, {L({0, 1}), L({2, 3, 4}), none}},
       {Shape{3, 1}, {L({5, 6, 7}), none}}, "[[0, 1], [2, 3, 4], None]", {{0, 2}, {}, {5}}},
      {"broadcast takes the first operand's labels", {Shape{2, 1}, {none, L({0})}},
       {Shape{2, 3}, {none, L({1, 2, 3})}}, "[None, [0]]", {{0, 1, 2, 3}, {}, {}}},
      {"broadcast of an unlabelled first operand", {Shape{2, 1}, {none, none}},
       {Shape{2, 3}, {none, L({1, 2, 3})}}, "[None, [1, 2, 3]]", {{1, 2, 3}, {}, {}}},
      {"size one in both", {Shape{1, 4}, {L({0}), none}}, {Shape{1, 4}, {L({1}), none}},
       "[None, None]", {{0, 1}, {}, {}}},
      {"unlabelled full-size dimension", {Shape{2, 3}, {none, none}},
       {Shape{2, 3}, {none, L({0, 1, 2})}}, "[None, None]", {{}, {0, 1, 2}, {}}},
      {"operand without a shape", {std::nullopt, {none, L({3})}},
       {Shape{2, 3}, {none, L({0, 1, 2})}}, "[None, None]", {{}, {0, 1, 2, 3}, {}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GraphBuilder g;
    auto& a = g.tensor("a", c.a.shape, g.copy(c.a.labels));
    auto& b = g.tensor("b", c.b.shape, g.copy(c.b.labels));
    auto& y = g.call("torch.add", {a, b}, {}, c.b.shape ? c.b.shape : c.a.shape);
    g.run(y);
    EXPECT_EQ(g.text(y), c.expected);
    expect_fates(g, c.fates);
  }
}

TEST_F(Handlers, BinaryMergeFailureKeepsEarlierDimensionsMerged) {
  auto& a = tensor("a", Shape{4, 2}, {L({0, 1, 2, 3}), L({4, 5})});
  auto& b = tensor("b", Shape{4, 3}, {L({6, 7, 8, 9}), L({10, 11, 12})});
  auto& y = call("torch.add", {a, b}, {}, Shape{4, 3});
  EXPECT_EQ(failure_of([&] { run(y); }), MERGE_2_3);
  EXPECT_EQ(text(b), "[[0, 1, 2, 3], [10, 11, 12]]");
  EXPECT_FALSE(recorded(y));
}

TEST_F(Handlers, BinaryWritesItsDebugLinesOnlyAtDebugLevel) {
  auto& a = tensor("a", Shape{1, 4}, {none, L({0, 1, 2, 3})});
  auto& b = tensor("b", std::nullopt, {});
  auto& y = call("torch.add", {a, b}, {}, Shape{1, 4});
  auto& z = call("torch.add", {a, 2}, {}, Shape{1, 4});
  {
    DebugCapture capture;
    run(y);
    run(z);
    const std::string prefix = "zavo.pruning.engine.node_handlers:DEBUG:";
    EXPECT_EQ(capture.lines, (std::vector<std::string>{prefix + "input_1: a, input_2: b",
                                                       prefix + "shape_1: (1, 4), shape_2: None",
                                                       prefix + "input_1: a, input_2: 2"}));
  }
  DebugCapture disabled(/*enable=*/false);
  run(y);
  EXPECT_TRUE(disabled.lines.empty());
}

// ---- dropout ------------------------------------------------------------------------------

TEST_F(Handlers, DropoutWarnsInTrainingModeAndPassesLabelsEitherWay) {
  const std::string warning =
      "For proper pruning of model with dropout, dropout should be in eval mode";
  const std::tuple<std::string_view, Args, Kwargs, bool> cases[] = {
      {"torch.nn.functional.dropout", {0.5, true}, {}, true},
      {"torch.nn.functional.dropout", {0.5}, {{"training", false}}, false},
      {"torch.nn.functional.dropout", {0.5, false}, {{"training", true}}, false},  // position wins
      {"torch.nn.functional.dropout2d", {}, {}, true},            // defaults to training
      {"torch.dropout", {0.5}, {}, false},                        // defaults to evaluation
      {"torch.nn.functional.alpha_dropout", {0.5, 1}, {}, true},  // any true value
      {"torch.feature_dropout", {}, {{"training", true}}, true},
  };
  for (const auto& [op, extra, kwargs, warns] : cases) {
    SCOPED_TRACE(op);
    auto& x = tensor("", Shape{1, 2}, {none, L({0, 1})});
    Args args{x};
    args.insert(args.end(), extra.begin(), extra.end());
    auto& y = call(op, args, kwargs, Shape{1, 2});
    warned.clear();
    run(y);
    EXPECT_EQ(warned.messages(), warns ? std::vector{warning} : std::vector<std::string>{});
    EXPECT_EQ(text(y), "[None, [0, 1]]");
  }
  // The warning stands even when the labels then cannot be handled.
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  auto& y = call("torch.nn.functional.dropout", {}, {{"input", x}}, Shape{2});
  warned.clear();
  EXPECT_THROW(run(y), NotImplementedError);
  ASSERT_EQ(warned.records().size(), 1u);
  EXPECT_EQ(warned.records()[0].category, warnings::Category::UserWarning);
  EXPECT_EQ(warned.records()[0].stacklevel, 1);
}

// ---- channel-wise -------------------------------------------------------------------------

TEST_F(Handlers, BatchNormTiesEveryParameterToTheInputChannels) {
  auto& x = tensor("x", Shape{2, 4, 3}, {none, L({10, 11, 12, 13}), none});
  auto& mean = tensor("mean", Shape{4}, {L({0, 1, 2, 3})});
  auto& var = param("var", Shape{4});
  auto& weight = param("weight", Shape{4});
  auto& y =
      call("torch.nn.functional.batch_norm", {x, mean, var}, {{"weight", weight}}, Shape{2, 4, 3});
  run(y);
  // The output is recorded after the merge, so it carries the survivors.
  EXPECT_EQ(text(y), "[None, [0, 1, 2, 3], None]");
  EXPECT_EQ(text(x), "[None, [0, 1, 2, 3], None]");
  EXPECT_EQ(text(var), "[[0, 1, 2, 3]]");
  EXPECT_EQ(text(weight), "[[0, 1, 2, 3]]");
  EXPECT_EQ(state.prunable_entries(), 4u);
  expect_prunable({0, 1, 2, 3}, true);
}

TEST_F(Handlers, ChannelwiseTiesParametersOnlyForBatchNormItself) {
  auto& x = tensor("x", Shape{2, 3}, {none, L({0, 1, 2})});
  auto& w = tensor("w", Shape{3}, {L({3, 4, 5})});
  auto& scale = tensor("scale", Shape{3, 3}, {L({6, 7, 8}), none});  // not checked either
  auto& plain = call("torch.batch_norm", {x}, {}, Shape{2, 3});
  auto& other = call("torch.batch_norm", {x, scale}, {}, Shape{2, 3}, "Batch_norm");
  // The input passed again as a parameter is still the input, not a parameter.
  auto& repeated = call("torch.nn.functional.batch_norm", {x, w}, {{"bias", x}}, Shape{2, 3});
  for (const ZavoOpNode* y : {&plain, &other, &repeated}) {
    run(*y);
    EXPECT_EQ(text(*y), "[None, [0, 1, 2]]");
  }
  EXPECT_EQ(text(scale), "[[6, 7, 8], None]");
  EXPECT_FALSE(has_label(3));

  // A caller-named input: the node's arguments are not searched for it.
  auto& v = tensor("v", Shape{2, 3}, {none, L({9, 10, 11})});
  auto& named =
      call("torch.nn.functional.batch_norm", {}, {{"input", v}, {"weight", w}}, Shape{2, 3});
  _channelwise_node_handler(state, named, &v);
  EXPECT_EQ(text(named), "[None, [0, 1, 2]]");
  EXPECT_EQ(text(v), "[None, [0, 1, 2]]");
}

TEST_F(Handlers, ChannelwiseOffTheChannelDimensionWarnsOnceAndFallsBack) {
  const std::pair<TensorLabels, std::string> cases[] = {
      {{L({0, 1, 2}), none, none}, "0"},
      {{none, none, L({0, 1, 2})}, "2"},
      {{none, none, none}, "None"},
  };
  for (const auto& [x_labels, got] : cases) {
    auto& x = tensor("", Shape{3, 3, 3}, x_labels);
    auto& mean = tensor("", Shape{3}, {L({7, 8, 9})});
    auto& y = call("torch.nn.functional.batch_norm", {x, mean}, {}, Shape{3, 3, 3});
    warned.clear();
    run(y);
    EXPECT_EQ(warned.messages(), std::vector<std::string>{"For channelwise operation batch_norm "
                                                          "prune dimension should be 1, but got " +
                                                          got + " dimension"});
    EXPECT_EQ(warned.records()[0].stacklevel, 1);
    EXPECT_EQ(text(y), "[None, None, None]");
    EXPECT_EQ(text(mean), "[[7, 8, 9]]");  // nothing merged
    expect_all_prunable(x, false);
    expect_all_prunable(mean, false);
    for (Label label = 0; label < state.next_label; ++label)
      state.set_prunable_flag(label, true);
  }
}

TEST_F(Handlers, BatchNormParameterOfAnotherRankRaisesBeforeAnyChange) {
  // Checked before the first merge: a good parameter comes first.
  for (const Shape& bad : {Shape{}, Shape{3, 3}}) {
    auto& x = tensor("", Shape{2, 3}, {none, L({0, 1, 2})});
    const Args args{x, tensor("", Shape{3}, {L({3, 4, 5})}),
                    tensor("", bad, TensorLabels(bad.size()))};
    auto& y = call("torch.nn.functional.batch_norm", args, {}, Shape{2, 3});
    EXPECT_EQ(failure_of([&] { run(y); }),
              "PruningEngineRuntimeException: One of the batch norm "
              "parameters has more than one dimension");
    EXPECT_FALSE(recorded(y));
    EXPECT_TRUE(has_label(3));
    EXPECT_TRUE(prunable(0));
  }
}

// ---- concatenation ------------------------------------------------------------------------

TEST_F(Handlers, CatJoinsTheConcatenatedDimensionAndTiesEveryOther) {
  struct Case {
    const char* name;
    std::vector<Operand> inputs;
    std::optional<Value> dim;  // positional; none: not given
    bool by_keyword;           // tensors and dim given by keyword
    std::optional<Shape> output;
    std::string expected;
    LabelFates fates;
  };
  const TensorLabels ab{none, L({0, 1}), none};
  // clang-format off
  const Case cases[] = {
      {"joined in input order", {{Shape{1, 2, 8}, ab}, {Shape{1, 3, 8}, {none, L({2, 3, 4}), none}}},
       1, false, Shape{1, 5, 8}, "[None, [0, 1, 2, 3, 4], None]", {{0, 1, 2, 3, 4}, {}, {}}},
      {"unlabelled input gets fresh labels", {{Shape{1, 2, 8}, ab}, {Shape{1, 3, 8}, {none, none, none}}},
       1, true, Shape{1, 5, 8}, "[None, [0, 1, 2, 3, 4], None]", {{0, 1}, {2, 3, 4}, {}}},
      {"other dimensions tied", {{Shape{1, 2, 8}, ab}, {Shape{1, 2, 8}, {none, L({2, 3}), none}}},
       0, true, Shape{2, 2, 8}, "[[4, 5], [0, 1], None]", {{0}, {4, 5}, {2}}},
      {"no dimension ties every one", {{Shape{2, 2}, {none, L({0, 1})}}, {Shape{2, 2}, {none, L({2, 3})}}},
       std::nullopt, false, Shape{4, 2}, "[None, [0, 1]]", {{0}, {}, {2}}},
      {"unlabelled in a tied dimension", {{Shape{2, 2}, {none, L({5, 6})}}, {Shape{3, 2}, {none, none}}},
       0, false, Shape{5, 2}, "[[7, 8, 9, 10, 11], None]", {{}, {5, 6}, {}}},
      {"empty concatenated dimension", {{Shape{1, 0, 8}, {none, none, none}}, {Shape{1, 2, 8}, ab}},
       1, false, Shape{1, 2, 8}, "[None, [0, 1], None]", {{0}, {}, {}}},
      {"empty other dimension", {{Shape{1, 0, 8}, {none, none, none}}, {Shape{1, 2, 8}, ab}},
       2, false, Shape{1, 2, 16}, "[None, None, None]", {{}, {0}, {}}},
      {"unknown shape", {{Shape{1, 2}, {none, L({0, 1})}}, {std::nullopt, {none, L({2, 3})}}},
       1, false, Shape{1, 4}, "[None, None]", {{}, {0, 1, 2, 3}, {}}},
      {"one tensor, shapes unread", {{std::nullopt, {none, L({0, 1})}}},
       1, false, std::nullopt, "[None, [0, 1]]", {{0}, {}, {}}},
      {"one tensor by keyword", {{std::nullopt, {none, L({0, 1})}}},
       std::nullopt, true, std::nullopt, "[None, [0, 1]]", {{0}, {}, {}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GraphBuilder g;
    Sequence inputs;
    for (const Operand& input : c.inputs)
      inputs.push_back(g.tensor("", input.shape, g.copy(input.labels)));
    Args args;
    Kwargs kwargs;
    if (c.by_keyword) {
      kwargs.set("tensors", inputs);
      if (c.dim)
        kwargs.set("dim", *c.dim);
    } else {
      args.push_back(inputs);
      if (c.dim)
        args.push_back(*c.dim);
    }
    auto& y = g.call("torch.cat", args, kwargs, c.output);
    g.run(y);
    EXPECT_EQ(g.text(y), c.expected);
    expect_fates(g, c.fates);
  }
}

TEST_F(Handlers, CatFailuresLeaveNoRecord) {
  auto& a = tensor("a", Shape{2, 4, 2}, {L({0, 1}), none, L({2, 3})});
  auto& b = tensor("b", Shape{2, 4, 3}, {L({4, 5}), none, L({6, 7, 8})});
  const std::pair<Args, std::string> cases[] = {
      {{a, 0}, "TypeError: Concatenation expects a sequence of tensors, got ZavoNode: a"},
      {{Sequence{3}, 0}, "LookupError: value 3 of type int has no recorded labels"},
      {{Sequence{a, 3}, 0}, "TypeError: Concatenation input 3 is not a tensor but int"},
      {{Sequence{}, 0}, "LookupError: Concatenation of an empty sequence of tensors"},
      // A dimension counted from the end is tied like any other.
      {{Sequence{a, b}, -1}, MERGE_2_3},
  };
  for (const auto& [args, failure] : cases) {
    auto& y = call("torch.cat", args, {}, Shape{2, 4, 5});
    EXPECT_EQ(failure_of([&] { run(y); }), failure);
    EXPECT_FALSE(recorded(y));
  }
  EXPECT_EQ(text(b), "[[0, 1], None, [6, 7, 8]]");  // dimension 0 was merged before
  EXPECT_TRUE(prunable(0));
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
