// Parsing of kaltro-svm's command line: the option letters, meanings and
// defaults of the common SVM tools, checked word by word.
#include "options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "text.h"

namespace cli {

const char kUsage[] =
    "usage:\n"
    "  kaltro-svm train [options] TRAIN_FILE [MODEL_FILE]\n"
    "  kaltro-svm predict [-j N] TEST_FILE MODEL_FILE [OUTPUT_FILE]\n"
    "  kaltro-svm generate [options] N OUTPUT_FILE\n"
    "  kaltro-svm --help | --version\n";

const char kHelp[] =
    "\n"
    "train: learns from lines \"label index:value ...\" (indices increasing from 1)\n"
    "and writes the model.  MODEL_FILE defaults to TRAIN_FILE's base name plus\n"
    "\".model\", in the current directory.  Options:\n"
    "  -s TASK    0 C-SVC: classes, any number, one pair of classes against another\n"
    "             (default); 2 one-class: +1 inside the data's support, -1 outside;\n"
    "             3 epsilon-SVR: regression.  (1 and 4, the nu variants, are not\n"
    "             offered: they need two equality constraints.)\n"
    "  -t TYPE    kernel: 0 linear a.b, 1 polynomial (gamma a.b + coef0)^degree,\n"
    "             2 RBF exp(-gamma |a-b|^2) (default), 3 sigmoid tanh(gamma a.b + coef0),\n"
    "             4 precomputed: lines \"label 0:serial 1:K(x,x_1) 2:K(x,x_2) ...\"\n"
    "  -d DEGREE  degree of the polynomial kernel (default 3)\n"
    "  -g GAMMA   gamma (default 1/number of features)\n"
    "  -r COEF0   coef0 of the polynomial and sigmoid kernels (default 0)\n"
    "  -c C       bound on the coefficients, C-SVC and SVR (default 1)\n"
    "  -n NU      one-class: fraction of outliers allowed, in (0, 1] (default 0.5)\n"
    "  -p P       SVR: half-width of the insensitive tube (default 0.1)\n"
    "  -wLABEL W  C-SVC: C times W for the class LABEL (default 1)\n"
    "  -e EPS     stopping tolerance on the gradient gap (default 0.001)\n"
    "  -m MB      kernel cache of each solve in MB (default 100)\n"
    "  -h 0|1     accepted for compatibility: the solver always shrinks\n"
    "  -q         no progress output (the summary is still printed)\n"
    "  --no-bias  C-SVC without bias term: decision functions pass through 0\n"
    "  --trace N  progress: 0 none, 1 marks, 2 status lines, 3 all (default 1); with\n"
    "             more than two classes, 1 is one line per class pair and the\n"
    "             solver's marks start at 2\n"
    "  -j N       threads (default 0: every thread the machine offers; 1: one);\n"
    "             every number gives the same model, bit for bit\n"
    "Probability estimates (-b 1) and cross-validation (-v) are not offered yet.\n"
    "\n"
    "The summary: n, d, then for C-SVC with more than two classes classes and\n"
    "pairs; objective, steps, kernel evaluations and solve seconds summed over\n"
    "the solves; support vectors (rows the model keeps); bounded support vectors\n"
    "(those at a bound of their box in every pair they are part of); then, for a\n"
    "single solve, bias (b in f = sum + b, minus the model's rho) and the model\n"
    "on its training rows: training accuracy (two classes), training inliers\n"
    "(one-class: rows predicted +1), training mean squared error and squared\n"
    "correlation (SVR).  With more than two classes that would take a prediction\n"
    "pass, so it is left out.\n"
    "\n"
    "predict: writes one prediction per line to OUTPUT_FILE (default: TEST_FILE's\n"
    "base name plus \".predict\", in the current directory) and prints the\n"
    "accuracy against the labels in TEST_FILE (classes, one-class: +1/-1), or the\n"
    "mean squared error and squared correlation with its targets (SVR).  -j N as\n"
    "for train.\n"
    "\n"
    "generate: writes N examples of synthetic data, the same on every machine.\n"
    "  --kind K   clouds (two overlapping Gaussian clouds, default), rings (a ball\n"
    "             inside a shell), blobs (--classes K Gaussian clouds, labels 1..K),\n"
    "             regression (a smooth target of the features plus noise) or text\n"
    "             (word counts, Zipf-distributed)\n"
    "  -d D       features per example, the vocabulary for text (default 10)\n"
    "  --classes K  blobs: number of classes (default 10)\n"
    "  --nnz M    text: mean number of distinct words per line (default 50)\n"
    "  --seed S   seed of the sequence (default 1)\n"
    "  --noise P  probability of a flipped label (default 0.1); regression: the\n"
    "             standard deviation of the noise added to the target\n"
    "\n"
    "Exit status: 0 success, 1 unreadable or bad input or failed training,\n"
    "2 wrong command line, 130 interrupted (no model file is left behind).\n";

UsageError::UsageError(std::string text) : message(std::move(text)) {
  // The words quoted come from the command line; a control character among
  // them would garble the terminal the message is shown on.
  for (char& c : message)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      c = '?';
}

namespace {

double number_arg(const char* opt, const char* text) {
  char* end;
  double v = std::strtod(text, &end);
  if (end == text || *end || !std::isfinite(v))
    throw UsageError(std::string("option ") + opt + ": '" + text + "' is not a number");
  return v;
}

long long integer_arg(const char* opt, const char* text, long long lowest, long long highest) {
  char* end;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end || errno == ERANGE || v < lowest || v > highest)
    throw UsageError(std::string("option ") + opt + ": '" + text + "' is not an integer from " +
                     std::to_string(lowest) + " to " + std::to_string(highest));
  return v;
}

// -j: 0 stands for every thread the machine offers.
int threads_arg(const char* text) { return static_cast<int>(integer_arg("-j", text, 0, 256)); }

// The argument after option `i`, or a usage error when there is none.
const char* value_of(int argc, const char* const* argv, int& i) {
  if (i + 1 >= argc)
    throw UsageError(std::string("option ") + argv[i] + " needs a value");
  return argv[++i];
}

TrainCommand parse_train(int argc, const char* const* argv) {
  TrainCommand t;
  ksvm::Params& prm = t.params;
  prm.trace_level = 1;
  prm.threads = 0;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-s") {
      const char* v = value_of(argc, argv, i);
      prm.task = static_cast<int>(integer_arg("-s", v, 0, 4));
      if (prm.task == 1 || prm.task == 4)
        throw UsageError(std::string("option -s: task ") + v + " (nu-" +
                         (prm.task == 1 ? "SVC" : "SVR") +
                         ") needs two equality constraints, which the solver does not have; "
                         "supported: 0 C-SVC, 2 one-class, 3 epsilon-SVR");
    } else if (a == "-t") {
      prm.kernel.type = static_cast<int>(integer_arg("-t", value_of(argc, argv, i), 0, 4));
    } else if (a == "-d") {
      prm.kernel.degree = static_cast<int>(integer_arg("-d", value_of(argc, argv, i), 0, INT_MAX));
    } else if (a == "-g") {
      prm.kernel.gamma = number_arg("-g", value_of(argc, argv, i));
      if (prm.kernel.gamma < 0)
        throw UsageError("option -g: gamma must not be negative");
      t.gamma_given = true;
    } else if (a == "-r") {
      prm.kernel.coef0 = number_arg("-r", value_of(argc, argv, i));
    } else if (a == "-c") {
      prm.C = number_arg("-c", value_of(argc, argv, i));
      if (!(prm.C > 0))
        throw UsageError("option -c: C must be positive");
    } else if (a == "-n") {
      prm.nu = number_arg("-n", value_of(argc, argv, i));
      if (!(prm.nu > 0 && prm.nu <= 1))
        throw UsageError("option -n: nu must lie in (0, 1]");
    } else if (a == "-p") {
      prm.p = number_arg("-p", value_of(argc, argv, i));
      if (prm.p < 0)
        throw UsageError("option -p: the tube width must not be negative");
    } else if (a.compare(0, 2, "-w") == 0 && a.size() > 2) {
      ksvm::ClassWeight w;
      w.label = number_arg(a.c_str(), a.c_str() + 2);
      w.weight = number_arg(a.c_str(), value_of(argc, argv, i));
      if (w.weight < 0)
        throw UsageError("option " + a + ": the weight must not be negative");
      prm.weights.push_back(w);
    } else if (a == "-e") {
      prm.eps = number_arg("-e", value_of(argc, argv, i));
      if (!(prm.eps > 0))
        throw UsageError("option -e: the tolerance must be positive");
    } else if (a == "-m") {
      prm.cache_mb = number_arg("-m", value_of(argc, argv, i));
      if (!(prm.cache_mb > 0))
        throw UsageError("option -m: the cache size must be positive");
    } else if (a == "-h") {
      integer_arg("-h", value_of(argc, argv, i), 0, 1);
    } else if (a == "-b") {
      if (integer_arg("-b", value_of(argc, argv, i), 0, 1) == 1)
        throw UsageError("option -b: probability estimates are not offered yet");
    } else if (a == "-v") {
      throw UsageError("option -v: cross-validation is not offered yet");
    } else if (a == "-j") {
      prm.threads = threads_arg(value_of(argc, argv, i));
    } else if (a == "-q") {
      prm.trace_level = 0;
    } else if (a == "--no-bias") {
      prm.bias = false;
    } else if (a == "--trace") {
      prm.trace_level = static_cast<int>(integer_arg("--trace", value_of(argc, argv, i), 0, 3));
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option '" + a + "'");
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || files.size() > 2)
    throw UsageError("train takes TRAIN_FILE and optionally MODEL_FILE");
  if (!prm.bias && prm.task != ksvm::kCSVC)
    throw UsageError("option --no-bias: only C-SVC (-s 0) trains without a bias term");
  t.train_file = files[0];
  t.model_file = files.size() > 1 ? files[1] : ksvm::base_name(t.train_file) + ".model";
  return t;
}

PredictCommand parse_predict(int argc, const char* const* argv) {
  std::vector<const char*> files;
  PredictCommand p;
  for (int i = 2; i < argc; i++) {
    if (std::strcmp(argv[i], "-j") == 0)
      p.threads = threads_arg(value_of(argc, argv, i));
    else if (argv[i][0] == '-' && argv[i][1])
      throw UsageError(std::string("unknown option '") + argv[i] + "'");
    else
      files.push_back(argv[i]);
  }
  if (files.size() < 2 || files.size() > 3)
    throw UsageError("predict takes TEST_FILE, MODEL_FILE and optionally OUTPUT_FILE");
  p.test_file = files[0];
  p.model_file = files[1];
  p.out_file = files.size() > 2 ? files[2] : ksvm::base_name(p.test_file) + ".predict";
  return p;
}

GenerateCommand parse_generate(int argc, const char* const* argv) {
  GenerateCommand g;
  ksvm::GenerateOptions& opt = g.options;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--kind") {
      opt.kind = value_of(argc, argv, i);
      if (opt.kind != "clouds" && opt.kind != "rings" && opt.kind != "blobs" &&
          opt.kind != "regression" && opt.kind != "text")
        throw UsageError("option --kind: '" + opt.kind +
                         "' is not one of clouds, rings, blobs, regression, text");
    } else if (a == "-d") {
      opt.d = static_cast<int>(integer_arg("-d", value_of(argc, argv, i), 1, 10000000));
    } else if (a == "--classes") {
      opt.classes = static_cast<int>(integer_arg("--classes", value_of(argc, argv, i), 2, 1000));
    } else if (a == "--nnz") {
      opt.nnz = static_cast<int>(integer_arg("--nnz", value_of(argc, argv, i), 1, 1000000));
    } else if (a == "--seed") {
      opt.seed =
          static_cast<std::uint64_t>(integer_arg("--seed", value_of(argc, argv, i), 0, LLONG_MAX));
    } else if (a == "--noise") {
      opt.noise = number_arg("--noise", value_of(argc, argv, i));
      if (opt.noise < 0 || opt.noise > 1)
        throw UsageError("option --noise: the probability must lie in [0, 1]");
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option '" + a + "'");
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2)
    throw UsageError("generate takes N and OUTPUT_FILE");
  opt.n = static_cast<int>(integer_arg("N", files[0], 1, INT_MAX));
  g.out_file = files[1];
  return g;
}

}  // namespace

Command parse_command(int argc, const char* const* argv) {
  Command c;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      c.kind = Command::kHelp;
      return c;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      c.kind = Command::kVersion;
      return c;
    }
  }
  if (argc < 2)
    throw UsageError("no command");
  const std::string cmd = argv[1];
  if (cmd == "train") {
    c.kind = Command::kTrain;
    c.train = parse_train(argc, argv);
  } else if (cmd == "predict") {
    c.kind = Command::kPredict;
    c.predict = parse_predict(argc, argv);
  } else if (cmd == "generate") {
    c.kind = Command::kGenerate;
    c.generate = parse_generate(argc, argv);
  } else {
    throw UsageError("unknown command '" + cmd + "'");
  }
  return c;
}

}  // namespace cli
