#include "zavo/graph_file/atomic_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.hpp"

namespace zavo::graph {
namespace {

using testing::files_in;
using testing::read_text;
using testing::TempDir;

TEST(WriteFileAtomically, CreatesOrReplacesTheFileAndLeavesNoTemporaryFile) {
  TempDir dir;
  write_file_atomically(dir / "report.json", "first");
  write_file_atomically(dir / "report.json", "second, longer");
  EXPECT_EQ(read_text(dir / "report.json"), "second, longer");
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"report.json"});
  // A bare name goes to the working directory.
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  write_file_atomically("bare.json", "content");
  std::filesystem::current_path(previous);
  EXPECT_EQ(read_text(dir / "bare.json"), "content");
}

TEST(WriteFileAtomically, LeavesTheTargetAndNoTemporaryFileOnFailure) {
  TempDir dir;
  // A directory is refused before anything is written.
  std::filesystem::create_directory(dir / "taken");
  testing::write_text(dir / "taken" / "inside.txt", "kept");
  EXPECT_THROW(write_file_atomically(dir / "taken", "report"), FileWriteError);
  EXPECT_EQ(read_text(dir / "taken" / "inside.txt"), "kept");
  EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"taken"});
}

}  // namespace
}  // namespace zavo::graph
