"""Run a reduced graph on a Dask cluster, where a program outgrows one machine.

`lower` turns a node view (`GraphStore.nodes()`) into a Dask task graph over partitions of rows:

- a source is read from the demo's in-memory columns and split into SOURCE_PARTITIONS row ranges;
- an op, a fused stage (its members in order, in one task) or an external payload (row by row,
  as the demo's model is) runs partition by partition when its inputs are partitioned alike, and
  as one task on whole values otherwise;
- an exchange repartitions its input into its `partitions` (row i goes to partition
  i % partitions), each new partition one task reading every old one;
- a join merges partitions: each partition of its left input is paired with the rows of its right
  input at the same positions;
- a reduction is one task over every partition of its input.

What each node computes is examples/interpret.py's meaning, applied to partitions, so the cluster
computes what the interpreter does. `main` runs the demo's program, reduced, on a local cluster of
worker processes and compares its outputs with the interpreter's run of the recorded graph.

Run from the repository root: `python examples/run_on_dask.py` (needs dask and distributed, which
the development environments have; the module itself does not depend on them).
"""
from __future__ import annotations

import functools
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from demo import Warehouse, record
from interpret import Array, Environment, apply, run

if TYPE_CHECKING:
    from tarnvel_core import NodeView

SOURCE_PARTITIONS = 4

Key = tuple[str, int, int]  # ("node", node id, partition) or ("output", position, 0)
Graph = dict[Key, tuple[object, ...]]


@dataclass(frozen=True)
class Partitioned:
    """A node's value as tasks: one key per partition, in row order. Values of equal layout have
    partitions of equal lengths, row for row."""

    keys: list[Key]
    layout: Hashable


def lower(nodes: Sequence[NodeView], outputs: Sequence[int], env: Environment) -> tuple[Graph, list[Key]]:
    """The Dask graph of `nodes` and the keys of the whole values of `outputs`, in order."""
    graph: Graph = {}
    lowered: list[Partitioned] = []
    for node in nodes:
        lowered.append(_lower_node(node, [lowered[i] for i in node["inputs"]], env, graph))
    output_keys: list[Key] = []
    for position, output in enumerate(outputs):
        key: Key = ("output", position, 0)
        graph[key] = (whole, *lowered[output].keys)
        output_keys.append(key)
    return graph, output_keys


def _lower_node(node: NodeView, inputs: list[Partitioned], env: Environment, graph: Graph) -> Partitioned:
    node_id, kind = node["id"], node["kind"]

    def key(partition: int) -> Key:
        return ("node", node_id, partition)

    if kind == "source":
        read = functools.partial(read_rows, env, node, SOURCE_PARTITIONS)
        for p in range(SOURCE_PARTITIONS):
            graph[key(p)] = (read, p)
        # The demo's columns are all one table's: their row ranges line up.
        return Partitioned([key(p) for p in range(SOURCE_PARTITIONS)], "table rows")
    if kind == "exchange":
        (source,) = inputs
        count = int(node["params"]["partitions"])
        for p in range(count):
            graph[key(p)] = (functools.partial(repartition, p, count), *source.keys)
        return Partitioned([key(p) for p in range(count)], ("exchange", node_id))
    if kind == "join":
        left, right = inputs
        if left.layout != right.layout:
            offsets: Key = ("node", node_id, -1)  # where each left partition starts
            graph[offsets] = (row_offsets, *left.keys)
            for p, left_key in enumerate(left.keys):
                graph[key(p)] = (functools.partial(join_at, env, node, p), offsets, left_key, *right.keys)
            return Partitioned([key(p) for p in range(len(left.keys))], left.layout)
    elementwise = kind in ("op", "stage", "external", "join")
    if elementwise and inputs and len({i.layout for i in inputs}) == 1:
        compute = functools.partial(apply_to, env, node)
        for p in range(len(inputs[0].keys)):
            graph[key(p)] = (compute, *(i.keys[p] for i in inputs))
        return Partitioned([key(p) for p in range(len(inputs[0].keys))], inputs[0].layout)
    # A reduction, or inputs partitioned differently: one task on whole values.
    counts = [len(i.keys) for i in inputs]
    graph[key(0)] = (functools.partial(apply_to_whole, env, node, counts), *(k for i in inputs for k in i.keys))
    return Partitioned([key(0)], ("whole", node_id))


# The tasks. Worker processes import them from this module and examples/interpret.py.


def whole(*partitions: Array) -> Array:
    """A value from its partitions in row order; a one-partition value as it is (it may be 0-d)."""
    return partitions[0] if len(partitions) == 1 else np.concatenate(partitions)


def apply_to(env: Environment, node: NodeView, *args: Array) -> Array:
    return apply(node, list(args), env)


def apply_to_whole(env: Environment, node: NodeView, counts: list[int], *partitions: Array) -> Array:
    args, start = [], 0
    for count in counts:
        args.append(whole(*partitions[start:start + count]))
        start += count
    return apply(node, args, env)


def read_rows(env: Environment, node: NodeView, count: int, partition: int) -> Array:
    return np.array_split(apply(node, [], env), count)[partition]


def repartition(partition: int, count: int, *partitions: Array) -> Array:
    return whole(*partitions)[partition::count]


def row_offsets(*partitions: Array) -> list[int]:
    offsets = [0]
    for partition in partitions:
        offsets.append(offsets[-1] + len(partition))
    return offsets


def join_at(env: Environment, node: NodeView, partition: int, offsets: list[int], left: Array, *right: Array) -> Array:
    start = offsets[partition]
    return apply(node, [left, whole(*right)[start:start + len(left)]], env)


def local_cluster() -> Any:
    """A small cluster on this machine: 2 worker processes of 1 thread each."""
    # dask leaves its cluster and client untyped; where it is absent there is nothing to check.
    from dask.distributed import LocalCluster  # type: ignore[import-not-found, unused-ignore]

    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True,  # type: ignore[no-untyped-call, unused-ignore]
                        dashboard_address=None)


def compute(client: Any, nodes: Sequence[NodeView], outputs: Sequence[int], env: Environment) -> list[Array]:
    """The values of `outputs`, computed on the cluster `client` is connected to."""
    graph, keys = lower(nodes, outputs, env)
    results: list[Array] = client.get(graph, keys)
    return results


def main() -> None:
    from dask.distributed import Client  # type: ignore[import-not-found, unused-ignore]

    program = record()
    reduced, _ = program.store.reduce(outputs=program.outputs)
    env = Warehouse()
    with local_cluster() as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call, unused-ignore]
        print(f"\nrunning the reduced graph's {reduced.node_count()} nodes as "
              f"{len(lower(reduced.nodes(), reduced.outputs(), env)[0])} Dask tasks on {cluster}")
        results = compute(client, reduced.nodes(), reduced.outputs(), env)
    expected = run(program.store.nodes(), program.outputs, env)
    for output, got, want in zip(program.outputs, results, expected, strict=True):
        print(f"output {output}: {np.array2string(got, precision=4)}, "
              f"the same as examples/interpret.py gives: {np.array_equal(got, want)}")


if __name__ == "__main__":
    main()
