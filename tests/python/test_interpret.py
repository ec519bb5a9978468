"""The demo's numpy interpreter of the node view (examples/interpret.py): it must agree with the
reference evaluator, run stages through their member references, and refuse what it cannot run."""
import math
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from evaluator import evaluate
from programs import SOURCES, programs

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import interpret  # noqa: E402


def opaque(*given):
    # The reference evaluator's meaning of every boundary kind; its last argument is the inputs.
    return np.array(math.fsum(float(a) for a in given[-1]) + len(given[-1]))


class Scalars:
    """Sources as 0-d arrays, boundaries as the reference evaluator has them."""

    def source(self, name, params):
        return np.array(SOURCES[name])

    external = exchange = join = staticmethod(opaque)


@settings(max_examples=120, deadline=None)
# The demo's interpreter runs reductions of one input only.
@given(programs(boundaries=True, max_reduction_inputs=1), st.booleans())
def test_agrees_with_the_reference_evaluator_before_and_after_reduction(program, maximal_fusion):
    store, outputs = program
    expected = evaluate(store.nodes(), SOURCES, outputs)
    assume(all(math.isfinite(v) for v in expected))  # NaN ordering differs between max() and numpy
    env = Scalars()
    assert [float(v) for v in interpret.run(store.nodes(), outputs, env)] == expected
    reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal_fusion)
    landed = [reduced.node_map()[o][0] for o in outputs]
    assert [float(v) for v in interpret.run(reduced.nodes(), landed, env)] == expected


def node(i, kind, inputs, name="", params=None, **extra):
    return {"id": i, "output": False, "inputs": inputs, "kind": kind, "name": name,
            "params": params or {}, **extra}


class Arrays(Scalars):
    def source(self, name, params):
        return np.arange(1.0, 5.0) * (2.0 if name == "b" else 1.0)


def test_stage_members_read_stage_inputs_and_earlier_members():
    members = [
        {"kind": "op", "name": "sub", "params": {}, "inputs": [("input", 1), ("input", 0)]},   # b - a
        {"kind": "op", "name": "sub", "params": {"scalar": 10.0, "side": "l"},
         "inputs": [("member", 0)]},                                                         # 10 - m0
        {"kind": "op", "name": "mul", "params": {}, "inputs": [("member", 1), ("member", 0)]},
        {"kind": "red", "name": "sum", "params": {"axis": 0}, "inputs": [("member", 2)]},
    ]
    nodes = [node(0, "source", [], "a"), node(1, "source", [], "b"),
             node(2, "stage", [0, 1], n_members=4, members=members)]
    a = np.arange(1.0, 5.0)
    (value,) = interpret.run(nodes, [2], Arrays())
    assert value == np.sum((10.0 - a) * a)
    (right,) = interpret.run([node(0, "source", [], "a"),
                              node(1, "op", [0], "sub", {"scalar": 10.0, "side": "r"})], [1], Arrays())
    assert list(right) == list(a - 10.0)


@pytest.mark.parametrize("bad, message", [
    (node(1, "op", [0], "tan"), "unknown unary op 'tan'"),
    (node(1, "op", [0, 0], "add", {"scalar": 1.0}), "with a scalar takes one input"),
    (node(1, "op", [0], "add", {"scalar": 1.0, "side": "x"}), "side must be"),
    (node(1, "reduction", [0], "median"), "unknown reduction 'median'"),
    (node(1, "loop", [0]), "unknown kind 'loop'"),
])
def test_refuses_what_it_cannot_run(bad, message):
    with pytest.raises(ValueError, match=message):
        interpret.run([node(0, "source", [], "a"), bad], [1], Arrays())
