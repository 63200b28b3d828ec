#pragma once
// The parse: every node of a graph, in file order, through the node handlers, into one pruning
// state. Deterministic: the same graph always gives the same labels, warnings and error.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zavo/parse/dropped.hpp"
#include "zavo/parse/provenance.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"
#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::graph {

using pruning::engine::node_handlers::RuleSet;

struct ParseResult;

struct ParseOptions {
  // Which handlers the parse uses: the catalogue's (`Core`), or the catalogue's with the
  // extended rules on top. The command and the Python package default to `Extended`.
  RuleSet rules = RuleSet::Core;
  // Stop at the first handler error (false), or report it, hand the node to the default handler
  // and go on (true).
  bool lenient = false;
  // The most label positions the parse may create; none: what fits this machine
  // (`default_label_position_budget`).
  std::optional<std::int64_t> label_position_budget;
  // Record why labels leave pruning and where classes are tied (`ParseResult::provenance`).
  bool provenance = true;
  // Also take the labels that a node drops (`ParseResult::dropped`) out of pruning.
  bool safe = false;
  // Check after every node (and after the outputs are marked) that the state's indexes agree
  // with each other (`check_invariants`); a violation is a fault of the engine, not of the
  // graph, and leaves the parse as a `StateInvariantError` naming the node, whatever `lenient`.
  // Recorded retired labels, which the handlers' rules produce, are not one. Costs time in
  // proportion to the state per node: for tests.
  bool check_invariants = false;
  // An earlier parse's result whose tables (its state's and its provenance's) the parse takes
  // over, reset, instead of fresh ones: the result is the same, only the memory is reused. It is
  // left moved from. Null: fresh tables.
  ParseResult* reuse = nullptr;
};

// The parse cannot go on within its limits: the label budget, or the machine's memory. Not an
// error of the graph's handling, so a lenient parse stops on it too, and there is no result.
class ParseLimitError : public std::runtime_error {
 public:
  ParseLimitError(const tensor_trace::ZavoNode& node, const std::string& message)
      : std::runtime_error("node " + node.name + ": " + message), node_id(node.id) {}
  std::int64_t node_id;
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
  // The rules the parse used.
  RuleSet rules = RuleSet::Core;
  pruning::engine::utils::PruneGraphParserState state;
  // Every warning, in emission order, with the node being handled when it was emitted.
  std::vector<NodeWarning> warnings;
  // The error that stopped the parse; none when every node was handled.
  std::optional<NodeError> error;
  // Lenient parses: the errors that were reported and handed to the default handler, in order.
  std::vector<NodeError> recovered_errors;
  // Why each label left pruning and where classes were tied; null when not recorded.
  std::unique_ptr<ProvenanceRecorder> provenance;
  // The nodes that drop prunable labels (found before `safe` takes them out), in file order.
  std::vector<DroppedLabels> dropped;
};

// Parses `graph`: inputs get no labels, parameters fresh prunable labels in every dimension
// larger than 1, calls their handler; when every node is handled, the labels of the outputs are
// taken out of pruning. Then the labels that nodes drop are listed (and taken out with `safe`).
// Warnings are captured, not shown. Errors of the handlers end up in the result, never in an
// exception; only a limit of the run (`ParseLimitError`) or a failed `check_invariants` raises.
ParseResult parse_graph(const tensor_trace::Graph& graph, const ParseOptions& options = {});

// Parses the nodes of `feed` as they are handed over, while the graph is still being read, with
// the result `parse_graph` gives on the whole graph. Nothing of the parse shows before the reading
// has ended well: the engine's log lines are held until then, and whatever stops the parse
// (a handler error, a limit) waits for the reading, whose error (`GraphFileError`) is raised
// instead. A graph that had to be read again is parsed again, whole.
ParseResult parse_graph(tensor_trace::NodeFeed& feed, const ParseOptions& options = {});

}  // namespace zavo::graph
