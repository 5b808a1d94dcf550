// The one-qubit kernel and its controlled form (mat2.h) written once over an
// instruction-set traits type V (lanes.h), instantiated by mat2.cpp (SSE2),
// mat2_avx2.cpp and mat2_avx512.cpp for both precisions. Internal linkage
// only (isa.h).
//
// A complex product m*a is computed lane-wise as cmul(coef(m), a) (lanes.h):
// every lane performs exactly the scalar operations of cmul, in the same
// order, without fusion; the one-qubit kernel leaves out the products of the
// zero coefficients of its matrix's shape (mat2.h, Mat2Shape), which changes
// no bit. Qubits below kShift have both amplitudes of a pair
// in one register: the a1 slots sum (m11 a1) + (m10 a0), the reference's two
// products in swapped order, which IEEE addition leaves bit for bit the
// same. Higher qubits take runs of pairs whose amplitudes are a0[i], a1[i].
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/lanes.h"
#include "sim/kernels/mat2.h"

namespace vantrel::sim::kernels {
namespace {

// All four products, in the association of the one-qubit kernel.
template <class V>
inline typename V::Reg full_update(typename V::Reg self, typename V::Reg other, const typename V::Coef& d,
                                   const typename V::Coef& o) {
  return V::add(V::cmul(d, self), V::cmul(o, other));
}

// The products of nonzero coefficients only (mat2.h, Mat2Shape); all four
// wherever a lane is +-0. self and other are the slot's own amplitude and its
// partner, d and o the coefficients of their entries in the slot's row.
template <class V, Mat2Shape S>
inline typename V::Reg shape_update(typename V::Reg self, typename V::Reg other, const typename V::Coef& d,
                                    const typename V::Coef& o) {
  if constexpr (S == Mat2Shape::kGeneral) {
    return full_update<V>(self, other, d, o);
  } else {
    typename V::Reg y;
    if constexpr (S == Mat2Shape::kSwap) {
      y = other;
    } else if constexpr (S == Mat2Shape::kReal) {
      y = V::add(V::mul(d.re, self), V::mul(o.re, other));
    } else if constexpr (S == Mat2Shape::kRealImaginary) {
      y = V::add(V::mul(d.re, self), V::mul(o.im, V::swap_parts(other)));
    } else if constexpr (S == Mat2Shape::kDiagonal) {
      y = V::add(V::mul(d.re, self), V::mul(d.im, V::swap_parts(self)));
    } else {
      y = V::cmul(o, other);
    }
    if (__builtin_expect(V::any_zero(y), 0)) y = full_update<V>(self, other, d, o);
    return y;
  }
}

// Calls f.template operator()<S>() for the shape s.
template <class F>
inline void with_mat2_shape(Mat2Shape s, F&& f) {
  switch (s) {
    case Mat2Shape::kGeneral: return f.template operator()<Mat2Shape::kGeneral>();
    case Mat2Shape::kReal: return f.template operator()<Mat2Shape::kReal>();
    case Mat2Shape::kRealImaginary: return f.template operator()<Mat2Shape::kRealImaginary>();
    case Mat2Shape::kDiagonal: return f.template operator()<Mat2Shape::kDiagonal>();
    case Mat2Shape::kSwap: return f.template operator()<Mat2Shape::kSwap>();
    case Mat2Shape::kAntiDiagonal: return f.template operator()<Mat2Shape::kAntiDiagonal>();
  }
}

// How a register of updated amplitudes y (from x) is stored. The one-qubit
// kernel stores y. The controlled one stores y + 0 where the pair is on
// ((p & low) == low) and, with kMasked, x + 0 elsewhere; its scalar form
// serves the tails.
template <class V, bool kControlled, bool kMasked>
struct PairStore {
  using Reg = typename V::Reg;
  using Amp = typename V::Amp;
  static constexpr bool kMaskedStore = kMasked;
  std::uint32_t low = 0;
  std::uint64_t pattern = 0;  // bit k: pair k is on (k < 64; period 32, as low < 32)

  explicit PairStore(std::uint32_t l) : low(l) {
    // The pairs k < 64 that have bit j of l: one constant per bit j < 5.
    constexpr std::uint64_t kWithBit[5] = {0xAAAAAAAAAAAAAAAAu, 0xCCCCCCCCCCCCCCCCu, 0xF0F0F0F0F0F0F0F0u,
                                           0xFF00FF00FF00FF00u, 0xFFFF0000FFFF0000u};
    if constexpr (kMasked) {
      pattern = ~std::uint64_t{0};
      for (unsigned j = 0; j < 5; ++j)
        if (l >> j & 1u) pattern &= kWithBit[j];
    }
  }
  // Bit j: pair p + j is on, for j < count <= 32.
  unsigned on(std::size_t p, unsigned count) const {
    return static_cast<unsigned>(pattern >> (p & 31)) & ((1u << count) - 1u);
  }
  Reg operator()(Reg y, Reg x, unsigned amps_on) const {
    if constexpr (kMasked) y = V::blend(V::amp_mask(amps_on), x, y);
    if constexpr (kControlled) y = V::add(y, V::zero());
    return y;
  }
  void scalar(Amp* amps, unsigned q, const Amp m[4], std::size_t p) const {
    if constexpr (kControlled) {
      controlled_pairs_scalar<typename V::Scalar>(amps, q, m, low, p, p + 1);
    } else {
      const std::size_t s = std::size_t{1} << q;
      Amp* a0 = amps + ((p >> q) << (q + 1)) + (p & (s - 1));
      mat2_pair_scalar(a0, a0 + s, m);
    }
  }
};

// A run of `len` pairs from pair p whose amplitudes are a0[i] and a1[i].
template <class V, Mat2Shape kShape, class Store>
void mat2_run(typename V::Amp* amps, unsigned q, std::size_t p, typename V::Amp* a0, typename V::Amp* a1,
              std::size_t len, const typename V::Coef c[4], const typename V::Amp m[4], const Store& store) {
  using S = typename V::Scalar;
  using Reg = typename V::Reg;
  std::size_t i = 0;
  for (; i + V::kAmps <= len; i += V::kAmps) {
    prefetch_ahead(a0 + i);
    prefetch_ahead(a1 + i);
    S* p0 = reinterpret_cast<S*>(a0 + i);
    S* p1 = reinterpret_cast<S*>(a1 + i);
    const Reg x0 = V::load(p0), x1 = V::load(p1);
    // y1 = (m11 a1) + (m10 a0): the reference's sum, operands swapped.
    const Reg y0 = shape_update<V, kShape>(x0, x1, c[0], c[1]);
    const Reg y1 = shape_update<V, kShape>(x1, x0, c[3], c[2]);
    unsigned on = 0;
    if constexpr (Store::kMaskedStore) on = store.on(p + i, V::kAmps);
    V::store(p0, store(y0, x0, on));
    V::store(p1, store(y1, x1, on));
  }
  for (; i < len; ++i) store.scalar(amps, q, m, p + i);
}

// The amplitudes of a register holding pairs p .. p + kAmps / 2 - 1 of qubit
// Q that belong to the pairs set in `pairs`: amplitude l is in pair
// (l >> (Q + 1)) << Q | (l mod 2^Q).
template <class V, unsigned Q>
inline unsigned amps_of_pairs(unsigned pairs) {
  unsigned bits = 0;
  for (unsigned l = 0; l < V::kAmps; ++l)
    bits |= ((pairs >> (((l >> (Q + 1)) << Q) | (l & ((1u << Q) - 1u)))) & 1u) << l;
  return bits;
}

// Qubit Q < kShift: the kAmps amplitudes from 2p (p a multiple of 2^Q) are
// exactly pairs p .. p + kAmps / 2 - 1, and permute<2^Q> brings each slot's
// partner into it.
template <class V, unsigned Q, Mat2Shape kShape, class Store>
void mat2_low(typename V::Amp* amps, std::size_t lo, std::size_t hi, const typename V::Amp m[4],
              const Store& store) {
  using S = typename V::Scalar;
  using Reg = typename V::Reg;
  constexpr std::size_t kAlign = std::size_t{1} << Q;
  constexpr unsigned kPairs = V::kAmps / 2;
  // Slots of a0 take m00 and m01, those of a1 m11 and m10.
  const typename V::Coef diag = coef_split<V, Q>(m[0], m[3]), off = coef_split<V, Q>(m[1], m[2]);
  std::size_t p = lo;
  for (; p < hi && (p & (kAlign - 1)); ++p) store.scalar(amps, Q, m, p);
  for (; p + kPairs <= hi; p += kPairs) {
    prefetch_ahead(amps + 2 * p);
    S* f = reinterpret_cast<S*>(amps + 2 * p);
    const Reg x = V::load(f);
    const Reg y = shape_update<V, kShape>(x, V::template permute<(1u << Q)>(x), diag, off);
    unsigned on = 0;
    if constexpr (Store::kMaskedStore) on = amps_of_pairs<V, Q>(store.on(p, kPairs));
    V::store(f, store(y, x, on));
  }
  for (; p < hi; ++p) store.scalar(amps, Q, m, p);
}

template <class V, Mat2Shape S, class Store>
void mat2_pairs_lanes(typename V::Amp* amps, unsigned q, const typename V::Amp m[4], std::size_t lo,
                      std::size_t hi, const Store& store) {
  if (in_register_qubit<V>(q, [&]<unsigned Q>() { mat2_low<V, Q, S>(amps, lo, hi, m, store); })) return;
  const typename V::Coef c[4] = {coef<V>(m[0]), coef<V>(m[1]), coef<V>(m[2]), coef<V>(m[3])};
  const std::size_t s = std::size_t{1} << q;
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = lesser(s - i, hi - p);
    typename V::Amp* a0 = amps + ((p >> q) << (q + 1)) + i;
    mat2_run<V, S>(amps, q, p, a0, a0 + s, len, c, m, store);
    p += len;
  }
}

// A table's mat2_pairs and controlled_pairs, with the matrix's shape (the
// controlled form adds 0 to the shape's update, which has the general
// update's bits).
//
// A range of a few pairs (a register of a few qubits, where a call is
// mostly set-up) takes the general update: the same bits, without
// classifying the matrix.
inline constexpr std::size_t kFewPairs = 16;

template <class V>
void mat2_pairs_of(typename V::Amp* amps, unsigned q, const typename V::Amp m[4], std::size_t lo,
                   std::size_t hi) {
  if (hi - lo <= kFewPairs)
    return mat2_pairs_lanes<V, Mat2Shape::kGeneral>(amps, q, m, lo, hi, PairStore<V, false, false>(0));
  with_mat2_shape(mat2_shape(m), [&]<Mat2Shape S>() {
    mat2_pairs_lanes<V, S>(amps, q, m, lo, hi, PairStore<V, false, false>(0));
  });
}

template <class V>
void controlled_pairs_of(typename V::Amp* amps, unsigned t, const typename V::Amp m[4], std::uint32_t low,
                         std::size_t lo, std::size_t hi) {
  if (hi - lo <= kFewPairs) {
    if (low == 0) return mat2_pairs_lanes<V, Mat2Shape::kGeneral>(amps, t, m, lo, hi, PairStore<V, true, false>(0));
    return mat2_pairs_lanes<V, Mat2Shape::kGeneral>(amps, t, m, lo, hi, PairStore<V, true, true>(low));
  }
  with_mat2_shape(mat2_shape(m), [&]<Mat2Shape S>() {
    if (low == 0) {
      mat2_pairs_lanes<V, S>(amps, t, m, lo, hi, PairStore<V, true, false>(0));
    } else {
      mat2_pairs_lanes<V, S>(amps, t, m, lo, hi, PairStore<V, true, true>(low));
    }
  });
}

}  // namespace
}  // namespace vantrel::sim::kernels
