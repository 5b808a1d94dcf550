#include "sim/state/measure.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "sim/base/alloc.h"
#include "sim/model/gate_table.h"
#include "sim/base/interrupt.h"

namespace vantrel::sim {
namespace {

template <class T>
inline T weight(ComplexOf<T> a) { return a.im * a.im + a.re * a.re; }

template <class T>
inline ComplexOf<T> divide(ComplexOf<T> a, T g) { return {a.re / g, a.im / g}; }

// A uniform draw in [0, 1) with T's precision: the top 24 bits of a 32-bit
// word for float, the top 53 of a 64-bit word for double.
inline float uniform_below_one(Rng& rng, float) {
  return static_cast<float>(rng.next_u32() >> 8) * 0x1p-24f;
}
inline double uniform_below_one(Rng& rng, double) {
  return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53;
}

// Counts the entries <= x of a non-decreasing table, as std::upper_bound
// would, through a summary holding the last entry of every full leaf of
// kLeaf entries: the leaves whose last entry is <= x lie wholly below x, so
// the count is that many leaves plus the count inside the next leaf. The
// summary is small enough to stay in cache where the table does not.
class SortedTable {
 public:
  static constexpr std::size_t kLeaf = 32;

  SortedTable(const double* table, std::size_t size)
      : table_(table), size_(size), leaves_(size / kLeaf),
        summary_(new (std::nothrow) double[leaves_]) {
    if (summary_)
      for (std::size_t j = 0; j < leaves_; ++j) summary_[j] = table[(j + 1) * kLeaf - 1];
  }

  bool ok() const { return summary_ != nullptr; }

  std::uint64_t count_not_greater(double x) const {
    const double* s = summary_.get();
    const std::size_t below = static_cast<std::size_t>(std::upper_bound(s, s + leaves_, x) - s);
    const double* lo = table_ + below * kLeaf;
    const double* hi = table_ + std::min(size_, (below + 1) * kLeaf);
    return static_cast<std::uint64_t>(std::upper_bound(lo, hi, x) - table_);
  }

 private:
  const double* table_;
  std::size_t size_;
  std::size_t leaves_;
  std::unique_ptr<double[]> summary_;
};

// Entries of the sampling table, or draws, between two interrupt checks.
constexpr std::size_t kStopStride = 1 << 14;

// A state with a NaN or infinite amplitude (from NaN or overflowing angles,
// say) has no distribution to draw from.
Error non_finite_probabilities() { return invalid("probabilities are not finite"); }

}  // namespace

template <class T>
Result<bool> measure_qubit(StateVectorOf<T>& state, std::uint64_t q, Rng& rng) {
  using C = ComplexOf<T>;
  VANTREL_TRY(validate_targets(state, std::span<const std::uint64_t>(&q, 1)));
  C* amps = state.data();
  const std::size_t n = state.size();
  const std::size_t s = std::size_t{1} << q;

  // Running sum in T over the qubit-1 half of each block, in index order.
  // The other half's sum only shows whether every weight is finite.
  T p0_check = T(0);
  T p1 = T(0);
  for (std::size_t block = 0; block < n; block += 2 * s) {
    for (std::size_t i = block; i < block + s; ++i) p0_check += weight(amps[i]);
    for (std::size_t i = block + s; i < block + 2 * s; ++i) p1 += weight(amps[i]);
  }
  if (!std::isfinite(p0_check) || !std::isfinite(p1)) return non_finite_probabilities();

  const T r = uniform_below_one(rng, T(0));
  const bool outcome = p1 > r;

  // True division by the square root: multiplying by its reciprocal would
  // round differently.
  const C zero{T(0), T(0)};
  if (outcome) {
    const T g = std::sqrt(p1);
    for (std::size_t block = 0; block < n; block += 2 * s)
      for (std::size_t i = block; i < block + s; ++i) {
        amps[i] = zero;
        amps[i + s] = divide(amps[i + s], g);
      }
  } else {
    const T p0 = T(1) - p1;
    if (p0 > T(0)) {
      const T g = std::sqrt(p0);
      for (std::size_t block = 0; block < n; block += 2 * s)
        for (std::size_t i = block; i < block + s; ++i) {
          amps[i] = divide(amps[i], g);
          amps[i + s] = zero;
        }
    } else {
      // Outcome 0 means p1 <= r < 1, so p0 > 0 here; kept so that no state
      // is ever divided by zero.
      std::fill(amps, amps + n, zero);
    }
  }
  return outcome;
}

template <class T>
Status reset_qubit(StateVectorOf<T>& state, std::uint64_t q, Rng& rng) {
  auto outcome = measure_qubit(state, q, rng);
  if (!outcome.ok()) return std::move(outcome).error();
  if (*outcome) {
    ComplexOf<T> x[4];
    standard_matrix<T>(StandardGate::kX, {}, x);
    state.apply_mat2(q, x);
  }
  return Status::Ok();
}

namespace {

// `given` null: the calling thread's generator, taken only once there is
// something to draw.
template <class T>
Result<std::vector<std::uint64_t>> measure_from(const StateVectorOf<T>& state, std::uint64_t shots,
                                                Rng* given) {
  // A state without amplitudes (released or moved from) has nothing to draw.
  const ComplexOf<T>* amps = state.data();
  if (amps == nullptr) return internal("NoItem");
  const std::size_t n = state.size();

  // Cumulative weights in 64 bits: entry i - 1 holds w[0] + ... + w[i - 1],
  // the total before w[i] is added; the last weight only enters the total.
  // Weights are computed in T and then widened.
  double total = static_cast<double>(weight(amps[0]));
  if (!std::isfinite(total)) return non_finite_probabilities();
  std::unique_ptr<double[]> table(new (std::nothrow) double[n - 1]);
  if (!table)
    return allocation_failure("a sampling table of " + dec(n - 1) + " weights", (n - 1) * sizeof(double));
  StopCheck stop;
  for (std::size_t i = 1; i < n; ++i) {
    if (i % kStopStride == 0 && stop(kStopStride)) return interrupted();
    const double w = static_cast<double>(weight(amps[i]));
    if (!std::isfinite(w)) return non_finite_probabilities();
    table[i - 1] = total;
    total += w;
  }
  if (!std::isfinite(total)) return non_finite_probabilities();
  if (total == 0.0) return invalid("probabilities are all zero");

  // The largest scale for which v * scale < total for every v < 1 drawn
  // below (v <= 1 - 2^-52).
  double scale = total;
  while (scale * (1.0 - 0x1p-52) >= total) scale = std::nextafter(scale, 0.0);

  std::vector<std::uint64_t> samples;
  const auto samples_failure = [&] {
    return allocation_failure(dec(shots) + " samples",
                              static_cast<unsigned __int128>(shots) * sizeof(std::uint64_t));
  };
  VANTREL_TRY(guard_allocation([&] { samples.reserve(shots); }, samples_failure));
  if (shots == 0) return samples;

  std::optional<Rng> own;
  if (given == nullptr) {
    auto rng = thread_rng();
    if (!rng.ok()) return std::move(rng).error();
    own.emplace(*rng);
    given = &*own;
  }
  const SortedTable search(table.get(), n - 1);
  if (!search.ok())
    return allocation_failure("a sampling index of " + dec((n - 1) / SortedTable::kLeaf) + " entries",
                              (n - 1) / SortedTable::kLeaf * sizeof(double));
  for (std::uint64_t k = 0; k < shots; ++k) {
    // A draw searches the table: count it as several amplitudes of work.
    if (k % kStopStride == 0 && stop(16 * kStopStride)) return interrupted();
    const std::uint64_t u = given->next_u64();
    const double v = std::bit_cast<double>(std::uint64_t{0x3FF} << 52 | u >> 12) - 1.0;
    const double x = v * scale + 0.0;
    samples.push_back(search.count_not_greater(x));
  }
  return samples;
}

}  // namespace

template <class T>
Result<std::vector<std::uint64_t>> measure(const StateVectorOf<T>& state, std::uint64_t shots) {
  return measure_from(state, shots, nullptr);
}

template <class T>
Result<std::vector<std::uint64_t>> measure(const StateVectorOf<T>& state, std::uint64_t shots,
                                           Rng& rng) {
  return measure_from(state, shots, &rng);
}

#define VANTREL_MEASURE_OF(T)                                                                   \
  template Result<bool> measure_qubit(StateVectorOf<T>&, std::uint64_t, Rng&);                 \
  template Status reset_qubit(StateVectorOf<T>&, std::uint64_t, Rng&);                         \
  template Result<std::vector<std::uint64_t>> measure(const StateVectorOf<T>&, std::uint64_t); \
  template Result<std::vector<std::uint64_t>> measure(const StateVectorOf<T>&, std::uint64_t, Rng&);
VANTREL_MEASURE_OF(float)
VANTREL_MEASURE_OF(double)
#undef VANTREL_MEASURE_OF

std::vector<std::pair<std::uint64_t, std::uint64_t>> tally(std::vector<std::uint64_t> samples) {
  std::sort(samples.begin(), samples.end());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (std::size_t i = 0; i < samples.size();) {
    std::size_t end = i + 1;
    while (end < samples.size() && samples[end] == samples[i]) ++end;
    out.emplace_back(samples[i], end - i);
    i = end;
  }
  return out;
}

}  // namespace vantrel::sim
