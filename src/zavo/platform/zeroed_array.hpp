#pragma once
// Tables indexed by label or node that start at zero: a large allocation comes zeroed from the
// system, so such a table takes pages of memory only where it is written, instead of all of them
// up front as a cleared vector does.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace zavo::platform {

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

template <typename T>
using ZeroedArray = std::unique_ptr<T[], FreeDeleter>;

// `count` zeros (at least one element is allocated); raises `std::bad_alloc` when there is no room.
template <typename T>
ZeroedArray<T> zeroed_array(std::size_t count) {
  static_assert(std::is_trivial_v<T>, "a zeroed array holds plain values");
  void* memory = std::calloc(count ? count : 1, sizeof(T));
  if (!memory)
    throw std::bad_alloc();
  return ZeroedArray<T>(static_cast<T*>(memory));
}

}  // namespace zavo::platform
