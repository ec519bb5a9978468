"""The node view, DOT text and the IR blob as seen from Python."""
import inspect
import math
import struct
from decimal import Decimal

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import tarnvel_core as tc

DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2.1", io_schema="f32")


def every_kind_store() -> tc.GraphStore:
    s = tc.GraphStore()
    x = s.add_source("x", {"b": 1, "a": "q\"uote"})
    a = s.add_op("add", [x, x], {"scalar": 0.5, "side": "r"})
    r = s.add_reduction("sum", [a])
    e = s.add_external(tc.PayloadDescriptor(**DESCRIPTOR), [r], {"t": True})
    ex = s.add_exchange([e], {"scheme": "hash"})
    s.add_join([ex, x], {"how": "inner", "nan": math.nan, "neg": -0.0})
    return s


class TestNodeView:
    def test_empty_store(self, store):
        assert store.nodes() == [] and store.outputs() == [] and store.node_map() == []

    def test_keys_order_and_values(self):
        nodes = every_kind_store().nodes()
        assert [list(n) for n in nodes[:2]] == [["id", "output", "inputs", "kind", "name", "params"]] * 2
        assert nodes[0]["params"] == {"a": 'q"uote', "b": 1} and list(nodes[0]["params"]) == ["a", "b"]
        assert [n["kind"] for n in nodes] == ["source", "op", "reduction", "external", "exchange", "join"]
        assert [n["name"] for n in nodes] == ["x", "add", "sum", "", "", ""]
        assert nodes[3]["descriptor"] == dict(DESCRIPTOR, preprocessing_ref=None)
        assert list(nodes[3]) == ["id", "output", "inputs", "kind", "name", "params", "descriptor"]
        assert nodes[5]["inputs"] == [4, 0] and not any(n["output"] for n in nodes)
        assert math.isnan(nodes[5]["params"]["nan"]) and math.copysign(1, nodes[5]["params"]["neg"]) == -1

    def test_stage_members(self):
        s = tc.GraphStore()
        x = s.add_source("x")
        out = s.add_op("neg", [s.add_op("abs", [x])])
        reduced, _ = s.reduce(outputs=[out])
        stage = reduced.nodes()[1]
        assert list(stage) == ["id", "output", "inputs", "kind", "name", "params", "n_members", "members"]
        assert stage["name"] == "" and stage["params"] == {} and stage["n_members"] == 2
        assert stage["members"] == [
            {"kind": "op", "name": "abs", "params": {}, "inputs": [("input", 0)]},
            {"kind": "op", "name": "neg", "params": {}, "inputs": [("member", 0)]},
        ]
        assert reduced.outputs() == [1] and stage["output"]


class TestOneNode:
    def test_equals_the_entry_of_the_whole_view(self):
        plain = every_kind_store()
        reduced, _ = plain.reduce(outputs=[5, 3])
        for store in (plain, reduced):
            nodes = store.nodes()
            # Compared as text: the join's NaN parameter is unequal to itself, and key order counts.
            assert [repr(store.node(i)) for i in range(len(nodes))] == [repr(n) for n in nodes]
        assert [reduced.node(i)["output"] for i in range(reduced.node_count())].count(True) == 2
        assert plain.node(id=True) == plain.node(1)  # an id converts as node ids do elsewhere

    def test_nodes_of_one_operator_are_equal_but_independent(self):
        """The view converts an operator's parts for its first node and copies them for the later
        ones: every copy must equal a fresh conversion and share nothing mutable with another."""
        s = tc.GraphStore()
        ends = []
        for table in ("a", "b", "c"):
            head = s.add_source("t", {"name": table})
            scaled = s.add_op("mul", [head], {"scalar": 2.5, "side": "r"})
            ends.append(s.add_op("neg", [s.add_op("maximum", [scaled, head])]))
        reduced, _ = s.reduce(outputs=ends)
        for store in (s, reduced):
            nodes = store.nodes()
            assert [repr(store.node(i)) for i in range(len(nodes))] == [repr(n) for n in nodes]
        stages = [n for n in reduced.nodes() if n["kind"] == "stage"]
        assert len(stages) == 3 and stages[0]["members"] == stages[2]["members"]
        first, last = stages[0], stages[2]
        first["params"]["changed"] = True
        first["inputs"].append(99)
        first["members"][0]["params"]["scalar"] = 0.0
        first["members"][1]["inputs"].append(("input", 7))
        first["members"].pop()
        assert last == reduced.node(last["id"])

    @pytest.mark.parametrize("bad, error, message", [
        (6, ValueError, "no node with id 6"),
        (2**64 - 1, ValueError, "no node with id 18446744073709551615"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        ("0", TypeError, None),
        (0.0, TypeError, None),
        (None, TypeError, None),
    ])
    def test_bad_ids(self, bad, error, message):
        store = every_kind_store()
        with pytest.raises(error) as excinfo:
            store.node(bad)
        if message is None:
            assert excinfo.value.__notes__ == ["while processing 'id'"]
        else:
            assert str(excinfo.value) == message and not hasattr(excinfo.value, "__notes__")
        assert store.node_count() == 6

    def test_signature(self):
        store = tc.GraphStore()
        assert str(inspect.signature(store.node)) == "(id)"
        with pytest.raises(ValueError, match="^no node with id 0$"):
            store.node(0)


def blob_of(records: bytes, count: int, outputs: list[int]) -> bytes:
    return b"TIR1" + struct.pack("<I", count) + records + struct.pack("<I", len(outputs)) + b"".join(
        struct.pack("<Q", o) for o in outputs)


def stage_record(member: bytes) -> bytes:
    """A Stage over node 0 of one member, of this text, that reads the stage's input."""
    return (b"\x04" + struct.pack("<IQ", 1, 0) + struct.pack("<II", 1, len(member)) + member
            + struct.pack("<I", 1) + b"\x00" + struct.pack("<I", 0))


def source_record(name: bytes) -> bytes:
    return b"\x00" + struct.pack("<I", len(name)) + name + b"\x00\x00\x00\x00"


class TestBlob:
    def test_exact_bytes(self, store):
        assert store.serialize() == b"TIR1" + bytes(8)
        store.add_source("x")
        assert store.serialize([0]).hex() == "544952310100000000010000007800000000010000000000000000000000"

    def test_round_trip_every_kind(self):
        s = every_kind_store()
        blob = s.serialize([5, 0, 5])
        back = tc.GraphStore.deserialize(blob)
        assert back.serialize() == s.serialize([5, 0])  # duplicate mark dropped on re-reading
        assert back.outputs() == [5, 0]
        assert [dict(n, output=False) for n in back.nodes()][1:5] == s.nodes()[1:5]  # [5] holds a NaN
        reduced, _ = s.reduce(outputs=[5])
        again = tc.GraphStore.deserialize(reduced.serialize())
        assert again.serialize() == reduced.serialize() and again.node_map() == []
        assert [n["kind"] for n in again.nodes()] == [n["kind"] for n in reduced.nodes()]

    def test_float_bits_survive(self, store):
        payload_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000ABC))[0]
        store.add_source("x", {"n": payload_nan, "z": -0.0})
        back = tc.GraphStore.deserialize(store.serialize())
        assert back.serialize() == store.serialize()
        assert struct.pack("<Q", 0x7FF0000000000ABC) in back.serialize()

    @pytest.mark.parametrize(
        "data, message",
        [
            (b"", "truncated tarnvel IR blob"),
            (b"TIR", "truncated tarnvel IR blob"),
            (b"XXXX", "not a tarnvel IR blob (bad magic/version)"),
            (b"TIR2" + bytes(8), "not a tarnvel IR blob (bad magic/version)"),
            (b"TIR1\x01\x00", "truncated tarnvel IR blob"),
            (b"TIR1\x01\x00\x00\x00\x07", "invalid node tag 7"),
            (blob_of(b"\x00\x01\x00\x00\x00\xff\x00\x00\x00\x00", 1, []), "invalid utf-8 in tarnvel IR blob"),
            (blob_of(b"\x00\x01\x00\x00\x00x\x01\x00\x00\x00\x01\x00\x00\x00k\x04", 1, []), "invalid param tag 4"),
            (blob_of(source_record(b"x"), 1, [1]), "node reference 1 out of range"),
            (b"TIR1\xff\xff\xff\xff", "truncated tarnvel IR blob"),
        ],
    )
    def test_malformed_blobs(self, data, message):
        with pytest.raises(ValueError) as excinfo:
            tc.GraphStore.deserialize(data)
        assert str(excinfo.value) == message

    def test_repeated_record_references_what_it_became(self):
        # Records: x, x again (becomes node 0), then neg over record 1: must read node 0.
        neg = b"\x01" + struct.pack("<I", 3) + b"neg" + bytes(4) + struct.pack("<IQ", 1, 1)
        store = tc.GraphStore.deserialize(blob_of(source_record(b"x") * 2 + neg, 3, [2]))
        assert store.node_count() == 2
        assert store.nodes()[1]["inputs"] == [0] and store.outputs() == [1]

    def test_unparseable_member_token_fails_inspection_only(self):
        stage = stage_record(b'src|"x\\')
        store = tc.GraphStore.deserialize(blob_of(source_record(b"x") + stage, 2, []))
        for call in (store.nodes, lambda: store.node(1)):
            with pytest.raises(ValueError) as excinfo:
                call()
            assert str(excinfo.value) == 'unparseable stage member token "src|\\"x\\\\"'
        # One node's view builds that node alone: the broken stage does not stop the source's.
        assert store.node(0) == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {}}

    def test_member_texts_are_kept_as_written(self):
        # The second text reads as the first's operator but is not how that operator is written.
        texts = [b"op|f|a=i1", b"op|f|a=i+1", b"red|g"]
        records = source_record(b"x") + b"".join(stage_record(t) for t in texts)
        blob = blob_of(records, 4, [1, 2, 3])
        store = tc.GraphStore.deserialize(blob)
        assert store.serialize() == blob
        repeated = tc.GraphStore.deserialize(blob_of(records + stage_record(texts[0]), 5, [4]))
        assert repeated.node_count() == 4 and repeated.outputs() == [1]
        members = [n["members"][0] for n in store.nodes()[1:]]
        assert members[0] == members[1] == {"kind": "op", "name": "f", "params": {"a": 1}, "inputs": [("input", 0)]}
        assert members[2]["kind"] == "red" and members[2]["name"] == "g"
        # A reduction renames the members into the new store and writes them back as they were read.
        reduced, _ = store.reduce()
        assert reduced.serialize() == store.serialize()
        recorded = tc.GraphStore()
        recorded.add_op("f", [recorded.add_source("x")], {"a": 1})
        fused, _ = recorded.reduce(outputs=[1])
        assert fused.serialize() == blob_of(source_record(b"x") + stage_record(texts[0]), 2, [1])

    def test_argument_checks(self, store):
        store.add_source("x")
        with pytest.raises(ValueError) as excinfo:
            store.serialize([1])
        assert str(excinfo.value) == "no node with id 1"
        assert store.serialize(outputs=[0, 0]).endswith(struct.pack("<IQQ", 2, 0, 0))
        with pytest.raises(TypeError) as excinfo:
            store.serialize("0")
        assert str(excinfo.value) == "expected a sequence of node ids, got str"
        for wrong in (bytearray(store.serialize()), memoryview(store.serialize())):
            with pytest.raises(TypeError) as excinfo:
                tc.GraphStore.deserialize(wrong)
            assert excinfo.value.__notes__ == ["while processing 'data'"]

        class Blob(bytes):
            pass

        assert tc.GraphStore.deserialize(Blob(store.serialize())).node_count() == 1


class TestDot:
    def test_text(self, store):
        assert store.to_dot() == "digraph tarnvel {\n}\n"
        x = store.add_source("x", {"s": 'a"b\\c'})
        store.add_op("mul", [x, x])
        assert store.to_dot() == (
            "digraph tarnvel {\n"
            '  n0 [label="Source x {s=\\"a\\\\\\"b\\\\\\\\c\\"}"];\n'
            '  n1 [label="Op mul"];\n'
            "  n0 -> n1;\n"
            "  n0 -> n1;\n"
            "}\n"
        )

    def test_outputs_are_double_circles(self):
        store = tc.GraphStore.deserialize(blob_of(source_record(b"a") + source_record(b"b") + source_record(b"c"), 3, [2, 0]))
        lines = store.to_dot().splitlines()
        assert lines[1].endswith(", shape=doublecircle];") and lines[3].endswith(", shape=doublecircle];")
        assert lines[2] == '  n1 [label="Source b"];'


def python_display(value: float) -> str:
    """Python's shortest repr of a float, written out without exponent and without a trailing '.0'."""
    text = format(Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


class TestFloatDisplay:
    @given(st.floats(allow_nan=False, allow_infinity=False))
    @example(1e23)
    @example(2.0**64)
    @example(1e300)
    @example(-0.0)
    @example(5e-324)
    @example(2.2250738585072014e-308)
    @example(1.7976931348623157e308)
    @example(0.1)
    def test_labels_show_the_fewest_digits_that_read_back(self, value):
        store = tc.GraphStore()
        store.add_source("x", {"v": value})
        shown = store.to_dot().splitlines()[1].removeprefix('  n0 [label="Source x {v=').removesuffix('}"];')
        assert shown == python_display(value)
        assert float(shown) == value and math.copysign(1, float(shown)) == math.copysign(1, value)

    def test_large_integral_values(self):
        assert python_display(1e23) == "1" + "0" * 23 and python_display(2.0**64) == "18446744073709552000"
