import os
from typing import Any, Callable, Hashable, Iterable, Literal, Optional, Sequence, Tuple, Union, overload

Graph = Literal["bipartite", "undirected"]
Search = Literal["auto", "exact", "tolerance"]
Format = Literal["lines", "edges", "mtx", "baskets"]
Order = Literal["file", "found"]
# A list of transactions (lists of hashable labels), a scipy.sparse matrix,
# a networkx graph, a pandas DataFrame of pairs, or a dataset path.
Data = Union[Iterable[Iterable[Hashable]], str, os.PathLike, Any]

class Result(Tuple[Tuple[Hashable, ...], Tuple[Hashable, ...]]):
    """A quasi-biclique: its transactions and its items, each ascending, by the caller's labels."""
    @property
    def transactions(self) -> Tuple[Hashable, ...]: ...
    @property
    def items(self) -> Tuple[Hashable, ...]: ...

@overload
def mine(data: Data, *, item_support: int, item_tolerance: int, transaction_tolerance: int,
         transaction_support: int, graph: Graph = ..., search: Search = ...,
         threads: Optional[int] = ..., max_results: Optional[int] = ...,
         time_limit: Optional[float] = ..., format: Format = ...,
         callback: None = ..., order: Order = ...) -> list[Result]: ...
@overload
def mine(data: Data, *, item_support: int, item_tolerance: int, transaction_tolerance: int,
         transaction_support: int, graph: Graph = ..., search: Search = ...,
         threads: Optional[int] = ..., max_results: Optional[int] = ...,
         time_limit: Optional[float] = ..., format: Format = ...,
         callback: Callable[[Result], Any], order: Order = ...) -> int: ...
def count(data: Data, *, item_support: int, item_tolerance: int, transaction_tolerance: int,
          transaction_support: int, graph: Graph = ..., search: Search = ...,
          threads: Optional[int] = ..., max_results: Optional[int] = ...,
          time_limit: Optional[float] = ..., format: Format = ...) -> int: ...
def to_dataframe(results: Sequence[Result]) -> Any: ...
