// kaltro-svm: the command line over the trainer library: options in, the
// library's calls, figures out.
#include "kaltro_svm.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "generate.h"
#include "kernel.h"
#include "model.h"
#include "text.h"

#ifndef KALTRO_VERSION
#define KALTRO_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage:\n"
    "  kaltro-svm train [options] TRAIN_FILE [MODEL_FILE]\n"
    "  kaltro-svm predict TEST_FILE MODEL_FILE [OUTPUT_FILE]\n"
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
    "mean squared error and squared correlation with its targets (SVR).\n"
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

// A command-line mistake: reported with the usage, exit status 2.
struct UsageError {
  std::string message;
};

double number_arg(const char* opt, const char* text) {
  char* end;
  double v = std::strtod(text, &end);
  if (end == text || *end || !std::isfinite(v))
    throw UsageError{std::string("option ") + opt + ": '" + text + "' is not a number"};
  return v;
}

long long integer_arg(const char* opt, const char* text, long long lowest, long long highest) {
  char* end;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end || errno == ERANGE || v < lowest || v > highest)
    throw UsageError{std::string("option ") + opt + ": '" + text + "' is not an integer from " +
                     std::to_string(lowest) + " to " + std::to_string(highest)};
  return v;
}

// The argument after option `i`, or a usage error when there is none.
const char* value_of(int argc, char** argv, int& i) {
  if (i + 1 >= argc)
    throw UsageError{std::string("option ") + argv[i] + " needs a value"};
  return argv[++i];
}

double peak_memory_mb() {
  struct rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0)
    return 0;
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// Ctrl-C while training ends the program at once: no file is being written
// then, and the solver has nothing to give back.  While the model is being
// written it only raises the flag, and the program ends once the model is
// complete under its name.
std::atomic<bool> interrupted{false}, writing{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used in a signal handler");

extern "C" void on_interrupt(int) {
  interrupted.store(true);
  if (writing.load())
    return;
  static const char message[] = "\nkaltro-svm: interrupted\n";
  ssize_t ignored = write(2, message, sizeof message - 1);
  (void)ignored;
  _exit(130);
}

void catch_interrupts() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_interrupt;
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once, always
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

// What predictions score against the heads of the data: the accuracy line
// for classes, the two regression lines for SVR.
void print_fit(const char* prefix, int task, const std::vector<double>& predicted,
               const std::vector<double>& truth) {
  const size_t n = predicted.size();
  if (task != ksvm::kEpsilonSVR) {
    size_t correct = 0;
    for (size_t i = 0; i < n; i++)
      correct += predicted[i] == truth[i];
    std::printf("%saccuracy: %.4f%% (%zu/%zu)\n", prefix, 100.0 * correct / n, correct, n);
    return;
  }
  // The common predict tool's figures.
  double error = 0, sv = 0, sy = 0, svv = 0, syy = 0, svy = 0;
  for (size_t i = 0; i < n; i++) {
    const double v = predicted[i], y = truth[i];
    error += (v - y) * (v - y);
    sv += v;
    sy += y;
    svv += v * v;
    syy += y * y;
    svy += v * y;
  }
  const double l = static_cast<double>(n);
  std::printf("%smean squared error: %.12g\n", prefix, error / l);
  std::printf(
      "%ssquared correlation: %.12g\n", prefix,
      ((l * svy - sv * sy) * (l * svy - sv * sy)) / ((l * svv - sv * sv) * (l * syy - sy * sy)));
}

// One line per class pair, at trace level 1 and up.
void pair_line(const std::vector<double>& label, const ksvm::SolveReport& r, int done, int total) {
  std::printf(
      "pair %d/%d: %s vs %s, n %d, objective %.9g, steps %lld, support vectors %d, "
      "bounded %d\n",
      done, total, ksvm::format_number(label[static_cast<size_t>(r.first)]).c_str(),
      ksvm::format_number(label[static_cast<size_t>(r.second)]).c_str(), r.n, r.objective, r.steps,
      r.support_vectors, r.bounded);
  std::fflush(stdout);
}

int cmd_train(int argc, char** argv) {
  catch_interrupts();
  ksvm::Params prm;
  prm.trace_level = 1;
  bool gamma_given = false;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-s") {
      const char* v = value_of(argc, argv, i);
      prm.task = static_cast<int>(integer_arg("-s", v, 0, 4));
      if (prm.task == 1 || prm.task == 4)
        throw UsageError{std::string("option -s: task ") + v + " (nu-" +
                         (prm.task == 1 ? "SVC" : "SVR") +
                         ") needs two equality constraints, which the solver does not have; "
                         "supported: 0 C-SVC, 2 one-class, 3 epsilon-SVR"};
    } else if (a == "-t") {
      prm.kernel.type = static_cast<int>(integer_arg("-t", value_of(argc, argv, i), 0, 4));
    } else if (a == "-d") {
      prm.kernel.degree = static_cast<int>(integer_arg("-d", value_of(argc, argv, i), 0, INT_MAX));
    } else if (a == "-g") {
      prm.kernel.gamma = number_arg("-g", value_of(argc, argv, i));
      if (prm.kernel.gamma < 0)
        throw UsageError{"option -g: gamma must not be negative"};
      gamma_given = true;
    } else if (a == "-r") {
      prm.kernel.coef0 = number_arg("-r", value_of(argc, argv, i));
    } else if (a == "-c") {
      prm.C = number_arg("-c", value_of(argc, argv, i));
      if (!(prm.C > 0))
        throw UsageError{"option -c: C must be positive"};
    } else if (a == "-n") {
      prm.nu = number_arg("-n", value_of(argc, argv, i));
      if (!(prm.nu > 0 && prm.nu <= 1))
        throw UsageError{"option -n: nu must lie in (0, 1]"};
    } else if (a == "-p") {
      prm.p = number_arg("-p", value_of(argc, argv, i));
      if (prm.p < 0)
        throw UsageError{"option -p: the tube width must not be negative"};
    } else if (a.compare(0, 2, "-w") == 0 && a.size() > 2) {
      ksvm::ClassWeight w;
      w.label = number_arg(a.c_str(), a.c_str() + 2);
      w.weight = number_arg(a.c_str(), value_of(argc, argv, i));
      if (w.weight < 0)
        throw UsageError{"option " + a + ": the weight must not be negative"};
      prm.weights.push_back(w);
    } else if (a == "-e") {
      prm.eps = number_arg("-e", value_of(argc, argv, i));
      if (!(prm.eps > 0))
        throw UsageError{"option -e: the tolerance must be positive"};
    } else if (a == "-m") {
      prm.cache_mb = number_arg("-m", value_of(argc, argv, i));
      if (!(prm.cache_mb > 0))
        throw UsageError{"option -m: the cache size must be positive"};
    } else if (a == "-h") {
      integer_arg("-h", value_of(argc, argv, i), 0, 1);
    } else if (a == "-b") {
      if (integer_arg("-b", value_of(argc, argv, i), 0, 1) == 1)
        throw UsageError{"option -b: probability estimates are not offered yet"};
    } else if (a == "-v") {
      throw UsageError{"option -v: cross-validation is not offered yet"};
    } else if (a == "-q") {
      prm.trace_level = 0;
    } else if (a == "--no-bias") {
      prm.bias = false;
    } else if (a == "--trace") {
      prm.trace_level = static_cast<int>(integer_arg("--trace", value_of(argc, argv, i), 0, 3));
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option '" + a + "'"};
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || files.size() > 2)
    throw UsageError{"train takes TRAIN_FILE and optionally MODEL_FILE"};
  if (!prm.bias && prm.task != ksvm::kCSVC)
    throw UsageError{"option --no-bias: only C-SVC (-s 0) trains without a bias term"};
  const std::string train_file = files[0];
  const std::string model_file =
      files.size() > 1 ? files[1] : ksvm::base_name(train_file) + ".model";

  ksvm::ReadOptions read;
  read.precomputed = prm.kernel.type == ksvm::kPrecomputed;
  if (prm.task == ksvm::kEpsilonSVR)
    read.head_name = "target";
  ksvm::Dataset data = ksvm::read_dataset(train_file, read);
  if (read.precomputed)
    ksvm::check_precomputed(data, 0, train_file);
  if (prm.task == ksvm::kCSVC && data.labels.size() < 2)
    throw ksvm::Failure(train_file + ": every example has label " +
                        ksvm::format_number(data.labels[0]) +
                        "; training needs examples of two labels");
  if (!gamma_given)
    prm.kernel.gamma = data.d > 0 ? 1.0 / data.d : 0.0;
  for (const ksvm::ClassWeight& w : prm.weights)
    if (prm.task == ksvm::kCSVC &&
        std::find(data.labels.begin(), data.labels.end(), w.label) == data.labels.end())
      std::fprintf(stderr, "kaltro-svm: warning: no class has label %s (option -w%s)\n",
                   ksvm::format_number(w.label).c_str(), ksvm::format_number(w.label).c_str());

  std::vector<double> label = data.labels;  // the pair lines name classes in model order
  if (label.size() == 2 && label[0] == -1 && label[1] == 1)
    std::swap(label[0], label[1]);
  const bool many = prm.task == ksvm::kCSVC && label.size() > 2;
  if (many && prm.trace_level >= 1)
    prm.progress = [&label](const ksvm::SolveReport& r, int done, int total) {
      pair_line(label, r, done, total);
    };
  prm.stop = &interrupted;

  ksvm::TrainReport rep;
  ksvm::Model model = ksvm::train(data, prm, &rep);
  writing.store(true);
  if (interrupted.load())
    throw ksvm::Interrupted();
  ksvm::write_model(model_file, model);
  writing.store(false);
  if (interrupted.load())
    throw ksvm::Interrupted();

  double objective = 0, seconds = 0;
  long long steps = 0, evals = 0;
  for (const ksvm::SolveReport& r : rep.solves) {
    objective += r.objective;
    steps += r.steps;
    evals += r.kernel_evals;
    seconds += r.seconds;
  }
  std::printf("n: %d\n", data.n);
  std::printf("d: %d\n", data.d);
  if (many) {
    std::printf("classes: %zu\n", label.size());
    std::printf("pairs: %zu\n", rep.solves.size());
  }
  std::printf("objective: %.12g\n", objective);
  std::printf("steps: %lld\n", steps);
  std::printf("kernel evaluations: %lld\n", evals);
  std::printf("support vectors: %d\n", model.sv.n);
  std::printf("bounded support vectors: %d\n", rep.bounded);
  if (!many) {
    std::printf("bias: %.12g\n", 0.0 - model.rho[0]);  // without bias 0, not -0
    if (prm.task == ksvm::kOneClass) {
      size_t inside = 0;
      for (double f : rep.fitted)
        inside += f > 0;
      std::printf("training inliers: %.4f%% (%zu/%d)\n", 100.0 * inside / data.n, inside, data.n);
    } else {
      print_fit("training ", prm.task, rep.fitted, data.head);
    }
  }
  std::printf("solve seconds: %.3f\n", seconds);
  std::printf("peak memory MB: %.1f\n", peak_memory_mb());
  return 0;
}

int cmd_predict(int argc, char** argv) {
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    if (argv[i][0] == '-' && argv[i][1])
      throw UsageError{std::string("unknown option '") + argv[i] + "'"};
    files.push_back(argv[i]);
  }
  if (files.size() < 2 || files.size() > 3)
    throw UsageError{"predict takes TEST_FILE, MODEL_FILE and optionally OUTPUT_FILE"};
  const std::string test_file = files[0], model_file = files[1];
  const std::string out_file =
      files.size() > 2 ? files[2] : ksvm::base_name(test_file) + ".predict";

  ksvm::Model model = ksvm::read_model(model_file);
  ksvm::ReadOptions read;
  read.precomputed = model.kernel.type == ksvm::kPrecomputed;
  ksvm::Dataset data = ksvm::read_dataset(test_file, read);
  if (read.precomputed)
    ksvm::check_precomputed(data, ksvm::max_serial(model), test_file, false);
  std::vector<double> predicted = ksvm::predict(model, data);

  ksvm::OutFile out(out_file);
  for (double v : predicted)
    std::fprintf(out.get(), "%s\n", ksvm::format_number(v).c_str());
  out.close();
  print_fit("", model.task, predicted, data.head);
  return 0;
}

int cmd_generate(int argc, char** argv) {
  ksvm::GenerateOptions opt;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--kind") {
      opt.kind = value_of(argc, argv, i);
      if (opt.kind != "clouds" && opt.kind != "rings" && opt.kind != "blobs" &&
          opt.kind != "regression" && opt.kind != "text")
        throw UsageError{"option --kind: '" + opt.kind +
                         "' is not one of clouds, rings, blobs, regression, text"};
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
        throw UsageError{"option --noise: the probability must lie in [0, 1]"};
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option '" + a + "'"};
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.size() != 2)
    throw UsageError{"generate takes N and OUTPUT_FILE"};
  opt.n = static_cast<int>(integer_arg("N", files[0], 1, INT_MAX));
  ksvm::OutFile out(files[1]);
  ksvm::generate(opt, out.get());
  out.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("kaltro-svm %s: kernel machines trained with the kaltro solver\n\n%s%s",
                  KALTRO_VERSION, kUsage, kHelp);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("kaltro-svm %s\n", KALTRO_VERSION);
      return 0;
    }
  }
  try {
    if (argc < 2)
      throw UsageError{"no command"};
    std::string cmd = argv[1];
    if (cmd == "train")
      return cmd_train(argc, argv);
    if (cmd == "predict")
      return cmd_predict(argc, argv);
    if (cmd == "generate")
      return cmd_generate(argc, argv);
    throw UsageError{"unknown command '" + cmd + "'"};
  } catch (const UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "kaltro-svm: %s\n%s", e.message.c_str(), kUsage);
    return 2;
  } catch (const ksvm::Interrupted& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "\nkaltro-svm: %s\n", e.what());
    return 130;
  } catch (const ksvm::Failure& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "kaltro-svm: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "kaltro-svm: out of memory\n");
    return 1;
  }
}
