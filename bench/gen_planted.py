#!/usr/bin/env python3
"""Writes a random sparse transaction database with planted quasi-bicliques.

Every line gets `--per-line` random items out of 0..items-1 (a number drawn
twice on a line counts once when the miner reads it). Then `--blocks` blocks
are planted: each takes `--block-tids` lines (no line is in two blocks) and
`--block-items` items (no item is in two blocks) and adds the block's items to
each of its lines, except that for j < block-items the j-th line of the block
lacks the block's j-th item with probability 1/2. So every planted line lacks
at most one planted item and every planted item is missing from at most one
planted line: with both tolerances 1 each block is a quasi-biclique.

With --truth the blocks are written in the miner's output format
("tids ;items ", both ascending), one per line, for check_planted.py.
The file ends with a line end only if --final-newline is given.
"""
import argparse
import random


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--lines", type=int, required=True)
    p.add_argument("--items", type=int, required=True, help="background item range")
    p.add_argument("--per-line", type=int, required=True, help="random items per line")
    p.add_argument("--blocks", type=int, default=0)
    p.add_argument("--block-tids", type=int, default=0)
    p.add_argument("--block-items", type=int, default=0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--truth", help="where to write the planted blocks")
    p.add_argument("--final-newline", action="store_true")
    p.add_argument("output")
    a = p.parse_args()

    rng = random.Random(a.seed)
    lines = [[rng.randrange(a.items) for _ in range(a.per_line)] for _ in range(a.lines)]

    blocks = []
    if a.blocks:
        if a.blocks * a.block_tids > a.lines or a.blocks * a.block_items > a.items:
            p.error("the blocks do not fit")
        tids = rng.sample(range(a.lines), a.blocks * a.block_tids)
        items = rng.sample(range(a.items), a.blocks * a.block_items)
        for b in range(a.blocks):
            btids = tids[b * a.block_tids:(b + 1) * a.block_tids]
            bitems = items[b * a.block_items:(b + 1) * a.block_items]
            for j, t in enumerate(btids):
                lacks = bitems[j] if j < len(bitems) and rng.random() < 0.5 else None
                lines[t].extend(x for x in bitems if x != lacks)
            blocks.append((sorted(btids), sorted(bitems)))

    with open(a.output, "w") as out:
        out.write("\n".join(" ".join(map(str, line)) for line in lines))
        if a.final_newline:
            out.write("\n")
    if a.truth:
        with open(a.truth, "w") as out:
            for btids, bitems in blocks:
                out.write("".join(f"{t} " for t in btids) + ";" +
                          "".join(f"{x} " for x in bitems) + "\n")


if __name__ == "__main__":
    main()
