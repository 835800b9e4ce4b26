"""Shared by the package's tests: the bundled data sets."""

import functools
import os

import numpy as np

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data")


@functools.lru_cache(maxsize=None)
def bundled(name, dense=True):
    """data/NAME.txt as (X, y): X dense, or CSR with dense=False."""
    from sklearn.datasets import load_svmlight_file
    X, y = load_svmlight_file(os.path.join(DATA, name + ".txt"))
    return (X.toarray() if dense else X), y


def held_out(n, seed=0, share=0.25):
    """A fixed quarter of the rows to test on."""
    return np.random.RandomState(seed).rand(n) < share
