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


# Long reliability tests (million-node graphs, long thread stress) carry the `slow` marker. The
# default run skips them; `--run-slow` (or `-m slow`) selects them, as `make sanitize` does.
def pytest_addoption(parser):
    parser.addoption("--run-slow", action="store_true", default=False,
                     help="also run the tests marked slow")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long reliability test, skipped unless --run-slow or -m slow")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--run-slow") or "slow" in (config.getoption("markexpr") or "").replace("not slow", ""):
        return
    skip = pytest.mark.skip(reason="slow: run with --run-slow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
