#include "zavo/parse/parse.hpp"

#include <exception>
#include <memory>
#include <new>
#include <span>
#include <unordered_set>
#include <utility>

#include "zavo/platform/errors.hpp"
#include "zavo/platform/warnings.hpp"
#include "zavo/pruning/engine/node_handlers/default_handlers.hpp"
#include "zavo/pruning/engine/node_handlers/node_handlers.hpp"

namespace zavo::graph {
namespace {

using pruning::engine::node_handlers::_default_node_handler;
using pruning::engine::node_handlers::_mark_labels_as_non_prunable;
using pruning::engine::node_handlers::get_node_handler;
using pruning::engine::node_handlers::NodeHandler;
using pruning::engine::utils::add_node_output_info;
using pruning::engine::utils::generate_new_channel_labels;
using pruning::engine::utils::get_flatten_labels;
using pruning::engine::utils::Label;
using pruning::engine::utils::PruneGraphParserState;
using pruning::engine::utils::TensorLabelsBuffer;
using tensor_trace::NodeKind;
using tensor_trace::ZavoNode;
using tensor_trace::ZavoOpNode;

// Routes every warning emitted while it lives into `warnings`, attributed to `*current_node`.
class WarningCapture {
 public:
  WarningCapture(std::vector<NodeWarning>& warnings, const std::int64_t& current_node)
      : previous_(warnings::set_sink([&warnings, &current_node](const warnings::Warning& w) {
          warnings.push_back(NodeWarning{current_node, w.message});
        })) {}
  ~WarningCapture() { warnings::set_sink(std::move(previous_)); }
  WarningCapture(const WarningCapture&) = delete;
  WarningCapture& operator=(const WarningCapture&) = delete;

 private:
  warnings::Sink previous_;
};

// The error being handled, classified; call only inside a catch block.
NodeError current_error(std::int64_t node) {
  try {
    throw;
  } catch (const PruningEngineRuntimeException& e) {
    return {node, ErrorKind::UnsupportedGraph, e.what()};
  } catch (const NotImplementedError& e) {
    return {node, ErrorKind::NotImplemented, e.what()};
  } catch (const ValueError& e) {
    return {node, ErrorKind::InvalidValue, e.what()};
  } catch (const TypeError& e) {
    return {node, ErrorKind::Other, std::string("TypeError: ") + e.what()};
  } catch (const LookupError& e) {
    return {node, ErrorKind::Other, std::string("LookupError: ") + e.what()};
  } catch (const std::bad_alloc&) {
    return {node, ErrorKind::Other, "out of memory"};
  } catch (const std::exception& e) {
    return {node, ErrorKind::Other, e.what()};
  } catch (...) {
    return {node, ErrorKind::Other, "unknown error"};
  }
}

TensorLabelsBuffer no_labels(const ZavoNode& node) {
  return TensorLabelsBuffer(node.result_shape ? node.result_shape->size() : 0);
}

// Fresh prunable labels in every dimension larger than 1: a dimension of one channel has
// nothing to prune, and its labels would spread to other tensors through broadcasting.
TensorLabelsBuffer parameter_labels(PruneGraphParserState& state, const ZavoNode& node) {
  TensorLabelsBuffer labels = no_labels(node);
  for (std::size_t d = 0; d < labels.size(); ++d) {
    if ((*node.result_shape)[d] > 1) {
      labels[d] = generate_new_channel_labels({.pruning_state = state,
                                               .node = node,
                                               .dim = static_cast<std::int64_t>(d),
                                               .is_prunable = true});
    }
  }
  return labels;
}

// The state's self-check after `node` (null: after the outputs were marked), naming it.
void check_state(const PruneGraphParserState& state, const ZavoNode* node) {
  try {
    state.check_invariants();
  } catch (const pruning::engine::utils::StateInvariantError& e) {
    throw pruning::engine::utils::StateInvariantError(
        "after " + (node ? "node " + node->name : std::string("the outputs")) + ": " + e.what());
  }
}

}  // namespace

std::string_view error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::UnsupportedGraph:
      return "unsupported_graph";
    case ErrorKind::NotImplemented:
      return "not_implemented";
    case ErrorKind::InvalidValue:
      return "invalid_value";
    case ErrorKind::Other:
      return "other";
  }
  return "other";
}

namespace {

// Turns a limit of the run met while `node` was handled into `ParseLimitError`; call only inside
// a catch block. Other errors pass on.
[[noreturn]] void rethrow_limit(const ZavoNode& node) {
  try {
    throw;
  } catch (const ParseLimitError&) {
    throw;
  } catch (const pruning::engine::utils::LabelBudgetError& e) {
    throw ParseLimitError(node, "the parse would need more than " + std::to_string(e.budget()) +
                                    " label positions, its budget");
  } catch (const std::bad_alloc&) {
    throw ParseLimitError(node, "out of memory");
  }
}

bool is_limit() {
  try {
    throw;
  } catch (const ParseLimitError&) {
    return true;
  } catch (const pruning::engine::utils::LabelBudgetError&) {
    return true;
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

ParseResult parse_graph(const tensor_trace::Graph& graph, const ParseOptions& options) {
  ParseResult result;
  result.rules = options.rules;
  PruneGraphParserState& state = result.state;
  if (options.reuse) {
    state = std::move(options.reuse->state);
    state.reset();
  }
  // The extended rules read a label folded into another as the label it was folded into,
  // wherever a handler kept it; the catalogue's reports stay as they have always been.
  state.store().resolve_retired = options.rules == RuleSet::Extended;
  state.label_position_budget = options.label_position_budget.value_or(
      pruning::engine::utils::default_label_position_budget());
  if (options.provenance) {
    if (options.reuse && options.reuse->provenance) {
      result.provenance = std::move(options.reuse->provenance);
      result.provenance->reset();
    } else {
      result.provenance = std::make_unique<ProvenanceRecorder>();
    }
    state.observer = result.provenance.get();
  }
  ProvenanceRecorder* recorder = result.provenance.get();
  auto enter = [recorder](const ZavoNode& node, LabelPhase phase) {
    if (recorder)
      recorder->enter(node, phase);
  };
  // The parameters' labels are most of a graph's: room for them from the start spares the
  // per-label tables their regrowth (copies and fresh pages). Only for a quarter of the budget
  // at most, so that the room taken ahead (some 40 bytes a label) stays well inside what the
  // budget allows and a graph over it is still refused before anything is taken.
  const std::int64_t reserve_limit = state.label_position_budget / 4;
  std::int64_t parameter_positions = 0;
  for (const auto& owned : graph.nodes()) {
    if (owned->kind != NodeKind::Parameter || !owned->result_shape)
      continue;
    for (std::int64_t size : *owned->result_shape)
      parameter_positions += size > 1 && parameter_positions <= reserve_limit ? size : 0;
  }
  if (parameter_positions <= reserve_limit) {
    const auto labels = static_cast<std::size_t>(parameter_positions);
    state.reserve(labels);
    if (recorder)
      recorder->reserve(labels);
  }
  const auto default_handler = static_cast<NodeHandler>(_default_node_handler);
  std::int64_t current_node = -1;
  WarningCapture capture(result.warnings, current_node);
  auto check = [&](const ZavoNode* after) {
    if (options.check_invariants)
      check_state(state, after);
  };

  // Every node in file order; false when a handler error stopped the parse.
  auto handle_nodes = [&]() -> bool {
    for (const auto& owned : graph.nodes()) {
      const ZavoNode& node = *owned;
      current_node = node.id;
      try {
        switch (node.kind) {
          case NodeKind::Input:
          case NodeKind::Constant:
            add_node_output_info({.pruning_state = state, .node = node, .labels = no_labels(node)});
            break;
          case NodeKind::Parameter:
            enter(node, LabelPhase::Parameter);
            add_node_output_info(
                {.pruning_state = state, .node = node, .labels = parameter_labels(state, node)});
            break;
          case NodeKind::Call: {
            const ZavoOpNode& call = *node.as_op_node();
            const NodeHandler handler = get_node_handler(call, options.rules);
            enter(node, handler == default_handler ? LabelPhase::NoHandler : LabelPhase::Handler);
            try {
              handler(state, call);
            } catch (...) {
              if (is_limit())
                rethrow_limit(node);
              NodeError error = current_error(node.id);
              if (!options.lenient) {
                result.error = std::move(error);
                check(&node);
                return false;
              }
              result.recovered_errors.push_back(std::move(error));
              enter(node, LabelPhase::Recovery);
              _default_node_handler(state, call);
            }
            break;
          }
        }
      } catch (...) {
        if (is_limit())
          rethrow_limit(node);
        // Only the host layer can fail here (the default handler, label bookkeeping).
        result.error = current_error(node.id);
        check(&node);
        return false;
      }
      check(&node);
    }
    return true;
  };

  if (handle_nodes()) {
    // A model's outputs keep their shape. An output listed again is marked once: the marks are
    // idempotent, and repeats must not multiply the work.
    std::unordered_set<const ZavoNode*> marked;
    for (const ZavoNode* output : graph.outputs) {
      if (!marked.insert(output).second)
        continue;
      enter(*output, LabelPhase::Output);
      _mark_labels_as_non_prunable(state, get_flatten_labels(state, *output));
    }
    check(nullptr);
  }
  result.dropped = find_dropped_labels(graph, state, options.rules);
  if (options.safe) {
    for (const DroppedLabels& drop : result.dropped) {
      enter(graph.node(static_cast<std::size_t>(drop.node)), LabelPhase::Dropped);
      _mark_labels_as_non_prunable(state, std::span<const Label>(drop.labels));
    }
  }
  state.observer = nullptr;
  return result;
}

}  // namespace zavo::graph
