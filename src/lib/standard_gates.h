// The standard gates' constructors, declared from the engine's constructor
// table (sim/model/gate_table.h): each entry's name, alias, argument names
// and parameter types come from its row, so a gate is defined in one place.
// Gate offers every row; CircuitSpec the rows marked in_circuit_spec, each
// appending the gate as a fixed step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "sim/base/result.h"
#include "sim/model/gate_table.h"
#include "sim/model/operation.h"

namespace vantrel::lib {

// A constructor's arguments gathered in declared order: a control list,
// then the qubits (controls of a fixed count first), then the angles and an
// optional global phase.
struct StandardArgs {
  std::vector<std::uint64_t> controls;
  std::vector<std::uint64_t> qubits;
  double angles[4] = {};
  std::size_t num_angles = 0;

  void take(std::vector<std::uint64_t> list) { controls = std::move(list); }
  void take(std::uint64_t q) { qubits.push_back(q); }
  void take(double angle) { angles[num_angles++] = angle; }
  void take(std::optional<double> gamma) {
    if (gamma) angles[num_angles++] = *gamma;
  }
};

// The gate constructor `row` builds from `args`, with the engine's errors.
sim::Result<sim::Gate> build_standard(const sim::GateConstructor& row, StandardArgs args);

namespace standard_detail {

template <class... T>
struct Types {};
template <class... A, class... B>
constexpr Types<A..., B...> operator+(Types<A...>, Types<B...>) {
  return {};
}
template <std::size_t, class T>
using Repeat = T;
template <class T, std::size_t... K>
constexpr Types<Repeat<K, T>...> repeat(std::index_sequence<K...>) {
  return {};
}

constexpr std::size_t qubit_names(const sim::GateConstructor& row) {
  std::size_t n = 0;
  for (const char* q : row.qubits) n += q != nullptr;
  return n;
}

// The parameter types of row I, in declared order.
template <std::size_t I>
constexpr auto parameter_types() {
  constexpr sim::GateConstructor row = sim::kGateConstructors[I];
  constexpr bool list = row.controls == sim::ControlShape::kList;
  constexpr auto head = [] {
    if constexpr (sim::kGateConstructors[I].controls == sim::ControlShape::kList) return Types<std::vector<std::uint64_t>>{};
    else return Types<>{};
  }();
  constexpr auto tail = [] {
    if constexpr (sim::kGateConstructors[I].global_phase) return Types<std::optional<double>>{};
    else return Types<>{};
  }();
  return head + repeat<std::uint64_t>(std::make_index_sequence<qubit_names(row) - list>{}) +
         repeat<double>(std::make_index_sequence<sim::standard_gate_info(row.gate).angles>{}) +
         tail;
}

// Row I's argument names (and gamma's default).
template <std::size_t I>
std::span<const ArgSpec> argument_specs() {
  static constexpr sim::GateConstructor row = sim::kGateConstructors[I];
  static const std::vector<ArgSpec> specs = [] {
    std::vector<ArgSpec> out;
    for (std::size_t q = 0; q < qubit_names(row); ++q) out.emplace_back(row.qubits[q]);
    for (const char* a : sim::standard_angle_names(row.gate)) out.emplace_back(a);
    if (row.global_phase) out.emplace_back("gamma", "None");
    return out;
  }();
  return specs;
}

template <std::size_t I, template <std::size_t, class...> class F, class... T>
void declare(std::vector<PyMethodDef>& out, Types<T...>) {
  static constexpr sim::GateConstructor row = sim::kGateConstructors[I];
  out.push_back(method_of<&F<I, T...>::call>(row.name, argument_specs<I>()));
  if constexpr (row.alias != nullptr) out.push_back(alias<&F<I, T...>::call>(row.alias));
}

template <template <std::size_t, class...> class F, bool kSpecOnly, std::size_t... I>
void declare_all(std::vector<PyMethodDef>& out, std::index_sequence<I...>) {
  (
      [&] {
        if constexpr (!kSpecOnly || sim::kGateConstructors[I].in_circuit_spec)
          declare<I, F>(out, parameter_types<I>());
      }(),
      ...);
}

}  // namespace standard_detail

// Appends the method entries of the constructor rows, in table order, each
// followed by its alias: F<I, Params...>::call is row I's implementation,
// taking the row's parameters (after an instance, when F's call takes one).
// With kSpecOnly, only the rows CircuitSpec offers.
template <template <std::size_t, class...> class F, bool kSpecOnly = false>
void declare_standard_constructors(std::vector<PyMethodDef>& out) {
  standard_detail::declare_all<F, kSpecOnly>(
      out, std::make_index_sequence<std::size(sim::kGateConstructors)>{});
}

// Gathers a call's arguments for row I.
template <std::size_t I, class... A>
sim::Result<sim::Gate> build_standard_row(A&&... args) {
  StandardArgs gathered;
  (gathered.take(std::forward<A>(args)), ...);
  return build_standard(sim::kGateConstructors[I], std::move(gathered));
}

}  // namespace vantrel::lib
