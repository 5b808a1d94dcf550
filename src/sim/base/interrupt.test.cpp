#include "sim/base/interrupt.h"
#include "sim/testing/gates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "sim/batch/batch.h"
#include "sim/run/circuit.h"
#include "sim/state/expectation.h"
#include "sim/state/measure.h"

namespace vantrel::sim {
namespace {

using namespace testing;

// `steps` rotations over n qubits, slot i % parameters for step i, with a
// CNOT after every qubit's rotation.
CompiledCircuit long_plan(std::uint64_t n, std::size_t steps, std::uint64_t parameters) {
  std::vector<CompiledOp> ops;
  for (std::size_t i = 0; i < steps; ++i) {
    const std::uint64_t q = i % n;
    ops.push_back(CompiledOp::param(RotationKind::kRY, q, i % parameters));
    ops.push_back(CompiledOp::fixed(cnot(q, (q + 1) % n)));
  }
  return CompiledCircuit(std::move(ops), n, parameters);
}

std::vector<float> angles(std::size_t count) {
  std::vector<float> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = 0.3f + 0.11f * static_cast<float>(i);
  return v;
}

const std::vector<PauliTerm>& z0() {
  static const std::vector<PauliTerm> terms = Observable::single(PauliLabel::kZ, 0, 1.0f)->terms();
  return terms;
}

// A hook that counts its calls and stops the call at call `stop_at` (0:
// never), recording whether it always ran on the thread that made the
// Interrupt and with that thread's binding cleared.
struct CountingHook {
  int calls = 0;
  int stop_at = 0;
  bool on_caller = true;
  bool unbound = true;
  std::thread::id caller = std::this_thread::get_id();

  static bool run(void* self) {
    auto& h = *static_cast<CountingHook*>(self);
    ++h.calls;
    h.on_caller = h.on_caller && std::this_thread::get_id() == h.caller;
    h.unbound = h.unbound && current_interrupt() == nullptr;
    return h.stop_at != 0 && h.calls >= h.stop_at;
  }
};

template <class T>
void expect_interrupted(const Result<T>& r, const char* what) {
  ASSERT_FALSE(r.ok()) << what;
  EXPECT_EQ(r.error().kind, ErrorKind::kInterrupted) << what;
  EXPECT_EQ(r.error().message, "interrupted") << what;
}

TEST(Interrupt, EveryLongLoopStopsOnceTheFlagIsSet) {
  const CompiledCircuit plan = long_plan(4, 8, 3);
  const std::vector<float> params = angles(3);
  const std::vector<float> rows = angles(3 * 5);
  StateVector sampled = run_statevector(plan, params).value();
  const Circuit circuit = Circuit::create({hadamard(0), cnot(0, 1)});

  CountingHook hook;
  Interrupt irq(&CountingHook::run, &hook);
  irq.request_stop();
  InterruptScope bound(irq);
  StateVector state = StateVector::create(4).value();
  const Status run = run_into(plan, params, state);
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, ErrorKind::kInterrupted);
  // Stopped before the first step: the state is still |0000>.
  EXPECT_EQ(state.data()[0].re, 1.0f);
  expect_interrupted(run_statevector(plan, params), "run_statevector");
  expect_interrupted(value_and_gradient(plan, params, z0()), "value_and_gradient");
  expect_interrupted(batch_expectation(plan, rows, 5, z0()), "batch_expectation");
  expect_interrupted(batch_value_and_gradient(plan, rows, 5, z0()), "batch_value_and_gradient");
  expect_interrupted(expectation(sampled, z0()), "expectation");
  expect_interrupted(measure(sampled, 3), "measure");
  expect_interrupted(circuit.run(state), "Circuit::run");
  EXPECT_EQ(hook.calls, 0);  // a stopped call never polls again
}

TEST(Interrupt, HookRunsOnTheCallingThreadUntilItStops) {
  // 10 qubits: a clock read every 256 steps; with no interval every read
  // after the first polls.
  const CompiledCircuit plan = long_plan(10, 3000, 4);
  const std::vector<float> params = angles(4);
  const StateVector unbound_run = run_statevector(plan, params).value();

  CountingHook going_on;
  {
    Interrupt irq(&CountingHook::run, &going_on, std::chrono::nanoseconds(0));
    InterruptScope bound(irq);
    const StateVector polled = run_statevector(plan, params).value();
    EXPECT_EQ(std::memcmp(polled.data(), unbound_run.data(), polled.size() * sizeof(Complex)), 0);
    EXPECT_EQ(current_interrupt(), &irq);
  }
  EXPECT_EQ(current_interrupt(), nullptr);
  EXPECT_GE(going_on.calls, 3);
  EXPECT_TRUE(going_on.on_caller);
  EXPECT_TRUE(going_on.unbound);

  CountingHook stopping;
  stopping.stop_at = 2;
  Interrupt irq(&CountingHook::run, &stopping, std::chrono::nanoseconds(0));
  InterruptScope bound(irq);
  expect_interrupted(run_statevector(plan, params), "run_statevector");
  EXPECT_EQ(stopping.calls, 2);
  EXPECT_TRUE(irq.stop_requested());
}

TEST(Interrupt, ShortCallsNeverPoll) {
  // Below the work of one clock read a call cannot reach its hook, however
  // short the interval.
  const CompiledCircuit plan = long_plan(4, 20, 4);
  CountingHook hook;
  Interrupt irq(&CountingHook::run, &hook, std::chrono::nanoseconds(0));
  InterruptScope bound(irq);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(run_statevector(plan, angles(4)).ok());
  EXPECT_EQ(hook.calls, 0);
}

TEST(Interrupt, BatchStopsWhileTheCallerWaits) {
  // Whatever the pool's size: the caller either runs the rows itself and
  // polls between steps, or waits for the workers and polls between slices
  // of its wait. The workers see the flag at their next row or step.
  const CompiledCircuit plan = long_plan(10, 12, 4);
  const std::size_t rows = 4000;
  const std::vector<float> data = angles(rows * 4);
  CountingHook hook;
  hook.stop_at = 1;
  Interrupt irq(&CountingHook::run, &hook, std::chrono::milliseconds(1));
  InterruptScope bound(irq);
  expect_interrupted(batch_value_and_gradient(plan, data, rows, z0()), "batch_value_and_gradient");
  EXPECT_EQ(hook.calls, 1);
  EXPECT_TRUE(hook.on_caller);
}

TEST(Interrupt, WorkerBindingChecksTheFlagOnly) {
  CountingHook hook;
  Interrupt irq(&CountingHook::run, &hook, std::chrono::nanoseconds(0));
  std::thread([&] {
    InterruptScope::Worker bound(&irq);
    StopCheck check;
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(check(Interrupt::kWorkPerClockRead));
    irq.request_stop();
    // A loop in progress sees the flag within its budget, a new one at once.
    EXPECT_TRUE(check(Interrupt::kWorkPerFlagCheck));
    EXPECT_TRUE(StopCheck()(1));
  }).join();
  EXPECT_EQ(hook.calls, 0);
  // The calling thread keeps its own binding when it works for its call.
  InterruptScope bound(irq);
  {
    InterruptScope::Worker same(&irq);
    EXPECT_TRUE(current_interrupt_binding().polls);
  }
  EXPECT_TRUE(current_interrupt_binding().polls);
}

}  // namespace
}  // namespace vantrel::sim
