#!/usr/bin/python3
"""Writes the bundled data sets in the sparse text format "label index:value ...".

The sources are the copies shipped with Debian's python3-sklearn (BSD licence).
Every feature is scaled linearly to [-1, 1] over the whole set; zero values
and features that are constant over the set are left out. Run from anywhere:

    /usr/bin/python3 data/make_data.py [OUTPUT_DIR]
"""
import os
import sys

import numpy as np
from sklearn import datasets


def scaled(x):
    lo, hi = x.min(axis=0), x.max(axis=0)
    span = np.where(hi > lo, hi - lo, 1.0)
    out = -1.0 + 2.0 * (x - lo) / span
    out[:, hi == lo] = 0.0  # constant features carry no information
    return out


def write(path, labels, x, label_format="%g"):
    with open(path, "w") as f:
        for y, row in zip(labels, x):
            items = ["%d:%g" % (j + 1, v) for j, v in enumerate(row) if float("%g" % v) != 0.0]
            f.write(" ".join([label_format % y] + items) + "\n")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    bc = datasets.load_breast_cancer()
    # +1 benign, -1 malignant (the source codes malignant as 0).
    write(os.path.join(out, "breast_cancer.txt"), np.where(bc.target == 1, 1, -1), scaled(bc.data),
          "%+d")
    # Classes 1, 2, 3 for iris and wine; the digits keep their own 0 to 9.
    for name, loader, first in (("iris", datasets.load_iris, 1), ("wine", datasets.load_wine, 1),
                                ("digits", datasets.load_digits, 0)):
        d = loader()
        write(os.path.join(out, name + ".txt"), d.target + first, scaled(d.data.astype(float)))
    d = datasets.load_diabetes(scaled=False)
    write(os.path.join(out, "diabetes.txt"), d.target, scaled(d.data))


if __name__ == "__main__":
    main()
