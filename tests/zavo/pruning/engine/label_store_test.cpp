#include "zavo/pruning/engine/label_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/graph_builder.hpp"
#include "zavo/pruning/engine/utils.hpp"

namespace zavo::pruning::engine::utils {
namespace {

using testing::GraphBuilder;
using ::testing::HasSubstr;
using testing::none;
using ::testing::ThrowsMessage;

class LabelStoreState : public ::testing::Test, public GraphBuilder {};

// The self-check holds through merges and re-records, counts the recorded positions of a retired
// label, and names what a caller breaks by going around the utilities.
TEST_F(LabelStoreState, SelfCheckHoldsThroughMergesAndNamesTheBrokenRule) {
  auto& a = tensor("a", Shape{2, 2}, {L({0, 1}), L({1, 2})});
  tensor("b", Shape{2}, {L({2, 3})});
  state.fold_label(0, 2);
  add_node_output_info({.pruning_state = state, .node = a, .labels = {none, L({3, 0})}});
  EXPECT_EQ(state.check_invariants(), 0u);
  add_node_output_info(
      {.pruning_state = state, .node = graph.add_parameter("c", Shape{2}), .labels = {L({2, 2})}});
  EXPECT_EQ(state.check_invariants(), 2u) << "label 2 was retired by the merge";

  auto broken = [&](const char* rule) {
    EXPECT_THAT([&] { state.check_invariants(); },
                ThrowsMessage<StateInvariantError>(HasSubstr(rule)));
  };
  L({4});
  broken("list 5 (held by no node) holds label 4, at or past the counter 4");
  state.next_label = 5;
  state.set_prunable_flag(6, true);
  broken("label 6 has an entry but the counter is at 5");
}

}  // namespace
}  // namespace zavo::pruning::engine::utils
