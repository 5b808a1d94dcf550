// Micro-benchmarks of the gate kernels and the pool's hand-over.
//
//   sim_perf [qubits...]      (default: 20 24)
//
// The pool takes its size from RAYON_NUM_THREADS as usual; run once per
// thread count. Prints, per register size, the time of a plain
// read-and-write pass over the amplitudes, of one-qubit gates on low, middle
// and high qubits, of two-qubit gates (dense, controlled-NOT) and their ratio
// to the pass.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/kernels/reference.h"
#include "sim/operation.h"
#include "sim/pool.h"
#include "sim/state_vector.h"

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

void bench_register(std::size_t n) {
  StateVector s = std::move(StateVector::create(n).value());
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto& a : s.amplitudes()) a = {u(rng) * 1e-3f, u(rng) * 1e-3f};
  const int reps = n >= 24 ? 5 : 40;
  Complex* data = s.data();
  const std::size_t size = s.size();

  // A plain pass that reads and writes every amplitude, split like the kernel.
  const double pass = best_time(
      [&] {
        parallel_for(size / 2, kernels::kMat2GrainPairs, [&](std::size_t lo, std::size_t hi) {
          float* f = reinterpret_cast<float*>(data);
          for (std::size_t i = 4 * lo; i < 4 * hi; ++i) f[i] = -f[i];
        });
      },
      reps);
  const double bytes = double(size) * sizeof(Complex);
  std::printf("n=%zu (%.0f MiB), %zu threads\n", n, bytes / (1 << 20), pool_num_threads());
  std::printf("  read+write pass        %9.3f ms  (%.1f GB/s)\n", pass * 1e3, 2 * bytes / pass / 1e9);

  const float h = 0.70710678f;
  const Complex hm[4] = {{h, 0}, {h, 0}, {h, 0}, {-h, 0}};
  for (std::size_t q : {std::size_t{0}, std::size_t{1}, std::size_t{5}, n / 2, n - 1}) {
    const double t = best_time([&] { s.apply_mat2(q, hm); }, reps);
    std::printf("  1-qubit gate q=%-2zu      %9.3f ms  (%.2f x pass)\n", q, t * 1e3, t / pass);
  }
  {
    const std::size_t q = n / 2;
    const double t = best_time([&] { reference::apply_mat2(s.amplitudes(), q, hm); }, reps, 3);
    std::printf("  1-qubit reference q=%-2zu %8.3f ms  (single thread, scalar)\n", q, t * 1e3);
  }

  std::vector<Complex> dense(16);
  for (auto& c : dense) c = {u(rng), u(rng)};
  Operation dense_op;
  dense_op.targets = {n / 2, 3};
  dense_op.matrix = dense;
  Operation swap_op;
  swap_op.targets = {n / 2, 3};
  swap_op.matrix = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}, {0, 0},
                    {0, 0}, {1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}};
  Operation dense_low = dense_op;
  dense_low.targets = {1, 0};
  const std::vector<Complex> x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  const Gate cnot = make_controlled_unitary_gate({n / 2}, {3}, x).value();
  const Gate cnot_low = make_controlled_unitary_gate({1}, {0}, x).value();
  const Gate cnot_up = make_controlled_unitary_gate({0}, {n - 1}, x).value();
  const Gate toffoli = make_controlled_unitary_gate({2, n - 1}, {n / 2}, x).value();
  const Gate cswap = make_controlled_unitary_gate({n - 1}, {n / 2, 3}, swap_op.matrix).value();
  Operation dense3;
  dense3.targets = {n / 2, 3, 5};
  for (int i = 0; i < 64; ++i) dense3.matrix.push_back({u(rng), u(rng)});
  Operation dense3_low = dense3;
  dense3_low.targets = {n / 2, 3, 1};
  struct Case {
    const char* name;
    const Operation* op;
  };
  for (Case c : {Case{"2-qubit dense   ", &dense_op}, Case{"2-qubit dense 1,0", &dense_low},
                 Case{"SWAP             ", &swap_op}, Case{"CNOT c=n/2 t=3   ", &cnot.op},
                 Case{"CNOT c=1 t=0     ", &cnot_low.op}, Case{"CNOT c=0 t=n-1   ", &cnot_up.op},
                 Case{"CCX c=2,n-1 t=n/2", &toffoli.op}, Case{"CSWAP c=n-1      ", &cswap.op},
                 Case{"3-qubit dense    ", &dense3}, Case{"3-qubit dense ..1", &dense3_low}}) {
    const double t = best_time([&] { (void)s.apply_operation(*c.op); }, reps);
    std::printf("  %s %9.3f ms  (%.2f x pass)\n", c.name, t * 1e3, t / pass);
  }

  // Controlled gates against their full matrix through the general kernel.
  // A dense unitary: H x H x H with a phase on each column.
  std::vector<Complex> u3;
  const float h3 = h * h * h;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      const float sign = (std::popcount(static_cast<unsigned>(r & c)) & 1) ? -h3 : h3;
      u3.push_back({sign * std::cos(0.3f * c + 0.1f), sign * std::sin(0.3f * c + 0.1f)});
    }
  std::vector<std::uint64_t> eight;
  for (std::uint64_t q = 0; q < 8; ++q) eight.push_back(n - 1 - q);
  const Gate cswap_low = make_controlled_unitary_gate({0}, {n / 2, 3}, swap_op.matrix).value();
  const Gate ccswap = make_controlled_unitary_gate({2, n - 1}, {n / 2, 3}, swap_op.matrix).value();
  const Gate c_dense3 = make_controlled_unitary_gate({n - 1}, {n / 2, 3, 5}, u3).value();
  const Gate c_dense3_low = make_controlled_unitary_gate({0}, {n / 2, 3, 5}, u3).value();
  const Gate mcx8 = make_controlled_unitary_gate(eight, {3}, x).value();
  struct Controlled {
    const char* name;
    const Gate* gate;
  };
  std::printf("  controlled gates: as kept, and as their full matrix\n");
  for (Controlled c : {Controlled{"CNOT c=n/2 t=3   ", &cnot}, Controlled{"CCX c=2,n-1 t=n/2", &toffoli},
                       Controlled{"CSWAP c=n-1      ", &cswap}, Controlled{"CSWAP c=0        ", &cswap_low},
                       Controlled{"CCSWAP c=2,n-1   ", &ccswap}, Controlled{"C-3q dense c=n-1 ", &c_dense3},
                       Controlled{"C-3q dense c=0   ", &c_dense3_low}, Controlled{"MCX 8 controls   ", &mcx8}}) {
    Operation full;
    full.targets = c.gate->op.targets;
    full.matrix = c.gate->op.full_matrix().value();
    const double t = best_time([&] { (void)s.apply_operation(c.gate->op); }, reps);
    const double tf = best_time([&] { (void)s.apply_operation(full); }, reps);
    std::printf("  %s %9.3f ms  full matrix %9.3f ms  (%.2f x)\n", c.name, t * 1e3, tf * 1e3, tf / t);
  }
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

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {20, 24};
  std::printf("one-qubit kernel: %s\n", kernels::cpu_has_avx2() ? "AVX2" : "SSE2");
  round_trip();
  bench_small();
  for (std::size_t n : sizes) bench_register(n);
}
