"""Type information for the tarnvel_core extension module.

Every function and method carries a docstring here, so that an editor shows help for each one;
where the module's own docstring says more, help() and docs/api.md show that one. The TypedDicts and
aliases below exist only for type checkers: import them under `typing.TYPE_CHECKING` and use them in
annotations.
"""

from collections.abc import Callable, Sequence
from typing import Literal, NotRequired, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

def version() -> str:
    """The module's version: the distribution's, as its metadata declares it."""

@final
class GraphStore:
    def __init__(self) -> None:
        """A new, empty store."""
    def add_source(self, name: str, params: dict[str, ParamInput] | None = None) -> int:
        """Record a `Source` node (no inputs) and return its id."""
    def add_op(self, name: str, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int:
        """Record an elementwise `Op` node over `inputs` (ids recorded earlier) and return its id."""
    def add_reduction(self, name: str, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int:
        """Record a `Reduction` node over `inputs` and return its id."""
    def add_external(
        self,
        descriptor: PayloadDescriptor | Descriptor | DescriptorFields,
        inputs: Sequence[int],
        params: dict[str, ParamInput] | None = None,
    ) -> int:
        """Record an `External` payload call over `inputs` and return its id. `descriptor` is a
        `PayloadDescriptor` or a dict with its fields; all six take part in the node's identity."""
    def add_exchange(self, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int:
        """Record an `Exchange` boundary over its one input and return its id; it has no name, its
        scheme parameters are its identity."""
    def add_join(self, inputs: Sequence[int], params: dict[str, ParamInput] | None = None) -> int:
        """Record a `Join` boundary over `[left, right]` and return its id; it has no name, its
        parameters and ordered inputs are its identity."""
    def node_count(self) -> int:
        """The number of nodes recorded."""
    def nodes(self) -> list[NodeView]:
        """Every node as a dict, in id order (see `NodeView`)."""
    def node(self, id: int) -> NodeView:
        """Node `id` as a dict, the same as `nodes()[id]`; ValueError when the store has no such node."""
    def outputs(self) -> list[int]:
        """The output marks, in mark order; [] for a store recorded through the `add_*` methods."""
    def node_map(self) -> list[Landing]:
        """For each node of the graph this store was reduced from, where it landed here (see
        `Landing`); [] for a store that did not come out of a reduction."""
    def to_dot(self) -> str:
        """The graph as Graphviz DOT text, beginning "digraph tarnvel {"; outputs are drawn as
        double circles."""
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """A new, reduced store and its report, against `outputs` (or the output marks when None);
        `maximal_fusion=True` also fuses an op used by several ops of one stage."""
    def reduce_incremental(self, *, outputs: Sequence[int] | None = None) -> tuple[GraphStore, ReductionReport]:
        """The same as `reduce` without `maximal_fusion`."""
    def reduction_report(self, *, outputs: Sequence[int] | None = None) -> ReductionReport:
        """The report of `reduce_incremental`, without keeping the reduced store."""
    def cone(self, *, outputs: Sequence[int]) -> GraphStore:
        """A new store of what `outputs` need, nothing rewritten, marked with `outputs`."""
    def serialize(self, outputs: Sequence[int] | None = None) -> bytes:
        """The store as canonical IR blob bytes, marked with `outputs` (or the output marks when None)."""
    @classmethod
    def deserialize(cls, data: bytes) -> GraphStore:
        """A new store from IR blob bytes, with the same node ids; ValueError when they are malformed."""
    def __repr__(self) -> str:
        """The node and output counts, as in "<tarnvel_core.GraphStore: 3 nodes, 1 output>"."""
    def __reduce__(self) -> tuple[Callable[[bytes], GraphStore], tuple[bytes]]:
        """Pickle and copy support through the IR blob: nodes and output marks travel, the node map
        does not. A copy is another store."""

@final
class IncrementalReducer:
    def __init__(self) -> None:
        """A new reducer that follows no store yet."""
    def step(self, store: GraphStore) -> int:
        """Consume the nodes recorded in `store` since the last step and return how many. The first
        step that consumes a node binds the reducer to `store`; any other store raises ValueError."""
    def watermark(self) -> int:
        """How many of the store's nodes have been consumed."""
    def total_work(self) -> int:
        """How many nodes all steps together processed; equal to `watermark()`."""
    def canonical_count(self) -> int:
        """The number of nodes of the maintained canonical form."""
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Consume what is left of `store`, then reduce the canonical form as `GraphStore.reduce`
        does; the reducer stays as it is and may keep stepping."""
    def __repr__(self) -> str:
        """The watermark and the canonical count."""

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
    ) -> PayloadDescriptor:
        """A descriptor with these fields; it never changes."""
    @property
    def kind(self) -> str:
        """The kind of payload, e.g. "onnx"."""
    @property
    def content_hash(self) -> str:
        """A hash of the payload's content."""
    @property
    def framework(self) -> str:
        """The framework that runs the payload."""
    @property
    def version(self) -> str:
        """The payload's version."""
    @property
    def io_schema(self) -> str:
        """The schema of the payload's inputs and outputs."""
    @property
    def preprocessing_ref(self) -> str | None:
        """A reference to the payload's preprocessing, or None when it has none."""
    def __eq__(self, value: object, /) -> bool:
        """Equal to another descriptor whose six fields are all equal."""
    def __hash__(self) -> int:
        """A hash of the six fields: equal descriptors hash alike."""
    def __repr__(self) -> str:
        """`PayloadDescriptor(kind=..., ...)` with every field, which evaluates back to an equal
        descriptor."""
    def __getnewargs_ex__(self) -> tuple[tuple[()], dict[str, str | None]]:
        """Pickle and copy support: the six fields as the constructor's keyword arguments."""

class InternalFault(BaseException):
    """A broken internal invariant; not an `Exception`, so `except Exception` does not catch it."""

# Typing only: the shapes of the values the module takes and returns.

# A parameter value as it comes back from the module: bool, then int (signed 64-bit), float, str.
ParamValue: TypeAlias = int | float | bool | str
# What a params dict may hold when recording: anything that converts to an int or a float
# (numpy scalars included), or a str. The module takes a dict (or a dict subclass) there, not an
# arbitrary mapping.
ParamInput: TypeAlias = SupportsIndex | SupportsFloat | str

# The `kind` of a node in `GraphStore.nodes()`.
NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange", "join"]
# One operand of a stage member: ("input", i) is entry i of the stage's `inputs`,
# ("member", j) is the result of the stage's earlier member j.
MemberRef: TypeAlias = tuple[Literal["input", "member"], int]
# Where a node of the graph a store was reduced from landed: (reduced node id, member index or
# None), or None when dead code elimination dropped it.
Landing: TypeAlias = tuple[int, int | None] | None

class Descriptor(TypedDict):
    """The `descriptor` entry of an external node in `GraphStore.nodes()`."""

    kind: str  # the kind of payload, e.g. "onnx"
    content_hash: str  # a hash of the payload's content
    framework: str  # the framework that runs it
    version: str  # the payload's version
    io_schema: str  # the schema of its inputs and outputs
    preprocessing_ref: str | None  # a reference to its preprocessing, None when there is none

class DescriptorFields(TypedDict):
    """A payload descriptor given as a dict to `GraphStore.add_external`."""

    kind: str  # as in `Descriptor`
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]  # absent or None: no preprocessing

class Member(TypedDict):
    """One member of a stage node: an op (`kind` "op") or a reduction (`kind` "red")."""

    kind: Literal["op", "red"]  # the kind of node the member replaced
    name: str  # its name
    params: dict[str, ParamValue]  # its parameters, in key order
    inputs: list[MemberRef]  # its operands, in order

class NodeView(TypedDict):
    """One entry of `GraphStore.nodes()`, keys in this order."""

    id: int  # the node id, equal to the entry's index
    output: bool  # whether the node is among the store's output marks
    inputs: list[int]  # input ids in order; [] for a source; a stage's own inputs
    kind: NodeKind
    name: str  # "" for external, stage, exchange and join nodes
    params: dict[str, ParamValue]  # in key order; {} for a stage
    descriptor: NotRequired[Descriptor]  # external nodes only
    n_members: NotRequired[int]  # stage nodes only: len(members)
    members: NotRequired[list[Member]]  # stage nodes only; the last member gives the stage's value

class ReductionReport(TypedDict):
    """The six counters of one reduction; the key order is not defined."""

    input_nodes: int  # nodes of the graph reduced, reachable or not
    reachable_nodes: int  # nodes some output needs
    canonical_nodes: int  # nodes left once nodes proved equal are merged
    stages: int  # stage nodes emitted by fusion
    reduced_nodes: int  # nodes of the reduced graph: stages + boundary_nodes
    boundary_nodes: int  # non-stage nodes emitted (sources, reductions, externals, exchanges, joins)
