#!/usr/bin/env python3
"""Counts the planted blocks (gen_planted.py --truth) found in a result file.

Prints "exact covering planted": results equal to a planted block, planted
blocks contained in some result (tids and items both subsets), and blocks.
"""
import sys


def parse(line):
    tids, items = line.rstrip("\n").split(";")
    return frozenset(map(int, tids.split())), frozenset(map(int, items.split()))


def main():
    truth = [parse(l) for l in open(sys.argv[1]) if l.strip()]
    results = [parse(l) for l in open(sys.argv[2]) if l.strip()]
    exact = set(results)
    n_exact = sum(1 for b in truth if b in exact)
    n_cover = sum(1 for bt, bi in truth
                  if any(bt <= rt and bi <= ri for rt, ri in results))
    print(n_exact, n_cover, len(truth))


if __name__ == "__main__":
    main()
