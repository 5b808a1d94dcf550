"""Memory and time of loading payloads made of one item repeated: for each
value class and each of its cheapest items (a barrier, X on qubit 0, a
measurement, a parametric rotation, an unnamed parameter, ...), a payload
of about 10 MB (10^7 barriers) is decoded with `_from_pickle` in a child
process under a 6 GiB address-space limit.

Run: python3 bench/decode_memory.py [megabytes]

Prints per payload its size, the decode's processor time and the growth of
the child's peak resident size during the decode, in MiB and as a multiple
of the payload's size (Linux: the peak is reset through /proc/self/clear_refs
once the payload is read).
"""

import os
import resource
import subprocess
import sys
import tempfile

import vantrel as vt

CHILD = r"""
import resource, sys, time
resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
import vantrel as vt
cls = getattr(vt, sys.argv[1])
with open(sys.argv[2], "rb") as f:
    payload = f.read()
def peak():
    with open("/proc/self/status") as f:
        return int(f.read().split("VmHWM:")[1].split()[0]) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak restarts from the current resident size
before = peak()
start = time.process_time()
value = cls._from_pickle(payload)
seconds = time.process_time() - start
print(seconds, peak() - before)
"""


def u64(value):
    return value.to_bytes(8, "little")


def payload_of(value):
    return value.__reduce__()[1][0]


def circuit_items():
    """(name, prefix, item): a Circuit payload is prefix + u64(n) + n items."""
    for name, gate in [("barrier", vt.Gate.barrier()), ("measure(0)", vt.Gate.measure(0)),
                       ("x(0)", vt.Gate.x(0))]:
        p = payload_of(vt.Circuit([gate]))
        yield f"Circuit of {name}", p[:2], p[10:], b""


def steps():
    """Specs of two qubits and one parameter with at most one step each."""
    def build(add):
        spec = vt.CircuitSpec(2)
        theta = spec.param()
        add(spec, theta)
        return spec
    return [("", build(lambda s, t: None)),
            ("barrier", build(lambda s, t: s.gate(vt.Gate.barrier()))),
            ("measure(0)", build(lambda s, t: s.gate(vt.Gate.measure(0)))),
            ("x(0)", build(lambda s, t: s.x(0))),
            ("rx(0, theta)", build(lambda s, t: s.rx(0, t))),
            ("rzz(0, 1, theta)", build(lambda s, t: s.rzz(0, 1, t)))]


def spec_items():
    (_, empty), *one_step = steps()
    names = payload_of(empty.compile())[26:]
    for name, spec in one_step:
        p = payload_of(spec)  # header, qubits, 1 parameter, its unnamed name, steps
        yield f"CircuitSpec of {name}", p[:19], p[27:], b""
        plan = payload_of(spec.compile())  # header, qubits, 1 parameter, steps, names
        yield f"CompiledCircuit of {name}", plan[:18], plan[26:-len(names)], names
    yield "CircuitSpec of unnamed parameters", bytes([2, 4]) + u64(1), b"\0", u64(0)
    yield "CircuitSpec of parameters named ''", bytes([2, 4]) + u64(1), b"\1" + u64(0), u64(0)
    yield "CompiledCircuit of unnamed names", None, b"\0", b""
    yield "Observable of empty terms", bytes([2, 3]), b"\0" * 12, b""


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    rows = list(circuit_items()) + list(spec_items())
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "payload")
        for name, prefix, item, suffix in rows:
            n = int(megabytes * 1e6 / len(item))
            if prefix is None:  # a plan naming its n slots
                data = bytes([2, 5]) + u64(1) + u64(n) + u64(0) + b"\1" + item * n
            else:
                data = prefix + u64(n) + item * n + suffix
            with open(path, "wb") as f:
                f.write(data)
            cls = name.split()[0]
            out = subprocess.run([sys.executable, "-c", CHILD, cls, path], capture_output=True,
                                 text=True)
            if out.returncode != 0:
                print(f"{name:40s} failed: {out.stderr.strip().splitlines()[-1]}")
                continue
            seconds, grown = out.stdout.split()
            grown = int(grown)
            print(f"{name:40s} {n:>9d} items, {len(data) / 2**20:6.1f} MiB: decode "
                  f"{float(seconds):6.2f} s, +{grown / 2**20:7.1f} MiB (x{grown / len(data):.1f})")


if __name__ == "__main__":
    main()
