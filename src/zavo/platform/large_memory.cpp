#include "zavo/platform/large_memory.hpp"

#include <cstdint>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zavo::platform {

void use_own_pages_for_large_blocks() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kOwnPagesFrom));
  mallopt(M_TOP_PAD, static_cast<int>(kHeapPad));
#endif
}

#if defined(__linux__)

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t huge_pages_for(std::size_t bytes) {
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

}  // namespace

void* allocate_dense_block(std::size_t bytes) {
  // A whole number of huge pages, at a huge page's boundary: the mapping is taken one huge page
  // larger and its unaligned ends given back.
  const std::size_t size = huge_pages_for(bytes);
  void* mapped =
      mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED)
    throw std::bad_alloc();
  auto* start = static_cast<char*>(mapped);
  auto* aligned = reinterpret_cast<char*>(
      (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1));
  if (aligned > start)
    munmap(start, static_cast<std::size_t>(aligned - start));
  if (const std::size_t tail = kHugePage - static_cast<std::size_t>(aligned - start); tail > 0)
    munmap(aligned + size, tail);
  // Only advice: without huge pages the block works the same.
  madvise(aligned, size, MADV_HUGEPAGE);
  return aligned;
}

void free_dense_block(void* block, std::size_t bytes) {
  munmap(block, huge_pages_for(bytes));
}

#else

void* allocate_dense_block(std::size_t bytes) {
  return ::operator new (bytes, std::align_val_t{16});
}

void free_dense_block(void* block, std::size_t) {
  ::operator delete (block, std::align_val_t{16});
}

#endif

}  // namespace zavo::platform
