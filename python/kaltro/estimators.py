"""scikit-learn estimators on the trainer library: SVC, SVR and OneClassSVM.

They take scikit-learn's parameters (names, defaults and meaning), set its
fitted attributes with its signs and shapes, and give its predictions.
Training and prediction run in the library (``kaltro._core``, without the
GIL); this module only translates between the two.

Conventions kept from scikit-learn: ``classes_`` is sorted (the library is
asked to order the classes so, and pair (i, j) with i < j votes for class i
when its decision value is positive); with two classes ``decision_function``,
``dual_coef_`` and ``intercept_`` change sign, so that positive means
``classes_[1]``; ``intercept_`` is minus the library's rho.
"""

import numbers
import os
import warnings

import numpy as np
import scipy.sparse as sp
from sklearn.base import BaseEstimator, ClassifierMixin, OutlierMixin, RegressorMixin
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.utils import check_random_state, compute_class_weight
from sklearn.utils.metaestimators import available_if
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _num_samples, check_consistent_length, check_is_fitted

from . import _core

__all__ = ["SVC", "SVR", "OneClassSVM"]

_KERNELS = {
    "linear": _core.LINEAR,
    "poly": _core.POLY,
    "rbf": _core.RBF,
    "sigmoid": _core.SIGMOID,
    "precomputed": _core.PRECOMPUTED,
}


def _ovr_from_ovo(dec, n_classes):
    """One-vs-rest values from the pairs' values, as scikit-learn computes
    them: votes, plus the summed confidences squashed into (-1/3, 1/3)."""
    votes = np.zeros((dec.shape[0], n_classes))
    confidence = np.zeros((dec.shape[0], n_classes))
    k = 0
    for i in range(n_classes):
        for j in range(i + 1, n_classes):
            confidence[:, i] += dec[:, k]
            confidence[:, j] -= dec[:, k]
            votes[dec[:, k] >= 0, i] += 1
            votes[dec[:, k] < 0, j] += 1
            k += 1
    return votes + confidence / (3 * (np.abs(confidence) + 1))


def _check_number(name, value, low=None, *, integral=False, low_open=False, high=None):
    kind = numbers.Integral if integral else numbers.Real
    if isinstance(value, bool) or not isinstance(value, kind):
        raise ValueError(f"{name} must be {'an integer' if integral else 'a number'}, got {value!r}")
    if low is not None and (value < low or (low_open and value == low)):
        raise ValueError(f"{name} must be {'above' if low_open else 'at least'} {low}, got {value!r}")
    if high is not None and value > high:
        raise ValueError(f"{name} must be at most {high}, got {value!r}")


class _BaseSVM(BaseEstimator):
    """What the three estimators share: parameters to the library's Params,
    data to its Dataset, the model to scikit-learn's attributes."""

    _task = None

    def _more_tags(self):
        # As scikit-learn's own estimators: cross-validation must cut a
        # precomputed kernel matrix along both axes; and a zero sample weight
        # is not the same as a row removed, for gamma="scale" is computed
        # from every row (weights aside), and the solution depends within the
        # stopping tolerance on the order of the rows, which removing rows
        # from a shuffled set changes.  (Rows of weight 0 do drop out: a fit
        # with them gives the very bits of a fit on the others, in their
        # order, at the same gamma; the trainer's tests check that.)
        return {
            "pairwise": self.kernel == "precomputed",
            "_xfail_checks": {
                "check_sample_weights_invariance":
                    "zero sample_weight is not equivalent to removing samples",
            },
        }

    # ---- parameters ----

    def _check_params(self):
        if not (callable(self.kernel) or self.kernel in _KERNELS):
            raise ValueError(
                f"kernel must be one of {sorted(_KERNELS)} or a callable, got {self.kernel!r}"
            )
        _check_number("degree", self.degree, 0, integral=True)
        if isinstance(self.gamma, str):
            if self.gamma not in ("scale", "auto"):
                raise ValueError(f"gamma must be 'scale', 'auto' or a number, got {self.gamma!r}")
        else:
            _check_number("gamma", self.gamma, 0)
        _check_number("coef0", self.coef0)
        _check_number("tol", self.tol, 0, low_open=True)
        _check_number("cache_size", self.cache_size, 0, low_open=True)
        _check_number("max_iter", self.max_iter, -1, integral=True)
        if self.n_jobs is not None and (not isinstance(self.n_jobs, numbers.Integral)
                                        or isinstance(self.n_jobs, bool) or self.n_jobs == 0):
            raise ValueError(f"n_jobs must be None or a non-zero integer, got {self.n_jobs!r}")
        for name in self._numeric_params:
            _check_number(name, getattr(self, name), 0, low_open=name != "epsilon",
                          high=1 if name == "nu" else None)

    def _gamma_for(self, X):
        if self._precomputed():
            return 0.0
        if self.gamma == "scale":
            var = X.multiply(X).mean() - X.mean() ** 2 if sp.issparse(X) else X.var()
            return 1.0 / (X.shape[1] * var) if var != 0 else 1.0
        if self.gamma == "auto":
            return 1.0 / X.shape[1]
        return float(self.gamma)

    def _params(self, gamma, row_weight):
        p = _core.Params()
        p.task = self._task
        p.kernel_type = _core.PRECOMPUTED if self._precomputed() else _KERNELS[self.kernel]
        p.degree = int(self.degree)
        p.gamma = gamma
        p.coef0 = float(self.coef0)
        p.eps = float(self.tol)
        p.cache_mb = float(self.cache_size)
        p.trace_level = 1 if self.verbose else 0
        if self.max_iter > 0:
            # scikit-learn's max_iter: stop there, warn and keep the model.
            p.max_steps = int(self.max_iter)
            p.keep_at_step_limit = True
        p.threads = self._threads()
        if row_weight is not None:
            p.row_weight = row_weight
        if getattr(self, "probability", False):
            p.probability = True
            # The folds of the internal cross-validation; a fixed default keeps fits repeatable.
            rs = getattr(self, "random_state", None)
            if rs is None:
                p.seed = 1
            elif isinstance(rs, numbers.Integral):
                p.seed = int(rs)
            else:
                p.seed = int(check_random_state(rs).randint(2**31 - 1))
        return p

    def _threads(self):
        """n_jobs as the library counts threads: None 1, -1 every core, -2 all but one, ..."""
        n_jobs = getattr(self, "n_jobs", None)
        if n_jobs is None:
            return 1
        if n_jobs < 0:
            return max(1, (os.cpu_count() or 1) + 1 + n_jobs)
        return n_jobs

    def _precomputed(self):
        return callable(self.kernel) or self.kernel == "precomputed"

    # ---- data ----

    def _validate_X(self, X, y="no_validation", *, reset):
        """Checked rows (dense float64 or CSR, never densified) and targets."""
        if callable(self.kernel):
            if y is None and self._get_tags()["requires_y"]:
                raise ValueError(f"This {type(self).__name__} estimator requires y to be passed, "
                                 "but the target y is None.")
            if not isinstance(y, str):
                check_consistent_length(X, y)
            return X, y
        if sp.issparse(X) and self.kernel == "precomputed":
            raise TypeError("Sparse precomputed kernels are not supported.")
        opts = dict(accept_sparse="csr", dtype=np.float64, order="C", accept_large_sparse=False,
                    reset=reset)
        if isinstance(y, str):
            return self._validate_data(X, **opts), None
        return self._validate_data(X, y, **opts)

    def _kernel_rows(self, X):
        """For a callable kernel: K(X, training rows) as a dense matrix."""
        K = self.kernel(X, self._X_fit)
        if sp.issparse(K):
            K = K.toarray()
        return np.asarray(K, dtype=np.float64, order="C")

    def _dataset(self, X, head=None, *, training=False):
        if callable(self.kernel):
            X = self._kernel_rows(X)
        if self._precomputed():
            # The library's precomputed rows: a serial (which training rows
            # need: kernel values are looked up by it), then K(row, j) for
            # every training row j.
            if X.ndim != 2 or (training and X.shape[0] != X.shape[1]):
                raise ValueError(
                    "Precomputed matrix must be a square matrix. Input is a {}x{} matrix.".format(
                        *np.shape(X)))
            if not training and X.shape[1] != self.shape_fit_[0]:
                raise ValueError(
                    "X.shape[1] = %d should be equal to %d, the number of samples at training "
                    "time" % (X.shape[1], self.shape_fit_[0]))
            serial = np.arange(1, X.shape[0] + 1) if training else np.zeros(X.shape[0])
            return _core.Dataset.dense(np.hstack([serial[:, None], X]), head)
        if sp.issparse(X):
            if not X.has_canonical_format:
                X = X.copy()
                X.sum_duplicates()
            return _core.Dataset.csr(X.indptr.astype(np.int64, copy=False),
                                     X.indices.astype(np.int32, copy=False), X.data, X.shape[1],
                                     head)
        return _core.Dataset.dense(X, head)

    def _row_weight(self, sample_weight, n):
        if sample_weight is None:
            return None
        w = np.asarray(sample_weight, dtype=np.float64).ravel()
        if w.shape[0] != n:
            raise ValueError(f"sample_weight has {w.shape[0]} entries for {n} samples")
        if not np.any(w > 0):
            raise ValueError("Invalid input - all samples have zero or negative weights.")
        return w

    # ---- fitting ----

    def _forget(self):
        """Drop what an earlier fit left: a fit that fails leaves no model."""
        for name in list(vars(self)):
            if (name.endswith("_") and not name.startswith("__")) or name in (
                    "_model", "_X_fit", "_n_support", "_gamma"):
                delattr(self, name)

    def _fit(self, X, y, sample_weight):
        """Fit on X and y (for one-class, y is "no_validation"); a fit that
        fails or is interrupted leaves the estimator unfitted."""
        self._forget()
        try:
            return self._fit_model(X, y, sample_weight)
        except BaseException:
            self._forget()
            raise

    def _fit_model(self, X, y, sample_weight):
        self._check_params()
        X, y = self._validate_X(X, y, reset=True)
        n = _num_samples(X)
        head = self._head(y, n)
        row_weight = self._row_weight(sample_weight, n)
        if row_weight is not None:
            self._check_weighted(head, row_weight)
        if callable(self.kernel):
            self._X_fit = X
        params = self._params(self._gamma_for(X), row_weight)
        self._set_class_weights(params)
        data = self._dataset(X, head, training=True)
        model, report = _core.train(data, params)

        converged = all(s.converged for s in report.solves)
        if not converged:
            warnings.warn(
                f"Solver terminated early (max_iter={self.max_iter}).  Consider pre-processing "
                "your data with StandardScaler or MinMaxScaler.", ConvergenceWarning)
        self.fit_status_ = 0 if converged else 1
        self._model = model
        self._gamma = params.gamma
        self.shape_fit_ = X.shape if hasattr(X, "shape") else (n,)
        self.support_ = model.sv_index.astype(np.int32)
        if self._precomputed():
            self.support_vectors_ = np.empty((0, 0))
        elif sp.issparse(X):
            self.support_vectors_ = X[self.support_]
        else:
            self.support_vectors_ = X[self.support_].copy()
        self._n_support = self._support_counts(model)
        steps = np.array([s.steps for s in report.solves], dtype=np.int32)
        self.n_iter_ = steps if self._task == _core.C_SVC else int(steps[0])
        # The model's own coefficients and intercepts (pair (i, j): positive
        # for class i); the public ones follow scikit-learn's signs.
        self._dual_coef_ = model.coef
        self._intercept_ = -model.rho
        flip = self._task == _core.C_SVC and len(self.classes_) == 2
        dual_coef = -self._dual_coef_ if flip else self._dual_coef_.copy()
        self.intercept_ = -self._intercept_ if flip else self._intercept_.copy()
        self.dual_coef_ = sp.csr_matrix(dual_coef) if sp.issparse(X) else dual_coef
        if not (np.isfinite(model.rho).all() and np.isfinite(model.coef).all()):
            raise ValueError("The dual coefficients or intercepts are not finite. The input data "
                             "may contain large values and need to be preprocessed.")
        return self

    def _support_counts(self, model):
        n_sv = model.sv_index.size
        return np.array([n_sv, 0], dtype=np.int32)

    def _check_weighted(self, head, row_weight):
        pass

    def _set_class_weights(self, params):
        pass

    # ---- prediction ----

    def _decision_values(self, X):
        """The library's decision values: one column per class pair, or one."""
        check_is_fitted(self)
        X, _ = self._validate_X(X, reset=False)
        return _core.decision_values(self._model, self._dataset(X), self._threads())

    def _predict_raw(self, X):
        check_is_fitted(self)
        X, _ = self._validate_X(X, reset=False)
        return _core.predict(self._model, self._dataset(X), self._threads())

    @property
    def n_support_(self):
        """Support vectors of each class (one count for regression and one-class)."""
        try:
            check_is_fitted(self)
        except NotFittedError:
            raise AttributeError("n_support_: the estimator is not fitted")
        return self._n_support if self._task == _core.C_SVC else self._n_support[:1].copy()

    @property
    def coef_(self):
        """Weights of the features in the decision function, for the linear kernel."""
        if self.kernel != "linear":
            raise AttributeError("coef_ is only available when using a linear kernel")
        check_is_fitted(self)
        sv, dc = self.support_vectors_, self.dual_coef_
        if dc.shape[0] == 1:
            coef = dc @ sv
        else:  # one row per class pair (i, j), from the two classes' support vectors
            at = np.concatenate([[0], np.cumsum(self._n_support)])
            rows = []
            for i in range(dc.shape[0] + 1):
                for j in range(i + 1, dc.shape[0] + 1):
                    rows.append(dc[j - 1, at[i]:at[i + 1]] @ sv[at[i]:at[i + 1]]
                                + dc[i, at[j]:at[j + 1]] @ sv[at[j]:at[j + 1]])
            coef = sp.vstack(rows).tocsr() if sp.issparse(rows[0]) else np.vstack(rows)
        (coef.data if sp.issparse(coef) else coef).flags.writeable = False
        return coef

    def write_model(self, path):
        """Write the fitted model in the text model format of the common SVM
        tools (classes as their indices into classes_)."""
        check_is_fitted(self)
        _core.write_model(str(path), self._model)


class SVC(ClassifierMixin, _BaseSVM):
    """C-support vector classification, one class pair against another.

    The parameters are scikit-learn's SVC's. ``shrinking`` is accepted and
    has no effect (the solver always shrinks); ``max_iter`` bounds the steps
    of each class pair's solve (reached: ConvergenceWarning, fit_status_ 1).
    """

    _task = _core.C_SVC
    _numeric_params = ("C",)

    def __init__(self, *, C=1.0, kernel="rbf", degree=3, gamma="scale", coef0=0.0,
                 shrinking=True, probability=False, tol=1e-3, cache_size=200, class_weight=None,
                 verbose=False, max_iter=-1, n_jobs=None, decision_function_shape="ovr", break_ties=False,
                 random_state=None):
        self.C = C
        self.kernel = kernel
        self.degree = degree
        self.gamma = gamma
        self.coef0 = coef0
        self.shrinking = shrinking
        self.probability = probability
        self.tol = tol
        self.cache_size = cache_size
        self.class_weight = class_weight
        self.verbose = verbose
        self.max_iter = max_iter
        self.n_jobs = n_jobs
        self.decision_function_shape = decision_function_shape
        self.break_ties = break_ties
        self.random_state = random_state

    def fit(self, X, y, sample_weight=None):
        """Fit on rows X (array, or sparse: used as compressed rows) and labels y."""
        if self.decision_function_shape not in ("ovr", "ovo"):
            raise ValueError("decision_function_shape must be 'ovr' or 'ovo', got "
                             f"{self.decision_function_shape!r}")
        if self.class_weight is not None and self.class_weight != "balanced" and not isinstance(
                self.class_weight, dict):
            raise ValueError("class_weight must be None, 'balanced' or a dict")
        return self._fit(X, y, sample_weight)

    def _head(self, y, n):
        check_classification_targets(y)
        classes, index = np.unique(y, return_inverse=True)
        if len(classes) < 2:
            raise ValueError("The number of classes has to be greater than one; got "
                             f"{len(classes)} class")
        self.classes_ = classes
        self.class_weight_ = compute_class_weight(self.class_weight, classes=classes, y=y)
        # The library learns the classes by their index into classes_.
        return index.astype(np.float64)

    def _check_weighted(self, head, row_weight):
        kept = np.unique(head[row_weight > 0])
        if len(kept) < 2:
            raise ValueError("Invalid input - all samples with positive weights belong to the "
                             "same class.")
        if len(kept) < len(self.classes_):
            raise ValueError("every class needs a sample of positive weight: class "
                             f"{self.classes_[np.setdiff1d(np.arange(len(self.classes_)), kept)[0]]!r}"
                             " has none")

    def _set_class_weights(self, params):
        params.sorted_labels = True
        params.C = float(self.C)
        params.weights = [(float(i), float(w)) for i, w in enumerate(self.class_weight_)
                          if w != 1.0]

    def _support_counts(self, model):
        return model.nr_sv.astype(np.int32)

    def decision_function(self, X):
        """Pairs' values (``'ovo'``, pair (i, j) positive for classes_[i]) or
        one-vs-rest values (``'ovr'``); with two classes one value, positive
        for classes_[1]."""
        dec = self._decision_values(X)
        if len(self.classes_) == 2:
            return -dec.ravel()
        if self.decision_function_shape == "ovr":
            return _ovr_from_ovo(dec, len(self.classes_))
        return dec

    def predict(self, X):
        """Labels by vote over the class pairs, ties to the class that comes
        first in classes_ (with break_ties: the largest one-vs-rest value)."""
        check_is_fitted(self)
        if self.break_ties and self.decision_function_shape == "ovo":
            raise ValueError("break_ties must be False when decision_function_shape is 'ovo'")
        if self.break_ties and self.decision_function_shape == "ovr" and len(self.classes_) > 2:
            index = np.argmax(self.decision_function(X), axis=1)
        else:
            index = self._predict_raw(X).astype(np.intp)
        return self.classes_.take(index)

    def _check_proba(self):
        if not self.probability:
            raise AttributeError("predict_proba is not available when probability=False")
        return True

    @available_if(_check_proba)
    def predict_proba(self, X):
        """Class probabilities (columns in the order of classes_): each class
        pair's sigmoid, fitted on an internal 5-fold cross-validation at fit
        time, coupled over the pairs."""
        check_is_fitted(self)
        if len(self._model.probA) == 0:
            raise NotFittedError("predict_proba is not available when fitted with "
                                 "probability=False")
        X, _ = self._validate_X(X, reset=False)
        return _core.predict_probability(self._model, self._dataset(X), self._threads())

    @available_if(_check_proba)
    def predict_log_proba(self, X):
        """The logarithms of predict_proba."""
        return np.log(self.predict_proba(X))

    @property
    def probA_(self):
        """Platt scaling's first parameter per class pair (empty without probability)."""
        return self._model.probA

    @property
    def probB_(self):
        """Platt scaling's second parameter per class pair (empty without probability)."""
        return self._model.probB


class SVR(RegressorMixin, _BaseSVM):
    """Epsilon-support vector regression, with scikit-learn's SVR's parameters."""

    _task = _core.EPSILON_SVR
    _numeric_params = ("C", "epsilon")

    def __init__(self, *, kernel="rbf", degree=3, gamma="scale", coef0=0.0, tol=1e-3, C=1.0,
                 epsilon=0.1, shrinking=True, cache_size=200, verbose=False, max_iter=-1, n_jobs=None):
        self.kernel = kernel
        self.degree = degree
        self.gamma = gamma
        self.coef0 = coef0
        self.tol = tol
        self.C = C
        self.epsilon = epsilon
        self.shrinking = shrinking
        self.cache_size = cache_size
        self.verbose = verbose
        self.max_iter = max_iter
        self.n_jobs = n_jobs

    def fit(self, X, y, sample_weight=None):
        """Fit on rows X and targets y."""
        return self._fit(X, y, sample_weight)

    def _head(self, y, n):
        return np.asarray(y, dtype=np.float64).ravel()

    def _set_class_weights(self, params):
        params.C = float(self.C)
        params.p = float(self.epsilon)

    def predict(self, X):
        """The regression function at each row of X."""
        return self._predict_raw(X)


class OneClassSVM(OutlierMixin, _BaseSVM):
    """Novelty detection, with scikit-learn's OneClassSVM's parameters:
    +1 inside the support of the training data, -1 outside."""

    _task = _core.ONE_CLASS
    _numeric_params = ("nu",)

    def __init__(self, *, kernel="rbf", degree=3, gamma="scale", coef0=0.0, tol=1e-3, nu=0.5,
                 shrinking=True, cache_size=200, verbose=False, max_iter=-1, n_jobs=None):
        self.kernel = kernel
        self.degree = degree
        self.gamma = gamma
        self.coef0 = coef0
        self.tol = tol
        self.nu = nu
        self.shrinking = shrinking
        self.cache_size = cache_size
        self.verbose = verbose
        self.max_iter = max_iter
        self.n_jobs = n_jobs

    def fit(self, X, y=None, sample_weight=None):
        """Fit on rows X; y is ignored."""
        self._fit(X, "no_validation", sample_weight)
        self.offset_ = -self._intercept_
        return self

    def _head(self, y, n):
        return np.zeros(n)

    def _set_class_weights(self, params):
        params.nu = float(self.nu)

    def decision_function(self, X):
        """Signed distance to the boundary: positive inside, negative outside."""
        return self._decision_values(X).ravel()

    def score_samples(self, X):
        """The decision function plus offset_ (the unshifted score)."""
        return self.decision_function(X) + self.offset_

    def predict(self, X):
        """+1 for inliers, -1 for outliers."""
        return self._predict_raw(X).astype(np.intp)
