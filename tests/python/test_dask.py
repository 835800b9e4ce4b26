"""A grid search over (C, gamma) and folds with scikit-learn's GridSearchCV:
serially, with joblib's local processes, and on a local Dask cluster of two
worker processes through joblib's Dask backend.  All three pick the same
parameters with the same scores."""

import os

import joblib
import numpy as np
import pytest
from conftest import bundled
from sklearn.model_selection import GridSearchCV

import kaltro

GRID = {"C": [0.1, 1, 10, 100], "gamma": [0.01, 0.1, 1]}


def search(**kw):
    X, y = bundled("breast_cancer")
    return GridSearchCV(kaltro.SVC(), GRID, cv=5, **kw).fit(X, y)


@pytest.fixture(scope="module")
def serial():
    return search()


def same_search(a, b):
    assert a.best_params_ == b.best_params_
    np.testing.assert_array_equal(a.cv_results_["mean_test_score"],
                                  b.cv_results_["mean_test_score"])
    np.testing.assert_array_equal(a.predict(bundled("breast_cancer")[0]),
                                  b.predict(bundled("breast_cancer")[0]))


def test_local_processes(serial):
    same_search(search(n_jobs=2), serial)


def test_dask_cluster(serial):
    distributed = pytest.importorskip("distributed")
    # The workers are new processes that import kaltro: the package's place
    # goes to them through the environment.
    package = os.path.dirname(os.path.dirname(kaltro.__file__))
    os.environ["PYTHONPATH"] = os.pathsep.join(
        p for p in (package, os.environ.get("PYTHONPATH")) if p)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  host="127.0.0.1", dashboard_address=None,
                                  worker_dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        with distributed.get_task_stream(client) as tasks, \
                joblib.parallel_backend("dask", wait_for_workers_timeout=60):
            on_dask = search(n_jobs=-1)
        # The fits ran on the workers, both of them.
        assert len({t["worker"] for t in tasks.data}) == 2
    same_search(on_dask, serial)
