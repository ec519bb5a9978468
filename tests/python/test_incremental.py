"""IncrementalReducer: stepping, finalize, agreement with the batch pipeline, threads."""
import copy
import inspect
import pickle
import threading

import pytest
from hypothesis import HealthCheck, given, settings

import tarnvel_core as tc
from evaluator import evaluate
from programs import SOURCES, programs
from test_reduce import same_values


def chain(store: tc.GraphStore) -> int:
    x, y = store.add_source("x"), store.add_source("y")
    a = store.add_op("add", [x, y])
    b = store.add_op("add", [y, x])
    return store.add_op("mul", [a, b])


class TestStepping:
    def test_counters(self, store):
        reducer = tc.IncrementalReducer()
        assert (reducer.watermark(), reducer.total_work(), reducer.canonical_count()) == (0, 0, 0)
        for name in "abc":
            store.add_source(name)
        assert reducer.step(store) == 3 and reducer.step(store) == 0
        store.add_source("d")
        store.add_source("a")  # re-recorded: nothing new for the reducer
        store.add_op("neg", [0])
        assert reducer.step(store=store) == 2
        assert reducer.watermark() == reducer.total_work() == 5

    def test_one_step_or_many_give_one_form(self, store):
        out = chain(store)
        once = tc.IncrementalReducer()
        assert once.step(store) == store.node_count()
        growing, many = tc.GraphStore(), tc.IncrementalReducer()
        recorders = [lambda: growing.add_source("x"), lambda: growing.add_source("y"),
                     lambda: growing.add_op("add", [0, 1]), lambda: growing.add_op("add", [1, 0]),
                     lambda: growing.add_op("mul", [2, 3])]
        for record in recorders:
            record()
            assert many.step(growing) == 1
        assert once.canonical_count() == many.canonical_count() == 4  # the commuted twin folds
        assert many.total_work() == once.total_work() == 5
        assert once.finalize(store, outputs=[out])[0].serialize() == many.finalize(growing, outputs=[out])[0].serialize()

    def test_simplifications(self, store):
        reducer = tc.IncrementalReducer()
        x, y = store.add_source("x"), store.add_source("y")
        store.add_op("add", [x, y], {"k": 1})
        store.add_op("add", [y, x], {"k": 1})  # parameterized: not commutative
        i1 = store.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
        store.add_op("add", [i1], {"scalar": 0.0, "side": "l"})  # identity over identity
        store.add_op("add", [x], {"scalar": -0.0, "side": "r"})  # -0.0 is no identity
        store.add_op("mul", [], {"scalar": 1.0, "side": "r"})  # no input: hash-consed
        store.add_op("mul", [x, y], {"scalar": 1.0, "side": "r"})  # two inputs: hash-consed
        reducer.step(store)
        assert reducer.canonical_count() == 7

    def test_finalize(self, store):
        out = chain(store)
        reducer = tc.IncrementalReducer()
        reduced, report = reducer.finalize(store, outputs=[out])
        assert report["input_nodes"] == reducer.canonical_count() == 4 < store.node_count()
        assert len(reduced.node_map()) == store.node_count()
        again = reducer.finalize(store, outputs=[out])
        assert again[0].serialize() == reduced.serialize() and again[1] == report
        assert reducer.finalize(store)[0].node_count() == 0  # no marks: nothing is an output
        with pytest.raises(ValueError) as excinfo:
            reducer.finalize(store, outputs=[store.node_count()])
        assert str(excinfo.value) == f"no node with id {store.node_count()}"

    def test_wrong_types(self, store):
        chain(store)
        reducer = tc.IncrementalReducer()
        with pytest.raises(TypeError) as excinfo:
            reducer.step(42)
        assert excinfo.value.__notes__ == ["while processing 'store'"]
        with pytest.raises(TypeError) as excinfo:
            reducer.finalize(store, outputs="1")
        assert str(excinfo.value) == "expected a sequence of node ids, got str"

    def test_signatures(self):
        reducer = tc.IncrementalReducer()
        assert str(inspect.signature(reducer.finalize)) == "(store, *, maximal_fusion=False, outputs=None)"
        assert str(inspect.signature(reducer.step)) == "(store)"
        assert "incrementality witness" in tc.IncrementalReducer.__doc__


FOLLOWS_ANOTHER = ("this reducer follows another store: the first store it consumed nodes from "
                   "(a copy of that store is another store)")


def sources(*names: str) -> tc.GraphStore:
    store = tc.GraphStore()
    for name in names:
        store.add_source(name)
    return store


def counters(reducer: tc.IncrementalReducer) -> tuple[int, int, int]:
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


class TestOneStore:
    """A reducer follows the first store it consumes a node of; every other store is refused."""

    @pytest.mark.parametrize("make_other", [
        lambda s: sources(),
        lambda s: sources("q"),
        lambda s: sources(*"abcdefgh"),
        lambda s: pickle.loads(pickle.dumps(s)),
        lambda s: copy.copy(s),
        lambda s: copy.deepcopy(s),
        lambda s: tc.GraphStore.deserialize(s.serialize()),
    ], ids=["empty", "shorter", "longer", "pickled", "copied", "deep-copied", "deserialized"])
    def test_other_stores_are_refused_and_change_nothing(self, store, make_other):
        out = chain(store)
        reducer = tc.IncrementalReducer()
        assert reducer.step(store) == store.node_count()
        expected, _ = reducer.finalize(store, outputs=[out])
        other = make_other(store)
        before = counters(reducer)
        for call in (lambda: reducer.step(other), lambda: reducer.step(store=other),
                     lambda: reducer.finalize(other), lambda: reducer.finalize(other, outputs=[])):
            with pytest.raises(ValueError) as excinfo:
                call()
            assert str(excinfo.value) == FOLLOWS_ANOTHER
            assert counters(reducer) == before
        assert reducer.step(store) == 0
        assert reducer.finalize(store, outputs=[out])[0].serialize() == expected.serialize()

    def test_a_step_that_consumes_nothing_follows_nothing(self, store):
        reducer = tc.IncrementalReducer()
        empty = sources()
        assert reducer.step(empty) == 0
        reducer.finalize(empty)
        chain(store)
        assert reducer.step(store) == store.node_count()  # the empty store bound nothing
        with pytest.raises(ValueError, match="^this reducer follows another store"):
            reducer.step(empty)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs())
def test_finalize_agrees_with_reduce(program):
    store, outputs = program
    expected = evaluate(store.nodes(), SOURCES, outputs)
    reducer = tc.IncrementalReducer()
    reduced, _ = reducer.finalize(store, outputs=outputs)
    landed = [reduced.node_map()[o][0] for o in outputs]
    assert same_values(evaluate(reduced.nodes(), SOURCES, landed), expected)
    batch, _ = store.reduce(outputs=outputs)
    batch_landed = [batch.node_map()[o][0] for o in outputs]
    assert same_values(evaluate(batch.nodes(), SOURCES, batch_landed), expected)


def test_threads_step_and_finalize_one_reducer_while_others_record(fast_switching):
    store, reducer = tc.GraphStore(), tc.IncrementalReducer()
    x = store.add_source("x")
    barrier = threading.Barrier(6)
    errors: list[BaseException] = []

    def grow(t: int) -> None:
        barrier.wait()
        last = x
        for i in range(300):
            last = store.add_op(["add", "mul"][i % 2], [last, x] if t % 2 else [x, last])

    def use(t: int) -> None:
        barrier.wait()
        try:
            for i in range(60):
                reducer.step(store)
                reducer.watermark(), reducer.canonical_count()
                if i % 10 == t:
                    reduced, report = reducer.finalize(store, outputs=[0])
                    assert report["reduced_nodes"] == reduced.node_count() == 1
        except BaseException as error:  # surfaced below, with the thread's traceback
            errors.append(error)

    threads = [threading.Thread(target=grow, args=(t,)) for t in range(2)]
    threads += [threading.Thread(target=use, args=(t,)) for t in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive()
    assert not errors
    reducer.step(store)
    assert reducer.total_work() == reducer.watermark() == store.node_count()
