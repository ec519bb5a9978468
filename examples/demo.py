"""A tour of tarnvel_core: record a small dataflow program, reduce it, store it, look at it.

Run with `make demo`. Writes the DOT text of the graph before and after reduction to out/.
"""
from pathlib import Path

import tarnvel_core as tc


def record(store: tc.GraphStore, reducer: tc.IncrementalReducer) -> list[int]:
    prices = store.add_source("prices", {"path": "prices.parquet", "rows": 1_000_000})
    fx = store.add_source("fx", {"path": "fx.parquet"})
    usd = store.add_op("mul", [prices, fx])
    usd_again = store.add_op("mul", [fx, prices])  # the same product, operands swapped
    reducer.step(store)  # keep a canonical form up to date while recording
    scaled = store.add_op("mul", [usd_again], {"scalar": 1.0, "side": "r"})  # an identity
    total = store.add_op("add", [usd, scaled])
    store.add_op("neg", [total])  # dead code: no output needs it
    model = tc.PayloadDescriptor(kind="onnx", content_hash="9f2c", framework="onnxruntime",
                                 version="1.18", io_schema="f32[n]->f32[n]")
    scored = store.add_external(model, [total], {"batch": 512})
    shuffled = store.add_exchange([scored], {"scheme": "hash", "partitions": 8})
    joined = store.add_join([shuffled, fx], {"how": "left"})
    per_day = store.add_reduction("sum", [joined], {"axis": "day"})
    reducer.step(store)
    return [per_day]


def main() -> None:
    store, reducer = tc.GraphStore(), tc.IncrementalReducer()
    outputs = record(store, reducer)
    print(f"recorded {store.node_count()} nodes; the incremental reducer keeps "
          f"{reducer.canonical_count()} canonical nodes after {reducer.total_work()} nodes of work")
    for node in store.nodes():
        print(f"  {node['id']:>2} {node['kind']:<9} {node['name']:<7} inputs={node['inputs']} params={node['params']}")

    reduced, report = store.reduce(outputs=outputs)
    print("\nreduction report:")
    for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"):
        print(f"  {key:<16} {report[key]}")
    print("\nwhere each recorded node landed (reduced id, member of a stage):")
    for old, landing in enumerate(reduced.node_map()):
        print(f"  {old:>2} -> {'dropped (dead code)' if landing is None else landing}")

    blob = reduced.serialize()
    again = tc.GraphStore.deserialize(blob)
    print(f"\nIR blob: {len(blob)} bytes, round trip byte-identical: {again.serialize() == blob}")
    incremental, _ = reducer.finalize(store, outputs=outputs)
    print(f"incremental finalize gives the same graph as reduce: {incremental.serialize() == blob}")

    out = Path("out")
    out.mkdir(exist_ok=True)
    (out / "before.dot").write_text(store.to_dot())
    (out / "after.dot").write_text(reduced.to_dot())
    print(f"\nDOT text of the graph before and after reduction: {out / 'before.dot'}, {out / 'after.dot'}")


if __name__ == "__main__":
    main()
