"""Per-node costs of every phase at 1M and 10M nodes, on two program shapes, each size measured in a
fresh interpreter so that no size inherits another's heap or caches.

Run through `bench/bench.py --only scale [--scale-sizes N ...]`, or one measurement alone with
`.venv/bin/python bench/scale.py native|python SHAPE NODES ROUNDS` (prints one JSON object).
"""
from __future__ import annotations

import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import tarnvel_core as tc

HERE = Path(__file__).resolve().parent
SHAPES = ("chains", "realistic")


# ---------------------------------------------------------------- the two shapes

def chains(store, n: int) -> list[int]:
    """The reduce benchmark's program: 64 chains of alternating elementwise ops with fan-out,
    commuted duplicates, identity ops and about 5% dead nodes; the chain ends are the outputs."""
    identity = {"scalar": 1.0, "side": "r"}
    per_chain = max(n // 64 // 5, 1)
    outputs = []
    for c in range(64):
        head = store.add_source(f"input{c}", {"chunk": c})
        for i in range(per_chain):
            previous = head - 1 if head > 0 else head
            a = store.add_op("add", [head, previous])
            b = store.add_op("add", [previous, head])
            m = store.add_op("mul", [a, b])
            ident = store.add_op("mul", [m], identity)
            if i % 4 == 0:
                store.add_op("abs", [m])
            head = store.add_op("maximum", [ident, a])
        outputs.append(head)
    return outputs


def realistic(store, n: int) -> list[int]:
    """A program drawn at random: mostly chains of recent results, a quarter of the operands taken
    from anywhere earlier, float parameters on about half the ops, commuted duplicates and identity
    ops now and then, and every few thousand nodes an exchange, a join and a reduction that become
    the outputs."""
    rng = random.Random(20261210)
    unary = ("neg", "exp", "log", "abs")
    binary = ("add", "mul", "sub", "maximum", "minimum", "and")
    scalars = [{"scalar": round(rng.uniform(-4, 4), 3), "side": side} for side in "rl" for _ in range(500)]
    identities = [("add", {"scalar": 0.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]
    sources = [store.add_source("table", {"part": p, "path": f"data/{p}.parquet"}) for p in range(16)]
    last = sources[-1]
    outputs = []
    boundary = 4096
    while store.node_count() < n:
        size = store.node_count()
        operand = (lambda: rng.randrange(size)) if rng.random() < 0.25 else (lambda: size - 1 - rng.randrange(min(size, 16)))
        choice = rng.random()
        if choice < 0.3:
            last = store.add_op(rng.choice(unary), [last], rng.choice(scalars) if rng.random() < 0.5 else None)
        elif choice < 0.85:
            name = rng.choice(binary)
            inputs = [last, operand()]
            if rng.random() < 0.5:
                last = store.add_op(name, inputs, rng.choice(scalars))
            else:
                first = store.add_op(name, inputs)
                last = store.add_op(name, inputs[::-1]) if rng.random() < 0.1 else first
        elif choice < 0.95:
            last = store.add_op("mul", [operand()], rng.choice(scalars))
        else:
            name, params = rng.choice(identities)
            last = store.add_op(name, [last], params)
        if store.node_count() >= boundary:
            boundary += 4096
            exchanged = store.add_exchange([last], {"scheme": "hash", "partitions": 8})
            joined = store.add_join([exchanged, rng.choice(sources)], {"how": "left"})
            last = store.add_reduction("sum", [joined], {"axis": 0})
            outputs.append(last)
    outputs.append(last)
    return outputs


# ---------------------------------------------------------------- recording a program as calls

class Capture:
    """Forwards every recording call to a store and keeps it, with the ids it returned, so that the
    program can be replayed into another target without computing anything."""

    def __init__(self) -> None:
        self.store = tc.GraphStore()
        self.calls: list[tuple] = []

    def node_count(self) -> int:
        return self.store.node_count()

    def add_op(self, name, inputs, params=None):
        self.calls.append((None, name, inputs, params))
        return self.store.add_op(name, inputs, params)

    def __getattr__(self, method):
        forward = getattr(self.store, method)

        def call(*args):
            self.calls.append((method, *args))
            return forward(*args)
        return call


def replay(target, calls, ops_only: bool = False) -> None:
    add_op = target.add_op
    for call in calls:
        if call[0] is None:
            add_op(call[1], call[2], call[3])
        elif not ops_only:
            getattr(target, call[0])(*call[1:])


class PythonRecorder:
    """The peer: an interning recorder in pure Python, a dict from key to id."""

    def __init__(self) -> None:
        self.index: dict[tuple, int] = {}

    def intern(self, key) -> int:
        return self.index.setdefault(key, len(self.index))

    def add_op(self, name, inputs, params=None):
        return self.intern(("op", name, tuple(inputs), tuple(sorted(params.items())) if params else ()))

    def add_source(self, name, params=None):
        return self.intern(("src", name, tuple(sorted(params.items())) if params else ()))

    def add_exchange(self, inputs, params=None):
        return self.intern(("exch", tuple(inputs), tuple(sorted(params.items())) if params else ()))

    def add_join(self, inputs, params=None):
        return self.intern(("join", tuple(inputs), tuple(sorted(params.items())) if params else ()))

    def add_reduction(self, name, inputs, params=None):
        return self.intern(("red", name, tuple(inputs), tuple(sorted(params.items())) if params else ()))


# ---------------------------------------------------------------- measuring one size

def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def peak_rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_peak_rss() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def timed(fn, rounds: int) -> tuple[float, object]:
    """The median time of `rounds` calls and the last call's result."""
    times = []
    result = None
    for _ in range(rounds):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2], result


def captured(shape: str, n: int) -> tuple[Capture, list[int]]:
    capture = Capture()
    outputs = globals()[shape](capture, n)
    return capture, outputs


def measure_python_peer(shape: str, n: int) -> dict:
    capture, _ = captured(shape, n)
    seconds = timed(lambda: replay(PythonRecorder(), capture.calls), 1)[0]
    return {"python_ns_per_node": seconds / len(capture.calls) * 1e9}


# From this size on a program is measured once, without a replayable capture of its calls (which
# alone would outgrow the machine's memory at 100M nodes): see measure_huge.
HUGE = int(os.environ.get("TARNVEL_BENCH_HUGE", 20_000_000))


def measure_huge(shape: str, n: int) -> dict:
    """Recording, reduce(), serialize and deserialize of one program too large to capture, each run
    once, with the peak memory of the process and how the reduction's saturation run stopped. The
    recording figure includes drawing the program in Python. Nothing is held longer than the next
    phase needs, and the saturation probe runs last, on the blob from a file, in its own process."""
    gc.collect()
    before = rss_bytes()
    store = tc.GraphStore()
    start = time.perf_counter()
    outputs = globals()[shape](store, n)
    nodes = store.node_count()
    figures: dict = {"shape": shape, "nodes": nodes, "outputs": len(outputs), "huge": True,
                     "record_with_drawing_ns_per_node": (time.perf_counter() - start) / nodes * 1e9}
    gc.collect()
    figures["store_bytes_per_node"] = (rss_bytes() - before) / nodes
    before = rss_bytes()
    reset_peak_rss()
    start = time.perf_counter()
    reduced, figures["report"] = store.reduce(outputs=outputs)
    t_reduce = time.perf_counter() - start
    figures["reduce_peak_extra_bytes_per_node"] = (peak_rss_bytes() - before) / nodes
    del reduced
    figures["reduce_ns_per_node"] = t_reduce * 1e9 / nodes
    figures["reduce_nodes_per_s"] = nodes / t_reduce
    start = time.perf_counter()
    blob = store.serialize(outputs)
    t_serialize = time.perf_counter() - start
    figures["serialize_ns_per_node"] = t_serialize * 1e9 / nodes
    figures["serialize_gb_per_s"] = len(blob) / t_serialize / 1e9
    del store
    gc.collect()
    start = time.perf_counter()
    loaded = tc.GraphStore.deserialize(blob)
    t_deserialize = time.perf_counter() - start
    figures["deserialize_ns_per_node"] = t_deserialize * 1e9 / nodes
    figures["deserialize_nodes_per_s"] = nodes / t_deserialize
    del loaded
    figures["peak_rss_bytes"] = peak_rss_bytes()
    with tempfile.NamedTemporaryFile(suffix=".blob") as file:
        file.write(blob)
        file.flush()
        del blob
        gc.collect()
        figures["saturation"] = saturation_run_on(file.name)
    return figures


def measure(shape: str, n: int, rounds: int) -> dict:
    """Every figure but the Python peer's. Nothing large is freed before the memory figures are
    taken, so that no phase is measured in memory an earlier one gave back to the allocator."""
    sys.path.insert(0, str(HERE))
    import bench

    capture, outputs = captured(shape, n)
    calls, nodes = capture.calls, capture.store.node_count()
    figures: dict = {"shape": shape, "nodes": nodes, "outputs": len(outputs)}

    gc.collect()
    before = rss_bytes()
    store = tc.GraphStore()
    start = time.perf_counter()
    replay(store, calls)
    figures["record_ns_per_node"] = (time.perf_counter() - start) / len(calls) * 1e9
    gc.collect()
    figures["store_bytes_per_node"] = (rss_bytes() - before) / nodes

    floor = bench.noop_recorder()
    ops = sum(1 for call in calls if call[0] is None)
    figures["floor_ns_per_op"] = timed(lambda: replay(floor, calls, ops_only=True), rounds)[0] / ops * 1e9

    before = rss_bytes()
    reset_peak_rss()
    start = time.perf_counter()
    reduced, report = store.reduce(outputs=outputs)
    t_first = time.perf_counter() - start
    figures["reduce_peak_extra_bytes_per_node"] = (peak_rss_bytes() - before) / nodes
    figures["report"] = report
    if nodes <= VIEW_SIZE_LIMIT:
        measure_views(figures, store, reduced, rounds)
    del reduced
    t_reduce = min(t_first, timed(lambda: store.reduce(outputs=outputs), rounds - 1)[0]) if rounds > 1 else t_first
    figures["reduce_ns_per_node"] = t_reduce * 1e9 / nodes
    figures["reduce_nodes_per_s"] = nodes / t_reduce

    t_serialize, blob = timed(lambda: store.serialize(outputs), rounds)
    figures["serialize_ns_per_node"] = t_serialize * 1e9 / nodes
    figures["serialize_gb_per_s"] = len(blob) / t_serialize / 1e9
    figures["saturation"] = saturation_run(blob)
    t_deserialize, _ = timed(lambda: tc.GraphStore.deserialize(blob), rounds)  # noqa: F821 (runs before the del)
    figures["deserialize_ns_per_node"] = t_deserialize * 1e9 / nodes
    figures["deserialize_nodes_per_s"] = nodes / t_deserialize
    del blob

    def incremental():
        reducer = tc.IncrementalReducer()
        reducer.step(store)
        return reducer.finalize(store, outputs=outputs)[1]
    t_incremental, incremental_report = timed(incremental, rounds)
    figures["incremental_ns_per_node"] = t_incremental * 1e9 / nodes
    figures["incremental_report"] = incremental_report
    return figures


# The node view of a 10M-node program is gigabytes of dicts: the views are measured up to 1M.
VIEW_SIZE_LIMIT = 2_000_000


def measure_views(figures: dict, store, reduced, rounds: int) -> None:
    """nodes() and to_dot() per node of the store they read: the recorded one and its reduction
    (stages with their members). The collector runs as in any program."""
    for which, target in (("recorded", store), ("reduced", reduced)):
        count = target.node_count()
        figures[f"nodes_{which}_ns_per_node"] = timed(target.nodes, rounds)[0] * 1e9 / count
        figures[f"dot_{which}_ns_per_node"] = timed(target.to_dot, rounds)[0] * 1e9 / count


PROBE = HERE.parent / "build" / "bench" / "bench" / "saturation_probe"


def saturation_run(blob: bytes) -> dict | None:
    """How the reduction's saturation run goes (CPU seconds, iterations, stop reason), from the
    C++ probe that `make bench` builds; None without it."""
    if not PROBE.exists():
        return None
    with tempfile.NamedTemporaryFile(suffix=".blob") as file:
        file.write(blob)
        file.flush()
        return saturation_run_on(file.name)


def saturation_run_on(path: str) -> dict | None:
    """saturation_run of the blob in a file."""
    if not PROBE.exists():
        return None
    result = subprocess.run([str(PROBE), path], check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def small_reduce_ns(shape: str, n: int, rounds: int) -> float:
    store = tc.GraphStore()
    outputs = globals()[shape](store, n)
    return timed(lambda: store.reduce(outputs=outputs), rounds)[0] * 1e9 / store.node_count()


# ---------------------------------------------------------------- the report

def measure_fresh(shape: str, n: int, rounds: int) -> dict:
    figures = {}
    for what in ("native",) if n >= HUGE else ("native", "python"):
        result = subprocess.run([sys.executable, str(Path(__file__)), what, shape, str(n), str(rounds)],
                                check=True, capture_output=True, text=True)
        figures.update(json.loads(result.stdout))
    return figures


def run(sizes: list[int], rounds: int, shapes: tuple[str, ...] = SHAPES) -> None:
    for shape in shapes:
        small = {n: small_reduce_ns(shape, n, 25) for n in (1_000, 10_000)}
        results = [measure_fresh(shape, n, rounds) for n in sizes]
        print(f"\nscale, shape '{shape}' (one fresh process per size, median of {rounds})")
        print("  " + "  ".join(f"reduce() at {n:,}: {ns:,.0f} ns/node" for n, ns in small.items()))
        header = f"  {'per input node':<40}" + "".join(f"{r['nodes']:>16,}" for r in results)
        growth = len(results) > 1
        print(header + (f"{'growth':>10}" if growth else ""))
        rows = [
            ("add_op recording (ns)", "record_ns_per_node", "{:,.0f}"),
            ("  with drawing the program (ns)", "record_with_drawing_ns_per_node", "{:,.0f}"),
            ("  no-op floor (ns)", "floor_ns_per_op", "{:,.0f}"),
            ("  pure-Python recorder (ns)", "python_ns_per_node", "{:,.0f}"),
            ("reduce() (ns)", "reduce_ns_per_node", "{:,.0f}"),
            ("serialize (ns)", "serialize_ns_per_node", "{:,.1f}"),
            ("deserialize (ns)", "deserialize_ns_per_node", "{:,.0f}"),
            ("IncrementalReducer step + finalize (ns)", "incremental_ns_per_node", "{:,.0f}"),
            ("store (bytes)", "store_bytes_per_node", "{:,.0f}"),
            ("reduction's peak extra (bytes)", "reduce_peak_extra_bytes_per_node", "{:,.0f}"),
            ("nodes(), recorded (ns)", "nodes_recorded_ns_per_node", "{:,.0f}"),
            ("nodes(), reduced (ns per reduced node)", "nodes_reduced_ns_per_node", "{:,.0f}"),
            ("to_dot(), recorded (ns)", "dot_recorded_ns_per_node", "{:,.0f}"),
            ("to_dot(), reduced (ns per reduced node)", "dot_reduced_ns_per_node", "{:,.0f}"),
        ]
        for label, key, form in rows:
            line = f"  {label:<40}" + "".join(f"{form.format(r[key]) if key in r else '-':>16}" for r in results)
            if growth and all(key in r for r in results):
                line += f"{results[-1][key] / results[0][key]:>9.2f}x"
            print(line)
        for r in results:
            report = r["report"]
            recording = (f"peak memory {r['peak_rss_bytes'] / 2**30:.1f} GiB, " if r.get("huge") else
                         f"add_op {r['record_ns_per_node'] / r['floor_ns_per_op']:.1f}x the floor, "
                         f"Python recorder {r['python_ns_per_node'] / r['record_ns_per_node']:.1f}x slower, ")
            print(f"  at {r['nodes']:,}: {recording}"
                  f"reduce() {r['reduce_nodes_per_s'] / 1e6:.2f} M nodes/s, "
                  f"serialize {r['serialize_gb_per_s']:.2f} GB/s, "
                  f"deserialize {r['deserialize_nodes_per_s'] / 1e6:.2f} M nodes/s, "
                  f"canonical/reachable {report['canonical_nodes']:,}/{report['reachable_nodes']:,}")
            run = r["saturation"]
            print(f"    saturation run: {run['seconds']:.2f} s CPU, {run['iterations']} iterations, "
                  f"stopped: {run['stop_reason']}" if run else
                  "    saturation run: not measured (make bench builds bench/saturation_probe)")


if __name__ == "__main__":
    what, shape, n, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    if what == "python":
        print(json.dumps(measure_python_peer(shape, n)))
    else:
        print(json.dumps(measure_huge(shape, n) if n >= HUGE else measure(shape, n, rounds)))
