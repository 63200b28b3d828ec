#pragma once
// Pieces for writing JSON text by hand, as the report and its view do: quoted strings that never
// fail on bad UTF-8, integers, and lists of one entry per line handed on in pieces.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zavo::graph {

// JSON text of a string, with any invalid UTF-8 replaced so that writing never fails.
std::string json_text(std::string_view text);
// The same, appended to `out`.
void append_json_text(std::string& out, std::string_view text);

inline void append_int(std::string& out, std::int64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

inline const char* json_boolean(bool value) {
  return value ? "true" : "false";
}

// Collects text and hands it on in pieces of about a megabyte, so that no copy of a whole
// document is ever held.
class ChunkedWriter {
 public:
  explicit ChunkedWriter(const std::function<void(std::string_view)>& write) : write_(write) {
    text_.reserve(kChunk + kChunk / 4);
  }
  std::string& text() { return text_; }
  // Hands the text on when a piece is full; call between entries.
  void maybe_flush() {
    if (text_.size() >= kChunk)
      flush();
  }
  void flush() {
    if (!text_.empty())
      write_(text_);
    text_.clear();
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 20;
  const std::function<void(std::string_view)>& write_;
  std::string text_;
};

// `"key": [` one entry per line `]`, or `"key": []`; `for_each(emit)` calls `emit(append)` once
// per entry, where `append(out)` writes the entry.
template <typename ForEach>
void write_list(ChunkedWriter& writer, std::string_view key, ForEach for_each) {
  std::string& out = writer.text();
  out += "  \"";
  out += key;
  out += "\": [";
  bool first = true;
  for_each([&](const auto& append_item) {
    out += first ? "\n    " : ",\n    ";
    first = false;
    append_item(out);
    writer.maybe_flush();
  });
  out += first ? "],\n" : "\n  ],\n";
}

}  // namespace zavo::graph
