#pragma once
// Named loggers with levels. A debug line's text is built only when the logger is enabled for
// debug: `logger.debug([&] { return expensive_text(); })` does not call the lambda otherwise.

#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace zavo::logging {

enum class Level { Debug = 10, Info = 20, Warning = 30, Error = 40, Off = 100 };

std::string_view level_name(Level level);

class Logger;
using Sink = std::function<void(const Logger&, Level, std::string_view)>;

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  Level level() const { return level_; }
  void set_level(Level level) { level_ = level; }
  bool is_enabled_for(Level level) const { return level >= level_ && level != Level::Off; }

  void log(Level level, std::string_view message) const;

  template <typename MakeMessage>
  requires std::is_invocable_v<MakeMessage>
  void debug(MakeMessage&& make_message) const {
    if (is_enabled_for(Level::Debug))
      log(Level::Debug, std::forward<MakeMessage>(make_message)());
  }

 private:
  std::string name_;
  Level level_ = Level::Warning;  // debug lines are off unless asked for
};

// The process-wide logger of that name, created on first use.
Logger& get_logger(std::string_view name);

// Installs `sink` for every logger (an empty sink restores the default, standard error) and
// returns the previous one.
Sink set_sink(Sink sink);

}  // namespace zavo::logging
