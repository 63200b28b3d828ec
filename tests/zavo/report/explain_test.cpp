// Why channels are kept: every kept class of the zoo traced back to a real event through real
// merges, the explanation of a chain of ties, and the dropped-label guard on the two known
// patterns and on a parameter read as data.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <tuple>
#include <unordered_map>

#include "support/random_graph.hpp"
#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/platform/warnings.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/report/explain.hpp"
#include "zavo/report/summary.hpp"

namespace zavo::graph {
namespace {

namespace engine = pruning::engine;
using engine::utils::PruneGraphParserState;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;
using testing::Json;
using testing::report_of_text;

// An observer of its own: which node first refused each label, and each fold with its node and
// whether it carried a refusal onto a prunable label.
struct Log final : engine::utils::LabelObserver {
  struct Fold {
    Label base;
    std::int64_t node;
    bool carried;
  };
  const ZavoNode* node = nullptr;
  bool outputs = false;
  std::unordered_map<Label, std::pair<std::int64_t, bool>> refused;  // label -> (node, outputs)
  std::unordered_map<Label, Fold> folds;                             // by folded label

  void refuse(Label label) { refused.try_emplace(label, node->id, outputs); }
  void labels_created(Label first, std::size_t count, bool prunable) override {
    for (Label label = first; !prunable && label < first + static_cast<Label>(count); ++label)
      refuse(label);
  }
  void label_marked_non_prunable(Label label) override { refuse(label); }
  void labels_merged(Label base, Label folded) override {
    const bool carried = !refused.contains(base) && refused.contains(folded);
    folds.emplace(folded, Fold{base, node->id, carried});
    if (carried)
      refused.try_emplace(base, refused.at(folded));
  }
};

// The parse of a complete graph, step by step, heard by `log`.
void replay(const tensor_trace::Graph& graph, Log& log) {
  warnings::ScopedRecorder quiet;
  PruneGraphParserState state;
  state.observer = &log;
  for (const auto& owned : graph.nodes()) {
    log.node = owned;
    engine::utils::TensorLabels labels(owned->result_shape ? owned->result_shape->size() : 0);
    if (owned->kind == NodeKind::Call) {
      engine::node_handlers::get_node_handler (*owned->as_op_node())(state, *owned->as_op_node());
      continue;
    }
    for (std::size_t d = 0; owned->kind == NodeKind::Parameter && d < labels.size(); ++d) {
      if ((*owned->result_shape)[d] > 1) {
        labels[d] = engine::utils::generate_new_channel_labels(
            {.pruning_state = state, .node = *owned, .dim = std::int64_t(d), .is_prunable = true});
      }
    }
    engine::utils::add_node_output_info({.pruning_state = state, .node = *owned, .labels = labels});
  }
  log.outputs = true;
  for (const ZavoNode* output : graph.outputs) {
    log.node = output;
    engine::node_handlers::_mark_labels_as_non_prunable(
        state, engine::utils::get_flatten_labels(state, *output));
  }
}

TEST(Provenance, EveryKeptClassOfTheZooHasItsFirstEventAndTheMergesThatCarriedIt) {
  std::vector<std::filesystem::path> graphs;
  for (const char* dir : {ZAVO_MODELS_DIR, ZAVO_EXAMPLES_DIR}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().filename() != "summaries.json" &&
          entry.path().filename() != "handler_error.json")
        graphs.push_back(entry.path());
    }
  }
  ASSERT_GE(graphs.size(), 12u);
  for (const auto& path : graphs) {
    SCOPED_TRACE(path.filename().string());
    tensor_trace::Graph graph = read_graph_file(path.string());
    Json report =
        Json::parse(report_json(build_report(graph, parse_graph(graph)), ReportVersion::V1));
    Log log;
    replay(graph, log);
    std::unordered_map<std::string, std::int64_t> ids;
    for (const auto& node : graph.nodes())
      ids[node->name] = node->id;
    EXPECT_EQ(report["dropped"], Json::array());
    std::size_t kept = 0;
    for (const Json& group : report["groups"]) {
      ASSERT_EQ(group.contains("reason"), !group["prunable"].get<bool>()) << group.dump();
      if (group["prunable"].get<bool>())
        continue;
      ++kept;
      const Json& reason = group["reason"];
      Label label = reason["label"].get<Label>();
      ASSERT_TRUE(log.refused.contains(label)) << group.dump();
      const auto [node, by_outputs] = log.refused.at(label);
      ASSERT_TRUE(ids.contains(reason["node"].get<std::string>())) << group.dump();
      EXPECT_EQ(ids.at(reason["node"].get<std::string>()), node) << group.dump();
      EXPECT_EQ(reason["event"] == "output", by_outputs) << group.dump();
      // The folds from the event's label up to the class, each carrying the refusal.
      for (const Json& via : group["via"]) {
        auto fold = log.folds.find(label);
        ASSERT_NE(fold, log.folds.end()) << group.dump();
        EXPECT_EQ(graph.node(std::size_t(fold->second.node)).name, via.get<std::string>());
        EXPECT_TRUE(fold->second.carried) << group.dump();
        label = fold->second.base;
      }
      EXPECT_EQ(label, group["label"].get<Label>()) << group.dump();
    }
    EXPECT_GT(kept, 0u);
  }
}

// A reason does not depend on the order its labels are asked about: kept labels asked in label
// order and in a shuffled one (which defeats every shortcut the lookups take for ascending
// questions and for the node asked about last) get the same sentences; and the table of a
// report's reasons never holds one twice.
TEST(Provenance, ReasonsDoNotDependOnTheOrderOfTheQuestionsAndAreEnteredOnce) {
  for (const char* model : {"resnet18", "tiny_unet", "shufflenet_v2_x0_5"}) {
    SCOPED_TRACE(model);
    const tensor_trace::Graph graph =
        read_graph_file(std::filesystem::path(ZAVO_MODELS_DIR) / (std::string(model) + ".json"));
    const ParseResult result = parse_graph(graph);
    const Report report = build_report(graph, result);
    std::vector<Label> kept = report.kept_classes;
    ASSERT_GT(kept.size(), 20u);
    std::unordered_map<Label, std::string> in_order;
    Reasons ascending(graph, result);
    for (Label label : kept)
      in_order[label] = ascending.reason(*ascending.cause(label), label).sentence;
    std::shuffle(kept.begin(), kept.end(), std::mt19937(7));
    Reasons shuffled(graph, result);
    for (Label label : kept) {
      const Reasons::Key key = shuffled.key(*shuffled.cause(label), label);
      EXPECT_EQ(shuffled.describe(key).sentence, in_order.at(label)) << label;
    }
    // The report's table holds each distinct reason once, however many events tell it.
    std::set<std::tuple<ReasonKind, std::int64_t, std::string_view, std::vector<std::int64_t>>>
        entries;
    for (const KeptReason& reason : kept_reasons(report).table) {
      EXPECT_TRUE(entries.emplace(reason.kind, reason.node, reason.quoted_text, reason.via).second)
          << reason.quoted_text;
    }
  }
}

// The printed summary counts the kept classes' causes by kind and node without describing any
// reason: it reads as it does from the reasons described for the report file (which a report
// that has written its file reuses), and as it does with the report's copy of the parameters'
// labels made first or while the report is built, on the zoo's small models and on random graphs
// under both rule sets, with failing calls handed to the default handler or stopping the parse,
// and dropped labels taken out.
TEST(Provenance, TheSummaryCountsTheCausesTheDescribedReasonsGive) {
  std::set<std::string> causes;  // the cause lines met, without their counts
  auto expect_same_summary = [&](const tensor_trace::Graph& graph, const ParseOptions& options,
                                 const std::string& name) {
    const ParseResult result = parse_graph(graph, options);
    const std::string counted = summary_text(build_report(graph, result));
    const Report described = build_report(graph, result);
    kept_reasons(described);
    EXPECT_EQ(summary_text(described), counted) << name;
    const Report copied = build_report(graph, result);
    copied.parameter_labels();
    EXPECT_EQ(summary_text(copied), counted) << name;
    EXPECT_EQ(summary_text(build_report(graph, result, /*with_parameter_labels=*/true)), counted)
        << name;
    const auto from = counted.find("kept classes by cause:\n");
    for (auto at = from; at != std::string::npos && at + 2 < counted.size();) {
      at = counted.find('\n', at) + 1;
      if (counted.compare(at, 2, "  ") != 0)
        break;
      causes.insert(counted.substr(at, counted.find(':', at) - at));
    }
  };
  for (const char* model : {"resnet18", "shufflenet_v2_x0_5", "tiny_decoder", "tiny_unet"}) {
    const tensor_trace::Graph graph =
        read_graph_file(std::filesystem::path(ZAVO_MODELS_DIR) / (std::string(model) + ".json"));
    expect_same_summary(graph, {}, model);
  }
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    for (const RuleSet rules : {RuleSet::Core, RuleSet::Extended}) {
      const tensor_trace::Graph graph = zavo::testing::random_graph(seed, {.bad_calls = true});
      // Some parses stop at a failing call, before the later parameters.
      expect_same_summary(graph,
                          {.rules = rules, .lenient = seed % 3 != 0, .safe = seed % 2 == 0},
                          graph.model);
    }
  }
  // Causes of many kinds were counted, not only the place-free ones.
  for (const char* cause : {"  model outputs", "  kernel dimensions", "  spatial dimensions",
                            "  ties to dimensions without labels", "  other handler decisions",
                            "  operations without a handler"})
    EXPECT_TRUE(causes.contains(cause)) << cause;
}

std::string graph_text(const std::string& nodes, const std::string& outputs) {
  return R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [)" + nodes +
         R"(], "outputs": )" + outputs + "}";
}

std::string node(int id, const std::string& name, const std::string& op, const std::string& args,
                 const std::string& shape) {
  return R"(, {"id": )" + std::to_string(id) + R"(, "kind": "call", "name": ")" + name +
         R"(", "op": ")" + op + R"(", "args": )" + args + R"(, "kwargs": {}, "shape": )" + shape +
         "}";
}

TEST(Provenance, ATieCarriesTheRefusalAndTheExplanationFollowsIt) {
  // Two convolutions of x added; the second's channels also reach torch.roll, which has no
  // handler. The addition folds them into the first's class, which inherits the refusal.
  tensor_trace::Graph graph = read_graph_file(testing::example_path("shifted_branch.json"));
  ParseResult result = parse_graph(graph);
  // The report's reason and via for this class are pinned by the goldens.
  auto explain = [&](std::size_t id, std::optional<std::int64_t> dim = {},
                     std::optional<std::int64_t> index = {}) {
    return explain_text(graph, result, graph.node(id), dim, index);
  };
  EXPECT_EQ(explain(1),
            "main.weight dim 0: 4 channels kept: tied at sum to the channels of side.weight dim 0, "
            "which reach node shift, an operation without a handler (torch.roll)\n"
            "main.weight dim 1: 3 channels kept: they are tied at node main "
            "(torch.nn.functional.conv2d) to a dimension without labels of the model input x\n"
            "main.weight dim 2: 1 channel, nothing to prune\n"
            "main.weight dim 3: 1 channel, nothing to prune\n");
  EXPECT_EQ(explain(2, 0, 2),
            "side.weight dim 0: 1 channel kept (2): they reach node shift, an operation without a "
            "handler (torch.roll)\n");
  EXPECT_THROW(explain(2, 4), std::out_of_range);
  EXPECT_THROW(explain(2, 0, 4), std::out_of_range);
}

// A linear layer over the width of a convolution's output (with a size read in between, which
// drops nothing), and a pool over features that meets a size-1 broadcast.
const std::string kLinearOverWidth = graph_text(
    R"({"id": 0, "kind": "input", "name": "x", "shape": [1, 3, 8, 8]},
       {"id": 1, "kind": "parameter", "name": "stem.weight", "shape": [6, 3, 1, 1]},
       {"id": 2, "kind": "parameter", "name": "conv.weight", "shape": [4, 6, 1, 1]},
       {"id": 3, "kind": "parameter", "name": "conv.bias", "shape": [4]},
       {"id": 4, "kind": "parameter", "name": "fc.weight", "shape": [5, 8]})" +
        node(5, "stem", "torch.nn.functional.conv2d", R"([{"node": 0}, {"node": 1}])",
             "[1, 6, 8, 8]") +
        node(6, "conv", "torch.nn.functional.conv2d", R"([{"node": 5}, {"node": 2}, {"node": 3}])",
             "[1, 4, 8, 8]") +
        node(7, "size", "torch.Tensor.size", R"([{"node": 6}])", "null") +
        node(8, "fc", "torch.nn.functional.linear", R"([{"node": 6}, {"node": 4}])",
             "[1, 4, 8, 5]"),
    "[8]");
const std::string kPoolOverFeatures = graph_text(
    R"({"id": 0, "kind": "input", "name": "x", "shape": [1, 4, 6]},
       {"id": 1, "kind": "parameter", "name": "fc.weight", "shape": [8, 6]},
       {"id": 2, "kind": "parameter", "name": "fc.bias", "shape": [8]})" +
        node(3, "fc", "torch.nn.functional.linear", R"([{"node": 0}, {"node": 1}, {"node": 2}])",
             "[1, 4, 8]") +
        node(4, "pool", "torch.nn.functional.adaptive_avg_pool1d", R"([{"node": 3}, 1])",
             "[1, 4, 1]") +
        node(5, "first", "torch.Tensor.__getitem__",
             R"j([{"node": 0}, {"const": "(Ellipsis, slice(None, 1, None))", "type": "tuple"}])j",
             "[1, 4, 1]") +
        node(6, "add", "torch.add", R"([{"node": 4}, {"node": 5}])", "[1, 4, 1]"),
    "[6]");

// A table of coordinates kept as a buffer and mapped by a linear layer: the layer ties its last
// dimension and passes the others on nowhere.
const std::string kCoordinateTable = graph_text(
    R"({"id": 0, "kind": "parameter", "name": "table", "shape": [3, 3, 2]},
       {"id": 1, "kind": "parameter", "name": "mlp.weight", "shape": [4, 2]})" +
        node(2, "mlp", "torch.nn.functional.linear", R"([{"node": 0}, {"node": 1}])", "[3, 3, 4]"),
    "[2]");

TEST(DroppedLabels, BothKnownPatternsAreFoundAndTheSafeOptionTakesThemOut) {
  struct Case {
    const std::string& text;
    std::string dropped;
    std::size_t parameter;  // whose channels are dropped
    std::string kept;       // how explain tells what the safe option keeps
    std::string summary;    // the summary's line for the node
  };
  for (
      const Case& c : {
          Case{kLinearOverWidth,
               R"([{"node":"fc","labels":[9,10,11,12],"parameters":["conv.weight","conv.bias"]}])",
               2,
               "conv.weight dim 0: 4 channels kept: they are dropped at node fc "
               "(torch.nn.functional.linear), which passes them on nowhere; taken out by the "
               "safe option\n",
               "  fc (torch.nn.functional.linear): 4 labels, channels of conv.weight, conv.bias\n"},
          Case{
              kPoolOverFeatures,
              R"([{"node":"add","labels":[0,1,2,3,4,5,6,7],"parameters":["fc.weight","fc.bias"]}])",
              1,
              "fc.weight dim 0: 8 channels kept: they are dropped at node add (torch.add), "
              "which passes them on nowhere; taken out by the safe option\n",
              "  add (torch.add): 8 labels, channels of fc.weight, fc.bias\n"},
          Case{kCoordinateTable,
               R"([{"node":"mlp","labels":[0,1,2,3,4,5],"parameters":["table"]}])", 0,
               "table dim 0: 3 channels kept: they are dropped at node mlp "
               "(torch.nn.functional.linear), which passes them on nowhere; taken out by the "
               "safe option\n",
               "  mlp (torch.nn.functional.linear): 6 labels, channels of table\n"},
      }) {
    Json plain = report_of_text(c.text);
    Json safe = report_of_text(c.text, {.safe = true});
    EXPECT_EQ(plain["dropped"].dump(), c.dropped);
    EXPECT_EQ(safe["dropped"], plain["dropped"]);
    for (const Json& label : plain["dropped"][0]["labels"]) {
      EXPECT_TRUE(plain["is_prunable"][label.get<std::size_t>()][1].get<bool>());
      EXPECT_FALSE(safe["is_prunable"][label.get<std::size_t>()][1].get<bool>());
    }
    // Only the dropped labels change.
    EXPECT_EQ(safe["summary"]["prunable_classes"].get<std::size_t>() +
                  plain["dropped"][0]["labels"].size(),
              plain["summary"]["prunable_classes"].get<std::size_t>());
    tensor_trace::Graph graph = read_graph_text(c.text);
    ParseResult result = parse_graph(graph, {.safe = true});
    EXPECT_EQ(explain_text(graph, result, graph.node(c.parameter), 0), c.kept);
    const std::string summary = summary_text(build_report(graph, result));
    EXPECT_NE(summary.find("\ndropped labels: 1 node (taken out of pruning by the safe option)\n" +
                           c.summary),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("  dropped labels (safe option): "), std::string::npos) << summary;
  }
}

}  // namespace
}  // namespace zavo::graph
