"""Reduction from Python: the report, node maps, fusion rules, argument handling and soundness."""
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnvel_core as tc
from evaluator import evaluate
from programs import SOURCES, programs

IDENTITY = {"scalar": 1.0, "side": "r"}
REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes")


def worked_example():
    s = tc.GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    a = s.add_op("add", [x, y])
    b = s.add_op("add", [y, x])
    i = s.add_op("mul", [a], IDENTITY)
    m = s.add_op("mul", [b, i])
    return s, m


class TestReduce:
    def test_commuted_and_identity_nodes_collapse(self):
        s, m = worked_example()
        reduced, report = s.reduce(outputs=[m])
        assert report == dict(input_nodes=6, reachable_nodes=6, canonical_nodes=4, stages=2,
                              reduced_nodes=4, boundary_nodes=2)
        assert reduced.node_map() == [(0, None), (1, None), (2, 0), (2, 0), (2, 0), (3, 0)]
        assert reduced.nodes()[3]["members"][0]["inputs"] == [("input", 0), ("input", 0)]
        assert s.node_count() == 6  # the source store is never changed

    def test_identity_output_becomes_its_input(self, store):
        x = store.add_source("x")
        out = store.add_op("add", [x], {"scalar": 0.0, "side": "l"})
        reduced, report = store.reduce(outputs=[out])
        assert report == dict(input_nodes=2, reachable_nodes=2, canonical_nodes=1, stages=0,
                              reduced_nodes=1, boundary_nodes=1)
        assert reduced.outputs() == [0] and reduced.node_map() == [(0, None), (0, None)]

    def test_negative_zero_is_no_identity(self, store):
        x = store.add_source("x")
        out = store.add_op("add", [x], {"scalar": -0.0, "side": "r"})
        assert store.reduction_report(outputs=[out])["canonical_nodes"] == 2

    def test_dead_nodes_and_empty_outputs(self, store):
        x = store.add_source("x")
        store.add_op("neg", [x])
        reduced, report = store.reduce()
        assert report == dict.fromkeys(REPORT_KEYS, 0) | {"input_nodes": 2}
        assert reduced.node_count() == 0 and reduced.node_map() == [None, None]
        # Every report is a fresh dict with its keys in one order, whoever changed an earlier one.
        report.clear()
        report = store.reduce(outputs=[])[1]
        assert list(report) == list(REPORT_KEYS) and report["input_nodes"] == 2
        assert tc.GraphStore().reduce()[1] == dict.fromkeys(REPORT_KEYS, 0)
        assert list(tc.IncrementalReducer().finalize(store)[1]) == list(REPORT_KEYS)

    def test_outputs_keep_order_and_duplicates(self, store):
        x, y = store.add_source("x"), store.add_source("y")
        assert store.reduce(outputs=[1, 0, 1])[0].outputs() == [1, 0]
        assert store.reduce(outputs=(0, 1))[0].outputs() == [0, 1]
        assert x != y

    def test_fusion_rules(self, store):
        s = store.add_source("s")
        a = store.add_op("neg", [s])
        b = store.add_op("abs", [a])
        c = store.add_op("exp", [a])
        d = store.add_op("add", [b, c])
        single = store.reduce(outputs=[d])[1]
        maximal = store.reduce(outputs=[d], maximal_fusion=True)[1]
        assert (single["stages"], maximal["stages"]) == (2, 1)
        for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "boundary_nodes"):
            assert single[key] == maximal[key]
        assert store.reduce(outputs=[d], maximal_fusion=np.bool_(True))[1] == maximal

    def test_reduce_incremental_matches_reduce(self):
        s, m = worked_example()
        a, ra = s.reduce(outputs=[m, 2])
        b, rb = s.reduce_incremental(outputs=[m, 2])
        assert (a.nodes(), a.outputs(), a.node_map(), ra) == (b.nodes(), b.outputs(), b.node_map(), rb)
        assert s.reduction_report(outputs=[m, 2]) == ra

    def test_reducing_a_reduced_store_keeps_distinct_opaque_nodes(self, store):
        x = store.add_source("x")
        p = store.add_op("neg", [x])
        q = store.add_op("abs", [x])
        reduced, _ = store.reduce(outputs=[p, q])
        again, _ = reduced.reduce(outputs=reduced.outputs())
        assert [m["members"] for m in again.nodes()[1:]] == [m["members"] for m in reduced.nodes()[1:]]
        d = dict(kind="m", content_hash="h", framework="f", version="v", io_schema="s")
        e1 = store.add_external(dict(d, preprocessing_ref=None), [x])
        e2 = store.add_external(dict(d, preprocessing_ref="-"), [x])
        e3 = store.add_external(dict(d, kind="m|h", content_hash=""), [x])
        reduced, report = store.reduce(outputs=[e1, e2, e3])
        assert report["canonical_nodes"] == 4
        assert [n["descriptor"]["preprocessing_ref"] for n in reduced.nodes()[1:3]] == [None, "-"]

    def test_cone(self, store):
        x = store.add_source("x")
        store.add_source("dead")
        n = store.add_op("neg", [x])
        cone = store.cone(outputs=[n, n])
        assert [k["kind"] for k in cone.nodes()] == ["source", "op"]
        assert cone.outputs() == [1] and cone.node_map() == [(0, None), None, (1, None)]
        assert store.cone(outputs=[]).node_count() == 0
        assert store.cone(outputs=[]).node_map() == [None, None, None]
        with pytest.raises(ValueError) as excinfo:
            store.cone(outputs=[3])
        assert str(excinfo.value) == "no node with id 3"
        with pytest.raises(TypeError) as excinfo:
            store.cone(outputs=None)
        assert excinfo.value.__notes__ == ["while processing 'outputs'"]
        with pytest.raises(TypeError, match="outputs"):
            store.cone()

    def test_argument_errors(self, store):
        store.add_source("x")
        with pytest.raises(TypeError) as excinfo:
            store.reduce(outputs="0")
        assert str(excinfo.value) == "expected a sequence of node ids, got str"
        assert excinfo.value.__notes__ == ["while processing 'outputs'"]
        with pytest.raises(TypeError) as excinfo:
            store.reduce(maximal_fusion=1)
        assert excinfo.value.__notes__ == ["while processing 'maximal_fusion'"]
        with pytest.raises(TypeError):
            store.reduce(True)
        with pytest.raises(ValueError) as excinfo:
            store.reduce(outputs=[0, 1])
        assert str(excinfo.value) == "no node with id 1"
        with pytest.raises(ValueError):
            store.reduction_report(outputs=[5])

    def test_signatures(self):
        g = tc.GraphStore()
        assert str(inspect.signature(g.reduce)) == "(*, maximal_fusion=False, outputs=None)"
        assert str(inspect.signature(g.cone)) == "(*, outputs)"
        assert str(inspect.signature(g.serialize)) == "(outputs=None)"
        assert str(inspect.signature(tc.GraphStore.deserialize)) == "(data)"


# ---------------------------------------------------------------- soundness on random programs

def same_values(a: list[float], b: list[float]) -> bool:
    return all(x == y or (x != x and y != y) for x, y in zip(a, b, strict=True))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs(), st.booleans())
def test_reduction_keeps_every_output_value(program, maximal_fusion):
    store, outputs = program
    expected = evaluate(store.nodes(), SOURCES, outputs)
    reduced, report = store.reduce(outputs=outputs, maximal_fusion=maximal_fusion)
    # An output always ends its stage, so the node it landed in computes exactly its value.
    landed = [reduced.node_map()[o][0] for o in outputs]
    assert same_values(evaluate(reduced.nodes(), SOURCES, landed), expected)
    assert reduced.outputs() == list(dict.fromkeys(landed))
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    assert report["canonical_nodes"] <= report["reachable_nodes"] <= report["input_nodes"]
    cone = store.cone(outputs=outputs)
    assert same_values(evaluate(cone.nodes(), SOURCES, [cone.node_map()[o][0] for o in outputs]), expected)


def test_two_processes_give_identical_bytes():
    script = textwrap.dedent("""
        import sys, tarnvel_core as tc
        s = tc.GraphStore()
        ids = [s.add_source(n, {"k": i}) for i, n in enumerate("abcdefgh")]
        for i in range(400):
            a, b = ids[(i * 7) % len(ids)], ids[(i * 13 + 1) % len(ids)]
            ids.append(s.add_op(["add", "mul", "sub"][i % 3], [a, b] if i % 2 else [b, a]))
            if i % 5 == 0:
                ids.append(s.add_op("mul", [ids[-1]], {"scalar": 1.0, "side": "l"}))
        reduced, _ = s.reduce(outputs=ids[-20:], maximal_fusion=True)
        sys.stdout.write(reduced.serialize().hex())
    """)
    runs = [subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                           env={"PYTHONHASHSEED": str(seed), "PATH": ""}).stdout for seed in (1, 2)]
    assert runs[0] == runs[1] and len(runs[0]) > 1000
