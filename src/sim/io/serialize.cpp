#include "sim/io/serialize.h"

#include "sim/model/channel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "sim/base/alloc.h"
#include "sim/base/interrupt.h"
#include "sim/base/messages.h"
#include "sim/base/utf8.h"
#include "sim/model/gates.h"

namespace vantrel::sim {
namespace {

const char* kind_name(ValueTag tag) {
  switch (tag) {
    case ValueTag::kGate: return "Gate";
    case ValueTag::kCircuit: return "Circuit";
    case ValueTag::kObservable: return "Observable";
    case ValueTag::kCircuitSpec: return "CircuitSpec";
    case ValueTag::kCompiledCircuit: return "CompiledCircuit";
    case ValueTag::kParameter: return "Parameter";
  }
  return nullptr;
}

// Smallest encodings, the unit by which counts are checked against the
// bytes that remain: a barrier step is two bytes (step kind, gate kind).
// Every other gate or step takes at least the bytes of a measurement.
constexpr std::size_t kMinGateBytes = 1;
constexpr std::size_t kMinStepBytes = 2;
constexpr std::size_t kMinOtherGateBytes = 1 + 8;
constexpr std::size_t kMinOtherStepBytes = 1 + kMinOtherGateBytes;
constexpr std::size_t kMinTermBytes = 4 + 8;
constexpr std::size_t kFactorBytes = 8 + 1;
constexpr std::size_t kMinNameBytes = 1;
constexpr std::size_t kMinGivenNameBytes = 1 + 8;
constexpr std::size_t kComplexBytes = 8;
// Version 3 carries each matrix entry in both precisions.
constexpr std::size_t kEntryBytesV3 = 8 + 16;

// Work charged to the Interrupt (interrupt.h) per decoded item: decoding one
// costs about as much as touching this many amplitudes, so a long decode
// polls about as often as a run does.
constexpr std::uint64_t kItemWork = 64;

// ---------------------------------------------------------------------------
// Encoding: every value is written twice over the same code, once into a
// Counter that measures it and once into a Writer over a buffer of exactly
// that size.

struct Counter {
  std::size_t size = 0;
  void u8(std::uint8_t) { size += 1; }
  void u64(std::uint64_t) { size += 8; }
  void f32(float) { size += 4; }
  void f64(double) { size += 8; }
  void text(std::string_view s) { size += s.size(); }
  template <class T>
  void complexes(std::span<const ComplexOf<T>> m) { size += sizeof(ComplexOf<T>) * m.size(); }
};

struct Writer {
  std::uint8_t* p;
  void u8(std::uint8_t v) { *p++ = v; }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
  void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
  void real(float v) { f32(v); }
  void real(double v) { f64(v); }
  void text(std::string_view s) {
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p += s.size();
  }
  template <class T>
  void complexes(std::span<const ComplexOf<T>> m) {
    if constexpr (std::endian::native == std::endian::little) {
      if (!m.empty()) std::memcpy(p, m.data(), sizeof(ComplexOf<T>) * m.size());
      p += sizeof(ComplexOf<T>) * m.size();
    } else {
      for (const ComplexOf<T>& c : m) {
        real(c.re);
        real(c.im);
      }
    }
  }
};

template <class Out>
void put_name(Out& out, const std::string* name) {
  out.u8(name ? 1 : 0);
  if (!name) return;
  out.u64(name->size());
  out.text(*name);
}

template <class Out>
void put_names(Out& out, const ParameterNames& names) {
  for (std::uint64_t slot = 0; slot < names.size(); ++slot) put_name(out, names.name(slot));
}

template <class Out>
void put_label(Out& out, const std::optional<GateLabel>& label) {
  out.u8(label ? 1 : 0);
  if (!label) return;
  out.u8(static_cast<std::uint8_t>(label->gate));
  out.u8(label->num_angles);
  for (double a : label->angle_values()) out.f64(a);
}

template <class Out>
void put_factors(Out& out, std::span<const PauliFactor> factors) {
  out.u64(factors.size());
  for (const PauliFactor& f : factors) {
    out.u64(f.qubit);
    out.u8(static_cast<std::uint8_t>(f.label));
  }
}

template <class Out>
void put(Out& out, const Gate& g) {
  out.u8(static_cast<std::uint8_t>(g.kind));
  switch (g.kind) {
    case Gate::Kind::kUnitary:
      out.u64(g.op.num_controls);
      out.u64(g.op.targets.size());
      for (std::uint64_t t : g.op.targets) out.u64(t);
      out.u64(g.op.matrix.size());
      out.template complexes<float>(g.op.matrix);
      out.template complexes<double>(g.op.matrix_d);
      put_label(out, g.label);
      break;
    case Gate::Kind::kMeasure:
    case Gate::Kind::kReset:
      out.u64(g.qubit);
      break;
    case Gate::Kind::kBarrier:
      break;
    case Gate::Kind::kChannel: {
      const Channel& c = *g.channel;
      out.u8(static_cast<std::uint8_t>(c.kind));
      out.u64(c.targets.size());
      for (std::uint64_t t : c.targets) out.u64(t);
      if (c.kind == ChannelKind::kKraus) {
        out.u64(c.operators.size());
        for (const Operation& k : c.operators) {
          out.u64(k.matrix_d.size());
          out.template complexes<double>(k.matrix_d);
        }
      } else {
        out.u64(c.parameters.size());
        for (double p : c.parameters) out.f64(p);
      }
      break;
    }
  }
}

template <class Out>
void put_step(Out& out, const CompiledOp& op) {
  out.u8(static_cast<std::uint8_t>(op.kind));
  switch (op.kind) {
    case CompiledOp::Kind::kFixed:
      put(out, op.gate);
      break;
    case CompiledOp::Kind::kParam:
      out.u8(static_cast<std::uint8_t>(op.rotation));
      out.u64(op.target);
      out.u64(op.slot);
      break;
    case CompiledOp::Kind::kPauliRotation:
      out.u64(op.slot);
      out.f64(op.scale);
      put_factors(out, op.paulis);
      break;
  }
}

// A list as written: its length, then each entry, a run of barriers as that
// many separate barriers.
template <class Out>
void put_steps(Out& out, const std::vector<CompiledOp>& ops) {
  out.u64(listed_size(ops));
  for (const CompiledOp& op : ops)
    for (std::uint64_t i = 0; i < op.multiplicity(); ++i) put_step(out, op);
}

template <class Out>
void put(Out& out, const Circuit& c) {
  out.u64(listed_size(c.gates()));
  for (const Gate& g : c.gates())
    for (std::uint64_t i = 0; i < g.multiplicity(); ++i) put(out, g);
}

template <class Out>
void put(Out& out, const Observable& o) {
  out.u64(o.terms().size());
  for (const PauliTerm& t : o.terms()) {
    out.f64(t.coefficient);
    put_factors(out, t.ops);
  }
}

template <class Out>
void put(Out& out, const ParameterizedCircuitSpec& s) {
  out.u64(s.num_qubits());
  out.u64(s.parameter_names().size());
  put_names(out, s.parameter_names());
  put_steps(out, s.ops());
}

template <class Out>
void put(Out& out, const CompiledCircuit& c) {
  out.u64(c.num_qubits());
  out.u64(c.parameter_count());
  put_steps(out, c.ops());
  out.u8(c.parameter_names().empty() ? 0 : 1);
  put_names(out, c.parameter_names());
  out.u8(static_cast<std::uint8_t>(c.precision()));
}

template <class Out>
void put(Out& out, const ParameterHandle& p) {
  out.u64(p.index);
  put_name(out, p.name ? &*p.name : nullptr);
}

template <class V>
Result<Bytes> encode_value(ValueTag tag, const V& value) {
  Counter counter;
  put(counter, value);
  const std::size_t size = 2 + counter.size;
  Bytes out;
  const auto failure = [&] {
    return allocation_failure("the encoded " + std::string(kind_name(tag)), size);
  };
  VANTREL_TRY(guard_allocation([&] { out.resize(size); }, failure));
  Writer writer{out.data()};
  writer.u8(kEncodingVersion);
  writer.u8(static_cast<std::uint8_t>(tag));
  put(writer, value);
  return out;
}

// ---------------------------------------------------------------------------
// Decoding.

// A bounded cursor over the payload. Every read checks the bytes that remain
// first; on failure it returns an error and leaves its output unspecified.
class Reader {
 public:
  explicit Reader(ByteView data) : data_(data) {}

  std::size_t remaining() const { return data_.size() - pos_; }

  Status u8(std::uint8_t& out, const char* what) {
    VANTREL_TRY(need(1, what));
    out = data_[pos_++];
    return Status::Ok();
  }

  Status u64(std::uint64_t& out, const char* what) {
    VANTREL_TRY(need(8, what));
    out = 0;
    for (int i = 0; i < 8; ++i) out |= std::uint64_t{data_[pos_ + i]} << (8 * i);
    pos_ += 8;
    return Status::Ok();
  }

  Status f32(float& out, const char* what) {
    VANTREL_TRY(need(4, what));
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{data_[pos_ + i]} << (8 * i);
    pos_ += 4;
    out = std::bit_cast<float>(v);
    return Status::Ok();
  }

  Status f64(double& out, const char* what) {
    std::uint64_t v = 0;
    VANTREL_TRY(u64(v, what));
    out = std::bit_cast<double>(v);
    return Status::Ok();
  }

  // A real number as the payload's version writes it: f32 (version 2,
  // widened exactly) or f64.
  Status real(double& out, const char* what) {
    if (version_ >= 3) return f64(out, what);
    float v = 0.0f;
    VANTREL_TRY(f32(v, what));
    out = v;
    return Status::Ok();
  }

  std::uint8_t version() const { return version_; }

  // A count of items taking at least `item_bytes` each, refused unless the
  // remaining bytes can hold that many: the caller may then size a
  // container by it.
  Status count(std::uint64_t& out, std::size_t item_bytes, const char* what) {
    VANTREL_TRY(u64(out, what));
    return holds(out, item_bytes, what);
  }

  // Refuses a count read earlier unless the remaining bytes can hold that
  // many items of at least `item_bytes` each.
  Status holds(std::uint64_t n, std::size_t item_bytes, const char* what) const {
    if (n > remaining() / item_bytes)
      return invalid(std::string(what) + " " + dec(n) + " is more than the remaining " +
                     dec(remaining()) + " bytes can hold");
    return Status::Ok();
  }

  // `n` complex entries, n already checked by count() for both precisions.
  template <class T>
  Status complexes(std::vector<ComplexOf<T>>& out, std::uint64_t n) {
    out.resize(n);
    if constexpr (std::endian::native == std::endian::little) {
      if (n != 0) std::memcpy(out.data(), data_.data() + pos_, sizeof(ComplexOf<T>) * n);
      pos_ += sizeof(ComplexOf<T>) * n;
    } else {
      for (ComplexOf<T>& c : out) {
        VANTREL_TRY(read_part(c.re));
        VANTREL_TRY(read_part(c.im));
      }
    }
    return Status::Ok();
  }

  Status text(std::string& out, std::uint64_t n) {
    out.assign(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return Status::Ok();
  }

  Status header(ValueTag expected) {
    if (data_.empty()) return invalid("the payload is empty");
    VANTREL_TRY(u8(version_, "format version"));
    if (version_ < kOldestEncodingVersion || version_ > kEncodingVersion)
      return invalid("format version " + dec(version_) + " is not supported (this build reads " +
                     dec(kOldestEncodingVersion) + " to " + dec(kEncodingVersion) + ")");
    std::uint8_t tag = 0;
    VANTREL_TRY(u8(tag, "value tag"));
    if (tag == static_cast<std::uint8_t>(expected)) return Status::Ok();
    if (const char* other = kind_name(static_cast<ValueTag>(tag)))
      return invalid("it holds a " + std::string(other) + ", not a " + kind_name(expected));
    return invalid("unknown value tag " + dec(tag));
  }

  Status finish() const {
    if (remaining() == 0) return Status::Ok();
    return invalid(dec(remaining()) + " trailing bytes after the value");
  }

 private:
  Status need(std::size_t n, const char* what) const {
    if (remaining() >= n) return Status::Ok();
    return invalid("truncated: " + std::string(what) + " needs " + dec(n) + " bytes at offset " +
                   dec(pos_) + ", " + dec(remaining()) + " remain");
  }

  Status read_part(float& out) { return f32(out, "matrix entry"); }
  Status read_part(double& out) { return f64(out, "matrix entry"); }

  ByteView data_;
  std::size_t pos_ = 0;
  std::uint8_t version_ = kEncodingVersion;
};

Error located(std::string where, Error e) {
  e.message = std::move(where) + ": " + e.message;
  return e;
}

// Like VANTREL_TRY, with the position of the item prefixed to the message
// (`where` is only built on failure).
#define VANTREL_TRY_AT(where, expr)                                      \
  do {                                                                   \
    auto&& vantrel_try_at_ = (expr);                                     \
    if (!vantrel_try_at_.ok())                                           \
      return located((where), std::move(vantrel_try_at_).error());       \
  } while (0)

// How many of `count` entries, each of at least `small_bytes` and checked
// against the remaining bytes by Reader::count, can be of another kind that
// takes at least `other_bytes`: each such entry leaves other_bytes -
// small_bytes more of the remaining bytes used.
std::uint64_t most_others(std::uint64_t count, const Reader& in, std::size_t small_bytes,
                          std::size_t other_bytes) {
  return std::min(count, (in.remaining() - count * small_bytes) / (other_bytes - small_bytes));
}

// The values a list of `count` gates or steps can take in memory, runs of
// barriers joined (append_gate): each run is preceded by another entry or
// starts the list, so there are at most 2m + 1 values for m other entries.
std::uint64_t values_for(std::uint64_t count, const Reader& in, std::size_t barrier_bytes,
                         std::size_t other_bytes) {
  return std::min(count, 2 * most_others(count, in, barrier_bytes, other_bytes) + 1);
}

// Reads `count` items with read_one(i) (a Status), polling the Interrupt
// through `stop` before each; a failure comes back located at "<item> <i>".
template <class ReadOne>
Status read_items(std::uint64_t count, const char* item, StopCheck& stop, ReadOne&& read_one) {
  for (std::uint64_t i = 0; i < count; ++i) {
    if (stop(kItemWork)) return interrupted();
    VANTREL_TRY_AT(item + (" " + dec(i)), read_one(i));
  }
  return Status::Ok();
}

Result<std::optional<std::string>> read_name(Reader& in) {
  std::uint8_t present = 0;
  VANTREL_TRY(in.u8(present, "name flag"));
  if (present == 0) return std::optional<std::string>();
  if (present != 1) return invalid("unknown name flag " + dec(present));
  std::uint64_t length = 0;
  VANTREL_TRY(in.count(length, 1, "name length"));
  std::string name;
  VANTREL_TRY(in.text(name, length));
  if (!is_valid_utf8(name)) return invalid("name is not valid UTF-8");
  return std::optional<std::string>(std::move(name));
}

// Factors of a Pauli term or rotation: labels X, Y or Z on qubits in
// strictly ascending order (as terms keep them: sorted, each qubit once).
Status read_factors(Reader& in, std::vector<PauliFactor>& out) {
  std::uint64_t count = 0;
  VANTREL_TRY(in.count(count, kFactorBytes, "factor count"));
  out.resize(count);
  for (std::uint64_t j = 0; j < count; ++j) {
    PauliFactor& f = out[j];
    std::uint8_t label = 0;
    VANTREL_TRY(in.u64(f.qubit, "factor qubit"));
    VANTREL_TRY(in.u8(label, "Pauli label"));
    if (label > static_cast<std::uint8_t>(PauliLabel::kZ))
      return invalid("unknown Pauli label " + dec(label));
    f.label = static_cast<PauliLabel>(label);
    if (j > 0 && f.qubit <= out[j - 1].qubit)
      return invalid("factor qubit " + dec(f.qubit) + " does not follow qubit " +
                     dec(out[j - 1].qubit) + " in ascending order");
  }
  return Status::Ok();
}

// A label names an entry of the standard gate table with its angle count
// (a controlled U may carry its global phase as a fourth angle).
Result<std::optional<GateLabel>> read_label(Reader& in) {
  std::uint8_t present = 0;
  VANTREL_TRY(in.u8(present, "label flag"));
  if (present == 0) return std::optional<GateLabel>();
  if (present != 1) return invalid("unknown label flag " + dec(present));
  std::uint8_t gate = 0;
  std::uint8_t count = 0;
  VANTREL_TRY(in.u8(gate, "standard gate"));
  if (gate >= standard_gates().size()) return invalid("unknown standard gate " + dec(gate));
  const StandardGateInfo& info = standard_gate_info(static_cast<StandardGate>(gate));
  VANTREL_TRY(in.u8(count, "angle count"));
  if (count != info.angles && !(info.gate == StandardGate::kU && count == 4))
    return invalid("standard gate " + std::string(info.name) + " takes " + dec(info.angles) +
                   " angles, not " + dec(count));
  double angles[4] = {};
  for (std::uint8_t i = 0; i < count; ++i) VANTREL_TRY(in.real(angles[i], "angle"));
  return std::optional<GateLabel>(GateLabel::of(info.gate, std::span<const double>(angles, count)));
}

// A channel rebuilt through its constructor, with its checks (probability
// ranges, trace preservation of Kraus operators).
Result<Gate> read_channel(Reader& in) {
  std::uint8_t kind = 0;
  VANTREL_TRY(in.u8(kind, "channel kind"));
  if (kind > static_cast<std::uint8_t>(ChannelKind::kKraus))
    return invalid("unknown channel kind " + dec(kind));
  std::uint64_t k = 0;
  VANTREL_TRY(in.count(k, 8, "channel qubit count"));
  if (k > kMaxChannelQubits) return invalid("channel on " + dec(k) + " qubits");
  std::vector<std::uint64_t> targets(k);
  for (std::uint64_t& t : targets) VANTREL_TRY(in.u64(t, "target"));
  std::uint64_t count = 0;
  if (static_cast<ChannelKind>(kind) == ChannelKind::kKraus) {
    VANTREL_TRY(in.count(count, 8, "Kraus operator count"));
    std::vector<std::vector<ComplexD>> operators(count);
    for (std::vector<ComplexD>& m : operators) {
      std::uint64_t entries = 0;
      VANTREL_TRY(in.count(entries, sizeof(ComplexD), "matrix entry count"));
      VANTREL_TRY(in.complexes(m, entries));
    }
    return make_kraus_channel(std::move(targets), std::move(operators));
  }
  VANTREL_TRY(in.count(count, 8, "probability count"));
  if (count > 3) return invalid("channel with " + dec(count) + " probabilities");
  double p[3] = {};
  for (std::uint64_t i = 0; i < count; ++i) VANTREL_TRY(in.f64(p[i], "probability"));
  return make_channel(static_cast<ChannelKind>(kind), std::move(targets),
                      std::span<const double>(p, count));
}

// A gate as its constructors would build it: a unitary through
// Operation::create, a controlled one through make_controlled_unitary_gate
// (qubits, shape and unitarity of the matrix), measure and reset of any
// qubit (checked when run), barrier.
Result<Gate> read_gate(Reader& in) {
  std::uint8_t kind = 0;
  VANTREL_TRY(in.u8(kind, "gate kind"));
  switch (static_cast<Gate::Kind>(kind)) {
    case Gate::Kind::kUnitary: {
      std::uint64_t controls = 0;
      std::uint64_t k = 0;
      VANTREL_TRY(in.u64(controls, "control count"));
      VANTREL_TRY(in.count(k, 8, "qubit count"));
      if (controls > k)
        return invalid("control count " + dec(controls) + " is more than the " + dec(k) +
                       " qubits of the operation");
      std::vector<std::uint64_t> targets(k);
      for (std::uint64_t& t : targets) VANTREL_TRY(in.u64(t, "target"));
      std::uint64_t entries = 0;
      const bool both = in.version() >= 3;
      VANTREL_TRY(in.count(entries, both ? kEntryBytesV3 : kComplexBytes, "matrix entry count"));
      std::vector<Complex> matrix;
      std::vector<ComplexD> matrix_d;
      VANTREL_TRY(in.complexes(matrix, entries));
      if (both) VANTREL_TRY(in.complexes(matrix_d, entries));
      auto label = read_label(in);
      if (!label) return std::move(label).error();
      // A version 2 payload has the single matrix only: the double one is
      // made as the gate's constructor makes it, from its label (which must
      // then agree with the single one) or as the single matrix widened.
      if (!both)
        matrix_d = *label ? labelled_matrix<double>(**label, controls > 0)
                          : widened_to_double(matrix);
      if (matrix_d.size() != matrix.size())
        return invalid("the label " + std::string(standard_gate_info((*label)->gate).name) +
                       " does not match the gate's matrix");
      auto gate = [&]() -> Result<Gate> {
        if (controls == 0) {
          auto op = Operation::create(std::move(targets), std::move(matrix), std::move(matrix_d));
          if (!op) return std::move(op).error();
          return Gate::unitary(std::move(op).value());
        }
        const auto split = targets.begin() + static_cast<std::ptrdiff_t>(controls);
        return make_controlled_unitary_gate(std::vector<std::uint64_t>(targets.begin(), split),
                                            std::vector<std::uint64_t>(split, targets.end()),
                                            std::move(matrix), std::move(matrix_d));
      }();
      if (!gate) return gate;
      gate->label = *label;
      // A label is shown for the gate: it must name what the gate applies.
      if (!label_agrees(*gate))
        return invalid("the label " + std::string(standard_gate_info((*label)->gate).name) +
                       " does not match the gate's matrix");
      return gate;
    }
    case Gate::Kind::kMeasure:
    case Gate::Kind::kReset: {
      std::uint64_t q = 0;
      VANTREL_TRY(in.u64(q, "qubit"));
      return kind == static_cast<std::uint8_t>(Gate::Kind::kMeasure) ? Gate::measure(q)
                                                                     : Gate::reset(q);
    }
    case Gate::Kind::kBarrier:
      return Gate::barrier();
    case Gate::Kind::kChannel:
      return read_channel(in);
  }
  return invalid("unknown gate kind " + dec(kind));
}

Result<CompiledOp> read_step(Reader& in) {
  std::uint8_t kind = 0;
  VANTREL_TRY(in.u8(kind, "step kind"));
  switch (static_cast<CompiledOp::Kind>(kind)) {
    case CompiledOp::Kind::kFixed: {
      auto gate = read_gate(in);
      if (!gate) return std::move(gate).error();
      return CompiledOp::fixed(std::move(gate).value());
    }
    case CompiledOp::Kind::kParam: {
      std::uint8_t rotation = 0;
      std::uint64_t target = 0;
      std::uint64_t slot = 0;
      VANTREL_TRY(in.u8(rotation, "rotation kind"));
      if (rotation > static_cast<std::uint8_t>(RotationKind::kP))
        return invalid("unknown rotation kind " + dec(rotation));
      VANTREL_TRY(in.u64(target, "target"));
      VANTREL_TRY(in.u64(slot, "slot"));
      return CompiledOp::param(static_cast<RotationKind>(rotation), target, slot);
    }
    case CompiledOp::Kind::kPauliRotation: {
      std::uint64_t slot = 0;
      double scale = 0.0;
      std::vector<PauliFactor> factors;
      VANTREL_TRY(in.u64(slot, "slot"));
      VANTREL_TRY(in.real(scale, "scale"));
      VANTREL_TRY(read_factors(in, factors));
      return CompiledOp::pauli_rotation(std::move(factors), slot, scale);
    }
  }
  return invalid("unknown step kind " + dec(kind));
}

Result<Circuit> read_circuit(Reader& in) {
  std::uint64_t count = 0;
  VANTREL_TRY(in.count(count, kMinGateBytes, "gate count"));
  std::vector<Gate> gates;
  gates.reserve(values_for(count, in, kMinGateBytes, kMinOtherGateBytes));
  StopCheck stop;
  VANTREL_TRY(read_items(count, "gate", stop, [&](std::uint64_t) -> Status {
    auto gate = read_gate(in);
    VANTREL_TRY(gate);
    append_gate(gates, std::move(gate).value());
    return Status::Ok();
  }));
  return Circuit::from_gates(std::move(gates));
}

Result<Observable> read_observable(Reader& in) {
  std::uint64_t count = 0;
  VANTREL_TRY(in.count(count, kMinTermBytes, "term count"));
  std::vector<PauliTerm> terms;
  terms.reserve(count);
  StopCheck stop;
  VANTREL_TRY(read_items(count, "term", stop, [&](std::uint64_t) -> Status {
    PauliTerm t;
    VANTREL_TRY(in.real(t.coefficient, "coefficient"));
    VANTREL_TRY(read_factors(in, t.ops));
    terms.push_back(std::move(t));
    return Status::Ok();
  }));
  return Observable::create(std::move(terms));
}

// Through the builder, so that the spec meets every check its methods make.
Result<ParameterizedCircuitSpec> read_circuit_spec(Reader& in) {
  std::uint64_t num_qubits = 0;
  VANTREL_TRY(in.u64(num_qubits, "qubit count"));
  auto spec = ParameterizedCircuitSpec::create(num_qubits);
  if (!spec) return spec;
  std::uint64_t parameters = 0;
  VANTREL_TRY(in.count(parameters, kMinNameBytes, "parameter count"));
  spec->reserve(most_others(parameters, in, kMinNameBytes, kMinGivenNameBytes), 0);
  StopCheck stop;
  VANTREL_TRY(read_items(parameters, "parameter", stop, [&](std::uint64_t) -> Status {
    auto name = read_name(in);
    VANTREL_TRY(name);
    spec->add_parameter(std::move(name).value());
    return Status::Ok();
  }));
  std::uint64_t steps = 0;
  VANTREL_TRY(in.count(steps, kMinStepBytes, "step count"));
  spec->reserve(0, values_for(steps, in, kMinStepBytes, kMinOtherStepBytes));
  VANTREL_TRY(read_items(steps, "step", stop, [&](std::uint64_t) -> Status {
    auto step = read_step(in);
    VANTREL_TRY(step);
    CompiledOp& op = *step;
    Status added;
    switch (op.kind) {
      case CompiledOp::Kind::kFixed:
        added = spec->add_fixed_gate(std::move(op.gate));
        break;
      case CompiledOp::Kind::kParam:
        added = spec->add_param_single(op.rotation, op.target, op.slot);
        break;
      case CompiledOp::Kind::kPauliRotation: {
        std::vector<RotationFactor> factors;
        for (const PauliFactor& f : op.paulis) factors.push_back({f.qubit, f.label});
        added = spec->add_pauli_rotation(std::move(factors), op.slot, op.scale);
        break;
      }
    }
    return added;
  }));
  return spec;
}

Result<CompiledCircuit> read_compiled_circuit(Reader& in) {
  std::uint64_t num_qubits = 0;
  std::uint64_t parameter_count = 0;
  VANTREL_TRY(in.u64(num_qubits, "qubit count"));
  if (num_qubits == 0) return messages::plan_without_qubits();
  VANTREL_TRY(in.u64(parameter_count, "parameter count"));
  std::uint64_t steps = 0;
  VANTREL_TRY(in.count(steps, kMinStepBytes, "step count"));
  std::vector<CompiledOp> ops;
  ops.reserve(values_for(steps, in, kMinStepBytes, kMinOtherStepBytes));
  StopCheck stop;
  VANTREL_TRY(read_items(steps, "step", stop, [&](std::uint64_t) -> Status {
    auto step = read_step(in);
    VANTREL_TRY(step);
    VANTREL_TRY(CompiledCircuit::check_step(*step, num_qubits, parameter_count));
    append_step(ops, std::move(step).value());
    return Status::Ok();
  }));
  ParameterNames names;
  std::uint8_t has_names = 0;
  VANTREL_TRY(in.u8(has_names, "names flag"));
  if (has_names > 1) return invalid("unknown names flag " + dec(has_names));
  if (has_names == 1) {
    VANTREL_TRY(in.holds(parameter_count, kMinNameBytes, "parameter count"));
    names.reserve_named(most_others(parameter_count, in, kMinNameBytes, kMinGivenNameBytes));
    VANTREL_TRY(read_items(parameter_count, "parameter", stop, [&](std::uint64_t) -> Status {
      auto name = read_name(in);
      VANTREL_TRY(name);
      names.push_back(std::move(name).value());
      return Status::Ok();
    }));
  }
  // Version 2 plans are single precision.
  std::uint8_t precision = 0;
  if (in.version() >= 3) {
    VANTREL_TRY(in.u8(precision, "precision"));
    if (precision > static_cast<std::uint8_t>(Precision::kDouble))
      return invalid("unknown precision " + dec(precision));
  }
  return CompiledCircuit::create(std::move(ops), num_qubits, parameter_count, std::move(names),
                                 static_cast<Precision>(precision));
}

Result<ParameterHandle> read_parameter(Reader& in) {
  ParameterHandle p;
  VANTREL_TRY(in.u64(p.index, "index"));
  auto name = read_name(in);
  if (!name) return std::move(name).error();
  p.name = std::move(name).value();
  return p;
}

// Header, body, nothing after it; every refusal prefixed with the kind.
template <class T>
Result<T> decode_value(ByteView payload, ValueTag tag, Result<T> (*body)(Reader&)) {
  auto decoded = [&]() -> Result<T> {
    Reader in(payload);
    VANTREL_TRY(in.header(tag));
    Result<T> value = body(in);
    if (!value) return value;
    VANTREL_TRY(in.finish());
    return value;
  };
  Result<T> value = guard_allocation(decoded, [&] {
    return out_of_memory("cannot allocate memory: decoding a " + std::string(kind_name(tag)) +
                         " failed");
  });
  if (value.ok()) return value;
  Error e = std::move(value).error();
  if (e.kind == ErrorKind::kInvalid)
    e.message = "invalid " + std::string(kind_name(tag)) + " payload: " + e.message;
  return e;
}

}  // namespace

Result<Bytes> encode(const Gate& gate) { return encode_value(ValueTag::kGate, gate); }
Result<Bytes> encode(const Circuit& circuit) { return encode_value(ValueTag::kCircuit, circuit); }
Result<Bytes> encode(const Observable& observable) {
  return encode_value(ValueTag::kObservable, observable);
}
Result<Bytes> encode(const ParameterizedCircuitSpec& spec) {
  return encode_value(ValueTag::kCircuitSpec, spec);
}
Result<Bytes> encode(const CompiledCircuit& plan) {
  return encode_value(ValueTag::kCompiledCircuit, plan);
}
Result<Bytes> encode(const ParameterHandle& parameter) {
  return encode_value(ValueTag::kParameter, parameter);
}

Result<Gate> decode_gate(ByteView payload) {
  return decode_value(payload, ValueTag::kGate, &read_gate);
}
Result<Circuit> decode_circuit(ByteView payload) {
  return decode_value(payload, ValueTag::kCircuit, &read_circuit);
}
Result<Observable> decode_observable(ByteView payload) {
  return decode_value(payload, ValueTag::kObservable, &read_observable);
}
Result<ParameterizedCircuitSpec> decode_circuit_spec(ByteView payload) {
  return decode_value(payload, ValueTag::kCircuitSpec, &read_circuit_spec);
}
Result<CompiledCircuit> decode_compiled_circuit(ByteView payload) {
  return decode_value(payload, ValueTag::kCompiledCircuit, &read_compiled_circuit);
}
Result<ParameterHandle> decode_parameter(ByteView payload) {
  return decode_value(payload, ValueTag::kParameter, &read_parameter);
}

}  // namespace vantrel::sim
