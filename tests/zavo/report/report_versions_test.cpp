// The two report versions: version 2 holds exactly what version 1 does, on the shipped graphs
// and on seeded random ones, read back by a reader written from the README; and the sequences
// it is made of (runs, the table of label lists, quoted texts) give back what they stand for.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "graph_generator.hpp"
#include "support/random_graph.hpp"
#include "support/report_versions.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/report/json_writer.hpp"
#include "zavo/report/report.hpp"
#include "zavo/report/runs.hpp"

namespace zavo::graph {
namespace {

using Json = nlohmann::json;
using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::make_labels;
using pruning::engine::utils::PruneGraphParserState;
using zavo::testing::expand_sequence;
using zavo::testing::random_graph;
using zavo::testing::version_1_layout;

void expect_same_report(const tensor_trace::Graph& graph, const ParseOptions& options,
                        const std::string& name) {
  const ParseResult result = parse_graph(graph, options);
  const Report report = build_report(graph, result);
  const Json second = Json::parse(report_json(report, ReportVersion::V2));
  EXPECT_EQ(second["rules"], "core") << name;
  EXPECT_EQ(version_1_layout(second), Json::parse(report_json(report, ReportVersion::V1)))
      << name << (options.lenient ? " lenient" : " strict") << (options.safe ? " safe" : "");
}

TEST(ReportVersions, TheSecondHoldsWhatTheFirstDoesOnTheShippedGraphs) {
  std::vector<std::filesystem::path> paths;
  for (const char* dir : {ZAVO_EXAMPLES_DIR, ZAVO_SOURCE_DIR "/tests/golden/graphs"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      paths.push_back(entry.path());
  }
  // The small models of the zoo: the large ones add time, not kinds of ties.
  for (const char* model : {"resnet18", "shufflenet_v2_x0_5", "tiny_decoder", "tiny_unet"})
    paths.push_back(std::filesystem::path(ZAVO_MODELS_DIR) / (std::string(model) + ".json"));
  for (const auto& path : paths) {
    const tensor_trace::Graph graph = read_graph_file(path);
    for (bool lenient : {false, true})
      expect_same_report(graph, {.lenient = lenient, .safe = lenient}, path.filename());
  }
}

TEST(ReportVersions, TheSecondHoldsWhatTheFirstDoesOnRandomGraphs) {
  for (std::uint64_t seed = 0; seed < 50; ++seed) {
    for (bool bad_calls : {false, true}) {
      const tensor_trace::Graph graph = random_graph(seed, {.bad_calls = bad_calls});
      expect_same_report(graph, {.lenient = bad_calls}, graph.model);
    }
  }
}

// A parse that makes many more labels than the parameters carry (here the fresh labels of a wide
// concatenation after the model) has its classes told apart by a hash of their
// labels rather than a table of every label: the same report either way.
TEST(ReportVersions, TheSecondHoldsWhatTheFirstDoesWhenParametersCarryFewOfTheLabels) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    tensor_trace::Graph graph = random_graph(seed);
    const tensor_trace::ZavoNode& wide = graph.add_input("wide", tensor_trace::Shape{1, 1 << 13});
    graph.add_call("wide_cat", tensor_trace::intern_operation("torch.cat"),
                   {tensor_trace::Value(tensor_trace::Sequence{wide, wide}), 1}, {},
                   tensor_trace::Shape{1, 1 << 14});
    const ParseResult result = parse_graph(graph, {.lenient = true});
    const Report report = build_report(graph, result);
    ASSERT_GT(result.state.next_label / 64, report.summary.channel_classes) << graph.model;
    EXPECT_EQ(version_1_layout(Json::parse(report_json(report, ReportVersion::V2))),
              Json::parse(report_json(report, ReportVersion::V1)))
        << graph.model;
  }
}

// The report made on two threads is the one made on one, byte for byte, for graphs of every
// family the benchmarks scale and for random graphs (with failing calls handed to the default
// handler and dropped labels taken out), each writer with a report of its own, so that each
// works out the kept classes' reasons itself.
TEST(ReportVersions, OneThreadAndTwoWriteTheSameBytes) {
  auto expect_same_bytes = [](const tensor_trace::Graph& graph, const ParseOptions& options,
                              const std::string& name) {
    const ParseResult result = parse_graph(graph, options);
    const std::string one = report_json(build_report(graph, result), ReportVersion::V2, 1);
    EXPECT_EQ(report_json(build_report(graph, result), ReportVersion::V2, 2), one) << name;
    // A report that holds what its writing made writes the same bytes again, in either version,
    // and so does one whose copy of the parameters' labels was made while it was built.
    Report holding = build_report(graph, result, /*with_parameter_labels=*/true);
    holding.keep_what_is_written = true;
    const std::string first = report_json(holding, ReportVersion::V1);
    EXPECT_EQ(report_json(holding, ReportVersion::V2, 2), one) << name;
    EXPECT_EQ(report_json(holding, ReportVersion::V1), first) << name;
    EXPECT_EQ(first, report_json(build_report(graph, result), ReportVersion::V1)) << name;
  };
  for (std::string_view shape : benchmarks::series_shapes()) {
    const tensor_trace::Graph graph =
        read_graph_text(benchmarks::graph_text(*benchmarks::series_config(shape, 20'000)));
    expect_same_bytes(graph, {.rules = RuleSet::Extended}, std::string(shape));
  }
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    const tensor_trace::Graph graph = random_graph(seed, {.bad_calls = seed % 2 == 1});
    expect_same_bytes(graph, {.lenient = true, .safe = true}, graph.model);
  }
}

std::vector<std::int64_t> expand(std::span<const Run> runs) {
  Json items = Json::array();
  for (const Run& run : runs) {
    std::string text;
    append_run(text, run);
    items.push_back(Json::parse(text));
  }
  return expand_sequence(items);
}

// Runs cut by the builder, number by number, are the items `run_at` gives, and give back the
// sequence: repeats, steps up and down, pairs that are no run, lone numbers.
TEST(JsonText, QuotesEveryByteAsTheJsonLibraryDoes) {
  // Each byte that needs escaping, or that is not ASCII, at every place of texts long and short
  // enough to be read eight bytes at a time and byte by byte.
  const std::vector<std::string> specials = {
      "\"", "\\", "\n", std::string(1, '\0'), "\x1f", "\x7f", "\xc3\xa9", "\xff", "~", " "};
  for (std::size_t length = 0; length <= 19; ++length) {
    for (const std::string& special : specials) {
      for (std::size_t at = 0; at <= length; ++at) {
        std::string text(length, 'a');
        text.insert(at, special);
        const std::string expected =
            nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        ASSERT_EQ(json_text(text), expected) << length << " " << at;
      }
    }
  }
}

TEST(Runs, CutEverySequenceIntoItemsThatGiveItBack) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::int64_t> values;
    const int pieces = static_cast<int>(random() % 6);
    for (int p = 0; p < pieces; ++p) {
      const auto first = static_cast<std::int64_t>(random() % 50);
      const auto step = static_cast<std::int64_t>(random() % 5) - 2;
      const auto count = static_cast<std::int64_t>(random() % 5);
      for (std::int64_t i = 0; i < count; ++i)
        values.push_back(first + i * step + (step < 0 ? 10 : 0));
    }
    const std::vector<graph::Run> runs = runs_of(values);
    std::vector<graph::Run> cut;
    for (std::size_t at = 0; at < values.size(); at += static_cast<std::size_t>(cut.back().count))
      cut.push_back(run_at(values, at));
    ASSERT_EQ(runs, cut) << Json(values).dump();
    ASSERT_EQ(expand(runs), values) << Json(values).dump();
    for (const graph::Run& run : runs)
      ASSERT_TRUE(run.count == 1 || run.count >= 3);
  }
}

// The entries of a table, read back with their references.
struct ReadBack {
  std::vector<std::vector<std::int64_t>> lists;
  std::vector<std::size_t> items;  // per entry

  std::vector<std::int64_t> add(LabelListTable& table, const DimensionLabels& labels) {
    const std::uint32_t index = table.add(labels);
    if (table.added()) {
      EXPECT_EQ(index, lists.size());
      Json entry = Json::array();
      for (const LabelListTable::Item& item : table.items()) {
        if (item.list >= 0) {
          EXPECT_LT(item.list, static_cast<std::int64_t>(lists.size())) << "an earlier entry";
          entry.push_back({{"list", item.list}});
        } else {
          std::string text;
          append_run(text, item.run);
          entry.push_back(Json::parse(text));
        }
      }
      lists.push_back(expand_sequence(entry, &lists));
      items.push_back(table.items().size());
    }
    return lists.at(index);
  }
};

TEST(LabelListTable, GivesBackEveryListAndRefersToEarlierOnes) {
  PruneGraphParserState state;
  LabelListTable table;
  ReadBack read;
  std::mt19937_64 random(11);
  std::vector<std::vector<std::int64_t>> made;
  std::vector<DimensionLabels> handles;
  for (int round = 0; round < 400; ++round) {
    // A fresh run, the concatenation of earlier lists with labels between them, or a copy.
    std::vector<std::int64_t> labels;
    const auto kind = random() % 3;
    if (made.empty() || kind == 0) {
      const auto first = static_cast<std::int64_t>(random() % 1000);
      for (std::uint64_t i = 0, n = random() % 9; i < n; ++i)
        labels.push_back(random() % 4 ? first + static_cast<std::int64_t>(i) : first);
    } else if (kind == 1) {
      for (std::uint64_t part = 0, n = 1 + random() % 3; part < n; ++part) {
        const auto& earlier = made[random() % made.size()];
        labels.insert(labels.end(), earlier.begin(), earlier.end());
        labels.push_back(static_cast<std::int64_t>(random() % 1000));
      }
    } else {
      labels = made[random() % made.size()];
    }
    made.push_back(labels);
    handles.push_back(make_labels(state, labels));
    ASSERT_EQ(read.add(table, handles.back()), labels) << "round " << round;
    // A handle added again is the same entry.
    const DimensionLabels& again = handles[random() % handles.size()];
    ASSERT_EQ(read.add(table, again), again.to_vector());
  }
  EXPECT_LT(read.lists.size(), made.size()) << "copies share an entry";
}

TEST(LabelListTable, WritesALadderOfConcatenationsInItsNewLabelsOnly) {
  PruneGraphParserState state;
  LabelListTable table;
  ReadBack read;
  std::vector<std::int64_t> ladder = {0, 1, 2, 3, 4, 5, 6, 7};
  for (std::int64_t block = 0; block < 50; ++block) {
    ASSERT_EQ(read.add(table, make_labels(state, ladder)), ladder);
    EXPECT_LE(read.items.back(), 3u) << "block " << block;
    ladder.push_back(100 + 7 * block);
    ladder.push_back(103 + 7 * block);
  }
}

}  // namespace
}  // namespace zavo::graph
