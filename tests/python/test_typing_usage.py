"""Typed use of the whole surface: a pytest file that test_stubs.py also runs mypy --strict over.

`assert_type` is a no-op at run time; under mypy it pins what the stubs say each call returns, so a
stub that loosened a return type to Any (or got one wrong) fails the type check.
"""
from __future__ import annotations

import pickle
from collections.abc import Sequence
from typing import TYPE_CHECKING, assert_type

import pytest

import tarnvel_core as tc

if TYPE_CHECKING:
    from tarnvel_core import Descriptor, Landing, Member, MemberRef, NodeView, ParamInput, ReductionReport  # noqa: F401 (named in assert_type strings)


def record(store: tc.GraphStore) -> list[int]:
    params: dict[str, ParamInput] = {"path": "x.parquet", "rows": 10, "sample": 0.5, "strict": True}
    x = store.add_source("x", params)
    y = store.add_source("y")
    total = store.add_op("add", (x, y))
    scaled = store.add_op("mul", [total], {"scalar": 2.0, "side": "r"})
    fields: Descriptor = {"kind": "onnx", "content_hash": "ab", "framework": "ort", "version": "1",
                          "io_schema": "f[n]->f[n]", "preprocessing_ref": None}
    scored = store.add_external(fields, [scaled])
    again = store.add_external({"kind": "onnx", "content_hash": "ab", "framework": "ort", "version": "1",
                                "io_schema": "f[n]->f[n]"}, [scaled])
    assert again == scored
    model = tc.PayloadDescriptor(kind="onnx", content_hash="cd", framework="ort", version="2",
                                 io_schema="f[n]->f[n]", preprocessing_ref="prep/1")
    other = store.add_external(model, [scaled], {"batch": 64})
    moved = store.add_exchange([other], {"scheme": "hash"})
    joined = store.add_join([moved, scored])
    return [store.add_reduction("sum", [joined], {"axis": 0}), scaled]


def node_kinds(nodes: Sequence[NodeView]) -> list[str]:
    return [node["kind"] for node in nodes]


def stage_refs(node: NodeView) -> list[MemberRef]:
    members: list[Member] = node.get("members", [])
    return [ref for member in members for ref in member["inputs"]]


def test_recording_and_inspection() -> None:
    store = tc.GraphStore()
    outputs = record(store)
    assert_type(store.node_count(), int)
    nodes = assert_type(store.nodes(), "list[NodeView]")
    assert node_kinds(nodes) == ["source", "source", "op", "op", "external", "external", "exchange",
                                 "join", "reduction"]
    descriptor = nodes[5].get("descriptor")
    assert descriptor is not None and descriptor["preprocessing_ref"] == "prep/1"
    assert nodes[0]["params"] == {"path": "x.parquet", "rows": 10, "sample": 0.5, "strict": True}
    assert_type(store.outputs(), list[int])
    assert_type(store.to_dot(), str)
    assert store.cone(outputs=outputs[1:]).node_count() == 4


def test_reduction_blob_and_node_map() -> None:
    store = tc.GraphStore()
    outputs = record(store)
    reduced, report = store.reduce(outputs=outputs, maximal_fusion=False)
    assert_type(reduced, tc.GraphStore)
    assert_type(report, "ReductionReport")
    stages: int = report["stages"]
    assert stages == len([n for n in reduced.nodes() if n["kind"] == "stage"])
    assert ("input", 0) in [ref for node in reduced.nodes() for ref in stage_refs(node)]
    landing: Landing = reduced.node_map()[outputs[1]]
    assert landing is not None and landing[1] is not None
    assert_type(store.reduction_report(outputs=outputs), "ReductionReport")
    assert_type(store.reduce_incremental(outputs=outputs), "tuple[tc.GraphStore, ReductionReport]")

    blob = assert_type(reduced.serialize(), bytes)
    assert tc.GraphStore.deserialize(blob).serialize() == blob
    assert store.serialize(outputs) == store.serialize(outputs=outputs)


def test_pickling_goes_through_the_blob() -> None:
    store = tc.GraphStore()
    reduced, _ = store.reduce(outputs=record(store))
    rebuild, (blob,) = reduced.__reduce__()
    assert blob == reduced.serialize() and rebuild(blob).nodes() == reduced.nodes()
    assert pickle.loads(pickle.dumps(reduced)).serialize() == blob


def test_incremental_reducer() -> None:
    store, reducer = tc.GraphStore(), tc.IncrementalReducer()
    outputs = record(store)
    consumed: int = reducer.step(store)
    assert consumed == reducer.watermark() == reducer.total_work() == store.node_count()
    assert_type(reducer.canonical_count(), int)
    result, report = reducer.finalize(store, outputs=outputs)
    assert_type(result, tc.GraphStore)
    assert report["input_nodes"] == reducer.canonical_count()


def test_payload_descriptor_and_errors() -> None:
    model = tc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    assert_type(model.kind, str)
    assert_type(model.preprocessing_ref, "str | None")
    assert (model.content_hash, model.framework, model.version, model.io_schema) == ("h", "f", "v", "s")
    assert_type(tc.version(), str)
    with pytest.raises(ValueError, match="no node with id 7"):
        tc.GraphStore().add_op("neg", [7])
    assert issubclass(tc.InternalFault, BaseException) and not issubclass(tc.InternalFault, Exception)
