#!/usr/bin/env python3
"""Counts the maximal bicliques with a single transaction, which the miner
never reports (a result always has at least two transactions).

  single_transaction.py DATASET GRAPHTYPE

Graph type 0: the closed itemsets of support exactly 1, i.e. the distinct
non-empty lines that occur once and are contained in no other line.
Graph type 1: the pairs ({u}, {v}) with u and v each other's only neighbour
(a mirrored star ({v}, N(v)) with |N(v)| >= 2 is reported from the side with
two or more transactions, so only isolated edges are missing).

The dataset reference counts at minimum sizes 1/1 include these; adding this
number to the miner's count must give the reference count.
"""
import re
import sys
from collections import Counter


def main():
    path, graphtype = sys.argv[1], int(sys.argv[2])
    text = open(path).read()
    lines = [frozenset(int(x) for x in re.findall(r"\d+", l)) for l in text.split("\n")]
    if graphtype == 0:
        occurs = Counter(l for l in lines if l)
        once = [l for l, n in occurs.items() if n == 1]
        print(sum(1 for l in once if not any(l < other for other in occurs)))
    else:
        ends = sum(1 for l in lines if len(l) == 1 and len(lines[next(iter(l))]) == 1)
        print(ends // 2)


if __name__ == "__main__":
    main()
