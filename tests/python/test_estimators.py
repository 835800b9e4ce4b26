"""The estimators: scikit-learn's conformance suite, agreement with its own
SVC, SVR and OneClassSVM on the bundled data sets, sample and class
weights, sparse input, pickling and refused input."""

import pickle
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
import sklearn.svm
from conftest import bundled, held_out
from sklearn.exceptions import ConvergenceWarning, NotFittedError, SkipTestWarning
from sklearn.metrics import log_loss
from sklearn.utils.estimator_checks import check_estimator, check_sample_weights_invariance

import kaltro


@pytest.mark.parametrize("estimator", [
    kaltro.SVC(), kaltro.SVC(kernel="precomputed"), kaltro.SVC(kernel="linear", C=3),
    kaltro.SVC(probability=True),
    kaltro.SVR(), kaltro.OneClassSVM(),
], ids=repr)
def test_conformance(estimator):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        check_estimator(estimator)
    # The only check left out is the one the estimators' tags name (why: in
    # _more_tags); its unit-weight half must pass all the same.
    skipped = {str(w.message).split(" ")[1] for w in caught
               if issubclass(w.category, SkipTestWarning)}
    assert skipped <= {"check_sample_weights_invariance"}, skipped
    if estimator.kernel != "precomputed":  # the check's rows are no kernel matrix
        check_sample_weights_invariance(type(estimator).__name__, estimator, kind="ones")


def spread(model, n):
    """dual_coef_ as one column per training row (zero off the support)."""
    dc = model.dual_coef_.toarray() if sp.issparse(model.dual_coef_) else model.dual_coef_
    out = np.zeros((dc.shape[0], n))
    out[:, model.support_] = dc
    return out


CASES = [(name, kernel) for name in ("iris", "wine", "digits", "breast_cancer", "diabetes")
         for kernel in ("rbf", "linear", "poly")]


@pytest.mark.parametrize("name, kernel", CASES)
def test_agrees_with_scikit_learn(name, kernel):
    X, y = bundled(name)
    test = held_out(len(y))
    if name == "diabetes":
        make = lambda lib, **kw: lib.SVR(kernel=kernel, C=100, epsilon=5, **kw)  # noqa: E731
    else:
        make = lambda lib, **kw: lib.SVC(kernel=kernel, C=10, **kw)  # noqa: E731
        # Labels as text, met in another order than sorted: classes_ and the
        # signs must follow scikit-learn's sorted order all the same.
        y = np.array(["c%02d" % (99 - v) for v in y.astype(int)])
    ours, theirs = make(kaltro).fit(X[~test], y[~test]), make(sklearn.svm).fit(X[~test], y[~test])
    p, q = ours.predict(X[test]), theirs.predict(X[test])
    if name == "diabetes":
        np.testing.assert_allclose(p, q, atol=1e-3 * np.abs(q).max())
    else:
        np.testing.assert_array_equal(ours.classes_, theirs.classes_)
        assert np.mean(p == q) >= 0.995
        for shape in ("ovo", "ovr"):
            ours.decision_function_shape = theirs.decision_function_shape = shape
            # One-vs-rest values count votes: a pair's value near 0 may vote
            # either way, so whole rows are compared.
            close = np.isclose(ours.decision_function(X[test]),
                               theirs.decision_function(X[test]), atol=2e-2, rtol=0)
            assert np.mean(close.reshape(len(p), -1).all(axis=1)) >= 0.995

    # Solved closely, both reach the same coefficients and intercepts.
    ours, theirs = make(kaltro, tol=1e-6).fit(X[~test], y[~test]), make(
        sklearn.svm, tol=1e-6).fit(X[~test], y[~test])
    n = int((~test).sum())
    scale = 100 if name == "diabetes" else 10
    np.testing.assert_allclose(spread(ours, n), spread(theirs, n), atol=1e-4 * scale)
    np.testing.assert_allclose(ours.intercept_, theirs.intercept_, atol=1e-5, rtol=1e-5)
    np.testing.assert_array_equal(ours.n_support_, theirs.n_support_)
    if kernel == "linear":
        np.testing.assert_allclose(ours.coef_, theirs.coef_, atol=1e-3)


@pytest.mark.parametrize("name", ["iris", "wine", "digits", "breast_cancer"])
def test_probabilities_agree_with_scikit_learn(name):
    X, y = bundled(name)
    test = held_out(len(y))
    w = np.where(np.arange(int((~test).sum())) % 7 == 0, 2.0, 1.0)  # weights reach the folds too
    ours = kaltro.SVC(probability=True).fit(X[~test], y[~test], sample_weight=w)
    theirs = sklearn.svm.SVC(probability=True, random_state=0).fit(X[~test], y[~test],
                                                                  sample_weight=w)
    p, q = ours.predict_proba(X[test]), theirs.predict_proba(X[test])
    np.testing.assert_allclose(p.sum(axis=1), 1, atol=1e-12)
    # Folds differ between the two, so the sigmoids do too, a little.
    loss = [log_loss(y[test], r, labels=ours.classes_) for r in (p, q)]
    assert loss[0] <= 1.05 * loss[1] + 1e-3, loss
    assert np.abs(p - q).max() < 0.1
    with pytest.raises(AttributeError):
        kaltro.SVC().fit(X[~test], y[~test]).predict_proba(X[test])


def test_threads_give_the_same_model():
    X, y = bundled("digits")
    one, two = (kaltro.SVC(n_jobs=n, probability=True).fit(X, y) for n in (None, 2))
    np.testing.assert_array_equal(one.dual_coef_, two.dual_coef_)
    np.testing.assert_array_equal(one.probA_, two.probA_)
    np.testing.assert_array_equal(one.decision_function(X), two.decision_function(X))
    with pytest.raises(ValueError, match="n_jobs"):
        kaltro.SVR(n_jobs=0).fit(X, y)


@pytest.mark.parametrize("name", ["iris", "breast_cancer", "diabetes"])
def test_one_class_agrees_with_scikit_learn(name):
    X, _ = bundled(name)
    test = held_out(len(X))
    for tol in (1e-3, 1e-6):
        ours = kaltro.OneClassSVM(nu=0.2, tol=tol).fit(X[~test])
        theirs = sklearn.svm.OneClassSVM(nu=0.2, tol=tol).fit(X[~test])
        assert np.mean(ours.predict(X[test]) == theirs.predict(X[test])) >= 0.995
        np.testing.assert_allclose(ours.score_samples(X[test]), theirs.score_samples(X[test]),
                                   rtol=1e-2 if tol > 1e-6 else 1e-5)
    n = int((~test).sum())
    np.testing.assert_allclose(spread(ours, n), spread(theirs, n), atol=1e-5)
    np.testing.assert_allclose(ours.offset_, theirs.offset_, rtol=1e-7)


def test_weights_agree_with_scikit_learn():
    X, y = bundled("wine")
    w = np.random.RandomState(1).uniform(0.2, 3, len(y))
    for kw in ({"class_weight": "balanced"}, {"class_weight": {1.0: 5, 3.0: 0.5}}, {}):
        ours = kaltro.SVC(tol=1e-6, **kw).fit(X, y, sample_weight=w)
        theirs = sklearn.svm.SVC(tol=1e-6, **kw).fit(X, y, sample_weight=w)
        np.testing.assert_allclose(spread(ours, len(y)), spread(theirs, len(y)), atol=1e-5)
        np.testing.assert_allclose(ours.intercept_, theirs.intercept_, atol=1e-6)
        np.testing.assert_array_equal(ours.class_weight_, theirs.class_weight_)
    X, y = bundled("diabetes")
    w = np.random.RandomState(2).uniform(0.2, 3, len(y))
    for Est, kw in ((kaltro.SVR, {"C": 50, "epsilon": 5}), (kaltro.OneClassSVM, {"nu": 0.3})):
        ours = Est(tol=1e-6, **kw).fit(X, y, sample_weight=w)
        theirs = getattr(sklearn.svm, Est.__name__)(tol=1e-6, **kw).fit(X, y, sample_weight=w)
        np.testing.assert_allclose(spread(ours, len(y)), spread(theirs, len(y)), atol=1e-4)
        np.testing.assert_allclose(ours.intercept_, theirs.intercept_, rtol=1e-5)


def test_sparse_input_is_used_as_it_is():
    X, y = bundled("digits")
    S = sp.csr_matrix(X)
    # (gamma given: "scale" computes the variance by other sums for sparse rows.)
    dense, sparse = kaltro.SVC(gamma=0.02).fit(X, y), kaltro.SVC(gamma=0.02).fit(S, y)
    # Dense and sparse rows give the kernel the same bits, so the same solve.
    np.testing.assert_array_equal(dense.dual_coef_, sparse.dual_coef_.toarray())
    np.testing.assert_array_equal(dense.intercept_, sparse.intercept_)
    assert sp.isspmatrix_csr(sparse.support_vectors_)
    np.testing.assert_array_equal(sparse.support_vectors_.toarray(), dense.support_vectors_)
    for Z in (S, X, S.tocoo(), S.tocsc()):
        np.testing.assert_array_equal(sparse.decision_function(Z), dense.decision_function(X))
    # Thirty million features: dense, these rows would take 48 GB.
    rng = np.random.RandomState(0)
    columns = np.sort(rng.choice(30_000_000, (200, 20)), axis=1)
    wide = sp.csr_matrix((rng.rand(4000), columns.ravel(), np.arange(0, 4001, 20)),
                         shape=(200, 30_000_000))
    wide.sum_duplicates()
    labels = rng.randint(0, 2, 200)
    m = kaltro.SVC(kernel="linear").fit(wide, labels)
    assert m.predict(wide).shape == (200,)
    assert m.n_features_in_ == 30_000_000


@pytest.mark.parametrize("make", [
    lambda: kaltro.SVC(probability=False).fit(*bundled("wine")),
    lambda: kaltro.SVC(kernel="linear").fit(bundled("breast_cancer", dense=False)[0],
                                            bundled("breast_cancer")[1]),
    lambda: kaltro.SVC(kernel="precomputed").fit(bundled("iris")[0] @ bundled("iris")[0].T,
                                                 bundled("iris")[1]),
    lambda: kaltro.SVR(kernel="poly").fit(*bundled("diabetes")),
    lambda: kaltro.OneClassSVM(nu=0.1).fit(bundled("iris")[0]),
])
def test_pickled_estimators_predict_the_same(make):
    m = make()
    X = m.support_vectors_ if m.kernel != "precomputed" else bundled("iris")[0] @ bundled(
        "iris")[0].T
    copy = pickle.loads(pickle.dumps(m))
    np.testing.assert_array_equal(copy.predict(X), m.predict(X))
    if hasattr(m, "decision_function"):
        np.testing.assert_array_equal(copy.decision_function(X), m.decision_function(X))


def test_callable_kernel_equals_its_matrix():
    X, y = bundled("wine")
    kernel = lambda a, b: (a @ b.T + 1) ** 2  # noqa: E731
    f = kaltro.SVC(kernel=kernel).fit(X, y)
    g = kaltro.SVC(kernel="precomputed").fit(kernel(X, X), y)
    np.testing.assert_array_equal(f.decision_function(X[:20]),
                                  g.decision_function(kernel(X[:20], X)))
    assert f.support_vectors_.shape == (0, 0) and f.shape_fit_ == X.shape


def test_max_iter_warns_and_keeps_a_model():
    X, y = bundled("breast_cancer")
    with pytest.warns(ConvergenceWarning, match="max_iter=5"):
        m = kaltro.SVC(C=100, max_iter=5).fit(X, y)
    assert m.fit_status_ == 1 and m.n_iter_.tolist() == [5]
    assert m.predict(X).shape == y.shape
    assert kaltro.SVC().fit(X, y).fit_status_ == 0


@pytest.mark.parametrize("make, error, text", [
    (lambda: kaltro.SVC(C=0), ValueError, "C must be above 0"),
    (lambda: kaltro.SVC(degree=2.5), ValueError, "degree must be an integer"),
    (lambda: kaltro.OneClassSVM(nu=1.5), ValueError, "nu must be at most 1"),
    (lambda: kaltro.SVR(epsilon=-0.1), ValueError, "epsilon must be at least 0"),
    # The library's own refusal, with its message.
    (lambda: kaltro.SVC(kernel="sigmoid", gamma=2.0, coef0=1.0), kaltro.SVMError,
     "the solver stopped: Function is not convex (negative curvature)"),
])
def test_refused_parameters(make, error, text):
    X, y = bundled("breast_cancer")
    m = make()
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        m.fit(X, y)


def test_a_failed_fit_leaves_no_model():
    X, y = bundled("iris")
    m = kaltro.SVC().fit(X, y)
    with pytest.raises(ValueError, match="every class needs a sample of positive weight"):
        m.fit(X, y, sample_weight=(y != 2).astype(float))
    with pytest.raises(NotFittedError):
        m.predict(X)
    with pytest.raises(ValueError, match="features"):
        kaltro.SVC().fit(X, y).predict(X[:, :3])
    assert issubclass(kaltro.SVMError, ValueError)
