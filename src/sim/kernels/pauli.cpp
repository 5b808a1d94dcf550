// The scalar reference and SSE2 (the x86-64 baseline) sweeps of Pauli terms.
#include "sim/kernels/pauli.h"

#include "sim/kernels/mat2.h"
#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {

SweepLayout sweep_layout(const PauliSweep& sweep) {
  SweepLayout out;
  std::size_t diagonal = 0;
  for (std::size_t t = 0; t < sweep.count; ++t) diagonal += sweep.terms[t].x_mask == 0;
  const bool grouped = diagonal >= kMinDiagonal;
  auto kind = [&](const PauliMasks& m) { return grouped && m.x_mask == 0 ? 0 : m.imaginary ? 2 : 1; };
  std::size_t at = 0, counts[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k)
    for (std::size_t t = 0; t < sweep.count; ++t)
      if (kind(sweep.terms[t]) == k) {
        out.order[at++] = static_cast<std::uint8_t>(t);
        ++counts[k];
      }
  out.diagonal = counts[0];
  out.real = counts[1];
  return out;
}

template <class T>
void pauli_sweep_scalar(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums) {
  for (std::size_t t = 0; t < sweep.count; ++t) {
    const PauliMasks& m = sweep.terms[t];
    double total = 0.0;
    T s = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const ComplexOf<T> a = psi[i], b = psi[i ^ m.x_mask];
      const T v = m.imaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
      const bool neg = (__builtin_parityll(i & m.z_mask) != 0) != m.negate;
      s = s + v * (neg ? T(-1) : T(1));
      if ((i + 1) % kSumSegment == 0 || i + 1 == n) {
        total = total + static_cast<double>(s);
        s = 0;
      }
    }
    sums[t] = total;
  }
}

namespace {

template <bool kImaginary, class T>
inline T summand(ComplexOf<T> a, ComplexOf<T> b) {
  return kImaginary ? a.im * b.re - a.re * b.im : a.re * b.re + a.im * b.im;
}

// Interleaving G independent sums lets the processor overlap their
// additions, which a single sum would serialise. Indices are walked in
// blocks of 256 whose low eight bits take their signs from a table made
// once per term, in two versions, the higher bits of the block choosing
// which one. A block is a segment of the sums (pauli.h).
constexpr std::size_t kFewBlock = kSumSegment;
constexpr std::size_t kFarAmps = std::size_t{1} << 21;  // 16 MiB

template <std::size_t G, bool kImaginary, class T>
void few_sums(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* const* m, double* const* out) {
  T s[G];
  double total[G];
  for (std::size_t g = 0; g < G; ++g) s[g] = 0, total[g] = 0.0;
  T sign[G][2][kFewBlock];
  for (std::size_t g = 0; g < G; ++g)
    for (std::size_t k = 0; k < kFewBlock; ++k) {
      const bool neg = (__builtin_parityll(k & m[g]->z_mask) != 0) != m[g]->negate;
      sign[g][0][k] = neg ? T(-1) : T(1);
      sign[g][1][k] = neg ? T(1) : T(-1);
    }
  const bool far = n > kFarAmps;
  for (std::size_t base = 0; base < n; base += kFewBlock) {
    const ComplexOf<T>* a_row = psi + base;
    const ComplexOf<T>* b_row[G];
    const T* sg[G];
    std::size_t low_x[G];
    for (std::size_t g = 0; g < G; ++g) {
      b_row[g] = psi + (base ^ (m[g]->x_mask & ~std::uint64_t{kFewBlock - 1}));
      low_x[g] = m[g]->x_mask & (kFewBlock - 1);
      sg[g] = sign[g][__builtin_parityll(base & m[g]->z_mask)];
    }
    // The next block, ahead of time (one request per cache line), for states
    // beyond the caches; measured to cost time on states within them.
    if (far)
      for (std::size_t k = 0; k < kFewBlock; k += 8) __builtin_prefetch(a_row + kFewBlock + k);
    for (std::size_t k = 0; k < kFewBlock; ++k) {
      const ComplexOf<T> a = a_row[k];
      for (std::size_t g = 0; g < G; ++g)
        s[g] = s[g] + summand<kImaginary>(a, b_row[g][k ^ low_x[g]]) * sg[g][k];
    }
    for (std::size_t g = 0; g < G; ++g) {
      total[g] = total[g] + static_cast<double>(s[g]);
      s[g] = 0;
    }
  }
  for (std::size_t g = 0; g < G; ++g) *out[g] = total[g];
}

template <bool kImaginary, class T>
void few_sums_of_kind(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* const* m, std::size_t count,
                      double* const* out) {
  switch (count) {
    case 0: break;
    case 1: few_sums<1, kImaginary>(psi, n, m, out); break;
    case 2: few_sums<2, kImaginary>(psi, n, m, out); break;
    case 3: few_sums<3, kImaginary>(psi, n, m, out); break;
    default: few_sums<4, kImaginary>(psi, n, m, out); break;
  }
}

}  // namespace

template <class T>
void pauli_sums_few(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* const* terms, std::size_t count,
                    double* const* sums) {
  if (count && terms[0]->imaginary) {
    few_sums_of_kind<true>(psi, n, terms, count, sums);
  } else {
    few_sums_of_kind<false>(psi, n, terms, count, sums);
  }
}

template <class T>
void pauli_sweep_sse2(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums) {
  sweep_lanes<Sse2<T>>(psi, n, sweep, sums);
}

#define VANTREL_PAULI(T)                                                                                     \
  template void pauli_sweep_scalar<T>(const ComplexOf<T>*, std::size_t, const PauliSweep&, double*);         \
  template void pauli_sweep_sse2<T>(const ComplexOf<T>*, std::size_t, const PauliSweep&, double*);           \
  template void pauli_sums_few<T>(const ComplexOf<T>*, std::size_t, const PauliMasks* const*, std::size_t, \
                                  double* const*);
VANTREL_PAULI(float)
VANTREL_PAULI(double)
#undef VANTREL_PAULI

}  // namespace vantrel::sim::kernels
