// The default handler's results on whole graphs are pinned by the report goldens (every unknown
// operation of the zoo); these cases hold the direct calls and the sharing of kept lists.

#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"

#include <gtest/gtest.h>

#include "support/graph_builder.hpp"

namespace zavo::pruning::engine::node_handlers {
namespace {

using testing::GraphBuilder;
using testing::none;

class DefaultHandlers : public ::testing::Test, public GraphBuilder {};

TEST_F(DefaultHandlers, WithoutMarkingNoFlagChanges) {
  auto& a = tensor("a", Shape{2}, {L({0, 1})});
  auto& node = call("test.unknown_op", {a}, {}, Shape{2});
  _default_node_handler(state, node, /*mark_inputs_as_non_prunable=*/false);
  EXPECT_EQ(text(node), "[None]");
  EXPECT_TRUE(prunable(0));
  EXPECT_TRUE(prunable(1));
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

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers
