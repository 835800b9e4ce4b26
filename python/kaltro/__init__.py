"""kaltro: a solver for box-constrained convex quadratic programs whose
matrix comes from a kernel, and support-vector machines trained with it.

    kaltro.solve(kernel, lin, lo, hi)              the solver, in one call
    kaltro.Problem(kernel, lin, lo, hi)            the solver, split: start, solve, finish
    kaltro.SVC, kaltro.SVR, kaltro.OneClassSVM     scikit-learn estimators

The solver maximises sum(lin x) - x'Kx/2 subject to lo <= x <= hi and, with
equality=True, sum(x) kept at its start value.  Errors of the solver raise
SolverError; data or parameters the trainer refuses raise SVMError (a
ValueError).
"""

from ._core import Problem, SolveResult, SolverError, SVMError, __version__, solve

__all__ = ["solve", "Problem", "SolveResult", "SolverError", "SVMError", "SVC", "SVR",
           "OneClassSVM", "__version__"]

_ESTIMATORS = ("SVC", "SVR", "OneClassSVM")


def __getattr__(name):
    # The estimators import scikit-learn, which the solver alone does not need.
    if name in _ESTIMATORS:
        from . import estimators
        return getattr(estimators, name)
    raise AttributeError(f"module 'kaltro' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_ESTIMATORS))
