"""Python-level benchmarks of tarnvel_core beside a floor and a peer, measured side by side.

Every figure is the median of several rounds run in this one process (memory figures come from
fresh subprocesses). Run with `make bench` or
`.venv/bin/python bench/bench.py [--nodes N] [--rounds R] [--only SECTION ...]`; the pathological
section runs its shapes at N/10 and N/5 nodes.
"""
from __future__ import annotations

import argparse
import gc
import importlib.util
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import tarnvel_core as tc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import latency  # noqa: E402  (beside this file)
import scale  # noqa: E402


# ---------------------------------------------------------------- the benchmark graph

def op_calls(n: int) -> list[tuple[str, list[int], dict]]:
    """n add_op calls of two inputs and one parameter over a store holding one source (id 0);
    about a quarter re-record an earlier call. Inputs name ids the store has by then."""
    names = ("add", "mul", "sub", "maximum")
    calls: list[tuple[str, list[int], dict]] = []
    ids: dict[tuple, int] = {}
    for i in range(n):
        if i >= 8 and i % 4 == 3:
            calls.append(calls[(i * 7919) % i])
            continue
        distinct = len(ids) + 1
        a = max(distinct - 1 - (i % 3), 0)
        b = max(distinct - 1 - (i % 7), 0)
        call = (names[i % 4], [a, b], {"k": i % 13})
        ids.setdefault((call[0], a, b, i % 13), distinct)
        calls.append(call)
    return calls


def record(target, calls) -> None:
    add_op = target.add_op
    for name, inputs, params in calls:
        add_op(name, inputs, params)


class PythonRecorder:
    """The peer: an interning recorder in pure Python, a dict from key to id."""

    def __init__(self) -> None:
        self.nodes: list[tuple] = [("src", "x", ())]
        self.index: dict[tuple, int] = {self.nodes[0]: 0}

    def add_op(self, name, inputs, params=None):
        key = ("op", name, tuple(inputs), tuple(sorted(params.items())) if params else ())
        node = self.index.get(key)
        if node is None:
            node = len(self.nodes)
            self.nodes.append(key)
            self.index[key] = node
        return node


def native_store(calls_count: int | None = None) -> tc.GraphStore:
    store = tc.GraphStore()
    store.add_source("x")
    return store


def noop_recorder():
    """Builds the floor extension once per run with this interpreter's headers."""
    out = Path(tempfile.mkdtemp(prefix="tarnvel-bench-"))
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = out / f"noop_module{suffix}"
    include = sysconfig.get_paths()["include"]
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{include}", str(HERE / "noop_module.c"),
                    "-o", str(target)], check=True)
    spec = importlib.util.spec_from_file_location("noop_module", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.Recorder()


# ---------------------------------------------------------------- measuring

def median_seconds(fn, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_node(kind: str, n: int) -> float:
    """Resident bytes per stored node, measured in a fresh interpreter."""
    code = f"""
import gc, sys
sys.path.insert(0, {str(HERE)!r})
import bench
calls = bench.op_calls({n})
gc.collect()
before = bench.rss_bytes()
target = bench.native_store() if {kind!r} == "native" else bench.PythonRecorder()
bench.record(target, calls)
gc.collect()
count = target.node_count() if {kind!r} == "native" else len(target.nodes)
print((bench.rss_bytes() - before) / count)
"""
    result = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return float(result.stdout.strip())


def report(title: str, rows: list[tuple[str, str]]) -> None:
    print(f"\n{title}")
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"  {label:<{width}}  {value}")


def bench_recording(n: int, rounds: int) -> None:
    calls = op_calls(n)
    floor = noop_recorder()
    t_floor = median_seconds(lambda: record(floor, calls), rounds)
    t_native = median_seconds(lambda: record(native_store(), calls), rounds)
    t_python = median_seconds(lambda: record(PythonRecorder(), calls), rounds)
    store = native_store()
    record(store, calls)
    per_call = lambda t: f"{t / n * 1e9:8.1f} ns/call"
    report(f"recording {n:,} add_op calls ({store.node_count():,} distinct nodes), median of {rounds}", [
        ("floor (no-op vectorcall)", per_call(t_floor)),
        ("tarnvel_core add_op", per_call(t_native)),
        ("pure-Python dict recorder", per_call(t_python)),
        ("add_op / floor", f"{t_native / t_floor:8.2f}x   (target <= 3x)"),
        ("Python recorder / add_op", f"{t_python / t_native:8.2f}x   (target >= 8x)"),
        ("memory per stored node, tarnvel_core", f"{memory_per_node('native', n):8.1f} bytes (target <= 128)"),
        ("memory per stored node, Python recorder", f"{memory_per_node('python', n):8.1f} bytes"),
    ])


def bench_blob(n: int, rounds: int) -> None:
    import pickle

    calls = op_calls(n)
    store = native_store()
    record(store, calls)
    peer = PythonRecorder()
    record(peer, calls)
    blob = store.serialize()
    t_serialize = median_seconds(store.serialize, rounds)
    t_deserialize = median_seconds(lambda: tc.GraphStore.deserialize(blob), rounds)
    t_dumps = median_seconds(lambda: pickle.dumps(peer.nodes), rounds)
    pickled = pickle.dumps(peer.nodes)

    def peer_load():
        nodes = pickle.loads(pickled)
        return {key: i for i, key in enumerate(nodes)}

    t_loads = median_seconds(peer_load, rounds)
    big = bytearray(len(blob))
    t_copy = median_seconds(lambda: bytes(big), rounds)
    mb = len(blob) / 1e6
    report(f"IR blob of {store.node_count():,} nodes ({mb:.1f} MB), median of {rounds}", [
        ("serialize", f"{mb / t_serialize:8.0f} MB/s  ({t_serialize * 1e3:.1f} ms)"),
        ("deserialize (re-interns every node)", f"{mb / t_deserialize:8.0f} MB/s  ({t_deserialize * 1e3:.1f} ms)"),
        ("floor: bytes copy of the same size", f"{mb / t_copy:8.0f} MB/s"),
        ("peer: pickle.dumps of the node list", f"{t_dumps * 1e3:8.1f} ms"),
        ("peer: pickle.loads + interning dict", f"{t_loads * 1e3:8.1f} ms"),
        ("pickle.dumps / serialize", f"{t_dumps / t_serialize:8.1f}x  (target >= 25x)"),
        ("serialize / copy floor", f"{t_serialize / t_copy:8.1f}x  (target <= 4x)"),
        ("peer load / deserialize", f"{t_loads / t_deserialize:8.1f}x  (target >= 5x)"),
    ])


def program(n: int, record_step=None):
    """A benchmark program of about n nodes: 64 chains of alternating elementwise ops with fan-out,
    commuted duplicates, identity ops and about 5% dead nodes; the chain ends are the 64 outputs.
    Returns the store, the outputs and the equivalent Dask graph (key -> task tuple)."""
    import operator

    funcs = {"add": operator.add, "mul": operator.mul, "maximum": max, "abs": abs}
    store = tc.GraphStore()
    dsk: dict = {}

    def add(name, inputs, params=None):
        node = store.add_op(name, inputs, params)
        dsk[f"n{node}"] = (funcs[name], *(f"n{i}" for i in inputs))
        if record_step is not None and node % 10_000 == 0:
            record_step(store)
        return node

    chains = 64
    per_chain = max(n // chains // 5, 1)
    outputs = []
    for c in range(chains):
        head = store.add_source(f"input{c}", {"chunk": c})
        dsk[f"n{head}"] = (int,)
        for i in range(per_chain):
            a = add("add", [head, head - 1 if head > 0 else head])
            b = add("add", [head - 1 if head > 0 else head, head])      # commuted duplicate of a
            m = add("mul", [a, b])
            ident = add("mul", [m], {"scalar": 1.0, "side": "r"})       # identity
            if i % 4 == 0:
                add("abs", [m])                                          # dead: nothing reads it
            head = add("maximum", [ident, a])                           # fan-out of a
        outputs.append(head)
    return store, outputs, dsk


def dask_keys(outputs: list[int]) -> list[str]:
    return [f"n{o}" for o in outputs]


def bench_reduce(sizes: list[int], rounds: int) -> None:
    rows = []
    per_node: dict[int, float] = {}
    try:
        from dask.optimization import cull, fuse
    except ImportError:
        cull = fuse = None
    for n in sizes:
        store, outputs, dsk = program(n)
        nodes = store.node_count()
        t_reduce = median_seconds(lambda: store.reduce(outputs=outputs), rounds)
        per_node[n] = t_reduce
        rows.append((f"reduce(), {nodes:,} nodes", f"{t_reduce * 1e3:8.1f} ms  ({nodes / t_reduce / 1e6:.2f} M nodes/s, target >= 1)"))
        if cull is not None:
            keys = dask_keys(outputs)

            def dask_peer():
                culled, _ = cull(dsk, keys)
                fuse(culled, keys=keys)
            t_dask = median_seconds(dask_peer, 1)
            rows.append((f"Dask cull + fuse, {nodes:,} tasks", f"{t_dask * 1e3:8.1f} ms  ({t_dask / t_reduce:.1f}x slower, target >= 15x)"))
    if len(sizes) == 2:
        rows.append(("reduce() growth, 10x nodes", f"{per_node[sizes[1]] / per_node[sizes[0]]:8.1f}x  (target <= 12x)"))
    report(f"reduction, median of {rounds}", rows)


def bench_incremental(n: int, rounds: int) -> None:
    reducer_box: list = []

    def step(store):
        reducer_box[0].step(store)

    def record_plain():
        program(n)

    def record_stepping():
        reducer_box[:] = [tc.IncrementalReducer()]
        store, outputs, _ = program(n, record_step=step)
        return store, outputs

    t_plain = median_seconds(record_plain, rounds)
    t_stepping = median_seconds(record_stepping, rounds)
    store, outputs = record_stepping()
    reducer = reducer_box[0]
    t_finalize = median_seconds(lambda: reducer.finalize(store, outputs=outputs), rounds)
    t_reduce = median_seconds(lambda: store.reduce(outputs=outputs), rounds)
    nodes = store.node_count()
    report(f"incremental reduction of {nodes:,} nodes (a step every 10,000 nodes), median of {rounds}", [
        ("recording alone", f"{t_plain / nodes * 1e9:8.1f} ns/node"),
        ("recording while stepping", f"{t_stepping / nodes * 1e9:8.1f} ns/node  "
                                     f"(+{(t_stepping / t_plain - 1) * 100:.0f}%, target <= 25%)"),
        ("canonical form / store", f"{reducer.canonical_count():,} / {nodes:,} nodes"),
        ("finalize", f"{t_finalize * 1e3:8.1f} ms"),
        ("reduce() of the whole store", f"{t_reduce * 1e3:8.1f} ms  (finalize {t_reduce / t_finalize:.2f}x faster)"),
    ])


# ---------------------------------------------------------------- pathological shapes

def marked(store: tc.GraphStore, outputs: list[int]) -> tc.GraphStore:
    """The store read back from a blob with these output marks, as a program shipped would be."""
    return tc.GraphStore.deserialize(store.serialize(outputs=outputs))


def flood_pairs(n: int) -> tc.GraphStore:
    """n distinct add(a, b) pairs over n // 4 sources, every pair an output."""
    store = tc.GraphStore()
    sources = [store.add_source(f"s{i}") for i in range(max(n // 4, 2))]
    step = len(sources)
    pairs = [store.add_op("add", [sources[i % step], sources[(i // step * 7 + i * 13 + 1) % step]])
             for i in range(n)]
    return marked(store, pairs)


def wide_exchange(n: int, negated: bool) -> tc.GraphStore:
    """One exchange reading n // 2 commuted pairs neg(x + y_i), neg(y_i + x) (or the sums
    themselves), which become equal only through congruence once the sums commute."""
    store = tc.GraphStore()
    x = store.add_source("x")
    reads = []
    for i in range(max(n // (6 if negated else 4), 1)):
        y = store.add_source(f"y{i}")
        for pair in ([x, y], [y, x]):
            total = store.add_op("add", pair)
            reads.append(store.add_op("neg", [total]) if negated else total)
    return marked(store, [store.add_exchange(reads)])


def all_marked(n: int) -> tc.GraphStore:
    store = tc.GraphStore()
    return marked(store, [store.add_source(f"s{i}") for i in range(n)])


def deep_chain(n: int) -> tc.GraphStore:
    store = tc.GraphStore()
    head = store.add_source("x")
    for i in range(n):
        head = store.add_op("neg" if i % 2 else "abs", [head])
    return marked(store, [head])


def wide_join(n: int) -> tc.GraphStore:
    store = tc.GraphStore()
    return marked(store, [store.add_join([store.add_source(f"s{i}") for i in range(n)])])


def many_params(n: int) -> tc.GraphStore:
    store = tc.GraphStore()
    x = store.add_source("x")
    return marked(store, [store.add_op("f", [x], {f"p{i}": i + j for i in range(n // 64)})
                          for j in range(64)])


def long_names(n: int) -> tc.GraphStore:
    store = tc.GraphStore()
    return marked(store, [store.add_source(f"{j}" + "n" * (n * 16 // 64)) for j in range(64)])


# name -> (builder of the input for n, the measured call on it)
PATHOLOGICAL = {
    "hash-cons of crafted-looking pairs: reduce": (flood_pairs, lambda s: s.reduce()),
    "wide exchange over neg(x+y), neg(y+x): reduce": (lambda n: wide_exchange(n, True), lambda s: s.reduce()),
    "wide exchange over x+y, y+x: reduce": (lambda n: wide_exchange(n, False), lambda s: s.reduce()),
    "all sources marked: deserialize": (lambda n: all_marked(n).serialize(), tc.GraphStore.deserialize),
    "all sources marked: to_dot": (all_marked, lambda s: s.to_dot()),
    "all sources marked: reduce": (all_marked, lambda s: s.reduce()),
    "deep chain: reduce": (deep_chain, lambda s: s.reduce()),
    "deep chain: serialize": (deep_chain, lambda s: s.serialize()),
    "wide join: reduce": (wide_join, lambda s: s.reduce()),
    "many params: serialize + deserialize + reduce":
        (many_params, lambda s: tc.GraphStore.deserialize(s.serialize()).reduce()),
    "long names: to_dot + reduce": (long_names, lambda s: (s.to_dot(), s.reduce())),
}


def pathological_peak(name: str, n: int) -> float:
    """Growth of the peak resident size (bytes) while the call runs, in a fresh interpreter: the
    kernel's high-water mark is reset after the input is built (clear_refs 5) and read after."""
    code = f"""
import gc, sys
sys.path.insert(0, {str(HERE)!r})
import bench
build, call = bench.PATHOLOGICAL[{name!r}]
subject = build({n})
gc.collect()
before = bench.rss_bytes()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
call(subject)
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
print(peak - before)
"""
    result = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return float(result.stdout.strip())


def bench_pathological(n: int, rounds: int) -> None:
    """Each shape at n and 2n: both factors near 2 mean linear time and memory."""
    rows = []
    for name, (build, call) in PATHOLOGICAL.items():
        times = []
        peaks = []
        for size in (n, 2 * n):
            subject = build(size)
            times.append(median_seconds(lambda: call(subject), rounds))
            subject = None  # freed: the peak is measured in a process of its own
            peaks.append(pathological_peak(name, size))
        # Below a megabyte the call fits in memory the interpreter already holds: no factor.
        growth = f"{peaks[1] / peaks[0]:4.1f}x" if peaks[0] >= 1e6 else "   -"
        rows.append((name, f"{times[0] * 1e3:8.1f} ms -> {times[1] * 1e3:8.1f} ms ({times[1] / times[0]:4.1f}x)  "
                           f"peak +{peaks[0] / 1e6:7.1f} MB -> +{peaks[1] / 1e6:7.1f} MB ({growth})"))
    report(f"pathological shapes at {n:,} and {2 * n:,} nodes, median of {rounds} "
           "(factors near 2 are linear)", rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--scale-sizes", type=int, nargs="+", default=[1_000_000, 10_000_000],
                        help="program sizes of the scale section, each measured in a fresh process; "
                        f"from {scale.HUGE:,} on, once and without a capture of the calls")
    parser.add_argument("--scale-shapes", choices=scale.SHAPES, nargs="+", default=list(scale.SHAPES),
                        help="program shapes of the scale section")
    sections = {
        "recording": lambda: bench_recording(args.nodes, args.rounds),
        "blob": lambda: bench_blob(args.nodes, args.rounds),
        "reduce": lambda: bench_reduce([args.nodes // 10, args.nodes], args.rounds),
        "incremental": lambda: bench_incremental(args.nodes, args.rounds),
        "scale": lambda: scale.run(args.scale_sizes, args.rounds, args.scale_shapes),
        "pathological": lambda: bench_pathological(args.nodes // 10, args.rounds),
        "latency": lambda: latency.run(max(args.rounds, 7)),
    }
    parser.add_argument("--only", choices=sections, action="append",
                        help="run only this section (may be repeated); default: all")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, tarnvel_core {tc.version()}")
    for name, run in sections.items():
        if args.only is None or name in args.only:
            run()


if __name__ == "__main__":
    main()
