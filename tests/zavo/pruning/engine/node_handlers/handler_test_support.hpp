#pragma once
// Shared pieces of the node-handler tests: a fixture that is a graph builder recording
// warnings, the failure of an action as one comparable text, and a capture of the module's
// debug lines.

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

  warnings::ScopedRecorder warned;
};

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
