"""PennyLane device ``vantrel.qubit``: circuits of a QNode run on vantrel.

    dev = qml.device("vantrel.qubit", wires=4)

Installed with ``pip install vantrel[pennylane]``. Importing ``vantrel`` alone
never imports PennyLane; this package does.
"""

from .device import VantrelQubit

__all__ = ["VantrelQubit"]
