// The AVX2 instantiations of the general kernel's vector parts
// (matrix_lanes.h), and the single-precision regrouping of the direct
// kernels for targets at qubit 0 or 1. Built with -mavx2 only (no FMA);
// called only when the processor has AVX2.
#include <immintrin.h>

#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/matrix_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
void row_sums_avx2(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                   const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out) {
  row_sums_of<Avx2<T>>(vals, cols, count, scratch, width, c, out);
}

namespace {

using V = Avx2<float>;

inline __m256 load(const Complex* a) { return _mm256_loadu_ps(reinterpret_cast<const float*>(a)); }
inline void store(Complex* a, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float*>(a), v); }
inline __m256 unpacklo(__m256 a, __m256 b) {
  return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
inline __m256 unpackhi(__m256 a, __m256 b) {
  return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Where each local index lies when qubit 0 or 1 (or both) is a target:
// local indices come in sets sharing the offset `head` of the other
// targets; within a set, `slot` tells the low targets' part of the offset
// (0..3 when both are targets, else 0 or 1 for the one low target clear or
// set).
template <std::size_t D>
struct LowMap {
  unsigned low = 0;  // target bits among qubits 0 and 1
  std::size_t heads = 0;
  std::size_t head[D] = {};
  std::uint8_t index[D][4] = {};  // local index of (head, slot)

  explicit LowMap(const DirectPlan<D>& plan) : low(static_cast<unsigned>(plan.mask & 3)) {
    for (std::size_t j = 0; j < D; ++j) {
      const std::size_t part = plan.offsets[j] & 3, h = plan.offsets[j] - part;
      std::size_t at = 0;
      while (at < heads && head[at] != h) ++at;
      if (at == heads) head[heads++] = h;
      index[at][low == 3 ? part : (part ? 1 : 0)] = static_cast<std::uint8_t>(j);
    }
  }
};

// Four groups whose bases are b[0..3], with qubit 0 or 1 (or both) among
// the targets. Vectors of four adjacent amplitudes are regrouped so that
// each complex lane holds one group; the result is regrouped back. With
// both low qubits as targets a vector holds one group (a 4x4 transpose of
// lanes); with one, groups pair up in a vector (b[0], b[1] from b[0]; b[2],
// b[3] from b[2]).
template <std::size_t D, DirectMode kMode>
inline void direct_low(Complex* amps, const DirectPlan<D>& plan, const LowMap<D>& map,
                       const std::size_t b[4]) {
  __m256 x[D], y[D];
  for (std::size_t h = 0; h < map.heads; ++h) {
    Complex* at = amps + map.head[h];
    prefetch_ahead(at + b[0]);
    if (map.low == 3) {
      const __m256 v0 = load(at + b[0]), v1 = load(at + b[1]), v2 = load(at + b[2]), v3 = load(at + b[3]);
      const __m256 t0 = unpacklo(v0, v1), t1 = unpackhi(v0, v1), t2 = unpacklo(v2, v3),
                   t3 = unpackhi(v2, v3);
      x[map.index[h][0]] = _mm256_permute2f128_ps(t0, t2, 0x20);
      x[map.index[h][1]] = _mm256_permute2f128_ps(t1, t3, 0x20);
      x[map.index[h][2]] = _mm256_permute2f128_ps(t0, t2, 0x31);
      x[map.index[h][3]] = _mm256_permute2f128_ps(t1, t3, 0x31);
    } else {
      const __m256 a = load(at + b[0]), c = load(at + b[2]);
      if (map.low == 1) {  // (g0: q0=0, q0=1 | g1: q0=0, q0=1)
        x[map.index[h][0]] = unpacklo(a, c);
        x[map.index[h][1]] = unpackhi(a, c);
      } else {  // (g0, g1: q1=0 | g0, g1: q1=1)
        x[map.index[h][0]] = _mm256_permute2f128_ps(a, c, 0x20);
        x[map.index[h][1]] = _mm256_permute2f128_ps(a, c, 0x31);
      }
    }
  }
  direct_rows<V, D, kMode>(plan, x, y);
  for (std::size_t h = 0; h < map.heads; ++h) {
    Complex* at = amps + map.head[h];
    if (map.low == 3) {
      const __m256 o0 = y[map.index[h][0]], o1 = y[map.index[h][1]], o2 = y[map.index[h][2]],
                   o3 = y[map.index[h][3]];
      const __m256 u0 = unpacklo(o0, o1), u1 = unpackhi(o0, o1), u2 = unpacklo(o2, o3), u3 = unpackhi(o2, o3);
      store(at + b[0], _mm256_permute2f128_ps(u0, u2, 0x20));
      store(at + b[1], _mm256_permute2f128_ps(u1, u3, 0x20));
      store(at + b[2], _mm256_permute2f128_ps(u0, u2, 0x31));
      store(at + b[3], _mm256_permute2f128_ps(u1, u3, 0x31));
    } else {
      const __m256 l0 = y[map.index[h][0]], l1 = y[map.index[h][1]];
      if (map.low == 1) {
        store(at + b[0], unpacklo(l0, l1));
        store(at + b[2], unpackhi(l0, l1));
      } else {
        store(at + b[0], _mm256_permute2f128_ps(l0, l1, 0x20));
        store(at + b[2], _mm256_permute2f128_ps(l0, l1, 0x31));
      }
    }
  }
}

// Qubit 0 or 1 among the targets (single precision, four amplitudes a
// register): groups four at a time from an aligned group index, the others
// one by one.
template <std::size_t D, DirectMode kMode>
void direct_groups_low(Complex* amps, const DirectPlan<D>& plan, std::size_t lo, std::size_t hi) {
  const LowMap<D> map(plan);
  auto next = [&](std::size_t b) { return (((b | plan.skip) + 1) & ~plan.skip) | plan.fixed; };
  std::size_t base = deposit(lo, plan.skip) | plan.fixed;
  std::size_t g = lo;
  for (; g < hi && (g & 3); ++g, base = next(base)) direct_group_scalar(amps, plan, base);
  for (; g + 4 <= hi; g += 4) {
    std::size_t b[4];
    b[0] = base;
    for (int i = 1; i < 4; ++i) b[i] = next(b[i - 1]);
    direct_low<D, kMode>(amps, plan, map, b);
    base = next(b[3]);
  }
  for (; g < hi; ++g, base = next(base)) direct_group_scalar(amps, plan, base);
}

// Groups one by one, scalar.
template <class T, std::size_t D>
void direct_groups_one_by_one(ComplexOf<T>* amps, const DirectPlanOf<T, D>& plan, std::size_t lo, std::size_t hi) {
  std::size_t base = deposit(lo, plan.skip) | plan.fixed;
  for (std::size_t g = lo; g < hi; ++g, base = (((base | plan.skip) + 1) & ~plan.skip) | plan.fixed)
    direct_group_scalar(amps, plan, base);
}

}  // namespace

// Targets or fixed qubits below qubit kShift cut the runs of consecutive
// groups shorter than a register: single precision regroups qubits 0 and 1
// in registers, double precision (qubit 0 only) takes the groups one by one.
template <class T, std::size_t D>
void direct_groups_avx2(ComplexOf<T>* amps, const DirectPlanOf<T, D>& plan, std::size_t lo, std::size_t hi) {
  if (plan.low_bit >= Avx2<T>::kShift) {
    direct_groups_of<Avx2<T>>(amps, plan, lo, hi);
  } else if constexpr (std::is_same_v<T, float>) {
    if (plan.dense) {
      direct_groups_low<D, DirectMode::kDense>(amps, plan, lo, hi);
    } else if (plan.permutation) {
      direct_groups_low<D, DirectMode::kPermute>(amps, plan, lo, hi);
    } else {
      direct_groups_low<D, DirectMode::kProgram>(amps, plan, lo, hi);
    }
  } else {
    direct_groups_one_by_one(amps, plan, lo, hi);
  }
}

template void row_sums_avx2<float>(const Complex*, const std::uint32_t*, std::size_t, const Complex*, std::size_t,
                                   std::size_t, Complex*);
template void row_sums_avx2<double>(const ComplexD*, const std::uint32_t*, std::size_t, const ComplexD*,
                                    std::size_t, std::size_t, ComplexD*);
template void direct_groups_avx2<float, 4>(Complex*, const DirectPlanOf<float, 4>&, std::size_t, std::size_t);
template void direct_groups_avx2<float, 8>(Complex*, const DirectPlanOf<float, 8>&, std::size_t, std::size_t);
template void direct_groups_avx2<double, 4>(ComplexD*, const DirectPlanOf<double, 4>&, std::size_t, std::size_t);
template void direct_groups_avx2<double, 8>(ComplexD*, const DirectPlanOf<double, 8>&, std::size_t, std::size_t);

}  // namespace vantrel::sim::kernels
