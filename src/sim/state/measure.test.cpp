#include "sim/state/measure.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <thread>

#include "sim/testing/states.h"

namespace vantrel::sim {
namespace {

using testing::with_known_stream;

constexpr float kHalf = 0.70710677f;  // 1/sqrt(2) in single precision

StateVector make_state(std::uint64_t n, std::vector<Complex> amps) {
  auto s = StateVector::create(n);
  EXPECT_TRUE(s.ok());
  std::copy(amps.begin(), amps.end(), s->data());
  return std::move(s).value();
}

std::vector<Complex> amplitudes(const StateVector& s) {
  return {s.data(), s.data() + s.size()};
}

Rng current_rng() {
  auto rng = thread_rng();
  EXPECT_TRUE(rng.ok());
  return *rng;
}

// Word i of the stream of a generator seeded by zero_key_source.
std::uint32_t zero_key_word(int i) {
  std::uint32_t in[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  in[12] = static_cast<std::uint32_t>(i / 16);
  std::uint32_t out[16];
  detail::chacha_block(in, out, 12);
  return out[i % 16];
}

TEST(MeasureQubit, BasisStatesGiveFixedOutcomes) {
  Rng rng = current_rng();
  for (int rep = 0; rep < 20; ++rep) {
    auto s = make_state(2, {{1, 0}, {0, 0}, {0, 0}, {0, 0}});
    auto out = measure_qubit(s, 0, rng);
    ASSERT_TRUE(out.ok());
    EXPECT_FALSE(*out);
    EXPECT_EQ(amplitudes(s), amplitudes(make_state(2, {{1, 0}})));

    auto one = make_state(2, {{0, 0}, {1, 0}, {0, 0}, {0, 0}});
    out = measure_qubit(one, 0, rng);
    ASSERT_TRUE(out.ok());
    EXPECT_TRUE(*out);
    EXPECT_EQ(amplitudes(one), amplitudes(make_state(2, {{0, 0}, {1, 0}, {0, 0}, {0, 0}})));
  }
}

TEST(MeasureQubit, OutOfRangeFailsBeforeAnyDraw) {
  with_known_stream([] {
    Rng rng = current_rng();
    auto s = make_state(2, {{0.6f, 0}, {0.8f, 0}});
    const auto before = amplitudes(s);
    auto out = measure_qubit(s, 2, rng);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, ErrorKind::kInvalid);
    EXPECT_EQ(out.error().message, "qubit index 2 is out of range for 2 qubits");
    Status r = reset_qubit(s, 7, rng);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "qubit index 7 is out of range for 2 qubits");
    EXPECT_EQ(amplitudes(s), before);
    EXPECT_EQ(rng.next_u32(), zero_key_word(0));
  });
}

TEST(MeasureQubit, OutcomeComparesProbabilityWithTheDraw) {
  with_known_stream([] {
    Rng rng = current_rng();
    const float r = static_cast<float>(zero_key_word(0) >> 8) * 0x1p-24f;
    // One qubit with p1 just above, then just below, the known r.
    const float above = std::nextafter(r, 2.0f);
    auto s = make_state(1, {{0, 0}, {std::sqrt(above), 0}});
    const float p1 = s.data()[1].re * s.data()[1].re;
    auto out = measure_qubit(s, 0, rng);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(*out, p1 > r);

    const float r2 = static_cast<float>(zero_key_word(1) >> 8) * 0x1p-24f;
    auto t = make_state(1, {{0, 0}, {std::sqrt(r2), 0}});
    const float q1 = t.data()[1].re * t.data()[1].re;
    out = measure_qubit(t, 0, rng);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(*out, q1 > r2);
  });
}

// p1 is summed over the qubit-1 amplitudes in block order and the kept
// amplitudes are divided (not multiplied by a reciprocal) by sqrt(p).
TEST(MeasureQubit, CollapseDividesBySquareRoot) {
  // Chosen so that, in both branches, some quotients differ from the products
  // with the reciprocal.
  const std::vector<Complex> amps = {{0.11f, 0.29f},  {0.02f, 0.19f}, {0.14f, -0.35f},
                                     {0.21f, 0.07f},  {-0.16f, -0.38f}, {0.29f, -0.02f},
                                     {0.18f, 0.3f},   {0.17f, 0.34f}};
  auto w = [](Complex a) { return a.im * a.im + a.re * a.re; };
  // Qubit 1: blocks of four, the upper two of each hold qubit value 1.
  float p1 = 0.0f;
  for (int i : {2, 3, 6, 7}) p1 += w(amps[i]);
  const float g1 = std::sqrt(p1);
  const float g0 = std::sqrt(1.0f - p1);

  std::vector<Complex> expect1(8), expect0(8);
  bool reciprocal_differs[2] = {false, false};
  for (int i = 0; i < 8; ++i) {
    const bool upper = (i & 2) != 0;
    const float g = upper ? g1 : g0;
    const Complex divided{amps[i].re / g, amps[i].im / g};
    (upper ? expect1 : expect0)[i] = divided;
    const float inv = 1.0f / g;
    if (divided.re != amps[i].re * inv || divided.im != amps[i].im * inv)
      reciprocal_differs[upper] = true;
  }
  ASSERT_TRUE(reciprocal_differs[0] && reciprocal_differs[1])
      << "the values do not tell division from multiplication";

  Rng rng = current_rng();
  bool seen[2] = {false, false};
  for (int rep = 0; rep < 400 && !(seen[0] && seen[1]); ++rep) {
    auto s = make_state(3, amps);
    auto out = measure_qubit(s, 1, rng);
    ASSERT_TRUE(out.ok());
    seen[*out] = true;
    const auto got = amplitudes(s);
    for (int i = 0; i < 8; ++i) {
      const Complex e = *out ? expect1[i] : expect0[i];
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].re), std::bit_cast<std::uint32_t>(e.re)) << i;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].im), std::bit_cast<std::uint32_t>(e.im)) << i;
    }
  }
  EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(MeasureQubit, DegenerateStates) {
  Rng rng = current_rng();
  // All zero: outcome 0, the state stays zero (division by sqrt(1)).
  auto zero = make_state(2, {{0, 0}});
  auto out = measure_qubit(zero, 1, rng);
  ASSERT_TRUE(out.ok());
  EXPECT_FALSE(*out);
  for (Complex a : amplitudes(zero)) EXPECT_EQ(a, (Complex{0, 0}));

  // p1 >= 1 always gives outcome 1.
  auto heavy = make_state(1, {{0, 0}, {1.5f, 0}});
  out = measure_qubit(heavy, 0, rng);
  ASSERT_TRUE(out.ok());
  EXPECT_TRUE(*out);
}

TEST(MeasureQubit, SuperpositionStatistics) {
  Rng rng = current_rng();
  int ones = 0;
  constexpr int kTrials = 2000;
  for (int rep = 0; rep < kTrials; ++rep) {
    auto s = make_state(1, {{kHalf, 0}, {kHalf, 0}});
    auto out = measure_qubit(s, 0, rng);
    ASSERT_TRUE(out.ok());
    ones += *out;
    const Complex kept = s.data()[*out ? 1 : 0];
    const Complex gone = s.data()[*out ? 0 : 1];
    EXPECT_NEAR(kept.re, 1.0f, 1e-6f);
    EXPECT_EQ(kept.im, 0.0f);
    EXPECT_EQ(gone, (Complex{0, 0}));
  }
  // Binomial(2000, 1/2) has standard deviation about 22.
  EXPECT_GT(ones, 850);
  EXPECT_LT(ones, 1150);
}

TEST(ResetQubit, FlipsOneBackToZeroWithOneDraw) {
  with_known_stream([] {
    Rng rng = current_rng();
    auto one = make_state(1, {{0, 0}, {1, 0}});
    ASSERT_TRUE(reset_qubit(one, 0, rng).ok());
    EXPECT_EQ(amplitudes(one), (std::vector<Complex>{{1, 0}, {0, 0}}));
    auto zero = make_state(1, {{1, 0}, {0, 0}});
    ASSERT_TRUE(reset_qubit(zero, 0, rng).ok());
    EXPECT_EQ(amplitudes(zero), (std::vector<Complex>{{1, 0}, {0, 0}}));
    // Two resets consumed exactly two 32-bit draws.
    EXPECT_EQ(rng.next_u32(), zero_key_word(2));
  });
}

TEST(ResetQubit, LeavesTheQubitAtZeroInEntangledStates) {
  Rng rng = current_rng();
  for (int rep = 0; rep < 50; ++rep) {
    // (|01> + |10>)/sqrt(2) on qubits 1, 0: resetting qubit 1 leaves |00> or |01>.
    auto s = make_state(2, {{0, 0}, {kHalf, 0}, {kHalf, 0}, {0, 0}});
    ASSERT_TRUE(reset_qubit(s, 1, rng).ok());
    const auto a = amplitudes(s);
    EXPECT_EQ(a[2], (Complex{0, 0}));
    EXPECT_EQ(a[3], (Complex{0, 0}));
    EXPECT_NEAR(std::abs(a[0].re) + std::abs(a[1].re), 1.0f, 1e-6f);
  }
}

TEST(Measure, BasisStatesGiveOnlyTheirIndex) {
  auto zero = make_state(3, {{1, 0}});
  auto out = measure(zero, 5);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, (std::vector<std::uint64_t>{0, 0, 0, 0, 0}));

  auto three = make_state(2, {{0, 0}, {0, 0}, {0, 0}, {0, 1}});
  out = measure(three, 100);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, std::vector<std::uint64_t>(100, 3));

  // The last index, and a single-amplitude (0-qubit) state.
  auto last = make_state(3, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0}});
  out = measure(last, 50);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, std::vector<std::uint64_t>(50, 7));
  auto scalar = make_state(0, {{1, 0}});
  out = measure(scalar, 3);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, std::vector<std::uint64_t>(3, 0));
}

TEST(Measure, ZeroWeightsAreNeverChosenAndFrequenciesFollowWeights) {
  // Weights 1/2 at index 2, 1/4 at 5 and 7, zero elsewhere.
  std::vector<Complex> amps(8);
  amps[2] = {kHalf, 0};
  amps[5] = {0, 0.5f};
  amps[7] = {-0.5f, 0};
  auto s = make_state(3, amps);
  constexpr std::uint64_t kShots = 4000;
  auto out = measure(s, kShots);
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out->size(), kShots);
  int counts[8] = {};
  for (std::uint64_t i : *out) {
    ASSERT_LT(i, 8u);
    ++counts[i];
  }
  for (int i : {0, 1, 3, 4, 6}) EXPECT_EQ(counts[i], 0) << i;
  // Standard deviations about 32 (index 2) and 27 (indices 5, 7).
  EXPECT_NEAR(counts[2], 2000, 200);
  EXPECT_NEAR(counts[5], 1000, 170);
  EXPECT_NEAR(counts[7], 1000, 170);
  // The state is only read.
  EXPECT_EQ(amplitudes(s), amps);

  auto plus = make_state(1, {{kHalf, 0}, {kHalf, 0}});
  out = measure(plus, 2000);
  ASSERT_TRUE(out.ok());
  int ones = 0;
  for (std::uint64_t i : *out) {
    ASSERT_LT(i, 2u);
    ones += static_cast<int>(i);
  }
  EXPECT_GT(ones, 850);
  EXPECT_LT(ones, 1150);
}

// With a known stream, each index is the smallest i whose cumulative weight
// exceeds x = v * scale, v built from the 52 high bits of a 64-bit draw. The
// state has runs of zero weights (equal table entries), some across the
// boundaries of the search's leaves, and most weight near the end, in the
// last, partial leaf.
TEST(Measure, IndicesFollowTheDrawsInOrder) {
  with_known_stream([] {
    constexpr int kN = 256;
    std::vector<Complex> amps(kN);
    for (int i = 0; i < kN; ++i) {
      const bool zero = (i % 7 == 1) || (i >= 28 && i < 70) || (i >= 120 && i < 161);
      const float big = i >= 230 ? 4.0f : 1.0f;
      amps[i] = zero ? Complex{0, 0}
                     : Complex{big * 0.01f * static_cast<float>(i % 13 + 1),
                               -big * 0.003f * static_cast<float>(i % 5)};
    }
    auto s = make_state(8, amps);
    constexpr int kShots = 400;
    auto out = measure(s, kShots);
    ASSERT_TRUE(out.ok());

    std::vector<double> cumulative(kN);
    double total = 0.0;
    for (int i = 0; i < kN; ++i) {
      total += static_cast<double>(amps[i].im * amps[i].im + amps[i].re * amps[i].re);
      cumulative[i] = total;
    }
    double scale = total;
    while (scale * (1.0 - 0x1p-52) >= total) scale = std::nextafter(scale, 0.0);
    for (int k = 0; k < kShots; ++k) {
      const std::uint64_t u =
          std::uint64_t{zero_key_word(2 * k + 1)} << 32 | zero_key_word(2 * k);
      const double v = std::bit_cast<double>(std::uint64_t{0x3FF} << 52 | u >> 12) - 1.0;
      const double x = v * scale;
      std::size_t expected = 0;
      while (!(x < cumulative[expected])) ++expected;
      ASSERT_EQ((*out)[k], expected) << k;
    }
  });
}

TEST(Measure, AGivenGeneratorDrawsAsTheThreadsDoes) {
  auto s = make_state(2, {{0.5f, 0.0f}, {0.0f, 0.1f}, {0.0f, 0.0f}, {-0.3f, 0.8062258f}});
  std::vector<std::uint64_t> from_thread;
  with_known_stream([&] { from_thread = measure(s, 300).value(); });
  // A generator of the same stream (the zero key), handed in.
  Rng::State zero;
  const std::uint32_t constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::copy(constants, constants + 4, zero.input);
  zero.seeded = zero.fixed_key = true;
  Rng given(&zero);
  EXPECT_EQ(measure(s, 300, given).value(), from_thread);
  EXPECT_EQ(given.next_u32(), zero_key_word(600));  // one 64-bit word per shot
}

TEST(Measure, NonFiniteOrZeroWeightsAreInvalid) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto first_nan = make_state(1, {{nan, 0}, {1, 0}});
  auto later_nan = make_state(2, {{1, 0}, {0, 0}, {0, nan}, {0, 0}});
  auto huge = make_state(1, {{1e20f, 0}, {1, 0}});  // weight overflows to infinity
  auto zero = make_state(2, {{0, 0}});
  for (std::uint64_t shots : {std::uint64_t{0}, std::uint64_t{10}}) {
    for (const StateVector* s : {&first_nan, &later_nan, &huge}) {
      auto r = measure(*s, shots);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind, ErrorKind::kInvalid);
      EXPECT_EQ(r.error().message, "probabilities are not finite");
    }
    auto d = measure(zero, shots);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind, ErrorKind::kInvalid);
    EXPECT_EQ(d.error().message, "probabilities are all zero");
  }
  StateVector empty;
  auto e = measure(empty, 1);
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind, ErrorKind::kInternal);
  EXPECT_EQ(e.error().message, "NoItem");

  // Measuring and resetting refuse such a state wherever the bad amplitude
  // lies, in the measured qubit's half or the other one.
  Rng rng = current_rng();
  for (std::uint64_t q : {0u, 1u}) {
    StateVector copy = make_state(2, {{1, 0}, {0, 0}, {0, nan}, {0, 0}});
    auto m = measure_qubit(copy, q, rng);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().kind, ErrorKind::kInvalid);
    EXPECT_EQ(m.error().message, "probabilities are not finite");
  }
  auto r = reset_qubit(huge, 0, rng);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "probabilities are not finite");
}

TEST(Measure, ZeroShotsAndImpossibleShotCounts) {
  auto s = make_state(2, {{1, 0}});
  auto none = measure(s, 0);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  auto too_many = measure(s, std::numeric_limits<std::uint64_t>::max());
  ASSERT_FALSE(too_many.ok());
  EXPECT_EQ(too_many.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(too_many.error().message, "cannot allocate 18446744073709551615 samples (128 EiB)");
}

}  // namespace
}  // namespace vantrel::sim
