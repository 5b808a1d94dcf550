#include "sim/base/interrupt.h"

#include <utility>

namespace vantrel::sim {
namespace {

thread_local InterruptBinding tl_binding;

}  // namespace

namespace detail {

std::atomic<std::size_t> g_bindings{0};

InterruptBinding thread_binding() noexcept { return tl_binding; }

}  // namespace detail

bool Interrupt::poll_if_due() noexcept {
  const auto now = std::chrono::steady_clock::now();
  // The first clock read of a call starts its interval: reading the clock
  // when the call begins would cost every short call a read.
  if (!clock_started_) {
    clock_started_ = true;
    last_poll_ = now;
    return stop_requested();
  }
  if (now - last_poll_ < interval_) return stop_requested();
  return poll_now();
}

bool Interrupt::poll_now() noexcept {
  if (stop_requested()) return true;
  if (in_hook_) return false;
  in_hook_ = true;
  const InterruptBinding saved = std::exchange(tl_binding, InterruptBinding{});
  if (hook_(context_)) request_stop();
  tl_binding = saved;
  in_hook_ = false;
  // The interval runs from the end of the hook, which may have waited.
  clock_started_ = true;
  last_poll_ = std::chrono::steady_clock::now();
  return stop_requested();
}

InterruptScope::InterruptScope(Interrupt& interrupt) noexcept
    : slot_(&tl_binding), saved_(*slot_) {
  detail::g_bindings.fetch_add(1, std::memory_order_relaxed);
  *slot_ = InterruptBinding{&interrupt, true};
}

InterruptScope::~InterruptScope() {
  *slot_ = saved_;
  detail::g_bindings.fetch_sub(1, std::memory_order_relaxed);
}

InterruptScope::Worker::Worker(Interrupt* interrupt) noexcept
    : slot_(&tl_binding), saved_(*slot_), counted_(interrupt != nullptr) {
  if (counted_) detail::g_bindings.fetch_add(1, std::memory_order_relaxed);
  // Work of an unbound call run by a thread that is bound for another call
  // (a waiting worker picking up other work) is unbound too.
  if (slot_->interrupt != interrupt) *slot_ = InterruptBinding{interrupt, false};
}

InterruptScope::Worker::~Worker() {
  *slot_ = saved_;
  if (counted_) detail::g_bindings.fetch_sub(1, std::memory_order_relaxed);
}

std::uint64_t StopCheck::first_budget(Interrupt* irq, bool polls) noexcept {
  if (irq->stop_requested()) return 0;
  return polls ? Interrupt::kWorkPerClockRead - irq->work_ : Interrupt::kWorkPerFlagCheck;
}

StopCheck::Refill StopCheck::refill(Interrupt* irq, bool polls) noexcept {
  if (irq == nullptr) return {false, UINT64_MAX};
  if (!polls) return {irq->stop_requested(), Interrupt::kWorkPerFlagCheck};
  irq->work_ = 0;
  return {irq->poll_if_due(), Interrupt::kWorkPerClockRead};
}

}  // namespace vantrel::sim
