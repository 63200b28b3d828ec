#pragma once
// The readable summary of a report, for a person at a terminal.

#include <functional>
#include <string>
#include <string_view>

#include "zavo/report/report.hpp"

namespace zavo::graph {

// The model and its counts, the prunable share of parameter elements, a table of the parameter
// tensors with their prunable channels per dimension, the warnings grouped by message with the
// nodes that raised them, and the error, if any.
std::string summary_text(const Report& report);
// The same text handed to `write` in pieces of about a megabyte as it is made, so that the
// summary of a large graph is never held whole.
void write_summary(const Report& report, const std::function<void(std::string_view)>& write);

}  // namespace zavo::graph
