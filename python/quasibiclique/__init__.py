"""Maximal quasi-bicliques of bipartite graphs, transaction data and undirected graphs.

A quasi-biclique is a pair (T, I) of a set of transactions and a set of items
in which every item of I is missing from at most ``item_tolerance``
transactions of T, every transaction of T lacks at most
``transaction_tolerance`` items of I, ``|I| >= item_support`` and
``|T| >= max(2, transaction_support)``. :func:`mine` returns them in the order
of the command-line program's output file, named by the caller's own labels;
:func:`count` only counts them.

The data may be a list of transactions, a scipy.sparse matrix, a networkx
graph, a pandas DataFrame of pairs, or the path of a dataset file.

Example::

    import networkx as nx
    import quasibiclique as qb

    g = nx.davis_southern_women_graph()
    for r in qb.mine(g, item_support=3, item_tolerance=1,
                     transaction_tolerance=1, transaction_support=3):
        print(r.transactions, r.items)
"""

import os

from ._core import Result
from . import _core

__all__ = ["Result", "mine", "count", "to_dataframe"]

_GRAPHS = {"bipartite": False, "undirected": True}
_SEARCHES = {"auto": 0, "exact": 1, "tolerance": 2}
_FORMATS = {"lines": 0, "edges": 1, "mtx": 2, "baskets": 3}


def _choice(name, value, choices):
    if value not in choices:
        names = ", ".join(repr(c) for c in choices)
        raise ValueError(f"{name} must be one of {names}, not {value!r}")
    return choices[value]


def _ordered(labels):
    """The distinct labels, sorted when they can be compared, else in order of first appearance."""
    distinct = list(dict.fromkeys(labels))
    try:
        return sorted(distinct)
    except TypeError:
        return distinct


def _numbering(labels):
    return {label: k for k, label in enumerate(labels)}


def _hashable(label, where):
    try:
        hash(label)
    except TypeError:
        raise ValueError(f"{where}: label {label!r} is not hashable") from None
    return label


def _from_lists(data, undirected):
    """Rows of ids and the labels of both sides for a list of transactions."""
    rows = [list(row) for row in data]
    if undirected:
        for k, row in enumerate(rows):
            for v in row:
                if not isinstance(v, int) or isinstance(v, bool) or not 0 <= v < len(rows):
                    raise ValueError(f"vertex {k}: neighbour {v!r} is not a vertex 0..{len(rows) - 1}")
        return rows, None, None
    items = _ordered(_hashable(x, f"transaction {k}") for k, row in enumerate(rows) for x in row)
    ids = _numbering(items)
    return [[ids[x] for x in row] for row in rows], None, items


def _from_sparse(matrix, undirected):
    """Rows of ids for a scipy.sparse matrix: rows are transactions, columns items."""
    m = matrix.tocsr(copy=True)
    m.eliminate_zeros()
    if undirected:
        if m.shape[0] != m.shape[1]:
            raise ValueError(f"an undirected graph needs a square matrix, not {m.shape[0]}x{m.shape[1]}")
        if (m != m.T).nnz:
            raise ValueError("an undirected graph needs a symmetric matrix")
    m.sort_indices()
    indptr, indices = m.indptr.tolist(), m.indices.tolist()
    return [indices[indptr[k]:indptr[k + 1]] for k in range(m.shape[0])], None, None


def _from_networkx(g, undirected):
    """Rows of ids and labels for a networkx graph (bipartite: node attribute 'bipartite' 0/1)."""
    if g.is_directed():
        raise ValueError("a directed graph is refused: give an undirected one")
    if undirected:
        vertices = _ordered(g.nodes)
        ids = _numbering(vertices)
        rows = [sorted(ids[v] for v in g.adj[u]) for u in vertices]
        return rows, vertices, vertices
    sides = ([], [])
    for node, side in g.nodes(data="bipartite"):
        if side not in (0, 1):
            raise ValueError(f"node {node!r}: attribute 'bipartite' must be 0 or 1, not {side!r}")
        sides[side].append(node)
    transactions, items = _ordered(sides[0]), _ordered(sides[1])
    ids = _numbering(items)
    rows = []
    for t in transactions:
        row = []
        for v in g.adj[t]:
            if v not in ids:
                raise ValueError(f"edge {t!r} - {v!r} joins two nodes of side 0")
            row.append(ids[v])
        rows.append(sorted(row))
    return rows, transactions, items


def _from_pairs(frame, undirected):
    """Rows of ids and labels for a DataFrame of pairs: (transaction, item) or an edge."""
    if len(frame.columns) != 2:
        raise ValueError(f"a DataFrame of pairs needs two columns, not {len(frame.columns)}")
    if frame.isna().any(axis=None):
        raise ValueError("a DataFrame of pairs may hold no missing values")
    first, second = (frame.iloc[:, k].tolist() for k in (0, 1))
    for where, column in ((frame.columns[0], first), (frame.columns[1], second)):
        for label in column:
            _hashable(label, f"column {where!r}")
    if undirected:
        vertices = _ordered(first + second)
        ids = _numbering(vertices)
        rows = [[] for _ in vertices]
        for u, v in zip(first, second):
            rows[ids[u]].append(ids[v])
            rows[ids[v]].append(ids[u])
        return rows, vertices, vertices
    transactions, items = _ordered(first), _ordered(second)
    tids, ids = _numbering(transactions), _numbering(items)
    rows = [[] for _ in transactions]
    for t, i in zip(first, second):
        rows[tids[t]].append(ids[i])
    return rows, transactions, items


def _rows_of(data, undirected):
    """Rows of ids with the labels of transactions and items (None: the ids themselves)."""
    if hasattr(data, "tocsr") and hasattr(data, "shape"):
        return _from_sparse(data, undirected)
    if hasattr(data, "is_directed") and hasattr(data, "adj"):
        return _from_networkx(data, undirected)
    if hasattr(data, "columns") and hasattr(data, "iloc"):
        return _from_pairs(data, undirected)
    if isinstance(data, (str, bytes)) or not hasattr(data, "__iter__"):
        raise TypeError(f"data of type {type(data).__name__} is not a dataset: give a list of "
                        "transactions, a scipy.sparse matrix, a networkx graph, a pandas "
                        "DataFrame of pairs or a path (str or os.PathLike)")
    rows = list(data)
    for k, row in enumerate(rows):
        if isinstance(row, (str, bytes)) or not hasattr(row, "__iter__"):
            raise ValueError(f"transaction {k}: {row!r} is not a list of labels")
    return _from_lists(rows, undirected)


_ORDERS = {"file": False, "found": True}


def _run(data, item_support, item_tolerance, transaction_tolerance, transaction_support, graph,
         search, threads, max_results, time_limit, format, count, callback, order="file"):
    undirected = _choice("graph", graph, _GRAPHS)
    options = dict(item_support=item_support, item_tolerance=item_tolerance,
                   transaction_tolerance=transaction_tolerance,
                   transaction_support=transaction_support, undirected=undirected,
                   search=_choice("search", search, _SEARCHES),
                   threads=0 if threads is None else threads,
                   max_results=0 if max_results is None else max_results,
                   time_limit=0.0 if time_limit is None else time_limit,
                   count=count, found=_choice("order", order, _ORDERS), callback=callback)
    if isinstance(data, (str, os.PathLike)):
        path = os.fsdecode(data)
        if not path:
            raise ValueError("the dataset path is empty")
        return _core.run(rows=[], path=path, format=_choice("format", format, _FORMATS),
                         transaction_labels=None, item_labels=None, **options)
    if format != "lines":
        raise ValueError("format is for a dataset path only")
    rows, transactions, items = _rows_of(data, undirected)
    return _core.run(rows=rows, path="", format=0, transaction_labels=transactions,
                     item_labels=items, **options)


def mine(data, *, item_support, item_tolerance, transaction_tolerance, transaction_support,
         graph="bipartite", search="auto", threads=None, max_results=None, time_limit=None,
         format="lines", callback=None, order="file"):
    """Mines the maximal quasi-bicliques of data.

    data: one of
      * a list of transactions, each a list of hashable item labels; transactions
        are named by their position. With graph="undirected", data[k] lists the
        neighbours of vertex k, as vertex numbers 0 .. len(data) - 1;
      * a scipy.sparse matrix: rows are transactions, columns items, named by
        their numbers (graph="undirected": a symmetric adjacency matrix);
      * a networkx graph: bipartite, every node carrying the attribute
        bipartite=0 (transactions) or bipartite=1 (items); with graph="undirected"
        any undirected graph. Nodes are named by themselves;
      * a pandas DataFrame of two columns: (transaction, item) pairs, or with
        graph="undirected" the edges;
      * a path (str or os.PathLike) of a dataset file in the format ``format``:
        "lines" (line k is transaction k, its numbers the items), "edges",
        "mtx" (Matrix Market) or "baskets", gzip-compressed or not; results are
        named as the program's output file names them.
    item_support, item_tolerance, transaction_tolerance, transaction_support:
        the parameters of the command line, in its order.
    graph: "bipartite" or "undirected" (the graph type 0 or 1).
    search: "auto", "exact" or "tolerance".
    threads: threads that mine; None: one per core. The results do not depend on it.
    max_results, time_limit (seconds): bounds of the run; None: none. A run
        stopped at a bound returns the results found until then.
    callback: when given, called with each Result in turn instead of collecting
        them; mine then returns the number of results. An exception it raises
        stops the run and propagates.
    order: "file", the output file's order, the results handed over once the
        search has ended; or "found", each result as the exact search finds it,
        while it runs (the callback sees it then), in no fixed order. For
        graph="undirected" a result whose mirror is a result too then comes
        once, as the one whose smallest transaction is below its smallest item.
        The tolerance walk cannot hand results over as found (it may replace a
        pair by a later one): "found" with it raises ValueError.

    Returns the list of Results (named tuples (transactions, items), each a
    tuple of labels, ascending) in the order asked for.

    Raises ValueError for refused parameters or data (with the command line's
    message), TypeError for data of no known kind, FileNotFoundError for a path
    that cannot be opened, MemoryError when memory runs out. Ctrl-C stops the
    run with KeyboardInterrupt. The GIL is released while the run mines.
    """
    return _run(data, item_support, item_tolerance, transaction_tolerance, transaction_support,
                graph, search, threads, max_results, time_limit, format, False, callback, order)


def count(data, *, item_support, item_tolerance, transaction_tolerance, transaction_support,
          graph="bipartite", search="auto", threads=None, max_results=None, time_limit=None,
          format="lines"):
    """The number of results :func:`mine` would return, without keeping them.

    Takes the arguments of :func:`mine` (but callback); the exact search's
    results are counted without being stored at all.
    """
    return _run(data, item_support, item_tolerance, transaction_tolerance, transaction_support,
                graph, search, threads, max_results, time_limit, format, True, None)


def to_dataframe(results):
    """A pandas DataFrame of results: one row per result, with the columns
    n_transactions, n_items, transactions and items (tuples of labels)."""
    import pandas

    return pandas.DataFrame(
        {"n_transactions": [len(r.transactions) for r in results],
         "n_items": [len(r.items) for r in results],
         "transactions": [r.transactions for r in results],
         "items": [r.items for r in results]},
        columns=["n_transactions", "n_items", "transactions", "items"])
