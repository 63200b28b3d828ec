// The label algebra. Its results on whole graphs are pinned by the report goldens, and the state's
// indexes after every merge by the self-check the goldens and the random graphs run; these cases
// hold the messages no golden graph raises, the sharing of lists, the survivor's prunability and
// the merge groups found.

#include "zavo/pruning/engine/node_handlers/label_algebra.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "support/graph_builder.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using testing::GraphBuilder;
using testing::none;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

class LabelAlgebra : public ::testing::Test, public GraphBuilder {
 protected:
  DimensionLabels merge(std::vector<DimensionLabels> groups) {
    return _merge_label_groups(state, groups);
  }
};

TEST_F(LabelAlgebra, MergeLabelsOfOneLabelChangesNothingAndOfNoneRaises) {
  auto& a = tensor("a", Shape{2}, {L({7, 8})});
  for (std::vector<Label> labels : {std::vector<Label>{7}, std::vector<Label>{7, 7}}) {
    EXPECT_EQ(_merge_labels(state, labels), 7);
    EXPECT_EQ(text(a), "[[7, 8]]");
  }
  EXPECT_THAT([&] { _merge_labels(state, {}); },
              ThrowsMessage<PruningEngineRuntimeException>(
                  StrEq("Attempting to merge an empty list of labels")));
  EXPECT_THROW(_merge_labels(state, std::vector<Label>{7, 42}), LookupError);
}

TEST_F(LabelAlgebra, EveryHolderOfASharedListSeesTheMerge) {
  auto shared = L({4, 6});
  auto& a = tensor("a", Shape{2}, {shared});
  auto& b = tensor("b", Shape{2}, {shared});
  tensor("c", Shape{1}, {L({1})});
  _merge_labels(state, std::vector<Label>{1, 6});
  EXPECT_EQ(text(a), "[[4, 1]]");
  EXPECT_EQ(text(b), "[[4, 1]]");
}

TEST_F(LabelAlgebra, SurvivorIsPrunableOnlyWhenEveryMergedLabelWas) {
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

TEST(BreadthFirstFindMergeGroups, FindsTheConnectedColumnsInOrderOfTheirFirstColumn) {
  struct Case {
    std::vector<LabelList> rows;
    std::vector<MergeGroup> groups;
  };
  const Case cases[] = {
      {{{0, 1, 0, 1, 0, 1}, {4, 5, 6, 7, 8, 9}}, {{0, 4, 6, 8}, {1, 5, 7, 9}}},
      {{{0, 1, 2}, {1, 2, 3}}, {{0, 1, 2, 3}}},
      {{{7, 8, 7}, {9, 8, 9}}, {{7, 9}, {8}}},
      {{{}, {}}, {}},
      {{{5, 2}, {2, 9}}, {{2, 5, 9}}},
      {{{3, 4}, {5, 6}, {4, 3}}, {{3, 4, 5, 6}}},
  };
  for (const auto& c : cases) {
    const auto found = _breadth_first_find_merge_groups(c.rows);
    EXPECT_EQ(found.merge_groups, c.groups);
    std::size_t labels = 0;
    for (std::size_t i = 0; i < c.groups.size(); ++i) {
      labels += c.groups[i].size();
      for (Label label : c.groups[i])
        EXPECT_EQ(found.group_index_by_label.at(label), i);
    }
    EXPECT_EQ(found.group_index_by_label.size(), labels);
  }
}

// Random label matrices, some with labels shared between columns and some without: the tie folds
// the connected columns (as the breadth-first search finds them) group by group, in order of
// each group's first column, every member into the group's smallest label, and each position of
// the result reads its group's survivor. A tie whose result is not kept folds the same labels
// and meets the label budget exactly where the merge does, with the same message.
TEST(MergeLabelGroups, FoldsEachGroupOfConnectedColumnsIntoItsSmallestLabelInColumnOrder) {
  struct Folds : LabelObserver {
    std::vector<std::pair<Label, Label>> seen;
    void labels_merged(Label base, Label folded) override { seen.emplace_back(base, folded); }
  };
  std::mt19937 random(20);
  std::vector<LabelList> previous;  // the last full trial's matrix, its labels moved apart
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t rows = 2 + random() % 4;
    const std::size_t length = 1 + random() % 7;
    // Few labels share some between columns; many mostly keep the columns apart.
    const auto pool = static_cast<Label>(trial % 2 ? 4 * rows * length : length + 2);
    std::vector<LabelList> matrix(rows, LabelList(length));
    for (auto& row : matrix) {
      for (Label& label : row)
        label = static_cast<Label>(random() % static_cast<std::uint64_t>(pool));
    }
    GraphBuilder g;
    std::vector<DimensionLabels> groups;
    for (const LabelList& row : matrix) {
      groups.push_back(make_labels(g.state, row));
      g.tensor("", Shape{static_cast<std::int64_t>(length)}, {groups.back()});
    }
    Folds folds;
    g.state.observer = &folds;
    // Every third trial with a budget one position short of the merged list.
    const bool short_budget = trial % 3 == 0;
    if (short_budget)
      g.state.label_position_budget = static_cast<std::int64_t>((rows + 1) * length - 1);
    GraphBuilder tie;
    tie.state.label_position_budget = g.state.label_position_budget;
    for (const LabelList& row : matrix) {
      tie.tensor("", Shape{static_cast<std::int64_t>(length)}, {make_labels(tie.state, row)});
    }
    Folds tie_folds;
    tie.state.observer = &tie_folds;
    // The budget's message, or the first row's labels after the folds.
    auto outcome = [](GraphBuilder& builder, auto&& run) {
      try {
        run();
      } catch (const LabelBudgetError& e) {
        return std::string(e.what());
      }
      return builder.text(*builder.graph.nodes().front());
    };
    DimensionLabels merged;
    const std::string merge_outcome =
        outcome(g, [&] { merged = _merge_label_groups(g.state, groups); });
    const std::string tie_outcome = outcome(tie, [&] {
      std::vector<DimensionLabels> tie_groups;
      for (const auto& node : tie.graph.nodes())
        tie_groups.push_back(tie.labels(*node)[0]);
      _tie_label_groups(tie.state, tie_groups);
    });
    EXPECT_EQ(tie_outcome, merge_outcome) << "trial " << trial;
    EXPECT_EQ(tie_folds.seen, folds.seen) << "trial " << trial;
    EXPECT_EQ(short_budget, merge_outcome.starts_with("the parse needs")) << "trial " << trial;
    if (short_budget)
      continue;

    const MergeGroups expected = _breadth_first_find_merge_groups(matrix);
    std::vector<std::pair<Label, Label>> expected_folds;
    for (const MergeGroup& group : expected.merge_groups) {
      for (std::size_t i = 1; i < group.size(); ++i)
        expected_folds.emplace_back(group.front(), group[i]);
    }
    LabelList survivors;
    for (Label label : matrix.front())
      survivors.push_back(expected.merge_groups[expected.group_index_by_label.at(label)].front());
    EXPECT_EQ(folds.seen, expected_folds) << "trial " << trial;
    EXPECT_EQ(merged.to_vector(), survivors) << "trial " << trial;
    g.state.check_invariants();

    // The same merge in a state that merged the last trial's matrix first (labels apart): the
    // buffers the state reuses from call to call carry nothing over.
    GraphBuilder reused;
    auto merge_rows = [&reused](const std::vector<LabelList>& label_rows) {
      std::vector<DimensionLabels> lists;
      for (const LabelList& row : label_rows) {
        lists.push_back(make_labels(reused.state, row));
        reused.tensor("", Shape{static_cast<std::int64_t>(row.size())}, {lists.back()});
      }
      return _merge_label_groups(reused.state, lists);
    };
    merge_rows(previous);
    Folds reused_folds;
    reused.state.observer = &reused_folds;
    EXPECT_EQ(merge_rows(matrix).to_vector(), survivors) << "trial " << trial;
    EXPECT_EQ(reused_folds.seen, expected_folds) << "trial " << trial;
    reused.state.check_invariants();
    previous = matrix;
    for (LabelList& row : previous) {
      for (Label& label : row)
        label += 1000;
    }
  }
}

TEST_F(LabelAlgebra, MergeLabelGroupsReturnsAFreshListAndNoneOrOneGroupItself) {
  auto group = L({3, 4});
  tensor("a", Shape{2}, {group});
  EXPECT_EQ(merge({}), nullptr);
  EXPECT_EQ(merge({none, none}), nullptr);
  EXPECT_EQ(merge({group}), group);
  EXPECT_TRUE(prunable(3));
  EXPECT_EQ(merge({none, group}), group);  // a none group takes the result out of pruning
  EXPECT_FALSE(prunable(3));
  auto& b = tensor("b", Shape{2}, {L({1, 2})});
  auto merged = merge({group, labels(b)[0]});
  EXPECT_EQ(labels_text(merged), "[1, 2]");
  EXPECT_NE(merged, labels(b)[0]) << "the result is a fresh list";
}

TEST_F(LabelAlgebra, DifferentLengthsRaiseWithTheLengthsAndKeepTheMarking) {
  auto& a = tensor("a", Shape{3}, {L({1, 2, 3})});
  auto& b = tensor("b", Shape{2}, {L({4, 5})});
  auto& c = tensor("c", Shape{3}, {L({6, 7, 8})});
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

TEST_F(LabelAlgebra, AFoldThatRaisesLeavesNoMarkBehind) {
  // Two rows with their columns apart fold column by column; the second column's fold raises
  // (label 9 is carried by no node), with the third column's labels still marked.
  auto& a = tensor("a", Shape{3}, {L({0, 1, 2})});
  auto& b = tensor("b", Shape{3}, {L({3, 4, 5})});
  auto unrecorded = make_labels(state, std::vector<Label>{0, 9, 7});
  state.next_label = 10;
  EXPECT_THROW(merge({labels(a)[0], unrecorded}), LookupError);
  EXPECT_NO_THROW(state.check_invariants());
  // The third column's labels are numbered afresh: 2 and 5 share a column, 1 and 4 another.
  auto merged = merge({labels(a)[0], labels(b)[0]});
  EXPECT_EQ(labels_text(merged), "[0, 1, 2]");
  EXPECT_EQ(text(b), "[[0, 1, 2]]");
  EXPECT_NO_THROW(state.check_invariants());
}

TEST_F(LabelAlgebra, BroadcastToSharesTheListsAndSwapRefusesALabelledDestination) {
  auto channel = L({0, 1, 2});
  auto [shape, padded] = _broadcast_to(Shape{8, 16}, {none, channel}, 4);
  EXPECT_EQ(shape, (Shape{1, 1, 8, 16}));
  EXPECT_EQ(padded[3], channel) << "the same list, not a copy";

  TensorLabels swapped{L({5, 6}), L({7, 8})};
  EXPECT_THAT([&] { _swap_prune_dims(swapped, 0, 1); },
              ThrowsMessage<PruningEngineRuntimeException>(StrEq("dst_dim is already prunable")));
  EXPECT_EQ(labels_text(swapped), "[[5, 6], [7, 8]]");
  EXPECT_THROW(_swap_prune_dims(swapped, 0, 5), LookupError);
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers
