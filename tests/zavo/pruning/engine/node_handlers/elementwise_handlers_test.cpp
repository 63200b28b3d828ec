// The element-wise family: element-wise, binary, dropout, channel-wise and concatenation. Their
// label results on whole graphs are pinned by the report goldens; these cases hold what a report
// does not show: the sharing of lists, exact messages no golden graph raises, the state a failure
// leaves, warning categories and stack levels, and the debug lines.

#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "zavo/pruning/engine/node_handlers/handler_test_support.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {
namespace {

const std::string NON_TENSOR =
    "PruningEngineRuntimeException: Elementwise node handler with non-tensor input: ";
const std::string MERGE_2_3 =
    "PruningEngineRuntimeException: Attempting to merge label groups of different sizes: (2, 3)";

// A ladder joins every earlier output again, so each concatenation can start from the one before
// it. Between them, ties retire labels of the earlier join (or only newer labels), nodes are
// recorded again and unlabelled inputs join: whatever the shortcut, a join reads what its inputs
// read at that moment.
TEST_F(Handlers, ConcatenationJoinsWhatItsInputsReadNow) {
  std::mt19937 random(7);
  auto pick = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  auto fresh = [&]() -> const ZavoNode& {
    const Label next = state.next_label;
    return tensor("", Shape{1, 2}, {none, L({next, next + 1})});
  };
  auto any = [&](const std::vector<const ZavoNode*>& nodes) -> const ZavoNode& {
    return *nodes[pick(nodes.size())];
  };
  std::vector<const ZavoNode*> outputs = {&fresh()};
  std::vector<const ZavoNode*> unlabelled;  // outputs without labels, labelled first by case 2
  std::size_t joins = 0;
  for (int step = 0; step < 400; ++step) {
    switch (pick(6)) {
      case 0:  // a tie of two earlier outputs: the later label of each column is retired
        run(call("torch.add", {any(outputs), any(outputs)}, {}, Shape{1, 2}));
        break;
      case 1:  // a tie of two new tensors: only labels newer than every join are retired
        run(call("torch.add", {fresh(), fresh()}, {}, Shape{1, 2}));
        break;
      case 2: {  // an output recorded again, with new labels
        const Label next = state.next_label;
        const ZavoNode& again = unlabelled.empty() ? any(outputs) : *unlabelled.back();
        if (!unlabelled.empty())
          unlabelled.pop_back();
        pruning::engine::utils::add_node_output_info(
            {.pruning_state = state,
             .node = again,
             .labels = TensorLabels{none, L({next, next + 1})}});
        state.set_prunable_flag(next, true);
        state.set_prunable_flag(next + 1, true);
        state.next_label = next + 2;
        break;
      }
      default: {  // the outputs so far joined: all, all but the newest or the oldest, or more
        std::vector<const ZavoNode*> inputs = outputs;
        if (outputs.size() > 1 && pick(4) == 0)
          inputs.pop_back();
        if (outputs.size() > 1 && pick(8) == 0)
          inputs.erase(inputs.begin());
        if (pick(6) == 0) {
          // An input without labels, which stays one of the outputs until recorded again.
          unlabelled.push_back(&computed("", Shape{1, 2}, {none, none}));
          inputs.push_back(unlabelled.back());
          outputs.push_back(unlabelled.back());
        }
        const std::size_t n = inputs.size();
        Sequence tensors;
        for (const ZavoNode* input : inputs)
          tensors.emplace_back(*input);
        auto& joined =
            call("torch.cat", {tensors, 1}, {}, Shape{1, static_cast<std::int64_t>(2 * n)});
        const Label before = state.next_label;
        run(joined);
        if (pick(2) == 0) {
          // A layer tied to the join, after a tie of two outputs or at once.
          if (pick(2) == 0)
            run(call("torch.add", {any(outputs), any(outputs)}, {}, Shape{1, 2}));
          const Shape wide{1, static_cast<std::int64_t>(2 * n)};
          LabelList weight(2 * n);
          std::iota(weight.begin(), weight.end(), state.next_label);
          auto& layer = tensor("", wide, {none, make_labels(state, weight)});
          run(call("torch.add", {joined, layer}, {}, wide));
          ASSERT_EQ(labels(layer)[1]->to_vector(), labels(joined)[1]->to_vector());
        }
        const LabelList got = labels(joined)[1]->to_vector();
        ASSERT_EQ(got.size(), 2 * n);
        for (std::size_t i = 0; i < n; ++i) {
          const auto at = "input " + std::to_string(i) + " of join " + std::to_string(joins);
          // An unlabelled input is joined under labels made for this join.
          if (const DimensionLabels own = labels(*inputs[i])[1])
            ASSERT_EQ(LabelList({got[2 * i], got[2 * i + 1]}), own->to_vector()) << at;
          else
            ASSERT_GE(got[2 * i], before) << at;
        }
        ++joins;
        outputs.push_back(&fresh());
      }
    }
  }
  EXPECT_GT(joins, 100u);
  state.check_invariants();
}

TEST_F(Handlers, ElementwiseOutputSharesTheFirstArgumentsLabels) {
  auto& x = tensor("x", Shape{1, 3}, {none, L({0, 1, 2})});
  auto& other = tensor("other", Shape{1, 3}, {none, L({3, 4, 5})});
  auto& y = call("torch.clamp", {x, other, 6}, {}, Shape{1, 3});
  run(y);
  EXPECT_EQ(labels(y)[1], labels(x)[1]);  // shared: later merges and marks reach both
  EXPECT_EQ(text(other), "[None, [3, 4, 5]]");
}

// Failures no golden graph raises; none of them records the node.
TEST_F(Handlers, ElementwiseFamilyFailuresLeaveNoRecord) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  const std::tuple<std::string_view, Args, Kwargs, std::string> cases[] = {
      {"torch.nn.functional.relu", {2.5, x}, {{"input", x}}, NON_TENSOR + "float"},
      {"torch.nn.functional.relu", {Value::none(), x}, {}, NON_TENSOR + "NoneType"},
      {"torch.nn.functional.relu", {Sequence{x}, x}, {}, NON_TENSOR + "list"},
      // No tensor: the second operand is the source, unless it is none.
      {"torch.mul", {2, 3}, {}, "LookupError: value 3 of type int has no recorded labels"},
      {"torch.mul", {2, Value::none()}, {}, NON_TENSOR + "int"},
      {"torch.cat",
       {Sequence{3}, 0},
       {},
       "LookupError: value 3 of type int has no recorded labels"},
      {"torch.cat",
       {Sequence{}, 0},
       {},
       "LookupError: Concatenation of an empty sequence of tensors"},
  };
  for (const auto& [op, args, kwargs, failure] : cases) {
    auto& y = call(op, args, kwargs, Shape{2});
    EXPECT_EQ(failure_of([&] { run(y); }), failure);
    EXPECT_FALSE(recorded(y));
  }
}

TEST_F(Handlers, MergeFailuresKeepEarlierDimensionsMerged) {
  auto& a = tensor("a", Shape{4, 2}, {L({0, 1, 2, 3}), L({4, 5})});
  auto& b = tensor("b", Shape{4, 3}, {L({6, 7, 8, 9}), L({10, 11, 12})});
  for (std::string_view op : {"torch.add", "torch.cat"}) {
    const Args args = op == "torch.add" ? Args{a, b} : Args{Sequence{a, b}, -1};
    auto& y = call(op, args, {}, Shape{4, 3});
    EXPECT_EQ(failure_of([&] { run(y); }), MERGE_2_3);
    EXPECT_EQ(text(b), "[[0, 1, 2, 3], [10, 11, 12]]");
    EXPECT_FALSE(recorded(y));
  }
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

// The warnings of dropout and channel-wise calls are user warnings at stack level 1; the dropout
// warning stands even when the labels then cannot be handled.
TEST_F(Handlers, DropoutAndChannelwiseWarningsAreUserWarningsAtLevelOne) {
  auto& x = tensor("x", Shape{2}, {L({0, 1})});
  auto& dropout = call("torch.nn.functional.dropout", {}, {{"input", x}}, Shape{2});
  EXPECT_THROW(run(dropout), NotImplementedError);
  auto& off = tensor("off", Shape{3, 3, 3}, {L({2, 3, 4}), none, none});
  run(call("torch.nn.functional.batch_norm", {off}, {}, Shape{3, 3, 3}));
  EXPECT_EQ(warned.messages(),
            (std::vector<std::string>{
                "For proper pruning of model with dropout, dropout should be in eval mode",
                "For channelwise operation batch_norm prune dimension should be 1, but got 0 "
                "dimension"}));
  for (const auto& record : warned.records()) {
    EXPECT_EQ(record.category, warnings::Category::UserWarning);
    EXPECT_EQ(record.stacklevel, 1);
  }
}

TEST_F(Handlers, ChannelwiseWithACallerNamedInputDoesNotSearchTheArguments) {
  auto& w = tensor("w", Shape{3}, {L({0, 1, 2})});
  auto& v = tensor("v", Shape{2, 3}, {none, L({9, 10, 11})});
  auto& named =
      call("torch.nn.functional.batch_norm", {}, {{"input", v}, {"weight", w}}, Shape{2, 3});
  _channelwise_node_handler(state, named, &v);
  EXPECT_EQ(text(named), "[None, [0, 1, 2]]");
  EXPECT_EQ(text(v), "[None, [0, 1, 2]]");
}

}  // namespace
}  // namespace zavo::pruning::engine::node_handlers::handler_test
