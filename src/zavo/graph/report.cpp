#include "zavo/graph/report.hpp"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "zavo/graph/explain.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::utils::DimensionLabels;
using pruning::engine::utils::PruneGraphParserState;
using pruning::engine::utils::TensorLabels;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;

std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  if (__builtin_mul_overflow(a, b, &product))
    return std::numeric_limits<std::uint64_t>::max();
  return product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  if (__builtin_add_overflow(a, b, &sum))
    return std::numeric_limits<std::uint64_t>::max();
  return sum;
}

const TensorLabels* recorded_labels(const PruneGraphParserState& state, const ZavoNode& node) {
  auto it = state.channel_labels_by_nodes.find(&node);
  return it == state.channel_labels_by_nodes.end() ? nullptr : &it->second;
}

bool is_prunable(const PruneGraphParserState& state, Label label) {
  return pruning::engine::utils::is_label_prunable(state, label);
}

ParameterChannels parameter_channels(const PruneGraphParserState& state, const ZavoNode& node) {
  ParameterChannels out{&node, {}, 0, 0};
  if (!node.result_shape)
    return out;
  const TensorLabels* labels = recorded_labels(state, node);
  std::uint64_t elements = 1;
  std::uint64_t kept = 1;  // elements that no prunable class removes
  for (std::size_t d = 0; d < node.result_shape->size(); ++d) {
    DimensionChannels dim{(*node.result_shape)[d], 0};
    const DimensionLabels* dim_labels = labels && d < labels->size() ? &(*labels)[d] : nullptr;
    if (dim_labels && *dim_labels) {
      for (Label label : **dim_labels)
        dim.prunable += is_prunable(state, label) ? 1 : 0;
    }
    elements = saturating_multiply(elements, static_cast<std::uint64_t>(dim.size));
    kept = saturating_multiply(kept, static_cast<std::uint64_t>(dim.size - dim.prunable));
    out.dims.push_back(dim);
  }
  out.elements = elements;
  out.prunable_elements = elements - std::min(kept, elements);
  return out;
}

// JSON text of a string, with any invalid UTF-8 replaced so that writing never fails.
std::string json_text(std::string_view text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const char* boolean(bool value) {
  return value ? "true" : "false";
}

void append_labels(std::string& out, const DimensionLabels& labels) {
  if (!labels) {
    out += "null";
    return;
  }
  out += '[';
  for (std::size_t i = 0; i < labels->size(); ++i) {
    if (i)
      out += ", ";
    out += std::to_string((*labels)[i]);
  }
  out += ']';
}

void append_error(std::string& out, const NodeError& error) {
  out += "{\"node\": " + std::to_string(error.node) + ", \"kind\": \"" +
         std::string(error_kind_name(error.kind)) + "\", \"message\": " + json_text(error.message) +
         "}";
}

// `"key": [` one entry per line `]`, or `"key": []`.
template <typename Items, typename AppendItem>
void append_list(std::string& out, std::string_view key, const Items& items,
                 AppendItem append_item) {
  out += "  \"";
  out += key;
  out += "\": [";
  bool first = true;
  for (const auto& item : items) {
    out += first ? "\n    " : ",\n    ";
    first = false;
    append_item(out, item);
  }
  out += first ? "],\n" : "\n  ],\n";
}

void append_summary(std::string& out, const ReportSummary& s) {
  nlohmann::ordered_json summary = {
      {"nodes", s.nodes},
      {"inputs", s.inputs},
      {"parameters", s.parameters},
      {"calls", s.calls},
      {"channel_classes", s.channel_classes},
      {"prunable_classes", s.prunable_classes},
      {"parameter_elements", s.parameter_elements},
      {"prunable_parameter_elements", s.prunable_parameter_elements},
      {"prunable_share", s.prunable_share()},
      {"warnings", s.warnings},
      {"recovered_errors", s.recovered_errors},
      {"completed", s.completed},
  };
  out += "  \"summary\": {";
  bool first = true;
  for (const auto& [key, value] : summary.items()) {
    out += first ? "" : ", ";
    first = false;
    out += json_text(key) + ": " + value.dump();
  }
  out += "}\n";
}

}  // namespace

double ReportSummary::prunable_share() const {
  if (parameter_elements == 0)
    return 0.0;
  return static_cast<double>(prunable_parameter_elements) / static_cast<double>(parameter_elements);
}

Report build_report(const tensor_trace::Graph& graph, const ParseResult& result) {
  const PruneGraphParserState& state = result.state;
  Report report{&graph, &result, {}, {}, {}};
  ReportSummary& summary = report.summary;

  std::unordered_map<Label, std::size_t> group_of_label;
  for (const auto& owned : graph.nodes()) {
    const ZavoNode& node = *owned;
    ++summary.nodes;
    if (node.kind == NodeKind::Input)
      ++summary.inputs;
    if (node.kind == NodeKind::Call)
      ++summary.calls;
    if (node.kind != NodeKind::Parameter)
      continue;
    ++summary.parameters;
    // A parse that stopped early has not reached the later parameters.
    const TensorLabels* labels = recorded_labels(state, node);
    if (!labels)
      continue;
    report.parameters.push_back(parameter_channels(state, node));
    const auto& channels = report.parameters.back();
    summary.parameter_elements = saturating_add(summary.parameter_elements, channels.elements);
    summary.prunable_parameter_elements =
        saturating_add(summary.prunable_parameter_elements, channels.prunable_elements);

    for (std::size_t d = 0; d < labels->size(); ++d) {
      const DimensionLabels& dim_labels = (*labels)[d];
      if (!dim_labels)
        continue;
      for (std::size_t i = 0; i < dim_labels->size(); ++i) {
        Label label = (*dim_labels)[i];
        auto [it, added] = group_of_label.emplace(label, report.groups.size());
        if (added)
          report.groups.push_back(ChannelGroup{label, is_prunable(state, label), {}});
        report.groups[it->second].channels.push_back(
            ChannelSlice{&node, static_cast<std::int64_t>(d), static_cast<std::int64_t>(i)});
      }
    }
  }
  std::sort(report.groups.begin(), report.groups.end(),
            [](const ChannelGroup& a, const ChannelGroup& b) { return a.label < b.label; });

  summary.channel_classes = static_cast<std::int64_t>(report.groups.size());
  summary.prunable_classes = std::count_if(report.groups.begin(), report.groups.end(),
                                           [](const ChannelGroup& g) { return g.prunable; });
  summary.warnings = static_cast<std::int64_t>(result.warnings.size());
  summary.recovered_errors = static_cast<std::int64_t>(result.recovered_errors.size());
  summary.completed = !result.error.has_value();
  return report;
}

std::string report_json(const Report& report) {
  const tensor_trace::Graph& graph = *report.graph;
  const ParseResult& result = *report.result;
  const PruneGraphParserState& state = result.state;
  // Room for the whole text up front: growing a string of many megabytes step by step copies it
  // again and again.
  std::size_t slices = 0;
  for (const ChannelGroup& group : report.groups)
    slices += group.channels.size();
  std::string out;
  out.reserve(64 * (graph.size() + slices) + 16 * state.is_prunable.size() +
              128 * result.warnings.size());
  out += "{\n  \"format\": \"zavo.report\",\n  \"version\": 1,\n  \"model\": " +
         json_text(graph.model) + ",\n";

  std::vector<std::pair<const ZavoNode*, const TensorLabels*>> nodes;
  nodes.reserve(graph.size());
  for (const auto& owned : graph.nodes()) {
    if (const TensorLabels* labels = recorded_labels(state, *owned))
      nodes.emplace_back(owned.get(), labels);
  }
  append_list(out, "nodes", nodes, [](std::string& o, const auto& entry) {
    const auto& [node, labels] = entry;
    o += "{\"id\": " + std::to_string(node->id) + ", \"name\": " + json_text(node->name) +
         ", \"labels\": [";
    for (std::size_t d = 0; d < labels->size(); ++d) {
      if (d)
        o += ", ";
      append_labels(o, (*labels)[d]);
    }
    o += "]}";
  });

  std::vector<std::pair<Label, bool>> prunable(state.is_prunable.begin(), state.is_prunable.end());
  std::sort(prunable.begin(), prunable.end());
  append_list(out, "is_prunable", prunable, [](std::string& o, const auto& entry) {
    o += "[" + std::to_string(entry.first) + ", " + boolean(entry.second) + "]";
  });

  append_list(out, "warnings", result.warnings, [](std::string& o, const NodeWarning& warning) {
    o += "{\"node\": " + std::to_string(warning.node) +
         ", \"message\": " + json_text(warning.message) + "}";
  });

  out += "  \"error\": ";
  if (result.error)
    append_error(out, *result.error);
  else
    out += "null";
  out += ",\n";

  append_list(out, "recovered_errors", result.recovered_errors, append_error);

  // A class can hold thousands of slices of few parameters: quote each name once.
  std::vector<std::string> quoted_names(graph.size());
  for (const ParameterChannels& parameter : report.parameters) {
    quoted_names[static_cast<std::size_t>(parameter.parameter->id)] =
        json_text(parameter.parameter->name);
  }
  Reasons reasons(graph, result);
  append_list(out, "groups", report.groups, [&](std::string& o, const ChannelGroup& group) {
    o += "{\"label\": " + std::to_string(group.label) +
         ", \"prunable\": " + boolean(group.prunable) + ", \"channels\": [";
    for (std::size_t i = 0; i < group.channels.size(); ++i) {
      const ChannelSlice& slice = group.channels[i];
      if (i)
        o += ", ";
      o += "{\"node\": ";
      o += quoted_names[static_cast<std::size_t>(slice.parameter->id)];
      o += ", \"dim\": ";
      o += std::to_string(slice.dim);
      o += ", \"index\": ";
      o += std::to_string(slice.index);
      o += '}';
    }
    o += "]";
    append_group_reason(o, reasons, group);
    o += "}";
  });
  append_dropped(out, report);

  append_summary(out, report.summary);
  out += "}\n";
  return out;
}

}  // namespace zavo::graph
