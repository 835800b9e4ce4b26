// kaltro-svm: train a two-class kernel classifier on a file in the sparse
// text format, write its model, and predict with a model.
#include <sys/resource.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "dataset.h"
#include "generate.h"
#include "model.h"
#include "text.h"
#include "train.h"

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
    "train: learns a two-class classifier from lines \"label index:value ...\"\n"
    "(any two distinct labels; indices increasing from 1) and writes its model.\n"
    "MODEL_FILE defaults to TRAIN_FILE's base name plus \".model\", in the\n"
    "current directory.  Options:\n"
    "  -t TYPE    kernel: 0 linear a.b, 1 polynomial (gamma a.b + coef0)^degree,\n"
    "             2 RBF exp(-gamma |a-b|^2) (default 2)\n"
    "  -d DEGREE  degree of the polynomial kernel (default 3)\n"
    "  -g GAMMA   gamma (default 1/number of features)\n"
    "  -r COEF0   coef0 of the polynomial kernel (default 0)\n"
    "  -c C       bound on the coefficients (default 1)\n"
    "  -e EPS     stopping tolerance on the gradient gap (default 0.001)\n"
    "  -m MB      kernel cache size in MB (default 100)\n"
    "  -q         no solver progress output (the summary is still printed)\n"
    "  --no-bias  no bias term: the decision function passes through 0\n"
    "  --trace N  solver progress: 0 none, 1 marks, 2 status lines, 3 all (default 1)\n"
    "\n"
    "predict: prints the accuracy against the labels in TEST_FILE and writes one\n"
    "predicted label per line to OUTPUT_FILE (default: TEST_FILE's base name\n"
    "plus \".predict\", in the current directory).\n"
    "\n"
    "generate: writes N examples of synthetic data, the same on every machine.\n"
    "  --kind K   clouds (two overlapping Gaussian clouds, default), rings\n"
    "             (a ball inside a shell) or text (word counts, Zipf-distributed)\n"
    "  -d D       features per example, the vocabulary for text (default 10)\n"
    "  --nnz M    text: mean number of distinct words per line (default 50)\n"
    "  --seed S   seed of the sequence (default 1)\n"
    "  --noise P  probability of a flipped label (default 0.1)\n"
    "\n"
    "Exit status: 0 success, 1 unreadable or bad input or failed training,\n"
    "2 wrong command line.\n";

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

int cmd_train(int argc, char** argv) {
  ksvm::TrainOptions opt;
  bool gamma_given = false;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-t") {
      opt.kernel.type = static_cast<int>(integer_arg("-t", value_of(argc, argv, i), 0, 2));
    } else if (a == "-d") {
      opt.kernel.degree = static_cast<int>(integer_arg("-d", value_of(argc, argv, i), 0, INT_MAX));
    } else if (a == "-g") {
      opt.kernel.gamma = number_arg("-g", value_of(argc, argv, i));
      if (opt.kernel.gamma < 0)
        throw UsageError{"option -g: gamma must not be negative"};
      gamma_given = true;
    } else if (a == "-r") {
      opt.kernel.coef0 = number_arg("-r", value_of(argc, argv, i));
    } else if (a == "-c") {
      opt.C = number_arg("-c", value_of(argc, argv, i));
      if (!(opt.C > 0))
        throw UsageError{"option -c: C must be positive"};
    } else if (a == "-e") {
      opt.eps = number_arg("-e", value_of(argc, argv, i));
      if (!(opt.eps > 0))
        throw UsageError{"option -e: the tolerance must be positive"};
    } else if (a == "-m") {
      opt.cache_mb = number_arg("-m", value_of(argc, argv, i));
      if (!(opt.cache_mb > 0))
        throw UsageError{"option -m: the cache size must be positive"};
    } else if (a == "-q") {
      opt.trace_level = 0;
    } else if (a == "--no-bias") {
      opt.bias = false;
    } else if (a == "--trace") {
      opt.trace_level = static_cast<int>(integer_arg("--trace", value_of(argc, argv, i), 0, 3));
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option '" + a + "'"};
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || files.size() > 2)
    throw UsageError{"train takes TRAIN_FILE and optionally MODEL_FILE"};
  const std::string train_file = files[0];
  const std::string model_file =
      files.size() > 1 ? files[1] : ksvm::base_name(train_file) + ".model";

  ksvm::ReadOptions limits;
  limits.max_labels = 2;
  ksvm::Dataset data = ksvm::read_dataset(train_file, limits);
  if (data.labels.size() < 2)
    throw ksvm::Failure(train_file + ": every example has label " +
                        ksvm::format_number(data.labels[0]) +
                        "; training needs examples of two labels");
  if (!gamma_given)
    opt.kernel.gamma = data.d > 0 ? 1.0 / data.d : 0.0;

  ksvm::TrainResult r = ksvm::train(data, opt);
  ksvm::write_model(model_file, r.model);

  std::printf("n: %d\n", data.n);
  std::printf("d: %d\n", data.d);
  std::printf("objective: %.12g\n", r.objective);
  std::printf("steps: %d\n", r.steps);
  std::printf("kernel evaluations: %lld\n", r.kernel_evals);
  std::printf("support vectors: %d\n", r.support_vectors);
  std::printf("bounded support vectors: %d\n", r.bounded);
  std::printf("bias: %.12g\n", r.bias);
  std::printf("training accuracy: %.4f%% (%d/%d)\n", 100.0 * r.correct / data.n, r.correct, data.n);
  std::printf("solve seconds: %.3f\n", r.seconds);
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
  ksvm::Dataset data = ksvm::read_dataset(test_file, ksvm::ReadOptions());
  std::vector<double> labels = ksvm::predict(model, data, test_file);

  ksvm::OutFile out(out_file);
  int correct = 0;
  for (int i = 0; i < data.n; i++) {
    double l = labels[static_cast<size_t>(i)];
    if (l == data.head[static_cast<size_t>(i)])
      correct++;
    std::fprintf(out.get(), "%s\n", ksvm::format_number(l).c_str());
  }
  out.close();
  std::printf("accuracy: %.4f%% (%d/%d)\n", 100.0 * correct / data.n, correct, data.n);
  return 0;
}

int cmd_generate(int argc, char** argv) {
  ksvm::GenerateOptions opt;
  std::vector<const char*> files;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--kind") {
      opt.kind = value_of(argc, argv, i);
      if (opt.kind != "clouds" && opt.kind != "rings" && opt.kind != "text")
        throw UsageError{"option --kind: '" + opt.kind + "' is not clouds, rings or text"};
    } else if (a == "-d") {
      opt.d = static_cast<int>(integer_arg("-d", value_of(argc, argv, i), 1, 10000000));
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
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("kaltro-svm %s: kernel classifiers trained with the kaltro solver\n\n%s%s",
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
