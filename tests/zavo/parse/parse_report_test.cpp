// The parse and the report on small graphs. Whole reports (grouping, counts, layout, the stop at
// a handler error and the lenient recovery, the error kinds) are pinned by the goldens; these
// cases hold zero-size and unknown shapes, the output marking, constants, the warning sink, and
// the summary of a large graph handed on in pieces.

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/platform/warnings.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"

namespace zavo::graph {
namespace {

using testing::Json;
using testing::report_of_file;
using testing::report_of_text;
using testing::summary_of_file;
using testing::TempDir;
using testing::write_text;

std::string graph_text(const std::string& nodes, const std::string& outputs = "[]") {
  return R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [)" + nodes +
         R"(], "outputs": )" + outputs + "}";
}

// x (1, 4, 2, 2); w (4, 1, 3, 0); s (5); n (null); relu(s) -> r; then `extra` nodes.
std::string small_graph(const std::string& extra = "", const std::string& outputs = "[]") {
  return graph_text(R"(
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 4, 2, 2]},
    {"id": 1, "kind": "parameter", "name": "w", "shape": [4, 1, 3, 0]},
    {"id": 2, "kind": "parameter", "name": "s", "shape": [5]},
    {"id": 3, "kind": "parameter", "name": "n", "shape": null},
    {"id": 4, "kind": "call", "name": "r", "op": "torch.relu", "args": [{"node": 2}],
     "kwargs": {}, "shape": [5]})" +
                        extra,
                    outputs);
}

TEST(Parse, LabelsParametersInFileOrderAndTakesTheOutputsOutOfPruning) {
  Json report = report_of_text(small_graph());
  EXPECT_EQ(report["nodes"].dump(), R"([{"id":0,"name":"x","labels":[null,null,null,null]},)"
                                    R"({"id":1,"name":"w","labels":[[0,1,2,3],null,[4,5,6],null]},)"
                                    R"({"id":2,"name":"s","labels":[[7,8,9,10,11]]},)"
                                    R"({"id":3,"name":"n","labels":[]},)"
                                    R"({"id":4,"name":"r","labels":[[7,8,9,10,11]]}])");
  for (const Json& entry : report["is_prunable"])
    EXPECT_TRUE(entry[1].get<bool>()) << entry.dump();
  Json marked = report_of_text(small_graph("", "[4]"));
  for (const Json& entry : marked["is_prunable"])
    EXPECT_EQ(entry[1].get<bool>(), entry[0].get<int>() < 7) << entry.dump();
}

// A concatenation's output holds the labels of the tensors it joins, and the dropped-label guard
// passes over it; a tensor it does not join (written to through `out`) or a dimension past the
// output's is still looked at, and its labels are dropped there.
TEST(Parse, AConcatenationDropsWhatItDoesNotJoin) {
  Json report = report_of_text(graph_text(R"(
    {"id": 0, "kind": "parameter", "name": "a", "shape": [3]},
    {"id": 1, "kind": "parameter", "name": "b", "shape": [3]},
    {"id": 2, "kind": "parameter", "name": "c", "shape": [3]},
    {"id": 3, "kind": "parameter", "name": "d", "shape": [3, 2]},
    {"id": 4, "kind": "call", "name": "joined", "op": "torch.cat",
     "args": [[{"node": 0}, {"node": 1}], 0], "kwargs": {"out": {"node": 2}}, "shape": [6]},
    {"id": 5, "kind": "call", "name": "ragged", "op": "torch.cat",
     "args": [[{"node": 0}, {"node": 3}], 0], "kwargs": {}, "shape": [6]},
    {"id": 6, "kind": "call", "name": "kept", "op": "torch.cat",
     "args": [[{"node": 0}, {"node": 1}], 0], "kwargs": {}, "shape": [6]})"));
  EXPECT_EQ(report["dropped"].dump(), R"([{"node":"joined","labels":[6,7,8],"parameters":["c"]},)"
                                      R"({"node":"ragged","labels":[12,13],"parameters":["d"]}])");
}

// An addition's output holds both operands' labels, so the guard passes over it; a tensor it
// writes into (`out`) is not held, and its labels are dropped there.
TEST(Parse, AnAdditionDropsOnlyWhatItWritesInto) {
  Json report = report_of_text(graph_text(R"(
    {"id": 0, "kind": "parameter", "name": "a", "shape": [3]},
    {"id": 1, "kind": "parameter", "name": "b", "shape": [3]},
    {"id": 2, "kind": "parameter", "name": "c", "shape": [3]},
    {"id": 3, "kind": "call", "name": "into", "op": "torch.add",
     "args": [{"node": 0}, {"node": 1}], "kwargs": {"out": {"node": 2}}, "shape": [3]},
    {"id": 4, "kind": "call", "name": "kept", "op": "torch.add",
     "args": [{"node": 0}, {"node": 1}], "kwargs": {}, "shape": [3]})"));
  EXPECT_EQ(report["dropped"].dump(), R"([{"node":"into","labels":[6,7,8],"parameters":["c"]}])");
}

// Tensors of more dimensions than the handlers hold in place are labelled, read, tied and
// recorded whole.
TEST(Parse, LabelsTensorsOfManyDimensionsWhole) {
  Json report = report_of_text(graph_text(R"(
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 1, 1, 1, 1, 1, 1, 2]},
    {"id": 1, "kind": "parameter", "name": "p", "shape": [2, 1, 1, 1, 1, 1, 3, 2]},
    {"id": 2, "kind": "parameter", "name": "q", "shape": [2, 1, 1, 1, 1, 1, 3, 2]},
    {"id": 3, "kind": "call", "name": "sum", "op": "torch.add", "args": [{"node": 1}, {"node": 2}],
     "kwargs": {}, "shape": [2, 1, 1, 1, 1, 1, 3, 2]},
    {"id": 4, "kind": "call", "name": "scaled", "op": "torch.mul",
     "args": [{"node": 3}, {"node": 0}], "kwargs": {}, "shape": [2, 1, 1, 1, 1, 1, 3, 2]})"));
  EXPECT_EQ(report["nodes"].dump(),
            R"([{"id":0,"name":"x","labels":[null,null,null,null,null,null,null,null]},)"
            R"({"id":1,"name":"p","labels":[[0,1],null,null,null,null,null,[2,3,4],[5,6]]},)"
            R"({"id":2,"name":"q","labels":[[0,1],null,null,null,null,null,[2,3,4],[5,6]]},)"
            R"({"id":3,"name":"sum","labels":[[0,1],null,null,null,null,null,[2,3,4],[5,6]]},)"
            R"({"id":4,"name":"scaled","labels":[[0,1],null,null,null,null,null,[2,3,4],null]}])");
}

TEST(Parse, ReadsAConstantLikeAnInputAndCountsConstantsOnlyWhenThereAreAny) {
  TempDir dir;
  const std::string extra = R"(,
    {"id": 5, "kind": "constant", "name": "anchors[0]", "shape": [5, 4]},
    {"id": 6, "kind": "call", "name": "use", "op": "torch.Tensor.to", "args": [{"node": 5}],
     "kwargs": {}, "shape": [5, 4]})";
  write_text(dir / "with.json", small_graph(extra));
  write_text(dir / "without.json", small_graph());
  Json with = report_of_file(dir / "with.json");
  EXPECT_EQ(with["nodes"][5].dump(), R"({"id":5,"name":"anchors[0]","labels":[null,null]})");
  EXPECT_EQ(with["nodes"][6].dump(), R"({"id":6,"name":"use","labels":[null,null]})");
  EXPECT_EQ(with["summary"]["constants"], 1);
  EXPECT_FALSE(report_of_file(dir / "without.json")["summary"].contains("constants"));
  EXPECT_NE(summary_of_file(dir / "with.json")
                .find("nodes: 7 (1 input, 1 constant, 3 parameters, 2 calls)\n"),
            std::string::npos);
  EXPECT_NE(
      summary_of_file(dir / "without.json").find("nodes: 5 (1 input, 3 parameters, 1 call)\n"),
      std::string::npos);
}

TEST(Parse, AttributesWarningsToTheNodeBeingHandledAndRestoresTheSink) {
  warnings::ScopedRecorder outside;
  Json report = report_of_text(graph_text(R"(
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 4, 2, 2]},
    {"id": 1, "kind": "call", "name": "d1", "op": "torch.nn.functional.dropout",
     "args": [{"node": 0}], "kwargs": {}, "shape": [1, 4, 2, 2]},
    {"id": 2, "kind": "call", "name": "d2", "op": "torch.nn.functional.dropout",
     "args": [{"node": 1}], "kwargs": {"training": false}, "shape": [1, 4, 2, 2]},
    {"id": 3, "kind": "call", "name": "d3", "op": "torch.dropout",
     "args": [{"node": 2}, 0.5, true], "kwargs": {}, "shape": [1, 4, 2, 2]})",
                                          "[3]"));
  const std::string message =
      "For proper pruning of model with dropout, dropout should be in eval mode";
  EXPECT_EQ(report["warnings"].dump(), R"([{"node":1,"message":")" + message +
                                           R"("},{"node":3,"message":")" + message + R"("}])");
  EXPECT_TRUE(outside.records().empty());
  warnings::warn("after the parse");
  EXPECT_EQ(outside.messages(), std::vector<std::string>{"after the parse"});
}

TEST(Parse, TheSummaryOfALargeGraphIsHandedOnInPiecesAsItIsMade) {
  // 24,000 parameters make a table of about 1.6 MB.
  tensor_trace::Graph graph;
  graph.model = "m";
  for (int i = 0; i < 24000; ++i)
    graph.add_parameter("block" + std::to_string(i) + ".convolution.weight",
                        tensor_trace::Shape{64, 64, 3, 3});
  const ParseResult result = parse_graph(graph);
  const Report report = build_report(graph, result);
  std::vector<std::string> pieces;
  write_summary(report, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
  std::string whole;
  for (const std::string& piece : pieces) {
    EXPECT_LT(piece.size(), std::size_t{3} << 19) << "a piece holds much more than a megabyte";
    whole += piece;
  }
  EXPECT_GE(pieces.size(), 2u);
  EXPECT_GT(whole.size(), std::size_t{1} << 20);
  EXPECT_EQ(whole, summary_text(report));
  EXPECT_NE(whole.find("\nblock23999.convolution.weight  (64, 64, 3, 3)  "), std::string::npos);
}

}  // namespace
}  // namespace zavo::graph
