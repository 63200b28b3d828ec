#include <gtest/gtest.h>

#include "test_support.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"
#include "zavo/graph/report.hpp"
#include "zavo/platform/warnings.hpp"

namespace zavo::graph {
namespace {

using testing::Json;
using testing::report_of_text;

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

TEST(Parse, StopsAtTheFirstHandlerErrorUnlessLenient) {
  // A batch norm whose weight has two dimensions is not supported; the relu after it keeps the
  // parse going only in a lenient run.
  std::string text = small_graph(R"(,
    {"id": 5, "kind": "parameter", "name": "feat", "shape": [1, 4, 1, 1]},
    {"id": 6, "kind": "parameter", "name": "bn.weight", "shape": [4, 2]},
    {"id": 7, "kind": "call", "name": "bn", "op": "torch.nn.functional.batch_norm",
     "args": [{"node": 5}, null, null, {"node": 6}], "kwargs": {}, "shape": [1, 4, 1, 1]},
    {"id": 8, "kind": "call", "name": "after", "op": "torch.relu", "args": [{"node": 7}],
     "kwargs": {}, "shape": [1, 4, 1, 1]})",
                                 "[4]");
  Json strict = report_of_text(text);
  EXPECT_EQ(strict["error"].dump(),
            R"({"node":7,"kind":"unsupported_graph","message":)"
            R"("One of the batch norm parameters has more than one dimension"})");
  EXPECT_EQ(strict["recovered_errors"], Json::array());
  EXPECT_EQ(strict["nodes"].back()["id"], 6) << "nothing is recorded from the failing node on";
  EXPECT_TRUE(strict["is_prunable"][7][1].get<bool>())
      << "a stopped parse never reaches the output marking";
  EXPECT_FALSE(strict["summary"]["completed"].get<bool>());

  Json lenient = report_of_text(text, {.lenient = true});
  EXPECT_EQ(lenient["error"], nullptr);
  EXPECT_EQ(lenient["recovered_errors"], Json::array({strict["error"]}));
  EXPECT_EQ(lenient["nodes"][7]["labels"].dump(), "[null,null,null,null]");
  EXPECT_EQ(lenient["nodes"][8]["labels"].dump(), "[null,null,null,null]");
  EXPECT_FALSE(testing::Classes(lenient).prunable({"bn.weight", 0, 0}))
      << "the default handler takes the failing node's inputs out of pruning";
  EXPECT_TRUE(lenient["summary"]["completed"].get<bool>());
  EXPECT_FALSE(lenient["is_prunable"][7][1].get<bool>()) << "outputs are marked";
}

TEST(Parse, ClassifiesErrorsOutsideTheThreeKindsAsOther) {
  // A conv2d whose groups argument is text: the handler's integer comparison fails.
  Json error = report_of_text(graph_text(R"(
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 4, 2, 2]},
    {"id": 1, "kind": "parameter", "name": "w", "shape": [4, 4, 1, 1]},
    {"id": 2, "kind": "call", "name": "conv", "op": "torch.nn.functional.conv2d",
     "args": [{"node": 0}, {"node": 1}, null, 1, 0, 1, "four"], "kwargs": {},
     "shape": [1, 4, 2, 2]})"))["error"];
  EXPECT_EQ(error["node"], 2);
  EXPECT_EQ(error["kind"], "other");
  EXPECT_TRUE(error["message"].get<std::string>().starts_with("TypeError: ")) << error.dump();
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

TEST(Report, GroupsEverySliceOfAClassAndCountsPrunableElements) {
  // a (3, 2) plus b (2,) broadcast along a's rows, then times c (3, 1) broadcast along its
  // columns.
  Json report = report_of_text(graph_text(R"(
    {"id": 0, "kind": "parameter", "name": "a", "shape": [3, 2]},
    {"id": 1, "kind": "parameter", "name": "b", "shape": [2]},
    {"id": 2, "kind": "call", "name": "sum", "op": "torch.add", "args": [{"node": 0}, {"node": 1}],
     "kwargs": {}, "shape": [3, 2]},
    {"id": 3, "kind": "parameter", "name": "c", "shape": [3, 1]},
    {"id": 4, "kind": "call", "name": "prod", "op": "torch.mul", "args": [{"node": 2}, {"node": 3}],
     "kwargs": {}, "shape": [3, 2]})"));
  // b's labels (3, 4) fold into a's dimension-1 labels (0, 1); c's dimension 1 has one channel,
  // so c carries labels only in dimension 0, which ties to a's dimension 0.
  EXPECT_EQ(report["groups"].dump(),
            R"([{"label":0,"prunable":true,"channels":[{"node":"a","dim":0,"index":0},)"
            R"({"node":"c","dim":0,"index":0}]},)"
            R"({"label":1,"prunable":true,"channels":[{"node":"a","dim":0,"index":1},)"
            R"({"node":"c","dim":0,"index":1}]},)"
            R"({"label":2,"prunable":true,"channels":[{"node":"a","dim":0,"index":2},)"
            R"({"node":"c","dim":0,"index":2}]},)"
            R"({"label":3,"prunable":true,"channels":[{"node":"a","dim":1,"index":0},)"
            R"({"node":"b","dim":0,"index":0}]},)"
            R"({"label":4,"prunable":true,"channels":[{"node":"a","dim":1,"index":1},)"
            R"({"node":"b","dim":0,"index":1}]}])");
  EXPECT_EQ(report["summary"]["channel_classes"], 5);
  EXPECT_EQ(report["summary"]["prunable_classes"], 5);
  EXPECT_EQ(report["summary"]["parameter_elements"], 6 + 2 + 3);
  EXPECT_EQ(report["summary"]["prunable_parameter_elements"], 6 + 2 + 3);
}

TEST(Report, CountsOnlyElementsThatAPrunableClassRemoves) {
  // Two linear layers: w's input features meet the model input and v's output features are the
  // model output, so neither is prunable; the hidden features (w's rows, v's columns) are.
  Json summary = report_of_text(graph_text(R"(
    {"id": 0, "kind": "input", "name": "x", "shape": [2, 3]},
    {"id": 1, "kind": "parameter", "name": "w", "shape": [4, 3]},
    {"id": 2, "kind": "parameter", "name": "v", "shape": [5, 4]},
    {"id": 3, "kind": "call", "name": "fc1", "op": "torch.nn.functional.linear",
     "args": [{"node": 0}, {"node": 1}], "kwargs": {}, "shape": [2, 4]},
    {"id": 4, "kind": "call", "name": "fc2", "op": "torch.nn.functional.linear",
     "args": [{"node": 3}, {"node": 2}], "kwargs": {}, "shape": [2, 5]})",
                                           "[4]"))["summary"];
  EXPECT_EQ(summary["parameter_elements"], 12 + 20);
  // Every element of w lies in a prunable row, every element of v in a prunable column.
  EXPECT_EQ(summary["prunable_parameter_elements"], 12 + 20);
  EXPECT_EQ(summary["prunable_classes"], 4);
  EXPECT_EQ(summary["channel_classes"], 4 + 3 + 5);
  EXPECT_DOUBLE_EQ(summary["prunable_share"].get<double>(), 1.0);
}

TEST(Report, IsTheSameBytesEveryTimeWithEveryEntryOnALineOfItsOwn) {
  tensor_trace::Graph graph = read_graph_text(small_graph("", "[4]"));
  std::string text = report_json(build_report(graph, parse_graph(graph)));
  EXPECT_EQ(text, report_json(build_report(graph, parse_graph(graph))));
  EXPECT_TRUE(
      text.starts_with("{\n  \"format\": \"zavo.report\",\n  \"version\": 1,\n  \"model\": "
                       "\"m\",\n  \"nodes\": [\n    {\"id\": 0, \"name\": \"x\""));
  EXPECT_NE(text.find("\n  \"warnings\": [],\n  \"error\": null,\n  \"recovered_errors\": [],\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n    [11, false]\n  ],\n"), std::string::npos);
}

}  // namespace
}  // namespace zavo::graph
