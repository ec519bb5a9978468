"""The latency section of bench/bench.py: what one reduction of a small program costs.

Each program is timed as the best of several rounds of many calls, taking turns round by round with
`cone()` of the same program (dead code elimination alone, the floor a reduction is held to) and
with Dask's `cull` + `fuse` of the same program translated to a Dask graph.
"""
from __future__ import annotations

import gc
import operator
import time

import tarnvel_core as tc

# Aim for rounds of about this long, so that the timer's resolution and one-off stalls vanish.
ROUND_SECONDS = 0.02


def calls_per_round(fn) -> int:
    """How many calls of fn fill about ROUND_SECONDS."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= ROUND_SECONDS / 4 or calls >= 1 << 20:
            return max(1, int(calls * ROUND_SECONDS / max(elapsed, 1e-9)))
        calls *= 2


def best_per_call(fns: list, rounds: int) -> list[float]:
    """Seconds per call of each of fns: the best of `rounds` rounds of enough calls to fill
    ROUND_SECONDS. The functions take turns round by round, so that a machine busy with other
    work slows them alike rather than whichever happened to run then."""
    counts = [calls_per_round(fn) for fn in fns]
    best = [float("inf")] * len(fns)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for k, (fn, calls) in enumerate(zip(fns, counts)):
                start = time.perf_counter()
                for _ in range(calls):
                    fn()
                best[k] = min(best[k], (time.perf_counter() - start) / calls)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def chain(n: int):
    """n nodes: two sources, then n - 2 two-input ops, each over the previous node and an earlier
    one. The last node is the output. Returns the store, the outputs and the Dask graph."""
    funcs = {"add": operator.add, "mul": operator.mul, "sub": operator.sub, "maximum": max}
    names = tuple(funcs)
    store = tc.GraphStore()
    dsk: dict = {}
    ids = [store.add_source("x"), store.add_source("y")]
    for node in ids:
        dsk[f"n{node}"] = (int,)
    for i in range(n - 2):
        name = names[i % len(names)]
        inputs = [ids[-1], ids[-2 - (i % 3) if len(ids) > 2 + (i % 3) else 0]]
        node = store.add_op(name, inputs)
        dsk[f"n{node}"] = (funcs[name], *(f"n{j}" for j in inputs))
        ids.append(node)
    return store, [ids[-1]], dsk


def mixed(n: int):
    """n nodes: two sources, a short chain of ops on each, an exchange of the first chain's end, a
    join of the exchange and the second chain, and ops after the join (the single-use runs fuse
    into stages). The last node is the output."""
    store = tc.GraphStore()
    dsk: dict = {}

    def note(node, func, inputs):
        dsk[f"n{node}"] = (func, *(f"n{j}" for j in inputs))
        return node

    def op(name, inputs, params=None):
        func = {"add": operator.add, "mul": operator.mul, "neg": operator.neg, "abs": abs}[name]
        return note(store.add_op(name, inputs, params), func, inputs)

    a = note(store.add_source("a"), int, [])
    b = note(store.add_source("b"), int, [])
    ops_before = max(n - 5, 2) // 3  # on each side of the join
    for i in range(ops_before):
        a = op("neg" if i % 2 else "abs", [a])
        b = op("add", [b, b]) if i % 2 else op("mul", [b], {"scalar": 2.0, "side": "r"})
    exchanged = note(store.add_exchange([a], {"key": "k"}), list, [a])
    joined = note(store.add_join([exchanged, b], {"on": "k"}), list, [exchanged, b])
    head = joined
    while store.node_count() < n:
        head = op("neg" if store.node_count() % 2 else "abs", [head])
    return store, [head], dsk


def run(rounds: int) -> None:
    try:
        from dask.optimization import cull, fuse
    except ImportError:
        cull = fuse = None
    shapes = [("chain", chain, (3, 12, 102)), ("mixed", mixed, (12, 102))]
    rows = []
    for shape, build, sizes in shapes:
        for n in sizes:
            store, outputs, dsk = build(n)
            fns = [lambda: store.cone(outputs=outputs), lambda: store.reduce(outputs=outputs)]
            if cull is not None:
                keys = [f"n{o}" for o in outputs]

                def dask_peer():
                    culled, _ = cull(dsk, keys)
                    fuse(culled, keys=keys)
                fns.append(dask_peer)
            times = best_per_call(fns, rounds)
            t_cone, t_reduce = times[0], times[1]
            t_dask = times[2] if cull is not None else None
            rows.append((shape, store.node_count(), t_cone, t_reduce, t_dask))

    store, outputs, _ = chain(3)
    reducer = tc.IncrementalReducer()
    reducer.step(store)
    t_cone3, t_finalize, t_report = best_per_call([
        lambda: store.cone(outputs=outputs),
        lambda: reducer.finalize(store, outputs=outputs),
        lambda: store.reduction_report(outputs=outputs),
    ], rounds)

    us = lambda t: f"{t * 1e6:8.2f}"
    print(f"\nlatency of one call, best of {rounds} rounds of ~{ROUND_SECONDS * 1e3:.0f} ms, in us "
          "(targets: reduce <= 5x cone; reduce faster than Dask)")
    print(f"  {'shape':<6} {'nodes':>5}  {'cone()':>8}  {'reduce()':>8}  {'Dask':>8}  "
          f"{'reduce/cone':>11}  {'Dask/reduce':>11}")
    for shape, nodes, t_cone, t_reduce, t_dask in rows:
        dask_time = us(t_dask) if t_dask is not None else f"{'-':>8}"
        dask_ratio = f"{t_dask / t_reduce:10.2f}x" if t_dask is not None else f"{'-':>11}"
        print(f"  {shape:<6} {nodes:>5}  {us(t_cone)}  {us(t_reduce)}  {dask_time}  "
              f"{t_reduce / t_cone:10.2f}x  {dask_ratio}")
    print(f"  3-node chain: cone() {us(t_cone3)}, IncrementalReducer.finalize {us(t_finalize)} "
          f"({t_finalize / t_cone3:.2f}x cone, target <= 5x), reduction_report {us(t_report)} "
          f"({t_report / t_cone3:.2f}x cone, target <= 5x)")
