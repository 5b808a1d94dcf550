// Benchmark of whole runs: passes over memory per gate of layered circuits,
// with the executor and gate by gate.
//
//   sim_perf layered [qubits...]        (default: 20 24)
//   sim_perf plans [qubits...]          double against single precision
//
// Two circuits of d layers on n qubits, run as compiled plans:
//   ry-cx:    RY on every qubit, then CX(q, q+1) for every q
//   rzrx-cz:  RZ then RX on every qubit, then CZ(q, q+1) for every q
// Each run's time is divided by its number of gates and by the time of one
// plain read-and-write pass over the same register, measured in the same
// process with the same number of threads: the result is the number of
// passes per gate (a gate that reads and writes every amplitude once from
// memory costs about 1).
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <random>
#include <vector>

#include "sim/diff/adjoint.h"
#include "sim/run/plan_run.h"
#include "sim/run/block_executor.h"
#include "sim/base/pool.h"

namespace vantrel::sim {
namespace {

using Clock = std::chrono::steady_clock;

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

template <class F>
double best_seconds(F&& f, int reps) {
  static const bool cpu = std::getenv("BENCH_CPU") != nullptr;
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    const double c0 = cpu ? cpu_now() : 0;
    f();
    const double t = cpu ? cpu_now() - c0 : std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::min(best, t);
  }
  return best;
}

struct Layered {
  CompiledCircuit plan;
  std::vector<float> params;
  std::size_t gates;
};

Layered layered(std::uint64_t n, std::size_t layers, bool rzrx) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(n).value();
  const std::vector<Complex> x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  const std::vector<Complex> z = {{1, 0}, {0, 0}, {0, 0}, {-1, 0}};
  std::size_t gates = 0;
  for (std::size_t l = 0; l < layers; ++l) {
    for (std::uint64_t q = 0; q < n; ++q) {
      if (rzrx) {
        (void)spec.add_param_single(RotationKind::kRZ, q, spec.add_parameter(std::nullopt));
        (void)spec.add_param_single(RotationKind::kRX, q, spec.add_parameter(std::nullopt));
        gates += 2;
      } else {
        (void)spec.add_param_single(RotationKind::kRY, q, spec.add_parameter(std::nullopt));
        ++gates;
      }
    }
    for (std::uint64_t q = 0; q + 1 < n; ++q) {
      (void)spec.add_fixed_gate(make_controlled_unitary_gate({q}, {q + 1}, rzrx ? z : x).value());
      ++gates;
    }
  }
  Layered out{spec.compile(), {}, gates};
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
  for (std::uint64_t i = 0; i < out.plan.parameter_count(); ++i) out.params.push_back(angle(rng));
  return out;
}

// One read-and-write pass over the register, split over the pool's threads
// as the kernels split theirs.
double pass_seconds(StateVector& s, int reps) {
  Complex* data = s.data();
  const std::size_t size = s.size();
  return best_seconds(
      [&] {
        parallel_for(size / 2, std::size_t{1} << 14, [&](std::size_t lo, std::size_t hi) {
          float* f = reinterpret_cast<float*>(data);
          for (std::size_t i = 4 * lo; i < 4 * hi; ++i) f[i] = -f[i];
        });
      },
      reps);
}

}  // namespace

void bench_layered(const std::vector<std::size_t>& sizes) {
  // BENCH_BLOCK / BENCH_LOW override the block geometry, for tuning.
  if (const char* b = std::getenv("BENCH_BLOCK")) {
    detail::ExecutorConfig cfg = detail::executor_config();
    cfg.block_qubits = static_cast<unsigned>(std::atoi(b));
    detail::set_executor_config(cfg);
  }
  if (const char* l = std::getenv("BENCH_LOW")) {
    detail::ExecutorConfig cfg = detail::executor_config();
    cfg.low_qubits = static_cast<unsigned>(std::atoi(l));
    detail::set_executor_config(cfg);
  }
  std::printf("threads: %zu, block: 2^%u amplitudes\n", pool_num_threads(),
              detail::executor_config().block_qubits);
  for (std::size_t n : sizes) {
    StateVector s = std::move(StateVector::create(n).value());
    const int reps = n >= 24 ? 3 : n >= 20 ? 5 : 20;
    const std::size_t layers = n >= 24 ? 4 : 10;
    const double pass = pass_seconds(s, reps);
    std::printf("n=%zu: read+write pass %.3f ms\n", n, pass * 1e3);
    for (bool rzrx : {false, true}) {
      const Layered c = layered(n, layers, rzrx);
      double t[2];
      for (int blocked = 0; blocked < 2; ++blocked) {
        detail::ExecutorConfig cfg = detail::executor_config();
        cfg.enabled = blocked == 1;
        detail::set_executor_config(cfg);
        t[blocked] = best_seconds([&] { (void)run_into(c.plan, c.params, s); }, reps);
      }
      detail::ExecutorConfig cfg = detail::executor_config();
      cfg.enabled = true;
      detail::set_executor_config(cfg);
      const double g = static_cast<double>(c.gates);
      std::printf("  %-8s %zu layers, %4zu gates: gate by gate %8.2f ms (%.3f passes/gate), "
                  "executor %8.2f ms (%.3f passes/gate)\n",
                  rzrx ? "rzrx-cz" : "ry-cx", layers, c.gates, t[0] * 1e3, t[0] / g / pass, t[1] * 1e3,
                  t[1] / g / pass);
    }
  }
}

// Double against single precision on whole calls, in one process with the
// pool's threads (RAYON_NUM_THREADS sets them): the ry-cx plan's final state
// and its adjoint gradient of sum_q Z_q, the best of a few runs each, and
// the ratio of the two precisions.
void bench_plan_precisions(const std::vector<std::size_t>& sizes) {
  std::printf("threads: %zu\n", pool_num_threads());
  for (std::size_t n : sizes) {
    const int reps = n >= 24 ? 3 : 5;
    const Layered c = layered(n, 4, false);
    const std::vector<double> params_d(c.params.begin(), c.params.end());
    std::vector<PauliTerm> observable;
    for (std::uint64_t q = 0; q < n; ++q)
      observable.push_back(PauliTerm::create({{q, PauliLabel::kZ}}, 1.0).value());
    ExecutionContextOf<float> context_f = execution_context<float>(c.plan).value();
    ExecutionContextOf<double> context_d = execution_context<double>(c.plan).value();
    const double state_f = best_seconds(
        [&] { (void)run_statevector_with_context(c.plan, std::span<const float>(c.params), context_f); }, reps);
    const double state_d = best_seconds(
        [&] { (void)run_statevector_with_context(c.plan, std::span<const double>(params_d), context_d); }, reps);
    const double adjoint_f = best_seconds(
        [&] { (void)adjoint_value_and_gradient_with_context(c.plan, std::span<const float>(c.params), observable, context_f); },
        reps);
    const double adjoint_d = best_seconds(
        [&] { (void)adjoint_value_and_gradient_with_context(c.plan, std::span<const double>(params_d), observable, context_d); },
        reps);
    std::printf("n=%zu %zu gates: state single %8.2f ms double %8.2f ms ratio %.2f; "
                "adjoint gradient single %8.2f ms double %8.2f ms ratio %.2f\n",
                n, c.gates, state_f * 1e3, state_d * 1e3, state_d / state_f, adjoint_f * 1e3,
                adjoint_d * 1e3, adjoint_d / adjoint_f);
  }
}

}  // namespace vantrel::sim
