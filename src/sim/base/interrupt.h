// Stopping long engine calls from outside the engine.
//
// The engine knows nothing of signals or of the interpreter. A caller that
// wants one of its calls to be stoppable makes an Interrupt (a stop flag and
// a poll hook) and binds it to its own thread for the call with an
// InterruptScope. From then on:
//
//  * The calling thread polls. Loops over steps, gates, rows, term chunks and
//    shots count the work they have done (StopCheck); once about
//    kWorkPerClockRead amplitudes have been touched since the last clock read
//    the calling thread reads the clock, and when `interval` has passed since
//    the last poll it runs the hook. A call that finishes quickly therefore
//    never reads the clock. While the calling thread waits for the worker
//    pool (pool.cpp) it waits in slices of `interval` and runs the hook after
//    each slice.
//  * The hook returns true to stop the call. The stop flag is then set for
//    good; whoever runs the call's work (the calling thread or pool workers)
//    sees it at its next step or row boundary, and the call returns
//    interrupted() (ErrorKind::kInterrupted). Work in flight, at most one
//    kernel pass, is finished rather than abandoned halfway, and nothing the
//    call returns is then to be used.
//  * Threads other than the caller that run steps of the call (batch rows on
//    pool workers) bind the same Interrupt with InterruptScope::Worker: they
//    check the flag only and never run the hook, which may need the calling
//    thread itself (the Python binding re-takes the interpreter lock there).
//
// An executor that moves a call's steps onto other threads captures
// current_interrupt() on the calling thread, binds it as a worker on the
// threads that run the steps (or tests stop_requested() at its own step
// barriers), and lets the calling thread wait through the pool so that it
// keeps polling.
//
// The hook runs on the calling thread with that thread's binding cleared: an
// engine call made from inside the hook neither polls nor is stopped by the
// outer call, and the hook is never re-entered.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vantrel::sim {

class Interrupt {
 public:
  // Returns true to stop the call. Runs on the calling thread only.
  using Hook = bool (*)(void* context);

  static constexpr std::chrono::milliseconds kPollInterval{100};
  // Work (amplitudes touched, roughly) between two clock reads of the calling
  // thread, and between two looks at the stop flag by a worker: a fraction
  // of a millisecond on any register size.
  static constexpr std::uint64_t kWorkPerClockRead = std::uint64_t{1} << 18;
  static constexpr std::uint64_t kWorkPerFlagCheck = std::uint64_t{1} << 16;
  // A call that does less work than this never reaches its first poll by
  // counting (one clock read starts the interval, the next may poll), nor
  // waits for the pool anywhere near an interval: binding an Interrupt to it
  // would change nothing, so callers may leave such calls unbound.
  static constexpr std::uint64_t kWorkBeforeFirstPoll = 2 * kWorkPerClockRead;

  Interrupt(Hook hook, void* context,
            std::chrono::nanoseconds interval = kPollInterval) noexcept
      : hook_(hook), context_(context), interval_(interval) {}
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // Any thread.
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

  // The least time between two polls.
  std::chrono::nanoseconds interval() const noexcept { return interval_; }

  // Calling thread only: runs the hook now (unless the call is already
  // stopping or the hook is running); true when the call is to stop.
  bool poll_now() noexcept;

 private:
  friend class StopCheck;

  // Calling thread only: reads the clock and polls when the interval has
  // passed since the last poll.
  bool poll_if_due() noexcept;

  std::atomic<bool> stop_{false};
  Hook hook_;
  void* context_;
  std::chrono::nanoseconds interval_;
  // Calling thread only.
  std::uint64_t work_ = 0;  // since the last clock read
  bool clock_started_ = false;
  bool in_hook_ = false;
  std::chrono::steady_clock::time_point last_poll_{};
};

// The Interrupt bound to the current thread, and whether this thread is the
// call's calling thread (the one that polls).
struct InterruptBinding {
  Interrupt* interrupt = nullptr;
  bool polls = false;
};

namespace detail {
// Bindings alive in the process: while there are none, looking up the
// current thread's binding costs one load instead of a thread-local access.
// A thread always sees its own increments.
extern std::atomic<std::size_t> g_bindings;
InterruptBinding thread_binding() noexcept;
}  // namespace detail

inline InterruptBinding current_interrupt_binding() noexcept {
  if (detail::g_bindings.load(std::memory_order_relaxed) == 0) return {};
  return detail::thread_binding();
}
inline Interrupt* current_interrupt() noexcept { return current_interrupt_binding().interrupt; }

// Binds an Interrupt to the current thread for its scope, then restores the
// binding it found.
class InterruptScope {
 public:
  // On the calling thread of a call: this thread polls `interrupt`.
  explicit InterruptScope(Interrupt& interrupt) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // On a thread working for the call whose Interrupt is `interrupt` (null:
  // none, and the thread is unbound for the scope): stop checks only. A
  // thread that already has `interrupt` bound (the calling thread running the
  // work itself) keeps its binding.
  class Worker {
   public:
    explicit Worker(Interrupt* interrupt) noexcept;
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

   private:
    InterruptBinding* slot_;
    InterruptBinding saved_;
    bool counted_;
  };

 private:
  InterruptBinding* slot_;  // the thread's binding
  InterruptBinding saved_;
};

// A loop's view of its thread's Interrupt, looked up once when the loop
// starts. Each check subtracts the work done from a budget held in the loop
// itself; only when the budget runs out does the check look further: the
// calling thread then reads the clock (and polls when due), a worker looks
// at the stop flag. A stop requested before the loop starts is seen at its
// first check; one requested during the loop within about kWorkPerClockRead
// amplitudes of work. Without a binding the budget never runs out.
class StopCheck {
 public:
  StopCheck() noexcept : StopCheck(current_interrupt_binding()) {}
  explicit StopCheck(InterruptBinding binding) noexcept
      : irq_(binding.interrupt),
        polls_(binding.polls && binding.interrupt != nullptr),
        budget_(binding.interrupt != nullptr ? first_budget(irq_, polls_) : UINT64_MAX) {}
  ~StopCheck() {
    if (polls_) settle(irq_, budget_);
  }
  StopCheck(const StopCheck&) = delete;
  StopCheck& operator=(const StopCheck&) = delete;

  // After (or before) a unit of about `work` amplitudes: true when the call
  // is to stop.
  bool operator()(std::uint64_t work) noexcept {
    if (work < budget_) [[likely]] {
      budget_ -= work;
      return false;
    }
    const Refill next = refill(irq_, polls_);
    budget_ = next.budget;
    return next.stop;
  }

 private:
  struct Refill {
    bool stop;
    std::uint64_t budget;
  };
  // Out of line and without `this`, so that the budget stays in a register.
  static std::uint64_t first_budget(Interrupt* irq, bool polls) noexcept;
  static Refill refill(Interrupt* irq, bool polls) noexcept;
  // The calling thread's work carries over to the call's next loop.
  static void settle(Interrupt* irq, std::uint64_t budget) noexcept {
    irq->work_ = Interrupt::kWorkPerClockRead - budget;
  }

  Interrupt* irq_;
  bool polls_;
  std::uint64_t budget_;
};

}  // namespace vantrel::sim
