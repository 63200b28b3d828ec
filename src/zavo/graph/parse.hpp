#pragma once
// The parse: every node of a graph, in file order, through the node handlers, into one pruning
// state. Deterministic: the same graph always gives the same labels, warnings and error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

struct ParseOptions {
  // Stop at the first handler error (false), or report it, hand the node to the default handler
  // and go on (true).
  bool lenient = false;
  // Check after every node (and after the outputs are marked) that the state's indexes agree
  // with each other (`check_invariants`); a violation is a fault of the engine, not of the
  // graph, and leaves the parse as a `StateInvariantError` naming the node, whatever `lenient`.
  // Recorded retired labels, which the handlers' rules produce, are not one. Costs time in
  // proportion to the state per node: for tests.
  bool check_invariants = false;
};

enum class ErrorKind { UnsupportedGraph, NotImplemented, InvalidValue, Other };

// `unsupported_graph`, `not_implemented`, `invalid_value`, `other`.
std::string_view error_kind_name(ErrorKind kind);

struct NodeWarning {
  std::int64_t node;
  std::string message;
};

struct NodeError {
  std::int64_t node;
  ErrorKind kind;
  std::string message;
};

struct ParseResult {
  pruning::engine::utils::PruneGraphParserState state;
  // Every warning, in emission order, with the node being handled when it was emitted.
  std::vector<NodeWarning> warnings;
  // The error that stopped the parse; none when every node was handled.
  std::optional<NodeError> error;
  // Lenient parses: the errors that were reported and handed to the default handler, in order.
  std::vector<NodeError> recovered_errors;
};

// Parses `graph`: inputs get no labels, parameters fresh prunable labels in every dimension
// larger than 1, calls their handler; when every node is handled, the labels of the outputs are
// taken out of pruning. Warnings are captured, not shown. Errors of the handlers end up in the
// result, never in an exception (a failed `check_invariants` is not a handler error).
ParseResult parse_graph(const tensor_trace::Graph& graph, const ParseOptions& options = {});

}  // namespace zavo::graph
