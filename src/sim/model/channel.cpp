#include "sim/model/channel.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "sim/model/gate_table.h"

namespace vantrel::sim {
namespace {

using Matrix = std::vector<ComplexD>;

// An operator on `targets` with both matrices: `m`, and its entries rounded.
Operation channel_operator(const std::vector<std::uint64_t>& targets, Matrix m) {
  Operation op;
  op.targets = targets;
  op.matrix = rounded_to_single(m);
  op.matrix_d = std::move(m);
  return op;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

Status check_probability(double p) {
  if (!(p >= 0.0 && p <= 1.0)) return invalid("probability must be in [0, 1], got " + number(p));
  return Status::Ok();
}

// The Pauli matrix of index 0 (I), 1 (X), 2 (Y), 3 (Z).
Matrix pauli(int index) {
  static constexpr StandardGate kGates[] = {StandardGate::kI, StandardGate::kX, StandardGate::kY,
                                            StandardGate::kZ};
  return standard_matrix<double>(kGates[index]);
}

// a (x) b: a on the first (high) qubit.
Matrix kron(const Matrix& a, const Matrix& b) {
  Matrix m(16);
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t c = 0; c < 4; ++c)
      m[r * 4 + c] = cmul(a[(r >> 1) * 2 + (c >> 1)], b[(r & 1) * 2 + (c & 1)]);
  return m;
}

Result<Gate> channel_gate(Channel channel) {
  Gate g;
  g.kind = Gate::Kind::kChannel;
  g.channel = std::make_shared<const Channel>(std::move(channel));
  return g;
}

// Checks the targets as Operation::create does (through an identity of
// their width) and returns them.
Result<std::vector<std::uint64_t>> checked_targets(std::vector<std::uint64_t> targets) {
  if (targets.size() > kMaxChannelQubits)
    return invalid("a channel acts on at most " + dec(kMaxChannelQubits) + " qubits, got " +
                   dec(targets.size()));
  const std::size_t d = targets.empty() ? 0 : std::size_t{1} << targets.size();
  std::vector<Complex> identity(d * d);
  for (std::size_t i = 0; i < d; ++i) identity[i * d + i] = Complex{1.0f, 0.0f};
  auto op = Operation::create(std::move(targets), std::move(identity));
  if (!op) return std::move(op).error();
  return std::move(op->targets);
}

}  // namespace

const Operation& pauli_branch(std::size_t num_targets, std::size_t i) {
  static const std::vector<Operation> kOne = [] {
    std::vector<Operation> table;
    for (int a = 0; a < 4; ++a) table.push_back(channel_operator({}, pauli(a)));
    return table;
  }();
  static const std::vector<Operation> kTwo = [] {
    std::vector<Operation> table;
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) table.push_back(channel_operator({}, kron(pauli(a), pauli(b))));
    return table;
  }();
  return num_targets == 1 ? kOne[i] : kTwo[i];
}

const char* channel_name(ChannelKind kind) {
  switch (kind) {
    case ChannelKind::kBitFlip: return "BitFlip";
    case ChannelKind::kPhaseFlip: return "PhaseFlip";
    case ChannelKind::kDepolarizing: return "Depolarizing";
    case ChannelKind::kTwoQubitDepolarizing: return "Depolarizing2";
    case ChannelKind::kPauli: return "PauliChannel";
    case ChannelKind::kAmplitudeDamping: return "AmplitudeDamping";
    case ChannelKind::kPhaseDamping: return "PhaseDamping";
    case ChannelKind::kKraus: return "Kraus";
  }
  return "Channel";
}

Result<Gate> make_channel(ChannelKind kind, std::vector<std::uint64_t> targets,
                          std::span<const double> parameters) {
  if (kind == ChannelKind::kKraus) return invalid("a Kraus channel takes its operators");
  const std::size_t want_qubits = kind == ChannelKind::kTwoQubitDepolarizing ? 2 : 1;
  const std::size_t want_params = kind == ChannelKind::kPauli ? 3 : 1;
  if (targets.size() != want_qubits || parameters.size() != want_params)
    return invalid(std::string(channel_name(kind)) + " takes " + dec(want_qubits) +
                   " qubit(s) and " + dec(want_params) + " probabilities");
  for (double p : parameters) VANTREL_TRY(check_probability(p));
  auto checked = checked_targets(std::move(targets));
  if (!checked) return std::move(checked).error();

  Channel c;
  c.kind = kind;
  c.targets = std::move(checked).value();
  c.parameters.assign(parameters.begin(), parameters.end());
  const double p = parameters[0];
  // Branch probabilities of I, X, Y, Z (one qubit) in double from the
  // single-precision parameters.
  double branch[4] = {};
  switch (kind) {
    case ChannelKind::kBitFlip: branch[1] = p; break;
    case ChannelKind::kPhaseFlip: branch[3] = p; break;
    case ChannelKind::kDepolarizing: branch[1] = branch[2] = branch[3] = p / 3.0; break;
    case ChannelKind::kPauli: {
      const double sum = parameters[0] + parameters[1] + parameters[2];
      if (sum > 1.0 + 1e-6) return invalid("px + py + pz must be at most 1, got " + number(sum));
      branch[1] = parameters[0];
      branch[2] = parameters[1];
      branch[3] = parameters[2];
      break;
    }
    case ChannelKind::kTwoQubitDepolarizing: {
      // Branch 4a + b is P_a (x) P_b (pauli_branch).
      c.probabilities.assign(16, p / 15.0);
      c.probabilities[0] = 1.0 - p;
      return channel_gate(std::move(c));
    }
    case ChannelKind::kAmplitudeDamping:
    case ChannelKind::kPhaseDamping: {
      const double keep = std::sqrt(1.0 - parameters[0]);
      const double lose = std::sqrt(parameters[0]);
      const ComplexD zero{0.0, 0.0};
      c.operators.push_back(channel_operator(c.targets, {{1.0, 0.0}, zero, zero, {keep, 0.0}}));
      c.operators.push_back(channel_operator(
          c.targets, kind == ChannelKind::kAmplitudeDamping
                         ? Matrix{zero, {lose, 0.0}, zero, zero}
                         : Matrix{zero, zero, zero, {lose, 0.0}}));
      return channel_gate(std::move(c));
    }
    case ChannelKind::kKraus:
      break;
  }
  branch[0] = 1.0 - (branch[1] + branch[2] + branch[3]);
  if (branch[0] < 0.0) branch[0] = 0.0;
  c.probabilities.assign(branch, branch + 4);
  return channel_gate(std::move(c));
}

Result<Gate> make_kraus_channel(std::vector<std::uint64_t> targets, std::vector<Matrix> operators) {
  if (targets.empty()) return invalid("a Kraus channel needs at least one target qubit");
  auto checked = checked_targets(std::move(targets));
  if (!checked) return std::move(checked).error();
  const std::size_t k = checked->size();
  const std::size_t d = std::size_t{1} << k;
  if (operators.empty()) return invalid("a Kraus channel needs at least one operator");
  for (std::size_t i = 0; i < operators.size(); ++i) {
    if (operators[i].size() != d * d)
      return invalid("Kraus operator " + dec(i) + " has " + dec(operators[i].size()) +
                     " entries, expected " + dec(d * d) + " for " + dec(k) + " target qubits");
    for (const ComplexD& e : operators[i])
      if (!std::isfinite(e.re) || !std::isfinite(e.im))
        return invalid("Kraus operator " + dec(i) + " has a non-finite entry");
  }
  // sum_i K_i^dagger K_i against the identity, in double.
  double deviation = 0.0;
  for (std::size_t r = 0; r < d; ++r)
    for (std::size_t s = 0; s < d; ++s) {
      double re = 0.0, im = 0.0;
      for (const Matrix& m : operators)
        for (std::size_t j = 0; j < d; ++j) {
          const ComplexD a = m[j * d + r];  // conj(K[j][r])
          const ComplexD b = m[j * d + s];
          re += a.re * b.re + a.im * b.im;
          im += a.re * b.im - a.im * b.re;
        }
      deviation = std::max(deviation, std::hypot(re - (r == s ? 1.0 : 0.0), im));
    }
  const double tolerance = 1e-5 * static_cast<double>(d);
  if (!(deviation <= tolerance))
    return invalid("Kraus operators are not trace preserving: sum of K^dagger K differs from the "
                   "identity by " + number(deviation) + " (tolerance " + number(tolerance) + ")");
  Channel c;
  c.kind = ChannelKind::kKraus;
  c.targets = std::move(checked).value();
  for (Matrix& m : operators) c.operators.push_back(channel_operator(c.targets, std::move(m)));
  return channel_gate(std::move(c));
}

}  // namespace vantrel::sim
