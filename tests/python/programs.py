"""Random programs for the property tests: a store recorded over the sources of SOURCES, with
commuted twins and identity ops likely, and the outputs to reduce it against."""
from __future__ import annotations

from hypothesis import strategies as st

import tarnvel_core as tc

SOURCES = {"x": 1.5, "y": -2.25, "z": 0.375}
OPS = [("add", 2), ("mul", 2), ("sub", 2), ("maximum", 2), ("minimum", 2), ("neg", 1), ("abs", 1)]
# The identities the rewrite rules remove (x + 0.0, x * 1.0), -0.0, which is not one of them, and
# scalars that change the value.
SCALAR_OPS = [("add", 0.0), ("add", 2.0), ("add", -0.0), ("mul", 1.0), ("mul", 3.0), ("mul", 0.5), ("sub", 2.0),
              ("maximum", 0.0)]
DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "v", "io_schema": "s"}


@st.composite
def programs(draw, *, boundaries: bool = False, max_reduction_inputs: int = 3) -> tuple[tc.GraphStore, list[int]]:
    """With `boundaries`, the program also records externals and exchange-join pairs."""
    store = tc.GraphStore()
    for name in SOURCES:
        store.add_source(name)
    for _ in range(draw(st.integers(1, 40))):
        pick = st.integers(0, store.node_count() - 1)
        choice = draw(st.integers(0, 11 if boundaries else 9))
        if choice < 5:
            name, arity = draw(st.sampled_from(OPS))
            store.add_op(name, [draw(pick) for _ in range(arity)])
        elif choice < 8:
            name, scalar = draw(st.sampled_from(SCALAR_OPS))
            store.add_op(name, [draw(pick)], {"scalar": scalar, "side": draw(st.sampled_from("lr"))})
        elif choice < 10:
            store.add_reduction("sum", [draw(pick) for _ in range(draw(st.integers(1, max_reduction_inputs)))])
        elif choice < 11:
            store.add_external(DESCRIPTOR, [draw(pick), draw(pick)])
        else:
            inner = store.add_exchange([draw(pick)], {"scheme": "hash"})
            store.add_join([inner, draw(pick)])
    outputs = draw(st.lists(st.integers(0, store.node_count() - 1), min_size=1, max_size=6))
    return store, outputs
