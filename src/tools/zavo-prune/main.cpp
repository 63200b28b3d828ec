// zavo-prune: which channels of a traced model can be pruned together, and why others cannot.
//
//   zavo-prune analyze GRAPH [-o REPORT.json [--report-version 1|2]] [--rules core|extended]
//                      [--lenient] [--safe] [--log-level LEVEL]
//   zavo-prune explain GRAPH PARAMETER [--dim D] [--index I] [--rules R] [--lenient] [--safe]
//   zavo-prune view GRAPH -o VIEW.html [--rules R] [--lenient]
//
// Exit status: 0 when the graph was parsed, 1 when the parse stopped on a handler error (the
// report or view is still written, with its error), 2 for a rejected graph file, a usage error,
// an unknown parameter, a run past its label budget or memory, or a file that cannot be written
// (then nothing is written).

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "zavo/graph_file/atomic_file.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/platform/large_memory.hpp"
#include "zavo/platform/logging.hpp"
#include "zavo/report/explain.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"
#include "zavo/view/view.hpp"

namespace {

constexpr int kParsed = 0;
constexpr int kStopped = 1;
constexpr int kRejected = 2;

// The graph and its analysis live until the process ends: the operating system takes back their
// memory at once, where freeing millions of small pieces one by one only costs time. Reachable
// from here, they are not leaks.
struct Analysis {
  zavo::tensor_trace::Graph graph;
  zavo::graph::ParseResult result;
  std::optional<zavo::graph::Report> report;
};
Analysis* kept_analysis = nullptr;

// What every subcommand reads and parses, and how.
struct RunOptions {
  std::string graph;
  std::string rules = "extended";
  bool lenient = false;
  bool safe = false;
  std::optional<std::int64_t> max_label_positions;
};

// GRAPH, --rules, --lenient, --max-label-positions and, where the command has it, --safe.
void add_run_options(CLI::App* command, RunOptions& run, bool with_safe) {
  command->add_option("GRAPH", run.graph, "graph file (JSON, format zavo.graph)")->required();
  command
      ->add_option("--rules", run.rules,
                   "the node handlers: core (the operation catalogue's) or extended (also "
                   "normalisations, attention heads, embeddings; the default)")
      ->check(CLI::IsMember({"core", "extended"}));
  command->add_flag("--lenient", run.lenient,
                    "on a handler error, report it, use the default handler and go on");
  if (with_safe) {
    command->add_flag("--safe", run.safe,
                      "also keep the labels that a node drops (listed under dropped)");
  }
  command
      ->add_option("--max-label-positions", run.max_label_positions,
                   "the most label positions the parse may create (default: what fits in half of "
                   "the memory this process may use)")
      ->check(CLI::PositiveNumber);
}

struct AnalyzeOptions {
  RunOptions run;
  std::string output;
  bool write_report = false;  // -o was given (an empty name is refused, not ignored)
  int report_version = static_cast<int>(zavo::graph::ReportVersion::V2);
  zavo::logging::Level log_level = zavo::logging::Level::Warning;
};

// Reads, parses and reports the graph file; none after telling on standard error why the graph
// was rejected or the parse could not finish within its limits. The parse takes the nodes while
// the file is still being read; a rejected file shows nothing of it.
Analysis* run_analysis(const RunOptions& options) {
  kept_analysis = new Analysis;
  Analysis& analysis = *kept_analysis;
  auto rejected = [&options](const zavo::graph::GraphFileError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what() << "\n";
    return nullptr;
  };
  std::optional<zavo::graph::GraphFileReading> reading;
  try {
    reading.emplace(options.graph);
  } catch (const zavo::graph::GraphFileError& e) {
    return rejected(e);
  }
  try {
    analysis.result = zavo::graph::parse_graph(
        *reading, {.rules = *zavo::pruning::engine::node_handlers::parse_rule_set(options.rules),
                   .lenient = options.lenient,
                   .label_position_budget = options.max_label_positions,
                   .safe = options.safe});
    analysis.graph = reading->take();
  } catch (const zavo::graph::GraphFileError& e) {
    return rejected(e);
  } catch (const zavo::graph::ParseLimitError& e) {
    std::cerr << "zavo-prune: " << options.graph << ": " << e.what()
              << " (--max-label-positions sets the budget)\n";
    return nullptr;
  }
  analysis.report.emplace(zavo::graph::build_report(analysis.graph, analysis.result));
  return &analysis;
}

// True when `output` may be written for `graph`; false after telling why not. Checked before the
// graph is read, so that a long parse does not end in a refusal, and so that an output can never
// replace the graph it describes (under any path to it).
bool output_allowed(const std::string& graph, const std::string& output, const char* what) {
  std::error_code ec;
  if (std::filesystem::equivalent(graph, output, ec)) {
    std::cerr << "zavo-prune: cannot write the " << what << " to " << output
              << ": it is the graph file " << graph << " itself; name another file\n";
    return false;
  }
  try {
    zavo::graph::check_file_path(output);
  } catch (const zavo::graph::FileWriteError& e) {
    std::cerr << "zavo-prune: " << e.what() << "\n";
    return false;
  }
  return true;
}

// Writes `produce`'s content to `path` atomically; false after telling why it could not.
bool write_output(const std::string& path, const zavo::graph::ContentProducer& produce) {
  try {
    zavo::graph::write_file_atomically(path, produce);
    return true;
  } catch (const zavo::graph::FileWriteError& e) {
    std::cerr << "zavo-prune: " << e.what() << "\n";
    return false;
  }
}

int analyze(const AnalyzeOptions& options) {
  zavo::logging::get_logger("zavo.pruning.engine.node_handlers").set_level(options.log_level);
  if (options.write_report && !output_allowed(options.run.graph, options.output, "report"))
    return kRejected;
  const Analysis* analysis = run_analysis(options.run);
  if (!analysis)
    return kRejected;
  const zavo::graph::Report& report = *analysis->report;
  const auto version = static_cast<zavo::graph::ReportVersion>(options.report_version);
  if (options.write_report && !write_output(options.output, [&report, version](const auto& write) {
        zavo::graph::write_report_json(report, write, version);
      }))
    return kRejected;
  zavo::graph::write_summary(
      report, [](std::string_view piece) { std::cout.write(piece.data(), std::ssize(piece)); });
  if (options.write_report)
    std::cout << "\nreport written to " << options.output << "\n";
  return analysis->result.error ? kStopped : kParsed;
}

struct ViewOptions {
  RunOptions run;
  std::string output;
};

// The same analysis as `analyze`, written as a view page instead of a report.
int view(const ViewOptions& options) {
  if (!output_allowed(options.run.graph, options.output, "page"))
    return kRejected;
  const Analysis* analysis = run_analysis(options.run);
  if (!analysis)
    return kRejected;
  const zavo::graph::Report& report = *analysis->report;
  if (!write_output(options.output,
                    [&report](const auto& write) { write(zavo::graph::view_html(report)); }))
    return kRejected;
  std::cout << "view written to " << options.output << "\n";
  return analysis->result.error ? kStopped : kParsed;
}

struct ExplainOptions {
  RunOptions run;
  std::string parameter;
  std::optional<std::int64_t> dim;
  std::optional<std::int64_t> index;
};

// Why the channels of one parameter are kept, or that they are prunable.
int explain(const ExplainOptions& options) {
  const Analysis* analysis = run_analysis(options.run);
  if (!analysis)
    return kRejected;
  const zavo::tensor_trace::Graph& graph = analysis->graph;
  const zavo::tensor_trace::ZavoNode* parameter = nullptr;
  for (const auto& node : graph.nodes()) {
    if (node->name == options.parameter)
      parameter = node;
  }
  if (!parameter || parameter->kind != zavo::tensor_trace::NodeKind::Parameter) {
    std::cerr << "zavo-prune: " << options.run.graph << ": no parameter named " << options.parameter
              << "\n";
    return kRejected;
  }
  const zavo::graph::ParseResult& result = analysis->result;
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

// Out of memory anywhere is a clear failure, with nothing written: outputs go to a temporary
// file that is removed when writing fails.
template <typename Command, typename Options>
int guarded(Command command, const Options& options) {
  try {
    return command(options);
  } catch (const std::bad_alloc&) {
    std::cerr << "zavo-prune: " << options.run.graph << ": out of memory\n";
    return kRejected;
  }
}

}  // namespace

int main(int argc, char** argv) {
  zavo::platform::use_own_pages_for_large_blocks();
  CLI::App app{"Channel-pruning analysis of traced neural-network graphs", "zavo-prune"};
  app.set_version_flag("--version", std::string("zavo-prune ") + ZAVO_VERSION);
  app.require_subcommand(1);
  // The verbs that need PyTorch live in the Python package; the repository's ./zavo-prune runs
  // them, so one help lists every verb of the command.
  app.footer(
      "Through the repository's ./zavo-prune, with the Python package (PyTorch):\n"
      "  prune                       Prune a named model's channels and save the pruned model\n"
      "  export                      Trace a PyTorch model and write its graph file\n"
      "  verify                      Prove on the model that a report's prunable classes can be "
      "pruned\n"
      "  sweep                       Run torchvision's builders through the whole road, one row "
      "per model\n"
      "  zoo                         Regenerate the shipped zoo's graph files (zoo build) or prove "
      "them (zoo prove)\n"
      "(./zavo-prune VERB --help tells more)");

  AnalyzeOptions options;
  auto* analyze_command = app.add_subcommand(
      "analyze", "Parse a graph file and show which channels can be pruned together");
  add_run_options(analyze_command, options.run, /*with_safe=*/true);
  auto* output_option = analyze_command->add_option(
      "-o,--output", options.output, "write the report (JSON) to this file, atomically");
  analyze_command
      ->add_option("--report-version", options.report_version,
                   "the report's layout: 2 (default) writes each tied set once, 1 every class "
                   "with every slice, as readers of version 1 expect")
      ->check(CLI::IsMember({1, 2}))
      ->needs(output_option);
  std::string log_level = "warning";
  analyze_command
      ->add_option("--log-level", log_level,
                   "level of the engine's log on standard error (debug shows the handlers' lines)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error"}));

  ViewOptions view_options;
  auto* view_command = app.add_subcommand(
      "view", "Parse a graph file and write a page that draws its prunable channels");
  add_run_options(view_command, view_options.run, /*with_safe=*/false);
  view_command
      ->add_option("-o,--output", view_options.output,
                   "write the page (self-contained HTML) to this file, atomically")
      ->required();

  ExplainOptions explain_options;
  auto* explain_command = app.add_subcommand(
      "explain", "Show why channels of one parameter are kept, or that they are prunable");
  add_run_options(explain_command, explain_options.run, /*with_safe=*/true);
  explain_command->add_option("PARAMETER", explain_options.parameter, "the parameter's name")
      ->required();
  auto* dim_option =
      explain_command->add_option("--dim", explain_options.dim, "only this dimension");
  explain_command->add_option("--index", explain_options.index, "only this channel of --dim")
      ->needs(dim_option);

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
    return guarded(view, view_options);
  if (explain_command->parsed())
    return guarded(explain, explain_options);
  options.log_level = levels.at(log_level);
  options.write_report = analyze_command->count("--output") > 0;
  return guarded(analyze, options);
}
