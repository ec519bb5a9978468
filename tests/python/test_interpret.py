"""The demo's numpy interpreter of the node view (examples/interpret.py): it must agree with the
reference evaluator, run stages through their member references, and refuse what it cannot run."""
import math
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import tarnvel_core as tc
from evaluator import evaluate

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import interpret  # noqa: E402

SOURCES = {"x": 1.5, "y": -2.25, "z": 0.375}


def opaque(*given):
    # The reference evaluator's meaning of every boundary kind; its last argument is the inputs.
    return np.array(math.fsum(float(a) for a in given[-1]) + len(given[-1]))


class Scalars:
    """Sources as 0-d arrays, boundaries as the reference evaluator has them."""

    def source(self, name, params):
        return np.array(SOURCES[name])

    external = exchange = join = staticmethod(opaque)


DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "v", "io_schema": "s"}


@st.composite
def programs(draw):
    store = tc.GraphStore()
    for name in SOURCES:
        store.add_source(name)
    for _ in range(draw(st.integers(1, 30))):
        pick = st.integers(0, store.node_count() - 1)
        choice = draw(st.integers(0, 11))
        if choice < 4:
            name = draw(st.sampled_from(["add", "sub", "mul", "maximum", "minimum"]))
            store.add_op(name, [draw(pick), draw(pick)])
        elif choice < 5:
            store.add_op(draw(st.sampled_from(["neg", "abs"])), [draw(pick)])
        elif choice < 9:
            name, scalar = draw(st.sampled_from([("add", 0.0), ("mul", 1.0), ("sub", 2.0), ("mul", 0.5),
                                                 ("maximum", 0.0), ("add", 1.0)]))
            store.add_op(name, [draw(pick)], {"scalar": scalar, "side": draw(st.sampled_from("lr"))})
        elif choice < 10:
            store.add_reduction("sum", [draw(pick)])
        elif choice < 11:
            store.add_external(DESCRIPTOR, [draw(pick), draw(pick)])
        else:
            inner = store.add_exchange([draw(pick)], {"scheme": "hash"})
            store.add_join([inner, draw(pick)])
    outputs = draw(st.lists(st.integers(0, store.node_count() - 1), min_size=1, max_size=4))
    return store, outputs


@settings(max_examples=120, deadline=None)
@given(programs(), st.booleans())
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
