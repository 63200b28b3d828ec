#pragma once
// The report of one parse: the final labels of every node, the prunability of every label, the
// warnings and the error, and the channel classes of the parameters. Everything that reaches
// the report is in file order or sorted, so two parses of one graph give the same bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "zavo/graph/parse.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

using pruning::engine::utils::Label;

// One slice of a parameter tensor: index `index` of dimension `dim`.
struct ChannelSlice {
  const tensor_trace::ZavoNode* parameter;
  std::int64_t dim;
  std::int64_t index;
};

// A channel class carried by parameters, and every slice that pruning it removes.
struct ChannelGroup {
  Label label;
  bool prunable;
  std::vector<ChannelSlice> channels;  // parameters in file order, then dimension, then index
};

struct DimensionChannels {
  std::int64_t size;
  std::int64_t prunable;  // indices whose label is prunable
};

struct ParameterChannels {
  const tensor_trace::ZavoNode* parameter;
  std::vector<DimensionChannels> dims;  // empty when the shape is unknown
  // Element counts saturate at the largest value instead of wrapping.
  std::uint64_t elements;
  // Elements that pruning some prunable class removes.
  std::uint64_t prunable_elements;
};

struct ReportSummary {
  std::int64_t nodes = 0;
  std::int64_t inputs = 0;
  std::int64_t parameters = 0;
  std::int64_t calls = 0;
  std::int64_t channel_classes = 0;
  std::int64_t prunable_classes = 0;
  std::uint64_t parameter_elements = 0;
  std::uint64_t prunable_parameter_elements = 0;
  std::int64_t warnings = 0;
  std::int64_t recovered_errors = 0;
  // True when every node was handled (the parse did not stop on an error).
  bool completed = false;

  // prunable_parameter_elements / parameter_elements; 0 without parameter elements.
  double prunable_share() const;
};

struct Report {
  const tensor_trace::Graph* graph;
  const ParseResult* result;
  std::vector<ChannelGroup> groups;           // sorted by label
  std::vector<ParameterChannels> parameters;  // those with recorded labels, in file order
  ReportSummary summary;
};

// The report of `result`, a parse of `graph`; it refers to both, which must outlive it.
Report build_report(const tensor_trace::Graph& graph, const ParseResult& result);

// The report as JSON (format "zavo.report", version 1), one line per entry of each list.
std::string report_json(const Report& report);

}  // namespace zavo::graph
