"""examples/run_on_dask.py: a reduced graph lowered to Dask tasks and run on worker processes must
compute what examples/interpret.py computes from the recorded graph, on every lowering path."""
import contextlib
import io
import sys
from pathlib import Path

import numpy as np
import pytest

import tarnvel_core as tc

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402
import interpret  # noqa: E402
import run_on_dask  # noqa: E402

ENV = demo.Warehouse()
MODEL = dict(kind="onnx", content_hash="h", framework="f", version="v", io_schema="s")


@pytest.fixture(scope="module")
def client():
    # Starting worker processes takes seconds: one cluster serves the whole module.
    with run_on_dask.local_cluster() as cluster, distributed.Client(cluster) as connected:
        yield connected


def agree(client, store: tc.GraphStore, outputs: list[int]) -> None:
    """The recorded graph and its reduction, both run on the cluster, give the interpreter's values
    of the recorded graph, bit for bit."""
    expected = interpret.run(store.nodes(), outputs, ENV)
    reduced, _ = store.reduce(outputs=outputs)
    for nodes, ids in ((store.nodes(), outputs), (reduced.nodes(), reduced.outputs())):
        got = run_on_dask.compute(client, nodes, ids, ENV)
        assert len(got) == len(expected)
        for value, want in zip(got, expected):
            assert value.shape == want.shape and np.array_equal(value, want)


def test_the_demo_program(client):
    with contextlib.redirect_stdout(io.StringIO()):  # the demo narrates its steps
        program = demo.record()
    agree(client, program.store, program.outputs)


def mixed_layouts() -> tuple[tc.GraphStore, list[int]]:
    # An op over an exchanged column and a source, an op over a sum and a column, and an
    # exchange of an exchange: each mixes partitionings, so it runs on whole values.
    s = tc.GraphStore()
    x, y = s.add_source("orders.amount"), s.add_source("orders.fx_rate")
    shuffled = s.add_exchange([x], {"scheme": "hash", "partitions": 3})
    mixed = s.add_op("sub", [shuffled, y])
    centred = s.add_op("sub", [x, s.add_reduction("mean", [x])])
    twice = s.add_exchange([s.add_exchange([y], {"partitions": 5})], {"partitions": 2})
    return s, [mixed, centred, twice]


def joins_and_payloads() -> tuple[tc.GraphStore, list[int]]:
    # A join of aligned columns merges partition by partition; one of a shuffled column and a
    # source pairs rows by position across different partitionings; a payload and a fused stage
    # run per partition.
    s = tc.GraphStore()
    x, y = s.add_source("a"), s.add_source("b")
    scaled = s.add_op("mul", [s.add_op("abs", [s.add_op("sub", [x, y])])], {"scalar": 2.0, "side": "l"})
    aligned = s.add_join([scaled, y], {"how": "inner"})
    shuffled = s.add_join([s.add_exchange([scaled], {"partitions": 7}), x], {"how": "left"})
    score = s.add_external(MODEL, [scaled, s.add_op("add", [y, x])])
    return s, [aligned, shuffled, s.add_reduction("sum", [shuffled], {"axis": 0}), score]


@pytest.mark.parametrize("program", [mixed_layouts, joins_and_payloads])
def test_every_lowering_path(client, program):
    store, outputs = program()
    agree(client, store, outputs)


def tasks_of(graph, node_id):
    return sorted(key[2] for key in graph if key[:2] == ("node", node_id))


def test_task_shapes():
    store, outputs = joins_and_payloads()
    reduced, _ = store.reduce(outputs=outputs)
    nodes = reduced.nodes()
    graph, keys = run_on_dask.lower(nodes, reduced.outputs(), ENV)
    partitions = list(range(run_on_dask.SOURCE_PARTITIONS))
    by_kind = {}
    for node in nodes:
        by_kind.setdefault(node["kind"], []).append(node)
    stage = by_kind["stage"][0]
    assert stage["n_members"] == 3 and tasks_of(graph, stage["id"]) == partitions  # members in one task
    (exchange,) = by_kind["exchange"]
    assert tasks_of(graph, exchange["id"]) == list(range(7))
    aligned, shuffled = by_kind["join"]
    assert tasks_of(graph, aligned["id"]) == partitions
    assert tasks_of(graph, shuffled["id"]) == [-1, *range(7)]  # the offsets task, then one per partition
    (total,) = by_kind["reduction"]
    assert tasks_of(graph, total["id"]) == [0]
    assert keys == [("output", i, 0) for i in range(4)] and all(key in graph for key in keys)
