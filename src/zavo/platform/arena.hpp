#pragma once
// A bump allocator: memory handed out in order from large blocks and given back all at once when
// the arena goes. For data that lives as long as its owner and is never freed piece by piece
// (the nodes, names and arguments of a graph), so that making a million of them costs a few
// hundred block allocations, not a million.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavo::platform {

class Arena {
 public:
  Arena() = default;
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `size` bytes aligned to `align` (a power of two, at most 16), valid while the arena lives.
  void* allocate(std::size_t size, std::size_t align) {
    auto at = (reinterpret_cast<std::uintptr_t>(next_) + (align - 1)) & ~(align - 1);
    if (next_ == nullptr || at + size > reinterpret_cast<std::uintptr_t>(end_))
      return allocate_in_new_block(size);
    next_ = reinterpret_cast<std::byte*>(at + size);
    return reinterpret_cast<void*>(at);
  }

  // Bytes taken from the system so far.
  std::size_t reserved() const { return reserved_; }

 private:
  void* allocate_in_new_block(std::size_t size);

  struct Block {
    std::byte* start;
    std::size_t size;
  };
  std::byte* new_block(std::size_t size);
  std::vector<Block> blocks_;
  std::byte* next_ = nullptr;
  std::byte* end_ = nullptr;
  std::size_t block_size_ = std::size_t{16} << 10;
  std::size_t reserved_ = 0;
};

}  // namespace zavo::platform
