#include "sim/state/state_vector.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "sim/base/messages.h"
#include "sim/base/duplicates.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/base/pool.h"

namespace vantrel::sim {

// The first pass over a fresh state then takes a few hundred page faults
// instead of one per 4 KiB, which matters most when the threads of a team
// fault side by side. Advice only; nothing depends on it being followed.
void prefer_huge_pages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

AmplitudeBuffer allocate_amplitudes(std::uint64_t num_qubits) {
  if (num_qubits >= 64) return nullptr;
  const std::uint64_t count = std::uint64_t{1} << num_qubits;
  if (count > SIZE_MAX / sizeof(Complex)) return nullptr;
  // calloc maps large zeroed buffers lazily, so a fresh state costs no pass.
  auto* amps = static_cast<Complex*>(std::calloc(count, sizeof(Complex)));
  if (amps != nullptr) prefer_huge_pages(amps, count * sizeof(Complex));
  return AmplitudeBuffer(amps);
}

namespace {

// Widths of 64 qubits and more fail as any other state too large to
// allocate; past the sizes byte_size can show, the size is in amplitudes.
Error state_allocation_failure(std::uint64_t num_qubits) {
  const std::string what = "a state vector of " + dec(num_qubits) + " qubits";
  if (num_qubits < 112)
    return allocation_failure(what, static_cast<unsigned __int128>(sizeof(Complex)) << num_qubits);
  return out_of_memory("cannot allocate " + what + " (2^" + dec(num_qubits) + " amplitudes)");
}

}  // namespace

Result<StateVector> StateVector::create(std::uint64_t num_qubits) {
  AmplitudeBuffer amps = allocate_amplitudes(num_qubits);
  if (!amps) return state_allocation_failure(num_qubits);
  amps[0] = Complex{1.0f, 0.0f};
  return StateVector(num_qubits, std::move(amps));
}

void StateVector::reset_to_zero_state() {
  std::memset(static_cast<void*>(data()), 0, size() * sizeof(Complex));
  amplitudes_[0] = Complex{1.0f, 0.0f};
}

Status validate_targets(const StateVector& state, std::span<const std::uint64_t> targets) {
  const std::size_t dup = first_duplicate(targets);
  if (dup != targets.size()) return messages::duplicate_qubit(targets[dup]);
  for (std::uint64_t t : targets)
    if (t >= state.num_qubits()) return messages::qubit_out_of_range(t, state.num_qubits());
  return Status::Ok();
}

void StateVector::apply_mat2(std::uint64_t q, const Complex m[4]) {
  kernels::apply_mat2<PoolExecutor>(amplitudes(), q, m);
}

Status StateVector::apply_operation(const Operation& op) {
  VANTREL_TRY(validate_targets(*this, op.targets));
  const std::size_t c = op.num_controls;
  if (c == 0 && op.targets.size() == 1 && op.matrix.size() == 4) {
    apply_mat2(op.targets[0], op.matrix.data());
    return Status::Ok();
  }
  // Operation::create and make_controlled_unitary_gate guarantee 4^k entries
  // (and so k < 32) on at least one target; an operation assembled by hand
  // without them must not make a kernel read past its matrix.
  if (!op.has_matrix_shape()) return messages::matrix_does_not_match_targets();
  if (c == 0) return kernels::apply_matrix<PoolExecutor>(amplitudes(), op.targets, op.matrix);
  return kernels::apply_controlled_matrix<PoolExecutor>(amplitudes(), op.controls(), op.matrix_targets(),
                                                        op.matrix);
}

}  // namespace vantrel::sim
