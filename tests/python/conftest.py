"""Helpers of the Python module's tests: the datasets as rows, and the
command-line program's results on the same data (its binary is named by the
environment variable QB_BINARY)."""

import os
import pathlib
import subprocess

DATA = pathlib.Path(__file__).parent / "data"

# Each test dataset with its graph type.
DATASETS = {"southern_women.dat": "bipartite", "divorce.dat": "bipartite",
            "lesmis.adj": "undirected"}

# Parameters (item support, item tolerance, transaction tolerance,
# transaction support) and the search: the exact search on every dataset,
# the tolerance walk on one of each graph type (on divorce it takes seconds),
# and the walk where only it gives the results (a transaction tolerance of at
# least the item support) on the smallest.
EXACT = [((3, 1, 1, 3), "auto"), ((2, 0, 0, 2), "exact")]
WALK = [((3, 1, 1, 3), "tolerance"), ((4, 1, 1, 4), "tolerance")]
CASES = [(name, run) for name in DATASETS for run in EXACT] + \
    [(name, run) for name in ("southern_women.dat", "lesmis.adj") for run in WALK] + \
    [("southern_women.dat", ((3, 1, 3, 4), "auto"))]


def params(run):
    (isl, it, tt, tsl), search = run
    return dict(item_support=isl, item_tolerance=it, transaction_tolerance=tt,
                transaction_support=tsl, search=search)


def read_rows(name):
    """The dataset's lines as lists of ints."""
    return [[int(x) for x in line.split()] for line in (DATA / name).read_text().split("\n")]


def program(args, tmp_path):
    """Runs the program; returns (exit status, output file text, standard error)."""
    out = tmp_path / "out.txt"
    run = subprocess.run([os.environ["QB_BINARY"], *map(str, args), str(out)],
                         capture_output=True, text=True)
    text = out.read_text() if out.exists() else ""
    return run.returncode, text, run.stderr


# The program's exit status of a run stopped at its result limit.
STOPPED_AT_A_BOUND = 6


def program_results(path, run, graph, tmp_path, options=(), convert=int, statuses=(0,)):
    """The program's results on the dataset file: a list of (transactions, items)
    label tuples in the file's order."""
    (isl, it, tt, tsl), search = run
    status, text, err = program([f"--search={search}", *options, path, isl, it, tt, tsl,
                                 int(graph == "undirected")], tmp_path)
    assert status in statuses, err
    results = []
    for line in text.splitlines():
        left, right = line.split(";")
        results.append((tuple(convert(x) for x in left.split()),
                        tuple(convert(x) for x in right.split())))
    return results


def pairs(results):
    return [(r.transactions, r.items) for r in results]
