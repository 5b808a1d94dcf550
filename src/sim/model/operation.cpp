#include "sim/model/operation.h"

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

#include "sim/base/messages.h"
#include "sim/base/duplicates.h"
#include "sim/base/interrupt.h"
#include "sim/base/alloc.h"

namespace vantrel::sim {
namespace {

// The 32-bit float nearest to 0.001 (0x3A83126F).
constexpr float kUnitaryTolerance = 0.001f;

// "duplicate qubit index: {}" for the first repeated qubit, if any.
Status check_distinct(std::span<const std::uint64_t> qubits) {
  const std::size_t dup = first_duplicate(qubits);
  if (dup != qubits.size()) return messages::duplicate_qubit(qubits[dup]);
  return Status::Ok();
}

// 4^k in decimal, exact for every k < 64 (up to 2^126).
std::string entries_decimal(std::uint64_t k) {
  unsigned __int128 v = static_cast<unsigned __int128>(1) << (2 * k);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return digits;
}

// The matrix of k < 64 targets must hold 4^k entries. From k = 32 on, 4^k does
// not fit in 64 bits, so no matrix can match and the shape is refused.
bool has_entries_for(std::uint64_t k, std::size_t len) {
  return k < 32 && len == (std::uint64_t{1} << (2 * k));
}

std::string shape_mismatch(std::uint64_t k, std::uint64_t got, const char* noun) {
  return "matrix shape mismatch: expected " + entries_decimal(k) + " complex values for " +
         dec(k) + " " + noun + ", got " + dec(got);
}

// Checks 1-4 of Operation::create (everything but unitarity).
Status check_targets_and_shape(std::span<const std::uint64_t> targets, std::size_t entries) {
  if (targets.empty()) return invalid("unitary operation must target at least one qubit");
  VANTREL_TRY(check_distinct(targets));
  const std::uint64_t k = targets.size();
  if (k >= 64) return messages::too_many_operation_qubits(k);
  if (!has_entries_for(k, entries)) return invalid(shape_mismatch(k, entries, "targets"));
  return Status::Ok();
}

}  // namespace

namespace {

// Row i of the d x d matrix u against every row: unit length, orthogonal to
// the others, within the tolerance.
bool row_is_orthonormal(std::span<const Complex> u, std::uint64_t d, std::uint64_t i) {
  for (std::uint64_t j = 0; j < d; ++j) {
    Complex s{0.0f, 0.0f};
    for (std::uint64_t m = 0; m < d; ++m) s = cadd(s, cmul(u[i * d + m], conj(u[j * d + m])));
    const float delta = (i == j) ? 1.0f : 0.0f;
    const float deviation = std::hypot(s.re - delta, s.im);
    // A NaN deviation compares false and passes: rotations by a NaN angle
    // are accepted and produce NaN amplitudes when run.
    if (deviation > kUnitaryTolerance) return false;
  }
  return true;
}

// is_unitary for the constructors: d^3 work on matrices up to 2^31 rows, so
// it polls the thread's Interrupt row by row.
Status check_unitary(std::span<const Complex> u, std::uint64_t d) {
  StopCheck stop;
  for (std::uint64_t i = 0; i < d; ++i) {
    if (stop(d * d)) return interrupted();
    if (!row_is_orthonormal(u, d, i)) return messages::not_unitary();
  }
  return Status::Ok();
}

}  // namespace

bool is_unitary(std::span<const Complex> u, std::uint64_t d) {
  for (std::uint64_t i = 0; i < d; ++i)
    if (!row_is_orthonormal(u, d, i)) return false;
  return true;
}

std::vector<Complex> rounded_to_single(std::span<const ComplexD> m) {
  std::vector<Complex> out(m.size());
  for (std::size_t i = 0; i < m.size(); ++i)
    out[i] = Complex{static_cast<float>(m[i].re), static_cast<float>(m[i].im)};
  return out;
}

std::vector<ComplexD> widened_to_double(std::span<const Complex> m) {
  std::vector<ComplexD> out(m.size());
  for (std::size_t i = 0; i < m.size(); ++i) out[i] = ComplexD{m[i].re, m[i].im};
  return out;
}

Result<Operation> Operation::create(std::vector<std::uint64_t> targets,
                                    std::vector<Complex> matrix) {
  VANTREL_TRY(check_targets_and_shape(targets, matrix.size()));
  VANTREL_TRY(check_unitary(matrix, std::uint64_t{1} << targets.size()));
  std::vector<ComplexD> matrix_d = widened_to_double(matrix);
  return Operation{std::move(targets), std::move(matrix), 0, std::move(matrix_d)};
}

Result<Operation> Operation::create(std::vector<std::uint64_t> targets,
                                    std::vector<Complex> matrix, std::vector<ComplexD> matrix_d) {
  VANTREL_TRY(check_targets_and_shape(targets, matrix.size()));
  VANTREL_TRY(check_targets_and_shape(targets, matrix_d.size()));
  VANTREL_TRY(check_unitary(matrix, std::uint64_t{1} << targets.size()));
  return Operation{std::move(targets), std::move(matrix), 0, std::move(matrix_d)};
}

bool Operation::shape_holds(std::size_t entries) const {
  if (num_controls >= targets.size()) return false;
  return has_entries_for(targets.size() - num_controls, entries);
}

Result<std::vector<Complex>> Operation::full_matrix() const {
  const std::uint64_t n = targets.size();
  if (num_controls == 0) return matrix;
  const auto failure = [&] {
    return allocation_failure("a controlled matrix on " + dec(n) + " qubits",
                              static_cast<unsigned __int128>(sizeof(Complex)) << (2 * n));
  };
  if (n >= 32) return failure();
  const std::uint64_t big_d = std::uint64_t{1} << n;
  const std::uint64_t d = std::uint64_t{1} << (n - num_controls);
  std::vector<Complex> m;
  VANTREL_TRY(guard_allocation([&] { m.assign(big_d * big_d, Complex{0.0f, 0.0f}); }, failure));
  for (std::uint64_t r = 0; r < big_d; ++r) m[r * big_d + r] = Complex{1.0f, 0.0f};
  const std::uint64_t off = big_d - d;
  for (std::uint64_t i = 0; i < d; ++i)
    for (std::uint64_t j = 0; j < d; ++j) m[(off + i) * big_d + off + j] = matrix[i * d + j];
  return m;
}

Result<Gate> make_controlled_unitary_gate(std::vector<std::uint64_t> controls,
                                          std::vector<std::uint64_t> targets,
                                          std::vector<Complex> u) {
  std::vector<ComplexD> u_d = widened_to_double(u);
  return make_controlled_unitary_gate(std::move(controls), std::move(targets), std::move(u),
                                      std::move(u_d));
}

Result<Gate> make_controlled_unitary_gate(std::vector<std::uint64_t> controls,
                                          std::vector<std::uint64_t> targets,
                                          std::vector<Complex> u, std::vector<ComplexD> u_d) {
  if (controls.empty()) return invalid("controlled unitary requires at least one control qubit");
  if (targets.empty()) return invalid("controlled unitary requires at least one target qubit");
  const std::uint64_t k = targets.size();
  if (k >= 64) return messages::too_many_operation_qubits(k);
  if (!has_entries_for(k, u.size())) return invalid(shape_mismatch(k, u.size(), "target qubits"));
  if (u_d.size() != u.size()) return invalid(shape_mismatch(k, u_d.size(), "target qubits"));
  const std::uint64_t d = std::uint64_t{1} << k;
  VANTREL_TRY(check_unitary(u, d));
  const std::uint64_t c = controls.size();
  const std::uint64_t n = c + k;
  if (n >= 64) return messages::too_many_operation_qubits(n);
  std::vector<std::uint64_t> all = std::move(controls);
  all.insert(all.end(), targets.begin(), targets.end());
  VANTREL_TRY(check_distinct(all));
  // U passed its own unitarity test, which is all the full controlled matrix
  // would have to pass: its rows outside the block are unit vectors with
  // exact products, mixed pairs sum zeros (or NaN, which passes), and each
  // pair of block rows gives exactly the sum U's test gave, after a prefix
  // of +0 terms.
  return Gate::unitary(Operation{std::move(all), std::move(u), c, std::move(u_d)});
}

bool join_barriers(Gate& last, const Gate& next) {
  if (last.kind != Gate::Kind::kBarrier || next.kind != Gate::Kind::kBarrier) return false;
  if (next.barriers > UINT32_MAX - last.barriers) return false;
  last.barriers += next.barriers;
  return true;
}

void append_gate(std::vector<Gate>& gates, Gate gate) {
  if (!gates.empty() && join_barriers(gates.back(), gate)) return;
  gates.push_back(std::move(gate));
}

std::uint64_t listed_size(std::span<const Gate> gates) {
  std::uint64_t n = 0;
  for (const Gate& g : gates) n += g.multiplicity();
  return n;
}

}  // namespace vantrel::sim
