"""tarnvel_core in one run: record a dataflow program, reduce it, store it, check it, draw it.

Run from the repository root with `make demo`, or `python examples/demo.py [--out DIR]`.
The program scores orders: it reads order columns, cleans them with elementwise ops (two of which
compute the same product with swapped operands, two of which are identities), calls an ONNX model,
shuffles the scores by region, joins region weights and sums. It also leaves two columns that no
output reads. The graphs before and after reduction are written to out/demo/ as DOT, SVG and PNG.
"""
from __future__ import annotations

import argparse
import shutil
import subprocess
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

import tarnvel_core as tc
from interpret import Array, Params, run

if TYPE_CHECKING:
    from tarnvel_core import Descriptor, Landing, NodeView, ReductionReport

ROWS = 1_000
ORDERS = "warehouse/orders.parquet"


@dataclass
class Program:
    store: tc.GraphStore = field(default_factory=tc.GraphStore)
    reducer: tc.IncrementalReducer = field(default_factory=tc.IncrementalReducer)
    outputs: list[int] = field(default_factory=list)
    notes: dict[int, str] = field(default_factory=dict)  # what the demo wants a reader to notice

    def step(self, what: str) -> None:
        consumed = self.reducer.step(self.store)
        print(f"  step after {what:<28} consumed {consumed:>2} new nodes; "
              f"canonical form now {self.reducer.canonical_count():>2} nodes")


def record() -> Program:
    p = Program()
    s = p.store
    amount = s.add_source("orders.amount", {"path": ORDERS, "column": "amount"})
    fx = s.add_source("orders.fx_rate", {"path": ORDERS, "column": "fx_rate"})
    discount = s.add_source("orders.discount", {"path": ORDERS, "column": "discount"})
    usd = s.add_op("mul", [amount, fx])
    usd_again = s.add_op("mul", [fx, amount])
    p.notes[usd_again] = f"same product as {usd}, operands swapped"
    net = s.add_op("sub", [usd, discount])
    filled = s.add_op("add", [net], {"scalar": 0.0, "side": "r"})
    p.notes[filled] = "x + 0.0, an identity"
    clipped = s.add_op("maximum", [filled], {"scalar": 0.0, "side": "r"})
    thousands = s.add_op("mul", [clipped], {"scalar": 0.001, "side": "r"})
    p.step("cleaning the columns")

    model = tc.PayloadDescriptor(kind="onnx", content_hash="sha256:4be1c07d", framework="onnxruntime",
                                 version="1.18.0", io_schema="(f64[n], f64[n]) -> f64[n]",
                                 preprocessing_ref="features/v3")
    unit = s.add_op("mul", [usd_again], {"scalar": 1.0, "side": "l"})
    p.notes[unit] = "1.0 * x, an identity"
    score = s.add_external(model, [thousands, unit], {"batch_size": 4096})
    debug = s.add_op("abs", [net])
    p.notes[debug] = "dead code: no output reads it"
    p.step("the model call")

    by_region = s.add_exchange([score], {"scheme": "hash", "key": "region", "partitions": 8})
    weight = s.add_source("regions.weight", {"path": "warehouse/regions.parquet", "column": "weight"})
    joined = s.add_join([by_region, weight], {"how": "left", "on": "region"})
    scored = s.add_reduction("sum", [joined], {"axis": 0})
    revenue = s.add_reduction("sum", [thousands])
    average = s.add_reduction("mean", [usd_again])
    p.notes[average] = "dead code: no output reads it"
    p.step("the exchange, join and sums")
    p.outputs = [scored, revenue]
    for output in p.outputs:
        p.notes[output] = "output"
    return p


class Warehouse:
    """The demo's numpy meaning of what lies outside the graph: columns, the model, the shuffle."""

    def source(self, name: str, params: Params) -> Array:
        rng = np.random.default_rng(zlib.crc32(name.encode()))  # the same column every run
        return rng.lognormal(3.0, 1.0, ROWS) if name == "orders.amount" else rng.uniform(0.5, 1.5, ROWS)

    def external(self, descriptor: Descriptor, params: Params, args: list[Array]) -> Array:
        logit = np.array([40.0, -0.05]) @ np.stack(args)  # a fixed logistic model stands in for ONNX
        return np.asarray(1.0 / (1.0 + np.exp(-logit)), dtype=np.float64)

    def exchange(self, params: Params, args: list[Array]) -> Array:
        (rows,) = args  # rows move to partition i % partitions, partitions concatenated in order
        order = np.argsort(np.arange(len(rows)) % int(params["partitions"]), kind="stable")
        return rows[order]

    def join(self, params: Params, args: list[Array]) -> Array:
        return np.column_stack(args)  # rows paired by position


def describe(node: NodeView) -> str:
    if "members" in node:
        return " -> ".join(m["name"] for m in node["members"])
    if "descriptor" in node:
        return node["descriptor"]["kind"]
    return node["name"]


def show_nodes(nodes: list[NodeView], notes: dict[int, str]) -> None:
    for node in nodes:
        what = describe(node)
        params = ", ".join(f"{k}={v!r}" for k, v in node["params"].items())
        note = f"  <- {notes[node['id']]}" if node["id"] in notes else ""
        print(f"  {node['id']:>3}  {node['kind']:<9} {what:<22} {str(node['inputs']):<9} {params}{note}")


def show_report(report: ReductionReport) -> None:
    rows = [
        ("input_nodes", report["input_nodes"], "nodes recorded"),
        ("reachable_nodes", report["reachable_nodes"], "nodes some output needs (the rest is dead code)"),
        ("canonical_nodes", report["canonical_nodes"], "nodes left once equal nodes are merged"),
        ("stages", report["stages"], "fused stages of elementwise ops"),
        ("boundary_nodes", report["boundary_nodes"], "sources, reductions, externals, exchanges, joins"),
        ("reduced_nodes", report["reduced_nodes"], "nodes of the reduced graph: stages + boundary nodes"),
    ]
    print(f"  {'counter':<16} {'value':>5}  meaning")
    for key, value, meaning in rows:
        print(f"  {key:<16} {value:>5}  {meaning}")


def show_node_map(node_map: list[Landing], recorded: list[NodeView]) -> None:
    seen: dict[tuple[int, int | None], int] = {}
    kinds = {"boundary": 0, "member": 0, "merged": 0, "dropped": 0}
    for old, landing in enumerate(node_map):
        name = describe(recorded[old]) or recorded[old]["kind"]
        if landing is None:
            kinds["dropped"] += 1
            where = "dropped: dead code"
        elif landing in seen:
            kinds["merged"] += 1
            where = f"merged into {seen[landing]}, which is equal to it"
        else:
            seen[landing] = old
            node, member = landing
            kinds["boundary" if member is None else "member"] += 1
            where = f"node {node}" if member is None else f"node {node} (a stage), member {member}"
        print(f"  {old:>3} {name:<16} -> {where}")
    print(f"  {len(node_map)} recorded nodes: {kinds['boundary']} kept as they are, "
          f"{kinds['member']} fused into stages, {kinds['merged']} merged into an equal node, "
          f"{kinds['dropped']} dropped as dead code")


def render(store: tc.GraphStore, out: Path, name: str) -> list[Path]:
    dot_file = out / f"{name}.dot"
    dot_file.write_text(store.to_dot())
    written = [dot_file]
    dot = shutil.which("dot")
    if dot is None:
        return written
    for fmt in ("svg", "png"):
        target = out / f"{name}.{fmt}"
        subprocess.run([dot, f"-T{fmt}", str(dot_file), "-o", str(target)], check=True)
        written.append(target)
    return written


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--out", type=Path, default=Path("out/demo"), help="folder for the graphs")
    out: Path = parser.parse_args().out

    print(f"tarnvel_core {tc.version()} records a dataflow program as a graph, reduces it (dead code "
          "dropped, equal nodes merged,\nop chains fused into stages) and stores it as canonical bytes. "
          "This run does each on a program that scores orders.\n")
    print("1. Recording. Equal nodes share an id; an IncrementalReducer follows the store as it grows:")
    p = record()
    print("  (the reducer keeps dead code for now: which nodes are outputs is known only at the end)")
    recorded = p.store.nodes()
    print(f"\n  the recorded graph, {len(recorded)} nodes "
          f"(id, kind, name, inputs, params; outputs are nodes {p.outputs}):")
    show_nodes(recorded, p.notes)

    print(f"\n2. Reduction: store.reduce(outputs={p.outputs}) returns a new store and this report:")
    reduced, report = p.store.reduce(outputs=p.outputs)
    show_report(report)
    print("\n  the reduced graph (a stage lists its members; they read its inputs and each other):")
    show_nodes(reduced.nodes(), {o: "output" for o in reduced.outputs()})
    print("\n  where each recorded node landed (reduced.node_map()):")
    show_node_map(reduced.node_map(), recorded)

    blob = reduced.serialize()
    again = tc.GraphStore.deserialize(blob)
    print(f"\n3. IR blob: reduced.serialize() gives {len(blob)} bytes starting {blob[:4]!r}; "
          f"round trip byte-identical: {again.serialize() == blob}, "
          f"same nodes: {again.nodes() == reduced.nodes()}")
    incremental, _ = p.reducer.finalize(p.store, outputs=p.outputs)
    print(f"  the IncrementalReducer's finalize gives the same bytes: {incremental.serialize() == blob}")

    print(f"\n4. Meaning: both graphs run by examples/interpret.py on the same {ROWS}-row numpy columns:")
    env = Warehouse()
    before = run(recorded, p.outputs, env)
    landed = []
    for output in p.outputs:
        landing = reduced.node_map()[output]
        assert landing is not None, "an output is never dead code"
        landed.append(landing[0])
    after = run(reduced.nodes(), landed, env)
    equal = [np.array_equal(b, a) for b, a in zip(before, after, strict=True)]
    for old, new, b, same in zip(p.outputs, landed, before, equal, strict=True):
        print(f"  output {old:>2} -> reduced node {new:>2}: {np.array2string(b, precision=4):<24} equal: {same}")
    print(f"  meaning kept at every output: {all(equal)}")

    out.mkdir(parents=True, exist_ok=True)
    # The recorded store has no output marks; its blob can carry them, so the drawing shows them.
    marked = tc.GraphStore.deserialize(p.store.serialize(outputs=p.outputs))
    files = render(marked, out, "before") + render(reduced, out, "after")
    print(f"\n5. Graphs, from to_dot(), before and after reduction, in {out}/:")
    print("  " + ", ".join(f.name for f in files))
    if not shutil.which("dot"):
        print("  (Graphviz's `dot` is not installed, so only the DOT text was written)")


if __name__ == "__main__":
    main()
