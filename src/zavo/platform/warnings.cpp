#include "zavo/platform/warnings.hpp"

#include <iostream>
#include <utility>

namespace zavo::warnings {
namespace {

void write_to_stderr(const Warning& warning) {
  std::cerr << category_name(warning.category) << ": " << warning.message << '\n';
}

Sink& current_sink() {
  static Sink sink = write_to_stderr;
  return sink;
}

}  // namespace

std::string_view category_name(Category category) {
  switch (category) {
    case Category::UserWarning:
      return "UserWarning";
  }
  return "Warning";
}

void warn(std::string message, Category category, int stacklevel) {
  current_sink()(Warning{category, std::move(message), stacklevel});
}

Sink set_sink(Sink sink) {
  if (!sink)
    sink = write_to_stderr;
  return std::exchange(current_sink(), std::move(sink));
}

ScopedRecorder::ScopedRecorder()
    : previous_(set_sink([this](const Warning& warning) { records_.push_back(warning); })) {}

ScopedRecorder::~ScopedRecorder() {
  set_sink(std::move(previous_));
}

std::vector<std::string> ScopedRecorder::messages() const {
  std::vector<std::string> out;
  out.reserve(records_.size());
  for (const auto& record : records_)
    out.push_back(record.message);
  return out;
}

}  // namespace zavo::warnings
