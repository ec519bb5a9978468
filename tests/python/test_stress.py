"""Thread stress on shared objects, one test per class.

Many threads, released together by a barrier, mix every kind of call on the same objects while a
mutator thread changes the containers they pass in and another thread runs the garbage collector.
Invariants are checked at the end through the public API only: dense ids, one id per key, every
view a prefix of the final graph, every reduction sound and equal to the same reduction repeated on
the final graph, and no exception other than the documented ones. Under the GIL the interleavings
happen at bytecode boundaries and in the detached lock waits; nothing here relies on the GIL, so the
same checks hold on a free-threaded interpreter.
"""
import faulthandler
import gc
import pickle
import random
import threading

import pytest

import tarnvel_core as tc
from evaluator import evaluate
from test_reduce import SOURCES, same_values

THREADS = 8
JOIN_TIMEOUT = 900  # generous: the long runs take minutes under the sanitizers
DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2.1", io_schema="f32")
SCALES = [pytest.param(2, id="quick"), pytest.param(8, id="long", marks=pytest.mark.slow)]


@pytest.fixture(autouse=True)
def stacks_on_deadlock(fast_switching):
    """Shortly before a stuck join fails the test, every thread's stack is written to the test's
    captured output, which the failure report shows."""
    faulthandler.dump_traceback_later(JOIN_TIMEOUT - 60, exit=False)
    yield
    faulthandler.cancel_dump_traceback_later()


def run_together(workers, background=()):
    """Starts `workers` and `background` loops at one barrier; background loops get a stop event
    and run until every worker is done. Re-raises the first failure of any thread."""
    barrier = threading.Barrier(len(workers) + len(background))
    stop = threading.Event()
    errors = []

    def run(body, *args):
        try:
            barrier.wait()
            body(*args)
        except BaseException as error:  # re-raised in the main thread
            errors.append(error)
            stop.set()

    threads = [threading.Thread(target=run, args=(w, i), daemon=True) for i, w in enumerate(workers)]
    loops = [threading.Thread(target=run, args=(b, stop), daemon=True) for b in background]
    for thread in threads + loops:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
        assert not thread.is_alive(), "a worker is stuck: deadlock?"
    stop.set()
    for thread in loops:
        thread.join(JOIN_TIMEOUT)
        assert not thread.is_alive(), "a background loop is stuck: deadlock?"
    if errors:
        raise errors[0]


def collector(stop):
    while not stop.is_set():
        gc.collect()
        stop.wait(0.002)


def documented(call, error, prefix):
    """A deliberately bad call: it must raise `error` with a message starting with `prefix`."""
    try:
        call()
    except error as raised:
        assert str(raised).startswith(prefix), raised
    else:
        raise AssertionError("bad call succeeded")


def offer(call):
    """A call that a reducer refuses when it follows another store."""
    try:
        call()
    except ValueError as raised:
        assert str(raised).startswith("this reducer follows another store"), raised


def recipes(count, seed):
    """A program of `count` nodes over the sources x, y, z, as (method, name, inputs, params);
    inputs are indices of earlier recipes. Commuted twins and identities are frequent."""
    rng = random.Random(seed)
    program = [("source", name, (), {}) for name in SOURCES]
    while len(program) < count:
        n = len(program)
        a, b = rng.randrange(n), rng.randrange(max(0, n - 8), n)
        choice = rng.randrange(10)
        if choice < 3:
            program.append(("op", rng.choice(["add", "mul", "maximum", "sub"]), (a, b), {}))
            program.append(("op", program[-1][1], (b, a), {}))  # its commuted twin
        elif choice < 5:
            scalar, name = rng.choice([(0.0, "add"), (1.0, "mul"), (2.0, "mul"), (-0.0, "add")])
            program.append(("op", name, (b,), {"scalar": scalar, "side": rng.choice("lr")}))
        elif choice < 6:
            program.append(("op", rng.choice(["neg", "abs"]), (b,), {}))
        elif choice < 7:
            program.append(("reduction", "sum", (a, b), {"scale": rng.choice([1, 2])}))
        elif choice < 8:
            program.append(("external", "", (b,), {"v": rng.randrange(3)}))
        elif choice < 9:
            program.append(("exchange", "", (b,), {"scheme": rng.choice(["hash", "range"])}))
        else:
            program.append(("join", "", (a, b), {}))
    return program[:count]


def record(store, recipe, ids):
    method, name, inputs, params = recipe
    inputs = [ids[i] for i in inputs]
    if method == "source":
        return store.add_source(name, params)
    if method in ("op", "reduction"):
        return getattr(store, "add_" + method)(name, inputs, params)
    if method == "external":
        return store.add_external(DESCRIPTOR, inputs, params)
    return getattr(store, "add_" + method)(inputs, params)


def view_of(node):
    """A node view without its output flag, hashable."""
    return repr({k: v for k, v in node.items() if k != "output"})


def check_store_invariants(store):
    nodes = store.nodes()
    assert [n["id"] for n in nodes] == list(range(store.node_count()))
    assert all(i < n["id"] for n in nodes for i in n["inputs"])
    assert len({view_of(n) for n in nodes}) == len(nodes), "a key was interned twice"
    return nodes


def check_sound(source_nodes, reduced, output):
    """The node `output` lands in computes what `output` computes."""
    landed = reduced.node_map()[output][0]
    try:
        expected = evaluate(source_nodes, SOURCES, [output])
    except ValueError:  # long programs overflow: fsum refuses inf - inf, and there is nothing to compare
        return
    assert same_values(evaluate(reduced.nodes(), SOURCES, [landed]), expected)


def result_of(reduced, report):
    """What a reduction against fixed outputs must reproduce however large the graph has grown
    since: the reduced graph's bytes and the counters other than input_nodes."""
    return reduced.serialize(), {k: v for k, v in report.items() if k != "input_nodes"}


@pytest.mark.parametrize("scale", SCALES)
def test_graph_store_shared_by_recorders_readers_reducers_and_serializers(scale):
    store = tc.GraphStore()
    program = recipes(120 * scale, seed=scale)
    # Recipe index -> id, published by whoever records it first; the sources (ids 0, 1, 2) exist
    # before the threads start.
    known = {j: record(store, recipe, {}) for j, recipe in enumerate(program[: len(SOURCES)])}
    per_thread_ids = [dict() for _ in range(THREADS)]
    views, reductions, blobs, mutated = [], [], [], []
    shared_params = {"k": 0}
    shared_inputs = [0, 1]

    def recorder(t):
        rng = random.Random(t)
        ids = per_thread_ids[t]
        order = list(range(len(program)))
        rng.shuffle(order)
        for j in order:
            # Inputs first, depth first: each thread reaches the shared keys in an order of its own.
            pending = [j]
            while pending:
                k = pending[-1]
                missing = [i for i in program[k][2] if i not in ids]
                if k in ids or not missing:
                    if k not in ids:
                        ids[k] = record(store, program[k], ids)
                        known.setdefault(k, ids[k])
                    pending.pop()
                else:
                    pending.extend(missing)
            if j % 7 == t:
                # Containers another thread is changing meanwhile: any state they pass through is fine.
                mutated.append((store.add_op("neg", [0], shared_params), store.add_op("sub", shared_inputs)))
                documented(lambda: store.add_op("neg", [10**9]), ValueError, "no node with id 1000000000")

    def reader(t):
        for i in range(20 * scale):
            if i % 4 == 0:
                views.append([view_of(n) for n in store.nodes()])
            store.outputs(), store.node_map(), store.node_count(), repr(store)
            assert store.to_dot().startswith("digraph tarnvel {")

    def reducer(t):
        rng = random.Random(100 + t)
        for i in range(12 * scale):
            if not known:
                continue
            j = rng.choice(list(known))
            out = known[j]
            mode = i % 4
            if mode == 0:
                reductions.append((out, mode, result_of(*store.reduce(outputs=[out]))))
            elif mode == 1:
                reductions.append((out, mode, result_of(*store.reduce(outputs=[out], maximal_fusion=True))))
            elif mode == 2:
                reductions.append((out, mode, result_of(*store.reduce_incremental(outputs=[out]))))
            else:
                cone = store.cone(outputs=[out])
                reductions.append((out, mode, (cone.serialize(), store.reduction_report(outputs=[out])["stages"])))
            documented(lambda: store.cone(outputs=[-1]), OverflowError, "")

    def serializer(t):
        for _ in range(15 * scale):
            outputs = [known[j] for j in list(known)[:3]]
            data = store.serialize(outputs)
            back = tc.GraphStore.deserialize(data)
            assert back.serialize() == data and back.outputs() == list(dict.fromkeys(outputs))
            blobs.append([view_of(n) for n in pickle.loads(pickle.dumps(back)).nodes()])

    def mutator(stop):
        i = 0
        while not stop.is_set():
            i += 1
            shared_params["k"] = i % 3
            shared_inputs[:] = [[0, 1], [1, 0]][i % 2]

    roles = [recorder, recorder, recorder, reader, reducer, reducer, serializer, recorder]
    assert len(roles) == THREADS
    run_together(roles, background=[mutator, collector])

    nodes = check_store_invariants(store)
    final = [view_of(n) for n in nodes]
    recorders = [t for t, role in enumerate(roles) if role is recorder]
    for t in recorders:
        assert per_thread_ids[t] == per_thread_ids[recorders[0]], "one key got two ids"
    for j, node in per_thread_ids[recorders[0]].items():
        method, name, _, _ = program[j]
        assert nodes[node]["kind"] == method and (name == "" or nodes[node]["name"] == name)
    for node, pair in mutated:
        assert nodes[node]["params"]["k"] in (0, 1, 2) and nodes[pair]["inputs"] in ([0, 1], [1, 0])
    assert len({n for n, _ in mutated}) <= 3 and len({p for _, p in mutated}) <= 2
    for view in views + blobs:
        assert view == final[: len(view)], "a view is not a prefix of the final graph"
    assert reductions and len(views) >= 5 and blobs
    for out, mode, result in reductions:
        if mode == 0:
            again, report = store.reduce(outputs=[out])
            assert result_of(again, report) == result
            check_sound(nodes, again, out)
        elif mode == 1:
            assert result_of(*store.reduce(outputs=[out], maximal_fusion=True)) == result
        elif mode == 2:
            assert result_of(*store.reduce_incremental(outputs=[out])) == result
        else:
            assert (store.cone(outputs=[out]).serialize(), store.reduction_report(outputs=[out])["stages"]) == result


@pytest.mark.parametrize("scale", SCALES)
def test_payload_descriptors_shared_by_builders_recorders_and_readers(scale):
    store = tc.GraphStore()
    x = store.add_source("x")
    variants = [dict(DESCRIPTOR, version=str(v), preprocessing_ref=[None, "p", "q"][v]) for v in range(3)]
    shared = [tc.PayloadDescriptor(**v) for v in variants]
    live = dict(variants[0])  # rewritten field by field by the mutator
    seen = [[] for _ in range(THREADS)]

    def fields(d):
        return (d.kind, d.content_hash, d.framework, d.version, d.io_schema, d.preprocessing_ref)

    def worker(t):
        for i in range(150 * scale):
            v = (i + t) % 3
            d = shared[v]
            assert fields(d) == tuple(variants[v].values())
            built = tc.PayloadDescriptor(**variants[v])
            assert fields(built) == fields(d)
            seen[t].append((v, store.add_external(d, [x]), store.add_external(built, [x], {"i": i % 2})))
            mixed = store.add_external(live, [x])
            assert mixed < store.node_count()
            if i % 25 == t:
                documented(lambda: store.add_external({"kind": "k"}, [x]), ValueError,
                           "descriptor missing required field 'content_hash'")
                documented(lambda: tc.PayloadDescriptor(**dict(DESCRIPTOR, kind=1)), TypeError, "")
                assert all(n["descriptor"]["kind"] == "model" for n in store.nodes()[1:])

    def mutator(stop):
        i = 0
        while not stop.is_set():
            i += 1
            source = variants[i % 3]
            for key in ("version", "preprocessing_ref"):
                live[key] = source[key]

    run_together([worker] * THREADS, background=[mutator, collector])

    nodes = check_store_invariants(store)
    by_variant = {}
    for rows in seen:
        for v, plain, with_params in rows:
            by_variant.setdefault(v, set()).add(plain)
            assert nodes[with_params]["descriptor"] == nodes[plain]["descriptor"]
    assert all(len(ids) == 1 for ids in by_variant.values()), "equal descriptors got two ids"
    for v, (node,) in ((v, tuple(ids)) for v, ids in by_variant.items()):
        assert nodes[node]["descriptor"] == variants[v]
    # Mixtures of the live dict's states are nodes too, but only of values it really held.
    versions = {v["version"] for v in variants}
    refs = {v["preprocessing_ref"] for v in variants}
    assert all(n["descriptor"]["version"] in versions and n["descriptor"]["preprocessing_ref"] in refs
               for n in nodes[1:])
    assert [fields(d) for d in shared] == [tuple(v.values()) for v in variants]


@pytest.mark.parametrize("scale", SCALES)
def test_incremental_reducer_shared_by_steppers_finalizers_readers_and_recorders(scale):
    store, other = tc.GraphStore(), tc.GraphStore()
    reducer, follower, mixed = tc.IncrementalReducer(), tc.IncrementalReducer(), tc.IncrementalReducer()
    program = recipes(100 * scale, seed=7 + scale)
    known = {j: store.add_source(name) for j, name in enumerate(SOURCES)}  # finalizers never wait
    finalized = []
    counter_reads = [[] for _ in range(THREADS)]

    def recorder(t):
        ids, other_ids = {}, {}
        for j, recipe in enumerate(program):
            ids[j] = record(store, recipe, ids)
            known.setdefault(j, ids[j])
            if j < len(program) // 3:  # a shorter second store, for the reducer fed both
                other_ids[j] = record(other, recipe, other_ids)

    def stepper(t):
        for i in range(40 * scale):
            assert reducer.step(store) >= 0
            follower.step(store=store)
            # One reducer offered two stores: it follows one and refuses the other, never mixing them.
            offer(lambda: mixed.step(store if i % 2 else other))
            # Read in this order, canonical count <= total work <= watermark holds at any interleaving.
            counter_reads[t].append((reducer.canonical_count(), reducer.total_work(), reducer.watermark()))
            if i % 10 == t:
                documented(lambda: reducer.step(store.nodes), TypeError, "expected GraphStore")

    def finalizer(t):
        rng = random.Random(t)
        for i in range(10 * scale):
            if not known:
                continue
            out = known[rng.choice(list(known))]
            target = [reducer, follower][i % 2]
            flag = i % 3 == 0
            finalized.append((out, flag, result_of(*target.finalize(store, outputs=[out], maximal_fusion=flag))))
            offer(lambda: mixed.finalize(other if i % 2 else store))
            documented(lambda: reducer.finalize(store, outputs=[10**9]), ValueError, "no node with id 1000000000")

    roles = [recorder, recorder, stepper, stepper, finalizer, finalizer, finalizer, stepper]
    assert len(roles) == THREADS
    run_together(roles, background=[collector])

    nodes = check_store_invariants(store)
    for reads in counter_reads:
        for before, after in zip(reads, reads[1:]):
            assert all(a <= b for a, b in zip(before, after)), "a counter went backwards"
        assert all(c <= t <= w for c, t, w in reads)
    count = store.node_count()
    fresh = tc.IncrementalReducer()
    assert fresh.step(store) == count
    for r in (reducer, follower):
        r.step(store)
        assert r.watermark() == r.total_work() == count
        assert r.canonical_count() == fresh.canonical_count(), "the canonical form depends on the steps"
    # Whichever store it took nodes from first, the mixed reducer holds that store's form alone.
    followed = store
    try:
        mixed.step(store)
    except ValueError:
        followed = other
        mixed.step(other)
    alone = tc.IncrementalReducer()
    alone.step(followed)
    assert mixed.watermark() == mixed.total_work() == followed.node_count()
    assert mixed.canonical_count() == alone.canonical_count()
    assert finalized
    for out, flag, result in finalized:
        again, report = fresh.finalize(store, outputs=[out], maximal_fusion=flag)
        assert result_of(again, report) == result, "a finalize depends on when it ran"
        if not flag:
            check_sound(nodes, again, out)
            batch, _ = store.reduce(outputs=[out])
            check_sound(nodes, batch, out)
