#pragma once
// The view of a report: one self-contained HTML page that draws the graph, coloured by the
// tied sets of its parameters. Everything the page needs (its script, its styles and the data)
// is inline, so it opens from a file with no network.
//
// The page carries the graph and, per parameter dimension, its tied set and prunable channel
// count: its size grows with the nodes and the parameter dimensions, never with the number of
// channel labels.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zavo/graph/report.hpp"

namespace zavo::graph {

// Parameter dimensions whose channels are pruned together, index by index: the dimensions that
// share a label, closed under sharing. This is the unit a pruner ranks.
struct TiedSet {
  std::int64_t channels = 0;  // distinct labels of its dimensions
  std::int64_t prunable = 0;  // of those, the prunable ones
  // The smallest label of the set that is not prunable, if any: the one whose reason explains
  // why the set's channels are kept.
  std::optional<Label> kept_label;
  // Why the set's channels are kept and the nodes that led there, when the report knows; both
  // empty otherwise.
  std::string reason;
  std::vector<std::string> via;
};

struct TiedSets {
  // Numbered in the order of their first parameter dimension (file order, then dimension).
  std::vector<TiedSet> sets;
  // For `report.parameters[p].dims[d]`: the index of its set, or -1 for a dimension without
  // labels.
  std::vector<std::vector<std::int64_t>> of_parameter;
  // For the node with id `n`: the distinct sets its output labels belong to, in the order of
  // their first label (dimension, then index). Labels that no parameter carries belong to none.
  std::vector<std::vector<std::int64_t>> of_node;
};

// The tied sets of the parameters of `report`, from the final labels of its parse.
TiedSets tied_sets(const Report& report);

// The view page of `report`.
std::string view_html(const Report& report);

}  // namespace zavo::graph
