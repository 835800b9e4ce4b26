#!/usr/bin/python3
"""The Python estimator against scikit-learn's: kaltro.SVC and sklearn.svm.SVC.

    bench/run_python.py [--repeats 3] [--sizes 10000,20000] [--text 10000] [--tree build]

Uses the package of an optimised tree (default build/, after
`cmake --build --preset release`: build/python and build/bin/kaltro-svm).
Writes the sets with `kaltro-svm generate`: the dense clouds (10 features,
two overlapping Gaussian clouds, --sizes) and a text-like sparse set (--text
rows, about 50 distinct words a line from a vocabulary of 100 000, rows of
unit norm).  Each fit runs in a process of its own, both estimators with
the same parameters (C 1, RBF gamma 1/8 for the clouds and 1 for the text
set, tol 1e-3, cache_size 200, one thread), taking turns at going first.
A process loads the set (dense: a numpy array; text: scipy.sparse CSR, which
both estimators take as it is), resets the kernel's peak-memory mark, fits,
and reports the fit's wall and CPU seconds and its peak memory: the peak
resident size during the fit less the resident size before it.  The tables
show medians, plus the support vectors and how many held-out predictions the
two models share.  Writes bench/results/python.md.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "bench", "results")

# One fit in a process of its own; prints one line of JSON.
CHILD = r"""
import json, resource, sys, time
import numpy as np
from sklearn.datasets import load_svmlight_file

which, path, gamma, dense = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4] == "dense"
X, y = load_svmlight_file(path)
if dense:
    X = X.toarray()
held = np.arange(len(y)) % 10 == 0          # every tenth row held out
if which == "kaltro":
    import kaltro
    est = kaltro.SVC(C=1.0, gamma=gamma, tol=1e-3, cache_size=200)
else:
    import sklearn.svm
    est = sklearn.svm.SVC(C=1.0, gamma=gamma, tol=1e-3, cache_size=200)
Xt, yt = X[~held], y[~held]


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0   # kB to MB


with open("/proc/self/clear_refs", "w") as f:   # the peak mark starts again here
    f.write("5")
before = status("VmRSS")
cpu, wall = time.process_time(), time.perf_counter()
est.fit(Xt, yt)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
peak = status("VmHWM")
pred = est.predict(X[held])
print(json.dumps({"wall": wall, "cpu": cpu, "peak_mb": peak - before, "sv": int(len(est.support_)),
                  "pred": pred.tolist(), "accuracy": float(np.mean(pred == y[held]))}))
"""


def fit(which, path, gamma, dense, tree):
    env = dict(os.environ, PYTHONPATH=os.path.join(tree, "python"), OMP_NUM_THREADS="1",
               OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    out = subprocess.run(["/usr/bin/python3", "-c", CHILD, which, path, str(gamma),
                          "dense" if dense else "sparse"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def compare(name, path, gamma, dense, repeats, tree):
    runs = {"kaltro": [], "sklearn": []}
    for r in range(repeats):
        order = ("kaltro", "sklearn") if r % 2 == 0 else ("sklearn", "kaltro")
        for which in order:
            runs[which].append(fit(which, path, gamma, dense, tree))
    med = {w: {k: statistics.median(x[k] for x in rs) for k in ("wall", "cpu", "peak_mb")}
           for w, rs in runs.items()}
    k, s = runs["kaltro"][-1], runs["sklearn"][-1]
    same = sum(a == b for a, b in zip(k["pred"], s["pred"])) / len(k["pred"])
    row = (f"| {name} | {med['kaltro']['wall']:.2f} | {med['sklearn']['wall']:.2f} | "
           f"**{med['kaltro']['wall'] / med['sklearn']['wall']:.2f}** | "
           f"{med['kaltro']['cpu']:.2f}/{med['sklearn']['cpu']:.2f} | "
           f"{med['kaltro']['peak_mb']:.0f}/{med['sklearn']['peak_mb']:.0f} | "
           f"{k['sv']}/{s['sv']} | {k['accuracy']:.4f}/{s['accuracy']:.4f} | {same:.4f} |")
    every = (f"{name}, every fit (wall s): kaltro "
             + " ".join(f"{x['wall']:.2f}" for x in runs["kaltro"]) + "; scikit-learn "
             + " ".join(f"{x['wall']:.2f}" for x in runs["sklearn"]))
    print(row, flush=True)
    return row, every


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--sizes", default="10000,20000", help="rows of the dense clouds sets")
    ap.add_argument("--text", type=int, default=10000, help="rows of the text-like set (0: none)")
    ap.add_argument("--tree", default=os.path.join(ROOT, "build"), help="an optimised build tree")
    args = ap.parse_args()
    tree = os.path.abspath(args.tree)
    work = os.path.join(tree, "bench-python")
    os.makedirs(work, exist_ok=True)
    os.makedirs(OUT, exist_ok=True)
    svm = os.path.join(tree, "bin", "kaltro-svm")

    sets = []
    for n in (int(s) for s in args.sizes.split(",") if s):
        sets.append((f"clouds-{n} (dense)", ["--kind", "clouds", "--seed", "1"], n, 0.125, True))
    if args.text:
        sets.append((f"text-{args.text} (CSR)", ["--kind", "text", "-d", "100000", "--nnz", "50",
                                                   "--seed", "1"], args.text, 1.0, False))
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    lines = [f"Load average before the run: {' '.join(load)}", "",
             "| set | kaltro s | scikit-learn s | ratio | CPU s k/s | fit peak MB k/s | "
             "support vectors k/s | held-out accuracy k/s | same predictions |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    print("\n".join(lines), flush=True)
    everies = []
    for name, kind, n, gamma, dense in sets:
        path = os.path.join(work, name.split()[0] + ".txt")
        if not os.path.exists(path):
            subprocess.run([svm, "generate", *kind, str(n), path], check=True,
                           stdout=subprocess.DEVNULL)
        row, every = compare(name, path, gamma, dense, args.repeats, tree)
        lines.append(row)
        everies.append(every)
    with open("/proc/loadavg") as f:
        lines += ["", f"Load average after the run: {' '.join(f.read().split()[:3])}", ""]
    lines += everies
    with open(os.path.join(OUT, "python.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines[-len(everies) - 2:]))


if __name__ == "__main__":
    sys.exit(main())
