#include "sim/model/observable_algebra.h"

#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

namespace vantrel::sim {
namespace {

// Observables made here never have an empty term list.
Observable from_terms(std::vector<PauliTerm> terms) {
  return std::move(Observable::create(std::move(terms))).value();
}

}  // namespace

Observable sum(const Observable& a, const Observable& b) {
  std::vector<PauliTerm> terms;
  terms.reserve(a.terms().size() + b.terms().size());
  terms.insert(terms.end(), a.terms().begin(), a.terms().end());
  terms.insert(terms.end(), b.terms().begin(), b.terms().end());
  return from_terms(std::move(terms));
}

Observable scaled(const Observable& a, double factor) {
  std::vector<PauliTerm> terms = a.terms();
  for (PauliTerm& t : terms)
    t.coefficient = t.coefficient * factor;
  return from_terms(std::move(terms));
}

Observable simplified(const Observable& a) {
  // Factors are sorted by qubit, so equal strings have equal factor lists.
  using Key = std::vector<std::pair<std::uint64_t, PauliLabel>>;
  std::map<Key, std::size_t> first;
  std::vector<PauliTerm> merged;
  for (const PauliTerm& t : a.terms()) {
    Key key;
    key.reserve(t.ops.size());
    for (const PauliFactor& f : t.ops) key.emplace_back(f.qubit, f.label);
    auto [it, fresh] = first.try_emplace(std::move(key), merged.size());
    if (fresh) {
      merged.push_back(t);
    } else {
      merged[it->second].coefficient = merged[it->second].coefficient + t.coefficient;
    }
  }
  std::vector<PauliTerm> kept;
  for (PauliTerm& t : merged)
    if (t.coefficient != 0.0) kept.push_back(std::move(t));
  if (kept.empty()) kept.push_back(PauliTerm{{}, 0.0});
  return from_terms(std::move(kept));
}

std::uint64_t num_qubits(const Observable& a) {
  std::uint64_t n = 0;
  for (const PauliTerm& t : a.terms())
    if (!t.ops.empty()) n = std::max(n, t.ops.back().qubit + 1);
  return n;
}

Result<MatrixBuffer> dense_matrix(const Observable& a, std::uint64_t n) {
  for (const PauliTerm& t : a.terms())
    for (const PauliFactor& f : t.ops)
      if (f.qubit >= n)
        return invalid("observable references qubit " + dec(f.qubit) + " but the matrix is for " +
                       dec(n) + " qubits");
  // 4^n entries of 16 bytes; beyond 2^126 bytes the size is shown as that.
  const unsigned __int128 bytes =
      n < 61 ? static_cast<unsigned __int128>(16) << (2 * n) : static_cast<unsigned __int128>(1) << 126;
  const auto failure = [&] {
    return allocation_failure("a dense matrix of " + dec(n) + " qubits", bytes);
  };
  if (n >= 30 || bytes > SIZE_MAX) return failure();
  const std::size_t dim = std::size_t{1} << n;
  MatrixBuffer m(static_cast<std::complex<double>*>(std::calloc(dim * dim, sizeof(std::complex<double>))));
  if (!m) return failure();
  for (const PauliTerm& t : a.terms()) {
    const kernels::PauliMasks k = pauli_masks(t.ops);
    const double c = t.coefficient;
    // (-i)^ny; a set bit of i under z_mask negates it.
    const std::complex<double> base =
        k.imaginary ? std::complex<double>(0.0, k.negate ? -c : c) : std::complex<double>(k.negate ? -c : c, 0.0);
    for (std::size_t i = 0; i < dim; ++i) {
      const std::complex<double> phase = __builtin_parityll(i & k.z_mask) ? -base : base;
      m[i * dim + (i ^ k.x_mask)] += phase;
    }
  }
  return m;
}

}  // namespace vantrel::sim
