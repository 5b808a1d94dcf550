#include "sim/model/observable.h"

#include <algorithm>

#include "sim/base/duplicates.h"
#include "sim/base/messages.h"

namespace vantrel::sim {

Result<PauliTerm> PauliTerm::create(std::vector<PauliFactor> ops, double coefficient) {
  // The factor reported is the earliest one that has a later duplicate.
  const std::size_t dup =
      first_duplicate(std::span<const PauliFactor>(ops), [](const PauliFactor& f) { return f.qubit; });
  if (dup != ops.size()) return messages::duplicate_qubit(ops[dup].qubit);
  std::sort(ops.begin(), ops.end(),
            [](const PauliFactor& a, const PauliFactor& b) { return a.qubit < b.qubit; });
  PauliTerm term;
  term.ops = std::move(ops);
  term.coefficient = coefficient;
  return term;
}

Result<Observable> Observable::create(std::vector<PauliTerm> terms) {
  if (terms.empty()) return invalid("observable must contain at least one term");
  Observable obs;
  obs.terms_ = std::move(terms);
  return obs;
}

Result<Observable> Observable::single(PauliLabel label, std::uint64_t qubit, double coefficient) {
  auto term = PauliTerm::create({PauliFactor{qubit, label}}, coefficient);
  if (!term.ok()) return std::move(term).error();
  std::vector<PauliTerm> terms;
  terms.push_back(std::move(term).value());
  return create(std::move(terms));
}

Status validate_observable(std::span<const PauliTerm> terms, std::uint64_t num_qubits) {
  for (const PauliTerm& term : terms)
    for (const PauliFactor& f : term.ops)
      if (f.qubit >= num_qubits)
        return invalid("observable references qubit " + dec(f.qubit) +
                       " but state vector only has " + dec(num_qubits) + " qubits");
  return Status::Ok();
}

kernels::PauliMasks pauli_masks(std::span<const PauliFactor> factors) {
  kernels::PauliMasks m{0, 0, false, false};
  unsigned ny = 0;
  for (const PauliFactor& f : factors) {
    const std::uint64_t bit = std::uint64_t{1} << f.qubit;
    switch (f.label) {
      case PauliLabel::kX: m.x_mask |= bit; break;
      case PauliLabel::kY: m.x_mask |= bit; m.z_mask |= bit; ++ny; break;
      case PauliLabel::kZ: m.z_mask |= bit; break;
    }
  }
  // (-i)^ny is 1, -i, -1, i for ny = 0, 1, 2, 3 (mod 4).
  m.imaginary = (ny & 1) != 0;
  m.negate = (ny & 3) == 1 || (ny & 3) == 2;
  return m;
}

}  // namespace vantrel::sim
