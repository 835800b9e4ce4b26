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
    "  kaltro-svm predict [-b 0|1] [-j N] TEST_FILE MODEL_FILE [OUTPUT_FILE]\n"
    "  kaltro-svm scale [-l LOWER] [-u UPPER] [-y LOWER UPPER] [-s FILE | -r FILE] FILE\n"
    "  kaltro-svm grid [grid options] [train options] FILE\n"
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
    "  -b 0|1     1: probability figures in the model, from an internal 5-fold\n"
    "             cross-validation: C-SVC a sigmoid of each class pair's decision\n"
    "             value, SVR the Laplace scale of the errors; not for one-class\n"
    "  -v K       K-fold cross-validation instead of a model (K at least 2): prints\n"
    "             cross-validation accuracy (SVR: mean squared error and squared\n"
    "             correlation); C-SVC folds hold each class evenly\n"
    "  --seed S   seed of the folds of -v and of -b's internal ones (default 1)\n"
    "  -j N       threads (default 0: every thread the machine offers; 1: one);\n"
    "             every number gives the same model, bit for bit\n"
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
    "  -b 1       C-SVC models trained with -b 1: a first line \"labels L1 L2 ...\"\n"
    "             (the model's order), then per row the most probable label and the\n"
    "             probability of each class; SVR: prints the Laplace scale too\n"
    "\n"
    "scale: writes FILE to standard output with each feature mapped linearly from\n"
    "its range over FILE (absent values count as 0) onto [LOWER, UPPER]; features\n"
    "constant over FILE are left out.\n"
    "  -l LOWER   (default -1)\n"
    "  -u UPPER   (default 1)\n"
    "  -y LOWER UPPER  scale the labels or targets too (default: not)\n"
    "  -s FILE    save the ranges to FILE\n"
    "  -r FILE    scale with the ranges saved in FILE instead (its LOWER, UPPER too)\n"
    "\n"
    "grid: cross-validated search for C = 2^c and gamma = 2^g; prints \"c g rate\"\n"
    "per point as it goes (rate: accuracy in percent, SVR the mean squared error),\n"
    "then best C, best gamma and the best cross-validation figures.  Each gamma\n"
    "and fold is one solver walking the values of C upwards, continuing from\n"
    "the last solution; the folds are the same at every point.\n"
    "  -log2c B,E,S  c from B in steps of S up to E (default -5,15,2); null: -c\n"
    "             of the training options' default\n"
    "  -log2g B,E,S  g likewise (default 3,-15,-2); null: the default gamma\n"
    "  -v K       folds (default 5)\n"
    "  --seed S   seed of the folds (default 1)\n"
    "  --plot FILE.png  the contour of the rates, drawn by gnuplot if installed\n"
    "The train options but -c, -g and -b apply to every training; the solver is\n"
    "silent unless --trace asks otherwise.\n"
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

// One training option at argv[i] (its value after it): false when argv[i] is none.
bool train_option(int argc, const char* const* argv, int& i, TrainCommand& t) {
  ksvm::Params& prm = t.params;
  const std::string a = argv[i];
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
    prm.probability = integer_arg("-b", value_of(argc, argv, i), 0, 1) == 1;
  } else if (a == "-v") {
    t.folds = static_cast<int>(integer_arg("-v", value_of(argc, argv, i), 2, INT_MAX));
  } else if (a == "--seed") {
    prm.seed =
        static_cast<std::uint64_t>(integer_arg("--seed", value_of(argc, argv, i), 0, LLONG_MAX));
  } else if (a == "-j") {
    prm.threads = threads_arg(value_of(argc, argv, i));
  } else if (a == "-q") {
    prm.trace_level = 0;
  } else if (a == "--no-bias") {
    prm.bias = false;
  } else if (a == "--trace") {
    prm.trace_level = static_cast<int>(integer_arg("--trace", value_of(argc, argv, i), 0, 3));
  } else {
    return false;
  }
  return true;
}

// What the training options cannot do together.
void check_train(const TrainCommand& t) {
  if (!t.params.bias && t.params.task != ksvm::kCSVC)
    throw UsageError("option --no-bias: only C-SVC (-s 0) trains without a bias term");
  if (t.params.probability && t.params.task == ksvm::kOneClass)
    throw UsageError("option -b: probability estimates are not offered for one-class (-s 2)");
}

[[noreturn]] void unknown(const std::string& a) { throw UsageError("unknown option '" + a + "'"); }

TrainCommand parse_train(int argc, const char* const* argv) {
  TrainCommand t;
  t.params.trace_level = 1;
  t.params.threads = 0;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    if (train_option(argc, argv, i, t))
      continue;
    if (argv[i][0] == '-' && argv[i][1])
      unknown(argv[i]);
    files.push_back(argv[i]);
  }
  if (files.empty() || files.size() > 2)
    throw UsageError("train takes TRAIN_FILE and optionally MODEL_FILE");
  check_train(t);
  if (t.folds > 0 && files.size() > 1)
    throw UsageError("option -v: cross-validation writes no model; give TRAIN_FILE alone");
  t.train_file = files[0];
  t.model_file = files.size() > 1 ? files[1] : ksvm::base_name(t.train_file) + ".model";
  return t;
}

// "begin,end,step" as the common grid tool reads it: begin, begin + step,
// ... while not beyond end; "null": none (empty).
std::vector<double> grid_range(const char* opt, const char* text) {
  std::vector<double> out;
  if (std::strcmp(text, "null") == 0)
    return out;
  double v[3];
  const char* p = text;
  for (int k = 0; k < 3; k++) {
    char* end;
    v[k] = std::strtod(p, &end);
    if (end == p || !std::isfinite(v[k]) || *end != (k < 2 ? ',' : '\0'))
      throw UsageError(std::string("option ") + opt + ": '" + text +
                       "' is not BEGIN,END,STEP (three numbers) or null");
    p = end + 1;
  }
  if (v[2] == 0)
    throw UsageError(std::string("option ") + opt + ": the step must not be 0");
  for (double c = v[0]; v[2] > 0 ? c <= v[1] : c >= v[1]; c += v[2]) {
    if (out.size() == 1000)
      throw UsageError(std::string("option ") + opt + ": '" + text + "' gives over 1000 values");
    out.push_back(c);
  }
  if (out.empty())
    throw UsageError(std::string("option ") + opt + ": '" + text + "' gives no values");
  return out;
}

GridCommand parse_grid(int argc, const char* const* argv) {
  GridCommand g;
  TrainCommand& t = g.train;
  t.params.trace_level = 0;
  t.params.threads = 0;
  g.options.log2c = grid_range("-log2c", "-5,15,2");
  g.options.log2g = grid_range("-log2g", "3,-15,-2");
  bool with_c = true, with_g = true;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "-log2c") {
      g.options.log2c = grid_range("-log2c", value_of(argc, argv, i));
      with_c = !g.options.log2c.empty();
    } else if (a == "-log2g") {
      g.options.log2g = grid_range("-log2g", value_of(argc, argv, i));
      with_g = !g.options.log2g.empty();
    } else if (a == "-v") {
      g.options.folds = static_cast<int>(integer_arg("-v", value_of(argc, argv, i), 2, INT_MAX));
    } else if (a == "--plot") {
      g.plot_file = value_of(argc, argv, i);
      // The name goes into gnuplot's script: a line break would end the
      // string there and start a command of its own.
      if (g.plot_file.find_first_of("\n\r") != std::string::npos)
        throw UsageError("option --plot: the file name must not hold a line break");
    } else if (a == "-c" || a == "-g") {
      throw UsageError("option " + a + ": the grid sets " + (a == "-c" ? "C" : "gamma") +
                       "; use -log2" + a.substr(1));
    } else if (train_option(argc, argv, i, t)) {
      if (a == "-b" && t.params.probability)
        throw UsageError("option -b: the grid search scores decision values, not probabilities");
    } else if (a.size() > 1 && a[0] == '-') {
      unknown(a);
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 1)
    throw UsageError("grid takes one FILE");
  if (!with_c && !with_g)
    throw UsageError("options -log2c and -log2g: at least one of them must not be null");
  check_train(t);
  g.options.seed = t.params.seed;
  t.train_file = files[0];
  return g;
}

double scale_limit(int argc, const char* const* argv, int& i, const char* opt) {
  return number_arg(opt, value_of(argc, argv, i));
}

ScaleCommand parse_scale(int argc, const char* const* argv) {
  ScaleCommand c;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "-l") {
      c.to.lower = scale_limit(argc, argv, i, "-l");
    } else if (a == "-u") {
      c.to.upper = scale_limit(argc, argv, i, "-u");
    } else if (a == "-y") {
      c.to.y_scaling = true;
      c.to.y_lower = scale_limit(argc, argv, i, "-y");
      c.to.y_upper = scale_limit(argc, argv, i, "-y");
    } else if (a == "-s") {
      c.save_file = value_of(argc, argv, i);
    } else if (a == "-r") {
      c.restore_file = value_of(argc, argv, i);
    } else if (a.size() > 1 && a[0] == '-') {
      unknown(a);
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 1)
    throw UsageError("scale takes one FILE");
  if (!c.save_file.empty() && !c.restore_file.empty())
    throw UsageError("options -s and -r: the ranges are either saved or restored");
  if (!(c.to.upper > c.to.lower))
    throw UsageError("options -l and -u: the lower limit must lie below the upper one");
  if (c.to.y_scaling && !(c.to.y_upper > c.to.y_lower))
    throw UsageError("option -y: the lower limit must lie below the upper one");
  c.data_file = files[0];
  return c;
}

PredictCommand parse_predict(int argc, const char* const* argv) {
  PredictCommand p;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    if (std::strcmp(argv[i], "-j") == 0)
      p.threads = threads_arg(value_of(argc, argv, i));
    else if (std::strcmp(argv[i], "-b") == 0)
      p.probability = integer_arg("-b", value_of(argc, argv, i), 0, 1) == 1;
    else if (argv[i][0] == '-' && argv[i][1])
      unknown(argv[i]);
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
      unknown(a);
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
  } else if (cmd == "scale") {
    c.kind = Command::kScale;
    c.scale = parse_scale(argc, argv);
  } else if (cmd == "grid") {
    c.kind = Command::kGrid;
    c.grid = parse_grid(argc, argv);
  } else {
    throw UsageError("unknown command '" + cmd + "'");
  }
  return c;
}

}  // namespace cli
