// Fuzz target over everything a graph file reaches: the reader, the strict and the lenient
// parse, the report and the summary. It stops the run (a crash, for the fuzzer) when
//  - anything other than the reader's own `GraphFileError` escapes the reader,
//  - the fast reader and the checking reader disagree (a graph, or a message),
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
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "support/report_versions.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"
#include "zavo/tensor_trace.hpp"

namespace {

using zavo::pruning::engine::node_handlers::RuleSet;
using zavo::tensor_trace::Graph;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "graph_fuzzer: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// The label positions one parse may create. A graph that asks for more stops with
// `ParseLimitError` before the memory is taken: its cost is the labels it asks for, by design,
// and a fuzzer should spend its time on many small graphs.
constexpr std::int64_t kPositionBudget = std::int64_t{1} << 16;

// The report in both versions, each valid JSON, the second holding exactly what the first does.
std::string report_of(const Graph& graph, RuleSet rules, bool lenient, bool& completed) {
  auto result = zavo::graph::parse_graph(
      graph, {.rules = rules, .lenient = lenient, .label_position_budget = kPositionBudget});
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

// The graph `text` holds, read by `reader`, or the reader's message.
std::string read_with(std::string_view text, zavo::graph::GraphReader reader,
                      std::optional<Graph>& graph) {
  try {
    graph = zavo::graph::read_graph_text(text, reader);
    return zavo::graph::graph_text(*graph);
  } catch (const zavo::graph::GraphFileError& e) {
    return std::string("rejected: ") + e.what();
  } catch (const std::exception& e) {
    fail(std::string("the reader let another error escape: ") + e.what());
  }
}

void check(std::string_view text) {
  std::optional<Graph> read, checked;
  const std::string fast = read_with(text, zavo::graph::GraphReader::Fast, read);
  if (fast != read_with(text, zavo::graph::GraphReader::Checking, checked))
    fail("the fast and the checking reader disagree on:\n" + std::string(text));
  if (!read)
    return;
  const Graph& graph = *read;
  for (RuleSet rules : {RuleSet::Core, RuleSet::Extended}) {
    try {
      bool strict_completed = false;
      bool lenient_completed = false;
      const std::string strict = report_of(graph, rules, /*lenient=*/false, strict_completed);
      const std::string lenient = report_of(graph, rules, /*lenient=*/true, lenient_completed);
      if (strict_completed && strict != lenient)
        fail("a completed strict parse and the lenient one differ:\n" + strict + "\n" + lenient);
    } catch (const zavo::graph::ParseLimitError&) {
      continue;  // past the budget
    } catch (const std::exception& e) {
      fail(std::string("an error escaped the parse, the report or the summary: ") + e.what());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
