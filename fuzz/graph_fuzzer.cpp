// Fuzz target over everything a graph file reaches: the reader, the strict and the lenient
// parse, the report and the summary. It stops the run (a crash, for the fuzzer) when
//  - anything other than the reader's own `GraphFileError` escapes the reader,
//  - anything escapes the parse, the report or the summary,
//  - a report is not valid JSON,
//  - a strict parse that completed gives another report than a lenient one (with nothing to
//    recover from, the two must be the same bytes).
// Built with libFuzzer (the `fuzz` preset), or with `replay.cpp` as a driver that runs saved
// inputs under ctest.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "report_versions.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"
#include "zavo/graph/report.hpp"
#include "zavo/graph/summary.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/tensor_trace.hpp"

namespace {

using zavo::tensor_trace::Graph;
using zavo::tensor_trace::NodeKind;
using zavo::tensor_trace::Value;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "graph_fuzzer: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// Whether the call's handler records labels drawn from its inputs; the default handlers record
// none.
bool records_labels(const zavo::tensor_trace::ZavoOpNode& call) {
  using namespace zavo::pruning::engine::node_handlers;
  const NodeHandler handler = get_node_handler(call);
  return handler != static_cast<NodeHandler>(_default_node_handler) &&
         handler != static_cast<NodeHandler>(_tensor_get_node_handler);
}

// A bound on the label positions the parse can record for the whole graph. A parameter has one
// position per index of each dimension larger than 1. A concatenation joins its inputs' labels,
// once per use, and gives fresh labels along the dimensions of an unlabelled one; every other
// handler records at most the labels of its distinct inputs. The bound is loose, but it is
// small exactly when the parse is cheap.
std::uint64_t label_position_bound(const Graph& graph) {
  std::vector<std::uint64_t> positions(graph.size(), 0);
  std::uint64_t total = 0;
  for (const auto& owned : graph.nodes()) {
    const auto& node = *owned;
    std::uint64_t own = 0;
    if (node.kind == NodeKind::Parameter && node.result_shape) {
      for (std::int64_t size : *node.result_shape)
        own = saturating_add(own, size > 1 ? static_cast<std::uint64_t>(size) : 0);
    } else if (const auto* call = node.as_op_node(); call && records_labels(*call)) {
      const bool joins = call->operation->qualified_name() == "torch.cat";
      std::unordered_set<const zavo::tensor_trace::ZavoNode*> counted;
      for (const auto* input : call->collect_all_input_nodes()) {
        if (!joins && !counted.insert(input).second)
          continue;
        own = saturating_add(own, positions[static_cast<std::size_t>(input->id)]);
        if (joins && input->result_shape) {
          for (std::int64_t size : *input->result_shape)
            own = saturating_add(own, static_cast<std::uint64_t>(size));
        }
      }
    }
    positions[static_cast<std::size_t>(node.id)] = own;
    total = saturating_add(total, own);
  }
  return total;
}

// Graphs that may record more positions than this are skipped: their cost is the labels they
// create, by design, and a fuzzer should spend its time on many small graphs.
constexpr std::uint64_t kPositionBudget = std::uint64_t{1} << 16;

// The report in both versions, each valid JSON, the second holding exactly what the first does.
std::string report_of(const Graph& graph, bool lenient, bool& completed) {
  auto result = zavo::graph::parse_graph(graph, {.lenient = lenient});
  completed = !result.error;
  auto report = zavo::graph::build_report(graph, result);
  const std::string mode = lenient ? "lenient" : "strict";
  std::string text = zavo::graph::report_json(report, zavo::graph::ReportVersion::V1);
  const std::string text_2 = zavo::graph::report_json(report, zavo::graph::ReportVersion::V2);
  for (const std::string* version : {&std::as_const(text), &text_2}) {
    if (!nlohmann::json::accept(*version))
      fail(mode + " report is not valid JSON:\n" + *version);
  }
  try {
    if (zavo::testing::version_1_layout(nlohmann::json::parse(text_2)) !=
        nlohmann::json::parse(text))
      fail(mode + " report: version 2 holds something else than version 1:\n" + text_2);
  } catch (const std::runtime_error& e) {
    fail(mode + " report: " + e.what() + ":\n" + text_2);
  }
  if (zavo::graph::summary_text(report).empty())
    fail("empty summary");
  return text + text_2;
}

void check(std::string_view text) {
  Graph graph;
  try {
    graph = zavo::graph::read_graph_text(text);
  } catch (const zavo::graph::GraphFileError&) {
    return;
  } catch (const std::exception& e) {
    fail(std::string("the reader let another error escape: ") + e.what());
  }
  if (label_position_bound(graph) > kPositionBudget)
    return;
  try {
    bool strict_completed = false;
    bool lenient_completed = false;
    const std::string strict = report_of(graph, /*lenient=*/false, strict_completed);
    const std::string lenient = report_of(graph, /*lenient=*/true, lenient_completed);
    if (strict_completed && strict != lenient)
      fail("a completed strict parse and the lenient one differ:\n" + strict + "\n" + lenient);
  } catch (const std::exception& e) {
    fail(std::string("an error escaped the parse, the report or the summary: ") + e.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
