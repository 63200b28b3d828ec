// The channel-wise (batch normalisation) and concatenation handlers.

#include <gtest/gtest.h>

#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::elementwise_test {
namespace {

// ---- channel-wise -------------------------------------------------------------------------

TEST_F(ElementwiseFamily, BatchNormTiesEveryParameterToTheInputChannels) {
  auto& x = tensor("x", Shape{2, 4, 3, 3}, {none, L({10, 11, 12, 13}), none, none});
  auto& mean = tensor("mean", Shape{4}, {L({0, 1, 2, 3})});
  auto& var = param("var", Shape{4});
  auto& weight = param("weight", Shape{4});
  auto& y = call("torch.nn.functional.batch_norm", {x, mean, var}, {{"weight", weight}},
                 Shape{2, 4, 3, 3});
  run(y);
  // The output is recorded after the merge, so it carries the survivors.
  EXPECT_EQ(text(y), "[None, [0, 1, 2, 3], None, None]");
  EXPECT_EQ(text(x), "[None, [0, 1, 2, 3], None, None]");
  EXPECT_EQ(text(var), "[[0, 1, 2, 3]]");
  EXPECT_EQ(text(weight), "[[0, 1, 2, 3]]");
  EXPECT_EQ(state.is_prunable.size(), 4u);
  for (Label label = 0; label <= 3; ++label)
    EXPECT_TRUE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, BatchNormWithoutParametersOnlyKeepsState) {
  auto& x = tensor("x", Shape{2, 3}, {none, L({0, 1, 2})});
  auto& y = call("torch.batch_norm", {x}, {}, Shape{2, 3});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2]]");
  EXPECT_TRUE(prunable(0));
}

TEST_F(ElementwiseFamily, ChannelwiseOtherThanBatchNormTiesNoParameter) {
  auto& x = tensor("x", Shape{2, 3}, {none, L({0, 1, 2})});
  auto& scale = tensor("scale", Shape{3, 3}, {L({3, 4, 5}), none});  // not checked either
  auto& y = call("torch.batch_norm", {x, scale}, {}, Shape{2, 3}, "Batch_norm");
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2]]");
  EXPECT_EQ(text(scale), "[[3, 4, 5], None]");
}

TEST_F(ElementwiseFamily, ChannelwiseOffTheChannelDimensionWarnsOnceAndFallsBack) {
  const std::pair<TensorLabels, std::string> cases[] = {
      {{L({0, 1, 2}), none, none}, "0"},
      {{none, none, L({0, 1, 2})}, "2"},
      {{none, none, none}, "None"},
  };
  for (const auto& [x_labels, got] : cases) {
    auto& x = tensor("", Shape{3, 3, 3}, x_labels);
    auto& mean = tensor("", Shape{3}, {L({7, 8, 9})});
    auto& y = call("torch.nn.functional.batch_norm", {x, mean}, {}, Shape{3, 3, 3});
    warnings::ScopedRecorder recorder;
    run(y);
    EXPECT_EQ(recorder.messages(),
              std::vector<std::string>{"For channelwise operation batch_norm prune dimension "
                                       "should be 1, but got " +
                                       got + " dimension"});
    EXPECT_EQ(recorder.records()[0].stacklevel, 1);
    EXPECT_EQ(text(y), "[None, None, None]");
    EXPECT_EQ(text(mean), "[[7, 8, 9]]");  // nothing merged
    for (const ZavoNode* input : {&x, &mean}) {
      for (Label label : get_flatten_labels(state, *input))
        EXPECT_FALSE(prunable(label)) << label;
    }
    state.is_prunable.clear();
  }
}

TEST_F(ElementwiseFamily, BatchNormParameterOfAnotherRankRaisesBeforeAnyChange) {
  for (std::size_t bad = 0; bad < 3; ++bad) {
    auto& x = tensor("", Shape{2, 3}, {none, L({0, 1, 2})});
    Args args{x};
    for (std::size_t i = 0; i < 3; ++i) {
      args.push_back(i != bad   ? tensor("", Shape{3}, {L({3, 4, 5})})
                     : bad == 1 ? tensor("", Shape{}, {})
                                : tensor("", Shape{3, 3}, {L({3, 4, 5}), none}));
    }
    auto& y = call("torch.nn.functional.batch_norm", args, {}, Shape{2, 3});
    EXPECT_EQ(error_of<PruningEngineRuntimeException>([&] { run(y); }),
              "One of the batch norm parameters has more than one dimension")
        << bad;
    EXPECT_FALSE(recorded(y));
    EXPECT_TRUE(has_label(3));
    EXPECT_TRUE(prunable(0));
  }
}

TEST_F(ElementwiseFamily, BatchNormLeavesEveryOccurrenceOfItsInputOutOfTheParameters) {
  auto& x = tensor("x", Shape{2, 3}, {none, L({0, 1, 2})});
  auto& w = tensor("w", Shape{3}, {L({3, 4, 5})});
  auto& repeated = call("torch.nn.functional.batch_norm", {x, w}, {{"bias", x}}, Shape{2, 3});
  run(repeated);
  EXPECT_EQ(text(repeated), "[None, [0, 1, 2]]");
  EXPECT_FALSE(has_label(3));

  // A caller-named input: the node's arguments are not searched for it.
  auto& v = tensor("v", Shape{2, 3}, {none, L({6, 7, 8})});
  auto& named =
      call("torch.nn.functional.batch_norm", {}, {{"input", v}, {"weight", w}}, Shape{2, 3});
  _channelwise_node_handler(state, named, &v);
  EXPECT_EQ(text(named), "[None, [0, 1, 2]]");
  EXPECT_EQ(text(v), "[None, [0, 1, 2]]");
  EXPECT_THROW(run(named), NotImplementedError);
}

// ---- concatenation ------------------------------------------------------------------------

TEST_F(ElementwiseFamily, CatOfOneTensorPassesItsLabelsWithoutReadingShapes) {
  auto& a = tensor("a", std::nullopt, {none, L({0, 1})});
  auto& y = call("torch.cat", {Sequence{a}, 1}, {}, std::nullopt);
  auto& z = call("torch.cat", {}, {{"tensors", Sequence{a}}}, std::nullopt);
  run(y);
  run(z);
  EXPECT_EQ(text(y), "[None, [0, 1]]");
  EXPECT_EQ(text(z), "[None, [0, 1]]");
}

TEST_F(ElementwiseFamily, CatJoinsTheConcatenatedDimensionInInputOrder) {
  auto& a = tensor("a", Shape{1, 2, 8, 8}, {none, L({0, 1}), none, none});
  auto& b = tensor("b", Shape{1, 3, 8, 8}, {none, L({2, 3, 4}), none, none});
  auto& y = call("torch.cat", {Sequence{a, b}, 1}, {}, Shape{1, 5, 8, 8});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2, 3, 4], None, None]");
  EXPECT_EQ(text(a), "[None, [0, 1], None, None]");
  for (Label label = 0; label <= 4; ++label)
    EXPECT_TRUE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, CatGivesAnUnlabelledInputFreshNonPrunableLabels) {
  auto& a = tensor("a", Shape{1, 2, 8, 8}, {none, L({0, 1}), none, none});
  auto& b = tensor("b", Shape{1, 3, 8, 8}, {none, none, none, none});
  auto& y = call("torch.cat", {Sequence{a, b}}, {{"dim", 1}}, Shape{1, 5, 8, 8});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2, 3, 4], None, None]");
  EXPECT_EQ(text(b), "[None, None, None, None]");
  EXPECT_TRUE(prunable(0));
  EXPECT_TRUE(prunable(1));
  for (Label label = 2; label <= 4; ++label)
    EXPECT_FALSE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, CatTiesEveryOtherDimension) {
  auto& a = tensor("a", Shape{1, 2, 8, 8}, {none, L({0, 1}), none, none});
  auto& b = tensor("b", Shape{1, 2, 8, 8}, {none, L({2, 3}), none, none});
  auto& y = call("torch.cat", {}, {{"tensors", Sequence{a, b}}, {"dim", 0}}, Shape{2, 2, 8, 8});
  run(y);
  EXPECT_EQ(text(y), "[[4, 5], [0, 1], None, None]");
  EXPECT_EQ(text(b), "[None, [0, 1], None, None]");
  EXPECT_FALSE(has_label(2));
  EXPECT_TRUE(prunable(0));
  EXPECT_FALSE(prunable(4));
  EXPECT_FALSE(prunable(5));
}

TEST_F(ElementwiseFamily, CatWithoutADimensionTiesEveryDimension) {
  auto& a = tensor("a", Shape{2, 3}, {none, L({0, 1, 2})});
  auto& b = tensor("b", Shape{2, 3}, {none, L({3, 4, 5})});
  auto& y = call("torch.cat", {Sequence{a, b}}, {}, Shape{4, 3});
  run(y);
  EXPECT_EQ(text(y), "[None, [0, 1, 2]]");
  EXPECT_FALSE(has_label(3));
}

TEST_F(ElementwiseFamily, CatWithAnInputUnlabelledInATiedDimensionTakesItOutOfPruning) {
  auto& a = tensor("a", Shape{2, 2}, {none, L({5, 6})});
  auto& b = tensor("b", Shape{3, 2}, {none, none});
  auto& y = call("torch.cat", {Sequence{a, b}, 0}, {}, Shape{5, 2});
  run(y);
  EXPECT_EQ(text(y), "[[7, 8, 9, 10, 11], None]");
  EXPECT_FALSE(prunable(5));
  EXPECT_FALSE(prunable(6));
}

TEST_F(ElementwiseFamily, CatEmptyDimensionsAreAcceptedOnlyWhereConcatenated) {
  auto& a = tensor("a", Shape{1, 0, 8}, {none, none, none});
  auto& b = tensor("b", Shape{1, 2, 8}, {none, L({0, 1}), none});
  auto& joined = call("torch.cat", {Sequence{a, b}, 1}, {}, Shape{1, 2, 8});
  run(joined);
  EXPECT_EQ(text(joined), "[None, [0, 1], None]");
  EXPECT_TRUE(prunable(0));

  auto& fallback = call("torch.cat", {Sequence{a, b}, 2}, {}, Shape{1, 2, 16});
  run(fallback);
  EXPECT_EQ(text(fallback), "[None, None, None]");
  EXPECT_FALSE(prunable(0));
}

TEST_F(ElementwiseFamily, CatWithAnUnknownShapeFallsBackToTheDefault) {
  auto& a = tensor("a", Shape{1, 2}, {none, L({0, 1})});
  auto& b = tensor("b", std::nullopt, {none, L({2, 3})});
  auto& y = call("torch.cat", {Sequence{a, b}, 1}, {}, Shape{1, 4});
  run(y);
  EXPECT_EQ(text(y), "[None, None]");
  for (Label label = 0; label <= 3; ++label)
    EXPECT_FALSE(prunable(label)) << label;
}

TEST_F(ElementwiseFamily, CatNegativeDimensionIsTiedLikeAnyOtherAndMayRaise) {
  auto& a = tensor("a", Shape{2, 4, 2}, {L({0, 1}), none, L({2, 3})});
  auto& b = tensor("b", Shape{2, 4, 3}, {L({4, 5}), none, L({6, 7, 8})});
  auto& y = call("torch.cat", {Sequence{a, b}, -1}, {}, Shape{2, 4, 5});
  EXPECT_EQ(error_of<PruningEngineRuntimeException>([&] { run(y); }),
            "Attempting to merge label groups of different sizes: (2, 3)");
  EXPECT_EQ(text(b), "[[0, 1], None, [6, 7, 8]]");  // dimension 0 was merged before
  EXPECT_FALSE(recorded(y));
}

TEST_F(ElementwiseFamily, CatRejectsInputsThatAreNotTensors) {
  auto& a = tensor("a", Shape{2}, {L({0, 1})});
  auto& not_sequence = call("torch.cat", {a, 0}, {}, Shape{2});
  EXPECT_EQ(error_of<TypeError>([&] { run(not_sequence); }),
            "Concatenation expects a sequence of tensors, got ZavoNode: a");
  auto& one_constant = call("torch.cat", {Sequence{3}, 0}, {}, Shape{2});
  EXPECT_EQ(error_of<LookupError>([&] { run(one_constant); }),
            "value 3 of type int has no recorded labels");
  auto& with_constant = call("torch.cat", {Sequence{a, 3}, 0}, {}, Shape{2});
  EXPECT_EQ(error_of<TypeError>([&] { run(with_constant); }),
            "Concatenation input 3 is not a tensor but int");
  auto& empty = call("torch.cat", {Sequence{}, 0}, {}, Shape{0});
  EXPECT_EQ(error_of<LookupError>([&] { run(empty); }),
            "Concatenation of an empty sequence of tensors");
  for (const ZavoNode* node : {&not_sequence, &one_constant, &with_constant, &empty})
    EXPECT_FALSE(recorded(*node));
  EXPECT_TRUE(prunable(0));
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::elementwise_test
