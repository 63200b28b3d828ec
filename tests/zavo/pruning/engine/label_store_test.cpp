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
using testing::Sequence;
using ::testing::ThrowsMessage;
using testing::Value;

class LabelStoreState : public ::testing::Test, public GraphBuilder {};

// The self-check holds through merges and re-records, counts the recorded positions of a retired
// label, and names what a caller breaks by going around the utilities.
TEST_F(LabelStoreState, SelfCheckHoldsThroughMergesAndNamesTheBrokenRule) {
  auto& a = tensor("a", Shape{2, 2}, {L({0, 1}), L({1, 2})});
  tensor("b", Shape{2}, {L({2, 3})});
  state.fold_label(0, 2);
  add_node_output_info(
      {.pruning_state = state, .node = a, .labels = TensorLabels{none, L({3, 0})}});
  EXPECT_EQ(state.check_invariants(), 0u);
  add_node_output_info({.pruning_state = state,
                        .node = graph.add_parameter("c", Shape{2}),
                        .labels = TensorLabels{L({2, 2})}});
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

// A concatenation holds its inputs' labels, which spares the dropped-label guard their walk,
// only while its inputs keep the records it read and no tie of its own retired a label of the
// list it joined; the self-check refuses a claim that does not hold.
TEST_F(LabelStoreState, AConcatenationHoldsItsInputsLabelsOnlyWhenNothingRetiredThem) {
  auto& a = tensor("a", Shape{2, 2}, {L({0, 1}), L({2, 3})});
  auto& b = tensor("b", Shape{2, 2}, {L({4, 5}), none});
  auto& joined = call("torch.cat", {Value(Sequence{a, b}), 0}, {}, Shape{4, 2});
  run(joined);
  EXPECT_EQ(text(joined), "[[0, 1, 4, 5], None]");
  EXPECT_TRUE(holds_labels_of(state, joined, a));
  EXPECT_TRUE(holds_labels_of(state, joined, b));
  EXPECT_TRUE(holds_input_labels(state, joined));
  EXPECT_EQ(state.check_invariants(), 0u);
  add_node_output_info(
      {.pruning_state = state, .node = b, .labels = TensorLabels{L({6, 7}), none}});
  EXPECT_FALSE(holds_labels_of(state, joined, b)) << "b was recorded again after the join";
  EXPECT_TRUE(holds_labels_of(state, joined, a));
  EXPECT_FALSE(holds_input_labels(state, joined));

  auto& d = tensor("d", Shape{2, 2}, {L({12, 13}), L({10, 11})});
  auto& c = tensor("c", Shape{2, 2}, {L({14, 15}), L({12, 13})});
  auto& tied = call("torch.cat", {Value(Sequence{d, c}), 0}, {}, Shape{4, 2});
  run(tied);
  EXPECT_EQ(text(tied), "[[12, 13, 14, 15], [10, 11]]") << "the tie retired 12 and 13";
  EXPECT_FALSE(holds_labels_of(state, tied, d));
  EXPECT_FALSE(holds_labels_of(state, tied, c));

  auto& lost = call("torch.relu", {c}, {}, Shape{2, 2});
  add_node_output_info({.pruning_state = state,
                        .node = lost,
                        .labels = TensorLabels{L({14, 15}), none},
                        .holds_input_labels = true});
  EXPECT_THAT([&] { state.check_invariants(); },
              ThrowsMessage<StateInvariantError>(
                  HasSubstr("node " + lost.name +
                            " is recorded as holding its inputs' labels but lacks "
                            "label 10 of c")));
}

// A convolution keeps its inputs' labels when the tie with its weight holds the input's
// channels and nothing else of the inputs can still be pruned: the guard may pass over it. Batch
// labels the output does not carry, or a weight that is not a parameter, lose labels; the
// self-check refuses a claim that loses one.
TEST_F(LabelStoreState, AConvolutionKeepsItsInputsLabelsOnlyThroughItsWeight) {
  const std::string conv = "torch.nn.functional.conv2d";
  auto& w = tensor("w", Shape{2, 3, 1, 1}, {L({0, 1}), L({2, 3, 4}), none, none});
  auto& x = tensor("x", Shape{1, 3, 4, 4}, {none, L({5, 6, 7}), L({8, 9, 10, 11}), none});
  auto& kept = call(conv, {x, w}, {}, Shape{1, 2, 4, 4});
  run(kept);
  EXPECT_EQ(text(kept), "[None, [0, 1], None, None]");
  EXPECT_TRUE(keeps_input_labels(state, kept));
  EXPECT_FALSE(holds_input_labels(state, kept));

  auto& batched = tensor("b", Shape{1, 3, 4, 4}, {L({12}), L({13, 14, 15}), none, none});
  auto& w2 = tensor("w2", Shape{2, 3, 1, 1}, {L({16, 17}), L({18, 19, 20}), none, none});
  auto& dropping = call(conv, {batched, w2}, {}, Shape{1, 2, 4, 4});
  run(dropping);
  EXPECT_FALSE(keeps_input_labels(state, dropping)) << "the batch label 12 is lost";
  auto& computed = call("torch.relu", {w2}, {}, Shape{2, 3, 1, 1});
  run(computed);
  auto& from_input = call(conv, {x, computed}, {}, Shape{1, 2, 4, 4});
  run(from_input);
  EXPECT_FALSE(keeps_input_labels(state, from_input)) << "the weight is computed";
  EXPECT_EQ(state.check_invariants(), 0u);

  auto& lost = call(conv, {batched, w2}, {}, Shape{1, 2, 4, 4});
  add_node_output_info(
      {.pruning_state = state,
       .node = lost,
       .labels = TensorLabels{none, get_prune_labels_by_dim(state, w2, 0), none, none},
       .keeps_input_labels = true});
  EXPECT_THAT([&] { state.check_invariants(); },
              ThrowsMessage<StateInvariantError>(
                  HasSubstr("node " + lost.name +
                            " is recorded as keeping its inputs' labels but lacks label 12 of b")));
}

// Room reserved ahead from the first half of a graph whose second half is alike holds all of it:
// recording the rest moves no table.
TEST_F(LabelStoreState, RoomReservedAheadHoldsTheRestOfAUniformGraph) {
  constexpr std::size_t kNodes = 400;
  std::vector<const ZavoNode*> nodes;
  for (std::size_t i = 0; i < kNodes; ++i)
    nodes.push_back(&graph.add_parameter("p" + std::to_string(i), Shape{6, 5, 1}));
  auto record = [&](const ZavoNode& node) {
    const TensorLabels labels{
        generate_new_channel_labels(
            {.pruning_state = state, .node = node, .dim = 0, .is_prunable = true}),
        generate_new_channel_labels(
            {.pruning_state = state, .node = node, .dim = 1, .is_prunable = false}),
        none};
    add_node_output_info({.pruning_state = state, .node = node, .labels = labels});
  };
  for (std::size_t i = 0; i < kNodes / 2; ++i)
    record(*nodes[i]);
  state.reserve_ahead(kNodes, kNodes * 11);
  const std::size_t room = state.capacity_bytes();
  state.reserve_ahead(kNodes, kNodes * 11);
  EXPECT_EQ(state.capacity_bytes(), room) << "a second reservation of the same takes nothing";
  for (std::size_t i = kNodes / 2; i < kNodes; ++i)
    record(*nodes[i]);
  EXPECT_EQ(state.capacity_bytes(), room);
  EXPECT_EQ(state.next_label, static_cast<Label>(kNodes * 11));
  EXPECT_EQ(state.check_invariants(), 0u);

  // A budget below what the estimate asks for bounds the room for positions.
  PruneGraphParserState bounded;
  bounded.label_position_budget = 64;
  for (std::size_t i = 0; i < 2; ++i) {
    add_node_output_info(
        {.pruning_state = bounded,
         .node = *nodes[i],
         .labels = TensorLabels{generate_new_channel_labels(
             {.pruning_state = bounded, .node = *nodes[i], .dim = 0, .is_prunable = true})}});
  }
  const std::size_t before = bounded.capacity_bytes();
  bounded.reserve_ahead(2, 1'000'000);
  // The labels' own tables take some 20 bytes a label; room for their positions at the rate so
  // far would take as much again.
  EXPECT_LT(bounded.capacity_bytes() - before, std::size_t{21'000'000});
}

}  // namespace
}  // namespace zavo::pruning::engine::utils
