// kaltro-svm: runs the command parsed from its words (options.h) through
// the trainer library and prints the figures.
#include "kaltro_svm.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "options.h"
#include "text.h"

#ifndef KALTRO_VERSION
#define KALTRO_VERSION "unknown"
#endif

namespace {

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

int cmd_train(const cli::TrainCommand& cmd) {
  catch_interrupts();
  ksvm::Params prm = cmd.params;
  const std::string& train_file = cmd.train_file;
  const std::string& model_file = cmd.model_file;

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
  if (!cmd.gamma_given)
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

int cmd_predict(const cli::PredictCommand& cmd) {
  const std::string &test_file = cmd.test_file, &model_file = cmd.model_file;
  const std::string& out_file = cmd.out_file;

  ksvm::Model model = ksvm::read_model(model_file);
  ksvm::ReadOptions read;
  read.precomputed = model.kernel.type == ksvm::kPrecomputed;
  ksvm::Dataset data = ksvm::read_dataset(test_file, read);
  if (read.precomputed)
    ksvm::check_precomputed(data, ksvm::max_serial(model), test_file, false);
  std::vector<double> predicted = ksvm::predict(model, data, cmd.threads);

  ksvm::OutFile out(out_file);
  for (double v : predicted)
    std::fprintf(out.get(), "%s\n", ksvm::format_number(v).c_str());
  out.close();
  print_fit("", model.task, predicted, data.head);
  return 0;
}

int cmd_generate(const cli::GenerateCommand& cmd) {
  ksvm::OutFile out(cmd.out_file);
  ksvm::generate(cmd.options, out.get());
  out.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const cli::Command cmd = cli::parse_command(argc, argv);
    switch (cmd.kind) {
      case cli::Command::kHelp:
        std::printf("kaltro-svm %s: kernel machines trained with the kaltro solver\n\n%s%s",
                    KALTRO_VERSION, cli::kUsage, cli::kHelp);
        return 0;
      case cli::Command::kVersion:
        std::printf("kaltro-svm %s\n", KALTRO_VERSION);
        return 0;
      case cli::Command::kTrain:
        return cmd_train(cmd.train);
      case cli::Command::kPredict:
        return cmd_predict(cmd.predict);
      case cli::Command::kGenerate:
        return cmd_generate(cmd.generate);
    }
    return 2;
  } catch (const cli::UsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "kaltro-svm: %s\n%s", e.message.c_str(), cli::kUsage);
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
