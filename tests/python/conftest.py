import sys

import pytest

import tarnvel_core


@pytest.fixture
def store() -> tarnvel_core.GraphStore:
    return tarnvel_core.GraphStore()


@pytest.fixture
def fast_switching():
    """Switch threads as often as the interpreter allows, so interleavings actually happen."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)
