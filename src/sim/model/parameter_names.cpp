#include "sim/model/parameter_names.h"

#include <algorithm>

namespace vantrel::sim {

ParameterNames::ParameterNames(std::initializer_list<std::optional<std::string>> names) {
  for (const std::optional<std::string>& name : names) push_back(name);
}

void ParameterNames::push_back(std::optional<std::string> name) {
  if (name) named_.emplace_back(size_, std::move(*name));
  ++size_;
}

const std::string* ParameterNames::name(std::uint64_t slot) const {
  const auto it = std::lower_bound(named_.begin(), named_.end(), slot,
                                   [](const auto& entry, std::uint64_t s) { return entry.first < s; });
  return it != named_.end() && it->first == slot ? &it->second : nullptr;
}

}  // namespace vantrel::sim
