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
