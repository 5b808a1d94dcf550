// Double against single precision, kernel family by family: each kernel of
// the active table of each precision over a whole register on the calling
// thread, and the ratio of the two times (`sim_perf precision [qubits...]`).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "sim/kernels/adjoint_inner.h"
#include "sim/kernels/block.h"
#include "sim/kernels/diagonal.h"
#include "sim/kernels/isa.h"
#include "sim/kernels/matrix.h"
#include "sim/kernels/observable_apply.h"
#include "sim/kernels/pauli.h"
#include "sim/kernels/pauli_rotation.h"

namespace vantrel::sim {
namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double best_seconds(F&& f, int reps) {
  double best = 1e30;
  for (int r = 0; r < 7; ++r) {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count() / reps);
  }
  return best;
}

volatile double g_sink;

// The seconds of each family's kernel at precision T, in the order of kNames.
constexpr const char* kNames[] = {"1-qubit q=3",       "1-qubit q=n-2",     "CNOT c=n/2 t=3", "2-qubit dense",
                                  "block RY (2^16)",   "block CX (2^16)",   "diagonal 3 targets",
                                  "sign flips (CZ)",   "Pauli sweep 2n-1",  "Im <l|P|psi>",   "H psi term",
                                  "Pauli rotation"};
template <class T>
std::vector<double> family_seconds(std::size_t n) {
  using C = ComplexOf<T>;
  const kernels::KernelTableOf<T>& isa = kernels::active_kernels_of<T>();
  const std::size_t size = std::size_t{1} << n;
  std::vector<C> a(size), b(size);
  std::mt19937 rng(1);
  std::uniform_real_distribution<T> u(T(-1), T(1));
  for (std::size_t i = 0; i < size; ++i) a[i] = {u(rng), u(rng)}, b[i] = {u(rng), u(rng)};
  const T h = T(0.70710678118654752);
  const C hm[4] = {{h, 0}, {h, 0}, {h, 0}, {-h, 0}};
  const C xm[4] = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  const std::vector<C> a0 = a;
  const int reps = n >= 22 ? 2 : 5;
  std::vector<double> out;
  // Each family from the same amplitudes (the dense matrix is not unitary).
  auto best_seconds = [&](auto&& f, int r) {
    a = a0;
    return vantrel::sim::best_seconds(f, r);
  };
  out.push_back(best_seconds([&] { isa.mat2_pairs(a.data(), 3, hm, 0, size / 2); }, reps));
  out.push_back(best_seconds([&] { isa.mat2_pairs(a.data(), static_cast<unsigned>(n - 2), hm, 0, size / 2); }, reps));
  kernels::ControlledMat2Of<T> cx;
  kernels::make_controlled_mat2(std::size_t{1} << (n / 2), 3, xm, &cx);
  out.push_back(best_seconds([&] { kernels::controlled_mat2_pairs(a.data(), cx, 0, size / 2, isa); }, reps));
  std::vector<C> dense(16);
  for (auto& c : dense) c = {u(rng) * T(0.5), u(rng) * T(0.5)};
  const std::uint64_t targets[2] = {n / 2, 3};
  kernels::MatrixPlanOf<T> plan;
  (void)plan.prepare(targets, dense, isa);
  out.push_back(best_seconds([&] { plan.apply_groups(a.data(), 0, plan.groups(size), nullptr); }, reps));
  const unsigned bits = 16;
  const T c = std::cos(T(0.4)), s = std::sin(T(0.4));
  const C ry[4] = {{c, 0}, {-s, 0}, {s, 0}, {c, 0}};
  const kernels::Mat2BlockOf<T> op = kernels::prepare_mat2_block(5u, ry);
  out.push_back(best_seconds([&] {
    for (std::size_t blk = 0; blk < size; blk += std::size_t{1} << bits) isa.block_mat2(a.data() + blk, bits, op);
  }, reps));
  kernels::ControlledMat2Of<T> bcx;
  kernels::make_controlled_mat2(std::size_t{1} << 9, 4, xm, &bcx);
  out.push_back(best_seconds([&] {
    for (std::size_t blk = 0; blk < size; blk += std::size_t{1} << bits) isa.block_controlled_x(a.data() + blk, bits, bcx);
  }, reps));
  const unsigned positions[3] = {2, 7, static_cast<unsigned>(n - 1)};
  C factors[8];
  for (auto& f : factors) f = {std::cos(u(rng)), std::sin(u(rng))};
  out.push_back(best_seconds([&] { kernels::apply_diagonal(a.data(), static_cast<unsigned>(n), positions, 3, factors, isa); }, reps));
  kernels::SignDiagonal cz;
  cz.count = 2;
  cz.positions[0] = 1;
  cz.positions[1] = static_cast<unsigned>(n / 2);
  cz.flips[0] = 8;
  out.push_back(best_seconds([&] { kernels::apply_sign_run(a.data(), static_cast<unsigned>(n), &cz, 1, isa); }, reps));
  std::vector<kernels::PauliMasks> terms;
  for (std::size_t i = 0; i + 1 < n; ++i) terms.push_back({0, std::uint64_t{3} << i, false, false});
  for (std::size_t i = 0; i < n; ++i) terms.push_back({std::uint64_t{1} << i, 0, false, false});
  std::vector<double> sums(terms.size());
  out.push_back(best_seconds([&] {
    for (std::size_t first = 0; first < terms.size(); first += kernels::kSweepTerms) {
      const std::size_t count = std::min(kernels::kSweepTerms, terms.size() - first);
      isa.pauli_sweep(a.data(), size, kernels::PauliSweep{terms.data() + first, count}, sums.data() + first);
    }
  }, reps));
  const kernels::PauliMasks yx{0x10005, 0x8003, true, false};
  out.push_back(best_seconds([&] {
    double t = 0;
    for (std::size_t lo = 0; lo < size; lo += kernels::kAdjointChunk)
      t += isa.imag_pauli_chunk(a.data(), b.data(), yx, lo, lo + kernels::kAdjointChunk);
    g_sink = t;
  }, reps));
  const kernels::TermLanesOf<T> term = kernels::term_lanes<T>(yx, T(0.5));
  out.push_back(best_seconds([&] { isa.add_term(b.data(), a.data(), 0, size, term); }, reps));
  const kernels::RotationMasks rm{0x11, 0x10, 1};
  const kernels::RotationKernelOf<T>& rk = kernels::rotation_kernel_of<T>(size);
  out.push_back(best_seconds([&] { rk.range(a.data(), rm, c, s, 0, rk.items(size, rm)); }, reps));
  return out;
}

}  // namespace

void bench_precisions(const std::vector<std::size_t>& sizes) {
  std::printf("kernels: %s, one thread; milliseconds per pass of each kernel\n", kernels::active_kernels().name);
  for (std::size_t n : sizes) {
    const std::vector<double> single = family_seconds<float>(n), twice = family_seconds<double>(n);
    std::printf("n=%zu %22s %10s %10s %8s\n", n, "", "single", "double", "ratio");
    for (std::size_t k = 0; k < single.size(); ++k)
      std::printf("  %-26s %10.3f %10.3f %8.2f\n", kNames[k], single[k] * 1e3, twice[k] * 1e3, twice[k] / single[k]);
  }
}

}  // namespace vantrel::sim
