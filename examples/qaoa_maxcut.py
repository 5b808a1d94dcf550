"""QAOA for weighted MaxCut.

A random weighted graph; the cut value of an assignment z of the nodes to two
sides is C(z) = sum over edges (i, j) of w_ij (1 - z_i z_j) / 2 with z = +-1.
The QAOA state of depth p is

    |gamma, beta> = prod_l exp(-i beta_l B) exp(-i gamma_l C) |+...+>,

B = sum_i X_i. Up to a global phase exp(-i gamma C) is the product over the
edges of exp(+i gamma w_ij Z_i Z_j / 2), that is RZZ by the angle
-w_ij * gamma: one shared parameter gamma_l per layer, scaled per edge. The
mixer exp(-i beta X_i) is RX by 2 beta, a rotation with scale 2.

<C> = W/2 - <H> with W the total weight and H = sum w_ij/2 Z_i Z_j, so the
angles minimise <H>: a coarse grid for the first layer evaluated as one batch,
then gradient ascent on all layers with parameter-shift gradients. Finally
the circuit is sampled with a fixed seed, so the printed cut is the same on
every run, and a histogram of the sampled cut values is written as a PNG when
matplotlib is installed.

Qubit q is node q, and is bit q of a sampled index (qubit 0 is the least
significant bit): the assignment string printed lists node 0 last.

    python examples/qaoa_maxcut.py [--nodes 10] [--layers 3] [--shots 2000]
    python examples/qaoa_maxcut.py --small    # 6 nodes, as the test suite runs it

It exits with an error when no sample reaches the maximum cut.
"""

from __future__ import annotations

import argparse
import itertools
from typing import Optional, Sequence

import numpy as np
from numpy.typing import NDArray

import vantrel as vt

Edge = tuple[int, int, float]


def random_graph(nodes: int, seed: int) -> list[Edge]:
    """Edges (i, j, weight) of a connected random graph with weights in [0.5, 2]."""
    rng = np.random.default_rng(seed)
    edges = {(i, i + 1) for i in range(nodes - 1)}  # a path keeps it connected
    edges |= {(i, j) for i, j in itertools.combinations(range(nodes), 2) if rng.random() < 0.35}
    return [(i, j, round(float(rng.uniform(0.5, 2.0)), 2)) for i, j in sorted(edges)]


def cut_values(indices: Sequence[int] | NDArray[np.int64], nodes: int,
               edges: list[Edge]) -> NDArray[np.float64]:
    """The cut value of each basis-state index (bit q = side of node q)."""
    bits = (np.asarray(indices, dtype=np.int64)[:, None] >> np.arange(nodes)) & 1
    values = np.zeros(bits.shape[0])
    for i, j, w in edges:
        values += w * (bits[:, i] != bits[:, j])
    return values


def qaoa_circuit(nodes: int, edges: list[Edge], layers: int) -> vt.CompiledCircuit:
    """The QAOA plan; parameters gamma_0, beta_0, gamma_1, beta_1, ..."""
    spec = vt.CircuitSpec(nodes)
    for q in range(nodes):
        spec.h(q)
    for layer in range(layers):
        gamma = spec.param(f"gamma_{layer}")
        beta = spec.param(f"beta_{layer}")
        for i, j, w in edges:
            spec.rzz(i, j, gamma, scale=-w)
        for q in range(nodes):
            spec.pauli_rotation([("X", q)], beta, scale=2.0)
    return spec.compile()


def cost_observable(edges: list[Edge]) -> vt.Observable:
    """H = sum w_ij / 2 Z_i Z_j; the expected cut is W/2 - <H>."""
    return vt.Observable.hamiltonian(
        [vt.Observable.pauli_string([("Z", i), ("Z", j)], w / 2) for i, j, w in edges])


def optimise(circuit: vt.CompiledCircuit, cost: vt.Observable, layers: int,
             steps: int) -> tuple[NDArray[np.float32], float]:
    """Angles minimising <H>: a batch over a grid for layer 0, then gradient descent."""
    grid = np.linspace(0.05, np.pi / 2, 24, dtype=np.float32)
    rows = np.array([(g, b) + (0.0, 0.0) * (layers - 1) for g in grid for b in grid],
                    dtype=np.float32)
    energies = circuit.batch_expectation(rows, cost)
    params = rows[int(np.argmin(energies))].copy()
    # Later layers start from the first layer's angles, scaled down.
    for layer in range(1, layers):
        params[2 * layer:2 * layer + 2] = params[:2] * (0.5 / layer)

    context = circuit.execution_context()
    rate = 0.05
    energy, grad = context.value_and_gradient(circuit, params, cost)
    for _ in range(steps):
        trial = params - rate * grad
        trial_energy, trial_grad = context.value_and_gradient(circuit, trial, cost)
        if trial_energy < energy:
            params, energy, grad = trial, trial_energy, trial_grad
            rate *= 1.2
        else:
            rate *= 0.5
    return params.astype(np.float32), energy


def write_histogram(path: str, values: NDArray[np.float64], best: float) -> bool:
    """A histogram of the sampled cut values; False without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4))
    ax.hist(values, bins=40)
    ax.axvline(best, color="tab:red", linestyle="--", label=f"maximum cut {best:.2f}")
    ax.set_xlabel("cut value of the sampled assignment")
    ax.set_ylabel("samples")
    ax.set_title("QAOA samples for weighted MaxCut")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description="QAOA for weighted MaxCut.")
    parser.add_argument("--nodes", type=int, default=10)
    parser.add_argument("--layers", type=int, default=3)
    parser.add_argument("--shots", type=int, default=2000)
    parser.add_argument("--steps", type=int, default=60, help="gradient steps")
    parser.add_argument("--graph-seed", type=int, default=7)
    parser.add_argument("--seed", type=int, default=2024, help="seed of the sampling")
    parser.add_argument("--png", default="qaoa_maxcut.png", help="histogram file")
    parser.add_argument("--small", action="store_true",
                        help="6 nodes, 2 layers, 400 shots, 15 steps")
    args = parser.parse_args(argv)
    if args.small:
        args.nodes, args.layers, args.shots, args.steps = 6, 2, 400, 15

    edges = random_graph(args.nodes, args.graph_seed)
    total = sum(w for _, _, w in edges)
    print(f"graph: {args.nodes} nodes, {len(edges)} edges, total weight {total:.2f}")

    circuit = qaoa_circuit(args.nodes, edges, args.layers)
    cost = cost_observable(edges)
    params, energy = optimise(circuit, cost, args.layers, args.steps)
    print(f"QAOA depth {args.layers}: expected cut {total / 2 - energy:.3f}")

    samples = circuit.sample(params, args.shots, seed=args.seed)
    values = cut_values(samples, args.nodes, edges)
    best = int(samples[int(np.argmax(values))])
    exact = float(cut_values(np.arange(1 << args.nodes), args.nodes, edges).max())
    side = format(best, f"0{args.nodes}b")
    print(f"best sampled cut {values.max():.2f} (assignment {side}, node 0 last); "
          f"maximum cut {exact:.2f}")
    print(f"{np.mean(np.isclose(values, exact)):.1%} of {args.shots} samples reach the maximum")

    if write_histogram(args.png, values, exact):
        print(f"histogram written to {args.png}")
    else:
        print("matplotlib is not installed: no histogram written")
    if values.max() < exact - 1e-9:
        raise SystemExit("no sample reached the maximum cut")


if __name__ == "__main__":
    main()
