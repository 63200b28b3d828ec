#pragma once
// Shared pieces of the element-wise family tests: a fixture that is a graph builder, a catcher
// that returns an error's exact message, and a capture of the module's debug lines.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/graph_builder.hpp"
#include "zavo/platform/logging.hpp"
#include "zavo/pruning/engine/node_handlers/elementwise_handlers.hpp"

namespace zavo::pruning::engine::node_handlers::elementwise_test {

using tensor_trace::Sequence;
using testing::GraphBuilder;
using testing::L;
using testing::none;

class ElementwiseFamily : public ::testing::Test, public GraphBuilder {};

// The message of the `Error` that `action` raises; a test failure when it raises nothing.
template <typename Error, typename Action>
std::string error_of(Action&& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected an error";
  return "";
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

}  // namespace zavo::pruning::engine::node_handlers::elementwise_test
