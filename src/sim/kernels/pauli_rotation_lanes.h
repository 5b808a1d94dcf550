// The Pauli-string rotation pass written once over an instruction-set traits
// type (lanes.h), for the SSE2 (pauli_rotation.cpp), AVX2
// (pauli_rotation_avx2.cpp) and AVX-512 (pauli_rotation_avx512.cpp) variants.
// Everything here has internal linkage and instantiates no template of a
// shared header (no std::min), so code built with AVX2 flags can never stand
// in for another file's (isa.h).
//
// A vector holds kAmps consecutive amplitudes, i0 = kAmps * v .. i0 + kAmps
// - 1 (vector v). The term t = s (-i)^e b is (u, v), (v, -u), (-u, -v) or
// (-v, u) for e = 0 .. 3 with (u, v) = (s b.re, s b.im). Since
// e = ny + 1 + 2 popcount(i & z) (mod 4), its parity is that of ny + 1 for
// every amplitude: the swap of u and v is the same over the whole pass, and
// the Z parity of the index only adds 2 to e, which negates both parts. So
// every lane computes
//   c * a + ((s * b) swapped or not) with its sign bits flipped by a mask,
// exactly the rounded products and the sum of the reference, the negations
// done by flipping sign bits as unary minus does. The partner of lane l is
// lane l ^ (x mod kAmps) of vector v ^ (x / kAmps); the mask of lane l is
// the mask of even parity flipped by the Z parity of l & z and of v & z / kAmps.
//
// Of the traits type V (lanes.h) it uses Reg, kAmps, kShift, set1, load,
// store, mul, add, bit_xor, sign, bits, swap_parts and permute<kLow>.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/lanes.h"
#include "sim/kernels/pauli_rotation.h"

namespace vantrel::sim::kernels {
namespace {

template <class V>
struct RotationPass {
  typename V::Reg c, s;
  std::uint64_t zv;                 // z above the lanes, in vector numbering
  typename V::Reg partner_flip;     // the partner vector's parity differs by x & z above the lanes
  typename V::Reg low[8];           // masks of v = 0 .. 7
};

template <class V>
void prepare_rotation(RotationPass<V>& p, const RotationMasks& m, typename V::Scalar c, typename V::Scalar s) {
  using W = typename V::Word;
  p.c = V::set1(c);
  p.s = V::set1(s);
  p.zv = m.z >> V::kShift;
  p.partner_flip = V::sign(__builtin_parityll((m.x & m.z) >> V::kShift));
  // e of an index with even Z parity: ny + 1. Its sign flips: e = 1 negates
  // the imaginary part, 2 both, 3 the real part.
  const unsigned e = (m.ny + 1u) & 3u;
  const W re = (e == 2 || e == 3) ? V::kSign : W(0);
  const W im = (e == 1 || e == 2) ? V::kSign : W(0);
  alignas(64) W even[2 * V::kAmps];
  for (unsigned l = 0; l < V::kAmps; ++l) {
    const bool odd = __builtin_parity(static_cast<unsigned>(l & m.z & (V::kAmps - 1)));
    even[2 * l] = re ^ (odd ? V::kSign : W(0));
    even[2 * l + 1] = im ^ (odd ? V::kSign : W(0));
  }
  const typename V::Reg base = V::bits(even);
  for (unsigned v = 0; v < 8; ++v)
    p.low[v] = V::bit_xor(base, V::sign(__builtin_parity(static_cast<unsigned>(v & p.zv))));
}

// c * a + mask(swapped(s * b)) for the vector a, b holding the partners of
// its lanes in its own lane order.
template <class V, bool kSwapParts>
inline typename V::Reg rotate(const RotationPass<V>& p, typename V::Reg a, typename V::Reg b,
                              typename V::Reg mask) {
  typename V::Reg t = V::mul(p.s, b);
  if constexpr (kSwapParts) t = V::swap_parts(t);
  return V::add(V::mul(p.c, a), V::bit_xor(t, mask));
}

// The vectors of [vb, ve) that have no bit of `skip` set. Paired, each is
// updated together with vector v ^ partner (which has a `skip` bit); else
// its lanes' partners are in the vector itself.
template <class V, bool kSwapParts, unsigned kLow, bool kPaired>
void rotation_run(const RotationPass<V>& p, typename V::Scalar* data, std::uint64_t vb, std::uint64_t ve,
                  std::uint64_t partner, std::uint64_t skip) {
  constexpr std::size_t kFloats = 2 * V::kAmps;
  for (std::uint64_t v = vb; v < ve;) {
    const std::uint64_t next_group = (v | 7) + 1;
    const std::uint64_t group_end = next_group < ve ? next_group : ve;
    const typename V::Reg flip = V::sign(__builtin_parityll(v & p.zv & ~std::uint64_t{7}));
    for (; v < group_end; ++v) {
      if (v & skip) continue;
      const typename V::Reg mask = V::bit_xor(p.low[v & 7], flip);
      typename V::Scalar* pa = data + kFloats * v;
      const typename V::Reg a = V::load(pa);
      if constexpr (!kPaired) {
        V::store(pa, rotate<V, kSwapParts>(p, a, V::template permute<kLow>(a), mask));
      } else {
        typename V::Scalar* pb = data + kFloats * (v ^ partner);
        const typename V::Reg b = V::load(pb);
        V::store(pa, rotate<V, kSwapParts>(p, a, V::template permute<kLow>(b), mask));
        V::store(pb, rotate<V, kSwapParts>(p, b, V::template permute<kLow>(a),
                                           V::bit_xor(mask, p.partner_flip)));
      }
    }
  }
}

template <class V>
using RotationRun = void (*)(const RotationPass<V>&, typename V::Scalar*, std::uint64_t, std::uint64_t,
                             std::uint64_t, std::uint64_t);

// Indexed by x mod kAmps (entries at or above kAmps repeat the others).
template <class V, bool kSwapParts, bool kPaired>
constexpr RotationRun<V> kRotationRuns[8] = {
    rotation_run<V, kSwapParts, 0, kPaired>, rotation_run<V, kSwapParts, 1 % V::kAmps, kPaired>,
    rotation_run<V, kSwapParts, 2 % V::kAmps, kPaired>,
    rotation_run<V, kSwapParts, 3 % V::kAmps, kPaired>,
    rotation_run<V, kSwapParts, 4 % V::kAmps, kPaired>,
    rotation_run<V, kSwapParts, 5 % V::kAmps, kPaired>,
    rotation_run<V, kSwapParts, 6 % V::kAmps, kPaired>,
    rotation_run<V, kSwapParts, 7 % V::kAmps, kPaired>};

// Vectors; with a partner vector apart (x above the lanes), pairs of them.
template <class V>
std::size_t rotation_items(std::size_t amplitudes, const RotationMasks& m) {
  return (m.x >> V::kShift) != 0 ? amplitudes / (2 * V::kAmps) : amplitudes / V::kAmps;
}

template <class V>
void rotation_items_range(typename V::Amp* amps, const RotationMasks& m, typename V::Scalar c,
                          typename V::Scalar s, std::size_t lo, std::size_t hi) {
  if (lo >= hi) return;
  RotationPass<V> p;
  prepare_rotation(p, m, c, s);
  typename V::Scalar* data = reinterpret_cast<typename V::Scalar*>(amps);
  const std::uint64_t xv = m.x >> V::kShift;  // x above the lanes, in vector numbering
  const bool swap_parts = (m.ny & 1u) == 0;
  const unsigned low = static_cast<unsigned>(m.x & (V::kAmps - 1));
  const RotationRun<V> body =
      swap_parts ? (xv ? kRotationRuns<V, true, true> : kRotationRuns<V, true, false>)[low]
                 : (xv ? kRotationRuns<V, false, true> : kRotationRuns<V, false, false>)[low];
  if (xv == 0) {
    body(p, data, lo, hi, 0, 0);
    return;
  }
  // Item q is the q-th vector whose number has the highest bit of xv clear:
  // q with a zero inserted at that bit. Items [lo, hi) are the vectors
  // between the first and the last of them that have the bit clear.
  const std::uint64_t top = std::uint64_t{1} << (63 - __builtin_clzll(xv));
  const std::uint64_t first = ((lo & ~(top - 1)) << 1) | (lo & (top - 1));
  const std::uint64_t last = (((hi - 1) & ~(top - 1)) << 1) | ((hi - 1) & (top - 1));
  body(p, data, first, last + 1, xv, top);
}

}  // namespace
}  // namespace vantrel::sim::kernels
