"""Concurrent recording into one store: ids stay dense and each key gets exactly one id."""
import threading

import tarnvel_core as tc


def test_overlapping_keys_from_many_threads(fast_switching):
    store = tc.GraphStore()
    threads, per_thread = 8, 400
    barrier = threading.Barrier(threads)
    results: list[list[tuple[str, int]]] = [[] for _ in range(threads)]
    params = {"k": 1}

    def record(t: int) -> None:
        barrier.wait()
        out = results[t]
        for i in range(per_thread):
            # Every thread records the same keys, in an order of its own; a mutator changes the
            # params dict it passes meanwhile, which must never corrupt a key.
            j = (i * (t + 1)) % per_thread
            src = store.add_source(f"s{j % 50}")
            out.append((f"s{j % 50}", src))
            op = store.add_op("add", [src, src], {"k": j % 7})
            out.append((f"add{j % 50}/{j % 7}", op))
            params["k"] = t
            store.add_op("mul", [op], params)

    workers = [threading.Thread(target=record, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=60)
        assert not w.is_alive()

    ids_by_key: dict[str, set[int]] = {}
    for out in results:
        for key, node in out:
            ids_by_key.setdefault(key, set()).add(node)
    assert all(len(ids) == 1 for ids in ids_by_key.values())
    nodes = store.nodes()
    assert [n["id"] for n in nodes] == list(range(store.node_count()))
    distinct = {(n["kind"], n["name"], tuple(n["inputs"]), tuple(sorted(n["params"].items()))) for n in nodes}
    assert len(distinct) == len(nodes)
    assert all(all(i < n["id"] for i in n["inputs"]) for n in nodes)


def test_parameter_strings_outlive_a_wait_for_the_lock(fast_switching):
    """One thread keeps replacing the strings of the dict another records, while a third holds
    the store lock often (serialize). Without the GIL the recorder runs meanwhile, and waits for
    the lock with the interpreter detached: every recorded node must still hold a pair the dict
    really held, never freed or mixed-up text. (With the GIL nothing runs in between.)"""
    store = tc.GraphStore()
    x = store.add_source("x")
    for i in range(20_000):
        store.add_op("neg", [x], {"i": i})
    shared: dict[str, object] = {"key0": "value0"}
    done = threading.Event()

    def serialize() -> None:
        while not done.is_set():
            store.serialize()

    def mutate() -> None:
        i = 0
        while not done.is_set():
            i += 1
            # Fresh, unshared strings: the old ones are freed when replaced, and their memory is
            # at once reused by junk of the same sizes.
            shared.clear()
            junk = ["#" * n for n in range(4, 40) for _ in range(4)]
            shared["".join(["key", str(i)])] = "".join(["value", str(i)]) * (1 + i % 3)
            del junk

    def record() -> None:
        for _ in range(3_000):
            store.add_op("tag", [x], shared)
        done.set()

    workers = [threading.Thread(target=f) for f in (serialize, mutate, record)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=120)
        assert not w.is_alive()
    tagged = [n["params"] for n in store.nodes() if n["name"] == "tag"]
    assert tagged
    for params in tagged:
        if not params:  # recorded between clear() and the new pair
            continue
        ((key, value),) = params.items()
        i = int(key[len("key"):])
        assert value == f"value{i}" * (1 + i % 3)
