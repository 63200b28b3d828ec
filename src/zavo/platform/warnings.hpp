#pragma once
// The warnings channel: patterns that only reduce what can be pruned are reported here and
// processing goes on. The sink is replaceable; by default warnings go to standard error.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zavo::warnings {

enum class Category { UserWarning };

std::string_view category_name(Category category);

struct Warning {
  Category category = Category::UserWarning;
  std::string message;
  // Which frame the warning is attributed to: 1 is the warning call itself.
  int stacklevel = 1;
};

using Sink = std::function<void(const Warning&)>;

// Emits one warning to the current sink.
void warn(std::string message, Category category = Category::UserWarning, int stacklevel = 1);

// Installs `sink` (an empty sink restores the default) and returns the previous one.
Sink set_sink(Sink sink);

// Captures every warning emitted while it lives, restoring the previous sink on destruction.
class ScopedRecorder {
 public:
  ScopedRecorder();
  ~ScopedRecorder();
  ScopedRecorder(const ScopedRecorder&) = delete;
  ScopedRecorder& operator=(const ScopedRecorder&) = delete;

  const std::vector<Warning>& records() const { return records_; }
  std::vector<std::string> messages() const;
  void clear() { records_.clear(); }

 private:
  std::vector<Warning> records_;
  Sink previous_;
};

}  // namespace zavo::warnings
