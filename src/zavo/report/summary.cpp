#include "zavo/report/summary.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zavo/report/explain.hpp"
#include "zavo/report/json_writer.hpp"

namespace zavo::graph {
namespace {

using tensor_trace::ZavoNode;

// At most this many node names follow a warning; the rest are counted.
constexpr std::size_t kNamesPerWarning = 8;

std::string plural(std::int64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// `part` of `whole` in percent with one decimal, rounded down: 100.0% only when all of it.
std::string percent(std::uint64_t part, std::uint64_t whole) {
  long double tenths =
      whole ? std::floor(static_cast<long double>(part) * 1000.0L / static_cast<long double>(whole))
            : 0.0L;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1Lf%%", tenths / 10.0L);
  return buffer;
}

// Continuation lines of a multi-line message, indented like its first line.
std::string indented(std::string_view message, std::string_view indent) {
  std::string out;
  for (char c : message) {
    out += c;
    if (c == '\n')
      out += indent;
  }
  return out;
}

std::string node_text(const tensor_trace::Graph& graph, std::int64_t id) {
  const ZavoNode& node = graph.node(static_cast<std::size_t>(id));
  std::string out = "node " + std::to_string(id) + " \"" + node.name + "\"";
  if (const auto* call = node.as_op_node())
    out += " (" + call->operation->qualified_name() + ")";
  return out;
}

void append_error(std::string& out, const tensor_trace::Graph& graph, const NodeError& error) {
  out += "  " + node_text(graph, error.node) + ", " + std::string(error_kind_name(error.kind)) +
         ":\n    " + indented(error.message, "    ") + "\n";
}

void append_counts(std::string& out, const Report& report) {
  const ReportSummary& s = report.summary;
  out += "model: " + report.graph->model + "\n";
  if (report.result->rules != RuleSet::Core) {
    out += "rules: " +
           std::string(pruning::engine::node_handlers::rule_set_name(report.result->rules)) + "\n";
  }
  out += "nodes: " + std::to_string(s.nodes) + " (" + plural(s.inputs, "input", "inputs") + ", ";
  if (s.constants)
    out += plural(s.constants, "constant", "constants") + ", ";
  out += plural(s.parameters, "parameter", "parameters") + ", " + plural(s.calls, "call", "calls") +
         ")\n";
  const ParseResult& result = *report.result;
  if (result.error) {
    out += "parse: stopped at node " + std::to_string(result.error->node) +
           " by the error below; what follows covers the nodes before it\n";
  } else if (!result.recovered_errors.empty()) {
    out += "parse: complete, " +
           plural(static_cast<std::int64_t>(result.recovered_errors.size()), "error", "errors") +
           " handed to the default handler (below)\n";
  } else {
    out += "parse: complete\n";
  }
  out += "channel classes: " + std::to_string(s.channel_classes) + " (" +
         std::to_string(s.prunable_classes) + " prunable)\n";
  out += "prunable share of parameter elements: " +
         percent(s.prunable_parameter_elements, s.parameter_elements) + " (" +
         std::to_string(s.prunable_parameter_elements) + " of " +
         std::to_string(s.parameter_elements) + ")\n";
}

// The text of a shape, made once for a run of parameters that share it (a graph holds each
// shape once).
class ShapeTexts {
 public:
  const std::string& operator()(const tensor_trace::ResultShape& shape) {
    const tensor_trace::Shape* at = shape ? &*shape : nullptr;
    if (!made_ || at != last_) {
      text_ = tensor_trace::shape_text(shape);
      last_ = at;
      made_ = true;
    }
    return text_;
  }

 private:
  const tensor_trace::Shape* last_ = nullptr;
  bool made_ = false;
  std::string text_;
};

void append_parameter_table(ChunkedWriter& writer, const Report& report) {
  if (report.parameters.empty())
    return;
  std::string& out = writer.text();
  constexpr std::string_view kName = "parameter", kShape = "shape",
                             kChannels = "prunable/channels per dimension";
  ShapeTexts shape_of;
  std::size_t name_width = kName.size(), shape_width = kShape.size();
  for (const ParameterChannels& p : report.parameters) {
    name_width = std::max(name_width, p.parameter->name.size());
    shape_width = std::max(shape_width, shape_of(p.parameter->result_shape).size());
  }
  // Each row padded into columns, without trailing spaces.
  std::string line;
  auto row = [&](std::string_view name, std::string_view shape, auto&& channels) {
    line.assign(name);
    line.append(name_width + 2 - name.size(), ' ');
    line.append(shape);
    line.append(shape_width + 2 - shape.size(), ' ');
    channels(line);
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    out += line;
    out += '\n';
    writer.maybe_flush();
  };
  out += "\n";
  row(kName, kShape, [&](std::string& text) { text += kChannels; });
  for (const ParameterChannels& p : report.parameters) {
    row(p.parameter->name, shape_of(p.parameter->result_shape), [&](std::string& text) {
      for (std::size_t d = 0; d < p.dims.size(); ++d) {
        if (d)
          text += "  ";
        append_int(text, p.dims[d].prunable);
        text += '/';
        append_int(text, p.dims[d].size);
      }
    });
  }
}

void append_warnings(ChunkedWriter& writer, const Report& report) {
  const auto& warnings = report.result->warnings;
  if (warnings.empty())
    return;
  std::string& out = writer.text();
  // Grouped by message, in the order of each message's first emission.
  std::vector<std::pair<std::string_view, std::vector<std::int64_t>>> groups;
  std::unordered_map<std::string_view, std::size_t> group_of_message;
  for (const NodeWarning& warning : warnings) {
    auto [it, added] = group_of_message.emplace(warning.message, groups.size());
    if (added)
      groups.push_back({warning.message, {}});
    groups[it->second].second.push_back(warning.node);
  }
  out += "\nwarnings: " + std::to_string(warnings.size()) + "\n";
  for (const auto& [message, nodes] : groups) {
    out += "  " + indented(message, "  ") + "\n    " +
           plural(static_cast<std::int64_t>(nodes.size()), "node", "nodes") + ": ";
    for (std::size_t i = 0; i < nodes.size() && i < kNamesPerWarning; ++i) {
      if (i)
        out += ", ";
      out += report.graph->node(static_cast<std::size_t>(nodes[i])).name;
    }
    if (nodes.size() > kNamesPerWarning)
      out += ", and " + std::to_string(nodes.size() - kNamesPerWarning) + " more";
    out += "\n";
    writer.maybe_flush();
  }
}

}  // namespace

void write_summary(const Report& report, const std::function<void(std::string_view)>& write) {
  ChunkedWriter writer(write);
  std::string& out = writer.text();
  append_counts(out, report);
  append_cause_summary(out, report);
  append_parameter_table(writer, report);
  append_warnings(writer, report);
  append_dropped_summary(writer, report);

  const ParseResult& result = *report.result;
  if (!result.recovered_errors.empty()) {
    out += "\nerrors handed to the default handler: " +
           std::to_string(result.recovered_errors.size()) + "\n";
    for (const NodeError& error : result.recovered_errors) {
      append_error(out, *report.graph, error);
      writer.maybe_flush();
    }
  }
  if (result.error) {
    out += "\nerror:\n";
    append_error(out, *report.graph, *result.error);
  }
  writer.flush();
}

std::string summary_text(const Report& report) {
  std::string text;
  write_summary(report, [&text](std::string_view piece) { text += piece; });
  return text;
}

}  // namespace zavo::graph
