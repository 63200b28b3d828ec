#pragma once
// Shared pieces of the node-handler tests: a fixture that is a graph builder recording
// warnings, the failure of an action as one comparable text, a capture of the module's debug
// lines, and a runner for calls that reduce or join dimensions.

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/graph_builder.hpp"
#include "zavo/platform/errors.hpp"
#include "zavo/platform/logging.hpp"
#include "zavo/platform/warnings.hpp"
#include "zavo/pruning/engine/node_handlers/common.hpp"

namespace zavo::pruning::engine::node_handlers::handler_test {

using tensor_trace::Sequence;
using testing::GraphBuilder;
using testing::none;

class Handlers : public ::testing::Test, public GraphBuilder {
 protected:
  // A node computed inside the graph (the result of a call the module does not handle) with
  // the given labels recorded for it.
  const ZavoOpNode& computed(const std::string& name, Shape shape, TensorLabels labels) {
    const ZavoOpNode& node = graph.add_call(name, tensor_trace::intern_operation("test.computed"),
                                            {}, {}, std::move(shape));
    for (const auto& dim_labels : labels) {
      for (Label label : dim_labels ? dim_labels->to_vector() : LabelList{})
        if (!state.prunable_flag(label))
          state.set_prunable_flag(label, true);
    }
    pruning::engine::utils::add_node_output_info(
        {.pruning_state = state, .node = node, .labels = std::move(labels)});
    return node;
  }

  void expect_prunable(std::initializer_list<Label> labels, bool expected) const {
    for (Label label : labels)
      EXPECT_EQ(prunable(label), expected) << "label " << label;
  }

  // Every label recorded for `node` has the given prunability.
  void expect_all_prunable(const ZavoNode& node, bool expected) const {
    for (Label label : get_flatten_labels(state, node))
      EXPECT_EQ(prunable(label), expected) << "label " << label;
  }

  warnings::ScopedRecorder warned;
};

// An input of `shape` labelled 0, 1, ... in dimension `prune_dim` only.
inline const ZavoNode& pruned_input(GraphBuilder& g, const Shape& shape, std::int64_t prune_dim) {
  TensorLabels labels(shape.size());
  LabelList channel_labels;
  for (Label label = 0; label < shape[static_cast<std::size_t>(prune_dim)]; ++label)
    channel_labels.push_back(label);
  labels[static_cast<std::size_t>(prune_dim)] = make_labels(g.state, channel_labels);
  return g.tensor("x", shape, std::move(labels));
}

// What the default handler leaves: no labels on the output and none of the input's prunable.
inline void expect_default_handled(const GraphBuilder& g, const ZavoOpNode& node,
                                   const ZavoNode& input) {
  EXPECT_EQ(g.text(node), labels_text(TensorLabels(node.result_shape->size())));
  for (Label label : get_flatten_labels(g.state, input))
    EXPECT_FALSE(g.prunable(label)) << "label " << label;
}

// A call that reduces or joins dimensions of an input labelled in one dimension.
struct PruneDimCase {
  std::string op;
  Shape input;
  std::int64_t prune_dim;
  Args args;  // after the input
  Kwargs kwargs;
  Shape output;
  std::string expected;  // the output's record, or FALLS_BACK
};
inline const std::string FALLS_BACK = "default";

// Runs the case in a graph of its own: the output gets the expected record and the input's keeps
// its own (a move reaches only the output's), or the default handler takes over.
inline void check_prune_dim_case(const PruneDimCase& c) {
  GraphBuilder g;
  auto& x = pruned_input(g, c.input, c.prune_dim);
  const std::string input_text = g.text(x);
  Args args{x};
  args.insert(args.end(), c.args.begin(), c.args.end());
  auto& y = g.call(c.op, args, c.kwargs, c.output);
  g.run(y);
  if (c.expected == FALLS_BACK) {
    expect_default_handled(g, y, x);
    return;
  }
  EXPECT_EQ(g.text(y), c.expected);
  EXPECT_EQ(g.text(x), input_text);
  for (Label label : get_flatten_labels(g.state, x))
    EXPECT_TRUE(g.prunable(label)) << "label " << label;
}

// The error kind and message that `action` raises, `Kind: message`, or `no error`.
inline std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const PruningEngineRuntimeException& e) {
    return std::string("PruningEngineRuntimeException: ") + e.what();
  } catch (const NotImplementedError& e) {
    return std::string("NotImplementedError: ") + e.what();
  } catch (const TypeError& e) {
    return std::string("TypeError: ") + e.what();
  } catch (const LookupError& e) {
    return std::string("LookupError: ") + e.what();
  }
  return "no error";
}

// `failure` with its `@` replaced by how the handlers name `node`: `<operation name> node <name>`.
inline std::string at_node(std::string failure, const ZavoOpNode& node) {
  return failure.replace(failure.find('@'), 1, node.operation_name + " node " + node.name);
}

// Captures the lines the module's logger writes while it lives, with the logger enabled for
// debug; restores the level and the sink afterwards.
class DebugCapture {
 public:
  explicit DebugCapture(bool enable = true)
      : logger_(logging::get_logger("zavo.pruning.engine.node_handlers")),
        level_(logger_.level()),
        previous_(logging::set_sink(
            [this](const logging::Logger& logger, logging::Level level, std::string_view line) {
              lines.push_back(logger.name() + ":" + std::string(logging::level_name(level)) + ":" +
                              std::string(line));
            })) {
    if (enable)
      logger_.set_level(logging::Level::Debug);
  }
  ~DebugCapture() {
    logger_.set_level(level_);
    logging::set_sink(previous_);
  }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> lines;

 private:
  logging::Logger& logger_;
  logging::Level level_;
  logging::Sink previous_;
};

}  // namespace zavo::pruning::engine::node_handlers::handler_test
