#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "support/graph_builder.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using testing::GraphBuilder;
using testing::none;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::set<const ZavoNode*> nodes_of(const GraphBuilder& g, Label label) {
  const auto nodes = g.state.label_nodes(label);
  return {nodes.begin(), nodes.end()};
}

std::vector<Position> positions_of(const GraphBuilder& g, const ZavoNode& node, Label label) {
  return g.state.label_positions(node, label);
}

// ---- _merge_labels --------------------------------------------------------------------------

class MergeLabels : public ::testing::Test, public GraphBuilder {};

TEST_F(MergeLabels, SingleLabelOrRepeatedBaseChangesNothingAndEmptyRaises) {
  auto& a = tensor("a", Shape{2}, {L({7, 8})});
  for (std::vector<Label> labels : {std::vector<Label>{7}, std::vector<Label>{7, 7}}) {
    EXPECT_EQ(_merge_labels(state, labels), 7);
    EXPECT_EQ(text(a), "[[7, 8]]");
  }
  EXPECT_THAT([&] { _merge_labels(state, {}); },
              ThrowsMessage<PruningEngineRuntimeException>(
                  StrEq("Attempting to merge an empty list of labels")));
}

TEST_F(MergeLabels, RewritesEveryPositionAndMovesBothIndexes) {
  auto& a = tensor("a", Shape{1, 3}, {none, L({5, 3, 5})});
  auto& b = tensor("b", Shape{5}, {L({0, 1, 2, 4, 5})});
  EXPECT_EQ(_merge_labels(state, std::vector<Label>{3, 5}), 3);

  EXPECT_EQ(text(a), "[None, [3, 3, 3]]");
  EXPECT_EQ(text(b), "[[0, 1, 2, 4, 3]]");
  EXPECT_EQ(positions_of(*this, a, 3), (std::vector<Position>{{1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(positions_of(*this, b, 3), (std::vector<Position>{{0, 4}}));
  EXPECT_FALSE(!state.label_positions(a, 5).empty());
  EXPECT_FALSE(!state.label_positions(b, 5).empty());
  EXPECT_EQ(nodes_of(*this, 3), (std::set<const ZavoNode*>{&a, &b}));
  EXPECT_FALSE(state.label_has_nodes(5));
  EXPECT_FALSE(state.prunable_flag(5).has_value());
}

TEST_F(MergeLabels, EveryHolderOfASharedListSeesTheMerge) {
  auto shared = L({4, 6});
  auto& a = tensor("a", Shape{2}, {shared});
  auto& b = tensor("b", Shape{2}, {shared});
  tensor("c", Shape{1}, {L({1})});
  _merge_labels(state, std::vector<Label>{1, 6});
  EXPECT_EQ(text(a), "[[4, 1]]");
  EXPECT_EQ(text(b), "[[4, 1]]");
}

TEST_F(MergeLabels, SurvivorIsPrunableOnlyWhenEveryMergedLabelWas) {
  struct Case {
    bool base, folded, expected;
  };
  for (auto [base, folded, expected] :
       {Case{true, true, true}, Case{true, false, false}, Case{false, true, false}}) {
    GraphBuilder g;
    g.tensor("a", Shape{3}, {g.L({0, 1, 2})});
    g.state.set_prunable_flag(0, base);
    g.state.set_prunable_flag(2, folded);  // the last of three labels still counts
    _merge_labels(g.state, std::vector<Label>{0, 1, 2});
    EXPECT_EQ(g.prunable(0), expected) << base << " " << folded;
    EXPECT_FALSE(g.has_label(2));
  }
}

TEST_F(MergeLabels, MissingBookkeepingIsALookupErrorAndEarlierFoldsStay) {
  auto& a = tensor("a", Shape{2}, {L({0, 1})});
  EXPECT_THROW(_merge_labels(state, std::vector<Label>{0, 1, 42}), LookupError);
  EXPECT_EQ(text(a), "[[0, 0]]");
  EXPECT_THROW(_merge_labels(state, std::vector<Label>{0, 1}), LookupError);  // already folded
}

// ---- merge-group discovery ------------------------------------------------------------------

TEST(BreadthFirstFindMergeGroups, FindsTheConnectedColumnsInOrderOfTheirFirstColumn) {
  struct Case {
    std::vector<LabelList> rows;
    std::vector<MergeGroup> groups;
  };
  const Case cases[] = {
      {{{0, 1, 2, 3}, {6, 7, 8, 9}}, {{0, 6}, {1, 7}, {2, 8}, {3, 9}}},
      {{{0, 1, 0, 1, 0, 1}, {4, 5, 6, 7, 8, 9}}, {{0, 4, 6, 8}, {1, 5, 7, 9}}},
      {{{0, 1, 2}, {1, 2, 3}}, {{0, 1, 2, 3}}},
      {{{7, 8, 7}, {9, 8, 9}}, {{7, 9}, {8}}},
      {{{0, 1}, {1, 0}}, {{0, 1}}},
      {{{5, 5, 5}}, {{5}}},
      {{{}, {}}, {}},
      {{{5, 2}, {2, 9}}, {{2, 5, 9}}},
      {{{3, 4}, {5, 6}, {4, 3}}, {{3, 4, 5, 6}}},
  };
  for (const auto& c : cases) {
    const auto found = _breadth_first_find_merge_groups(c.rows);
    EXPECT_EQ(found.merge_groups, c.groups);
    for (std::size_t i = 0; i < c.groups.size(); ++i) {
      for (Label label : c.groups[i])
        EXPECT_EQ(found.group_index_by_label.at(label), i);
    }
    std::size_t labels = 0;
    for (const auto& group : c.groups)
      labels += group.size();
    EXPECT_EQ(found.group_index_by_label.size(), labels);
  }
}

TEST(GetColumnIndicesByLabel, ListsEachColumnOnceInAscendingOrder) {
  LabelList r0{0, 1, 0}, r1{2, 1, 3};
  const std::vector<Label> unique{0, 1, 2, 3};
  auto index = _get_column_indices_by_label({&r0, &r1}, unique);
  EXPECT_EQ(index.at(0), (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(index.at(1), (std::vector<std::size_t>{1}));
  EXPECT_EQ(index.at(2), (std::vector<std::size_t>{0}));
  EXPECT_EQ(index.at(3), (std::vector<std::size_t>{2}));
  EXPECT_THROW(_get_column_indices_by_label({&r0}, std::vector<Label>{1}), LookupError);
}

// ---- _merge_label_groups --------------------------------------------------------------------

class MergeLabelGroups : public ::testing::Test, public GraphBuilder {
 protected:
  DimensionLabels merge(std::vector<DimensionLabels> groups) {
    return _merge_label_groups(state, groups);
  }
};

TEST_F(MergeLabelGroups, NoPresentGroupReturnsNoneAndMarksNothing) {
  tensor("a", Shape{2}, {L({0, 1})});
  EXPECT_EQ(merge({}), nullptr);
  EXPECT_EQ(merge({none, none, none}), nullptr);
  EXPECT_TRUE(prunable(0));
}

TEST_F(MergeLabelGroups, OnePresentGroupIsReturnedItself) {
  auto group = L({3, 4});
  tensor("a", Shape{2}, {group});
  EXPECT_EQ(merge({group}), group);
  EXPECT_TRUE(prunable(3));
  EXPECT_EQ(merge({none, group}), group);
  EXPECT_FALSE(prunable(3));
  EXPECT_FALSE(prunable(4));
}

TEST_F(MergeLabelGroups, TiesPositionsAndTheSmallestLabelSurvives) {
  auto& a = tensor("a", Shape{4}, {L({0, 1, 2, 3})});
  auto& b = tensor("b", Shape{4}, {L({6, 7, 8, 9})});
  auto merged = merge({labels(a)[0], labels(b)[0]});
  EXPECT_EQ(labels_text(merged), "[0, 1, 2, 3]");
  EXPECT_EQ(text(b), "[[0, 1, 2, 3]]");
  EXPECT_NE(merged, labels(a)[0]) << "the result is a fresh list";

  auto& c = tensor("c", Shape{2}, {L({16, 17})});
  auto& d = tensor("d", Shape{2}, {L({10, 11})});
  EXPECT_EQ(labels_text(merge({labels(c)[0], labels(d)[0]})), "[10, 11]");
  EXPECT_EQ(text(c), "[[10, 11]]");
}

TEST_F(MergeLabelGroups, RepeatedLabelsCollapseIntoTheirClasses) {
  auto& cat = tensor("cat", Shape{6}, {L({0, 1, 0, 1, 0, 1})});
  auto& w = tensor("w", Shape{6}, {L({4, 5, 6, 7, 8, 9})});
  EXPECT_EQ(labels_text(merge({labels(cat)[0], labels(w)[0]})), "[0, 1, 0, 1, 0, 1]");
  EXPECT_EQ(text(w), "[[0, 1, 0, 1, 0, 1]]");
  for (Label gone : {4, 5, 6, 7, 8, 9})
    EXPECT_FALSE(has_label(gone));
}

TEST_F(MergeLabelGroups, ChainsThroughSharedLabels) {
  auto& a = tensor("a", Shape{2}, {L({5, 2})});
  auto& b = tensor("b", Shape{2}, {L({2, 9})});
  EXPECT_EQ(labels_text(merge({labels(a)[0], labels(b)[0]})), "[2, 2]");
}

TEST_F(MergeLabelGroups, NoneGroupMakesTheWholeResultNonPrunable) {
  auto& a = tensor("a", Shape{2}, {L({1, 2})});
  auto& b = tensor("b", Shape{2}, {L({3, 4})});
  EXPECT_EQ(labels_text(merge({labels(a)[0], none, labels(b)[0]})), "[1, 2]");
  EXPECT_FALSE(prunable(1));
  EXPECT_FALSE(prunable(2));
  EXPECT_FALSE(has_label(3));
}

TEST_F(MergeLabelGroups, DifferentLengthsRaiseWithTheLengthsAndKeepTheMarking) {
  auto& a = tensor("a", Shape{3}, {L({1, 2, 3})});
  auto& b = tensor("b", Shape{2}, {L({4, 5})});
  auto& c = tensor("c", Shape{3}, {L({6, 7, 8})});
  EXPECT_THAT(
      [&] {
        merge({labels(a)[0], labels(b)[0]});
      },
      ThrowsMessage<PruningEngineRuntimeException>(
          StrEq("Attempting to merge label groups of different sizes: (3, 2)")));
  EXPECT_TRUE(prunable(1));
  EXPECT_THAT(
      [&] {
        merge({none, labels(a)[0], labels(b)[0], labels(c)[0]});
      },
      ThrowsMessage<PruningEngineRuntimeException>(
          StrEq("Attempting to merge label groups of different sizes: (3, 2, 3)")));
  for (Label label : {1, 2, 3})
    EXPECT_FALSE(prunable(label));
  EXPECT_TRUE(prunable(4));
  EXPECT_TRUE(prunable(6));
}

TEST_F(MergeLabelGroups, TwoEmptyGroupsGiveAnEmptyList) {
  EXPECT_EQ(labels_text(merge({L({}), L({})})), "[]");
}

// ---- dimension-label utilities --------------------------------------------------------------

class LabelLists : public ::testing::Test, public GraphBuilder {};

TEST_F(LabelLists, BroadcastToPadsLeadingDimensionsWithSizeOneAndNoLabels) {
  auto channel = L({0, 1, 2});
  auto [shape, labels] = _broadcast_to(Shape{8, 16}, {none, channel}, 4);
  EXPECT_EQ(shape, (Shape{1, 1, 8, 16}));
  EXPECT_EQ(labels_text(labels), "[None, None, None, [0, 1, 2]]");
  EXPECT_EQ(labels[3], channel) << "the same list, not a copy";

  auto [empty_shape, empty_labels] = _broadcast_to(Shape{}, {}, 2);
  EXPECT_EQ(empty_shape, (Shape{1, 1}));
  EXPECT_EQ(labels_text(empty_labels), "[None, None]");
}

TEST_F(LabelLists, BroadcastToLeavesShapesWithEnoughDimensionsAlone) {
  const TensorLabels labels{none, L({0}), none};
  for (std::size_t n : {2u, 3u}) {
    auto [shape, out] = _broadcast_to(Shape{2, 3, 4}, labels, n);
    EXPECT_EQ(shape, (Shape{2, 3, 4}));
    EXPECT_EQ(out, labels);
  }
}

TEST_F(LabelLists, SwapPruneDimsMovesTheListToAnEmptyDestination) {
  auto channel = L({5, 6});
  TensorLabels labels{channel, none, none};
  EXPECT_EQ(&_swap_prune_dims(labels, 0, 2), &labels);
  EXPECT_EQ(labels_text(labels), "[None, None, [5, 6]]");
  EXPECT_EQ(labels[2], channel);

  TensorLabels same{none, L({1}), none};
  _swap_prune_dims(same, 1, 1);
  EXPECT_EQ(labels_text(same), "[None, [1], None]");
}

TEST_F(LabelLists, SwapPruneDimsRefusesALabelledDestinationAndChangesNothing) {
  TensorLabels labels{L({5, 6}), L({7, 8})};
  EXPECT_THAT([&] { _swap_prune_dims(labels, 0, 1); },
              ThrowsMessage<PruningEngineRuntimeException>(StrEq("dst_dim is already prunable")));
  EXPECT_EQ(labels_text(labels), "[[5, 6], [7, 8]]");
  EXPECT_THROW(_swap_prune_dims(labels, 0, 5), LookupError);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers
