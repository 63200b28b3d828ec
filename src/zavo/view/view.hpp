#pragma once
// The view of a report: one self-contained HTML page that draws the graph, coloured by the
// tied sets of its parameters. Everything the page needs (its script, its styles and the data)
// is inline, so it opens from a file with no network.
//
// The page carries the graph, per parameter dimension its tied set and prunable channel count,
// and the tied sets, classes and reasons as the report writes them: its size grows with the
// nodes and the parameter dimensions, never with the number of channel labels.

#include <cstdint>
#include <string>
#include <vector>

#include "zavo/report/report.hpp"
#include "zavo/report/tied_sets.hpp"

namespace zavo::graph {

// For the node with id `n`: the distinct tied sets its output labels belong to, in the order of
// their first label (dimension, then index). Labels that no parameter carries belong to none.
std::vector<std::vector<std::int64_t>> node_sets(const Report& report, const TiedSets& tied);

// The view page of `report`.
std::string view_html(const Report& report);

}  // namespace zavo::graph
