// zavo-prune: which channels of a traced model can be pruned together, and why others cannot.
//
//   zavo-prune analyze GRAPH [-o REPORT.json] [--lenient] [--safe] [--log-level LEVEL]
//   zavo-prune explain GRAPH PARAMETER [--dim D] [--index I] [--lenient] [--safe]
//
// Exit status: 0 when the graph was parsed, 1 when the parse stopped on a handler error (the
// report is still written, with its error), 2 for a rejected graph file, a usage error, an
// unknown parameter or a report that cannot be written (then nothing is written).

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "zavo/graph/atomic_file.hpp"
#include "zavo/graph/explain.hpp"
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
  bool safe = false;
  zavo::logging::Level log_level = zavo::logging::Level::Warning;
};

struct ExplainOptions {
  std::string graph;
  std::string parameter;
  std::optional<std::int64_t> dim;
  std::optional<std::int64_t> index;
  bool lenient = false;
  bool safe = false;
};

int analyze(const AnalyzeOptions& options) {
  zavo::logging::get_logger("zavo.pruning.engine.node_handlers").set_level(options.log_level);

  zavo::tensor_trace::Graph graph;
  try {
    graph = zavo::graph::read_graph_file(options.graph);
  } catch (const zavo::graph::GraphFileError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what() << "\n";
    return kRejected;
  }

  auto result = zavo::graph::parse_graph(graph, {.lenient = options.lenient, .safe = options.safe});
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

int explain(const ExplainOptions& options) {
  zavo::tensor_trace::Graph graph;
  try {
    graph = zavo::graph::read_graph_file(options.graph);
  } catch (const zavo::graph::GraphFileError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what() << "\n";
    return kRejected;
  }
  const zavo::tensor_trace::ZavoNode* parameter = nullptr;
  for (const auto& node : graph.nodes()) {
    if (node->name == options.parameter)
      parameter = node.get();
  }
  if (!parameter || parameter->kind != zavo::tensor_trace::NodeKind::Parameter) {
    std::cerr << "zavo-prune: " << options.graph << ": no parameter named " << options.parameter
              << "\n";
    return kRejected;
  }
  auto result = zavo::graph::parse_graph(graph, {.lenient = options.lenient, .safe = options.safe});
  try {
    std::cout << zavo::graph::explain_text(graph, result, *parameter, options.dim, options.index);
  } catch (const std::out_of_range& e) {
    std::cerr << "zavo-prune: " << e.what() << "\n";
    return kRejected;
  }
  if (result.error) {
    std::cout << "the parse stopped at node " << result.error->node << " ("
              << graph.node(static_cast<std::size_t>(result.error->node)).name
              << ") on an error; `analyze` shows it\n";
  }
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
  analyze_command->add_flag("--safe", options.safe,
                            "also keep the labels that a node drops (listed under dropped)");
  std::string log_level = "warning";
  analyze_command
      ->add_option("--log-level", log_level,
                   "level of the engine's log on standard error (debug shows the handlers' lines)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error"}));

  ExplainOptions explain_options;
  auto* explain_command = app.add_subcommand(
      "explain", "Show why channels of one parameter are kept, or that they are prunable");
  explain_command
      ->add_option("GRAPH", explain_options.graph, "graph file (JSON, format zavo.graph)")
      ->required();
  explain_command->add_option("PARAMETER", explain_options.parameter, "the parameter's name")
      ->required();
  auto* dim_option =
      explain_command->add_option("--dim", explain_options.dim, "only this dimension");
  explain_command->add_option("--index", explain_options.index, "only this channel of --dim")
      ->needs(dim_option);
  explain_command->add_flag("--lenient", explain_options.lenient,
                            "on a handler error, report it, use the default handler and go on");
  explain_command->add_flag("--safe", explain_options.safe,
                            "also keep the labels that a node drops");

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
  if (explain_command->parsed())
    return explain(explain_options);
  return analyze(options);
}
