#include "sim/model/fusion.h"

#include <array>

namespace vantrel::sim {
namespace {

template <class T>
using Mat2 = std::array<ComplexOf<T>, 4>;

// B x M in T, each entry summed in the order of the column index of B:
// M'[r][c] = B[r][0]*M[0][c] + B[r][1]*M[1][c].
template <class T>
Mat2<T> multiply(const ComplexOf<T>* b, const Mat2<T>& m) {
  Mat2<T> out;
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c)
      out[2 * r + c] = cadd(cmul(b[2 * r], m[c]), cmul(b[2 * r + 1], m[2 + c]));
  return out;
}

}  // namespace

std::vector<Gate> fuse_gates(std::span<const Gate> gates) {
  std::vector<Gate> out;
  out.reserve(gates.size());
  std::size_t i = 0;
  while (i < gates.size()) {
    const Gate& g = gates[i];
    if (!g.is_single_qubit_unitary()) {
      out.push_back(g);
      ++i;
      continue;
    }
    const std::uint64_t q = g.op.targets[0];
    // The product in each precision from that precision's matrices.
    Mat2<float> m{g.op.matrix[0], g.op.matrix[1], g.op.matrix[2], g.op.matrix[3]};
    Mat2<double> m_d{g.op.matrix_d[0], g.op.matrix_d[1], g.op.matrix_d[2], g.op.matrix_d[3]};
    std::size_t end = i + 1;
    while (end < gates.size() && gates[end].is_single_qubit_unitary() &&
           gates[end].op.targets[0] == q) {
      m = multiply(gates[end].op.matrix.data(), m);
      m_d = multiply(gates[end].op.matrix_d.data(), m_d);
      ++end;
    }
    if (end == i + 1) {
      // A run of one is the gate itself (same target, same matrix), label
      // and all.
      out.push_back(g);
      ++i;
      continue;
    }
    auto fused = Operation::create({q}, std::vector<Complex>(m.begin(), m.end()),
                                   std::vector<ComplexD>(m_d.begin(), m_d.end()));
    if (fused.ok()) {
      out.push_back(Gate::unitary(std::move(fused).value()));
    } else {
      // Rounding (or inputs only just within the tolerance) carried the
      // product out of the unitarity test: run the gates one by one instead.
      out.insert(out.end(), gates.begin() + static_cast<std::ptrdiff_t>(i),
                 gates.begin() + static_cast<std::ptrdiff_t>(end));
    }
    i = end;
  }
  return out;
}

}  // namespace vantrel::sim
