"""The type stubs against the module: stubtest, mypy --strict over typed code (what it must accept
and what it must refuse), the shapes of real return values, and the stubs the build installs."""
import __future__

import ast
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import types
import typing
from collections.abc import Callable
from pathlib import Path

import pytest

import tarnvel_core as tc

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "tarnvel_core-stubs" / "__init__.pyi"
requires_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                   reason="mypy is not installed in this environment (pip install mypy)")


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    # MYPYPATH is searched before installed packages, so these checks see the stubs of this
    # checkout even when an older build installed others.
    stubs = tmp_path_factory.mktemp("stubs")
    shutil.copy(STUB, stubs / "tarnvel_core.pyi")
    return {**os.environ, "MYPYPATH": str(stubs)}


def mypy(env: dict[str, str], *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args],
                          env=env, cwd=ROOT, capture_output=True, text=True, timeout=280)


@requires_mypy
def test_stubtest_finds_no_difference(mypy_env: dict[str, str]) -> None:
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tarnvel_core",
                           "--allowlist", str(ROOT / "stubs" / "stubtest-allowlist.txt")],
                          env=mypy_env, cwd=ROOT, capture_output=True, text=True, timeout=280)
    assert done.returncode == 0, done.stdout + done.stderr


@requires_mypy
def test_examples_typed_usage_and_readme_pass_mypy_strict(mypy_env: dict[str, str], tmp_path: Path) -> None:
    readme = (ROOT / "README.md").read_text()
    blocks = re.findall(r"^```python\n(.*?)^```", readme, re.S | re.M)
    (tmp_path / "readme_examples.py").write_text("\n".join(blocks))
    files = [str(p) for p in sorted((ROOT / "examples").glob("*.py"))]
    done = mypy(mypy_env, *files, str(ROOT / "tests" / "python" / "test_typing_usage.py"),
                str(tmp_path / "readme_examples.py"))
    assert done.returncode == 0, done.stdout + done.stderr


MISUSE = '''
import types
import tarnvel_core as tc
store = tc.GraphStore()
x = store.add_source("x")
store.add_op("neg", "0")  # E: a str is not a sequence of ids
store.add_op("neg", [x], [("scalar", 1.0)])  # E: params must be a dict
store.add_op("neg", [x], types.MappingProxyType({"scalar": 1.0}))  # E: only a dict
store.add_op("neg", [x], {"scalar": None})  # E: None is no parameter value
store.add_external({"kind": "onnx"}, [x])  # E: descriptor fields missing
store.reduce([x])  # E: outputs is keyword-only
store.reduce(maximal_fusion=1)  # E: an int is not a bool
tc.GraphStore.deserialize(bytearray(b"TIR1"))  # E: bytes only
tc.IncrementalReducer().finalize(store, [x])  # E: outputs is keyword-only
model = tc.PayloadDescriptor("onnx", "h", "f", "v", "s")  # E: keyword-only
model = tc.PayloadDescriptor(kind="onnx", content_hash="h", framework="f", version="v", io_schema="s")
model.kind = "tf"  # E: read-only
node = store.nodes()[0]
node["descriptor"]["hash"]  # E: no such key
node["members"][0]["kind"] == "reduction"  # E: members say "red"
_, report = store.reduce(outputs=[x])
report["stage"]  # E: no such counter
landing = store.node_map()[0]
landing[0]  # E: an entry may be None
class Mine(tc.GraphStore): ...  # E: final
'''


@requires_mypy
def test_mypy_refuses_what_the_module_refuses(mypy_env: dict[str, str], tmp_path: Path) -> None:
    (tmp_path / "misuse.py").write_text(MISUSE)
    done = mypy(mypy_env, "--strict-equality", "--no-error-summary", str(tmp_path / "misuse.py"))
    flagged = {int(n) for n in re.findall(r"misuse\.py:(\d+): error", done.stdout)}
    expected = {i for i, line in enumerate(MISUSE.splitlines(), 1) if "# E:" in line}
    assert flagged == expected, done.stdout


def load_stub_namespace() -> dict[str, typing.Any]:
    """The stub file executed as Python, so its TypedDicts and annotations become real objects."""
    namespace: dict[str, typing.Any] = {"__name__": "tarnvel_core_stub"}
    code = compile(STUB.read_text(), str(STUB), "exec", flags=__future__.annotations.compiler_flag)
    exec(code, namespace)
    return namespace


def conforms(value: object, hint: object, ns: dict[str, typing.Any]) -> bool:
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is typing.NotRequired:
        return conforms(value, args[0], ns)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arg, ns) for arg in args)
    if origin is typing.Literal:
        return any(type(value) is type(arg) and value == arg for arg in args)
    if origin is list:
        return type(value) is list and all(conforms(v, args[0], ns) for v in value)
    if origin is tuple:
        return (type(value) is tuple and len(value) == len(args)
                and all(conforms(v, a, ns) for v, a in zip(value, args)))
    if origin is dict:
        return type(value) is dict and all(conforms(k, args[0], ns) and conforms(v, args[1], ns)
                                           for k, v in value.items())
    if origin is Callable:
        return callable(value)
    if typing.is_typeddict(hint):
        fields = typing.get_type_hints(hint, globalns=ns, include_extras=True)
        required = {k for k, h in fields.items() if typing.get_origin(h) is not typing.NotRequired}
        return (type(value) is dict and required <= value.keys() <= fields.keys()
                and list(value) == [k for k in fields if k in value]  # keys in the declared order
                and all(conforms(v, fields[k], ns) for k, v in value.items()))
    if hint is None or hint is type(None):
        return value is None
    if hint in (bool, int, float, str, bytes):
        return type(value) is hint
    if isinstance(hint, type):
        return isinstance(value, getattr(tc, hint.__name__))
    raise AssertionError(f"no check for {hint!r}")


def every_kind() -> tuple[tc.GraphStore, list[int]]:
    store = tc.GraphStore()
    x = store.add_source("x", {"rows": 3, "rate": 0.5, "exact": True, "path": "x.csv"})
    y = store.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
    z = store.add_op("abs", [store.add_op("add", [x, y])])
    bare = store.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "v",
                               "io_schema": "s"}, [z])
    model = tc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s",
                                 preprocessing_ref="p")
    out = store.add_reduction("sum", [store.add_join([store.add_exchange([bare]),
                                                      store.add_external(model, [z], {"batch": 8})])])
    store.add_op("neg", [x])  # dead code, so node maps hold None
    return store, [out, z]


def test_every_method_returns_what_its_stub_says() -> None:
    ns = load_stub_namespace()
    store, outputs = every_kind()
    reduced, _ = store.reduce(outputs=outputs)
    reducer = tc.IncrementalReducer()
    model = tc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    calls: dict[str, dict[str, object]] = {
        "GraphStore": {
            "add_source": store.add_source("w"), "add_op": store.add_op("neg", [0]),
            "add_reduction": store.add_reduction("max", [0]), "add_exchange": store.add_exchange([]),
            "add_join": store.add_join([0, 0]), "add_external": store.add_external(store.nodes()[4]["descriptor"], [0]),
            "node_count": store.node_count(), "nodes": reduced.nodes(), "node": reduced.node(1),
            "outputs": reduced.outputs(),
            "node_map": reduced.node_map(), "to_dot": reduced.to_dot(), "reduce": store.reduce(outputs=outputs),
            "reduce_incremental": store.reduce_incremental(outputs=outputs),
            "reduction_report": store.reduction_report(outputs=outputs), "cone": store.cone(outputs=outputs),
            "serialize": reduced.serialize(), "deserialize": tc.GraphStore.deserialize(reduced.serialize()),
            "__reduce__": reduced.__reduce__(), "__repr__": repr(reduced),
        },
        "IncrementalReducer": {
            "step": reducer.step(store), "watermark": reducer.watermark(), "total_work": reducer.total_work(),
            "canonical_count": reducer.canonical_count(), "finalize": reducer.finalize(store, outputs=outputs),
            "__repr__": repr(reducer),
        },
        "PayloadDescriptor": {
            "__eq__": model == model, "__hash__": hash(model), "__repr__": repr(model),
            "__getnewargs_ex__": model.__getnewargs_ex__(),
        },
    }
    assert conforms(tc.version(), typing.get_type_hints(ns["version"], globalns=ns)["return"], ns)
    for cls, results in calls.items():
        declared = {name for name, member in vars(ns[cls]).items()
                    if isinstance(member, (types.FunctionType, classmethod)) and name != "__init__"}
        assert declared == results.keys(), f"{cls}: every stub method is exercised here"
        for name, value in results.items():
            hint = typing.get_type_hints(getattr(ns[cls], name), globalns=ns)["return"]
            assert conforms(value, hint, ns), f"{cls}.{name} returned {value!r}, the stubs say {hint}"
    assert any(n["kind"] == "stage" for n in reduced.nodes()) and None in reduced.node_map()

    for name, prop in vars(ns["PayloadDescriptor"]).items():
        if isinstance(prop, property):
            hint = typing.get_type_hints(prop.fget, globalns=ns)["return"]
            assert conforms(getattr(model, name), hint, ns), name


def test_every_stub_function_and_method_has_a_docstring() -> None:
    # Editors show the stubs' docstrings, also where the module's own methods have none.
    tree = ast.parse(STUB.read_text())
    scopes = [("", tree.body)] + [(f"{c.name}.", c.body) for c in tree.body if isinstance(c, ast.ClassDef)]
    missing = [prefix + item.name for prefix, body in scopes for item in body
               if isinstance(item, ast.FunctionDef) and not ast.get_docstring(item)]
    assert not missing


def test_installed_stubs_are_this_checkouts() -> None:
    installed = Path(tc.__file__).parent / "tarnvel_core-stubs" / "__init__.pyi"
    assert installed.is_file(), f"the build did not install the stubs beside {tc.__file__}"
    assert installed.read_text() == STUB.read_text(), "the installed stubs are older: rebuild the module"
