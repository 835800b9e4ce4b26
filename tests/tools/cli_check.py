"""Command-line checks of kaltro-svm: exit codes, exact messages, the summary,
model files rechecked from scratch, and exchange of models with LIBSVM's
svm-train and svm-predict (skipped when those are not installed).

usage: cli_check.py CASE KALTRO_SVM DATA_FILE [EMULATOR ...]
(EMULATOR: the command that runs the built program, for 32-bit builds on
hosts that cannot start them directly.)
"""
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

SKIP = 77
SUMMARY_NAMES = ["n", "d", "objective", "steps", "kernel evaluations", "support vectors",
                 "bounded support vectors", "bias", "training accuracy", "solve seconds",
                 "peak memory MB"]


class Checker:
    def __init__(self, exe, data, work, emulator):
        self.exe, self.data, self.work, self.emulator = exe, data, work, emulator
        self.failures = 0

    def check(self, cond, what):
        if not cond:
            self.failures += 1
            print("FAIL:", what)

    def run(self, args, cwd=None):
        p = subprocess.run(self.emulator + [self.exe] + args, cwd=cwd or self.work, capture_output=True,
                           text=True, timeout=240)
        # A sanitizer report on any path is a failure, whatever the exit code.
        for bad in ("Sanitizer", "runtime error:", "LeakSanitizer"):
            self.check(bad not in p.stderr, "sanitizer report for %s:\n%s" % (args, p.stderr))
        return p

    def path(self, name, content=None):
        p = os.path.join(self.work, name)
        if content is not None:
            with open(p, "w") as f:
                f.write(content)
        return p

    def expect_failure(self, args, code, stderr, cwd=None):
        p = self.run(args, cwd)
        self.check(p.returncode == code, "%s: exit %d, wanted %d (stderr %r)"
                   % (args, p.returncode, code, p.stderr))
        self.check(stderr in p.stderr, "%s: stderr %r lacks %r" % (args, p.stderr, stderr))
        self.check("objective:" not in p.stdout, "%s: summary printed on failure" % args)
        return p


def summary(checker, stdout, names=None):
    """The summary as an ordered list of (name, value) pairs."""
    pairs = [tuple(line.split(": ", 1)) for line in stdout.splitlines()
             if re.match(r"^[a-zA-Z][a-zA-Z ]*: ", line)]
    checker.check([k for k, _ in pairs] == (names or SUMMARY_NAMES), "summary names %r" % pairs)
    return dict(pairs)


def read_sparse(path):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts:
                rows.append((float(parts[0]),
                             {int(t.split(":")[0]): float(t.split(":")[1]) for t in parts[1:]}))
    return rows


def read_model(path):
    header, svs = {}, []
    with open(path) as f:
        lines = f.read().splitlines()
    i = 0
    while lines[i] != "SV":
        words = lines[i].split()
        header[words[0]] = words[1:]
        i += 1
    for line in lines[i + 1:]:
        parts = line.split()
        svs.append((float(parts[0]),
                    {int(t.split(":")[0]): float(t.split(":")[1]) for t in parts[1:]}))
    return header, svs


def kernel(header):
    kind = header["kernel_type"][0]
    gamma = float(header.get("gamma", ["0"])[0])
    coef0 = float(header.get("coef0", ["0"])[0])
    degree = int(header.get("degree", ["3"])[0])

    def dot(a, b):
        return sum(v * b.get(k, 0.0) for k, v in a.items())

    if kind == "linear":
        return dot
    if kind == "polynomial":
        return lambda a, b: (gamma * dot(a, b) + coef0) ** degree
    return lambda a, b: math.exp(-gamma * sum((a.get(k, 0.0) - b.get(k, 0.0)) ** 2
                                              for k in set(a) | set(b)))


# ---------------------------------------------------------------------------

def case_help(c):
    p = c.run(["--help"])
    c.check(p.returncode == 0, "--help exit %d" % p.returncode)
    for text in ("kaltro-svm train [options] TRAIN_FILE [MODEL_FILE]",
                 "kaltro-svm predict [-b 0|1] [-j N] TEST_FILE MODEL_FILE [OUTPUT_FILE]",
                 "kaltro-svm scale [-l LOWER] [-u UPPER]", "kaltro-svm grid [grid options]",
                 "-b 0|1", "-v K", "--seed S",
                 "-t TYPE", "-d DEGREE", "-g GAMMA", "-r COEF0", "-c C", "-e EPS", "-m MB",
                 "-q ", "--no-bias", "--trace N", "-j N", "-s TASK", "-n NU", "-p P", "-wLABEL W",
                 "-h 0|1     accepted for compatibility: the solver always shrinks"):
        c.check(text in p.stdout, "--help lacks %r" % text)
    p = c.run(["--version"])
    c.check(p.returncode == 0 and re.fullmatch(r"kaltro-svm \d+\.\d+\.\d+\n", p.stdout),
            "--version printed %r" % p.stdout)
    p = c.run(["train", "--help"])
    c.check(p.returncode == 0 and "usage:" in p.stdout, "train --help")


def case_usage(c):
    d = c.data
    cases = [
        ([], "kaltro-svm: no command"),
        (["-h"], "kaltro-svm: unknown command '-h'"),
        (["fit", d], "kaltro-svm: unknown command 'fit'"),
        (["train"], "kaltro-svm: train takes TRAIN_FILE and optionally MODEL_FILE"),
        (["train", d, "a", "b"], "train takes TRAIN_FILE and optionally MODEL_FILE"),
        (["train", "-x", d], "kaltro-svm: unknown option '-x'"),
        (["train", d, "-c"], "kaltro-svm: option -c needs a value"),
        (["train", "-c", "abc", d], "kaltro-svm: option -c: 'abc' is not a number"),
        (["train", "-c", "0", d], "kaltro-svm: option -c: C must be positive"),
        (["train", "-c", "nan", d], "kaltro-svm: option -c: 'nan' is not a number"),
        (["train", "-t", "5", d], "kaltro-svm: option -t: '5' is not an integer from 0 to 4"),
        (["train", "-s", "1", d], "kaltro-svm: option -s: task 1 (nu-SVC) needs two equality "
         "constraints, which the solver does not have; supported: 0 C-SVC, 2 one-class, "
         "3 epsilon-SVR"),
        (["train", "-s", "4", d], "kaltro-svm: option -s: task 4 (nu-SVR) needs two equality "
         "constraints, which the solver does not have; supported: 0 C-SVC, 2 one-class, "
         "3 epsilon-SVR"),
        (["train", "-s", "5", d], "kaltro-svm: option -s: '5' is not an integer from 0 to 4"),
        (["train", "-b", "2", d], "kaltro-svm: option -b: '2' is not an integer from 0 to 1"),
        (["train", "-s", "2", "-b", "1", d],
         "kaltro-svm: option -b: probability estimates are not offered for one-class (-s 2)"),
        (["train", "-v", "1", d], "kaltro-svm: option -v: '1' is not an integer from 2 to 2147483647"),
        (["train", "-v", "5", d, "m"],
         "kaltro-svm: option -v: cross-validation writes no model; give TRAIN_FILE alone"),
        (["train", "--seed", "x", d],
         "kaltro-svm: option --seed: 'x' is not an integer from 0 to 9223372036854775807"),
        (["predict", "-b", "2", d, "m"], "kaltro-svm: option -b: '2' is not an integer from 0 to 1"),
        (["scale"], "kaltro-svm: scale takes one FILE"),
        (["scale", "-l", "2", "-u", "1", d],
         "kaltro-svm: options -l and -u: the lower limit must lie below the upper one"),
        (["scale", "-s", "a", "-r", "b", d],
         "kaltro-svm: options -s and -r: the ranges are either saved or restored"),
        (["grid", "-log2c", "1,2", d],
         "kaltro-svm: option -log2c: '1,2' is not BEGIN,END,STEP (three numbers) or null"),
        (["grid", "-log2g", "1,2,0", d], "kaltro-svm: option -log2g: the step must not be 0"),
        (["grid", "--plot", "a\nset output", d],
         "kaltro-svm: option --plot: the file name must not hold a line break"),
        (["grid", "-b", "1", d],
         "kaltro-svm: option -b: the grid search scores decision values, not probabilities"),
        (["train", "-h", "2", d], "kaltro-svm: option -h: '2' is not an integer from 0 to 1"),
        (["train", "-n", "0", d], "kaltro-svm: option -n: nu must lie in (0, 1]"),
        (["train", "-p", "-1", d], "kaltro-svm: option -p: the tube width must not be negative"),
        (["train", "-w1", "-2", d], "kaltro-svm: option -w1: the weight must not be negative"),
        (["train", "-wx", "2", d], "kaltro-svm: option -wx: 'x' is not a number"),
        (["train", "-s", "2", "--no-bias", d],
         "kaltro-svm: option --no-bias: only C-SVC (-s 0) trains without a bias term"),
        (["train", "-d", "2.5", d], "option -d: '2.5' is not an integer from 0 to 2147483647"),
        (["train", "-g", "-1", d], "kaltro-svm: option -g: gamma must not be negative"),
        (["train", "-e", "0", d], "kaltro-svm: option -e: the tolerance must be positive"),
        (["train", "-m", "-5", d], "kaltro-svm: option -m: the cache size must be positive"),
        (["train", "--trace", "x", d], "option --trace: 'x' is not an integer from 0 to 3"),
        (["predict", d], "predict takes TEST_FILE, MODEL_FILE and optionally OUTPUT_FILE"),
        (["predict", "-q", d, "m"], "kaltro-svm: unknown option '-q'"),
        (["train", "-j", "-1", d], "kaltro-svm: option -j: '-1' is not an integer from 0 to 256"),
        (["predict", "-j", "two", d, "m"], "option -j: 'two' is not an integer from 0 to 256"),
        (["predict", d, "m", "-j"], "kaltro-svm: option -j needs a value"),
        (["generate", "10"], "kaltro-svm: generate takes N and OUTPUT_FILE"),
        (["generate", "--kind", "spiral", "10", "o"],
         "option --kind: 'spiral' is not one of clouds, rings, blobs, regression, text"),
        (["generate", "--noise", "2", "10", "o"],
         "option --noise: the probability must lie in [0, 1]"),
        (["generate", "0", "o"], "option N: '0' is not an integer from 1 to 2147483647"),
    ]
    for args, message in cases:
        p = c.expect_failure(args, 2, message + "\n")
        c.check("usage:" in p.stderr, "%s: no usage after the message" % args)
    c.check(not os.path.exists(c.path("o")), "generate wrote a file after a usage error")


def case_input_errors(c):
    def train_fails(name, content, message):
        path = c.path(name, content) if content is not None else c.path(name)
        model = c.path(name + ".model")
        c.expect_failure(["train", path, model], 1, "kaltro-svm: " + message(path) + "\n")
        c.check(not os.path.exists(model), "%s: model written after an error" % name)

    train_fails("missing.txt", None,
                lambda p: "cannot open '%s': No such file or directory" % p)
    train_fails("empty.txt", "", lambda p: p + ": the file is empty")
    train_fails("blank.txt", "\n \n", lambda p: p + ": no examples, only blank lines")
    train_fails("value.txt", "1 1:0.5\n-1 1:0.2 2:x7\n",
                lambda p: p + ":2: value 'x7' of feature 2 is not a number")
    train_fails("label.txt", "1 1:0.5\nabc 1:0.2\n",
                lambda p: p + ":2: label 'abc' is not a number")
    train_fails("order.txt", "1 1:0.5\n\n-1 3:0.2 2:1\n",
                lambda p: p + ":3: feature index 2 after 3: indices must increase")
    train_fails("single.txt", "3 1:0.5\n3 1:0.2\n",
                lambda p: p + ": every example has label 3; training needs examples of two labels")
    train_fails("colon.txt", "1 1:0.5 7\n-1 1:1\n",
                lambda p: p + ":1: expected index:value, found '7'")
    # A sigmoid kernel is not positive semi-definite in general: the solver's message.
    model = c.path("sigmoid.model")
    c.expect_failure(["train", "-t", "3", "-g", "1", "-r", "1", c.data, model], 1,
                     "kaltro-svm: the solver stopped: Function is not convex (negative curvature)\n")
    c.check(not os.path.exists(model), "sigmoid: model written after an error")
    os.mkdir(c.path("adir"))
    c.expect_failure(["train", c.path("adir")], 1,
                     "kaltro-svm: cannot read '%s': Is a directory\n" % c.path("adir"))
    # Two equal points with opposite labels and no bias: w grows with C, so
    # the solve stops at the trainer's step limit, max(10^7, 100 n).
    same = c.path("same.txt", "1 1:1\n-1 1:1\n")
    p = c.expect_failure(["train", "-q", "--no-bias", "-t", "0", "-c", "1e300", same,
                          c.path("same.model")], 1,
                         "kaltro-svm: the solver stopped: Step limit reached (10000000 steps) "
                         "before the stopping tolerance was met; a smaller C may help\n")
    c.check(p.stdout == "", "-q printed %r" % p.stdout)
    c.check(not os.path.exists(c.path("same.model")), "model written after the step limit")
    good = c.path("good.txt", "1 1:0.5\n-1 1:-0.2\n")
    c.expect_failure(["train", good, c.path("no/such/dir.model")], 1,
                     "kaltro-svm: cannot write '%s': No such file or directory\n"
                     % c.path("no/such/dir.model"))
    # Test files may hold any labels, but their lines must parse.
    model = c.path("good.model")
    p = c.run(["train", "-q", good, model])
    c.check(p.returncode == 0, "training on good.txt: %s" % p.stderr)
    bad_test = c.path("badtest.txt", "1 1:0.5\n5 1:q\n")
    c.expect_failure(["predict", bad_test, model, c.path("out")], 1,
                     "kaltro-svm: %s:2: value 'q' of feature 1 is not a number\n" % bad_test)


def case_model_errors(c):
    good = c.path("good.txt", "1 1:0.5 2:1\n-1 1:-0.2\n1 2:0.7\n-1 1:-1 2:-1\n")
    model = c.path("good.model")
    c.check(c.run(["train", "-q", good, model]).returncode == 0, "training good.txt")
    with open(model) as f:
        text = f.read()
    header = text[:text.index("SV\n") + 3]
    cases = [
        ("empty.model", "", ": the file is empty, not a model"),
        ("data.model", "1 1:0.5\n", ":1: '1' is not a model header line"),
        ("nu.model", text.replace("c_svc", "nu_svc"),
         ":1: svm_type 'nu_svc' is not supported (c_svc, one_class, epsilon_svr)"),
        ("cut.model", header + text[len(header):].split("\n", 1)[0] + "\n",
         ": total_sv is %s but the file holds 1 support vectors"
         % re.search(r"total_sv (\d+)", text).group(1)),
        ("coef.model", header + "zz" + text[len(header):],
         ":%d: coefficient 'zz" % (header.count("\n") + 1)),
    ]
    for name, content, message in cases:
        path = c.path(name, content)
        out = c.path(name + ".out")
        c.expect_failure(["predict", good, path, out], 1, "kaltro-svm: " + path + message)
        c.check(not os.path.exists(out), "%s: predictions written after an error" % name)
    c.expect_failure(["predict", good, c.path("none.model")], 1,
                     "kaltro-svm: cannot open '%s': No such file or directory\n"
                     % c.path("none.model"))


def recheck(c, rows, model_path, eps, C, bias=True):
    """Objective, gap and bias recomputed in double from the model file."""
    header, svs = read_model(model_path)
    k = kernel(header)
    label0 = float(header["label"][0])
    rho = float(header["rho"][0])
    # Support vectors are listed by label, each group in training order.
    coef = [0.0] * len(rows)
    groups = [[i for i, r in enumerate(rows) if r[0] == label0],
              [i for i, r in enumerate(rows) if r[0] != label0]]
    j = 0
    for group in groups:
        for i in group:
            if j < len(svs) and svs[j][1] == rows[i][1]:
                coef[i] = svs[j][0]
                j += 1
    c.check(j == len(svs), "support vectors not found in training order (%d of %d)" % (j, len(svs)))
    g_high, g_low, w = -math.inf, math.inf, 0.0
    if not bias:
        g_high, g_low = 0.0, 0.0
    for i, (label, x) in enumerate(rows):
        y = 1.0 if label == label0 else -1.0
        f = sum(a * k(sv, x) for a, sv in svs)
        g = y - f
        if coef[i] < max(0.0, C * y):
            g_high = max(g_high, g)
        if coef[i] > min(0.0, C * y):
            g_low = min(g_low, g)
        w += coef[i] * (y - 0.5 * f)
    c.check(g_high - g_low < eps, "gap %g not below %g" % (g_high - g_low, eps))
    c.check(g_low - 1e-9 <= -rho <= g_high + 1e-9,
            "bias %g outside [%g, %g]" % (-rho, g_low, g_high))
    return w, svs, header


def case_summary(c):
    rows = read_sparse(c.data)
    model = c.path("bc.model")
    p = c.run(["train", c.data, model])
    c.check(p.returncode == 0, "train exit %d: %s" % (p.returncode, p.stderr))
    s = summary(c, p.stdout)
    c.check(p.stdout.index("it:") < p.stdout.index("n: "), "progress before the summary")
    c.check(s.get("n") == "569" and s.get("d") == "30", "n, d: %r" % s)
    w, svs, header = recheck(c, rows, model, 0.001, 1.0)
    objective = float(s["objective"])
    c.check(abs(w - objective) <= 1e-7 * abs(w), "objective %r, recomputed %r" % (objective, w))
    c.check(int(s["support vectors"]) == len(svs) == int(header["total_sv"][0]),
            "support vectors %s vs model %d" % (s["support vectors"], len(svs)))
    c.check(int(s["bounded support vectors"]) == sum(abs(a) >= 1.0 for a, _ in svs),
            "bounded support vectors %s" % s["bounded support vectors"])
    # The file starts with -1, written second and trained as the -1 side.
    c.check(rows[0][0] == -1 and header["label"] == ["1", "-1"], "label order %r" % header["label"])
    c.check(abs(float(s["bias"]) + float(header["rho"][0])) < 1e-11,
            "bias %s, rho %s" % (s["bias"], header["rho"][0]))
    c.check(int(s["steps"]) > 0 and int(s["kernel evaluations"]) >= 569,
            "steps %s, kernel evaluations %s" % (s["steps"], s["kernel evaluations"]))
    c.check(float(s["solve seconds"]) >= 0 and float(s["peak memory MB"]) > 0, "time, memory")
    c.check(header["gamma"] == ["0.033333333333333333"], "default gamma %r" % header["gamma"])

    out = c.path("bc.out")
    q = c.run(["predict", c.data, model, out])
    c.check(q.returncode == 0, "predict exit %d: %s" % (q.returncode, q.stderr))
    acc = re.fullmatch(r"accuracy: ([0-9.]+)% \((\d+)/569\)\n", q.stdout)
    c.check(acc is not None, "predict printed %r" % q.stdout)
    with open(out) as f:
        predicted = f.read().split("\n")
    c.check(len(predicted) == 570 and predicted[-1] == "", "prediction lines")
    correct = sum(float(a) == r[0] for a, r in zip(predicted, rows))
    c.check(acc and int(acc.group(2)) == correct, "accuracy count vs labels written")
    c.check(s["training accuracy"] == "%.4f%% (%d/569)" % (100.0 * correct / 569, correct),
            "training accuracy %r, predict %d/569" % (s["training accuracy"], correct))

    # -q silences the solver entirely (its set-up and clean-up lines too),
    # leaving the summary alone; --trace 2 writes status lines instead of marks.
    quiet = c.run(["train", "-q", c.data, model])
    c.check(quiet.stdout.startswith("n: 569\n") and
            all(re.match(r"^[a-zA-Z][a-zA-Z ]*: ", line) for line in quiet.stdout.splitlines()),
            "-q output %r" % quiet.stdout)
    summary(c, quiet.stdout)
    loud = c.run(["train", "--trace", "2", c.data, model])
    c.check(re.search(r"^\* it:\d+ l:569 ", loud.stdout, re.M) is not None,
            "--trace 2 output %r" % loud.stdout[:300])

    # Without bias: rho 0 and the coordinate-step optimality conditions.
    nb = c.run(["train", "-q", "--no-bias", "-c", "2", c.data, model])
    s = summary(c, nb.stdout)
    c.check(s.get("bias") == "0", "bias without bias: %r" % s.get("bias"))
    w, _, header = recheck(c, rows, model, 0.001, 2.0, bias=False)
    c.check(header["rho"] == ["0"], "rho without bias %r" % header["rho"])
    c.check(abs(w - float(s["objective"])) <= 1e-7 * abs(w), "objective without bias")

    # Three classes: a line per class pair at trace level 1 and none at -q;
    # the summary's totals; one-class and regression summaries.
    iris = os.path.join(os.path.dirname(c.data), "iris.txt")
    p = c.run(["train", iris, model])
    pairs = re.findall(r"^pair (\d)/3: (\S+) vs (\S+), n (\d+), objective (\S+), steps \d+, "
                       r"support vectors \d+, bounded \d+$", p.stdout, re.M)
    c.check([q[:4] for q in pairs] == [("1", "1", "2", "100"), ("2", "1", "3", "100"),
                                       ("3", "2", "3", "100")], "pair lines %r" % p.stdout)
    s = summary(c, p.stdout, SUMMARY_NAMES[:2] + ["classes", "pairs"] + SUMMARY_NAMES[2:7] +
                SUMMARY_NAMES[9:])
    c.check(s.get("classes") == "3" and s.get("pairs") == "3", "classes, pairs %r" % s)
    c.check(abs(sum(float(q[4]) for q in pairs) - float(s.get("objective", "nan"))) < 1e-6,
            "objective %r, pairs %r" % (s.get("objective"), pairs))
    c.check(not re.search(r"^pair ", c.run(["train", "-q", iris, model]).stdout, re.M),
            "-q prints pair lines")
    base = SUMMARY_NAMES[:8]
    for options, names in ((["-s", "2"], base + ["training inliers"] + SUMMARY_NAMES[9:]),
                           (["-s", "3"], base + ["training mean squared error",
                                                 "training squared correlation"] +
                            SUMMARY_NAMES[9:])):
        summary(c, c.run(["train", "-q"] + options + [c.data, model]).stdout, names)

    # A cache budget beyond any long is clamped and training still works.
    big = c.run(["train", "-q", "-m", "1e30", c.data, model])
    c.check(big.returncode == 0 and summary(c, big.stdout).get("n") == "569",
            "-m 1e30: exit %d %s" % (big.returncode, big.stderr))


def case_default_names(c):
    sub = c.path("data")
    os.mkdir(sub)
    train = os.path.join(sub, "tiny.txt")
    with open(train, "w") as f:
        f.write("1 1:1\n-1 1:-1\n1 1:2\n-1 1:-3\n")
    p = c.run(["train", "-q", train])
    c.check(p.returncode == 0, "train: %s" % p.stderr)
    c.check(os.path.isfile(c.path("tiny.txt.model")), "model not in the current directory")
    p = c.run(["predict", train, "tiny.txt.model"])
    c.check(p.returncode == 0 and p.stdout == "accuracy: 100.0000% (4/4)\n",
            "predict: %r %r" % (p.stdout, p.stderr))
    with open(c.path("tiny.txt.predict")) as f:
        c.check(f.read() == "1\n-1\n1\n-1\n", "default prediction file")


def case_generate(c):
    a, b, o = c.path("a.txt"), c.path("b.txt"), c.path("o.txt")
    for path, seed in ((a, "5"), (b, "5"), (o, "6")):
        p = c.run(["generate", "--seed", seed, "--kind", "rings", "-d", "3", "500", path])
        c.check(p.returncode == 0 and p.stdout == "", "generate: %r" % p.stderr)
    with open(a) as f, open(b) as g, open(o) as h:
        ta, tb, to = f.read(), g.read(), h.read()
    c.check(ta == tb, "same seed, different data")
    c.check(ta != to, "different seeds, same data")
    rows = read_sparse(a)
    c.check(len(rows) == 500 and {r[0] for r in rows} == {1.0, -1.0}, "rows and labels")
    c.check(all(set(r[1]) <= {1, 2, 3} for r in rows), "feature indices beyond -d 3")
    p = c.run(["train", "-q", a, c.path("a.model")])
    c.check(p.returncode == 0, "training on generated data: %s" % p.stderr)


def case_threads(c):
    # Long enough for kernel rows in pieces; every -j gives the same model
    # file, predictions and summary (but for the timings, and for the kernel
    # evaluations of blobs, whose class pairs share the 4 MB side by side).
    sets = [("clouds", ["-d", "4"], ["-s", "0"]), ("blobs", ["--classes", "5"], ["-s", "0"]),
            ("regression", ["-d", "3"], ["-s", "3"]), ("text", ["-d", "2000"], ["-s", "2"])]
    for kind, gen, task in sets:
        data = c.path("%s.txt" % kind)
        p = c.run(["generate", "--kind", kind] + gen + ["2600", data])
        c.check(p.returncode == 0, "generate %s: %s" % (kind, p.stderr))
        outputs = []
        for j in ("1", "2", "3"):
            model, pred = c.path("%s%s.model" % (kind, j)), c.path("%s%s.out" % (kind, j))
            t = c.run(["train", "-q", "-j", j, "-m", "4"] + task + [data, model])
            q = c.run(["predict", "-j", j, data, model, pred])
            c.check(t.returncode == 0 and q.returncode == 0, "%s -j %s: %s%s"
                    % (kind, j, t.stderr, q.stderr))
            with open(model) as f, open(pred) as g:
                skip = ("solve seconds:", "peak memory MB:")
                if kind == "blobs":
                    skip += ("kernel evaluations:",)
                lines = [x for x in t.stdout.splitlines() if not x.startswith(skip)]
                outputs.append((f.read(), g.read(), lines, q.stdout))
        for j in (1, 2):
            for what, at in (("model", 0), ("predictions", 1), ("summary", 2), ("accuracy", 3)):
                c.check(outputs[j][at] == outputs[0][at],
                        "%s: -j %d %s differs from -j 1" % (kind, j + 1, what))


def svm_train_obj(stdout):
    m = re.search(r"obj = (-?[0-9.]+)", stdout)
    return float(m.group(1)) if m else None


def case_interop(c):
    train_l, predict_l = shutil.which("svm-train"), shutil.which("svm-predict")
    if not train_l or not predict_l:
        print("svm-train / svm-predict not installed")
        return SKIP
    gen = c.path("gen.txt")
    c.check(c.run(["generate", "--kind", "rings", "-d", "4", "--seed", "3", "400", gen])
            .returncode == 0, "generate")
    with open(gen) as f:
        lines = f.read().splitlines()

    def relabel(name, pos, neg, first_neg):
        # Name the two classes pos and neg so that the first example has neg
        # (first_neg) or pos.
        first = lines[0].split(" ", 1)[0]
        names = {first: neg if first_neg else pos}
        names["1" if first == "-1" else "-1"] = pos if first_neg else neg
        out = [names[l.split(" ", 1)[0]] + " " + l.split(" ", 1)[1] for l in lines]
        return c.path(name, "\n".join(out) + "\n")

    sets = [(c.data, "0.03125"),
            (relabel("m1first.txt", "1", "-1", True), "0.25"),
            (relabel("p1first.txt", "1", "-1", False), "0.25"),
            (relabel("two_one.txt", "1", "2", True), "0.25"),
            (relabel("zero_one.txt", "1", "0", True), "0.25")]
    for data, gamma in sets:
        for kernel_args in (["-t", "2", "-g", gamma], ["-t", "0"],
                            ["-t", "1", "-d", "2", "-g", gamma, "-r", "1"]):
            tag = "%s %s" % (os.path.basename(data), " ".join(kernel_args))
            lib_model, k_model = c.path("lib.model"), c.path("k.model")
            lib = subprocess.run([train_l, "-s", "0", "-c", "1", "-e", "0.001", "-h", "1"]
                                 + kernel_args + [data, lib_model],
                                 capture_output=True, text=True, timeout=240)
            c.check(lib.returncode == 0, tag + ": svm-train failed: " + lib.stderr)
            k = c.run(["train", "-q", "-c", "1", "-e", "0.001"] + kernel_args + [data, k_model])
            c.check(k.returncode == 0, tag + ": kaltro-svm train failed: " + k.stderr)
            s = summary(c, k.stdout)
            obj = svm_train_obj(lib.stdout)
            w = float(s.get("objective", "nan"))
            c.check(obj is not None and abs(w + obj) <= 1e-4 * abs(obj),
                    "%s: objective %r vs svm-train obj %r" % (tag, w, obj))
            lh, _ = read_model(lib_model)
            kh, _ = read_model(k_model)
            for key in ("svm_type", "kernel_type", "nr_class", "label", "gamma", "degree",
                        "coef0"):
                if key in ("gamma", "degree", "coef0") and key not in lh:
                    c.check(key not in kh, "%s: %s written but not by svm-train" % (tag, key))
                    continue
                same = (lh[key] == kh.get(key) if key not in ("gamma", "coef0") else
                        abs(float(lh[key][0]) - float(kh[key][0])) < 1e-7)
                c.check(same, "%s: %s %r vs svm-train %r" % (tag, key, kh.get(key), lh[key]))
            # Both biases lie within the stopping tolerance of the optimum's.
            c.check(abs(float(lh["rho"][0]) - float(kh["rho"][0])) < 5e-3,
                    "%s: rho %s vs svm-train %s" % (tag, kh["rho"], lh["rho"]))
            # Each model, predicted by both programs: the same labels.
            for model in (lib_model, k_model):
                out_l, out_k = c.path("out_l"), c.path("out_k")
                pl = subprocess.run([predict_l, data, model, out_l], capture_output=True,
                                    text=True, timeout=240)
                pk = c.run(["predict", data, model, out_k])
                c.check(pl.returncode == 0 and pk.returncode == 0,
                        "%s: predict %s: %s %s" % (tag, model, pl.stderr, pk.stderr))
                with open(out_l) as f, open(out_k) as g:
                    ll, lk = f.read().split(), g.read().split()
                c.check(len(ll) == len(lk) and all(float(a) == float(b) for a, b in zip(ll, lk)),
                        "%s: %s predicted differently (%d of %d differ)" % (
                            tag, os.path.basename(model),
                            sum(float(a) != float(b) for a, b in zip(ll, lk)), len(ll)))
                acc = re.search(r"Accuracy = [0-9.]+% \((\d+)/(\d+)\)", pl.stdout)
                mine = re.search(r"\((\d+)/(\d+)\)", pk.stdout)
                c.check(acc and mine and acc.groups() == mine.groups(),
                        "%s: accuracy %r vs %r" % (tag, pl.stdout, pk.stdout))


    # Models with probability figures (svm-train -b 1) are read too.
    pb = c.path("prob.model")
    subprocess.run([train_l, "-q", "-b", "1", c.data, pb], check=True, timeout=240)
    pk = c.run(["predict", c.data, pb, c.path("prob.out")])
    pl = subprocess.run([predict_l, c.data, pb, c.path("prob_l.out")], capture_output=True,
                        text=True, timeout=240)
    with open(c.path("prob.out")) as f, open(c.path("prob_l.out")) as g:
        c.check(pk.returncode == 0 and f.read() == g.read(),
                "model with probA/probB: %r %r" % (pk.stdout, pk.stderr))


def halves(c, path, name, precomputed=False):
    """Even rows for training, odd rows held out; for a precomputed kernel
    the linear kernel's matrix, columns over the training half."""
    rows = read_sparse(path)
    train, test = rows[0::2], rows[1::2]
    out = []
    for part, part_rows in (("train", train), ("test", test)):
        lines = []
        for i, (y, x) in enumerate(part_rows):
            if precomputed:
                k = [sum(v * z.get(j, 0.0) for j, v in x.items()) for _, z in train]
                x = {0: i + 1, **{j + 1: v for j, v in enumerate(k)}}
            lines.append("%r %s" % (y, " ".join("%d:%r" % kv for kv in sorted(x.items()))))
        out.append(c.path("%s.%s" % (name, part), "\n".join(lines) + "\n"))
    return out


def solve_objectives(stdout):
    """Objectives per solve: the pair lines, else the summary's one."""
    pairs = re.findall(r"^pair \d+/\d+: .*, objective (\S+),", stdout, re.M)
    return [float(w) for w in pairs] or [float(v) for v in re.findall(r"^objective: (\S+)$",
                                                                     stdout, re.M)]


def case_tasks(c):
    train_l, predict_l = shutil.which("svm-train"), shutil.which("svm-predict")
    if not train_l or not predict_l:
        print("svm-train / svm-predict not installed")
        return SKIP
    data = os.path.dirname(c.data)
    runs = [  # set, options of both trainers (gamma a power of two: the same in both)
        ("iris", ["-c", "10", "-g", "0.25"]),
        ("wine", ["-g", "0.0625", "-w1", "2", "-w3", "0.5"]),
        ("digits", ["-g", "0.015625", "-c", "2"]),
        ("breast_cancer", ["-t", "1", "-d", "2", "-g", "0.03125", "-r", "1"]),
        ("wine", ["-t", "4", "-c", "0.01"]),
        ("iris", ["-t", "3", "-g", "0.125", "-r", "-0.5"]),
        ("iris", ["-s", "2", "-n", "0.3", "-g", "0.25"]),
        ("wine", ["-s", "2", "-n", "0.1", "-t", "0"]),
        ("diabetes", ["-s", "3", "-p", "5", "-c", "100", "-g", "0.125"]),
        ("diabetes", ["-s", "3", "-t", "0", "-c", "10"]),
    ]
    for number, (name, options) in enumerate(runs):
        tag = "%s %s" % (name, " ".join(options))
        regression = "-s" in options and options[options.index("-s") + 1] == "3"
        train, test = halves(c, os.path.join(data, name + ".txt"), "%s%d" % (name, number),
                             "-t" in options and options[options.index("-t") + 1] == "4")
        lib_model, k_model = c.path("lib.model"), c.path("k.model")
        lib = subprocess.run([train_l] + options + [train, lib_model], capture_output=True,
                             text=True, timeout=240)
        k = c.run(["train"] + options + [train, k_model])
        c.check(lib.returncode == 0 and k.returncode == 0,
                "%s: training failed: %s %s" % (tag, lib.stderr, k.stderr))
        # The solver's w is minus the other trainer's dual objective, solve by solve.
        theirs = [float(v) for v in re.findall(r"obj = (\S+),", lib.stdout)]
        ours = solve_objectives(k.stdout)
        c.check(len(ours) == len(theirs) and all(abs(w + o) <= 1e-5 * abs(o)
                                                  for w, o in zip(ours, theirs)),
                "%s: objectives %r vs svm-train %r" % (tag, ours, theirs))
        # Each model predicted by both programs; then the two models compared.
        outputs = {}
        for who, model in (("ours", k_model), ("theirs", lib_model)):
            out_l, out_k = c.path("out_l"), c.path("out_k")
            pl = subprocess.run([predict_l, test, model, out_l], capture_output=True, text=True,
                                timeout=240)
            pk = c.run(["predict", test, model, out_k])
            c.check(pl.returncode == 0 and pk.returncode == 0,
                    "%s: predict with %s's model: %s %s" % (tag, who, pl.stderr, pk.stderr))
            with open(out_l) as f, open(out_k) as g:
                ll, lk = [float(v) for v in f.read().split()], [float(v) for v in g.read().split()]
            outputs[who] = lk
            c.check(len(ll) == len(lk) and all(abs(a - b) <= 1e-9 * (1 + abs(a))
                                               for a, b in zip(ll, lk)),
                    "%s: %s's model predicted differently by the two programs" % (tag, who))
            if regression:
                mse = re.search(r"Mean squared error = (\S+)", pl.stdout).group(1)
                scc = re.search(r"Squared correlation coefficient = (\S+)", pl.stdout).group(1)
                mine = re.fullmatch(r"mean squared error: (\S+)\nsquared correlation: (\S+)\n",
                                    pk.stdout)
                c.check(mine and abs(float(mine.group(1)) / float(mse) - 1) < 1e-5 and
                        abs(float(mine.group(2)) / float(scc) - 1) < 1e-5,
                        "%s: %r vs %r" % (tag, pk.stdout, pl.stdout))
            else:
                acc = re.search(r"\((\d+/\d+)\) \(classification\)", pl.stdout).group(1)
                c.check(re.fullmatch(r"accuracy: \S+%% \(%s\)\n" % acc, pk.stdout) is not None,
                        "%s: %r vs %r" % (tag, pk.stdout, pl.stdout))
        a, b = outputs["ours"], outputs["theirs"]
        if regression:  # both within the tolerance of the same optimum
            scale = max(abs(v) for v in b)
            c.check(all(abs(u - v) <= 1e-3 * scale for u, v in zip(a, b)),
                    "%s: held-out values differ by up to %g" % (
                        tag, max(abs(u - v) for u, v in zip(a, b))))
        else:  # the same labels but for near-ties
            differ = sum(u != v for u, v in zip(a, b))
            c.check(differ <= 1 + len(a) // 200, "%s: %d of %d held-out labels differ" % (
                tag, differ, len(a)))


def case_interrupt(c):
    """Ctrl-C in the middle of a long solve: exit 130 with a message, the old
    model file untouched and nothing else left beside it."""
    big = c.path("big.txt")
    c.check(c.run(["generate", "--kind", "rings", "-d", "10", "40000", big]).returncode == 0,
            "generate")
    model = c.path("big.model", "old\n")
    p = subprocess.Popen(c.emulator + [c.exe, "train", "-c", "1000", "-m", "20", big, model],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=c.work)
    # The first progress mark comes after the solver's first pass: it is solving.
    first = p.stdout.read(1)
    while first and first != "*":
        first = p.stdout.read(1)
    p.send_signal(signal.SIGINT)
    try:
        out, err = p.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
    c.check(first == "*", "no progress mark before the end: %r" % out)
    c.check(p.returncode == 130 and err.endswith("kaltro-svm: interrupted\n"),
            "after SIGINT: exit %s, stderr %r" % (p.returncode, err))
    c.check("objective:" not in out, "summary printed after SIGINT")
    with open(model) as f:
        c.check(f.read() == "old\n", "the old model was touched")
    c.check(sorted(os.listdir(c.work)) == ["big.model", "big.txt"],
            "files left: %r" % os.listdir(c.work))


def case_selection(c):
    """scale, -v, -b and grid against the common tools on the bundled sets."""
    tools = {t: shutil.which(t) for t in ("svm-scale", "svm-train", "svm-predict")}
    if not all(tools.values()):
        print("svm-scale / svm-train / svm-predict not installed")
        return SKIP
    folder = os.path.dirname(c.data)
    sets = [os.path.join(folder, n + ".txt")
            for n in ("iris", "wine", "digits", "breast_cancer", "diabetes")]

    def theirs(args):
        p = subprocess.run(args, capture_output=True, text=True, timeout=240, cwd=c.work)
        c.check(p.returncode == 0, "%s failed: %s" % (args, p.stderr))
        return p.stdout

    # Scaling: the same bytes, and the range files read both ways.
    for data in sets:
        for limits in ([], ["-l", "0", "-u", "1"], ["-l", "-2", "-u", "3", "-y", "0", "1"]):
            tag = "scale %s %s" % (os.path.basename(data), " ".join(limits))
            mine_r, their_r = c.path("mine.range"), c.path("their.range")
            mine = c.run(["scale"] + limits + ["-s", mine_r, data])
            c.check(mine.returncode == 0, tag + ": " + mine.stderr)
            c.check(mine.stdout == theirs([tools["svm-scale"]] + limits + ["-s", their_r, data]),
                    tag + ": output differs")
            c.check(open(mine_r).read() == open(their_r).read(), tag + ": range files differ")
            again = c.run(["scale", "-r", their_r, data])
            c.check(again.stdout == mine.stdout, tag + ": their range file read differently")
            c.check(theirs([tools["svm-scale"], "-r", mine_r, data]) == mine.stdout,
                    tag + ": our range file read differently by theirs")

    # Probability models, both ways: the same output bytes from either predictor.
    for data, task in ((sets[0], "0"), (sets[1], "0"), (sets[3], "0")):
        tag = "-b 1 %s" % os.path.basename(data)
        mine_m, their_m = c.path("mine.model"), c.path("their.model")
        c.check(c.run(["train", "-q", "-s", task, "-b", "1", data, mine_m]).returncode == 0, tag)
        theirs([tools["svm-train"], "-q", "-s", task, "-b", "1", data, their_m])
        for model in (mine_m, their_m):
            out_k, out_l = c.path("k.out"), c.path("l.out")
            k = c.run(["predict", "-b", "1", data, model, out_k])
            c.check(k.returncode == 0, tag + ": " + k.stderr)
            theirs([tools["svm-predict"], "-b", "1", data, model, out_l])
            ok, ol = open(out_k).read(), open(out_l).read()
            c.check(ok == ol, "%s %s: predictions differ" % (tag, os.path.basename(model)))
            for line in ok.splitlines()[1:]:
                probs = [float(v) for v in line.split()[1:]]
                c.check(abs(sum(probs) - 1) < 1e-5, "%s: probabilities %r" % (tag, probs))

    # Regression: the Laplace scale of our model is the one svm-predict reports.
    mine_m, out_l = c.path("svr.model"), c.path("svr.out")
    c.check(c.run(["train", "-q", "-s", "3", "-b", "1", sets[4], mine_m]).returncode == 0, "-s 3 -b 1")
    with open(mine_m) as f:
        prob_a = re.search(r"^probA (\S+)$", f.read(), re.M)
    sigma = re.search(r"sigma=(\S+)", theirs([tools["svm-predict"], "-b", "1", sets[4], mine_m, out_l]))
    c.check(prob_a is not None and sigma is not None and
            abs(float(sigma.group(1)) / float(prob_a.group(1)) - 1) < 1e-5,
            "-s 3 -b 1: probA %r, svm-predict's sigma %r" % (prob_a, sigma))
    plain = c.path("plain.model")
    c.check(c.run(["train", "-q", sets[0], plain]).returncode == 0, "train")
    c.expect_failure(["predict", "-b", "1", sets[0], plain, c.path("x.out")], 1,
                     "kaltro-svm: %s: the model holds no probability figures; train it with -b 1\n"
                     % plain)

    # Cross-validation: the texts, and rates within the noise of the folds.
    for data, args, tolerance in ((sets[0], [], 3.0), (sets[3], [], 2.0), (sets[2], ["-g", "0.02"], 2.0)):
        k = c.run(["train", "-q", "-v", "5"] + args + [data])
        m = re.fullmatch(r"cross-validation accuracy: ([0-9.]+)% \((\d+)/(\d+)\)\n", k.stdout)
        c.check(m is not None, "-v printed %r" % k.stdout)
        l = re.search(r"Cross Validation Accuracy = ([0-9.]+)%",
                      theirs([tools["svm-train"], "-q", "-v", "5"] + args + [data]))
        if m and l:
            c.check(abs(float(m.group(1)) - float(l.group(1))) <= tolerance,
                    "-v %s: %s%% against %s%%" % (data, m.group(1), l.group(1)))
    k = c.run(["train", "-q", "-s", "3", "-v", "5", sets[4]])
    m = re.fullmatch(r"cross-validation mean squared error: ([0-9.]+)\n"
                     r"cross-validation squared correlation: ([0-9.]+)\n", k.stdout)
    c.check(m is not None, "-s 3 -v printed %r" % k.stdout)
    l = re.search(r"Mean squared error = ([0-9.]+)",
                  theirs([tools["svm-train"], "-q", "-s", "3", "-v", "5", sets[4]]))
    if m and l:
        c.check(abs(float(m.group(1)) / float(l.group(1)) - 1) < 0.05,
                "-s 3 -v: %s against %s" % (m.group(1), l.group(1)))
    c.check(c.run(["train", "-v", "5", "--seed", "3", sets[1]]).stdout ==
            c.run(["train", "-v", "5", "--seed", "3", sets[1]]).stdout, "-v not repeatable")

    # The grid: a line per point, C increasing within each gamma, then the best of them.
    g = c.run(["grid", "-log2c", "-1,3,2", "-log2g", "-1,-3,-2", "-v", "4", sets[0]])
    lines = g.stdout.splitlines()
    points = [tuple(float(v) for v in line.split()) for line in lines[:-3]]
    c.check([p[:2] for p in points] == [(-1, -1), (1, -1), (3, -1), (-1, -3), (1, -3), (3, -3)],
            "grid points %r" % points)
    # The highest rate; ties to the smaller C, then the smaller gamma.
    best = max(points, key=lambda p: (p[2], -p[0], -p[1])) if points else (0, 0, 0)
    c.check(lines[-3:-1] == ["best C: %g" % 2 ** best[0], "best gamma: %g" % 2 ** best[1]] and
            lines[-1].startswith("best cross-validation accuracy: %.4f%% (" % best[2]),
            "grid result %r, points %r" % (lines[-3:], points))
    if shutil.which("gnuplot"):
        png = c.path("grid.png")
        c.check(c.run(["grid", "-log2c", "-1,3,2", "-log2g", "-1,-3,-2", "--plot", png, sets[0]])
                .returncode == 0, "grid --plot")
        with open(png, "rb") as f:
            c.check(f.read(8) == b"\x89PNG\r\n\x1a\n", "grid --plot wrote no PNG")
    for p in points:  # each point is the cross-validation -v gives at its C and gamma
        k = c.run(["train", "-v", "4", "-c", "%g" % 2 ** p[0], "-g", "%g" % 2 ** p[1], sets[0]])
        m = re.match(r"cross-validation accuracy: ([0-9.]+)%", k.stdout)
        c.check(m is not None and abs(float(m.group(1)) - p[2]) <= 100 / 150 + 1e-9,
                "grid point %r against -v %r" % (p, k.stdout))


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in CASES:
        print(__doc__)
        print("cases:", " ".join(sorted(CASES)))
        return 2
    exe = os.path.abspath(sys.argv[2])
    data = os.path.abspath(sys.argv[3])
    with tempfile.TemporaryDirectory() as work:
        c = Checker(exe, data, work, [a for a in sys.argv[4:] if a])
        result = CASES[sys.argv[1]](c)
        if result == SKIP:
            return SKIP
    print("%s: %d failure(s)" % (sys.argv[1], c.failures))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
