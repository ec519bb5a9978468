"""Two builds of the module side by side in one process, for a change's before and after.

    .venv/bin/python bench/ab.py BEFORE.so AFTER.so [--small]

Each figure alternates the two builds round by round (the order flips every round) and reports
the median of the calling thread's CPU time, so that a noisy machine slows both alike. --small
keeps to the programs of 1,000 and 10,000 nodes. Build a past revision's module with
`git worktree add /tmp/before REV && cd /tmp/before && ../path/.venv/bin/pip wheel
--no-build-isolation --no-deps -w /tmp/wheel .` and unzip the .so from the wheel.
"""

import argparse
import gc
import importlib.machinery
import importlib.util
import statistics
import sys
import time

import scale


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("tarnvel_core", path)
    spec = importlib.util.spec_from_file_location("tarnvel_core", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def side_by_side(label, states, call, rounds):
    times = [[], []]
    gc.disable()
    for r in range(rounds):
        for i in (0, 1) if r % 2 == 0 else (1, 0):
            start = time.thread_time()
            result = call(states[i])
            times[i].append(time.thread_time() - start)
            del result
    gc.enable()
    before, after = (statistics.median(t) for t in times)
    print(
        f"{label:34s} before {before * 1e3:9.3f} ms  after {after * 1e3:9.3f} ms  after/before {after / before:.3f}",
        flush=True,
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--small", action="store_true", help="only the programs of 1,000 and 10,000 nodes")
    args = parser.parse_args()
    modules = [load(args.before), load(args.after)]

    def recorded(module, shape, n):
        store = module.GraphStore()
        return module, store, getattr(scale, shape)(store, n)

    sizes = [(1000, 2000), (10000, 300)] + ([] if args.small else [(1000000, 11)])
    for shape in ("realistic", "chains"):
        for n, rounds in sizes:
            states = [recorded(m, shape, n) for m in modules]
            side_by_side(f"reduce {shape} {n:,}", states, lambda s: s[1].reduce(outputs=s[2]), rounds)
    if args.small:
        return
    for shape in ("realistic", "chains"):
        states = []
        for module in modules:
            _, store, outputs = recorded(module, shape, 1000000)
            reduced, _ = store.reduce(outputs=outputs)
            states.append((module, reduced, reduced.serialize()))
        side_by_side(f"serialize reduced {shape} 1M", states, lambda s: s[1].serialize(), 11)
        side_by_side(f"deserialize reduced {shape} 1M", states, lambda s: s[0].GraphStore.deserialize(s[2]), 11)
        side_by_side(f"nodes() reduced {shape} 1M", states, lambda s: s[1].nodes(), 5)
        side_by_side(f"reduce a reduced {shape} 1M", states, lambda s: s[1].reduce(), 7)


if __name__ == "__main__":
    sys.exit(main())
