"""Refused parameters and data raise with the command line's messages, and a
run stopped from Python (a signal, the callback's exception) leaves the module
usable."""

import _thread
import threading

import networkx as nx
import pandas as pd
import pytest
import scipy.sparse as sp

import quasibiclique as qb
from conftest import DATA, program

SMALL = dict(item_support=3, item_tolerance=1, transaction_tolerance=1, transaction_support=3)
# Les miserables as a graph with these parameters takes the tolerance walk
# much longer than any test waits: runs that must be stopped from outside.
LONG = dict(item_support=3, item_tolerance=2, transaction_tolerance=1, transaction_support=2,
            graph="undirected", search="tolerance", time_limit=120)


def program_refusal(args, tmp_path):
    """The command line's message for a refused run, without the program's name."""
    status, _, err = program(args, tmp_path)
    assert status != 0
    message = err.splitlines()[0]
    for prefix in ("quasibiclique: ", "error: "):
        message = message[len(prefix):] if message.startswith(prefix) else message
    return message


@pytest.mark.parametrize("field,value,position", [
    ("item_support", 0, 1), ("item_tolerance", -1, 2), ("transaction_tolerance", -2, 3),
    ("transaction_support", -1, 4)])
def test_refused_parameters_raise_the_programs_message(tmp_path, field, value, position):
    args = [DATA / "southern_women.dat", 3, 1, 1, 3, 0]
    args[position] = value
    with pytest.raises(ValueError) as refused:
        qb.mine(DATA / "southern_women.dat", **dict(SMALL, **{field: value}))
    assert str(refused.value) == program_refusal(args, tmp_path)
    with pytest.raises(ValueError):
        qb.count([[1, 2]], **dict(SMALL, **{field: value}))


def test_refused_choices_and_bounds():
    for wrong in (dict(graph="directed"), dict(search="fast"), dict(threads=-1),
                  dict(threads=100000), dict(max_results=-1), dict(time_limit=-1.0),
                  dict(time_limit=float("nan")), dict(order="sorted")):
        with pytest.raises(ValueError):
            qb.mine([[1, 2, 3]] * 3, **SMALL, **wrong)
    with pytest.raises(ValueError):
        qb.mine([[1, 2, 3]] * 3, **SMALL, format="edges")
    with pytest.raises(ValueError):
        qb.mine(DATA / "southern_women.dat", **SMALL, format="csv")


def test_bad_files_raise_the_programs_message(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        qb.mine(tmp_path / "none.dat", **SMALL)
    assert str(missing.value) == program_refusal([tmp_path / "none.dat", 3, 1, 1, 3, 0],
                                                 tmp_path)
    bad = tmp_path / "bad.mtx"
    bad.write_text("%%MatrixMarket matrix coordinate pattern general\n2 2 1\n3 1\n")
    with pytest.raises(ValueError) as corrupt:
        qb.mine(bad, **SMALL, format="mtx")
    assert str(corrupt.value) == program_refusal(["--format=mtx", bad, 3, 1, 1, 3, 0],
                                                 tmp_path)
    with pytest.raises(ValueError):
        qb.mine("", **SMALL)
    baskets = tmp_path / "d.baskets"
    baskets.write_text("a b\n")
    with pytest.raises(ValueError):
        qb.mine(baskets, **SMALL, graph="undirected", format="baskets")


def test_bad_data_of_every_kind_raises():
    with pytest.raises(TypeError):
        qb.mine(42, **SMALL)
    with pytest.raises(ValueError):
        qb.mine([[1, [2]]], **SMALL)  # an unhashable label
    with pytest.raises(ValueError):
        qb.mine([[1, 2], 3], **SMALL)  # a transaction that is no list
    with pytest.raises(ValueError):
        qb.mine([[1], [0, 2]], **SMALL, graph="undirected")  # no vertex 2
    with pytest.raises(ValueError):
        qb.mine(sp.csr_matrix([[0, 1, 1]]), **SMALL, graph="undirected")
    with pytest.raises(ValueError):
        qb.mine(sp.csr_matrix([[0, 1], [0, 0]]), **SMALL, graph="undirected")
    unmarked = nx.complete_bipartite_graph(3, 3)
    del unmarked.nodes[0]["bipartite"]
    with pytest.raises(ValueError):
        qb.mine(unmarked, **SMALL)
    inside = nx.complete_bipartite_graph(3, 3)
    inside.add_edge(0, 1)
    with pytest.raises(ValueError):
        qb.mine(inside, **SMALL)
    with pytest.raises(ValueError):
        qb.mine(nx.DiGraph([(0, 1)]), **SMALL, graph="undirected")
    with pytest.raises(ValueError):
        qb.mine(pd.DataFrame({"a": [1], "b": [2], "c": [3]}), **SMALL)
    with pytest.raises(ValueError):
        qb.mine(pd.DataFrame({"a": [1, None], "b": [2, 3]}), **SMALL)


def test_raising_callback_stops_the_run_and_module_stays_usable():
    expected = qb.mine(DATA / "southern_women.dat", **SMALL)

    class Enough(Exception):
        pass

    def stop_at_the_third(result, seen=[]):
        seen.append(result)
        if len(seen) == 3:
            raise Enough()

    with pytest.raises(Enough):
        qb.mine(DATA / "southern_women.dat", **SMALL, callback=stop_at_the_third)
    assert qb.mine(DATA / "southern_women.dat", **SMALL) == expected


@pytest.mark.parametrize("run", [qb.mine, qb.count])
def test_interrupt_stops_a_long_run_and_module_stays_usable(run):
    expected = qb.count(DATA / "southern_women.dat", **SMALL)
    timer = threading.Timer(0.5, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            run(DATA / "lesmis.adj", **LONG)
    finally:
        timer.cancel()
    assert qb.count(DATA / "southern_women.dat", **SMALL) == expected
    assert len(qb.mine(DATA / "southern_women.dat", **SMALL)) == expected
