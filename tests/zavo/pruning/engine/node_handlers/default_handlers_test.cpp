#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"

#include <gtest/gtest.h>

#include "support/graph_builder.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using tensor_trace::Sequence;
using testing::GraphBuilder;
using testing::none;

class DefaultHandlers : public ::testing::Test, public GraphBuilder {};

TEST_F(DefaultHandlers, RecordsNoneLabelsAndMarksEveryInputLabel) {
  auto& a = tensor("a", Shape{2, 3}, {L({0, 1}), L({2, 3, 4})});
  auto& b = tensor("b", Shape{2}, {L({5, 6})});
  auto& untouched = tensor("c", Shape{1}, {L({7})});
  auto& node = call("test.unknown_op", {a, Sequence{b}}, {{"other", 3}}, Shape{1, 2, 3, 4});
  run(node);
  EXPECT_EQ(text(node), "[None, None, None, None]");
  for (Label label = 0; label <= 6; ++label)
    EXPECT_FALSE(prunable(label)) << label;
  EXPECT_TRUE(prunable(7));
  EXPECT_EQ(text(untouched), "[[7]]");
}

TEST_F(DefaultHandlers, NodeWithoutShapeRecordsAnEmptyList) {
  auto& a = tensor("a", Shape{2}, {L({0, 1})});
  auto& node = call("test.unknown_op", {a});
  run(node);
  EXPECT_EQ(text(node), "[]");
}

TEST_F(DefaultHandlers, WithoutMarkingNoFlagChanges) {
  auto& a = tensor("a", Shape{2}, {L({0, 1})});
  auto& node = call("test.unknown_op", {a}, {}, Shape{2});
  _default_node_handler(state, node, /*mark_inputs_as_non_prunable=*/false);
  EXPECT_EQ(text(node), "[None]");
  EXPECT_TRUE(prunable(0));
  EXPECT_TRUE(prunable(1));
}

TEST_F(DefaultHandlers, MarkingWritesEveryElementAndNothingForNone) {
  _mark_labels_as_non_prunable(state, DimensionLabels{});
  _mark_labels_as_non_prunable(state, L({}));
  EXPECT_TRUE((state.prunable_entries() == 0));
  _mark_labels_as_non_prunable(state, L({3, 3, 3}));
  EXPECT_EQ(state.prunable_entries(), 1u);
  EXPECT_FALSE(prunable(3));
}

TEST_F(DefaultHandlers, MarkingDimensionsTouchesOnlyThoseDimensions) {
  auto& a = tensor("a", Shape{2, 2, 2}, {L({0, 1}), none, L({2, 3})});
  _mark_node_dimensions_as_non_prunable(state, a, std::vector<std::int64_t>{});
  _mark_node_dim_as_non_prunable(state, a, 1);
  for (Label label = 0; label <= 3; ++label)
    EXPECT_TRUE(prunable(label));
  _mark_node_dimensions_as_non_prunable(state, a, std::vector<std::int64_t>{2});
  EXPECT_TRUE(prunable(0));
  EXPECT_FALSE(prunable(2));
  EXPECT_FALSE(prunable(3));
}

TEST_F(DefaultHandlers, KeepStateSharesTheSourceListsSoLaterMergesShowThrough) {
  auto& src = tensor("src", Shape{1, 2, 4}, {none, L({0, 1}), none});
  auto& node = call("test.unknown_op", {src}, {}, Shape{1, 2, 4});
  _node_keep_state({.pruning_state = state, .node = node, .src_node = src});
  EXPECT_EQ(text(node), "[None, [0, 1], None]");
  EXPECT_EQ(labels(node)[1], labels(src)[1]);

  tensor("other", Shape{1}, {L({9})});
  state.fold_label(9, 0);  // a merge rewrites the shared list in place
  EXPECT_EQ(text(node), "[None, [9, 1], None]");
}

TEST_F(DefaultHandlers, TensorReadsRecordNoneAndLeaveInputsPrunable) {
  auto& x = tensor("x", Shape{1, 4, 2, 2}, {none, L({0, 1, 2, 3}), none, none});
  auto& size = call("torch.Tensor.size", {x}, {}, Shape{4});
  auto& shape = call("torch.Tensor.shape.__get__", {x}, {}, std::nullopt);
  run(size);
  run(shape);
  EXPECT_EQ(text(size), "[None]");
  EXPECT_EQ(text(shape), "[]");
  for (Label label = 0; label <= 3; ++label)
    EXPECT_TRUE(prunable(label));
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers
