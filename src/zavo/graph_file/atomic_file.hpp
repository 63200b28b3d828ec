#pragma once
// Writing a file so that a reader never sees it partly written.

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string_view>

namespace zavo::graph {

class FileWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Refuses, with a message that says what is wrong, a path that cannot name a file to write:
// an existing directory, a path ending in a separator, a path whose directory is missing or is
// not a directory. Raises `FileWriteError`.
void check_file_path(const std::filesystem::path& path);

// Writes `content` to a new file in the directory of `path`, flushes it to disk and renames it
// to `path`: an existing file at `path` is replaced only by the complete content, and on any
// failure it stays as it was and the new file is removed. Checks `path` as `check_file_path`
// does first. Raises `FileWriteError`.
void write_file_atomically(const std::filesystem::path& path, std::string_view content);

// The same for content made piece by piece: `produce` is called once with a function that
// appends a piece to the file. An exception from `produce` leaves `path` as it was.
using ContentProducer = std::function<void(const std::function<void(std::string_view)>&)>;
void write_file_atomically(const std::filesystem::path& path, const ContentProducer& produce);

}  // namespace zavo::graph
