#include "sim/model/channel.h"

#include <gtest/gtest.h>

#include <complex>

namespace vantrel::sim {
namespace {

using C = std::complex<double>;

// sum_i w_i K_i^dagger K_i - I, largest entry (w_i = p_i for mixed-unitary
// channels, 1 for Kraus ones).
double deviation(const Channel& c) {
  const std::size_t d = std::size_t{1} << c.targets.size();
  double worst = 0.0;
  for (std::size_t r = 0; r < d; ++r)
    for (std::size_t s = 0; s < d; ++s) {
      C sum = 0;
      const std::size_t count = c.mixed_unitary() ? c.probabilities.size() : c.operators.size();
      for (std::size_t i = 0; i < count; ++i) {
        const Operation& k =
            c.mixed_unitary() ? pauli_branch(c.targets.size(), i) : c.operators[i];
        const double w = c.mixed_unitary() ? c.probabilities[i] : 1.0;
        for (std::size_t j = 0; j < d; ++j)
          sum += w * std::conj(C(k.matrix[j * d + r].re, k.matrix[j * d + r].im)) *
                 C(k.matrix[j * d + s].re, k.matrix[j * d + s].im);
      }
      worst = std::max(worst, std::abs(sum - (r == s ? 1.0 : 0.0)));
    }
  return worst;
}

TEST(Channel, EveryKindIsTracePreservingAndKrausSetsAreChecked) {
  const struct {
    ChannelKind kind;
    std::vector<std::uint64_t> targets;
    std::vector<double> p;
  } cases[] = {
      {ChannelKind::kBitFlip, {0}, {0.3}},         {ChannelKind::kPhaseFlip, {2}, {1.0}},
      {ChannelKind::kDepolarizing, {1}, {0.75}},   {ChannelKind::kTwoQubitDepolarizing, {3, 1}, {0.2}},
      {ChannelKind::kPauli, {0}, {0.1, 0.2, 0.3}}, {ChannelKind::kAmplitudeDamping, {0}, {0.4}},
      {ChannelKind::kPhaseDamping, {0}, {0.9}},
  };
  for (const auto& k : cases) {
    auto gate = make_channel(k.kind, k.targets, k.p);
    ASSERT_TRUE(gate.ok()) << channel_name(k.kind);
    EXPECT_LT(deviation(*gate->channel), 1e-6) << channel_name(k.kind);
    EXPECT_EQ(gate->channel->targets, k.targets);
  }
  const double bad[] = {1.5};
  EXPECT_FALSE(make_channel(ChannelKind::kBitFlip, {0}, bad).ok());

  const ComplexD h{0.7071067811865476, 0.0}, z{0.0, 0.0};
  auto good = make_kraus_channel({0}, {{h, z, z, h}, {z, h, h, z}});
  ASSERT_TRUE(good.ok());
  EXPECT_LT(deviation(*good->channel), 1e-6);
  auto scaled = make_kraus_channel({0}, {{h, z, z, h}});
  ASSERT_FALSE(scaled.ok());
  EXPECT_NE(scaled.error().message.find("differs from the identity by 0.5"), std::string::npos)
      << scaled.error().message;
}

}  // namespace
}  // namespace vantrel::sim
