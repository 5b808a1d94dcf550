// The names of a plan's parameter slots, kept for display.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::sim {

// One optional name per slot, slots numbered from 0. Only the named slots
// take memory, so any number of unnamed slots costs what none do (a decoded
// list of unnamed slots is one byte each in its payload).
class ParameterNames {
 public:
  ParameterNames() = default;
  // One entry per slot, in slot order.
  ParameterNames(std::initializer_list<std::optional<std::string>> names);

  // Adds the next slot.
  void push_back(std::optional<std::string> name);
  // Room for `named` more named slots.
  void reserve_named(std::size_t named) { named_.reserve(named_.size() + named); }

  std::uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The name of `slot`; null when it has none or does not exist.
  const std::string* name(std::uint64_t slot) const;

  bool operator==(const ParameterNames&) const = default;

 private:
  std::uint64_t size_ = 0;
  std::vector<std::pair<std::uint64_t, std::string>> named_;  // ascending slots
};

}  // namespace vantrel::sim
