#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace zavo::platform {

// The items of `items` in the order of their first occurrence, each once, two items being the
// same when their keys are equal. A few items are compared pairwise; many are sorted by key
// rather than hashed, so that a call joining thousands of tensors takes no allocation per item.
template <typename T, typename Key>
std::vector<T> first_occurrences(const std::vector<T>& items, Key key) {
  std::vector<T> distinct;
  if (items.size() <= 16) {
    for (const T& item : items) {
      if (std::ranges::none_of(distinct, [&](const T& kept) { return key(kept) == key(item); }))
        distinct.push_back(item);
    }
    return distinct;
  }
  std::vector<std::pair<decltype(key(items.front())), std::size_t>> order;
  order.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i)
    order.emplace_back(key(items[i]), i);
  std::sort(order.begin(), order.end());
  std::vector<std::size_t> firsts;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || order[i].first != order[i - 1].first)
      firsts.push_back(order[i].second);
  }
  std::sort(firsts.begin(), firsts.end());
  distinct.reserve(firsts.size());
  for (std::size_t i : firsts)
    distinct.push_back(items[i]);
  return distinct;
}

}  // namespace zavo::platform
