#!/usr/bin/env python3
"""Deterministic synthetic classification sets in the sparse text format.

    gen_data.py KIND N SEED > FILE

KIND is "clouds" (two overlapping Gaussian clouds in 10 dimensions, 5% of the
labels flipped) or "rings" (a harder nonlinear set: two noisy concentric
shells in 6 dimensions, 3% of the labels flipped). Only Python's own random
module is used, so the same arguments give the same file on every machine.
"""
import math
import random
import sys


def clouds(rng, n):
    d = 10
    for _ in range(n):
        y = 1 if rng.random() < 0.5 else -1
        centre = 0.6 * y
        v = [rng.gauss(centre if j < 3 else 0.0, 1.0) for j in range(d)]
        if rng.random() < 0.05:
            y = -y
        yield y, v


def rings(rng, n):
    d = 6
    for _ in range(n):
        y = 1 if rng.random() < 0.5 else -1
        radius = 1.0 if y > 0 else 1.6
        u = [rng.gauss(0.0, 1.0) for _ in range(d)]
        norm = math.sqrt(sum(t * t for t in u)) or 1.0
        r = radius + rng.gauss(0.0, 0.25)
        v = [r * t / norm for t in u]
        if rng.random() < 0.03:
            y = -y
        yield y, v


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("clouds", "rings"):
        sys.stderr.write("usage: gen_data.py clouds|rings N SEED\n")
        return 2
    kind, n, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    gen = clouds if kind == "clouds" else rings
    out = sys.stdout
    for y, v in gen(rng, n):
        out.write("%+d %s\n" % (y, " ".join("%d:%.6g" % (j + 1, t) for j, t in enumerate(v))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
