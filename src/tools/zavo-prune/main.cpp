// zavo-prune: which channels of a traced model can be pruned together, and why others cannot.
//
//   zavo-prune analyze GRAPH [-o REPORT.json] [--lenient] [--log-level LEVEL]
//
// Exit status: 0 when the graph was parsed, 1 when the parse stopped on a handler error (the
// report is still written, with its error), 2 for a rejected graph file, a usage error or a
// report that cannot be written (then nothing is written).

#include <CLI/CLI.hpp>

#include <cstdint>
#include <iostream>
#include <map>
#include <new>
#include <optional>
#include <string>

#include "zavo/graph/atomic_file.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"
#include "zavo/graph/report.hpp"
#include "zavo/graph/summary.hpp"
#include "zavo/platform/logging.hpp"

namespace {

constexpr int kParsed = 0;
constexpr int kStopped = 1;
constexpr int kRejected = 2;

struct AnalyzeOptions {
  std::string graph;
  std::string output;
  bool lenient = false;
  std::optional<std::int64_t> max_label_positions;
  zavo::logging::Level log_level = zavo::logging::Level::Warning;
};

// The graph and its analysis live until the process ends: the operating system takes back their
// memory at once, where freeing millions of small pieces one by one only costs time. Reachable
// from here, they are not leaks.
struct Analysis {
  zavo::tensor_trace::Graph graph;
  zavo::graph::ParseResult result;
  std::optional<zavo::graph::Report> report;
};
Analysis* kept_analysis = nullptr;

int analyze_graph(const AnalyzeOptions& options) {
  zavo::logging::get_logger("zavo.pruning.engine.node_handlers").set_level(options.log_level);

  kept_analysis = new Analysis;
  zavo::tensor_trace::Graph& graph = kept_analysis->graph;
  try {
    graph = zavo::graph::read_graph_file(options.graph);
  } catch (const zavo::graph::GraphFileError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what() << "\n";
    return kRejected;
  }

  auto& result = kept_analysis->result;
  try {
    result = zavo::graph::parse_graph(
        graph, {.lenient = options.lenient, .label_position_budget = options.max_label_positions});
  } catch (const zavo::graph::ParseLimitError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what()
              << " (--max-label-positions sets the budget)\n";
    return kRejected;
  }
  auto& report = kept_analysis->report.emplace(zavo::graph::build_report(graph, result));
  if (!options.output.empty()) {
    try {
      zavo::graph::write_file_atomically(options.output, [&report](const auto& write) {
        zavo::graph::write_report_json(report, write);
      });
    } catch (const zavo::graph::FileWriteError& e) {
      std::cerr << "zavo-prune: " << e.what() << "\n";
      return kRejected;
    }
  }
  std::cout << zavo::graph::summary_text(report);
  if (!options.output.empty())
    std::cout << "\nreport written to " << options.output << "\n";
  return result.error ? kStopped : kParsed;
}

// Out of memory anywhere is a clear failure, with nothing written: the report is written to a
// temporary file that is removed when writing fails.
int analyze(const AnalyzeOptions& options) {
  try {
    return analyze_graph(options);
  } catch (const std::bad_alloc&) {
    std::cerr << "zavo-prune: " << options.graph << ": out of memory\n";
    return kRejected;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Channel-pruning analysis of traced neural-network graphs", "zavo-prune"};
  app.set_version_flag("--version", std::string("zavo-prune ") + ZAVO_VERSION);
  app.require_subcommand(1);

  AnalyzeOptions options;
  auto* analyze_command = app.add_subcommand(
      "analyze", "Parse a graph file and show which channels can be pruned together");
  analyze_command->add_option("GRAPH", options.graph, "graph file (JSON, format zavo.graph)")
      ->required();
  analyze_command->add_option("-o,--output", options.output,
                              "write the report (JSON) to this file, atomically");
  analyze_command->add_flag("--lenient", options.lenient,
                            "on a handler error, report it, use the default handler and go on");
  analyze_command
      ->add_option("--max-label-positions", options.max_label_positions,
                   "the most label positions the parse may create (default: what fits in half of "
                   "this machine's memory)")
      ->check(CLI::PositiveNumber);
  std::string log_level = "warning";
  analyze_command
      ->add_option("--log-level", log_level,
                   "level of the engine's log on standard error (debug shows the handlers' lines)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error"}));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return status == 0 ? 0 : kRejected;
  }
  const std::map<std::string, zavo::logging::Level> levels = {
      {"debug", zavo::logging::Level::Debug},
      {"info", zavo::logging::Level::Info},
      {"warning", zavo::logging::Level::Warning},
      {"error", zavo::logging::Level::Error},
  };
  options.log_level = levels.at(log_level);
  return analyze(options);
}
