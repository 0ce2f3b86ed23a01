"""Asymmetric Shapley values over causal DAGs."""

from collections.abc import Buffer, Callable, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

__all__ = ["CausalDAG", "CausalCPDAG", "ASVExplainer"]

__version__: str

# Names below that the module does not define exist for type checkers only:
# import them under `if typing.TYPE_CHECKING:`.

@type_check_only
class _HasEdges(Protocol):
    def edges(self) -> Any: ...

@type_check_only
class StructuralSummary(TypedDict):
    n_nodes: int
    n_edges: int
    is_dag: bool
    is_rooted_tree: bool
    n_roots: int
    n_leaves: int
    max_depth: int
    recommended_method: str
    estimated_dense_states: int | None

@final
class CausalDAG:
    def __new__(cls) -> CausalDAG: ...
    def __reduce__(self) -> tuple[type[CausalDAG], tuple[()], bytes]: ...
    def __setstate__(self, state: bytes) -> None: ...
    @staticmethod
    def from_networkx(g: _HasEdges) -> CausalDAG: ...
    @staticmethod
    def from_edges(edges: Sequence[tuple[str, str]]) -> CausalDAG: ...
    def nodes(self) -> list[str]: ...
    def edges(self) -> list[tuple[str, str]]: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(s: str) -> CausalDAG: ...
    def to_dot(self) -> str: ...
    def add_edge(self, from_name: str, to_name: str) -> None: ...
    def validate(self) -> None: ...
    def ancestors(self, name: str) -> list[str]: ...
    def descendants(self, name: str) -> list[str]: ...
    def topological_layers(self) -> list[list[str]]: ...
    def inspect(self) -> StructuralSummary: ...
    def d_convex_hull(self, names: Sequence[str]) -> list[str]: ...
    def strong_d_convex_hull(self, names: Sequence[str]) -> list[str]: ...
    def induced_subgraph(self, names: Sequence[str]) -> CausalDAG: ...

@final
class CausalCPDAG:
    def __new__(cls) -> CausalCPDAG: ...
    def __reduce__(self) -> tuple[type[CausalCPDAG], tuple[()], bytes]: ...
    def __setstate__(self, state: bytes) -> None: ...
    @staticmethod
    def from_edges(
        directed: Sequence[tuple[str, str]] = ..., undirected: Sequence[tuple[str, str]] = ...
    ) -> CausalCPDAG: ...
    def nodes(self) -> list[str]: ...
    def directed_edges(self) -> list[tuple[str, str]]: ...
    def undirected_edges(self) -> list[tuple[str, str]]: ...
    def add_directed_edge(self, from_name: str, to_name: str) -> None: ...
    def add_undirected_edge(self, a_name: str, b_name: str) -> None: ...
    def validate_pdag(self) -> None: ...
    def validate_cpdag(self) -> None: ...
    def consistent_extension(self) -> CausalDAG: ...
    def strong_d_convex_hull(self, names: Sequence[str]) -> list[str]: ...
    def induced_subgraph(self, names: Sequence[str]) -> CausalCPDAG: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(s: str) -> CausalCPDAG: ...

# A value is a float or anything float() or operator.index() accepts; a batch
# of values a sequence of them or a one-dimensional float64 buffer (a numpy
# array, say).
_Value = SupportsFloat | SupportsIndex
_ValueFn = Callable[[list[str]], _Value]
_BatchValueFn = Callable[[list[list[str]]], Sequence[_Value] | Buffer]

@final
class ASVExplainer:
    def __new__(cls, dag: CausalDAG) -> ASVExplainer: ...
    def explain_within(
        self,
        value_fn: _ValueFn | None = None,
        max_calls: int = 10000,
        seed: int | None = None,
        value_fn_batch: _BatchValueFn | None = None,
        batch_size: int = 4096,
        ci: float | None = None,
        progress: bool = False,
    ) -> dict[str, Any]: ...
    def __reduce__(self) -> tuple[type[ASVExplainer], tuple[CausalDAG]]: ...
    def explain(
        self,
        value_fn: _ValueFn | None = None,
        method: str = "auto",
        n_samples: int = 10000,
        seed: int | None = None,
        value_fn_batch: _BatchValueFn | None = None,
        batch_size: int = 256,
        parallel: bool = False,
        num_threads: int | None = None,
    ) -> dict[str, float]: ...
    def explain_with_diagnostics(
        self,
        value_fn: _ValueFn | None = None,
        method: str = "auto",
        n_samples: int = 10000,
        seed: int | None = None,
        value_fn_batch: _BatchValueFn | None = None,
        batch_size: int = 256,
        parallel: bool = False,
        num_threads: int | None = None,
    ) -> dict[str, Any]: ...
    def explain_quality(
        self,
        value_fn: _ValueFn,
        min_samples: int = 1000,
        max_samples: int = 100000,
        batch_size: int = 1000,
        rel_tol: float = 0.01,
        seed: int | None = None,
        ci: float | None = None,
    ) -> dict[str, Any]: ...
    def explain_adaptive(
        self,
        value_fn: _ValueFn,
        min_samples: int = 1000,
        max_samples: int = 100000,
        batch_size: int = 1000,
        rel_tol: float = 0.01,
        ess_ratio_min: float = 0.10,
        seed: int | None = None,
        ci: float | None = None,
        method: str = "approx",
    ) -> dict[str, Any]: ...
    def explain_quality_batch(
        self,
        value_fn_batch: _BatchValueFn,
        min_samples: int = 1000,
        max_samples: int = 100000,
        batch_size: int = 1000,
        rel_tol: float = 0.01,
        seed: int | None = None,
        ci: float | None = None,
    ) -> dict[str, Any]: ...
    def explain_adaptive_batch(
        self,
        value_fn_batch: _BatchValueFn,
        min_samples: int = 1000,
        max_samples: int = 100000,
        batch_size: int = 1000,
        rel_tol: float = 0.01,
        ess_ratio_min: float = 0.10,
        seed: int | None = None,
    ) -> dict[str, Any]: ...
