// zavo-prune: which channels of a traced model can be pruned together, and why others cannot.
//
//   zavo-prune analyze GRAPH [-o REPORT.json] [--lenient] [--log-level LEVEL]
//
// Exit status: 0 when the graph was parsed, 1 when the parse stopped on a handler error (the
// report is still written, with its error), 2 for a rejected graph file, a usage error or a
// report that cannot be written (then nothing is written).

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <map>
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
  bool write_report = false;
  bool lenient = false;
  zavo::logging::Level log_level = zavo::logging::Level::Warning;
};

int analyze(const AnalyzeOptions& options) {
  zavo::logging::get_logger("zavo.pruning.engine.node_handlers").set_level(options.log_level);

  // The report's place is checked before the graph is read, so that a long parse does not end
  // in a refusal, and so that the report can never replace the graph it describes.
  if (options.write_report) {
    std::error_code ec;
    if (std::filesystem::equivalent(options.graph, options.output, ec)) {
      std::cerr << "zavo-prune: cannot write the report to " << options.output
                << ": it is the graph file " << options.graph << " itself; name another file\n";
      return kRejected;
    }
    try {
      zavo::graph::check_file_path(options.output);
    } catch (const zavo::graph::FileWriteError& e) {
      std::cerr << "zavo-prune: " << e.what() << "\n";
      return kRejected;
    }
  }

  zavo::tensor_trace::Graph graph;
  try {
    graph = zavo::graph::read_graph_file(options.graph);
  } catch (const zavo::graph::GraphFileError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what() << "\n";
    return kRejected;
  }

  auto result = zavo::graph::parse_graph(graph, {.lenient = options.lenient});
  auto report = zavo::graph::build_report(graph, result);
  if (options.write_report) {
    try {
      zavo::graph::write_file_atomically(options.output, zavo::graph::report_json(report));
    } catch (const zavo::graph::FileWriteError& e) {
      std::cerr << "zavo-prune: " << e.what() << "\n";
      return kRejected;
    }
  }
  std::cout << zavo::graph::summary_text(report);
  if (options.write_report)
    std::cout << "\nreport written to " << options.output << "\n";
  return result.error ? kStopped : kParsed;
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
  options.write_report = analyze_command->count("--output") > 0;
  return analyze(options);
}
