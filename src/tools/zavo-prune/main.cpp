// zavo-prune: which channels of a traced model can be pruned together, and why others cannot.
//
//   zavo-prune analyze GRAPH [-o REPORT.json] [--lenient] [--log-level LEVEL]
//   zavo-prune view GRAPH -o VIEW.html [--lenient]
//
// Exit status: 0 when the graph was parsed, 1 when the parse stopped on a handler error (the
// report or view is still written, with its error), 2 for a rejected graph file, a usage error
// or a file that cannot be written (then nothing is written).

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "zavo/graph/atomic_file.hpp"
#include "zavo/graph/graph_file.hpp"
#include "zavo/graph/parse.hpp"
#include "zavo/graph/report.hpp"
#include "zavo/graph/summary.hpp"
#include "zavo/graph/view.hpp"
#include "zavo/platform/logging.hpp"

namespace {

constexpr int kParsed = 0;
constexpr int kStopped = 1;
constexpr int kRejected = 2;

struct AnalyzeOptions {
  std::string graph;
  std::string output;
  bool lenient = false;
  zavo::logging::Level log_level = zavo::logging::Level::Warning;
};

// The graph file at `path`, or none after telling why it was rejected.
std::optional<zavo::tensor_trace::Graph> read_graph(const std::string& path) {
  try {
    return zavo::graph::read_graph_file(path);
  } catch (const zavo::graph::GraphFileError& e) {
    std::cerr << "zavo-prune: " << path << ": " << e.what() << "\n";
    return std::nullopt;
  }
}

int analyze(const AnalyzeOptions& options) {
  zavo::logging::get_logger("zavo.pruning.engine.node_handlers").set_level(options.log_level);

  std::optional<zavo::tensor_trace::Graph> read = read_graph(options.graph);
  if (!read)
    return kRejected;
  const zavo::tensor_trace::Graph& graph = *read;

  auto result = zavo::graph::parse_graph(graph, {.lenient = options.lenient});
  auto report = zavo::graph::build_report(graph, result);
  if (!options.output.empty()) {
    try {
      zavo::graph::write_file_atomically(options.output, zavo::graph::report_json(report));
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

struct ViewOptions {
  std::string graph;
  std::string output;
  bool lenient = false;
};

// The same analysis as `analyze`, written as a view page instead of a report.
int view(const ViewOptions& options) {
  std::optional<zavo::tensor_trace::Graph> graph = read_graph(options.graph);
  if (!graph)
    return kRejected;
  auto result = zavo::graph::parse_graph(*graph, {.lenient = options.lenient});
  auto report = zavo::graph::build_report(*graph, result);
  try {
    zavo::graph::write_file_atomically(options.output, zavo::graph::view_html(report));
  } catch (const zavo::graph::FileWriteError& e) {
    std::cerr << "zavo-prune: " << e.what() << "\n";
    return kRejected;
  }
  std::cout << "view written to " << options.output << "\n";
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

  ViewOptions view_options;
  auto* view_command = app.add_subcommand(
      "view", "Parse a graph file and write a page that draws its prunable channels");
  view_command->add_option("GRAPH", view_options.graph, "graph file (JSON, format zavo.graph)")
      ->required();
  view_command
      ->add_option("-o,--output", view_options.output,
                   "write the page (self-contained HTML) to this file, atomically")
      ->required();
  view_command->add_flag("--lenient", view_options.lenient,
                         "on a handler error, report it, use the default handler and go on");

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
  if (view_command->parsed())
    return view(view_options);
  options.log_level = levels.at(log_level);
  return analyze(options);
}
