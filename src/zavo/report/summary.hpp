#pragma once
// The readable summary of a report, for a person at a terminal.

#include <string>

#include "zavo/report/report.hpp"

namespace zavo::graph {

// The model and its counts, the prunable share of parameter elements, a table of the parameter
// tensors with their prunable channels per dimension, the warnings grouped by message with the
// nodes that raised them, and the error, if any.
std::string summary_text(const Report& report);

}  // namespace zavo::graph
