"""Pickling, copying and repr of the module's objects."""
import copy
import multiprocessing
import pickle

import tarnvel_core as tc


def reduced_store() -> tc.GraphStore:
    store = tc.GraphStore()
    x = store.add_source("x", {"n": float("nan")})
    out = store.add_op("neg", [store.add_op("abs", [x])])
    reduced, _ = store.reduce(outputs=[out, 0])
    return reduced


def node_count_in_child(store: tc.GraphStore) -> tuple[int, list[int]]:
    return store.node_count(), store.outputs()


class TestPickling:
    def test_round_trip_keeps_nodes_and_marks_and_drops_the_node_map(self):
        store = reduced_store()
        for clone in (pickle.loads(pickle.dumps(store, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)):
            assert clone.serialize() == store.serialize()
            assert clone.outputs() == store.outputs() == [1, 0]
            assert clone.node_map() == [] and store.node_map() != []

    def test_copies_are_independent(self):
        store = reduced_store()
        for clone in (copy.copy(store), copy.deepcopy(store)):
            assert clone is not store and clone.serialize() == store.serialize()
            clone.add_source("only in the copy")
            assert clone.node_count() == store.node_count() + 1

    def test_crosses_process_boundaries(self):
        store = reduced_store()
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            assert pool.apply(node_count_in_child, (store,)) == (store.node_count(), store.outputs())

    def test_docstring_says_what_is_dropped(self):
        assert "node map" in tc.GraphStore.__reduce__.__doc__


def test_reprs():
    store = tc.GraphStore()
    assert repr(store) == "<tarnvel_core.GraphStore: 0 nodes, 0 outputs>"
    assert repr(reduced_store()) == "<tarnvel_core.GraphStore: 2 nodes, 2 outputs>"
    store.add_source("x")
    reducer = tc.IncrementalReducer()
    reducer.step(store)
    assert repr(reducer) == "<tarnvel_core.IncrementalReducer: watermark 1, 1 canonical node>"
    descriptor = tc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    assert repr(descriptor) == ("PayloadDescriptor(kind='k', content_hash='h', framework='f', version='v', "
                                "io_schema='s', preprocessing_ref=None)")
