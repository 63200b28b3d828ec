#include "zavo/platform/arena.hpp"

#include <algorithm>
#include <new>

#include "zavo/platform/large_memory.hpp"

namespace zavo::platform {

namespace {

// Blocks from this size on are filled through in huge pages where the system offers them.
constexpr std::size_t kDenseBlock = std::size_t{2} << 20;

}  // namespace

Arena::~Arena() {
  for (const Block& block : blocks_) {
    if (block.size >= kDenseBlock)
      free_dense_block(block.start, block.size);
    else
      ::operator delete (block.start, std::align_val_t{16});
  }
}

std::byte* Arena::new_block(std::size_t size) {
  // Room for the entry first, so that a block is never taken without one.
  if (blocks_.size() == blocks_.capacity())
    blocks_.reserve(blocks_.size() * 2 + 8);
  auto* start =
      static_cast<std::byte*>(size >= kDenseBlock ? allocate_dense_block(size)
                                                  : ::operator new (size, std::align_val_t{16}));
  blocks_.push_back({start, size});
  reserved_ += size;
  return start;
}

void* Arena::allocate_in_new_block(std::size_t size) {
  // Blocks double up to 4 MiB, so a small graph stays small and a large one takes few blocks;
  // a request larger than a quarter of a block gets a block of its own.
  constexpr std::size_t kLargestBlock = std::size_t{4} << 20;
  const std::size_t rounded = (size + 15) & ~std::size_t{15};
  if (rounded > block_size_ / 4) {
    // The current block stays the one to allocate from.
    return new_block(rounded);
  }
  std::byte* block = new_block(block_size_);
  next_ = block + rounded;
  end_ = block + block_size_;
  block_size_ = std::min(block_size_ * 2, kLargestBlock);
  return block;
}

}  // namespace zavo::platform
