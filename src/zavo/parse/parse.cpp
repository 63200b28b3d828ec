#include "zavo/parse/parse.hpp"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <unordered_set>
#include <utility>

#include "zavo/platform/errors.hpp"
#include "zavo/platform/logging.hpp"
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

namespace {

// One parse, node by node: the state set up from the options, then nodes handed over in file
// order, then the outputs and the dropped labels once the whole graph is known.
class Parse {
 public:
  Parse(const ParseOptions& options, ParseResult& result)
      : options_(options),
        result_(result),
        state_(result.state),
        capture_(result.warnings, current_node_) {
    result_.rules = options.rules;
    if (options.reuse) {
      state_ = std::move(options.reuse->state);
      state_.reset();
    }
    // The extended rules read a label folded into another as the label it was folded into,
    // wherever a handler kept it; the catalogue's reports stay as they have always been.
    state_.store().resolve_retired = options.rules == RuleSet::Extended;
    state_.label_position_budget = options.label_position_budget.value_or(
        pruning::engine::utils::default_label_position_budget());
    if (options.provenance) {
      if (options.reuse && options.reuse->provenance) {
        result_.provenance = std::move(options.reuse->provenance);
        result_.provenance->reset();
      } else {
        result_.provenance = std::make_unique<ProvenanceRecorder>();
      }
      state_.observer = result_.provenance.get();
    }
    recorder_ = result_.provenance.get();
  }
  Parse(const Parse&) = delete;
  Parse& operator=(const Parse&) = delete;

  // The parameters' labels are most of a graph's: room for them from the start spares the
  // per-label tables their regrowth (copies, fresh pages, old and new at once). Only for a
  // quarter of the budget at most, so that the room taken ahead (some 40 bytes a label) stays
  // well inside what the budget allows and a graph over it is still refused before anything is
  // taken. `nodes` came from `share` of the graph's text: the rest is taken to hold parameters
  // alike, with an eighth to spare, as a shortfall would cost a regrowth at the end. The tables
  // that grow per node or per position are sized from what the nodes handled so far made.
  void reserve(std::span<const ZavoNode* const> nodes, double share = 1) {
    const std::int64_t reserve_limit = state_.label_position_budget / 4;
    std::int64_t parameter_positions = 0;
    for (const ZavoNode* node : nodes) {
      if (node->kind != NodeKind::Parameter || !node->result_shape)
        continue;
      for (std::int64_t size : *node->result_shape)
        parameter_positions += size > 1 && parameter_positions <= reserve_limit ? size : 0;
    }
    if (share < 1) {
      parameter_positions = static_cast<std::int64_t>(
          std::min(static_cast<double>(parameter_positions) * 1.125 / share,
                   static_cast<double>(reserve_limit) + 1));
    }
    if (parameter_positions <= reserve_limit) {
      const auto labels = static_cast<std::size_t>(parameter_positions);
      state_.reserve(labels);
      const double nodes_ahead =
          static_cast<double>(nodes.size()) * (share < 1 ? 1.125 / share : 1);
      state_.reserve_ahead(static_cast<std::size_t>(nodes_ahead), labels);
      if (recorder_)
        recorder_->reserve(labels);
    }
  }

  // `nodes`, the next ones in file order; false when a handler error stopped the parse.
  bool handle(std::span<const ZavoNode* const> nodes) {
    for (const ZavoNode* node : nodes) {
      if (!handle(*node))
        return false;
    }
    return true;
  }

  // The outputs marked when every node was handled, then the labels that nodes drop.
  void finish(const tensor_trace::Graph& graph, bool handled) {
    if (handled) {
      // A model's outputs keep their shape. An output listed again is marked once: the marks
      // are idempotent, and repeats must not multiply the work.
      std::unordered_set<const ZavoNode*> marked;
      for (const ZavoNode* output : graph.outputs) {
        if (!marked.insert(output).second)
          continue;
        enter(*output, LabelPhase::Output);
        _mark_labels_as_non_prunable(state_, get_flatten_labels(state_, *output));
      }
      check(nullptr);
    }
    result_.dropped = find_dropped_labels(graph, state_, options_.rules);
    if (options_.safe) {
      for (const DroppedLabels& drop : result_.dropped) {
        enter(graph.node(static_cast<std::size_t>(drop.node)), LabelPhase::Dropped);
        _mark_labels_as_non_prunable(state_, std::span<const Label>(drop.labels));
      }
    }
    state_.observer = nullptr;
  }

 private:
  void enter(const ZavoNode& node, LabelPhase phase) {
    if (recorder_)
      recorder_->enter(node, phase);
  }

  void check(const ZavoNode* after) {
    if (options_.check_invariants)
      check_state(state_, after);
  }

  bool handle(const ZavoNode& node) {
    static const auto default_handler = static_cast<NodeHandler>(_default_node_handler);
    current_node_ = node.id;
    try {
      switch (node.kind) {
        case NodeKind::Input:
        case NodeKind::Constant:
          add_node_output_info({.pruning_state = state_, .node = node, .labels = no_labels(node)});
          break;
        case NodeKind::Parameter:
          enter(node, LabelPhase::Parameter);
          add_node_output_info(
              {.pruning_state = state_, .node = node, .labels = parameter_labels(state_, node)});
          break;
        case NodeKind::Call: {
          const ZavoOpNode& call = *node.as_op_node();
          const NodeHandler handler = get_node_handler(call, options_.rules);
          enter(node, handler == default_handler ? LabelPhase::NoHandler : LabelPhase::Handler);
          try {
            handler(state_, call);
          } catch (...) {
            if (is_limit())
              rethrow_limit(node);
            NodeError error = current_error(node.id);
            if (!options_.lenient) {
              result_.error = std::move(error);
              check(&node);
              return false;
            }
            result_.recovered_errors.push_back(std::move(error));
            enter(node, LabelPhase::Recovery);
            _default_node_handler(state_, call);
          }
          break;
        }
      }
    } catch (...) {
      if (is_limit())
        rethrow_limit(node);
      // Only the host layer can fail here (the default handler, label bookkeeping).
      result_.error = current_error(node.id);
      check(&node);
      return false;
    }
    check(&node);
    return true;
  }

  const ParseOptions& options_;
  ParseResult& result_;
  PruneGraphParserState& state_;
  ProvenanceRecorder* recorder_ = nullptr;
  std::int64_t current_node_ = -1;
  WarningCapture capture_;
};

// Holds the engine's log lines while it lives, until `release` writes them, in order, where
// they would have gone; lines after that go there straight away. Lines never released are
// dropped.
class HeldLog {
 public:
  HeldLog()
      : previous_(logging::set_sink(
            [this](const logging::Logger& logger, logging::Level level, std::string_view line) {
              lines_.push_back({&logger, level, std::string(line)});
            })) {}
  ~HeldLog() {
    if (!released_)
      logging::set_sink(std::move(previous_));
  }
  HeldLog(const HeldLog&) = delete;
  HeldLog& operator=(const HeldLog&) = delete;

  void release() {
    if (std::exchange(released_, true))
      return;
    logging::set_sink(previous_);
    for (const Line& line : lines_)
      previous_(*line.logger, line.level, line.text);
    lines_.clear();
  }

 private:
  struct Line {
    const logging::Logger* logger;
    logging::Level level;
    std::string text;
  };
  logging::Sink previous_;
  std::vector<Line> lines_;
  bool released_ = false;
};

}  // namespace

ParseResult parse_graph(const tensor_trace::Graph& graph, const ParseOptions& options) {
  ParseResult result;
  {
    Parse parse(options, result);
    parse.reserve(graph.nodes());
    parse.finish(graph, parse.handle(graph.nodes()));
  }
  return result;
}

ParseResult parse_graph(tensor_trace::NodeFeed& feed, const ParseOptions& options) {
  {
    ParseResult result;
    HeldLog log;
    Parse parse(options, result);
    bool handled = true;
    // Room for the parameters' labels is taken once a part of the text large enough to tell
    // what the rest holds has been read, and again, sized exactly, when the graph is whole.
    bool reserved = false;
    bool reserved_whole = false;
    constexpr double kTellingShare = 1.0 / 32;
    try {
      for (std::size_t seen = 0; handled;) {
        const std::span<const ZavoNode* const> nodes = feed.after(seen);
        const bool complete = feed.complete();
        if (!reserved_whole) {
          const double share = complete ? 1 : feed.read_share();
          if (complete || (!reserved && share >= kTellingShare)) {
            parse.reserve(nodes, share);
            reserved = true;
            reserved_whole = complete;
          }
        }
        if (complete)
          log.release();
        if (nodes.size() <= seen)
          break;
        handled = parse.handle(nodes.subspan(seen));
        seen = nodes.size();
      }
    } catch (...) {
      // Whatever stopped the parse waits for the reading, whose error wins.
      feed.whole();
      if (!feed.read_again()) {
        log.release();
        throw;
      }
    }
    const tensor_trace::Graph& graph = feed.whole();
    if (!feed.read_again()) {
      log.release();
      parse.finish(graph, handled);
      return result;
    }
  }
  // The file was read again, into other nodes: what was parsed of the first reading is dropped,
  // and the graph parsed whole, as a graph in memory is.
  ParseOptions again = options;
  again.reuse = nullptr;
  return parse_graph(feed.whole(), again);
}

}  // namespace zavo::graph
