#include "zavo/graph/view.hpp"

#include "zavo/graph/explain.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "zavo/graph/view_assets.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::get_prune_labels;
using pruning::engine::utils::has_recorded_labels;
using pruning::engine::utils::is_label_prunable;
using pruning::engine::utils::LabelList;
using pruning::engine::utils::PruneGraphParserState;
using pruning::engine::utils::TensorLabels;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;
using Json = nlohmann::json;

// Union-find over parameter dimensions; the root of a set is its first dimension.
class DisjointSets {
 public:
  std::size_t add() {
    parent_.push_back(parent_.size());
    return parent_.size() - 1;
  }
  std::size_t find(std::size_t k) {
    while (parent_[k] != k) {
      parent_[k] = parent_[parent_[k]];
      k = parent_[k];
    }
    return k;
  }
  void unite(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a != b)
      parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<std::size_t> parent_;
};

// Appends `set` to `sets` unless it is there; label lists run in long stretches of one set, so
// the last entry is checked first.
void add_distinct(std::vector<std::int64_t>& sets, std::int64_t set) {
  if (!sets.empty() && sets.back() == set)
    return;
  if (std::find(sets.begin(), sets.end(), set) == sets.end())
    sets.push_back(set);
}

Json shape_json(const std::optional<tensor_trace::Shape>& shape) {
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
//   set:       {"channels", "prunable"} and, when known, "reason" and "via"
Json view_data(const Report& report, const TiedSets& tied) {
  const tensor_trace::Graph& graph = *report.graph;
  const ParseResult& result = *report.result;
  const ReportSummary& s = report.summary;

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
      for (const ZavoNode* input : call->collect_all_input_nodes()) {
        if (std::find(ids.begin(), ids.end(), input->id) == ids.end())
          ids.push_back(input->id);
      }
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
                                 tied.of_node[static_cast<std::size_t>(node.id)]}));
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

  Json sets = Json::array();
  for (const TiedSet& set : tied.sets) {
    Json entry = {{"channels", set.channels}, {"prunable", set.prunable}};
    if (!set.reason.empty())
      entry["reason"] = set.reason;
    if (!set.via.empty())
      entry["via"] = set.via;
    sets.push_back(std::move(entry));
  }

  Json warnings = Json::array();
  for (const NodeWarning& warning : result.warnings)
    warnings.push_back(Json::array({warning.node, warning.message}));
  Json recovered = Json::array();
  for (const NodeError& error : result.recovered_errors)
    recovered.push_back(error_json(error));
  std::vector<std::int64_t> outputs;
  for (const ZavoNode* output : graph.outputs)
    outputs.push_back(output->id);

  return {
      {"model", graph.model},
      {"summary", summary_json(s)},
      {"ops", ops},
      {"nodes", nodes},
      {"outputs", outputs},
      {"parameters", parameters},
      {"sets", sets},
      {"warnings", warnings},
      {"error", result.error ? error_json(*result.error) : Json(nullptr)},
      {"recovered_errors", recovered},
  };
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

TiedSets tied_sets(const Report& report) {
  const PruneGraphParserState& state = report.result->state;
  TiedSets tied;

  // Every parameter dimension with labels, and the first dimension each label was seen in.
  DisjointSets dims;
  std::vector<std::vector<std::size_t>> dim_of(report.parameters.size());
  std::unordered_map<Label, std::size_t> owner;
  for (std::size_t p = 0; p < report.parameters.size(); ++p) {
    const ParameterChannels& parameter = report.parameters[p];
    TensorLabels labels = get_prune_labels(state, *parameter.parameter);
    for (std::size_t d = 0; d < parameter.dims.size(); ++d) {
      const DimensionLabels* dim_labels = d < labels.size() ? &labels[d] : nullptr;
      if (!dim_labels || !*dim_labels || (*dim_labels)->empty()) {
        dim_of[p].push_back(SIZE_MAX);
        continue;
      }
      std::size_t k = dims.add();
      dim_of[p].push_back(k);
      for (Label label : **dim_labels) {
        auto [it, added] = owner.emplace(label, k);
        if (!added)
          dims.unite(it->second, k);
      }
    }
  }

  // Sets numbered by their first dimension, which is the root of its set.
  std::unordered_map<std::size_t, std::int64_t> set_of_root;
  for (std::size_t p = 0; p < dim_of.size(); ++p) {
    std::vector<std::int64_t>& sets = tied.of_parameter.emplace_back();
    for (std::size_t k : dim_of[p]) {
      if (k == SIZE_MAX) {
        sets.push_back(-1);
        continue;
      }
      auto [it, added] =
          set_of_root.emplace(dims.find(k), static_cast<std::int64_t>(tied.sets.size()));
      if (added)
        tied.sets.emplace_back();
      sets.push_back(it->second);
    }
  }
  std::unordered_map<Label, std::int64_t> set_of_label;
  set_of_label.reserve(owner.size());
  for (const auto& [label, k] : owner) {
    std::int64_t set = set_of_root.at(dims.find(k));
    set_of_label.emplace(label, set);
    TiedSet& entry = tied.sets[static_cast<std::size_t>(set)];
    ++entry.channels;
    if (is_label_prunable(state, label))
      ++entry.prunable;
    else if (!entry.kept_label || label < *entry.kept_label)
      entry.kept_label = label;
  }

  // Nodes share label lists with each other; each distinct list is looked through once.
  const tensor_trace::Graph& graph = *report.graph;
  tied.of_node.resize(graph.size());
  std::unordered_map<std::uint32_t, std::vector<std::int64_t>> sets_of_list;  // by list id
  for (const auto& owned : graph.nodes()) {
    if (!has_recorded_labels(state, *owned))
      continue;
    std::vector<std::int64_t>& node_sets = tied.of_node[static_cast<std::size_t>(owned->id)];
    for (const DimensionLabels& dim_labels : get_prune_labels(state, *owned)) {
      if (!dim_labels)
        continue;
      auto [it, added] = sets_of_list.try_emplace(dim_labels.id());
      if (added) {
        for (Label label : *dim_labels) {
          auto found = set_of_label.find(label);
          if (found != set_of_label.end())
            add_distinct(it->second, found->second);
        }
      }
      for (std::int64_t set : it->second)
        add_distinct(node_sets, set);
    }
  }
  return tied;
}

namespace {

// The reason and the chain of ties of every kept set, from the parse's provenance.
void add_reasons(const Report& report, TiedSets& tied) {
  Reasons reasons(*report.graph, *report.result);
  for (TiedSet& set : tied.sets) {
    if (!set.kept_label)
      continue;
    const std::optional<LabelCause> cause = reasons.cause(*set.kept_label);
    if (!cause)
      continue;
    set.reason = reasons.reason(*cause, *set.kept_label).sentence;
    for (std::string_view name : reasons.via_names(*cause))
      set.via.emplace_back(name);
  }
}

}  // namespace

std::string view_html(const Report& report) {
  TiedSets tied = tied_sets(report);
  add_reasons(report, tied);
  std::string data = script_safe(view_data(report, tied));
  return fill_template(view_assets::kPage, {{"/*zavo:style*/", view_assets::kStyle},
                                            {"/*zavo:data*/", data},
                                            {"/*zavo:script*/", view_assets::kScript}});
}

}  // namespace zavo::graph
