"""Asymmetric Shapley values over causal DAGs."""

from collections.abc import Callable, Sequence
from typing import Any, Protocol, TypedDict, final

__all__ = ["CausalDAG", "CausalCPDAG", "ASVExplainer"]

class _HasEdges(Protocol):
    def edges(self) -> Any: ...

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
    @staticmethod
    def from_networkx(g: _HasEdges) -> CausalDAG: ...
    @staticmethod
    def from_edges(edges: Sequence[tuple[str, str]]) -> CausalDAG: ...
    def nodes(self) -> list[str]: ...
    def edges(self) -> list[tuple[str, str]]: ...
    def add_edge(self, from_name: str, to_name: str) -> None: ...
    def validate(self) -> None: ...
    def ancestors(self, name: str) -> list[str]: ...
    def descendants(self, name: str) -> list[str]: ...
    def topological_layers(self) -> list[list[str]]: ...
    def inspect(self) -> StructuralSummary: ...

@final
class CausalCPDAG:
    def __new__(cls) -> CausalCPDAG: ...

ValueFn = Callable[[list[str]], float]
BatchValueFn = Callable[[list[list[str]]], Sequence[float]]

@final
class ASVExplainer:
    def __new__(cls, dag: CausalDAG) -> ASVExplainer: ...
    def explain(
        self,
        value_fn: ValueFn | None = None,
        method: str = "auto",
        n_samples: int = 10000,
        seed: int | None = None,
        value_fn_batch: BatchValueFn | None = None,
        batch_size: int = 256,
        parallel: bool = False,
        num_threads: int | None = None,
    ) -> dict[str, float]: ...
    def explain_with_diagnostics(
        self,
        value_fn: ValueFn | None = None,
        method: str = "auto",
        n_samples: int = 10000,
        seed: int | None = None,
        value_fn_batch: BatchValueFn | None = None,
        batch_size: int = 256,
        parallel: bool = False,
        num_threads: int | None = None,
    ) -> dict[str, Any]: ...
