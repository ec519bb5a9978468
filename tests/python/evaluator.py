"""A small reference evaluator of the node view: runs a store's `nodes()` on given source values.

Values are Python floats (or lists of floats for reductions' outputs, kept scalar here: every
reduction sums its inputs). Stages run member by member through their references, so the evaluator
checks exactly what a reduced graph means.
"""
from __future__ import annotations

import math

BINARY = {
    "add": lambda a, b: a + b,
    "mul": lambda a, b: a * b,
    "sub": lambda a, b: a - b,
    "maximum": max,
    "minimum": min,
}
UNARY = {"neg": lambda a: -a, "abs": abs}


def apply_op(name: str, params: dict, args: list[float]) -> float:
    if "scalar" in params:
        (x,) = args
        scalar = params["scalar"]
        left = params.get("side") == "l"
        return BINARY[name](scalar, x) if left else BINARY[name](x, scalar)
    if len(args) == 1:
        return UNARY[name](args[0])
    return BINARY[name](*args)


def apply_reduction(name: str, params: dict, args: list[float]) -> float:
    assert name == "sum"
    return math.fsum(args) * params.get("scale", 1)


def evaluate(nodes: list[dict], sources: dict[str, float], outputs: list[int]) -> list[float]:
    values: list[float] = []
    for node in nodes:
        args = [values[i] for i in node["inputs"]]
        kind = node["kind"]
        if kind == "source":
            values.append(sources[node["name"]])
        elif kind == "op":
            values.append(apply_op(node["name"], node["params"], args))
        elif kind == "reduction":
            values.append(apply_reduction(node["name"], node["params"], args))
        elif kind in ("exchange", "join", "external"):
            values.append(math.fsum(args) + len(args))  # opaque, but deterministic in its inputs
        elif kind == "stage":
            results: list[float] = []
            for member in node["members"]:
                operands = [args[i] if tag == "input" else results[i] for tag, i in member["inputs"]]
                run = apply_op if member["kind"] == "op" else apply_reduction
                results.append(run(member["name"], member["params"], operands))
            values.append(results[-1])
        else:
            raise AssertionError(kind)
    return [values[o] for o in outputs]
