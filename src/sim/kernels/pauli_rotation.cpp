// The Pauli-string rotation kernel (arithmetic in pauli_rotation.h), SSE2:
// one vector holds two consecutive amplitudes, an even index i0 and i0 + 1.
//
// The term t = s (-i)^e b is (u, v), (v, -u), (-u, -v) or (-v, u) for
// e = 0 .. 3, (u, v) = (s b.re, s b.im). Since e = ny + 1 + 2 popcount(i & z)
// (mod 4), its parity is that of ny + 1 for every amplitude: the swap of u and
// v is the same over the whole pass, and the Z parity of the index only adds
// 2 to e, which negates both components. So every lane computes
//   c * a + ((s * b) swapped or not) with its sign bits flipped by a mask,
// exactly the rounded products and sum of the reference, the negations done
// by flipping sign bits as unary minus does.
#include "sim/kernels/pauli_rotation.h"

#include <emmintrin.h>

#include <algorithm>
#include <bit>

namespace vantrel::sim::kernels {
namespace {

constexpr std::uint32_t kSign = 0x80000000u;

inline __m128 splat_sign(bool negate) {
  return _mm_castsi128_ps(_mm_set1_epi32(negate ? static_cast<int>(kSign) : 0));
}

// Vectors are numbered v = i0 / 2. The sign mask of vector v is that of even
// Z parity flipped by the parity of v & zv; the low three bits of v are
// looked up in `low`, the rest computed once per aligned group of eight.
struct Pass {
  __m128 c, s;
  bool swap_parts;       // ny even: e odd everywhere, u and v trade places
  bool swap_lanes;       // x holds qubit 0: the partner of lane 0 is lane 1
  std::uint64_t zv;      // z above qubit 0, in vector numbering
  __m128 partner_flip;   // the partner vector's parity differs by x & z above qubit 0
  __m128 low[8];         // masks of v = 0 .. 7
};

void prepare(Pass& p, const RotationMasks& m, float c, float s) {
  p.c = _mm_set1_ps(c);
  p.s = _mm_set1_ps(s);
  p.swap_parts = (m.ny & 1u) == 0;
  p.swap_lanes = (m.x & 1u) != 0;
  p.zv = m.z >> 1;
  p.partner_flip = splat_sign(__builtin_parityll((m.x & m.z) >> 1));
  // e of an index with even Z parity: ny + 1. Its sign flips: e = 1 negates
  // the imaginary part, 2 both, 3 the real part.
  const unsigned e = (m.ny + 1u) & 3u;
  const std::uint32_t re = (e == 2 || e == 3) ? kSign : 0u;
  const std::uint32_t im = (e == 1 || e == 2) ? kSign : 0u;
  // Lane 1 (index i0 + 1) has the opposite parity when qubit 0 is in z.
  const std::uint32_t odd = (m.z & 1u) ? kSign : 0u;
  const __m128 even = _mm_castsi128_ps(_mm_setr_epi32(static_cast<int>(re), static_cast<int>(im),
                                                      static_cast<int>(re ^ odd),
                                                      static_cast<int>(im ^ odd)));
  for (unsigned v = 0; v < 8; ++v)
    p.low[v] = _mm_xor_ps(even, splat_sign(__builtin_parity(static_cast<unsigned>(v & p.zv))));
}

inline __m128 swap_lanes(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)); }

// c * a + mask(swapped(s * b)) for the vector a, b holding the partners of
// its lanes in its own lane order.
template <bool kSwapParts>
inline __m128 rotate(const Pass& p, __m128 a, __m128 b, __m128 mask) {
  __m128 t = _mm_mul_ps(p.s, b);
  if constexpr (kSwapParts) t = _mm_shuffle_ps(t, t, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_add_ps(_mm_mul_ps(p.c, a), _mm_xor_ps(t, mask));
}

// The vectors of [vb, ve) that have no bit of `skip` set. Paired, each is
// updated together with vector v ^ partner (which has a `skip` bit); else
// its lanes are their own partners.
template <bool kSwapParts, bool kSwapLanes, bool kPaired>
void run(const Pass& p, float* data, std::uint64_t vb, std::uint64_t ve, std::uint64_t partner,
         std::uint64_t skip) {
  for (std::uint64_t v = vb; v < ve;) {
    const std::uint64_t group_end = std::min<std::uint64_t>(ve, (v | 7) + 1);
    const __m128 flip = splat_sign(__builtin_parityll(v & p.zv & ~std::uint64_t{7}));
    for (; v < group_end; ++v) {
      if (v & skip) continue;
      const __m128 mask = _mm_xor_ps(p.low[v & 7], flip);
      float* pa = data + 4 * v;
      const __m128 a = _mm_loadu_ps(pa);
      if constexpr (!kPaired) {
        _mm_storeu_ps(pa, rotate<kSwapParts>(p, a, kSwapLanes ? swap_lanes(a) : a, mask));
      } else {
        float* pb = data + 4 * (v ^ partner);
        const __m128 b = _mm_loadu_ps(pb);
        _mm_storeu_ps(pa, rotate<kSwapParts>(p, a, kSwapLanes ? swap_lanes(b) : b, mask));
        _mm_storeu_ps(pb, rotate<kSwapParts>(p, b, kSwapLanes ? swap_lanes(a) : a,
                                             _mm_xor_ps(mask, p.partner_flip)));
      }
    }
  }
}

using Run = void (*)(const Pass&, float*, std::uint64_t, std::uint64_t, std::uint64_t,
                     std::uint64_t);

// Indexed by [swap_parts][swap_lanes][paired].
constexpr Run kRuns[2][2][2] = {
    {{run<false, false, false>, run<false, false, true>},
     {run<false, true, false>, run<false, true, true>}},
    {{run<true, false, false>, run<true, false, true>},
     {run<true, true, false>, run<true, true, true>}},
};

}  // namespace

std::size_t pauli_rotation_items(std::size_t amplitudes, const RotationMasks& m) {
  // Vectors; with a partner vector apart (x above qubit 0), pairs of them.
  return (m.x >> 1) != 0 ? amplitudes / 4 : amplitudes / 2;
}

void pauli_rotation_items_range(Complex* amps, const RotationMasks& m, float c, float s,
                                std::size_t lo, std::size_t hi) {
  if (lo >= hi) return;
  Pass p;
  prepare(p, m, c, s);
  float* data = reinterpret_cast<float*>(amps);
  const std::uint64_t xv = m.x >> 1;  // x above qubit 0, in vector numbering
  const Run body = kRuns[p.swap_parts][p.swap_lanes][xv != 0];
  if (xv == 0) {
    body(p, data, lo, hi, 0, 0);
    return;
  }
  // Item q is the q-th vector whose number has the highest bit of xv clear:
  // q with a zero inserted at that bit. Items [lo, hi) are the vectors
  // between the first and the last of them that have the bit clear.
  const std::uint64_t top = std::uint64_t{1} << (63 - std::countl_zero(xv));
  const auto vector_of = [&](std::uint64_t q) { return ((q & ~(top - 1)) << 1) | (q & (top - 1)); };
  body(p, data, vector_of(lo), vector_of(hi - 1) + 1, xv, top);
}

}  // namespace vantrel::sim::kernels
