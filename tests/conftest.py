import os
import sys

import pytest

# Tests import the NumPy reference simulator beside them.
sys.path.insert(0, os.path.dirname(__file__))


def under_address_sanitizer():
    """True when the module runs with AddressSanitizer's runtime preloaded
    (tools/sanitize.sh)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


UNDER_ASAN = under_address_sanitizer()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_asan(reason): skipped when the module runs under AddressSanitizer")


def pytest_collection_modifyitems(config, items):
    if not UNDER_ASAN:
        return
    for item in items:
        marker = item.get_closest_marker("not_under_asan")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason="under AddressSanitizer: " + marker.args[0]))
