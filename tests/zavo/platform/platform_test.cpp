#include <gtest/gtest.h>

#include "zavo/platform/logging.hpp"
#include "zavo/platform/warnings.hpp"

namespace zavo {
namespace {

TEST(Warnings, RecorderCapturesInOrderAndRestoresThePreviousSink) {
  std::vector<std::string> outer;
  auto previous =
      warnings::set_sink([&](const warnings::Warning& w) { outer.push_back(w.message); });
  {
    warnings::ScopedRecorder recorder;
    warnings::warn("first");
    warnings::warn("second", warnings::Category::UserWarning, 2);
    ASSERT_EQ(recorder.records().size(), 2u);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(recorder.records()[1].stacklevel, 2);
  }
  warnings::warn("after");
  EXPECT_EQ(outer, (std::vector<std::string>{"after"}));
  warnings::set_sink(previous);
}

TEST(Logging, DebugTextIsBuiltOnlyWhenEnabled) {
  auto& logger = logging::get_logger("zavo.test.logging");
  EXPECT_EQ(&logger, &logging::get_logger("zavo.test.logging"));
  std::vector<std::string> lines;
  auto previous = logging::set_sink(
      [&](const logging::Logger&, logging::Level, std::string_view m) { lines.emplace_back(m); });
  int built = 0;
  logger.debug([&] {
    ++built;
    return std::string("hidden");
  });
  EXPECT_EQ(built, 0);
  logger.set_level(logging::Level::Debug);
  logger.debug([&] {
    ++built;
    return std::string("shown");
  });
  EXPECT_EQ(built, 1);
  EXPECT_EQ(lines, (std::vector<std::string>{"shown"}));
  logger.set_level(logging::Level::Warning);
  logging::set_sink(previous);
}

}  // namespace
}  // namespace zavo
