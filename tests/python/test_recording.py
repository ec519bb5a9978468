"""Recording nodes: interning, argument conversion, error types, messages and notes."""
import copy
import inspect
import math
import pickle
import sysconfig
import sys
import tomllib
from pathlib import Path

import pytest

import tarnvel_core as tc

DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2.1", io_schema="f32")


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


class TestModule:
    def test_surface_in_order(self):
        public = [name for name in vars(tc) if not name.startswith("_")]
        assert public[:3] == ["GraphStore", "PayloadDescriptor", "IncrementalReducer"] or public[:2] == [
            "GraphStore",
            "PayloadDescriptor",
        ]
        assert issubclass(tc.InternalFault, BaseException)
        assert not issubclass(tc.InternalFault, Exception)

    def test_version_is_the_one_pyproject_declares(self):
        pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
        declared = tomllib.loads(pyproject.read_text())["project"]["version"]
        assert tc.version() == declared
        assert tc.version.__doc__ == f'The module\'s version, "{declared}".'

    def test_signatures(self):
        assert str(inspect.signature(tc.version)) == "()"
        assert str(inspect.signature(tc.GraphStore)) == "()"
        method = inspect.signature(tc.GraphStore.add_op)
        assert list(method.parameters) == ["self", "name", "inputs", "params"]
        assert str(inspect.signature(tc.GraphStore().add_op)) == "(name, inputs, params=None)"
        assert str(inspect.signature(tc.GraphStore().add_external)) == "(descriptor, inputs, params=None)"
        assert str(inspect.signature(tc.GraphStore().add_join)) == "(inputs, params=None)"
        assert str(inspect.signature(tc.PayloadDescriptor)) == (
            "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"
        )

    def test_docstrings(self):
        assert "free-threaded" in tc.GraphStore.__doc__
        assert "Exchange has no name" in tc.GraphStore.add_exchange.__doc__
        assert '`nodes()[i]["kind"] == "join"`' in tc.GraphStore.add_join.__doc__
        assert tc.PayloadDescriptor.__doc__.endswith(
            "Reproducibility metadata an External node carries (participates in the structural hash)."
        )

    @pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="GIL build")
    def test_free_threaded_import_keeps_gil_off(self):
        assert not sys._is_gil_enabled()


class TestInterning:
    def test_equal_nodes_share_an_id(self, store):
        x = store.add_source("x")
        assert store.add_source("x") == x
        assert store.add_source("x", {"a": 1}) != x
        assert store.add_source("x", {"b": 1, "a": 2}) == store.add_source("x", {"a": 2, "b": 1})
        assert store.node_count() == 3

    def test_value_types_distinguish_nodes(self, store):
        ids = {store.add_source("x", {"v": v}) for v in (True, 1, 1.0, "1")}
        assert len(ids) == 4
        assert store.add_source("x", {"v": 0.0}) != store.add_source("x", {"v": -0.0})
        assert store.add_source("x", {"v": math.nan}) == store.add_source("x", {"v": float("-nan")})

    def test_param_value_classification(self, store):
        class Indexable:
            def __index__(self):
                return 7

        class Floatable:
            def __float__(self):
                return 2.5

        store.add_source("x", {"big": 2**70, "idx": Indexable(), "flt": Floatable(), "neg": -(2**63)})
        params = store.nodes()[0]["params"]
        assert params == {"big": float(2**70), "flt": 2.5, "idx": 7, "neg": -(2**63)}
        assert type(params["big"]) is float and type(params["idx"]) is int

    def test_a_params_dict_changed_between_calls_is_another_operator(self, store):
        x = store.add_source("x")
        params = {"scalar": 1.0, "side": "r"}
        first = store.add_op("mul", [x], params)
        params["scalar"] = -0.0
        second = store.add_op("mul", [x], params)
        params["scalar"] = 0.0
        third = store.add_op("mul", [x], params)
        params["scalar"] = 1.0
        assert len({first, second, third}) == 3
        assert store.add_op("mul", [x], params) == first
        params["scalar"] = True
        assert store.add_op("mul", [x], params) not in (first, second, third)
        assert store.nodes()[first]["params"] == {"scalar": 1.0, "side": "r"}

    def test_inputs_order_and_repeats(self, store):
        x, y = store.add_source("x"), store.add_source("y")
        assert store.add_op("sub", [x, y]) != store.add_op("sub", [y, x])
        assert store.add_op("mul", (x, x)) == store.add_op("mul", [x, x])
        assert store.add_op("neg", [x]) != store.add_reduction("neg", [x])

    def test_boundaries_accept_any_input_count(self, store):
        x = store.add_source("x")
        assert store.add_exchange([]) != store.add_exchange([x])
        store.add_join([x, x, x], {"how": "inner"})
        assert [n["kind"] for n in store.nodes()] == ["source", "exchange", "exchange", "join"]

    def test_externals(self, store):
        x = store.add_source("x")
        d = tc.PayloadDescriptor(**DESCRIPTOR)
        a = store.add_external(d, [x])
        assert store.add_external(dict(DESCRIPTOR), [x]) == a
        assert store.add_external(dict(DESCRIPTOR, preprocessing_ref=None), [x]) == a
        assert store.add_external(dict(DESCRIPTOR, preprocessing_ref=""), [x]) != a
        assert store.add_external(dict(DESCRIPTOR, extra="ignored"), [x]) == a


class TestConversionErrors:
    def test_missing_node(self, store):
        store.add_source("x")
        with pytest.raises(ValueError, match="^no node with id 5$"):
            store.add_op("f", [0, 5, 7])
        assert store.node_count() == 1

    @pytest.mark.parametrize(
        "inputs, error, message",
        [
            ("01", TypeError, "expected a sequence of node ids, got str"),
            ([-1], OverflowError, None),
            ([2**64], OverflowError, None),
            ([0.5], TypeError, None),
            (5, TypeError, None),
            ({0}, TypeError, None),
        ],
    )
    def test_bad_inputs(self, store, inputs, error, message):
        store.add_source("x")
        with pytest.raises(error) as excinfo:
            store.add_op("f", inputs)
        assert message is None or str(excinfo.value) == message
        assert notes(excinfo) == ["while processing 'inputs'"]
        assert store.node_count() == 1

    def test_bad_name(self, store):
        with pytest.raises(TypeError) as excinfo:
            store.add_source(3)
        assert notes(excinfo) == ["while processing 'name'"]
        with pytest.raises(UnicodeEncodeError) as excinfo:
            store.add_source("\ud800")
        assert notes(excinfo) == ["while processing 'name'"]

    @pytest.mark.parametrize(
        "params, message",
        [
            ([("a", 1)], "params must be a dict or None"),
            ({"a": None}, "param values must be int, float, bool, or str"),
            ({"a": [1]}, "param values must be int, float, bool, or str"),
            ({"a": 2**2000}, "param values must be int, float, bool, or str"),
        ],
    )
    def test_bad_params(self, store, params, message):
        with pytest.raises(TypeError) as excinfo:
            store.add_source("x", params)
        assert str(excinfo.value) == message
        typed = [f"key 'a': {type(params['a']).__name__}"] if isinstance(params, dict) else []
        assert notes(excinfo) == ["while processing 'params'", *typed]
        assert store.node_count() == 0

    def test_non_str_param_key(self, store):
        with pytest.raises(TypeError):
            store.add_source("x", {1: 1})

    def test_errors_from_user_conversions_propagate(self, store):
        class Broken:
            def __index__(self):
                raise RuntimeError("boom")

        with pytest.raises(RuntimeError, match="boom"):
            store.add_source("x", {"a": Broken()})
        with pytest.raises(RuntimeError, match="boom") as excinfo:
            store.add_op("f", [Broken()])
        assert notes(excinfo) == ["while processing 'inputs'"]
        assert store.node_count() == 0

    def test_descriptor_errors(self, store):
        with pytest.raises(TypeError) as excinfo:
            store.add_external(("model",), [])
        assert str(excinfo.value) == "descriptor must be a PayloadDescriptor or dict"
        with pytest.raises(ValueError) as excinfo:
            store.add_external({"kind": "model"}, [])
        assert str(excinfo.value) == "descriptor missing required field 'content_hash'"
        with pytest.raises(TypeError):
            store.add_external(dict(DESCRIPTOR, version=2), [])
        with pytest.raises(TypeError):
            store.add_external(dict(DESCRIPTOR, preprocessing_ref=1), [])
        assert store.node_count() == 0

    def test_argument_binding(self, store):
        with pytest.raises(TypeError, match="missing required argument 'inputs'"):
            store.add_op("f")
        with pytest.raises(TypeError, match="unexpected keyword argument 'nme'"):
            store.add_op("f", [], nme=1)
        with pytest.raises(TypeError, match="multiple values for argument 'name'"):
            store.add_op("f", [], name="g")
        with pytest.raises(TypeError):
            store.add_op("f", [], None, 4)
        with pytest.raises(TypeError):
            tc.GraphStore(1)
        with pytest.raises(TypeError):
            store.node_count(1)
        assert store.add_op(inputs=[], name="f", params={"k": 1}) == 0


class TestPayloadDescriptor:
    def test_fields(self):
        d = tc.PayloadDescriptor(**DESCRIPTOR)
        assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema) == tuple(DESCRIPTOR.values())
        assert d.preprocessing_ref is None
        assert tc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref=None).preprocessing_ref is None
        assert tc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p").preprocessing_ref == "p"

    def test_is_immutable(self):
        d = tc.PayloadDescriptor(**DESCRIPTOR)
        with pytest.raises(AttributeError):
            d.kind = "other"
        with pytest.raises(AttributeError):
            d.extra = 1
        with pytest.raises(TypeError):
            type("Sub", (tc.PayloadDescriptor,), {})

    # Each variant differs from DESCRIPTOR in one field; an absent preprocessing_ref differs from "".
    VARIANTS = [dict(DESCRIPTOR, **{field: DESCRIPTOR[field] + "x"}) for field in DESCRIPTOR] + [
        dict(DESCRIPTOR, preprocessing_ref=""), dict(DESCRIPTOR, preprocessing_ref="p")]

    def test_equality_and_hash_follow_all_six_fields(self):
        d = tc.PayloadDescriptor(**DESCRIPTOR)
        same = tc.PayloadDescriptor(**DESCRIPTOR, preprocessing_ref=None)
        assert d == same and not d != same and hash(d) == hash(same) and d is not same
        others = [tc.PayloadDescriptor(**v) for v in self.VARIANTS]
        for other in others:
            assert d != other and not d == other
        assert len({d, same, *others}) == 1 + len(others)
        assert {d: 1}[same] == 1
        # Not equal to its fields in another form, and not ordered.
        assert d != DESCRIPTOR and d != tuple(DESCRIPTOR.values())
        with pytest.raises(TypeError):
            d < same  # noqa: B015

    def test_repr_evaluates_back(self):
        tricky = dict(kind="onnx", content_hash="it's \"quoted\"\n", framework="ünïcode",
                      version="\\", io_schema="f64[n]->f64[n]")
        for fields in (DESCRIPTOR, dict(DESCRIPTOR, preprocessing_ref="p"), tricky):
            d = tc.PayloadDescriptor(**fields)
            assert eval(repr(d), {"PayloadDescriptor": tc.PayloadDescriptor}) == d
        assert repr(tc.PayloadDescriptor(**DESCRIPTOR)) == (
            "PayloadDescriptor(kind='model', content_hash='abc', framework='torch', version='2.1', "
            "io_schema='f32', preprocessing_ref=None)")

    def test_pickle_and_copies_are_equal_values(self):
        for fields in (DESCRIPTOR, dict(DESCRIPTOR, preprocessing_ref="p")):
            d = tc.PayloadDescriptor(**fields)
            clones = [copy.copy(d), copy.deepcopy(d), copy.deepcopy([d, d])[0]]
            clones += [pickle.loads(pickle.dumps(d, p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
            for clone in clones:
                assert type(clone) is tc.PayloadDescriptor and clone == d and hash(clone) == hash(d)
                assert clone.preprocessing_ref == d.preprocessing_ref
        # A copy records the same External node as the original.
        store = tc.GraphStore()
        x = store.add_source("x")
        d = tc.PayloadDescriptor(**DESCRIPTOR)
        assert store.add_external(pickle.loads(pickle.dumps(d)), [x]) == store.add_external(d, [x])

    def test_construction_errors(self):
        with pytest.raises(TypeError):
            tc.PayloadDescriptor("model")
        with pytest.raises(TypeError, match="kind"):
            tc.PayloadDescriptor(content_hash="", framework="", version="", io_schema="")
        with pytest.raises(TypeError) as excinfo:
            tc.PayloadDescriptor(**dict(DESCRIPTOR, framework=1))
        assert notes(excinfo) == ["while processing 'framework'"]
