"""A small numpy interpreter of the node view (`GraphStore.nodes()`).

It gives every node kind a numpy meaning and runs a graph on arrays: sources, external payloads,
exchanges and joins come from an `Environment` the caller supplies; elementwise ops and reductions
are built in; a fused stage runs member by member through its ("input", i) / ("member", j)
references. Running the recorded and the reduced graph of one program on the same environment
shows whether the reduction kept the program's meaning.
"""
from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Protocol

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from tarnvel_core import Descriptor, Member, NodeView, ParamValue

Array = npt.NDArray[np.float64]
Params = Mapping[str, "ParamValue"]

BINARY: dict[str, Callable[[Array, Array], Array]] = {
    "add": np.add,
    "sub": np.subtract,
    "mul": np.multiply,
    "div": np.divide,
    "maximum": np.maximum,
    "minimum": np.minimum,
}
UNARY: dict[str, Callable[[Array], Array]] = {
    "neg": np.negative,
    "abs": np.abs,
    "exp": np.exp,
    "log": np.log,
    "sqrt": np.sqrt,
}
REDUCTIONS: dict[str, Callable[..., Array]] = {
    "sum": np.sum,
    "mean": np.mean,
    "max": np.max,
    "min": np.min,
}


class Environment(Protocol):
    """What the interpreter cannot know by itself: where data comes from and what payloads do."""

    def source(self, name: str, params: Params) -> Array: ...

    def external(self, descriptor: Descriptor, params: Params, args: list[Array]) -> Array: ...

    def exchange(self, params: Params, args: list[Array]) -> Array: ...

    def join(self, params: Params, args: list[Array]) -> Array: ...


def apply_op(name: str, params: Params, args: Sequence[Array]) -> Array:
    """An elementwise op; `scalar` makes a binary op unary, with the scalar on `side` "r" or "l"."""
    if "scalar" in params:
        if len(args) != 1:
            raise ValueError(f"op {name!r} with a scalar takes one input, got {len(args)}")
        scalar = np.float64(_number(params, "scalar"))
        side = params.get("side", "r")
        if side not in ("l", "r"):
            raise ValueError(f"op {name!r}: side must be 'l' or 'r', got {side!r}")
        fn, x = _lookup(BINARY, name, "binary op"), args[0]
        return fn(np.full_like(x, scalar), x) if side == "l" else fn(x, np.full_like(x, scalar))
    if len(args) == 1:
        return _lookup(UNARY, name, "unary op")(args[0])
    if len(args) == 2:
        return _lookup(BINARY, name, "binary op")(args[0], args[1])
    raise ValueError(f"op {name!r} takes one or two inputs, got {len(args)}")


def apply_reduction(name: str, params: Params, args: Sequence[Array]) -> Array:
    """A reduction of one input, over the int parameter `axis` (all axes when it is absent)."""
    if len(args) != 1:
        raise ValueError(f"reduction {name!r} takes one input, got {len(args)}")
    fn = _lookup(REDUCTIONS, name, "reduction")
    axis = int(_number(params, "axis")) if "axis" in params else None
    return np.asarray(fn(args[0], axis=axis), dtype=np.float64)


def run_stage(members: Sequence[Member], inputs: Sequence[Array]) -> Array:
    """A fused stage: each member reads stage inputs or earlier members; the last one is the result."""
    results: list[Array] = []
    for member in members:
        operands = [inputs[i] if tag == "input" else results[i] for tag, i in member["inputs"]]
        run = apply_op if member["kind"] == "op" else apply_reduction
        results.append(run(member["name"], member["params"], operands))
    if not results:
        raise ValueError("a stage has at least one member")
    return results[-1]


def apply(node: NodeView, args: list[Array], env: Environment) -> Array:
    """The value of one node, given the values of its inputs."""
    kind, params = node["kind"], node["params"]
    if kind == "source":
        return env.source(node["name"], params)
    if kind == "op":
        return apply_op(node["name"], params, args)
    if kind == "reduction":
        return apply_reduction(node["name"], params, args)
    if kind == "stage":
        return run_stage(node["members"], args)
    if kind == "external":
        return env.external(node["descriptor"], params, args)
    if kind == "exchange":
        return env.exchange(params, args)
    if kind == "join":
        return env.join(params, args)
    raise ValueError(f"node {node['id']}: unknown kind {kind!r}")


def evaluate(nodes: Sequence[NodeView], env: Environment) -> list[Array]:
    """The value of every node, in id order."""
    values: list[Array] = []
    for node in nodes:
        values.append(apply(node, [values[i] for i in node["inputs"]], env))
    return values


def run(nodes: Sequence[NodeView], outputs: Sequence[int], env: Environment) -> list[Array]:
    """The values of the given output nodes, in order."""
    values = evaluate(nodes, env)
    return [values[o] for o in outputs]


def _number(params: Params, key: str) -> float:
    value = params[key]
    if isinstance(value, str):
        raise ValueError(f"parameter {key!r} must be a number, got {value!r}")
    return value


def _lookup(table: Mapping[str, Callable[..., Array]], name: str, what: str) -> Callable[..., Array]:
    try:
        return table[name]
    except KeyError:
        raise ValueError(f"unknown {what} {name!r}") from None
