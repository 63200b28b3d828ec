// The view page: its tied sets against the report's classes, what the page carries, and the
// `view` command. The page's drawing and clicks are tested in a browser (test_view_browser.py).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "zavo/graph_file/graph_file.hpp"
#include "zavo/parse/parse.hpp"
#include "zavo/report/report.hpp"
#include "zavo/view/view.hpp"

namespace zavo::graph {
namespace {

using testing::example_path;
using testing::files_in;
using testing::Json;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

// The examples and the zoo's small models: residual additions, concatenations, attention and
// dropout (the large ones take many seconds under the sanitizers and add no kind of tie).
std::vector<std::filesystem::path> shipped_graphs() {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(ZAVO_EXAMPLES_DIR))
    paths.push_back(entry.path());
  for (const char* model : {"resnet18", "tiny_unet", "tiny_transformer", "dropout_cnn"})
    paths.push_back(std::filesystem::path(ZAVO_MODELS_DIR) / (std::string(model) + ".json"));
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Union-find over "parameter#dimension" keys.
struct Joined {
  std::map<std::string, std::string> parent;
  std::string find(const std::string& key) {
    auto it = parent.try_emplace(key, key).first;
    return it->second == key ? key : (it->second = find(it->second));
  }
};

// Against the report's classes (version 1, every slice): parameter dimensions are in one set
// exactly when classes join them; a set counts the classes (and prunable classes) it holds; a
// node lists the sets of its labels in the order they first occur.
TEST(View, TiedSetsJoinTheReportsClassesByParameterDimension) {
  for (const auto& path : shipped_graphs()) {
    SCOPED_TRACE(path.filename().string());
    tensor_trace::Graph graph = read_graph_file(path);
    ParseResult result = parse_graph(graph);
    Report report = build_report(graph, result);
    TiedSets tied = tied_sets(report);
    Json json = Json::parse(report_json(report, ReportVersion::V1));

    Joined joined;
    auto key = [](const Json& c) {
      return c["node"].get<std::string>() + "#" + std::to_string(c["dim"].get<int>());
    };
    for (const Json& group : json["groups"]) {
      for (const Json& c : group["channels"])
        joined.parent[joined.find(key(c))] = joined.find(key(group["channels"][0]));
    }
    std::map<std::string, std::int64_t> set_of_root;
    std::map<std::int64_t, std::string> root_of_set;
    for (std::size_t p = 0; p < report.parameters.size(); ++p) {
      for (std::size_t d = 0; d < tied.of_parameter[p].size(); ++d) {
        std::string k = report.parameters[p].parameter->name + "#" + std::to_string(d);
        std::int64_t set = tied.of_parameter[p][d];
        ASSERT_EQ(set < 0, !joined.parent.contains(k)) << k;
        if (set < 0)
          continue;
        std::string root = joined.find(k);
        EXPECT_EQ(set_of_root.try_emplace(root, set).first->second, set) << k;
        EXPECT_EQ(root_of_set.try_emplace(set, root).first->second, root) << k;
      }
    }
    ASSERT_EQ(root_of_set.size(), tied.sets.size());

    std::vector<TiedSet> counted(tied.sets.size());
    std::map<std::int64_t, std::int64_t> set_of_label;
    for (const Json& group : json["groups"]) {
      std::int64_t set = set_of_root.at(joined.find(key(group["channels"][0])));
      set_of_label[group["label"].get<std::int64_t>()] = set;
      ++counted[static_cast<std::size_t>(set)].classes;
      counted[static_cast<std::size_t>(set)].prunable += group["prunable"].get<bool>();
    }
    for (std::size_t s = 0; s < tied.sets.size(); ++s) {
      EXPECT_EQ(tied.sets[s].classes, counted[s].classes) << "set " << s;
      EXPECT_EQ(tied.sets[s].prunable, counted[s].prunable) << "set " << s;
    }

    std::vector<std::vector<std::int64_t>> node_sets(graph.size());
    for (const Json& node : json["nodes"]) {
      auto& sets = node_sets[node["id"].get<std::size_t>()];
      for (const Json& dim : node["labels"]) {
        for (const Json& label : dim.is_null() ? Json::array() : dim) {
          auto it = set_of_label.find(label.get<std::int64_t>());
          if (it != set_of_label.end() &&
              std::find(sets.begin(), sets.end(), it->second) == sets.end())
            sets.push_back(it->second);
        }
      }
    }
    EXPECT_EQ(zavo::graph::node_sets(report, tied), node_sets);
  }
}

// A graph whose parameter has `channels` output channels and the name `name`.
std::string one_layer(std::int64_t channels, const std::string& name = "conv.weight") {
  std::string c = std::to_string(channels);
  return R"({"format": "zavo.graph", "version": 1, "model": "m", "nodes": [
    {"id": 0, "kind": "input", "name": "x", "shape": [1, 3, 8, 8]},
    {"id": 1, "kind": "parameter", "name": )" +
         Json(name).dump() + R"(, "shape": [)" + c + R"(, 3, 3, 3]},
    {"id": 2, "kind": "call", "name": "conv", "op": "torch.nn.functional.conv2d",
     "args": [{"node": 0}, {"node": 1}], "kwargs": {}, "shape": [1, )" +
         c + R"(, 8, 8]},
    {"id": 3, "kind": "call", "name": "relu", "op": "torch.relu", "args": [{"node": 2}],
     "kwargs": {}, "shape": [1, )" +
         c + R"(, 8, 8]}], "outputs": []})";
}

std::string page_of(const std::string& graph_text) {
  tensor_trace::Graph graph = read_graph_text(graph_text);
  ParseResult result = parse_graph(graph);
  return view_html(build_report(graph, result));
}

TEST(View, ThePageCarriesItsDataInlineWhereNoNameCanEndTheScript) {
  const std::string name = "</script><script>alert(1)</script><!--";
  std::string page = page_of(one_layer(4, name));
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>"));
  EXPECT_EQ(page.find(name), std::string::npos);
  for (const char* outside : {"http", "src=", "@import", "url()", "url(\"", "url('"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  const std::string open = "<script type=\"application/json\" id=\"zavo-data\">";
  std::size_t begin = page.find(open) + open.size();
  Json data = Json::parse(page.substr(begin, page.find("</script>", begin) - begin));
  EXPECT_EQ(data["nodes"][1],
            Json::parse(R"([1, ")" + std::string("</script><script>alert(1)</script><!--") +
                        R"(", -1, [4, 3, 3, 3], [], [0, 1, 2, 3]])"));
  EXPECT_EQ(data["parameters"][0].dump(), "[1,[[4,4,0],[3,0,1],[3,0,2],[3,0,3]],108,108]");
}

TEST(View, ThePageGrowsWithNodesNotWithChannels) {
  std::size_t few = page_of(one_layer(4)).size();
  std::size_t many = page_of(one_layer(40000)).size();
  EXPECT_LT(many - few, 128u) << "only the digits of the counts and labels differ";
}

// The command's exit status, its output collected in `dir`.
int zavo_prune(const TempDir& dir, const std::string& args) {
  std::string command =
      std::string(ZAVO_PRUNE_BINARY) + " " + args + " >'" + (dir / "out.txt").string() + "' 2>&1";
  int status = std::system(command.c_str());
  std::filesystem::remove(dir / "out.txt");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ZavoPrune, ViewWritesThePageLikeTheReport) {
  TempDir dir;
  const std::string page = (dir / "page.html").string();
  EXPECT_EQ(zavo_prune(dir, "view " + example_path("residual_block.json").string() + " -o " + page),
            0);
  EXPECT_TRUE(read_text(page).starts_with("<!DOCTYPE html>"));
  EXPECT_EQ(zavo_prune(dir, "view " + example_path("handler_error.json").string() + " -o " + page),
            1);
  EXPECT_NE(read_text(page).find("\"kind\":\"not_implemented\""), std::string::npos);
  write_text(dir / "bad.json", "{}");
  EXPECT_EQ(zavo_prune(dir, "view " + (dir / "bad.json").string() + " -o " + page), 2);
  EXPECT_EQ(zavo_prune(dir, "view " + example_path("residual_block.json").string()), 2);
  EXPECT_EQ(zavo_prune(dir, "view " + example_path("residual_block.json").string() + " -o " +
                                (dir / "missing" / "page.html").string()),
            2);
  EXPECT_NE(read_text(page).find("\"kind\":\"not_implemented\""), std::string::npos)
      << "a failed run leaves the earlier page";
  EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"bad.json", "page.html"}));
}

}  // namespace
}  // namespace zavo::graph
