#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "zavo/platform/arena.hpp"
#include "zavo/platform/large_memory.hpp"
#include "zavo/platform/logging.hpp"
#include "zavo/platform/memory_limits.hpp"
#include "zavo/platform/warnings.hpp"
#include "zavo/pruning/engine/utils.hpp"

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

// A cgroup tree under a temporary root: the group's own limit and every limit above it count,
// "max" and v1's "unlimited" page count do not, and a group missing under the mount (as inside
// a container) still gets the limits of the levels that exist.
TEST(MemoryLimits, AControlGroupIsBoundByEveryLevelAboveIt) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("zavo-cgroup-" + std::to_string(::getpid()));
  auto limit = [&](const std::string& group, const std::string& file, const std::string& value) {
    fs::create_directories(root / group);
    std::ofstream(root / group / file) << value << "\n";
  };
  limit("a", "memory.max", "max");
  limit("a/b", "memory.max", "3000000000");
  limit("a/b/c", "memory.max", "5000000000");
  EXPECT_EQ(platform::control_group_limit(root, "/a/b/c", true), 3000000000u);
  EXPECT_EQ(platform::control_group_limit(root, "/a/b/c/gone", true), 3000000000u);
  EXPECT_EQ(platform::control_group_limit(root, "/a", true), std::nullopt);
  limit("", "memory.limit_in_bytes", "9223372036854771712");
  limit("v1", "memory.limit_in_bytes", "2000000000");
  EXPECT_EQ(platform::control_group_limit(root, "/v1", false), 2000000000u);
  EXPECT_EQ(platform::control_group_limit(root, "/elsewhere", false), std::nullopt);
  fs::remove_all(root);

  // The smallest limit decides the label budget: half of it at the bytes a position costs.
  const platform::MemoryLimits limits{
      .physical = 24'000'000'000, .control_group = std::nullopt, .address_space = 4'000'000'000};
  EXPECT_EQ(limits.smallest(), 4'000'000'000u);
  EXPECT_EQ(platform::MemoryLimits{}.smallest(), std::nullopt);
  EXPECT_EQ(pruning::engine::utils::label_position_budget_for(4'000'000'000),
            2'000'000'000 / pruning::engine::utils::kBytesPerPosition);
}

// Pieces of every size, small ones across many blocks and large ones in blocks of their own
// (mapped apart from the heap), are aligned, hold what was written to them, and do not overlap.
TEST(Arena, PiecesOfEverySizeKeepWhatIsWrittenToThem) {
  platform::Arena arena;
  struct Piece {
    unsigned char* bytes;
    std::size_t size;
  };
  std::vector<Piece> pieces;
  std::size_t total = 0;
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::size_t size = i % 500 == 7 ? (std::size_t{3} << 20) + i : 1 + (i * 7919) % 5000;
    const std::size_t align = std::size_t{1} << (i % 5);
    auto* bytes = static_cast<unsigned char*>(arena.allocate(size, align));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % align, 0u);
    std::memset(bytes, static_cast<int>(i % 251), size);
    pieces.push_back({bytes, size});
    total += size;
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    const auto value = static_cast<unsigned char>(i % 251);
    ASSERT_EQ(piece.bytes[0], value) << "piece " << i;
    ASSERT_EQ(piece.bytes[piece.size / 2], value) << "piece " << i;
    ASSERT_EQ(piece.bytes[piece.size - 1], value) << "piece " << i;
  }
  EXPECT_GE(arena.reserved(), total);
}

// The C library's own allocator, not a sanitizer's stand-in for it.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define ZAVO_GLIBC_ALLOCATOR 1
#endif
#else
#define ZAVO_GLIBC_ALLOCATOR 1
#endif
#endif

#if defined(ZAVO_GLIBC_ALLOCATOR)
// Once set, a large block freed does not send the next ones to the shared heap: each keeps pages
// of its own, which go back to the system when it is freed.
TEST(LargeMemory, LargeBlocksKeepPagesOfTheirOwnAfterALargerOneIsFreed) {
  platform::use_own_pages_for_large_blocks();
  std::free(std::malloc(std::size_t{16} << 20));
  const auto own_blocks = [] { return mallinfo2().hblks; };
  const std::size_t before = own_blocks();
  void* block = std::malloc(platform::kOwnPagesFrom * 2);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(own_blocks(), before + 1);
  std::free(block);
  EXPECT_EQ(own_blocks(), before);
}
#endif

}  // namespace
}  // namespace zavo
