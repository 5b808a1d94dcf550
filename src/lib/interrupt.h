// Engine calls that a signal handler can stop (Ctrl-C), and the release of
// the interpreter lock around them.
//
// A long engine call made on the main thread keeps the interpreter's signal
// handlers running: about every sim::Interrupt::kPollInterval the calling
// thread runs them (PyErr_CheckSignals), re-taking the interpreter lock
// briefly when the call released it. A handler that raises (KeyboardInterrupt
// by default) stops the call through the engine's Interrupt
// (sim/interrupt.h): the workers stop at their next row or step, and the
// method raises the handler's exception with no result, even when the engine
// happened to finish meanwhile. A handler that does not raise lets the call go
// on unchanged. Borrows, contexts and the pool are released as after any
// failed call, so every object stays usable; a context holds no meaningful
// state after an interrupted call (every call resets it first).
//
// Only the main thread runs signal handlers, so calls on other threads bind
// no Interrupt and never re-take the lock before they end. That also keeps a
// daemon thread's call safe at interpreter exit: re-taking the lock then ends
// the thread (the interpreter's rule), and the call's stack must not go while
// pool workers still use it.
//
// The _buffer methods are not stoppable: the engine reads the buffer's array
// in place for the whole call, and a handler could resize or re-point that
// array under it. Every other long call is: the plain CompiledCircuit and
// ExecutionContext methods (lock released) and the Circuit methods, whose
// inputs are engine copies that Python code cannot reach (lock held).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "sim/base/interrupt.h"
#include "sim/model/plan.h"
#include "sim/base/result.h"

namespace vantrel::lib {

namespace detail {

// The thread that runs signal handlers (the main thread of the
// interpreter), as PyThread_get_thread_ident() names it: recorded when the
// module is initialised and, in the child of a fork, the forking thread (as
// the interpreter itself has it). 0 until recorded.
extern unsigned long g_signal_thread;

// Records it; false with an exception set when it cannot be found out.
bool record_signal_thread();

// True on the thread that runs signal handlers. Lock held.
inline bool runs_signal_handlers() {
  return g_signal_thread != 0 && PyThread_get_thread_ident() == g_signal_thread;
}

// Hooks for sim::Interrupt: true when a handler raised (its exception is
// then set on this thread). `call` is the thread state saved by Unlocked.
bool poll_released(void* call);
bool poll_holding_lock(void* unused);

// Releases the interpreter lock for its scope. The hook of a released call
// re-takes and releases it through the same record.
class Unlocked {
 public:
  Unlocked() : thread_(PyEval_SaveThread()) {}
  // At interpreter exit re-taking the lock ends a thread other than the one
  // finalising, by unwinding it (the module's entry points let that
  // through), hence noexcept(false).
  ~Unlocked() noexcept(false) { PyEval_RestoreThread(thread_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  PyThreadState** record() { return &thread_; }

 private:
  PyThreadState* thread_;
};

}  // namespace detail

// An upper bound of a call's work in amplitudes touched, the engine's unit
// for pacing polls (saturating): `units` passes over 2^num_qubits
// amplitudes, `repeats` times. Calls below
// sim::Interrupt::kWorkBeforeFirstPoll could never poll, so they run unbound
// and pay nothing for being stoppable.
inline std::uint64_t work_of(std::uint64_t units, std::uint64_t num_qubits,
                             std::uint64_t repeats = 1) {
  std::uint64_t work = 0;
  if (num_qubits >= 64 || __builtin_mul_overflow(units, repeats, &work) ||
      __builtin_mul_overflow(work, std::uint64_t{1} << num_qubits, &work))
    return UINT64_MAX;
  return work;
}

// Runs of the plan, then `terms` passes for an observable, `runs` times.
inline std::uint64_t plan_work(const sim::CompiledCircuit& plan, std::size_t terms,
                               std::uint64_t runs = 1) {
  return work_of(plan.ops().size() + terms + 1, plan.num_qubits(), runs);
}

// Runs of `count` gradients: the value run and two per reading step at most.
inline std::uint64_t gradient_runs(const sim::CompiledCircuit& plan, std::uint64_t count = 1) {
  std::uint64_t runs = 0;
  if (__builtin_mul_overflow(2 * static_cast<std::uint64_t>(plan.ops().size()) + 1, count, &runs))
    return UINT64_MAX;
  return runs;
}

// Adjoint differentiation: the forward run, then a backward sweep that
// touches two states per step and takes a derivative at parametric ones.
inline constexpr std::uint64_t kAdjointRuns = 4;

// Runs `op` (an engine call returning a sim::Result or sim::Status, touching
// no Python object, doing at most about `work` as above) with the interpreter
// lock released, stoppable as above. A stopped call returns
// sim::interrupted(), whose exception is already set.
template <class Op>
auto call_released(std::uint64_t work, Op&& op) -> decltype(op()) {
  if (work < sim::Interrupt::kWorkBeforeFirstPoll || !detail::runs_signal_handlers()) {
    detail::Unlocked unlocked;
    return op();
  }
  PyThreadState** record = nullptr;
  sim::Interrupt interrupt(&detail::poll_released, &record);
  decltype(op()) result = [&] {
    detail::Unlocked unlocked;
    record = unlocked.record();
    sim::InterruptScope bound(interrupt);
    return op();
  }();
  if (interrupt.stop_requested()) result = sim::interrupted();
  return result;
}

// The same for a call that keeps the interpreter lock: the handlers run on
// this thread between steps and while it waits for the pool.
template <class Op>
auto call_holding_lock(std::uint64_t work, Op&& op) -> decltype(op()) {
  if (work < sim::Interrupt::kWorkBeforeFirstPoll || !detail::runs_signal_handlers()) return op();
  sim::Interrupt interrupt(&detail::poll_holding_lock, nullptr);
  decltype(op()) result = [&] {
    sim::InterruptScope bound(interrupt);
    return op();
  }();
  if (interrupt.stop_requested()) result = sim::interrupted();
  return result;
}

}  // namespace vantrel::lib
