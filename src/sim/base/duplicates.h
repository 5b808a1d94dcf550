// The first repeated entry of a list whose length comes from outside (qubit
// lists of operations, Pauli factors): found in O(k log k), reported as the
// plain pairwise scan would report it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace vantrel::sim {

// The position of the earliest item that has an equal key later in the list
// (the i the loop "for i, for j > i: key(i) == key(j)" stops at), or
// items.size() when every key differs. Short lists are scanned pairwise with
// no allocation; longer ones are sorted by (key, position), which may throw
// std::bad_alloc.
template <class T, class Key>
std::size_t first_duplicate(std::span<const T> items, Key&& key) {
  const std::size_t k = items.size();
  constexpr std::size_t kPairwise = 32;
  if (k <= kPairwise) {
    for (std::size_t i = 0; i < k; ++i)
      for (std::size_t j = i + 1; j < k; ++j)
        if (key(items[i]) == key(items[j])) return i;
    return k;
  }
  using K = std::decay_t<decltype(key(items[0]))>;
  std::vector<std::pair<K, std::size_t>> sorted;
  sorted.reserve(k);
  for (std::size_t i = 0; i < k; ++i) sorted.emplace_back(key(items[i]), i);
  std::sort(sorted.begin(), sorted.end());
  // Within a run of equal keys the first pair holds the smallest position.
  std::size_t earliest = k;
  for (std::size_t g = 0; g + 1 < k; ++g)
    if (sorted[g].first == sorted[g + 1].first && (g == 0 || sorted[g - 1].first != sorted[g].first))
      earliest = std::min(earliest, sorted[g].second);
  return earliest;
}

template <class T>
std::size_t first_duplicate(std::span<const T> items) {
  return first_duplicate(items, [](const T& v) -> const T& { return v; });
}

}  // namespace vantrel::sim
