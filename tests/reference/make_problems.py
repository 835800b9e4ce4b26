#!/usr/bin/python3
"""Random convex problems for the solver, each solved by an independent
interior-point optimiser (cvxopt), written as a plain-text file for the
C++ checker.

    make_problems.py --out FILE [--count N] [--seed S]

Every problem is

    maximise  w(x) = lin.x - 1/2 x'Kx   s.t.  lo <= x <= hi  [and sum x = sum x0]

with K built from feature vectors (RBF or linear kernel, the latter also of
rank one or two), kernel indices that may repeat and may be shifted by an
offset, boxes that may be fixed (lo = hi, also at 0), and start points
anywhere in the box.  The file carries the feature vectors, not K, so the
checker evaluates the kernel itself.

For each problem the file also carries the reference objective w_ref of a
feasible point and cert_ref, an upper bound on w* - w_ref (the linear
optimality certificate at that point), so the checker knows w* lies in
[w_ref, w_ref + cert_ref].  A missing optimiser or an uncertified reference
is an error, never a skip.
"""

import argparse
import math
import os
import random
import sys

try:
    import numpy as np
    import cvxopt
    import cvxopt.solvers
except ImportError as e:  # the comparison must not pass without its reference
    sys.exit("make_problems.py: numpy and cvxopt are required (Debian packages python3-numpy, "
             "python3-cvxopt): %s" % e)

EPS_CHOICES = [1e-3, 1e-3, 1e-3, 1e-2, 1e-4, 1e-6]


def kernel_matrix(kind, gamma, pts, kidx_pts):
    """K over positions, from the points each position's kernel index names."""
    p = pts[kidx_pts]
    if kind == "linear":
        return p @ p.T
    diff = p[:, None, :] - p[None, :, :]
    return np.exp(-gamma * np.sum(diff * diff, axis=2))


def certificate(g, x, lo, hi, equality):
    """max g.(y - x) over feasible y: an upper bound on w* - w(x) for concave w.

    Without the sum constraint every coordinate goes to its better bound.  With
    it, the value is min over nu of sum_i max((g_i - nu) up_i, (g_i - nu) down_i)
    (up_i = hi_i - x_i >= 0, down_i = lo_i - x_i <= 0); that function of nu is
    convex and piecewise linear with kinks at the g_i, so its minimum is at one
    of them."""
    up = hi - x
    down = lo - x
    if not equality:
        return float(np.sum(np.maximum(g * up, g * down)))
    if len(g) == 0:
        return 0.0
    d = g[None, :] - g[:, None]  # row: candidate nu = g[row]
    vals = np.sum(np.maximum(d * up[None, :], d * down[None, :]), axis=1)
    return float(max(0.0, vals.min()))


def project(x, lo, hi, total):
    """Nearby feasible point: clip into the box, then spread the sum's error
    over the room left (an interior-point answer can sit a hair outside)."""
    x = np.clip(x, lo, hi)
    if total is None:
        return x
    for _ in range(3):
        diff = total - x.sum()
        room = (hi - x) if diff > 0 else (x - lo)
        s = room.sum()
        if diff == 0 or s <= 0:
            break
        x = np.clip(x + diff * room / s, lo, hi)
    return x


def solve_reference(K, lin, lo, hi, x0, equality):
    """Maximiser of the problem, by cvxopt.solvers.qp on the free variables."""
    n = len(lin)
    free = lo < hi
    x = lo.copy()
    total = float(np.sum(x0)) if equality else None
    F = np.flatnonzero(free)
    if len(F) > 0:
        fixed = np.flatnonzero(~free)
        P = K[np.ix_(F, F)]
        q = -lin[F] + K[np.ix_(F, fixed)] @ lo[fixed]
        lf, hf = lo[F], hi[F]
        nf = len(F)
        forced = False
        if equality:
            b = total - float(np.sum(lo[fixed]))
            # A sum at the end of its range leaves one feasible point.
            if b <= lf.sum() + 1e-13 * (1 + abs(b)):
                x[F] = lf
                forced = True
            elif b >= hf.sum() - 1e-13 * (1 + abs(b)):
                x[F] = hf
                forced = True
        if not forced:
            G = np.vstack([np.eye(nf), -np.eye(nf)])
            h = np.concatenate([hf, -lf])
            args = [cvxopt.matrix(P), cvxopt.matrix(q), cvxopt.matrix(G), cvxopt.matrix(h)]
            if equality:
                args += [cvxopt.matrix(np.ones((1, nf))), cvxopt.matrix([b])]
            sol = cvxopt.solvers.qp(*args)
            x[F] = np.array(sol["x"]).ravel()
    x = project(x, lo, hi, total)
    g = lin - K @ x
    w = float(lin @ x - 0.5 * x @ K @ x)
    cert = certificate(g, x, lo, hi, equality)
    scale = float(np.sum(np.abs(lin * x)) + 0.5 * np.abs(x) @ np.abs(K) @ np.abs(x))
    return x, w, cert, scale


def make_problem(rng, pid):
    r = rng.random()
    n = rng.randint(1, 10) if r < 0.3 else rng.randint(11, 80) if r < 0.75 else rng.randint(81, 300)
    if pid < 4:
        n = [1, 2, 300, 300][pid]

    kr = rng.random()
    if kr < 0.4:
        kind, d, gamma = "rbf", rng.randint(1, 8), math.exp(rng.uniform(math.log(0.05), math.log(5)))
    elif kr < 0.75:
        kind, d, gamma = "linear", rng.randint(3, 8), 0.0
    else:  # rank one or two, far fewer dimensions than variables
        kind, d, gamma = "linear", rng.randint(1, 2), 0.0

    # Kernel indices: one point per position, or several positions per point.
    if rng.random() < 0.35 and n > 1:
        m = max(1, n // rng.choice([2, 3, 5]))
        kidx = [rng.randrange(m) for _ in range(n)]
    else:
        m = n
        kidx = list(range(n))
        if rng.random() < 0.5:
            rng.shuffle(kidx)
    scale = rng.choice([1.0, 1.0, 2.0])
    pts = [[scale * rng.uniform(-1, 1) for _ in range(d)] for _ in range(m)]
    if rng.random() < 0.2 and m > 1:  # equal points under different indices
        for _ in range(max(1, m // 4)):
            pts[rng.randrange(m)] = list(pts[rng.randrange(m)])
    offset = 0 if rng.random() < 0.6 else rng.randint(-5000, 5000)

    equality = rng.random() < 0.5
    eps_gap = rng.choice(EPS_CHOICES)

    labels = [rng.choice([-1.0, 1.0]) for _ in range(n)]
    if rng.random() < 0.4:
        lin = list(labels)
    else:
        sigma = rng.choice([0.1, 1.0, 5.0])
        lin = [rng.gauss(0, sigma) for _ in range(n)]

    lo, hi = [], []
    box_mode = rng.random()
    C = rng.choice([0.1, 1.0, 10.0])
    for i in range(n):
        if box_mode < 0.35:  # support-vector dual boxes
            a, b = min(0.0, C * labels[i]), max(0.0, C * labels[i])
        else:
            t = rng.random()
            if t < 0.1:
                a = b = 0.0
            elif t < 0.2:
                a = b = rng.uniform(-3, 3)
            elif t < 0.4:
                a, b = 0.0, rng.uniform(0.01, 10)
            elif t < 0.5:
                a, b = -rng.uniform(0.01, 10), 0.0
            else:
                u, v = rng.uniform(-5, 5), rng.uniform(-5, 5)
                a, b = min(u, v), max(u, v)
        lo.append(a)
        hi.append(b)

    start_mode = rng.random()
    x0 = []
    for i in range(n):
        a, b = lo[i], hi[i]
        if start_mode < 0.3 and a <= 0.0 <= b:
            v = 0.0
        else:
            t = rng.random()
            v = a if t < 0.2 else b if t < 0.4 else rng.uniform(a, b)
            v = min(max(v, a), b)
        x0.append(v)

    return dict(id=pid, n=n, kind=kind, d=d, gamma=gamma, m=m, pts=pts, offset=offset,
                equality=equality, eps_gap=eps_gap, kidx=kidx, lin=lin, lo=lo, hi=hi, x0=x0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--count", type=int, default=400)
    ap.add_argument("--seed", type=int, default=20261208)
    args = ap.parse_args()
    # A stale file from an earlier run must not stand in for this one.
    if os.path.exists(args.out):
        os.remove(args.out)

    cvxopt.solvers.options.update(show_progress=False, abstol=1e-12, reltol=1e-12,
                                  feastol=1e-12, maxiters=200)
    rng = random.Random(args.seed)
    out = [f"kaltro-reference 1 count {args.count}"]
    worst = 0.0
    for pid in range(args.count):
        p = make_problem(rng, pid)
        pts = np.array(p["pts"], dtype=float).reshape(p["m"], p["d"])
        K = kernel_matrix(p["kind"], p["gamma"], pts, np.array(p["kidx"], dtype=int))
        lin, lo, hi, x0 = (np.array(p[k], dtype=float) for k in ("lin", "lo", "hi", "x0"))
        x, w, cert, scale = solve_reference(K, lin, lo, hi, x0, p["equality"])
        # The reference is only useful if it is certified far below the
        # solver's own tolerance.
        if not cert <= 1e-8 * (1.0 + scale):
            sys.exit(f"make_problems.py: problem {pid}: reference not certified "
                     f"(w {w!r}, certificate {cert!r}, scale {scale!r})")
        worst = max(worst, cert / (1.0 + scale))
        out.append(f"problem {pid} n {p['n']} kind {p['kind']} d {p['d']} gamma {p['gamma']!r} "
                   f"points {p['m']} offset {p['offset']} equality {int(p['equality'])} "
                   f"eps_gap {p['eps_gap']!r}")
        out.append(" ".join(repr(float(v)) for row in p["pts"] for v in row))
        for i in range(p["n"]):
            out.append(f"{p['kidx'][i] + p['offset']} {p['lin'][i]!r} {p['lo'][i]!r} "
                       f"{p['hi'][i]!r} {p['x0'][i]!r}")
        out.append(f"reference {w!r} {cert!r} {scale!r}")
    out.append("end")
    with open(args.out, "w") as f:
        f.write("\n".join(out) + "\n")
    print(f"make_problems.py: {args.count} problems, worst relative certificate {worst:.3g}")


if __name__ == "__main__":
    main()
