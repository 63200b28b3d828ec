#include "zavo/graph/atomic_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.hpp"

namespace zavo::graph {
namespace {

using testing::read_text;
using testing::TempDir;
using testing::write_text;

std::size_t entries(const std::filesystem::path& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir))
    ++n;
  return n;
}

TEST(WriteFileAtomically, CreatesOrReplacesTheFile) {
  TempDir dir;
  auto path = dir / "report.json";
  write_file_atomically(path, "first");
  EXPECT_EQ(read_text(path), "first");
  write_file_atomically(path, "second, longer");
  EXPECT_EQ(read_text(path), "second, longer");
  EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(WriteFileAtomically, WritesIntoTheWorkingDirectoryForABareName) {
  TempDir dir;
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  write_file_atomically("bare.json", "content");
  std::filesystem::current_path(previous);
  EXPECT_EQ(read_text(dir / "bare.json"), "content");
}

TEST(WriteFileAtomically, LeavesTheTargetAndNoTemporaryFileOnFailure) {
  TempDir dir;
  // A non-empty directory cannot be replaced by a file.
  auto target = dir / "taken";
  std::filesystem::create_directory(target);
  write_text(target / "inside.txt", "kept");
  EXPECT_THROW(write_file_atomically(target, "report"), FileWriteError);
  EXPECT_EQ(read_text(target / "inside.txt"), "kept");
  EXPECT_EQ(entries(dir.path()), 1u);
}

}  // namespace
}  // namespace zavo::graph
