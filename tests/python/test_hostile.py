"""Hostile arguments: objects that raise or mutate their container while they are converted,
extreme integers, unencodable text, odd but valid blobs, damaged blobs and very large graphs.

Every call either raises a clear Python exception (the user's own exception, or the documented
type with the note naming the argument) or returns the right result; nothing crashes, and a failed
call leaves the store and the reducer exactly as they were.
"""
import ctypes
import gc
import math
import pickle
import re
import signal
import struct
import subprocess
import sys
import textwrap
from functools import partial

import numpy as np
import pytest

import tarnvel_core as tc

DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2.1", io_schema="f32")
BLOB_MESSAGES = ("not a tarnvel IR blob (bad magic/version)", "truncated tarnvel IR blob", "invalid ",
                 "invalid utf-8 in tarnvel IR blob", "node reference ")


class Boom(Exception):
    """Raised by the hostile objects: no conversion may swallow it or change its type."""


class RaisingIndex:
    def __init__(self, error=Boom):
        self.error = error

    def __index__(self):
        raise self.error("__index__")


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class IndexTypeErrorThenFloat:
    """The integer protocol refuses with TypeError, so the float protocol decides."""

    def __index__(self):
        raise TypeError("not an int")

    def __float__(self):
        return 2.5


class RaisingLen:
    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, i):
        return 0


class RaisingIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 0

    def __iter__(self):
        raise Boom("__iter__")


class RaisingGetitem:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise Boom("__getitem__")


class Calls:
    """An integer-like object that runs `action` every time it is converted."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class FloatCalls:
    """A float-like object that runs `action` every time it is converted."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return self.value


def snapshot(store):
    """Everything a failed call must leave untouched."""
    return store.node_count(), store.serialize(), store.outputs(), store.node_map()


def counters(reducer):
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


def notes(error):
    return getattr(error, "__notes__", [])


@pytest.fixture
def graph():
    """A store of two nodes (x, neg x) and a reducer that has not consumed it yet."""
    store = tc.GraphStore()
    x = store.add_source("x")
    store.add_op("neg", [x])
    return store, tc.IncrementalReducer()


def id_calls(store, reducer):
    """Every entry point that converts a sequence of node ids: (argument name, call)."""
    return {
        "add_op": ("inputs", lambda ids: store.add_op("f", ids)),
        "add_reduction": ("inputs", lambda ids: store.add_reduction("sum", ids)),
        "add_external": ("inputs", lambda ids: store.add_external(DESCRIPTOR, ids)),
        "add_exchange": ("inputs", lambda ids: store.add_exchange(ids)),
        "add_join": ("inputs", lambda ids: store.add_join(ids)),
        "reduce": ("outputs", lambda ids: store.reduce(outputs=ids)),
        "reduce_incremental": ("outputs", lambda ids: store.reduce_incremental(outputs=ids)),
        "reduction_report": ("outputs", lambda ids: store.reduction_report(outputs=ids)),
        "cone": ("outputs", lambda ids: store.cone(outputs=ids)),
        "serialize": ("outputs", lambda ids: store.serialize(ids)),
        "finalize": ("outputs", lambda ids: reducer.finalize(store, outputs=ids)),
    }


def params_calls(store):
    """Every entry point that converts a parameter dict."""
    return {
        "add_source": lambda p: store.add_source("s", p),
        "add_op": lambda p: store.add_op("f", [0], p),
        "add_reduction": lambda p: store.add_reduction("sum", [0], p),
        "add_external": lambda p: store.add_external(DESCRIPTOR, [0], p),
        "add_exchange": lambda p: store.add_exchange([0], p),
        "add_join": lambda p: store.add_join([0, 1], p),
    }


ID_ENTRY_POINTS = list(id_calls(None, None))


class IdText(str):
    """A str subclass is still text, never a sequence of ids."""
PARAMS_ENTRY_POINTS = list(params_calls(None))


class TestFailedCallsChangeNothing:
    @pytest.mark.parametrize("entry", ID_ENTRY_POINTS)
    @pytest.mark.parametrize(
        "ids, error, message, noted",
        [
            ([0, RaisingIndex()], Boom, "__index__", True),
            ([RaisingIndex(TypeError)], TypeError, "__index__", True),
            (RaisingLen(), Boom, "__len__", True),
            (RaisingIter(), Boom, "__iter__", True),
            (RaisingGetitem(), Boom, "__getitem__", True),
            ([0, -1], OverflowError, None, True),
            ([-(2**63)], OverflowError, None, True),
            ([2**64], OverflowError, None, True),
            ([2**4000], OverflowError, None, True),
            ([np.int64(-1)], OverflowError, None, True),
            ([0, "1"], TypeError, None, True),
            ([0.0], TypeError, None, True),
            ("01", TypeError, "^expected a sequence of node ids, got str$", True),
            (IdText("01"), TypeError, "^expected a sequence of node ids, got str$", True),
            (iter([0]), TypeError, None, True),
            ({0: 0}, TypeError, None, True),
            ([2**64 - 1], ValueError, "^no node with id 18446744073709551615$", False),
        ],
        ids=["index-raises", "index-type-error", "len-raises", "iter-raises", "getitem-raises", "minus-one",
             "int64-min", "two-to-64", "huge", "numpy-negative", "str-item", "float-item", "str", "str-subclass",
             "iterator", "dict", "max-u64"],
    )
    def test_id_sequences(self, graph, entry, ids, error, message, noted):
        store, reducer = graph
        argument, call = id_calls(store, reducer)[entry]
        before, reducer_before = snapshot(store), counters(reducer)
        with pytest.raises(error) as info:
            call(ids)
        assert message is None or re.search(message, str(info.value))
        if noted:
            assert notes(info.value) == [f"while processing '{argument}'"]
        assert snapshot(store) == before and counters(reducer) == reducer_before

    @pytest.mark.parametrize("entry", PARAMS_ENTRY_POINTS)
    @pytest.mark.parametrize(
        "params, error, message",
        [
            ({"a": 1, "b": RaisingIndex()}, Boom, "__index__"),
            ({"a": RaisingFloat()}, Boom, "__float__"),
            ({"a": RaisingIndex(TypeError)}, TypeError, "^param values must be int, float, bool, or str$"),
            ({"a": RaisingIndex(OverflowError)}, TypeError, "^param values must be int, float, bool, or str$"),
            ({"a": 2**1024}, TypeError, "^param values must be int, float, bool, or str$"),
            ({"a": -(2**4000)}, TypeError, "^param values must be int, float, bool, or str$"),
            ({"a": b"bytes"}, TypeError, "^param values must be int, float, bool, or str$"),
            ({"a": "\ud800"}, UnicodeEncodeError, "surrogates not allowed"),
            ({"\udc80": 1}, UnicodeEncodeError, "surrogates not allowed"),
            ({b"k": 1}, TypeError, None),
            ({("k",): 1}, TypeError, None),
        ],
        ids=["index-raises", "float-raises", "index-type-error", "index-overflow", "beyond-float", "below-float",
             "bytes", "surrogate-value", "surrogate-key", "bytes-key", "tuple-key"],
    )
    def test_params(self, graph, entry, params, error, message):
        store, _ = graph
        before = snapshot(store)
        with pytest.raises(error) as info:
            params_calls(store)[entry](params)
        assert message is None or re.search(message, str(info.value))
        # A value of no parameter type is named by its key and type in a second note.
        unsupported = str(info.value) == "param values must be int, float, bool, or str"
        typed = [f"key 'a': {type(params['a']).__name__}"] if unsupported else []
        assert notes(info.value) == ["while processing 'params'", *typed]
        assert snapshot(store) == before

    @pytest.mark.parametrize(
        "call, argument",
        [
            (lambda s: s.add_source("x\udc80"), "name"),
            (lambda s: s.add_op("\ud800", [0]), "name"),
            (lambda s: s.add_reduction("sum\udfff", [0]), "name"),
            (lambda s: s.add_external(dict(DESCRIPTOR, kind="\ud800"), [0]), "descriptor"),
            (lambda s: s.add_external(dict(DESCRIPTOR, preprocessing_ref="\ud800"), [0]), "descriptor"),
            (lambda s: tc.PayloadDescriptor(**dict(DESCRIPTOR, io_schema="\udc00")), "io_schema"),
            (lambda s: tc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="\udc00"), "preprocessing_ref"),
        ],
    )
    def test_unencodable_text(self, graph, call, argument):
        store, _ = graph
        before = snapshot(store)
        with pytest.raises(UnicodeEncodeError) as info:
            call(store)
        assert notes(info.value) == [f"while processing '{argument}'"]
        assert snapshot(store) == before

    def test_descriptor_key_comparison_errors_propagate(self, graph):
        store, _ = graph

        class CollidesWithKind:
            armed = False

            def __hash__(self):
                return hash("kind")

            def __eq__(self, other):
                if CollidesWithKind.armed:
                    raise Boom("__eq__")
                return self is other

        descriptor = {CollidesWithKind(): "first, so every lookup of 'kind' compares with it"}
        descriptor.update(DESCRIPTOR)
        CollidesWithKind.armed = True
        before = snapshot(store)
        try:
            with pytest.raises(Boom):
                store.add_external(descriptor, [0])
        finally:
            CollidesWithKind.armed = False
        assert snapshot(store) == before


class TestExtremeValues:
    def test_integer_params_at_every_boundary(self, store):
        values = {"max": 2**63 - 1, "min": -(2**63), "above": 2**63, "below": -(2**63) - 1,
                  "u64": 2**64 - 1, "np": np.int64(-5), "npu": np.uint64(2**64 - 1), "bool": True,
                  "nan": math.nan, "inf": -math.inf, "neg0": -0.0, "np32": np.float32(0.5),
                  "npbool": np.False_}
        store.add_source("x", values)
        params = store.nodes()[0]["params"]
        expected = {"max": 2**63 - 1, "min": -(2**63), "above": float(2**63), "below": float(-(2**63) - 1),
                    "u64": float(2**64 - 1), "np": -5, "npu": float(2**64 - 1), "bool": True,
                    "inf": -math.inf, "neg0": -0.0, "np32": 0.5, "npbool": False}
        assert {k: v for k, v in params.items() if k != "nan"} == expected
        assert {k: type(v) for k, v in params.items() if k != "nan"} == {k: type(v) for k, v in expected.items()}
        assert math.isnan(params["nan"]) and math.copysign(1, params["neg0"]) == -1
        assert tc.GraphStore.deserialize(store.serialize()).serialize() == store.serialize()
        # numpy's bool is a bool, as the flag arguments take it: not the float 1.0.
        assert store.add_source("b", {"f": np.True_}) == store.add_source("b", {"f": True})
        assert store.add_source("b", {"f": np.True_}) != store.add_source("b", {"f": 1.0})

    def test_integer_protocol_refusal_falls_back_to_float(self, store):
        store.add_source("x", {"a": IndexTypeErrorThenFloat()})
        assert store.nodes()[0]["params"] == {"a": 2.5}

    def test_odd_and_long_text_round_trips(self, store):
        texts = ["", "\x00", "nul\x00inside", "\U0001f600" * 3, "é|;=%", "x" * 1_000_000, "\ud7ff\ue000"]
        for i, text in enumerate(texts):
            store.add_source(text, {text: text, "i": i})
        store.add_external(dict(DESCRIPTOR, kind=texts[5], preprocessing_ref=texts[1]), [0])
        nodes = store.nodes()
        assert [n["name"] for n in nodes[: len(texts)]] == texts
        assert all(n["params"][n["name"]] == n["name"] for n in nodes[: len(texts)])
        assert nodes[-1]["descriptor"]["kind"] == texts[5] and nodes[-1]["descriptor"]["preprocessing_ref"] == "\x00"
        back = tc.GraphStore.deserialize(store.serialize())
        assert back.nodes() == nodes and back.to_dot() == store.to_dot()

    def test_wide_node_of_a_million_inputs(self, store):
        x = store.add_source("x")
        wide = store.add_join([x] * 1_000_000)
        assert store.add_join((x,) * 1_000_000) == wide  # a tuple converts like a list
        assert len(store.nodes()[wide]["inputs"]) == 1_000_000
        back = tc.GraphStore.deserialize(store.serialize([wide]))
        assert back.serialize() == store.serialize([wide])
        reduced, report = store.reduce(outputs=[wide])
        assert report["reduced_nodes"] == 2 and len(reduced.nodes()[1]["inputs"]) == 1_000_000


class TestMutationDuringConversion:
    @pytest.mark.parametrize("convertible, value", [(Calls, 5), (FloatCalls, 2.5)], ids=["__index__", "__float__"])
    def test_params_dict_mutated_by_its_own_values(self, store, convertible, value):
        params = {}

        def vandalize():
            params.clear()
            params.update({f"new{i}": i for i in range(100)})  # forces a resize as well
            gc.collect()

        params.update({"a": 1, "b": convertible(value, vandalize), "c": "text"})
        node = store.add_source("x", params)
        # The call converts the items the dict held when it was called, or refuses with RuntimeError;
        # it never reads freed items.
        assert store.nodes()[node]["params"] == {"a": 1, "b": value, "c": "text"}

    def test_inputs_list_mutated_by_its_own_items(self, store):
        x = store.add_source("x")
        y = store.add_source("y")
        inputs = [x]
        inputs += [Calls(y, lambda: (inputs.clear(), inputs.extend([object()] * 50))), x]
        node = store.add_op("f", inputs)
        assert store.nodes()[node]["inputs"] == [x, y, x]

    def test_value_freed_during_conversion_reenters_the_store(self, store):
        """A value whose last reference goes while the call runs: its __del__ records a node."""
        x = store.add_source("x")
        params = {}

        class Vanishing:
            def __index__(self):
                del params["v"]  # the call's own reference is now the last one
                return 3

            def __del__(self):
                store.add_source("from __del__")

        params["v"] = Vanishing()
        node = store.add_op("f", [x], params)
        gc.collect()
        names = [n["name"] for n in store.nodes()]
        assert sorted(names) == ["f", "from __del__", "x"] and store.nodes()[node]["params"] == {"v": 3}

    def test_conversions_that_reenter_store_and_reducer(self, graph):
        """Argument conversion runs before any lock is taken: re-entering the same objects from
        __index__ must neither deadlock nor corrupt them."""
        store, reducer = graph
        side = Calls(0, lambda: (store.add_source("side"), reducer.step(store), store.reduce(outputs=[1]),
                                 store.serialize([0]), reducer.finalize(store)))
        reduced, report = reducer.finalize(store, outputs=[side, 1])
        assert reducer.watermark() == store.node_count() == 3 == reducer.total_work()
        assert reduced.outputs() == [0, 1] and report["input_nodes"] == reducer.canonical_count()
        node = store.add_op("g", [Calls(2, lambda: store.add_op("h", [store.add_source("late")]))])
        assert node == store.node_count() - 1 and store.nodes()[node]["inputs"] == [2]
        assert [n["id"] for n in store.nodes()] == list(range(store.node_count()))

    def test_descriptor_dict_mutated_by_key_comparison(self, store):
        class Deleter:
            def __hash__(self):
                return hash("kind")

            def __eq__(self, other):
                descriptor.pop("framework", None)
                return False

        descriptor = {Deleter(): 0}
        descriptor.update(DESCRIPTOR)
        before = snapshot(store)
        # Either the fields found before the deletion are used, or the missing one is reported.
        with pytest.raises(ValueError, match="^descriptor missing required field 'framework'"):
            store.add_external(descriptor, [])
        assert snapshot(store) == before


class Armed:
    """While on, every overridden method of the hostile subclasses raises Boom."""

    on = False

    def __enter__(self):
        Armed.on = True

    def __exit__(self, *exc):
        Armed.on = False


def hostile(base):
    """A subclass of `base` whose protocols (hashing, comparison, length, iteration, item access,
    the number protocols, text) raise once armed, and behave as `base`'s until then."""

    def overriding(name):
        inherited = getattr(base, name)

        def method(self, *args, **kwargs):
            if Armed.on:
                raise Boom(name)
            return inherited(self, *args, **kwargs)

        return method

    names = ["__hash__", "__eq__", "__ne__", "__len__", "__iter__", "__getitem__", "__contains__", "__index__",
             "__float__", "__int__", "__str__", "__repr__", "encode", "keys", "items", "values", "get"]
    return type("Hostile" + base.__name__.title(), (base,),
                {name: overriding(name) for name in names if getattr(base, name, None) is not None})


HStr, HInt, HFloat, HBytes, HDict, HList, HTuple = map(hostile, (str, int, float, bytes, dict, list, tuple))


def comparable(result):
    if isinstance(result, tc.GraphStore):
        return result.serialize()
    if isinstance(result, tc.PayloadDescriptor):
        return (result.kind, result.content_hash, result.framework, result.version, result.io_schema,
                result.preprocessing_ref)
    if isinstance(result, tuple):
        return tuple(map(comparable, result))
    return result


class TestHostileSubclassesOfTheAcceptedTypes:
    """Subclasses of str, int, float, bytes, dict, list and tuple whose every overridden protocol
    raises. A call reads the built-in value underneath and gives the plain value's result, or lets
    Boom out with the argument's note and changes nothing."""

    @pytest.mark.parametrize(
        "argument, call",
        [
            ("name", lambda s, r, t: partial(s.add_source, t(HStr("y"), "y"))),
            ("name", lambda s, r, t: partial(s.add_op, t(HStr("neg"), "neg"), [0])),
            ("params", lambda s, r, t: partial(s.add_source, "y", t({HStr("k"): HStr("v")}, {"k": "v"}))),
            ("params", lambda s, r, t: partial(s.add_op, "neg", [0], t({"i": HInt(3), "f": HFloat(0.5)},
                                                                       {"i": 3, "f": 0.5}))),
            ("params", lambda s, r, t: partial(s.add_op, "neg", [0], t({"big": HInt(2**70)}, {"big": 2.0**70}))),
            ("params", lambda s, r, t: partial(s.add_join, [0, 1], t(HDict(how="l", n=2), {"how": "l", "n": 2}))),
            ("inputs", lambda s, r, t: partial(s.add_op, "add", t(HList([0, 1]), [0, 1]))),
            ("inputs", lambda s, r, t: partial(s.add_exchange, t(HTuple((1,)), (1,)))),
            ("inputs", lambda s, r, t: partial(s.add_reduction, "sum", t([HInt(1), HInt(0)], [1, 0]))),
            ("descriptor", lambda s, r, t: partial(s.add_external, t(HDict(DESCRIPTOR), DESCRIPTOR), [0])),
            ("descriptor", lambda s, r, t: partial(s.add_external,
                                                   t({HStr(k): HStr(v) for k, v in DESCRIPTOR.items()}, DESCRIPTOR), [0])),
            ("kind", lambda s, r, t: partial(tc.PayloadDescriptor, **dict(DESCRIPTOR, kind=t(HStr("m"), "m")))),
            ("outputs", lambda s, r, t: partial(s.reduce, outputs=t(HList([1]), [1]))),
            ("outputs", lambda s, r, t: partial(s.reduce, outputs=t([HInt(1)], [1]))),
            ("outputs", lambda s, r, t: partial(s.cone, outputs=t(HTuple((1, 0)), (1, 0)))),
            ("outputs", lambda s, r, t: partial(s.serialize, t([HInt(1), HInt(1)], [1, 1]))),
            ("outputs", lambda s, r, t: partial(r.finalize, s, outputs=t(HList([1]), [1]))),
            ("keywords", lambda s, r, t: partial(s.reduction_report, **{t(HStr("outputs"), "outputs"): [1]})),
            ("keywords", lambda s, r, t: partial(r.step, **{t(HStr("store"), "store"): s})),
            ("data", lambda s, r, t: partial(tc.GraphStore.deserialize, t(HBytes(s.serialize()), s.serialize()))),
        ],
        ids=["str-name", "str-op-name", "str-key-and-value", "int-and-float", "int-beyond-int64", "dict-params",
             "list-inputs", "tuple-inputs", "int-inputs", "dict-descriptor", "str-descriptor-fields",
             "str-descriptor-argument", "list-outputs", "int-outputs", "tuple-outputs", "int-serialize-outputs",
             "list-finalize-outputs", "str-keyword", "str-keyword-of-step", "bytes-blob"],
    )
    def test_a_call_reads_the_value_or_refuses(self, graph, argument, call):
        store, reducer = graph
        before, reducer_before = snapshot(store), counters(reducer)
        # Arguments are built before arming: making a dict hashes its keys.
        hostile_call = call(store, reducer, lambda hostile, plain: hostile)
        try:
            with Armed():
                result = hostile_call()
        except Boom as error:
            assert notes(error) == [f"while processing '{argument}'"]
            assert snapshot(store) == before and counters(reducer) == reducer_before
        else:
            after = snapshot(store)
            plain_call = call(store, tc.IncrementalReducer(), lambda hostile, plain: plain)  # a reducer as it was
            assert comparable(plain_call()) == comparable(result)
            assert snapshot(store) == after  # the plain call found every key the hostile one recorded


def u32(n):
    return struct.pack("<I", n)


def text(b):
    return u32(len(b)) + b


def id_list(ids):
    return u32(len(ids)) + b"".join(struct.pack("<Q", i) for i in ids)


def source_record(name):
    return b"\x00" + text(name) + u32(0)


def op_record(name, inputs):
    return b"\x01" + text(name) + u32(0) + id_list(inputs)


def stage_record(inputs, members):
    out = b"\x04" + id_list(inputs) + u32(len(members))
    for token, refs in members:
        out += text(token) + u32(len(refs)) + b"".join(bytes([tag]) + u32(i) for tag, i in refs)
    return out


def blob(records, outputs):
    return b"TIR1" + u32(len(records)) + b"".join(records) + id_list(outputs)


def every_entry_point(store):
    """Runs every read-only entry point on `store`; a stage token that does not parse may refuse."""
    outputs = store.outputs()
    calls = [store.nodes, store.outputs, store.node_map, store.to_dot, store.node_count, repr,
             lambda: store.cone(outputs=outputs).nodes(),
             lambda: store.reduce()[0].nodes(), lambda: store.reduce(maximal_fusion=True)[0].serialize(),
             lambda: store.reduce_incremental(outputs=outputs[::-1]), store.reduction_report,
             lambda: tc.GraphStore.deserialize(store.serialize()).serialize() == store.serialize(),
             lambda: pickle.loads(pickle.dumps(store)).nodes(),
             lambda: (lambda r: (r.step(store), r.finalize(store)[0].nodes(), r.finalize(store, maximal_fusion=True)))(
                 tc.IncrementalReducer())]
    for call in calls:
        try:
            call() if call is not repr else repr(store)
        except ValueError as error:
            assert str(error).startswith("unparseable stage member token ")


class TestOddBlobs:
    @pytest.mark.parametrize(
        "records",
        [
            [source_record(b"x"), stage_record([0], [(b"op|neg", [(0, 7)])])],
            [source_record(b"x"), stage_record([0], [(b"op|neg", [(0, 0xFFFFFFFF)])])],
            [source_record(b"x"), stage_record([0], [])],
            [stage_record([], [(b"op|neg", [(0, 0)])])],
            [source_record(b"x"), stage_record([0], [(b"op|c", [])])],
            [source_record(b"x"), stage_record([0], [(b"zz|neg", [(0, 0)])])],
            [source_record(b"x"), stage_record([0], [(b"op|f|k", [(0, 0)]), (b"red|", [(1, 0)])])],
            [source_record(b"x"), stage_record([0, 0], [(b"red|sum", [(0, 0), (0, 1)]), (b"op|neg", [(1, 0)])])],
            [source_record(b"x"), stage_record([0], [(b"op|neg", [(0, 9)])]), op_record(b"neg", [1]),
             op_record(b"add", [2, 1]), stage_record([3, 1], [(b"op|add", [(0, 0), (0, 5)])])],
            [source_record(b"x"), stage_record([0], [(b"op|mul|scalar=f3ff0000000000000;side=sr", [(0, 3)])]),
             op_record(b"mul", [1, 1])],
            [source_record(b"x")] * 3 + [op_record(b"add", [2, 1])],  # repeated records
        ],
        ids=["input-ref-past-inputs", "input-ref-max", "no-members", "no-inputs", "no-refs", "foreign-token",
             "malformed-params", "reduction-member", "chain-over-odd-stage", "identity-member", "repeats"],
    )
    def test_valid_but_odd_blobs_survive_every_entry_point(self, records):
        every_entry_point(tc.GraphStore.deserialize(blob(records, [len(records) - 1, 0])))

    def test_every_damaged_copy_is_refused_or_canonical(self):
        x = tc.GraphStore()
        a = x.add_source("a", {"f": 0.5, "s": "t", "b": True, "i": -3})
        r = x.add_reduction("sum", [x.add_op("neg", [a])])
        x.add_join([x.add_exchange([x.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), [r])]), a])
        reduced, _ = x.reduce(outputs=[5, 2])
        for good in (x.serialize([5, 2, 5]), reduced.serialize()):
            for damaged in [good[:n] for n in range(len(good))] + [
                good[:i] + bytes([good[i] ^ flip]) + good[i + 1:] for i in range(len(good)) for flip in (0x01, 0x80, 0xFF)
            ]:
                try:
                    store = tc.GraphStore.deserialize(damaged)
                except ValueError as error:
                    assert str(error).startswith(BLOB_MESSAGES)
                    continue
                assert len(damaged) == len(good)  # every prefix is truncated
                again = store.serialize()
                assert tc.GraphStore.deserialize(again).serialize() == again
                every_entry_point(store)


def build_chain(length):
    """A chain through every recording method: each node reads the previous one (and the source)."""
    store = tc.GraphStore()
    x = last = store.add_source("x")
    steps = [
        lambda last, i: store.add_op("neg", [last]),
        lambda last, i: store.add_op("mul", [last], {"scalar": 1.0, "side": "r"}),  # an identity
        lambda last, i: store.add_op("add", [x, last] if i % 2 else [last, x]),
        lambda last, i: store.add_reduction("sum", [last], {"i": i}),
        lambda last, i: store.add_external(DESCRIPTOR, [last]),
        lambda last, i: store.add_exchange([last]),
        lambda last, i: store.add_join([last, x]),
    ]
    for i in range(length):
        last = steps[i % len(steps)](last, i)
    return store, last


def check_chain_through_every_entry_point(length):
    store, last = build_chain(length)
    assert store.node_count() == length + 1
    nodes = store.nodes()
    assert nodes[-1]["id"] == last and all(n["inputs"][-1] == n["id"] - 1 for n in nodes[1:3])
    del nodes
    assert store.to_dot().count("->") > length
    data = store.serialize([last])
    back = tc.GraphStore.deserialize(data)
    assert back.serialize() == data and pickle.loads(pickle.dumps(back)).serialize() == data
    assert store.cone(outputs=[last]).node_count() == length + 1
    reduced, report = store.reduce(outputs=[last])
    assert report["reachable_nodes"] == length + 1 and report["canonical_nodes"] < length
    assert len(reduced.node_map()) == length + 1 and reduced.outputs() == [reduced.node_count() - 1]
    stages = [n for n in reduced.nodes() if n["kind"] == "stage"]
    assert stages and sum(n["n_members"] for n in stages) > 0
    assert tc.GraphStore.deserialize(reduced.serialize()).serialize() == reduced.serialize()
    fused, _ = store.reduce(outputs=[last], maximal_fusion=True)
    assert store.reduce_incremental(outputs=[last])[0].serialize() == reduced.serialize()
    assert store.reduction_report(outputs=[last]) == report
    reducer = tc.IncrementalReducer()
    assert reducer.step(store) == length + 1
    finalized, _ = reducer.finalize(store, outputs=[last])
    assert reducer.total_work() == length + 1 and finalized.node_count() == reduced.node_count()
    assert fused.node_count() <= reduced.node_count()


class TestLongGraphs:
    def test_chain_through_every_entry_point(self):
        check_chain_through_every_entry_point(20_000)

    @pytest.mark.slow
    def test_million_node_chain_through_every_entry_point(self):
        check_chain_through_every_entry_point(1_000_000)

    @pytest.mark.slow
    def test_stage_of_a_million_members_through_every_entry_point(self):
        store = tc.GraphStore()
        last = store.add_source("x")
        for i in range(1_000_000):
            last = store.add_op("neg" if i % 2 else "exp", [last])
        reduced, report = store.reduce(outputs=[last])
        assert report["stages"] == 1 and reduced.nodes()[1]["n_members"] == 1_000_000
        back = tc.GraphStore.deserialize(reduced.serialize())
        assert back.serialize() == reduced.serialize()
        every_entry_point(back)


# Runs in a child process: address-space limits cannot be lifted safely in the test process. Each
# named call is retried with a little more address space each time until it succeeds, so that its
# attempts fail at different allocations inside the core; afterwards every object must still work.
OUT_OF_MEMORY = textwrap.dedent("""
    import gc, resource, sys
    import tarnvel_core as tc

    store = tc.GraphStore()
    x = last = store.add_source("x")
    for i in range(20_000):
        last = store.add_op("neg" if i % 2 else "add", [last] if i % 2 else [last, x], {"i": i})
    reducer = tc.IncrementalReducer()
    blob = store.serialize([last])
    names = [f"n{i}" for i in range(100_000)]  # made in advance: recording them allocates in the core only
    recorded = [0]

    def record():  # picks up where a failed attempt stopped
        for name in names[recorded[0]:]:
            store.add_source(name)
            recorded[0] += 1
    calls = {name: call for name, call in {
        "nodes": store.nodes, "to_dot": store.to_dot, "serialize": lambda: store.serialize([last]),
        "deserialize": lambda: tc.GraphStore.deserialize(blob), "cone": lambda: store.cone(outputs=[last]),
        "reduce": lambda: store.reduce(outputs=[last]),
        "reduce_fused": lambda: store.reduce(outputs=[last], maximal_fusion=True),
        "step": lambda: reducer.step(store), "finalize": lambda: reducer.finalize(store, outputs=[last]),
        "record": record,
    }.items() if name in sys.argv[1].split(",")}
    def mapped():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    # Between attempts too the child stays within 1 GiB more than it needs, so that a corrupted
    # object cannot make it take the machine's memory.
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    soft = mapped() + (1 << 30)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    failures = 0
    for name, call in calls.items():
        # Steps of 128 KiB make the attempts fail at the growth of each of the core's containers in
        # turn, the small tables of a reduction's rule set included.
        step = 1 << 17
        for extra in range(step, 1 << 30, step):
            gc.collect()
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + extra, hard))
            try:
                call()
                break
            except MemoryError:
                failures += 1
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert failures > 0, "no call ever ran out of memory"
    # Nothing was left half-done: the graph is intact, interning still finds every key, and every
    # object still works.
    grown = store.node_count() - 20_001
    assert grown == recorded[0] and store.serialize([last])[8 : len(blob) - 12] == blob[8:-12]
    assert store.add_source("x") == 0 and store.add_op("neg", [last - 1], {"i": 19_999}) == last
    assert [store.add_source(name) for name in names] == list(range(20_001, 20_001 + len(names)))
    assert store.reduce(outputs=[last])[0].node_count() == 2
    assert reducer.finalize(store, outputs=[last])[0].node_count() == 2
    print("survived", failures, "allocation failures in", ",".join(calls))
""")


def run_out_of_memory(calls):
    child = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, calls], capture_output=True, text=True, timeout=600)
    assert child.returncode == 0 and child.stdout.startswith("survived"), (child.returncode, child.stderr[-2000:])


@pytest.mark.skipif(hasattr(ctypes.CDLL(None), "__asan_init"), reason="AddressSanitizer reserves address space up front")
class TestAllocationFailure:
    """A call that runs out of memory raises MemoryError and leaves every object usable."""

    def test_readers_conversions_and_stepping(self):
        run_out_of_memory("nodes,to_dot,serialize,deserialize,cone,step")

    def test_recording(self):
        # Abseil's tables set their new capacity before allocating it: grown in place, a failed
        # growth corrupted the store's index, and the next insertion crashed.
        run_out_of_memory("record")

    @pytest.mark.parametrize("calls", ["reduce", "reduce_fused", "step,finalize"])
    def test_reductions(self, calls):
        # The same failed growth corrupted the saturation engine's symbol table and hash-cons
        # table, whose destructors then crashed while the MemoryError unwound.
        run_out_of_memory(calls)



class Stop(Exception):
    """Raised by the signal handler of the tests below."""


def timer_raising_stop(at_call):
    """Arms SIGALRM every 2 ms with a handler that raises Stop on its `at_call`-th run. Signals
    that arrive while a call ignores them merge into one run after it returns, so a call that
    raises Stop must have run the handler several times itself. Returns the undo."""
    runs = []

    def handler(signum, frame):
        runs.append(signum)
        if len(runs) == at_call:
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)

    def undo():
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return undo


@pytest.fixture(scope="module")
def long_chain():
    """A store of a long chain, its blob and its state; every call below on it takes far longer
    than the few timer periods it is given."""
    store = tc.GraphStore()
    head = store.add_source("x")
    add_op = store.add_op
    for i in range(300_000):
        head = add_op("neg" if i % 2 else "abs", [head])
    blob = store.serialize(outputs=[head])
    store = tc.GraphStore.deserialize(blob)
    return store, blob, snapshot(store)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and timers")
class TestSignalsStopLongCalls:
    """A signal whose handler raises stops a long call with the handler's exception; the store is
    left exactly as it was and stays usable."""

    @pytest.mark.parametrize("call", [
        lambda s, blob: s.reduce(),
        lambda s, blob: s.reduce(maximal_fusion=True),
        lambda s, blob: s.reduce_incremental(),
        lambda s, blob: s.cone(outputs=s.outputs()),
        lambda s, blob: s.to_dot(),
        lambda s, blob: s.nodes(),
        lambda s, blob: tc.GraphStore.deserialize(blob),
        lambda s, blob: tc.IncrementalReducer().step(s),
        lambda s, blob: tc.IncrementalReducer().finalize(s),
    ], ids=["reduce", "reduce_fused", "reduce_incremental", "cone", "to_dot", "nodes", "deserialize",
            "step", "finalize"])
    def test_a_raising_handler_stops_the_call(self, long_chain, call):
        store, blob, before = long_chain
        undo = timer_raising_stop(at_call=3)
        try:
            with pytest.raises(Stop):
                call(store, blob)
        finally:
            undo()
        assert snapshot(store) == before

    # Each entry prepares the call to watch, so that the walks happen in that call.
    @pytest.mark.parametrize("prepare", [
        lambda s, blob: s.nodes,
        lambda s, blob: s.reduce()[0].nodes,  # one stage of 100,000 members
        lambda s, blob: s.reduce()[0].node_map,
        lambda s, blob: lambda: s.reduce()[1],
        lambda s, blob: lambda: s.reduce_incremental()[0].serialize(),
        lambda s, blob: lambda: s.cone(outputs=s.outputs()).serialize(),
        lambda s, blob: lambda: tc.IncrementalReducer().finalize(s)[0].serialize(),
        lambda s, blob: s.to_dot,
        lambda s, blob: lambda: tc.GraphStore.deserialize(blob).serialize(),
    ], ids=["nodes", "stage_members", "node_map", "report", "reduce_incremental", "cone",
            "finalize", "to_dot", "deserialize"])
    def test_code_run_during_a_call_never_sees_a_half_built_result(self, prepare):
        """Signal handlers and gc callbacks run in the middle of long calls; one that walks every
        list, tuple and dict the collector knows must never meet a result still being filled."""
        store = tc.GraphStore()
        head = store.add_source("x")
        for i in range(100_000):
            head = store.add_op("neg" if i % 2 else "abs", [head])
        blob = store.serialize(outputs=[head])
        store = tc.GraphStore.deserialize(blob)
        call = prepare(store, blob)
        walks = []

        def walk(*_):
            # At most a few walks, and none inside another: a walk allocates, which may collect.
            if len(walks) >= 20 or walks and walks[-1] is None:
                return
            walks.append(None)
            for found in gc.get_objects():
                kind = type(found)
                if kind is list or kind is tuple:
                    for _ in found:
                        pass
                elif kind is dict:
                    for _ in found.items():
                        pass
            walks[-1] = True

        def on_collection(phase, info):
            if phase == "start":
                walk()

        previous = signal.signal(signal.SIGALRM, walk)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        gc.callbacks.append(on_collection)
        try:
            result = call()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            gc.callbacks.remove(on_collection)
        assert walks
        assert result == call()

    def test_an_interrupted_store_stays_usable(self, long_chain):
        store, blob, before = long_chain
        undo = timer_raising_stop(at_call=3)
        try:
            with pytest.raises(Stop):
                store.reduce()
        finally:
            undo()
        assert store.cone(outputs=store.outputs()).node_count() == store.node_count()
        assert snapshot(tc.GraphStore.deserialize(blob)) == before

    def test_an_interrupted_reducer_stays_consistent_and_finishes_as_if_never_stopped(self, long_chain):
        store, blob, before = long_chain
        expected_store, expected_report = tc.IncrementalReducer().finalize(store)
        reducer = tc.IncrementalReducer()
        for call in (reducer.step, reducer.finalize):
            undo = timer_raising_stop(at_call=3)
            try:
                with pytest.raises(Stop):
                    call(store)
            finally:
                undo()
            watermark, total_work, _ = counters(reducer)
            assert 0 < watermark == total_work <= store.node_count()
        reducer.step(store)
        assert reducer.watermark() == store.node_count()
        reduced, report = reducer.finalize(store)
        assert (reduced.serialize(), reduced.node_map(), report) == (
            expected_store.serialize(), expected_store.node_map(), expected_report)
        assert snapshot(store) == before
