// A node listed many times (as an output, as an argument) costs what it costs once: each graph
// with many repeats gives the very report of the same graph with one or two. The repeats are
// many and the tensors wide, so that work per repeat would make these tests crawl.

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/report/report.hpp"

namespace zavo::graph {
namespace {

using testing::Json;

constexpr int kChannels = 4096;
constexpr int kRepeats = 20000;
const std::string kWidth = std::to_string(kChannels);

// `item` `count` times, separated by commas.
std::string repeated(const std::string& item, int count) {
  std::string out = item;
  for (int i = 1; i < count; ++i)
    out += ", " + item;
  return out;
}

// p (kChannels); q (1, kChannels); then `calls`, the first with id 2.
std::string graph(const std::string& calls, const std::string& outputs) {
  return R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
    {"id": 0, "kind": "parameter", "name": "p", "shape": [)" +
         kWidth + R"(]},
    {"id": 1, "kind": "parameter", "name": "q", "shape": [1, )" +
         kWidth + "]}" + calls + R"(], "outputs": [)" + outputs + "]}";
}

std::string call(const std::string& op, const std::string& args, const std::string& kwargs = "") {
  return R"(, {"id": 2, "kind": "call", "name": "c", "op": ")" + op + R"(", "args": [)" + args +
         R"(], "kwargs": {)" + kwargs + R"(}, "shape": null})";
}

std::string report(const std::string& text) {
  tensor_trace::Graph g = read_graph_text(text);
  ParseResult result = parse_graph(g);
  EXPECT_FALSE(result.error) << result.error->message;
  return report_json(build_report(g, result), ReportVersion::V1);
}

TEST(Repeats, GiveTheReportOfOneOccurrence) {
  const std::string p = R"({"node": 0})";
  const std::string q = R"({"node": 1})";
  auto bn = [&](int weights) {
    return call("torch.nn.functional.batch_norm", q + ", " + repeated(p, weights));
  };
  struct Case {
    const char* name;
    std::string many;
    std::string few;
  };
  for (const Case& c : {
           Case{"outputs", graph("", repeated("0", kRepeats)), graph("", "0")},
           Case{"arguments of an operation without a handler",
                graph(call("torch.unknown",
                           repeated(p, kRepeats) + ", [" + repeated(q, kRepeats) + "]",
                           R"("k": [)" + repeated(p, kRepeats) + "]"),
                      "2"),
                graph(call("torch.unknown", p + ", [" + q + "]", R"("k": [)" + p + "]"), "2")},
           Case{"batch norm parameters", graph(bn(kRepeats), "2"), graph(bn(2), "2")},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(report(c.many), report(c.few));
  }
}

TEST(Repeats, OfAConcatenatedTensorCostTheOutputsChannels) {
  // Joined along dimension 0: every repeat adds one fresh position there; the labelled
  // dimension 1 is tied once.
  Json r = Json::parse(
      report(graph(call("torch.cat", "[" + repeated(R"({"node": 1})", kRepeats) + "], 0"), "")));
  const Json& q = r["nodes"][1]["labels"];
  const Json& c = r["nodes"][2]["labels"];
  EXPECT_EQ(c[1], q[1]);
  EXPECT_EQ(c[0].size(), static_cast<std::size_t>(kRepeats));
  std::size_t prunable = 0;  // p's and q's labels, untouched by the concatenation
  for (const Json& entry : r["is_prunable"]) {
    if (entry[1].get<bool>())
      ++prunable;
  }
  EXPECT_EQ(prunable, std::size_t{2} * std::size_t{kChannels});
}

}  // namespace
}  // namespace zavo::graph
