// The parse taking nodes while the file is still being read: the same report, summary and log
// lines as reading first and parsing after, and nothing of the parse shown for a rejected file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph_generator.hpp"
#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/platform/logging.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/summary.hpp"

namespace zavo::graph {
namespace {

namespace fs = std::filesystem;
using tensor_trace::Graph;

// What a run shows: the report and the summary, or the message of a rejected file or of a
// limit; and the engine's log lines (at debug level), in order.
struct Shown {
  std::string outcome;
  std::vector<std::string> log;
};

template <typename Analyse>
Shown shown(Analyse analyse) {
  logging::Logger& logger = logging::get_logger("zavo.pruning.engine.node_handlers");
  const logging::Level level = logger.level();
  logger.set_level(logging::Level::Debug);
  Shown out;
  logging::Sink previous =
      logging::set_sink([&out](const logging::Logger&, logging::Level, std::string_view line) {
        out.log.emplace_back(line);
      });
  try {
    auto [graph, result] = analyse();
    const Report report = build_report(graph, result);
    out.outcome = report_json(report) + summary_text(report);
  } catch (const GraphFileError& e) {
    out.outcome = std::string("rejected: ") + e.what();
  } catch (const ParseLimitError& e) {
    out.outcome = std::string("limit: ") + e.what();
  }
  logging::set_sink(std::move(previous));
  logger.set_level(level);
  return out;
}

Shown sequential(const fs::path& path, const ParseOptions& options) {
  return shown([&] {
    Graph graph = read_graph_file(path);
    ParseResult result = parse_graph(graph, options);
    return std::pair(std::move(graph), std::move(result));
  });
}

// On a thread whatever the file's size, `batch` nodes at a time.
Shown overlapped(const fs::path& path, const ParseOptions& options, std::size_t batch) {
  return shown([&] {
    GraphFileReading reading(path, {.thread_from_bytes = 0, .batch = batch});
    ParseResult result = parse_graph(reading, options);
    return std::pair(reading.take(), std::move(result));
  });
}

const std::vector<ParseOptions> kOptions = {
    {.rules = RuleSet::Extended},
    {.rules = RuleSet::Core, .lenient = true, .safe = true},
};

// Both ways agree, node by node and in batches, under the first `rule_sets` of `kOptions`;
// returns what the first shows.
Shown expect_agreement(const fs::path& path, std::size_t rule_sets = kOptions.size()) {
  Shown first;
  for (std::size_t i = 0; i < rule_sets; ++i) {
    const Shown expected = sequential(path, kOptions[i]);
    for (std::size_t batch : {std::size_t{1}, std::size_t{5}}) {
      const Shown got = overlapped(path, kOptions[i], batch);
      EXPECT_EQ(got.outcome, expected.outcome) << path << " in batches of " << batch;
      EXPECT_EQ(got.log, expected.log) << path << " in batches of " << batch;
    }
    if (i == 0)
      first = expected;
  }
  return first;
}

// The generated graphs under the extended rules only: the other rule set changes the handlers,
// not the way nodes reach them.
TEST(OverlappedParse, ShowsWhatTheSequentialParseShowsOnTheGoldensAndGeneratedGraphs) {
  for (const char* dir : {"examples", "tests/golden/graphs"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(ZAVO_SOURCE_DIR) / dir)) {
      if (entry.path().extension() == ".json")
        expect_agreement(entry.path());
    }
  }
  testing::TempDir tmp;
  for (std::string_view shape : benchmarks::series_shapes()) {
    const fs::path path = tmp / (std::string(shape) + ".json");
    testing::write_text(path, benchmarks::graph_text(*benchmarks::series_config(shape, 4'000)));
    expect_agreement(path, 1);
  }
}

// A file broken near its end is rejected with the reader's one message, whatever the parse met
// before: log lines, warnings, a handler error, its label budget. A file that the fast reader
// hands on late, valid after all, is parsed again whole.
TEST(OverlappedParse, ALateProblemOfTheFileHidesEverythingTheParseMet) {
  testing::TempDir tmp;
  const std::string residual = testing::read_text(testing::example_path("residual_block.json"));
  const std::string handler_error = testing::read_text(testing::example_path("handler_error.json"));
  const std::string generated =
      benchmarks::graph_text(*benchmarks::series_config("residual", 20'000));
  auto last_bracket = [](const std::string& text) { return text.rfind(']'); };
  auto broken = [&](const std::string& text, std::string_view how) {
    const std::size_t end = text.rfind("}");
    if (how == "truncated")
      return text.substr(0, end);
    if (how == "unknown output")
      return text.substr(0, last_bracket(text)) + ", 999999]" + text.substr(last_bracket(text) + 1);
    return text.substr(0, end) + ", \"model\": 7}";  // a repeated, mistyped field
  };
  for (const std::string* text : {&residual, &handler_error, &generated}) {
    for (std::string_view how : {"truncated", "unknown output", "repeated field"}) {
      const fs::path path = tmp / "broken.json";
      testing::write_text(path, broken(*text, how));
      for (const ParseOptions& options :
           {ParseOptions{.rules = RuleSet::Extended}, ParseOptions{.label_position_budget = 3}}) {
        const Shown expected = sequential(path, options);
        ASSERT_EQ(expected.outcome.rfind("rejected: ", 0), 0u) << how << ": " << expected.outcome;
        EXPECT_EQ(expected.log, std::vector<std::string>{});
        const Shown got = overlapped(path, options, 1);
        EXPECT_EQ(got.outcome, expected.outcome) << how;
        EXPECT_EQ(got.log, std::vector<std::string>{}) << how;
      }
    }
  }
  // Logs, warnings and a limit met are shown as the sequential parse shows them when the file is
  // sound.
  const fs::path sound = tmp / "sound.json";
  testing::write_text(sound, residual);
  EXPECT_FALSE(expect_agreement(sound).log.empty());
  EXPECT_EQ(overlapped(sound, {.label_position_budget = 3}, 1).outcome,
            sequential(sound, {.label_position_budget = 3}).outcome);

  // A number too small for a double in an unknown field of the last node (JSON's zero): the
  // fast reader hands the file on after the parse has taken the nodes before it.
  const std::size_t last_node = generated.rfind("{\"id\"");
  const fs::path path = tmp / "tiny.json";
  testing::write_text(path, generated.substr(0, last_node + 1) + "\"tiny\": 1e-400, " +
                                generated.substr(last_node + 1));
  GraphFileReading reading(path, {.thread_from_bytes = 0, .batch = 1});
  const ParseResult result = parse_graph(reading, {.rules = RuleSet::Extended});
  EXPECT_TRUE(reading.read_again());
  const Graph graph = reading.take();
  const Graph whole = read_graph_file(path);
  EXPECT_EQ(report_json(build_report(graph, result)),
            report_json(build_report(whole, parse_graph(whole, {.rules = RuleSet::Extended}))));
}

// The header and the outputs may come before the nodes, after them, or around them.
TEST(OverlappedParse, TheHeaderAndTheOutputsMayComeAnywhere) {
  testing::TempDir tmp;
  const testing::Json original =
      testing::Json::parse(testing::read_text(testing::example_path("residual_block.json")));
  const Shown expected = sequential(testing::example_path("residual_block.json"), kOptions[0]);
  for (const std::vector<std::string>& order :
       std::vector<std::vector<std::string>>{{"outputs", "format", "nodes", "version", "model"},
                                             {"nodes", "outputs", "model", "version", "format"},
                                             {"model", "outputs", "nodes", "format", "version"}}) {
    testing::Json moved = testing::Json::object();
    for (const std::string& key : order)
      moved[key] = original[key];
    const fs::path path = tmp / "moved.json";
    testing::write_text(path, moved.dump(1));
    EXPECT_EQ(expect_agreement(path).outcome, expected.outcome) << order.front();
  }
}

}  // namespace
}  // namespace zavo::graph
