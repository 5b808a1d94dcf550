#include "sim/state/probabilities.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "sim/base/interrupt.h"
#include "sim/base/pool.h"

namespace vantrel::sim {
namespace {

template <class T>
inline double weight(ComplexOf<T> a) {
  const double re = a.re;
  const double im = a.im;
  return re * re + im * im;
}

// 2^k doubles, zeroed when asked; large ones on huge pages, so that writing
// them costs no more than a pass.
Result<ProbabilityTable> table(std::uint64_t k, bool zero) {
  const std::size_t count = std::size_t{1} << k;
  const std::size_t bytes = count * sizeof(double);
  void* p = zero ? std::calloc(count, sizeof(double)) : std::malloc(bytes);
  if (p == nullptr)
    return allocation_failure("the probabilities of " + dec(k) + " qubits",
                              static_cast<unsigned __int128>(bytes));
  prefer_huge_pages(p, bytes);
  ProbabilityTable out;
  out.values.reset(static_cast<double*>(p));
  out.size = count;
  return out;
}

// Amplitudes per piece of parallel work.
constexpr std::size_t kGrain = std::size_t{1} << 15;

}  // namespace

template <class T>
Result<ProbabilityTable> probabilities(const StateVectorOf<T>& state,
                                       std::span<const std::uint64_t> qubits) {
  const std::uint64_t n = state.num_qubits();
  std::uint64_t seen = 0;
  for (std::uint64_t q : qubits) {
    if (q >= n)
      return invalid("qubit index " + dec(q) + " is out of range for " + dec(n) + " qubits");
    if ((seen >> q) & 1) return invalid("duplicate qubit index: " + dec(q));
    seen |= std::uint64_t{1} << q;
  }
  const std::uint64_t k = qubits.size();
  bool in_order = k == n;
  for (std::uint64_t j = 0; j < k; ++j) in_order = in_order && qubits[j] == j;
  auto out = table(k, !in_order);
  if (!out.ok()) return out;
  const ComplexOf<T>* psi = state.data();
  const std::size_t size = state.size();
  double* p = out->values.get();
  if (in_order) {
    // One index per outcome: no sum, so the pieces may run anywhere.
    parallel_for(size, kGrain, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) p[i] = weight(psi[i]);
    });
    return out;
  }
  // The outcome of index i, one table per byte of i: bit j of the outcome is
  // bit qubits[j] of i.
  const std::size_t bytes = (n + 7) / 8;
  std::uint64_t table[8][256] = {};
  for (std::size_t byte = 0; byte < bytes; ++byte)
    for (std::uint64_t v = 0; v < 256; ++v) {
      std::uint64_t b = 0;
      for (std::uint64_t j = 0; j < k; ++j)
        if (qubits[j] / 8 == byte && ((v >> (qubits[j] % 8)) & 1)) b |= std::uint64_t{1} << j;
      table[byte][v] = b;
    }
  StopCheck stop;
  for (std::size_t lo = 0; lo < size; lo += kGrain) {
    const std::size_t hi = std::min(size, lo + kGrain);
    if (stop(hi - lo)) return interrupted();
    for (std::size_t i = lo; i < hi; ++i) {
      std::uint64_t b = 0;
      for (std::size_t byte = 0; byte < bytes; ++byte) b |= table[byte][(i >> (8 * byte)) & 255];
      p[b] += weight(psi[i]);
    }
  }
  return out;
}

template <class T>
Result<ProbabilityTable> probabilities(const StateVectorOf<T>& state) {
  std::vector<std::uint64_t> all(state.num_qubits());
  std::iota(all.begin(), all.end(), std::uint64_t{0});
  return probabilities(state, std::span<const std::uint64_t>(all));
}

#define VANTREL_PROBABILITIES_OF(T)                                                               \
  template Result<ProbabilityTable> probabilities(const StateVectorOf<T>&,                       \
                                                  std::span<const std::uint64_t>);               \
  template Result<ProbabilityTable> probabilities(const StateVectorOf<T>&);
VANTREL_PROBABILITIES_OF(float)
VANTREL_PROBABILITIES_OF(double)
#undef VANTREL_PROBABILITIES_OF

}  // namespace vantrel::sim
