#include "zavo/platform/arena.hpp"

#include <algorithm>
#include <new>

namespace zavo::platform {

void* Arena::allocate_in_new_block(std::size_t size) {
  // Blocks double up to 4 MiB, so a small graph stays small and a large one takes few blocks;
  // a request larger than a quarter of a block gets a block of its own.
  constexpr std::size_t kLargestBlock = std::size_t{4} << 20;
  const std::size_t rounded = (size + 15) & ~std::size_t{15};
  if (rounded > block_size_ / 4) {
    // The current block stays the one to allocate from.
    auto* block = static_cast<std::byte*>(::operator new (rounded, std::align_val_t{16}));
    blocks_.emplace_back(block);
    reserved_ += rounded;
    return block;
  }
  auto* block = static_cast<std::byte*>(::operator new (block_size_, std::align_val_t{16}));
  blocks_.emplace_back(block);
  reserved_ += block_size_;
  next_ = block + rounded;
  end_ = block + block_size_;
  block_size_ = std::min(block_size_ * 2, kLargestBlock);
  return block;
}

}  // namespace zavo::platform
