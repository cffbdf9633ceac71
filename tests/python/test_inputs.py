"""The results of every kind of input equal the command-line program's on
the same data, in the output file's order where the labels sort as the
file's ids do, as sets otherwise."""

import networkx as nx
import pandas as pd
import pytest
import scipy.sparse as sp

import quasibiclique as qb
from conftest import CASES, DATA, DATASETS, STOPPED_AT_A_BOUND, pairs, params, program_results, read_rows

def case_id(case):
    name, ((isl, it, tt, tsl), search) = case
    return f"{name}-{isl}{it}{tt}{tsl}-{search}"


@pytest.fixture(params=CASES, ids=[case_id(c) for c in CASES])
def case(request, tmp_path):
    """(dataset rows, graph type, mine's parameters, the program's results)."""
    name, run = request.param
    graph = DATASETS[name]
    expected = program_results(DATA / name, run, graph, tmp_path)
    assert expected, "every case has results"
    return read_rows(name), graph, dict(params(run), graph=graph), expected


def edges(rows, graph):
    """The (first, second) pairs of the rows, each edge of an undirected graph once."""
    return [(t, i) for t, row in enumerate(rows) for i in row
            if graph == "bipartite" or t <= i]


def test_path_and_lists_give_the_programs_results_in_order(case):
    rows, graph, kwargs, expected = case
    name = [n for n in DATASETS if read_rows(n) == rows][0]
    assert pairs(qb.mine(DATA / name, **kwargs)) == expected
    assert pairs(qb.mine(str(DATA / name), **kwargs, threads=2)) == expected
    assert pairs(qb.mine(rows, **kwargs)) == expected
    assert qb.count(rows, **kwargs) == len(expected)
    assert qb.count(DATA / name, **kwargs) == len(expected)


def test_sparse_matrix_gives_the_programs_results_in_order(case):
    rows, graph, kwargs, expected = case
    columns = max(max(row, default=0) for row in rows) + 1
    if graph == "undirected":
        columns = len(rows)
    cells = edges(rows, "bipartite")
    matrix = sp.coo_matrix(([1] * len(cells), ([t for t, _ in cells], [i for _, i in cells])),
                           shape=(len(rows), columns))
    assert pairs(qb.mine(matrix, **kwargs)) == expected
    assert pairs(qb.mine(matrix.tocsc(), **kwargs)) == expected
    assert qb.count(matrix, **kwargs) == len(expected)


def test_networkx_graph_keeps_node_names(case):
    rows, graph, kwargs, expected = case
    # Names that sort as the ids do keep the file's order.
    g = nx.Graph()
    if graph == "bipartite":
        g.add_nodes_from((("w", t) for t in range(len(rows))), bipartite=0)
        g.add_nodes_from((("e", i) for row in rows for i in row), bipartite=1)
        g.add_edges_from((("w", t), ("e", i)) for t, i in edges(rows, graph))
        named = [(tuple(("w", t) for t in ts), tuple(("e", i) for i in its))
                 for ts, its in expected]
    else:
        g.add_nodes_from(("v", v) for v in range(len(rows)))
        g.add_edges_from((("v", u), ("v", v)) for u, v in edges(rows, graph))
        named = [(tuple(("v", t) for t in ts), tuple(("v", i) for i in its))
                 for ts, its in expected]
    assert pairs(qb.mine(g, **kwargs)) == named
    assert qb.count(g, **kwargs) == len(expected)


def test_dataframe_of_pairs_keeps_labels(case):
    rows, graph, kwargs, expected = case
    # String labels sort otherwise than the ids: the same results as a set.
    frame = pd.DataFrame([(f"t{t}", f"i{i}" if graph == "bipartite" else f"t{i}")
                          for t, i in edges(rows, graph)], columns=["source", "target"])
    side = "i" if graph == "bipartite" else "t"
    named = {(tuple(f"t{t}" for t in ts), tuple(f"{side}{i}" for i in its))
             for ts, its in expected}
    got = pairs(qb.mine(frame, **kwargs))
    assert len(got) == len(expected)
    assert {(tuple(sorted(ts)), tuple(sorted(its))) for ts, its in got} == \
        {(tuple(sorted(ts)), tuple(sorted(its))) for ts, its in named}


def test_labelled_files_give_the_programs_labels(case, tmp_path):
    rows, graph, kwargs, expected = case
    path = tmp_path / "d.edges"
    second = "i" if graph == "bipartite" else "v"
    first = "v" if graph == "undirected" else "t"
    path.write_text("".join(f"{first}{t} {second}{i}\n" for t, i in edges(rows, graph)))
    run = ((kwargs["item_support"], kwargs["item_tolerance"], kwargs["transaction_tolerance"],
            kwargs["transaction_support"]), kwargs["search"])
    labelled = program_results(path, run, graph, tmp_path, ["--format=edges"], convert=str)
    assert pairs(qb.mine(path, format="edges", **kwargs)) == labelled
    assert len(labelled) == len(expected)


def test_callback_and_bounds(case, tmp_path):
    rows, graph, kwargs, expected = case
    seen = []
    assert qb.mine(rows, **kwargs, callback=seen.append) == len(expected)
    assert pairs(seen) == expected
    name = [n for n in DATASETS if read_rows(n) == rows][0]
    run = ((kwargs["item_support"], kwargs["item_tolerance"], kwargs["transaction_tolerance"],
            kwargs["transaction_support"]), kwargs["search"])
    # Which results a bounded run finds first depends on its threads' pace:
    # one thread finds the same ones every time.
    bounded = program_results(DATA / name, run, graph, tmp_path,
                              ["--max-results=5", "--threads=1"],
                              statuses=(0, STOPPED_AT_A_BOUND))
    assert pairs(qb.mine(rows, **kwargs, max_results=5, threads=1)) == bounded


def test_davis_southern_women_as_the_program_names_them(tmp_path):
    g = nx.davis_southern_women_graph()
    kwargs = dict(item_support=3, item_tolerance=1, transaction_tolerance=1,
                  transaction_support=3)
    expected = program_results(DATA / "southern_women.dat", ((3, 1, 1, 3), "auto"),
                               "bipartite", tmp_path)
    results = qb.mine(g, **kwargs)
    assert len(results) == len(expected) == qb.count(g, **kwargs)
    women, events = set(nx.bipartite.sets(g)[0]), set(g) - set(nx.bipartite.sets(g)[0])
    women = {n for n, side in g.nodes(data="bipartite") if side == 0}
    events = {n for n, side in g.nodes(data="bipartite") if side == 1}
    for r in results:
        assert set(r.transactions) <= women and set(r.items) <= events
        assert len(r.transactions) >= 3 and len(r.items) >= 3
    frame = qb.to_dataframe(results)
    assert list(frame.columns) == ["n_transactions", "n_items", "transactions", "items"]
    assert frame["transactions"].tolist() == [r.transactions for r in results]
    assert frame["n_items"].tolist() == [len(r.items) for r in results]


def oriented(found, graph):
    """The results sorted, each of an undirected graph turned so that its
    smallest transaction is below its smallest item."""
    turned = [(t, i) if graph == "bipartite" or t[0] < i[0] else (i, t) for t, i in found]
    return sorted(turned)


def test_results_as_found_are_the_programs(case):
    rows, graph, kwargs, expected = case
    exact_regime = (kwargs["transaction_tolerance"] < kwargs["item_support"] and
                    kwargs["item_tolerance"] < max(2, kwargs["transaction_support"]))
    if kwargs["search"] == "tolerance" or not exact_regime:
        with pytest.raises(ValueError, match="need the exact search"):
            qb.mine(rows, **kwargs, order="found")
        return
    found = pairs(qb.mine(rows, **kwargs, order="found", threads=2))
    assert oriented(found, graph) == oriented(expected, graph)
    seen = []
    assert qb.mine(rows, **kwargs, order="found", callback=seen.append) == len(expected)
    assert oriented(pairs(seen), graph) == oriented(expected, graph)
