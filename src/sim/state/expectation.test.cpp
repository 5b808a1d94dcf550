#include "sim/state/expectation.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>

#include "sim/kernels/pauli.h"
#include "sim/testing/terms.h"

namespace vantrel::sim {
namespace {

using testing::term;
using testing::X;
using testing::Y;
using testing::Z;

StateVector state_of(std::vector<Complex> amps) {
  std::uint64_t n = 0;
  while ((std::size_t{1} << n) < amps.size()) ++n;
  StateVector s = StateVector::create(n).value();
  for (std::size_t i = 0; i < amps.size(); ++i) s.data()[i] = amps[i];
  return s;
}

// The evaluation written out factor by factor: phase products with cmul, then
// Re(conj(psi[i]) * (phi * psi[j])), running sums over segments of
// kernels::kSumSegment indices added in double, the terms' sums times their
// coefficients added in double.
float literal_expectation(const StateVector& st, const std::vector<PauliTerm>& terms,
                          bool phase_on_left) {
  const Complex* psi = st.data();
  double total = 0.0;
  for (const PauliTerm& t : terms) {
    double sum = 0.0;
    float s = 0.0f;
    for (std::size_t i = 0; i < st.size(); ++i) {
      std::size_t j = i;
      Complex phi{1.0f, 0.0f};
      for (const PauliFactor& f : t.ops) {
        const bool b = ((i >> f.qubit) & 1) != 0;
        switch (f.label) {
          case PauliLabel::kX: j ^= std::size_t{1} << f.qubit; break;
          case PauliLabel::kY:
            j ^= std::size_t{1} << f.qubit;
            phi = cmul(phi, b ? Complex{0.0f, 1.0f} : Complex{0.0f, -1.0f});
            break;
          case PauliLabel::kZ:
            if (b) phi = Complex{-phi.re, -phi.im};
            break;
        }
      }
      const float v = phase_on_left ? cmul(cmul(conj(psi[i]), phi), psi[j]).re
                                    : cmul(conj(psi[i]), cmul(phi, psi[j])).re;
      s = s + v;
      if ((i + 1) % kernels::kSumSegment == 0 || i + 1 == st.size()) {
        sum = sum + static_cast<double>(s);
        s = 0.0f;
      }
    }
    total = total + sum * t.coefficient;
  }
  return static_cast<float>(total);
}

TEST(Expectation, KnownStates) {
  const float r = 1.0f / std::sqrt(2.0f);
  StateVector plus_i = state_of({{r, 0}, {0, r}});
  StateVector minus_i = state_of({{r, 0}, {0, -r}});
  auto value = [](const StateVector& s, PauliLabel l, std::uint64_t q = 0) {
    return *expectation(s, Observable::single(l, q, 1.0f)->terms());
  };
  EXPECT_NEAR(value(plus_i, Y), 1.0f, 1e-6);
  EXPECT_NEAR(value(plus_i, X), 0.0f, 1e-6);
  EXPECT_NEAR(value(plus_i, Z), 0.0f, 1e-6);
  EXPECT_NEAR(value(minus_i, Y), -1.0f, 1e-6);

  StateVector zero = StateVector::create(3).value();
  EXPECT_EQ(*expectation(zero, Observable::single(Z, 2, -1.5f)->terms()), -1.5f);
  EXPECT_EQ(value(zero, X, 1), 0.0f);
  EXPECT_EQ(value(zero, Y, 2), 0.0f);

  // A term without factors weighs the squared norm.
  StateVector half = state_of({{0.5f, 0}, {0, 0.5f}});
  EXPECT_EQ(*expectation(half, std::vector<PauliTerm>{term({}, 3.0f)}), 1.5f);

  // Like terms are both evaluated, never merged.
  std::vector<PauliTerm> halves = {term({{0, Y}}, 0.5f), term({{0, Y}}, 0.5f)};
  EXPECT_NEAR(*expectation(plus_i, halves), 1.0f, 1e-6);

  // The observable is checked against the state's width.
  auto far = expectation(zero, Observable::single(Y, 5, 1.0f)->terms());
  ASSERT_FALSE(far.ok());
  EXPECT_EQ(far.error().message, "observable references qubit 5 but state vector only has 3 qubits");
}

TEST(Expectation, BitIdenticalToFactorByFactorArithmetic) {
  std::mt19937 gen(1234);
  std::uniform_real_distribution<float> amp(-1.0f, 1.0f);
  std::uniform_int_distribution<int> label(0, 3);  // 3: no factor on that qubit
  const std::uint64_t widths[] = {1, 2, 3, 4, 5, 6, 8, 9, 10};
  for (int trial = 0; trial < 45; ++trial) {
    const std::uint64_t n = widths[trial % 9];
    StateVector st = StateVector::create(n).value();
    for (std::size_t i = 0; i < st.size(); ++i) {
      st.data()[i] = {amp(gen), amp(gen)};
      if (i % 7 == 3) st.data()[i].im = 0.0f;  // exact zeros and sign mixes
      if (i % 5 == 1) st.data()[i].re = -0.0f;
    }
    std::vector<PauliTerm> terms;
    for (int t = 0; t < 5; ++t) {
      std::vector<PauliFactor> ops;
      for (std::uint64_t q = n; q-- > 0;) {  // given in descending order, sorted on creation
        const int l = label(gen);
        if (l < 3) ops.push_back({q, static_cast<PauliLabel>(l)});
      }
      terms.push_back(term(std::move(ops), amp(gen) * 3.0f));
    }
    terms.push_back(term({}, 0.75f));
    const float got = *expectation(st, terms);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got),
              std::bit_cast<std::uint32_t>(literal_expectation(st, terms, false)))
        << "trial " << trial;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got),
              std::bit_cast<std::uint32_t>(literal_expectation(st, terms, true)))
        << "trial " << trial;
    // Each term on its own as well, so that one term cannot mask another.
    for (const PauliTerm& t : terms) {
      std::vector<PauliTerm> one = {t};
      EXPECT_EQ(std::bit_cast<std::uint32_t>(*expectation(st, one)),
                std::bit_cast<std::uint32_t>(literal_expectation(st, one, false)));
    }
  }
}

TEST(Expectation, ManyTermsOnALargerStateMatchTheLiteralSum) {
  // Many blocks per term, high and low flip bits, more terms than one
  // sweep takes, diagonal ones among them, on a state large enough for the
  // terms to be shared between two sweeps when the pool has two threads.
  std::mt19937 gen(99);
  std::uniform_real_distribution<float> amp(-1.0f, 1.0f);
  std::uniform_int_distribution<int> label(0, 6);
  const std::uint64_t n = 16;
  StateVector st = StateVector::create(n).value();
  for (std::size_t i = 0; i < st.size(); ++i) st.data()[i] = {amp(gen), amp(gen)};
  std::vector<PauliTerm> terms;
  for (int t = 0; t < 70; ++t) {
    std::vector<PauliFactor> ops;
    if (t % 5 == 0) {  // Z only
      for (std::uint64_t q = 0; q < n; q += 1 + t % 3) ops.push_back({q, Z});
      terms.push_back(term(std::move(ops), amp(gen)));
      continue;
    }
    for (std::uint64_t q = 0; q < n; ++q) {
      const int l = label(gen);
      if (l < 3) ops.push_back({q, static_cast<PauliLabel>(l)});
    }
    terms.push_back(term(std::move(ops), amp(gen)));
  }
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*expectation(st, terms)),
            std::bit_cast<std::uint32_t>(literal_expectation(st, terms, false)));
}

// Sums over a wide single-precision state accumulate in double: on a
// 16-qubit product state, whose summands all add one way (the worst case for
// a running sum), a 2n-term Hamiltonian's expectation stays within
// 2e-7 sum |c_k| of the double-precision expectation of the very same
// amplitudes (running sums in single precision miss by 4e-6 sum |c_k| here).
TEST(Expectation, WideStatesStayWithinTheirDoublePrecisionValue) {
  const std::size_t n = 16;
  StateVector st = StateVector::create(n).value();
  for (std::size_t i = 0; i < st.size(); ++i) {
    double re = 1.0, im = 0.0;
    for (std::size_t q = 0; q < n; ++q) {
      const double a = 0.3 + 0.01 * static_cast<double>(q), phase = 0.2 * static_cast<double>(q);
      const bool one = (i >> q) & 1;
      const double fr = one ? std::sin(a) * std::cos(phase) : std::cos(a);
      const double fi = one ? std::sin(a) * std::sin(phase) : 0.0;
      const double r = re * fr - im * fi;
      im = re * fi + im * fr;
      re = r;
    }
    st.data()[i] = {static_cast<float>(re), static_cast<float>(im)};
  }
  std::vector<PauliTerm> terms;
  for (std::uint64_t q = 0; q < n; ++q) {
    terms.push_back(term({{q, Z}, {(q + 1) % n, Z}}, 0.5f + 0.05f * static_cast<float>(q)));
    terms.push_back(term({{q, X}}, 1.5f - 0.05f * static_cast<float>(q)));
  }
  double want = 0.0, scale = 0.0;
  for (const PauliTerm& t : terms) {
    double sum = 0.0;
    for (std::size_t i = 0; i < st.size(); ++i) {
      const Complex a = st.data()[i];
      if (t.ops.size() == 2) {
        const bool odd = (((i >> t.ops[0].qubit) ^ (i >> t.ops[1].qubit)) & 1) != 0;
        const double p = double{a.re} * a.re + double{a.im} * a.im;
        sum += odd ? -p : p;
      } else {
        const Complex b = st.data()[i ^ (std::size_t{1} << t.ops[0].qubit)];
        sum += double{a.re} * b.re + double{a.im} * b.im;
      }
    }
    want += sum * t.coefficient;
    scale += std::abs(t.coefficient);
  }
  EXPECT_NEAR(*expectation(st, terms), want, 2e-7 * scale);
}

// H psi written out factor by factor: the phase by cmul, then coefficient
// times each part, terms added in list order from +0.
std::vector<Complex> literal_apply(const StateVector& st, const std::vector<PauliTerm>& terms) {
  const Complex* psi = st.data();
  std::vector<Complex> out(st.size());
  for (std::size_t i = 0; i < st.size(); ++i) {
    Complex acc{0.0f, 0.0f};
    for (const PauliTerm& t : terms) {
      std::size_t j = i;
      Complex phi{1.0f, 0.0f};
      for (const PauliFactor& f : t.ops) {
        const bool b = ((i >> f.qubit) & 1) != 0;
        if (f.label != Z) j ^= std::size_t{1} << f.qubit;
        if (f.label == Y) phi = cmul(phi, b ? Complex{0.0f, 1.0f} : Complex{0.0f, -1.0f});
        if (f.label == Z && b) phi = Complex{-phi.re, -phi.im};
      }
      const Complex v = cmul(phi, psi[j]);
      acc = cadd(acc, Complex{t.coefficient * v.re, t.coefficient * v.im});
    }
    out[i] = acc;
  }
  return out;
}

TEST(ApplyObservable, BitIdenticalToFactorByFactorArithmetic) {
  // Widths below and above one block of 256, term counts across the rounds
  // of 64, identity terms, and zeros of both signs.
  std::mt19937 gen(4321);
  std::uniform_real_distribution<float> amp(-1.0f, 1.0f);
  std::uniform_int_distribution<int> label(0, 4);  // 3, 4: no factor on that qubit
  const std::uint64_t widths[] = {1, 2, 3, 5, 8, 9, 11, 16};  // 16: blocks spread over the pool
  const std::size_t term_counts[] = {1, 64, 3, 65, 40};
  for (int trial = 0; trial < 16; ++trial) {
    const std::uint64_t n = widths[trial % 8];
    StateVector st = StateVector::create(n).value();
    for (std::size_t i = 0; i < st.size(); ++i) {
      st.data()[i] = {amp(gen), amp(gen)};
      if (i % 7 == 3) st.data()[i].im = 0.0f;
      if (i % 5 == 1) st.data()[i].re = -0.0f;
    }
    std::vector<PauliTerm> terms;
    for (std::size_t t = 0; t < term_counts[trial % 5]; ++t) {
      std::vector<PauliFactor> ops;
      for (std::uint64_t q = 0; q < n; ++q) {
        const int l = label(gen);
        if (l < 3) ops.push_back({q, static_cast<PauliLabel>(l)});
      }
      terms.push_back(term(std::move(ops), t % 9 == 4 ? 0.0f : amp(gen) * 2.0f));
    }
    const std::vector<Complex> want = literal_apply(st, terms);
    StateVector out = StateVector::create(n).value();
    ASSERT_TRUE(apply_observable(st, terms, out).ok());
    ASSERT_EQ(std::memcmp(out.data(), want.data(), want.size() * sizeof(Complex)), 0)
        << "trial " << trial;
    // Every instruction set this processor runs, the plain loop included.
    for (const kernels::KernelTable* table : kernels::supported_kernel_tables()) {
      ASSERT_TRUE(detail::apply_observable_with(*table, st, terms, out).ok());
      ASSERT_EQ(std::memcmp(out.data(), want.data(), want.size() * sizeof(Complex)), 0)
          << "trial " << trial << " " << table->name;
    }
  }
}

TEST(ApplyObservable, ChecksTheObservableFirst) {
  StateVector st = StateVector::create(3).value();
  StateVector out = StateVector::create(3).value();
  out.data()[5] = {0.5f, 0.5f};
  std::vector<PauliTerm> far = {term({{0, X}}, 1), term({{4, Z}}, 1)};
  auto bad = apply_observable(st, far, out);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "observable references qubit 4 but state vector only has 3 qubits");
  EXPECT_EQ(out.data()[5], (Complex{0.5f, 0.5f}));
  StateVector narrow = StateVector::create(2).value();
  EXPECT_EQ(apply_observable(st, {far.data(), 1}, narrow).error().kind, ErrorKind::kInternal);
}

}  // namespace
}  // namespace vantrel::sim
