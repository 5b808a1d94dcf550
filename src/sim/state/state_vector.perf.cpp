// Micro-benchmarks of the gate kernels and the pool's hand-over.
//
//   sim_perf [qubits...]      (default: 20 24)
//   sim_perf layered [qubits...]   whole runs (run/block_executor.perf.cpp)
//   sim_perf plans [qubits...]     whole calls, double against single (same file)
//   sim_perf precision [qubits...] double against single precision, kernel
//                                  by kernel (kernels/precision.perf.cpp)
//
// The pool takes its size from RAYON_NUM_THREADS as usual; run once per
// thread count. Prints, per register size, the time of a plain
// read-and-write pass over the amplitudes and, for every kernel table the
// processor runs, the cost of one-qubit gates on every qubit, two- and
// three-qubit gates (dense, SWAP, controlled) and the expectation value of a
// 2n-1-term Hamiltonian, each as a ratio to the pass; then controlled gates
// against their full matrix.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "sim/kernels/isa.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/kernels/pauli.h"
#include "sim/kernels/reference.h"
#include "sim/state/expectation.h"
#include "sim/model/operation.h"
#include "sim/base/pool.h"
#include "sim/diff/adjoint.h"
#include "sim/state/state_vector.h"

using namespace vantrel::sim;

namespace {

using Clock = std::chrono::steady_clock;

// Best of `rounds` averages of `reps` calls, in seconds per call.
template <class F>
double best_time(F&& f, int reps, int rounds = 5) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    const double t = std::chrono::duration<double>(Clock::now() - t0).count() / reps;
    if (t < best) best = t;
  }
  return best;
}

volatile std::size_t g_sink;

constexpr float kHalf = 0.70710678f;
const Complex kH[4] = {{kHalf, 0}, {kHalf, 0}, {kHalf, 0}, {-kHalf, 0}};
const std::vector<Complex> kHv(kH, kH + 4);

void round_trip() {
  const double outside = best_time(
      [] { parallel_for(2, 1, [](std::size_t lo, std::size_t) { g_sink = lo; }); }, 20000);
  std::printf("parallel_for(2 items) from outside the pool: %.2f us per call\n", outside * 1e6);
  double inside = 0;
  parallel_for(2, 1, [&](std::size_t lo, std::size_t) {
    if (lo != 0) return;
    inside = best_time([] { parallel_for(2, 1, [](std::size_t l, std::size_t) { g_sink = l; }); }, 20000);
  });
  std::printf("parallel_for(2 items) nested on a pool thread: %.2f us per call\n", inside * 1e6);
  const double small = best_time(
      [] { parallel_for(100, 1000, [](std::size_t lo, std::size_t) { g_sink = lo; }); }, 200000);
  std::printf("parallel_for below grain (no hand-over):       %.3f us per call\n", small * 1e6);
}

// Seconds per call of f on the state, best of a few rounds (fewer on large
// registers and on the scalar table, whose passes take long).
template <class F>
double gate_time(std::size_t n, bool slow, F&& f) {
  const int reps = n >= 24 ? 2 : n >= 22 ? 4 : 10;
  return best_time(f, slow ? 1 : reps, slow ? 1 : 3);
}

void bench_register(std::size_t n) {
  StateVector s = std::move(StateVector::create(n).value());
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto& a : s.amplitudes()) a = {u(rng) * 1e-3f, u(rng) * 1e-3f};
  const int reps = n >= 24 ? 5 : 40;
  Complex* data = s.data();
  const std::size_t size = s.size();

  // A plain pass that reads and writes every amplitude, split like the
  // kernel: the unit of every ratio below.
  const double pass = best_time(
      [&] {
        parallel_for(size / 2, kernels::kMat2GrainPairs, [&](std::size_t lo, std::size_t hi) {
          float* f = reinterpret_cast<float*>(data);
          for (std::size_t i = 4 * lo; i < 4 * hi; ++i) f[i] = -f[i];
        });
      },
      reps);
  const double bytes = double(size) * sizeof(Complex);
  std::printf("n=%zu (%.0f MiB), %zu threads: read+write pass %.3f ms (%.1f GB/s); figures in passes\n", n,
              bytes / (1 << 20), pool_num_threads(), pass * 1e3, 2 * bytes / pass / 1e9);
  {
    const double t = best_time([&] { reference::apply_mat2(s.amplitudes(), n / 2, kH); }, 1, 2);
    std::printf("  1-qubit reference q=%zu: %.2f (one thread, plain loops)\n", n / 2, t / pass);
  }

  const auto isas = kernels::supported_kernel_tables();
  std::printf("  %-26s", "");
  for (const kernels::KernelTable* isa : isas) std::printf(" %8s", isa->name);
  std::printf("\n");
  auto row = [&](const char* name, auto&& run) {
    std::printf("  %-26s", name);
    for (const kernels::KernelTable* isa : isas) {
      const bool slow = isa->isa == kernels::Isa::kScalar && n >= 22;
      std::printf(" %8.2f", gate_time(n, slow, [&] { run(*isa); }) / pass);
      std::fflush(stdout);
    }
    std::printf("\n");
  };

  char name[64];
  for (std::size_t q = 0; q < n; ++q) {
    std::snprintf(name, sizeof name, "1-qubit H q=%zu", q);
    row(name, [&](const kernels::KernelTable& isa) { kernels::apply_mat2<PoolExecutor>(s.amplitudes(), q, kH, isa); });
  }

  std::vector<Complex> dense(16), dense3(64);
  for (auto& c : dense) c = {u(rng), u(rng)};
  for (auto& c : dense3) c = {u(rng), u(rng)};
  const std::vector<Complex> swap = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0},
                                     {0, 0}, {1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}};
  const std::vector<Complex> x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  struct Case {
    const char* name;
    Operation op;
  };
  const std::vector<Case> cases = {
      {"2-qubit dense n/2,3", Operation{{n / 2, 3}, dense}},
      {"2-qubit dense 1,0", Operation{{1, 0}, dense}},
      {"2-qubit dense n-1,n-2", Operation{{n - 1, n - 2}, dense}},
      {"SWAP n/2,3", Operation{{n / 2, 3}, swap}},
      {"CNOT c=n/2 t=3", make_controlled_unitary_gate({n / 2}, {3}, x).value().op},
      {"CNOT c=1 t=0", make_controlled_unitary_gate({1}, {0}, x).value().op},
      {"CNOT c=0 t=n-1", make_controlled_unitary_gate({0}, {n - 1}, x).value().op},
      {"CH c=n-1 t=2", make_controlled_unitary_gate({n - 1}, {2}, kHv).value().op},
      {"CCX c=2,n-1 t=n/2", make_controlled_unitary_gate({2, n - 1}, {n / 2}, x).value().op},
      {"CSWAP c=n-1 t=n/2,3", make_controlled_unitary_gate({n - 1}, {n / 2, 3}, swap).value().op},
      {"3-qubit dense n/2,3,5", Operation{{n / 2, 3, 5}, dense3}},
      {"3-qubit dense n/2,3,1", Operation{{n / 2, 3, 1}, dense3}},
  };
  for (const Case& c : cases)
    row(c.name, [&](const kernels::KernelTable& isa) {
      if (c.op.num_controls == 0) {
        (void)kernels::apply_matrix<PoolExecutor>(s.amplitudes(), c.op.targets, c.op.matrix, isa);
      } else {
        (void)kernels::apply_controlled_matrix<PoolExecutor>(s.amplitudes(), c.op.controls(),
                                                             c.op.matrix_targets(), c.op.matrix, isa);
      }
    });

  // Controlled gates (active table) against their full matrix through the
  // general kernel. A dense unitary: H x H x H with a phase on each column.
  std::vector<Complex> u3;
  const float h3 = kHalf * kHalf * kHalf;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const float sign = (std::popcount(static_cast<unsigned>(r & c)) & 1) ? -h3 : h3;
      u3.push_back({sign * std::cos(0.3f * c + 0.1f), sign * std::sin(0.3f * c + 0.1f)});
    }
  std::vector<std::uint64_t> eight;
  for (std::uint64_t q = 0; q < 8; ++q) eight.push_back(n - 1 - q);
  struct Controlled {
    const char* name;
    Gate gate;
  };
  std::printf("  controlled gates (%s): as kept, and as their full matrix\n", kernels::active_kernels().name);
  for (const Controlled& c :
       {Controlled{"CNOT c=n/2 t=3", make_controlled_unitary_gate({n / 2}, {3}, x).value()},
        Controlled{"CCX c=2,n-1 t=n/2", make_controlled_unitary_gate({2, n - 1}, {n / 2}, x).value()},
        Controlled{"CSWAP c=n-1", make_controlled_unitary_gate({n - 1}, {n / 2, 3}, swap).value()},
        Controlled{"CSWAP c=0", make_controlled_unitary_gate({0}, {n / 2, 3}, swap).value()},
        Controlled{"CCSWAP c=2,n-1", make_controlled_unitary_gate({2, n - 1}, {n / 2, 3}, swap).value()},
        Controlled{"C-3q dense c=n-1", make_controlled_unitary_gate({n - 1}, {n / 2, 3, 5}, u3).value()},
        Controlled{"C-3q dense c=0", make_controlled_unitary_gate({0}, {n / 2, 3, 5}, u3).value()},
        Controlled{"MCX 8 controls", make_controlled_unitary_gate(eight, {3}, x).value()}}) {
    Operation full;
    full.targets = c.gate.op.targets;
    full.matrix = c.gate.op.full_matrix().value();
    const double t = gate_time(n, false, [&] { (void)s.apply_operation(c.gate.op); });
    const double tf = gate_time(n, false, [&] { (void)s.apply_operation(full); });
    std::printf("  %-26s %8.2f  full matrix %8.2f  (%.2f x)\n", c.name, t / pass, tf / pass, tf / t);
  }

  // <H> for H = sum Z_i Z_i+1 + sum X_i (2n - 1 terms), summed as
  // expectation() does: sweeps of up to kSweepTerms terms, then the totals.
  std::vector<kernels::PauliMasks> terms;
  for (std::size_t i = 0; i + 1 < n; ++i) terms.push_back({0, (std::uint64_t{3} << i), false, false});
  for (std::size_t i = 0; i < n; ++i) terms.push_back({std::uint64_t{1} << i, 0, false, false});
  std::vector<double> sums(terms.size());
  std::snprintf(name, sizeof name, "expectation, %zu terms", terms.size());
  row(name, [&](const kernels::KernelTable& isa) {
    for (std::size_t first = 0; first < terms.size(); first += kernels::kSweepTerms) {
      const std::size_t count = std::min(kernels::kSweepTerms, terms.size() - first);
      isa.pauli_sweep(data, size, kernels::PauliSweep{terms.data() + first, count}, sums.data() + first);
    }
  });
  // The same through expectation(), which shares the terms between two
  // sweeps on a pool of two or more threads.
  std::vector<PauliTerm> hamiltonian;
  for (std::size_t i = 0; i + 1 < n; ++i)
    hamiltonian.push_back(PauliTerm::create({{i, PauliLabel::kZ}, {i + 1, PauliLabel::kZ}}, 1.0f).value());
  for (std::size_t i = 0; i < n; ++i) hamiltonian.push_back(PauliTerm::create({{i, PauliLabel::kX}}, 0.5f).value());
  const double te = gate_time(n, false, [&] { (void)expectation(s, hamiltonian); });
  std::printf("  %-26s %8.2f  (%s, on this pool)\n", "expectation()", te / pass, kernels::active_kernels().name);
  // H psi into a second state, and the adjoint's inner product
  // Im <lambda|P|psi> of a two-qubit Y X string, as the adjoint sweep takes them.
  StateVector h = std::move(StateVector::create(n).value());
  const double ta = gate_time(n, false, [&] { (void)apply_observable(s, hamiltonian, h); });
  std::printf("  %-26s %8.2f  (%s, on this pool)\n", "H psi", ta / pass, kernels::active_kernels().name);
  const std::vector<PauliFactor> yx = {{1, PauliLabel::kY}, {n - 2, PauliLabel::kX}};
  const kernels::PauliMasks m = pauli_masks(yx);
  const double ti = gate_time(n, false, [&] { g_sink = static_cast<std::size_t>(detail::imag_pauli_inner(h, s, m)); });
  std::printf("  %-26s %8.2f  (%s, on this pool)\n", "Im <lambda|P|psi>", ti / pass, kernels::active_kernels().name);
}

}  // namespace

// Per-call cost on registers small enough to stay on the calling thread.
void bench_small() {
  const float h = 0.70710678f;
  const Complex hm[4] = {{h, 0}, {h, 0}, {h, 0}, {-h, 0}};
  const Gate cnot = make_controlled_unitary_gate({1}, {0}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}).value();
  Operation dense;
  dense.targets = {2, 0};
  dense.matrix.assign(16, Complex{0.5f, 0.0f});
  for (std::size_t n : {4u, 10u, 14u}) {
    StateVector s = std::move(StateVector::create(n).value());
    const int reps = n <= 10 ? 200000 : 5000;
    const double t1 = best_time([&] { s.apply_mat2(1, hm); }, reps);
    const double t2 = best_time([&] { (void)s.apply_operation(cnot.op); }, reps);
    const double t3 = best_time([&] { (void)s.apply_operation(dense); }, reps);
    std::printf("n=%-2zu  1-qubit %8.3f us   CNOT %8.3f us   dense 2-qubit %8.3f us\n", n, t1 * 1e6,
                t2 * 1e6, t3 * 1e6);
  }
}

namespace vantrel::sim {
void bench_layered(const std::vector<std::size_t>& sizes);
void bench_precisions(const std::vector<std::size_t>& sizes);
void bench_plan_precisions(const std::vector<std::size_t>& sizes);
}

int main(int argc, char** argv) {
  const bool layered = argc > 1 && std::string(argv[1]) == "layered";
  const bool precision = argc > 1 && std::string(argv[1]) == "precision";
  const bool plans = argc > 1 && std::string(argv[1]) == "plans";
  std::vector<std::size_t> sizes;
  for (int i = layered || precision || plans ? 2 : 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {20, 24};
  if (layered) {
    bench_layered(sizes);
    return 0;
  }
  if (precision) {
    bench_precisions(sizes);
    return 0;
  }
  if (plans) {
    bench_plan_precisions(sizes);
    return 0;
  }
  std::printf("kernels: %s\n", kernels::active_kernels().name);
  round_trip();
  bench_small();
  for (std::size_t n : sizes) bench_register(n);
}
