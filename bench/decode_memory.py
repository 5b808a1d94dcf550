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


def repeated(build):
    """(item, make): make(n) is the payload of a list of n copies of one item,
    from the payloads build(0) and build(1): where they first differ is the
    list's count, what the second adds after it is the item."""
    none, one = (build(k).__reduce__()[1][0] for k in (0, 1))
    at = next(i for i in range(len(none)) if none[i] != one[i])
    item = one[at + 8:at + 8 + len(one) - len(none)]
    return item, lambda n: none[:at] + u64(n) + item * n + none[at + 8:]


def spec(k, add, name=None):
    """A spec of two qubits: one parameter and k steps made by add(spec,
    parameter), or k parameters called `name` when add is None."""
    s = vt.CircuitSpec(2)
    params = [s.param(name) for _ in range(k if add is None else 1)]
    for _ in range(0 if add is None else k):
        add(s, params[0])
    return s


def cases():
    """(name, class, item, make) for each repeated item."""
    for name, gate in [("barrier", vt.Gate.barrier()), ("measure(0)", vt.Gate.measure(0)),
                       ("x(0)", vt.Gate.x(0)), ("bit_flip(0, 0.1)", vt.Gate.bit_flip(0, 0.1)),
                       ("two_qubit_depolarizing(0, 1, 0.1)",
                        vt.Gate.two_qubit_depolarizing(0, 1, 0.1))]:
        yield (f"Circuit of {name}", vt.Circuit) + repeated(lambda k: vt.Circuit([gate] * k))
    steps = [("barrier", lambda s, t: s.gate(vt.Gate.barrier())),
             ("measure(0)", lambda s, t: s.gate(vt.Gate.measure(0))),
             ("x(0)", lambda s, t: s.x(0)), ("rx(0, theta)", lambda s, t: s.rx(0, t)),
             ("bit_flip(0, 0.1)", lambda s, t: s.gate(vt.Gate.bit_flip(0, 0.1))),
             ("rzz(0, 1, theta)", lambda s, t: s.rzz(0, 1, t))]
    for name, add in steps:
        yield (f"CircuitSpec of {name}", vt.CircuitSpec) + repeated(lambda k: spec(k, add))
        yield ((f"CompiledCircuit of {name}", vt.CompiledCircuit)
               + repeated(lambda k: spec(k, add).compile()))
    yield ("CircuitSpec of unnamed parameters", vt.CircuitSpec) + repeated(lambda k: spec(k, None))
    yield ("CircuitSpec of parameters named ''", vt.CircuitSpec) + repeated(
        lambda k: spec(k, None, ""))
    # A plan's names follow its steps: written by hand in the format's version 2.
    yield ("CompiledCircuit of unnamed names", vt.CompiledCircuit, b"\0",
           lambda n: bytes([2, 5]) + u64(1) + u64(n) + u64(0) + b"\1" + b"\0" * n)
    yield ("Observable of empty terms", vt.Observable, b"\0" * 12,
           lambda n: bytes([2, 3]) + u64(n) + b"\0" * (12 * n))


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "payload")
        for name, cls, item, make in cases():
            n = int(megabytes * 1e6 / len(item))
            data = make(n)
            with open(path, "wb") as f:
                f.write(data)
            out = subprocess.run([sys.executable, "-c", CHILD, cls.__name__, path],
                                 capture_output=True, text=True)
            if out.returncode != 0:
                print(f"{name:50s} failed: {out.stderr.strip().splitlines()[-1]}")
                continue
            seconds, grown = out.stdout.split()
            grown = int(grown)
            print(f"{name:50s} {n:>9d} items, {len(data) / 2**20:6.1f} MiB: decode "
                  f"{float(seconds):6.2f} s, +{grown / 2**20:7.1f} MiB (x{grown / len(data):.1f})")


if __name__ == "__main__":
    main()
