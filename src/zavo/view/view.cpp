#include "zavo/view/view.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "zavo/view/view_assets.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::get_prune_labels;
using pruning::engine::utils::has_recorded_labels;
using pruning::engine::utils::PruneGraphParserState;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;
using Json = nlohmann::json;

// Appends `set` to `sets` unless it is there; label lists run in long stretches of one set, so
// the last entry is checked first.
void add_distinct(std::vector<std::int64_t>& sets, std::int64_t set) {
  if (!sets.empty() && sets.back() == set)
    return;
  if (std::find(sets.begin(), sets.end(), set) == sets.end())
    sets.push_back(set);
}

Json shape_json(const tensor_trace::ResultShape& shape) {
  return shape ? Json(*shape) : Json(nullptr);
}

Json error_json(const NodeError& error) {
  return {{"node", error.node},
          {"kind", std::string(error_kind_name(error.kind))},
          {"message", error.message}};
}

// The data the page draws. Nodes and parameters are arrays to keep large graphs small:
//   node:      [kind (0 input, 1 parameter, 2 call, 3 constant), name, op index or -1, shape,
//               inputs, sets]
//   parameter: [node id, [[size, prunable, set], ...per dimension], elements, prunable elements]
// and the tied sets, classes and reasons as the report writes them.
Json view_data(const Report& report, const TiedSets& tied) {
  const tensor_trace::Graph& graph = *report.graph;
  const ParseResult& result = *report.result;
  const ReportSummary& s = report.summary;

  const std::vector<std::vector<std::int64_t>> sets_of_node = node_sets(report, tied);
  Json ops = Json::array();
  std::unordered_map<const tensor_trace::Operation*, std::size_t> op_index;
  Json nodes = Json::array();
  for (const auto& owned : graph.nodes()) {
    const ZavoNode& node = *owned;
    Json op = -1;
    Json inputs = Json::array();
    if (const auto* call = node.as_op_node()) {
      auto [it, added] = op_index.emplace(call->operation, ops.size());
      if (added)
        ops.push_back(call->operation->qualified_name());
      op = it->second;
      std::vector<std::int64_t> ids;
      for (const ZavoNode* input : call->distinct_input_nodes())
        ids.push_back(input->id);
      inputs = ids;
    }
    int kind = 2;
    switch (node.kind) {
      case NodeKind::Input:
        kind = 0;
        break;
      case NodeKind::Parameter:
        kind = 1;
        break;
      case NodeKind::Call:
        break;
      case NodeKind::Constant:
        kind = 3;
        break;
    }
    nodes.push_back(Json::array({kind, node.name, op, shape_json(node.result_shape), inputs,
                                 sets_of_node[static_cast<std::size_t>(node.id)]}));
  }

  Json parameters = Json::array();
  for (std::size_t p = 0; p < report.parameters.size(); ++p) {
    const ParameterChannels& parameter = report.parameters[p];
    Json dims = Json::array();
    for (std::size_t d = 0; d < parameter.dims.size(); ++d) {
      dims.push_back(Json::array(
          {parameter.dims[d].size, parameter.dims[d].prunable, tied.of_parameter[p][d]}));
    }
    parameters.push_back(Json::array(
        {parameter.parameter->id, dims, parameter.elements, parameter.prunable_elements}));
  }

  // The report's own entries, so that the page reads what a report file holds.
  auto entries = [](const auto& items, const auto& append) {
    std::string text = "[";
    for (const auto& item : items) {
      text += text.size() > 1 ? "," : "";
      append(text, item);
    }
    return Json::parse(text + "]");
  };
  Json sets = entries(tied.sets,
                      [&](std::string& o, const TiedSet& set) { append_set_json(o, tied, set); });
  Json classes = entries(tied.classes, append_class_json);
  Json reasons = entries(kept_reasons(report).table, [&](std::string& o, const KeptReason& reason) {
    append_reason_json(o, graph, reason);
  });

  Json warnings = Json::array();
  for (const NodeWarning& warning : result.warnings)
    warnings.push_back(Json::array({warning.node, warning.message}));
  Json recovered = Json::array();
  for (const NodeError& error : result.recovered_errors)
    recovered.push_back(error_json(error));
  std::vector<std::int64_t> outputs;
  for (const ZavoNode* output : graph.outputs)
    outputs.push_back(output->id);

  Json data = {
      {"model", graph.model},
      {"summary", summary_json(s)},
      {"ops", ops},
      {"nodes", nodes},
      {"outputs", outputs},
      {"parameters", parameters},
      {"sets", sets},
      {"classes", classes},
      {"reasons", reasons},
      {"warnings", warnings},
      {"error", result.error ? error_json(*result.error) : Json(nullptr)},
      {"recovered_errors", recovered},
  };
  // A page of the catalogue's rules stays as it was; others name their rules.
  if (result.rules != RuleSet::Core)
    data["rules"] = pruning::engine::node_handlers::rule_set_name(result.rules);
  return data;
}

// JSON text that can stand inside a <script> element: '<' only occurs inside strings, where
// its escape reads the same, so no "</script>" or "<!--" can end or bend the element.
std::string script_safe(const Json& data) {
  std::string text = data.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size() + text.size() / 64);
  for (char c : text) {
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
  }
  return out;
}

// `page` with each `{marker, text}` replaced, in order of the markers in the page.
std::string fill_template(std::string_view page,
                          std::vector<std::pair<std::string_view, std::string_view>> parts) {
  std::size_t total = page.size();
  for (const auto& part : parts)
    total += part.second.size();
  std::string out;
  out.reserve(total);
  for (const auto& [marker, text] : parts) {
    std::size_t at = page.find(marker);
    if (at == std::string_view::npos)
      continue;
    out.append(page.substr(0, at));
    out.append(text);
    page.remove_prefix(at + marker.size());
  }
  out.append(page);
  return out;
}

}  // namespace

std::vector<std::vector<std::int64_t>> node_sets(const Report& report, const TiedSets& tied) {
  const PruneGraphParserState& state = report.result->state;
  const tensor_trace::Graph& graph = *report.graph;
  std::vector<std::vector<std::int64_t>> of_node(graph.size());
  // Nodes share label lists with each other; each distinct list is looked through once.
  std::unordered_map<std::uint32_t, std::vector<std::int64_t>> sets_of_list;  // by list id
  for (const auto& owned : graph.nodes()) {
    if (!has_recorded_labels(state, *owned))
      continue;
    std::vector<std::int64_t>& sets = of_node[static_cast<std::size_t>(owned->id)];
    for (const DimensionLabels& dim_labels : get_prune_labels(state, *owned)) {
      if (!dim_labels)
        continue;
      auto [it, added] = sets_of_list.try_emplace(dim_labels.id());
      if (added) {
        for (Label label : *dim_labels) {
          const std::uint32_t set = tied.set_of_label[static_cast<std::size_t>(label)];
          if (set != TiedSets::kNoSet)
            add_distinct(it->second, set);
        }
      }
      for (std::int64_t set : it->second)
        add_distinct(sets, set);
    }
  }
  return of_node;
}

std::string view_html(const Report& report) {
  const TiedSets tied = tied_sets(report);
  std::string data = script_safe(view_data(report, tied));
  return fill_template(view_assets::kPage, {{"/*zavo:style*/", view_assets::kStyle},
                                            {"/*zavo:data*/", data},
                                            {"/*zavo:script*/", view_assets::kScript}});
}

}  // namespace zavo::graph
