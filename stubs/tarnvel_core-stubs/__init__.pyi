"""Type information for the tarnvel_core extension module.

The TypedDicts and aliases below exist only for type checkers; import them under
`typing.TYPE_CHECKING` (or in annotations with `from __future__ import annotations`).
"""

from collections.abc import Sequence
from typing import Any, Literal, NotRequired, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

# A parameter value as it comes back from the module: bool, then int (signed 64-bit), float, str.
ParamValue: TypeAlias = int | float | bool | str
# What a params dict may hold when recording: anything that converts to an int or a float
# (numpy scalars included), or a str. The module takes a dict (or a dict subclass) there, not an
# arbitrary mapping.
ParamInput: TypeAlias = SupportsIndex | SupportsFloat | str

NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange", "join"]
# One operand of a stage member: ("input", i) is entry i of the stage's `inputs`,
# ("member", j) is the result of the stage's earlier member j.
MemberRef: TypeAlias = tuple[Literal["input", "member"], int]
# Where a node of the graph a store was reduced from landed: (reduced node id, member index or
# None), or None when dead code elimination dropped it.
Landing: TypeAlias = tuple[int, int | None] | None

class Descriptor(TypedDict):
    """The `descriptor` entry of an external node in `GraphStore.nodes()`."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

class DescriptorFields(TypedDict):
    """A payload descriptor given as a dict to `GraphStore.add_external`."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

class Member(TypedDict):
    """One member of a stage node: an op (`kind` "op") or a reduction (`kind` "red")."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[MemberRef]

class NodeView(TypedDict):
    """One entry of `GraphStore.nodes()`, keys in this order."""

    id: int
    output: bool
    inputs: list[int]
    kind: NodeKind
    name: str
    params: dict[str, ParamValue]
    descriptor: NotRequired[Descriptor]
    n_members: NotRequired[int]
    members: NotRequired[list[Member]]

class ReductionReport(TypedDict):
    """The six counters of one reduction; the key order is not defined."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

def version() -> str: ...

class InternalFault(BaseException):
    """A broken internal invariant; not an `Exception`, so `except Exception` does not catch it."""

@final
class PayloadDescriptor:
    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class GraphStore:
    def __init__(self) -> None: ...
    def __repr__(self) -> str: ...
    # Pickling goes through the IR blob.
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def add_source(self, name: str, params: dict[str, ParamInput] | None = None) -> int: ...
    def add_op(self, name: str, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int: ...
    def add_reduction(self, name: str, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | Descriptor | DescriptorFields,
        inputs: Sequence[int],
        params: dict[str, ParamInput] | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int: ...
    def add_join(self, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int: ...
    def node_count(self) -> int: ...
    def nodes(self) -> list[NodeView]: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[Landing]: ...
    def to_dot(self) -> str: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduce_incremental(self, *, outputs: Sequence[int] | None = None) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: Sequence[int] | None = None) -> ReductionReport: ...
    def cone(self, *, outputs: Sequence[int]) -> GraphStore: ...
    def serialize(self, outputs: Sequence[int] | None = None) -> bytes: ...
    @classmethod
    def deserialize(cls, data: bytes) -> GraphStore: ...

@final
class IncrementalReducer:
    def __init__(self) -> None: ...
    def __repr__(self) -> str: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
