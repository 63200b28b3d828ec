#pragma once
// How the process takes its large blocks of memory from the system.

#include <cstddef>

namespace zavo::platform {

// Settles how the C library's allocator deals with large blocks, for a program that owns the
// process (a command), at its start; a no-op where the C library has no such settings.
//  - Every block of `kOwnPagesFrom` bytes or more gets pages of its own from the system and goes
//    back to it when freed. The C library otherwise raises that bound each time such a block is
//    freed, after which large blocks come from its shared heap, whose freed pages it keeps: a
//    table that grew by copying would leave its old room in the process until the end. Untouched
//    pages of such a block take no memory, so that room reserved ahead costs nothing until used.
//  - The heap grows, and gives back, `kHeapPad` bytes beyond what it needs at a time: without
//    that slack, a loop that takes and frees memory at the heap's end would hand its pages back
//    and fault fresh ones in on every round.
void use_own_pages_for_large_blocks();

inline constexpr std::size_t kOwnPagesFrom = std::size_t{1} << 20;
inline constexpr std::size_t kHeapPad = std::size_t{4} << 20;

}  // namespace zavo::platform

namespace zavo::platform {

// Memory for a large block that will be written through from start to end (an arena's block):
// `bytes` bytes, aligned to 16, in huge pages where the system offers them for the asking, so
// that filling it faults once per huge page instead of once per page. Raises `std::bad_alloc`
// when there is no room. Give it back with `free_dense_block(block, bytes)`, the same `bytes`.
void* allocate_dense_block(std::size_t bytes);
void free_dense_block(void* block, std::size_t bytes);

}  // namespace zavo::platform
