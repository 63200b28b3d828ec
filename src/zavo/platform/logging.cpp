#include "zavo/platform/logging.hpp"

#include <iostream>
#include <map>
#include <memory>
#include <utility>

namespace zavo::logging {
namespace {

void write_to_stderr(const Logger& logger, Level level, std::string_view message) {
  std::cerr << level_name(level) << ':' << logger.name() << ':' << message << '\n';
}

Sink& current_sink() {
  static Sink sink = write_to_stderr;
  return sink;
}

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Debug:
      return "DEBUG";
    case Level::Info:
      return "INFO";
    case Level::Warning:
      return "WARNING";
    case Level::Error:
      return "ERROR";
    case Level::Off:
      return "OFF";
  }
  return "LEVEL";
}

void Logger::log(Level level, std::string_view message) const {
  if (is_enabled_for(level))
    current_sink()(*this, level, message);
}

Logger& get_logger(std::string_view name) {
  // std::map keeps references stable and lets us look up by string_view.
  static std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
  auto it = loggers.find(name);
  if (it == loggers.end()) {
    it = loggers.emplace(std::string(name), std::make_unique<Logger>(std::string(name))).first;
  }
  return *it->second;
}

Sink set_sink(Sink sink) {
  if (!sink)
    sink = write_to_stderr;
  return std::exchange(current_sink(), std::move(sink));
}

}  // namespace zavo::logging
