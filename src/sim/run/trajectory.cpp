#include "sim/run/trajectory.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>

#include "sim/kernels/grain.h"

namespace vantrel::sim {
namespace {

template <class T>
inline T weight(ComplexOf<T> a) { return a.im * a.im + a.re * a.re; }

// A uniform double in [0, 1) from the top 53 bits of one 64-bit draw.
double uniform(Rng& rng) { return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53; }

std::uint64_t splitmix(std::uint64_t x) {
  std::uint64_t z = x + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Error no_weight() { return invalid("probabilities are not finite or all zero"); }

// The most blocks a norm pass divides the state into: fixed by the state's
// size alone, so the sums have the same bits on any pool size.
constexpr std::size_t kNormBlocks = 64;

// p_i = ||K_i psi||^2 for every operator, in double, into `p`.
template <class T>
void kraus_weights(const StateVectorOf<T>& state, const Channel& channel, std::vector<double>& p) {
  const std::size_t k = channel.targets.size();
  const std::size_t d = std::size_t{1} << k;
  const std::size_t count = channel.operators.size();
  // offsets[l]: the amplitude of local index l (first target the high bit).
  std::size_t offsets[std::size_t{1} << kMaxChannelQubits];
  for (std::size_t l = 0; l < d; ++l) {
    std::size_t o = 0;
    for (std::size_t j = 0; j < k; ++j)
      if (l >> (k - 1 - j) & 1) o |= std::size_t{1} << channel.targets[j];
    offsets[l] = o;
  }
  std::uint64_t sorted[kMaxChannelQubits];
  for (std::size_t j = 0; j < k; ++j) {  // insertion sort of at most 8
    std::size_t i = j;
    for (; i > 0 && sorted[i - 1] > channel.targets[j]; --i) sorted[i] = sorted[i - 1];
    sorted[i] = channel.targets[j];
  }
  const std::size_t groups = state.size() >> k;
  const std::size_t blocks = std::min(kNormBlocks, groups);
  p.assign((blocks + 1) * count, 0.0);
  const ComplexOf<T>* amps = state.data();
  parallel_for(blocks, 1, [&](std::size_t lo, std::size_t hi) {
    ComplexOf<T> local[std::size_t{1} << kMaxChannelQubits];
    for (std::size_t b = lo; b < hi; ++b) {
      double* sums = p.data() + (b + 1) * count;
      for (std::size_t g = groups * b / blocks; g < groups * (b + 1) / blocks; ++g) {
        std::size_t base = g;
        for (std::size_t j = 0; j < k; ++j) {
          const std::uint64_t t = sorted[j];
          base = ((base >> t) << (t + 1)) | (base & ((std::size_t{1} << t) - 1));
        }
        for (std::size_t l = 0; l < d; ++l) local[l] = amps[base + offsets[l]];
        for (std::size_t i = 0; i < count; ++i) {
          const ComplexOf<T>* m = channel.operators[i].matrix_of<T>().data();
          double w = 0.0;
          for (std::size_t r = 0; r < d; ++r) {
            double re = 0.0, im = 0.0;
            for (std::size_t c = 0; c < d; ++c) {
              const ComplexOf<T> a = m[r * d + c];
              const ComplexOf<T> v = local[c];
              re += double(a.re) * double(v.re) - double(a.im) * double(v.im);
              im += double(a.re) * double(v.im) + double(a.im) * double(v.re);
            }
            w += re * re + im * im;
          }
          sums[i] += w;
        }
      }
    }
  });
  // Row 0 gets the totals, block by block in order.
  for (std::size_t b = 0; b < blocks; ++b)
    for (std::size_t i = 0; i < count; ++i) p[i] += p[(b + 1) * count + i];
  p.resize(count);
}

// Divides every amplitude by g (true division, as a measurement
// renormalises).
template <class T>
void divide_all(StateVectorOf<T>& state, T g) {
  ComplexOf<T>* amps = state.data();
  parallel_for(state.size(), kernels::kGrainAmps, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) amps[i] = ComplexOf<T>{amps[i].re / g, amps[i].im / g};
  });
}

// Picks the first branch whose cumulative weight exceeds x, skipping
// branches of zero weight.
std::size_t pick(std::span<const double> weights, double x) {
  double sum = 0.0;
  std::size_t last = 0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (weights[i] <= 0.0) continue;
    sum += weights[i];
    last = i;
    if (x < sum) return i;
  }
  return last;
}

}  // namespace

std::uint64_t trajectory_seed(std::uint64_t seed, std::uint64_t t) {
  return splitmix(splitmix(seed) + t * 0x9E3779B97F4A7C15ull);
}

Result<std::uint64_t> fresh_seed() {
  auto rng = thread_rng();
  if (!rng.ok()) return std::move(rng).error();
  return rng->next_u64();
}

bool has_channels(std::span<const Gate> gates) {
  return std::any_of(gates.begin(), gates.end(),
                     [](const Gate& g) { return g.kind == Gate::Kind::kChannel; });
}

template <class T>
Status apply_channel(StateVectorOf<T>& state, const Channel& channel, Rng& rng) {
  VANTREL_TRY(validate_targets(state, channel.targets));
  if (channel.mixed_unitary()) {
    const std::size_t i = pick(channel.probabilities, uniform(rng));
    if (i == 0) return Status::Ok();  // the identity
    // The branch's Pauli string on the channel's targets. A fresh operation
    // each time, not one kept per thread: while this thread waits for the
    // pool inside apply_operation it may run another shot's channel.
    const Operation& pauli = pauli_branch(channel.targets.size(), i);
    Operation branch{channel.targets, pauli.matrix, 0, pauli.matrix_d};
    return state.apply_operation(branch);
  }
  // The calling thread's weights, reused so that its channels allocate
  // nothing once grown. A thread waiting for the pool inside kraus_weights
  // or apply_operation may run another shot's channel: that nested call
  // takes a buffer of its own rather than overwrite this one.
  thread_local std::vector<double> reused;
  thread_local bool reused_busy = false;
  std::vector<double> own;
  const bool nested = reused_busy;
  std::vector<double>& weights = nested ? own : reused;
  reused_busy = true;
  struct Release {
    bool nested;
    ~Release() {
      if (!nested) reused_busy = false;
    }
  } release{nested};
  kraus_weights(state, channel, weights);
  double total = 0.0;
  for (double w : weights) total += w;
  if (!std::isfinite(total) || total <= 0.0) return no_weight();
  const std::size_t i = pick(weights, uniform(rng) * total);
  VANTREL_TRY(state.apply_operation(channel.operators[i]));
  divide_all(state, static_cast<T>(std::sqrt(weights[i])));
  return Status::Ok();
}

template <class T>
Result<std::uint64_t> draw_one(const StateVectorOf<T>& state, Rng& rng) {
  const ComplexOf<T>* amps = state.data();
  if (amps == nullptr) return internal("NoItem");
  const std::size_t n = state.size();
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) total += static_cast<double>(weight(amps[i]));
  if (!std::isfinite(total) || total <= 0.0) return no_weight();
  const double x = uniform(rng) * total;
  double sum = 0.0;
  std::size_t last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = static_cast<double>(weight(amps[i]));
    if (w <= 0.0) continue;
    sum += w;
    last = i;
    if (x < sum) return i;
  }
  return last;
}

template <class T>
Status for_each_trajectory(std::uint64_t num_qubits, std::uint64_t first, std::uint64_t count,
                           std::uint64_t seed, std::type_identity_t<TrajectoryBodyOf<T>> body) {
  if (count == 0) return Status::Ok();
  // States kept at once: one per pool thread, within 1 GiB in all.
  constexpr std::uint64_t kBudget = std::uint64_t{1} << 30;
  const std::uint64_t bytes = num_qubits < 60 ? (sizeof(ComplexOf<T>) << num_qubits) : UINT64_MAX;
  const std::uint64_t fit = std::max<std::uint64_t>(1, kBudget / bytes);
  const std::size_t contexts = static_cast<std::size_t>(
      std::min<std::uint64_t>({pool_num_threads(), count, fit}));
  std::vector<StateVectorOf<T>> states;
  std::vector<Status> failures(contexts);
  std::vector<std::uint64_t> failed_at(contexts, UINT64_MAX);
  states.reserve(contexts);
  for (std::size_t c = 0; c < contexts; ++c) {
    auto s = StateVectorOf<T>::create(num_qubits);
    if (!s) return std::move(s).error();
    states.push_back(std::move(s).value());
  }
  parallel_for(contexts, 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t c = lo; c < hi; ++c) {
      const std::uint64_t begin =
          first + count / contexts * c + std::min<std::uint64_t>(c, count % contexts);
      const std::uint64_t end = begin + count / contexts + (c < count % contexts);
      for (std::uint64_t t = begin; t < end; ++t) {
        if (t > begin) states[c].reset_to_zero_state();
        SeededRng generator(trajectory_seed(seed, t));
        Rng rng = generator.rng();
        Status status = body(states[c], rng, t);
        if (!status.ok()) {
          failures[c] = std::move(status);
          failed_at[c] = t;
          break;
        }
      }
    }
  });
  const auto lowest = std::min_element(failed_at.begin(), failed_at.end());
  if (*lowest != UINT64_MAX) return std::move(failures[lowest - failed_at.begin()]);
  return Status::Ok();
}

#define VANTREL_TRAJECTORY_OF(T)                                                                \
  template Status apply_channel(StateVectorOf<T>&, const Channel&, Rng&);                       \
  template Result<std::uint64_t> draw_one(const StateVectorOf<T>&, Rng&);                       \
  template Status for_each_trajectory<T>(std::uint64_t, std::uint64_t, std::uint64_t,           \
                                         std::uint64_t, TrajectoryBodyOf<T>);
VANTREL_TRAJECTORY_OF(float)
VANTREL_TRAJECTORY_OF(double)
#undef VANTREL_TRAJECTORY_OF

}  // namespace vantrel::sim
