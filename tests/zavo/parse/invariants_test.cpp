// The state's self-check over seeded random graphs, under each rule set: strict and lenient
// parses with the check after every node, with and without calls that make handlers raise, and
// with the operands of every two-tensor call swapped. ZAVO_RANDOM_GRAPHS=N runs N seeds instead
// of the default.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "support/random_graph.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/layer_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/reduction_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/registry.hpp"
#include "zavo/report/report.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::utils::StateInvariantError;
using tensor_trace::intern_operation;
using tensor_trace::Shape;
using zavo::testing::random_graph;

std::uint64_t seeds() {
  const char* n = std::getenv("ZAVO_RANDOM_GRAPHS");
  return n ? std::stoull(n) : 200;
}

// The parse with the self-check on; a broken invariant fails the test with the seed.
ParseResult checked_parse(const tensor_trace::Graph& graph, bool lenient,
                          RuleSet rules = RuleSet::Core) {
  try {
    return parse_graph(graph, {.rules = rules, .lenient = lenient, .check_invariants = true});
  } catch (const StateInvariantError& e) {
    ADD_FAILURE() << graph.model << (lenient ? " lenient: " : " strict: ") << e.what();
    return {};
  }
}

TEST(StateInvariants, HoldAfterEveryNodeOfRandomGraphs) {
  for (std::uint64_t seed = 0; seed < seeds(); ++seed) {
    for (auto [bad_calls, rules] : {std::pair{false, RuleSet::Core},
                                    {true, RuleSet::Core},
                                    {false, RuleSet::Extended},
                                    {true, RuleSet::Extended}}) {
      // Every other seed under the extended rules: the sanitised build's time stays near what
      // it was with the catalogue's rules alone.
      if (rules == RuleSet::Extended && seed % 2 == 1)
        continue;
      const tensor_trace::Graph graph = random_graph(seed, {.bad_calls = bad_calls});
      const ParseResult strict = checked_parse(graph, false, rules);
      const ParseResult lenient = checked_parse(graph, true, rules);
      ASSERT_FALSE(lenient.error) << graph.model << ": a lenient parse stopped";
      if (!strict.error) {
        EXPECT_EQ(report_json(build_report(graph, strict)),
                  report_json(build_report(graph, lenient)))
            << graph.model;
      } else {
        ASSERT_FALSE(lenient.recovered_errors.empty()) << graph.model;
        const NodeError& first = lenient.recovered_errors.front();
        EXPECT_EQ(first.node, strict.error->node) << graph.model;
        EXPECT_EQ(first.message, strict.error->message) << graph.model;
      }
      // The graph with the operands of every two-tensor call swapped (other labels may survive a
      // tie) parses as cleanly.
      const ParseResult swapped = checked_parse(
          random_graph(seed, {.bad_calls = bad_calls, .swap_operands = true}), true, rules);
      EXPECT_FALSE(swapped.error) << graph.model << " swapped";
    }
  }
}

// The generator reaches every handler of each rule set's registry, the default handler and the
// handler of attribute reads. Some handlers serve two of the many element-wise operations only
// (interpolation), hence the many seeds; each graph is built once for both rule sets, not parsed.
TEST(StateInvariants, RandomGraphsReachEveryHandler) {
  using namespace pruning::engine::node_handlers;
  constexpr RuleSet kRules[] = {RuleSet::Core, RuleSet::Extended};
  std::set<NodeHandler> reached[std::size(kRules)];
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    const tensor_trace::Graph graph = random_graph(seed);
    for (const auto& node : graph.nodes()) {
      if (const auto* call = node->as_op_node()) {
        for (std::size_t r = 0; r < std::size(kRules); ++r)
          reached[r].insert(get_node_handler(*call, kRules[r]));
      }
    }
  }
  for (std::size_t r = 0; r < std::size(kRules); ++r) {
    std::set<NodeHandler> expected{static_cast<NodeHandler>(_default_node_handler)};
    for (const auto& [operation, handler] : PRUNING_NODE_HANDLER_REGISTRY())
      expected.insert(handler);
    if (kRules[r] == RuleSet::Extended) {
      // The operations the extended table takes over no longer reach the catalogue's handler.
      for (NodeHandler replaced :
           {&_conv_node_handler, &_linear_node_handler, &_flatten_node_handler, &_cat_node_handler,
            static_cast<NodeHandler>(&_unary_reduce_handler),
            static_cast<NodeHandler>(&_channelwise_node_handler)}) {
        expected.erase(replaced);
      }
      for (const auto& [operation, handler] : EXTENDED_NODE_HANDLER_REGISTRY())
        expected.insert(handler);
    }
    EXPECT_EQ(reached[r], expected) << rule_set_name(kRules[r]);
  }
}

// A concatenation builds the joined dimension's list before it ties the later dimensions, and a
// tie can retire a label of that list: here w's dimension-0 labels 4 to 7 reach c through a and
// are folded into z's 0 to 3 when c's dimension 1 ties a (w's dimension 1, already z's labels)
// to b (w's dimension 0, through the linear layer). c records the retired labels, with no
// prunability entry and apart from the class they were tied to, and a later tie of them raises
// on a valid graph. The binary handler does the same when it ties two dimensions.
TEST(StateInvariants, AConcatenationRecordsLabelsThatItsOwnTieRetired) {
  tensor_trace::Graph g;
  const auto& z = g.add_parameter("z", Shape{4});
  const auto& w = g.add_parameter("w", Shape{4, 4});
  const auto& x = g.add_input("x", Shape{4, 4});
  const auto& a = g.add_call("a", intern_operation("torch.add"), {w, z}, {}, Shape{4, 4});
  const auto& b =
      g.add_call("b", intern_operation("torch.nn.functional.linear"), {x, w}, {}, Shape{4, 4});
  const auto& c =
      g.add_call("c", intern_operation("torch.cat"),
                 {tensor_trace::Value(tensor_trace::Sequence{a, b}), 0}, {}, Shape{8, 4});
  const ParseResult first = checked_parse(g, false);
  EXPECT_EQ(labels_text(get_prune_labels(first.state, c)),
            "[[4, 5, 6, 7, 12, 13, 14, 15], [0, 1, 2, 3]]");
  EXPECT_EQ(first.state.check_invariants(), 4u);

  const auto& p = g.add_parameter("p", Shape{8, 1});
  g.add_call("d", intern_operation("torch.add"), {c, p}, {}, Shape{8, 4});
  const ParseResult second = checked_parse(g, false);
  ASSERT_TRUE(second.error);
  EXPECT_EQ(second.error->message, "LookupError: label 4 has no entry in is_prunable");
}

}  // namespace
}  // namespace zavo::graph
