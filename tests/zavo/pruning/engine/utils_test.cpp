#include "zavo/pruning/engine/utils.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/graph_builder.hpp"

namespace zavo::pruning::engine::utils {
namespace {

using testing::GraphBuilder;
using testing::none;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

class LabelUtilities : public ::testing::Test, public GraphBuilder {};

TEST_F(LabelUtilities, FreshLabelsAreNumberedInCreationOrderWithTheirFlag) {
  auto& p = graph.add_parameter("p", Shape{3, 2});
  auto first = generate_new_channel_labels(
      {.pruning_state = state, .node = p, .dim = 0, .is_prunable = true});
  auto second = generate_new_channel_labels(
      {.pruning_state = state, .node = p, .dim = 1, .is_prunable = false});
  EXPECT_EQ(labels_text(first), "[0, 1, 2]");
  EXPECT_EQ(labels_text(second), "[3, 4]");
  EXPECT_TRUE(prunable(2));
  EXPECT_FALSE(prunable(3));
  EXPECT_FALSE(state.label_has_nodes(0)) << "indexed only once recorded";
  EXPECT_THROW(generate_new_channel_labels(
                   {.pruning_state = state, .node = p, .dim = 2, .is_prunable = true}),
               LookupError);
}

TEST_F(LabelUtilities, RecordingIndexesEveryPositionAndReplacesAnEarlierRecord) {
  auto& a = tensor("a", Shape{2, 2}, {L({0, 1}), L({1, 2})});
  EXPECT_EQ(state.label_positions(a, 1), (PositionSet{{0, 1}, {1, 0}}));
  EXPECT_EQ(state.label_nodes(2), std::vector<const ZavoNode*>{&a});

  add_node_output_info(
      {.pruning_state = state, .node = a, .labels = TensorLabels{none, L({2, 2})}});
  EXPECT_FALSE(state.label_has_nodes(0));
  EXPECT_FALSE(state.label_has_nodes(1));
  EXPECT_EQ(text(a), "[None, [2, 2]]");
}

TEST_F(LabelUtilities, PruneLabelsAreANewVectorOfTheStoredLists) {
  auto& a = tensor("a", Shape{2, 2}, {none, L({0, 1})});
  auto copy = get_prune_labels(state, a);
  std::swap(copy[0], copy[1]);
  EXPECT_EQ(text(a), "[None, [0, 1]]");
  EXPECT_EQ(copy[0], labels(a)[1]);
  EXPECT_THROW(get_prune_labels(state, graph.add_parameter("unrecorded", Shape{1})), LookupError);
}

TEST_F(LabelUtilities, LabelsByDimension) {
  auto& a = tensor("a", Shape{2, 2}, {none, L({0, 1})});
  EXPECT_EQ(get_prune_labels_by_dim(state, a, 1), labels(a)[1]);
  EXPECT_EQ(get_prune_labels_by_dim(state, a, -1), labels(a)[1]);
  EXPECT_EQ(get_prune_labels_by_dim(state, a, 0), nullptr);
  EXPECT_EQ(get_prune_labels_by_dim(state, a, 2), nullptr);
  EXPECT_EQ(get_prune_labels_by_dim(state, a, -3), nullptr);
}

TEST_F(LabelUtilities, FlattenLabelsAndPruneDimension) {
  auto& none_only = tensor("n", Shape{2, 2}, {none, none});
  auto& one = tensor("one", Shape{2, 2}, {none, L({0, 1})});
  auto& two = tensor("two", Shape{2, 2}, {L({2, 3}), L({4, 5})});
  auto& bare = graph.add_parameter("bare", Shape{2});
  EXPECT_EQ(get_flatten_labels(state, two), (LabelList{2, 3, 4, 5}));
  EXPECT_TRUE(get_flatten_labels(state, bare).empty());
  EXPECT_EQ(get_prune_dimension(state, none_only), std::nullopt);
  EXPECT_EQ(get_prune_dimension(state, bare), std::nullopt);
  EXPECT_EQ(get_prune_dimension(state, one), 1);
  EXPECT_THAT([&] { get_prune_dimension(state, two); },
              ThrowsMessage<PruningEngineRuntimeException>(
                  StrEq("Multiple prune dimensions are not supported")));
}

}  // namespace
}  // namespace zavo::pruning::engine::utils
