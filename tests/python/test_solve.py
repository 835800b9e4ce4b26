"""kaltro.solve and kaltro.Problem: random problems against cvxopt, the
split solve in the caller's order, errors and the kernel function's own
exceptions."""

import numpy as np
import pytest

import kaltro

cvxopt = pytest.importorskip("cvxopt")
import cvxopt.solvers  # noqa: E402

cvxopt.solvers.options.update(show_progress=False, abstol=1e-11, reltol=1e-11, feastol=1e-11)


def random_problem(rng, n, equality):
    """A convex problem (K = A A^T, rank n/2 at times) and a start point in its box."""
    A = rng.standard_normal((n, rng.choice([n, max(1, n // 2)])))
    K = A @ A.T
    lin = rng.standard_normal(n) * 3
    lo = -rng.uniform(0, 2, n)
    hi = rng.uniform(0, 2, n)
    x0 = rng.uniform(lo, hi) if equality else np.zeros(n)
    return K, lin, lo, hi, x0


def cvxopt_max(K, lin, lo, hi, x0, equality):
    """The optimum of the same problem by an interior-point method."""
    n = len(lin)
    args = [cvxopt.matrix(K), cvxopt.matrix(-lin), cvxopt.matrix(np.vstack([np.eye(n), -np.eye(n)])),
            cvxopt.matrix(np.concatenate([hi, -lo]))]
    if equality:
        args += [cvxopt.matrix(np.ones((1, n))), cvxopt.matrix([float(x0.sum())])]
    x = np.array(cvxopt.solvers.qp(*args)["x"]).ravel()
    return lin @ x - 0.5 * x @ K @ x


def objective(K, lin, x):
    return lin @ x - 0.5 * x @ K @ x


@pytest.mark.parametrize("equality", [True, False])
def test_random_problems_match_cvxopt(equality):
    rng = np.random.default_rng(7)
    for trial in range(40):
        n = int(rng.integers(2, 40))
        K, lin, lo, hi, x0 = random_problem(rng, n, equality)
        want = cvxopt_max(K, lin, lo, hi, x0, equality)
        # Every tenth through a Python callable on kernel indices, the rest on the matrix.
        kernel = (lambda a, b, K=K: K[a, b]) if trial % 10 == 0 else K
        r = kaltro.solve(kernel, lin, lo, hi, x0, equality=equality, eps_gap=1e-9)
        assert np.all(r.x >= lo) and np.all(r.x <= hi)
        if equality:
            assert r.x.sum() == pytest.approx(x0.sum(), abs=1e-9)
        # The solver's kernel rows are cached in single precision: its optimum
        # is that of a matrix within float rounding of K.
        assert objective(K, lin, r.x) == pytest.approx(want, rel=1e-6, abs=1e-6), (trial, n)
        assert r.w == pytest.approx(want, rel=1e-6, abs=1e-6)
        np.testing.assert_allclose(r.g, lin - K @ r.x, atol=1e-5 * (1 + np.abs(K).max()))
        assert r.steps > 0 or n == 1


def test_kernel_indices_pick_rows_of_the_matrix():
    # Variables 0 and 1 share kernel row 2 (as the two halves of a regression do).
    rng = np.random.default_rng(3)
    A = rng.standard_normal((4, 4))
    K = A @ A.T
    kidx = np.array([2, 2, 0, 3, 1])
    lin, lo, hi = rng.standard_normal(5), -np.ones(5), np.ones(5)
    r = kaltro.solve(K, lin, lo, hi, kidx=kidx, equality=False, eps_gap=1e-9)
    Kfull = K[np.ix_(kidx, kidx)]
    assert r.w == pytest.approx(cvxopt_max(Kfull, lin, lo, hi, np.zeros(5), False), rel=1e-6)


def test_split_solve_in_the_callers_order():
    rng = np.random.default_rng(11)
    K, lin, lo, hi, x0 = random_problem(rng, 60, True)
    p = kaltro.Problem(K, lin, lo, hi, x0, eps_gap=1e-9)
    p.start()
    assert p.started
    # Every array reads and writes in the caller's order, whatever the
    # solver's internal order (shrinking moves variables about).
    assert p.w == pytest.approx(objective(K, p.lin, p.x), rel=1e-6)
    np.testing.assert_array_equal(p.lin, lin)
    np.testing.assert_array_equal(p.kidx, np.arange(60))
    np.testing.assert_allclose(p.g, lin - K @ p.x, atol=1e-4)
    for change in range(3):
        new_lin = rng.standard_normal(60) * 3
        new_hi = hi * rng.uniform(0.5, 1.5, 60)
        p.lin = new_lin
        p.hi = new_hi
        p.x = np.clip(p.x, lo, new_hi)
        total = p.x.sum()
        p.solve()
        x = p.x
        assert np.all(x <= new_hi) and np.all(x >= lo)
        want = cvxopt_max(K, new_lin, lo, new_hi, x, True)
        assert p.w == pytest.approx(want, rel=1e-6, abs=1e-6), change
        assert x.sum() == pytest.approx(total, abs=1e-9)
    before = p.x
    p.finish()
    assert not p.started
    np.testing.assert_array_equal(p.x, before)


@pytest.mark.parametrize("make, message", [
    (lambda: kaltro.solve(np.eye(2), [1, 1], [0, 0], [1, 1], [2, 0]),
     "Initial x[] does not satisfy inequality constraint"),
    (lambda: kaltro.solve(-np.eye(2), [1, 0], [0, 0], [1, 1], [0.5, 0.5]),
     "Function is not convex (negative curvature)"),
    (lambda: kaltro.solve(np.eye(2), [1, 1], [0, 0], [1, 1], eps_gap=0),
     "eps_gap must be positive"),
    (lambda: kaltro.solve(np.array([[1.0, 0.9], [0.9, 1]]), [1, -1], [-1e6, -1e6], [1e6, 1e6],
                          equality=False, eps_gap=1e-12, max_steps=3), "Step limit reached"),
])
def test_solver_errors_carry_the_librarys_message(make, message):
    with pytest.raises(kaltro.SolverError) as e:
        make()
    assert str(e.value) == message


@pytest.mark.parametrize("make, error, text", [
    (lambda: kaltro.solve(np.ones((2, 3)), [1, 1], [0, 0], [1, 1]), ValueError, "square"),
    (lambda: kaltro.solve(np.array([[1.0, 0.5], [0.4, 1]]), [1, 1], [0, 0], [1, 1]), ValueError,
     "not symmetric: K[0, 1]"),
    (lambda: kaltro.solve(np.eye(3), [1, 1], [0, 0], [1, 1]), ValueError, "needs kidx"),
    (lambda: kaltro.solve(np.eye(2), [1, 1], [0], [1, 1]), ValueError, "lo must be a 1-D array of 2"),
    (lambda: kaltro.solve(np.eye(2), [1, 1], [0, 0], [1, 1], kidx=[0, 2]), ValueError,
     "kidx[1] = 2 is outside"),
    (lambda: kaltro.solve("K", [1], [0], [1]), TypeError, "callable"),
    (lambda: kaltro.solve(lambda a, b: "one", [1], [0], [1]), TypeError, "must be real number"),
    (lambda: kaltro.Problem(np.eye(2), [1, 1], [0, 0], [1, 1]).solve(), RuntimeError,
     "solve() before start()"),
])
def test_refused_arguments(make, error, text):
    with pytest.raises(error) as e:
        make()
    assert text in str(e.value)


class KernelTrouble(Exception):
    pass


@pytest.mark.parametrize("fail_at", [1, 40])
def test_the_kernels_exception_comes_through_unchanged(fail_at):
    raised = KernelTrouble("no such entry")
    calls = [0]

    def kernel(a, b):
        calls[0] += 1
        if calls[0] == fail_at:
            raise raised
        return 2.0 if a == b else 0.5

    with pytest.raises(KernelTrouble) as e:
        kaltro.solve(kernel, np.ones(10), np.zeros(10), np.ones(10), np.full(10, 0.5),
                     eps_gap=1e-9)
    assert e.value is raised
    # A split solve stays usable: finish() restores the order after the failure.
    calls[0] = 0
    p = kaltro.Problem(kernel, np.arange(10.0), np.zeros(10), np.ones(10), np.full(10, 0.5))
    with pytest.raises(KernelTrouble):
        p.start()
    p.finish()
    assert np.all(p.x >= 0) and np.all(p.x <= 1) and p.x.sum() == pytest.approx(5)
    # The kernel may not touch its own problem while it is being solved.
    p2 = None

    def nosy(a, b):
        return p2.x[0]

    p2 = kaltro.Problem(nosy, np.ones(2), np.zeros(2), np.ones(2))
    with pytest.raises(RuntimeError, match="being solved"):
        p2.start()
