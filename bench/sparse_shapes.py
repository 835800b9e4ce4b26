#!/usr/bin/python3
"""Two sparse sets of other shapes than the text-like one, for the kernel
paths' cost rules: one-hot categories and pixels.

    bench/sparse_shapes.py DIR

Writes DIR/onehot.txt (20 000 lines, 14 categorical fields of 2 to 16
values with skewed frequencies, one-hot: 14 non-zeros of 1 a line, 156
features, the shape of the adult census data) and DIR/pixels.txt (20 000
lines, 28 x 28 images of a ring with random radius and centre plus sparse
noise: about 163 of 784 pixels non-zero).  Seeded: the same files on every
run.
"""
import math
import os
import random
import sys


def onehot(path, rng, n=20000):
    fields, off = [], 1
    for _ in range(14):
        k = rng.randint(2, 16)
        w = [1.0 / (i + 1) ** 1.3 for i in range(k)]
        s = sum(w)
        fields.append((off, [x / s for x in w]))
        off += k
    with open(path, "w") as out:
        for _ in range(n):
            feats, score = [], 0
            for o, p in fields:
                u, c, acc = rng.random(), 0, p[0]
                while u > acc and c < len(p) - 1:
                    c += 1
                    acc += p[c]
                feats.append(o + c)
                score += (c % 3) - 1
            y = 1 if score + rng.gauss(0, 2) > 0 else -1
            out.write("%d %s\n" % (y, " ".join("%d:1" % f for f in sorted(feats))))


def pixels(path, rng, n=20000):
    with open(path, "w") as out:
        for _ in range(n):
            cx, cy = 14 + rng.gauss(0, 2), 14 + rng.gauss(0, 2)
            r = 6 + rng.random() * 3
            feats = []
            for y in range(28):
                for x in range(28):
                    if abs(math.hypot(x - cx, y - cy) - r) < 1.6 or rng.random() < 0.02:
                        feats.append((y * 28 + x + 1, round(rng.random(), 3) or 0.5))
            out.write("%d %s\n" % (1 if r > 7.5 else -1, " ".join("%d:%g" % f for f in feats)))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    rng = random.Random(5)
    onehot(os.path.join(sys.argv[1], "onehot.txt"), rng)
    pixels(os.path.join(sys.argv[1], "pixels.txt"), rng)


if __name__ == "__main__":
    main()
