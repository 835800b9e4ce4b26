// kaltro-svm: runs the command parsed from its words (options.h) through
// the trainer library and prints the figures.
#include "kaltro_svm.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// How predictions scored against the heads of the data: the accuracy line
// for classes, the two regression lines for SVR.
void print_score(const char* prefix, const ksvm::Score& s) {
  if (s.task != ksvm::kEpsilonSVR) {
    std::printf("%saccuracy: %.4f%% (%lld/%lld)\n", prefix, s.accuracy, s.correct, s.n);
    return;
  }
  std::printf("%smean squared error: %.12g\n", prefix, s.mean_squared_error);
  std::printf("%ssquared correlation: %.12g\n", prefix, s.squared_correlation);
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

// The training examples of `cmd`, checked as training needs them; gamma
// defaults to 1/d.
ksvm::Dataset read_training(const cli::TrainCommand& cmd, ksvm::Params& prm) {
  const std::string& train_file = cmd.train_file;
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
  prm.stop = &interrupted;
  return data;
}

int cmd_train(const cli::TrainCommand& cmd) {
  catch_interrupts();
  ksvm::Params prm = cmd.params;
  const ksvm::Dataset data = read_training(cmd, prm);
  if (cmd.folds > 0) {
    if (cmd.folds > data.n)
      std::fprintf(stderr, "kaltro-svm: warning: %d folds for %d examples: one example per fold\n",
                   cmd.folds, data.n);
    const ksvm::CrossValidation cv = ksvm::cross_validate(data, prm, cmd.folds, prm.seed);
    print_score("cross-validation ", cv.score);
    return 0;
  }
  const std::string& model_file = cmd.model_file;

  std::vector<double> label = data.labels;  // the pair lines name classes in model order
  if (label.size() == 2 && label[0] == -1 && label[1] == 1)
    std::swap(label[0], label[1]);
  const bool many = prm.task == ksvm::kCSVC && label.size() > 2;
  if (many && prm.trace_level >= 1)
    prm.progress = [&label](const ksvm::SolveReport& r, int done, int total) {
      pair_line(label, r, done, total);
    };

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
      print_score("training ", ksvm::score(prm.task, rep.fitted, data.head));
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
  std::vector<double> predicted, probability;
  if (cmd.probability) {
    if (model.task == ksvm::kEpsilonSVR && model.probA.empty())
      throw ksvm::Failure(model_file +
                          ": the model holds no probability figures; train it with -b 1");
    if (model.task != ksvm::kEpsilonSVR) {
      try {
        probability = ksvm::predict_probability(model, data, &predicted, cmd.threads);
      } catch (const ksvm::Failure& e) {
        const bool none = model.task == ksvm::kCSVC;
        throw ksvm::Failure(model_file + ": " + e.what() + (none ? "; train it with -b 1" : ""));
      }
    }
  }
  if (predicted.empty())
    predicted = ksvm::predict(model, data, cmd.threads);

  // With probabilities, the common predict tool's layout: the labels in the
  // model's order, then per row the label and the probability of each class.
  ksvm::OutFile out(out_file);
  const size_t k = probability.empty() ? 0 : model.label.size();
  if (k > 0) {
    std::fputs("labels", out.get());
    for (double label : model.label)
      std::fprintf(out.get(), " %s", ksvm::format_number(label).c_str());
    std::fputc('\n', out.get());
  }
  for (size_t i = 0; i < predicted.size(); i++) {
    std::fputs(ksvm::format_number(predicted[i]).c_str(), out.get());
    for (size_t c = 0; c < k; c++)
      std::fprintf(out.get(), " %g", probability[i * k + c]);
    std::fputc('\n', out.get());
  }
  out.close();
  if (cmd.probability && model.task == ksvm::kEpsilonSVR)
    std::printf("Laplace scale: %.12g\n", model.probA[0]);
  print_score("", ksvm::score(model.task, predicted, data.head));
  return 0;
}

// Scaled examples as the common scaling tool writes them: the head with 17
// digits, each feature "index:value" with 6, every item followed by a blank.
int cmd_scale(const cli::ScaleCommand& cmd) {
  const ksvm::Dataset data = ksvm::read_dataset(cmd.data_file);
  ksvm::ScaleRanges r;
  if (cmd.restore_file.empty()) {
    r = ksvm::measure_ranges(data, cmd.to);
  } else {
    r = ksvm::read_ranges(cmd.restore_file);
    if (!r.y_scaling && cmd.to.y_scaling) {  // the heads' range from the data
      const ksvm::ScaleRanges y = ksvm::measure_ranges(data, cmd.to);
      r.y_scaling = true;
      r.y_lower = y.y_lower;
      r.y_upper = y.y_upper;
      r.y_min = y.y_min;
      r.y_max = y.y_max;
    }
  }
  std::vector<int> dropped;
  const ksvm::Dataset scaled = ksvm::apply_ranges(data, r, &dropped);
  for (int f : dropped)
    std::fprintf(stderr, "kaltro-svm: warning: feature %d of %s is not in %s: left out\n", f + 1,
                 cmd.data_file.c_str(), cmd.restore_file.c_str());
  if (!cmd.save_file.empty())
    ksvm::write_ranges(cmd.save_file, r);
  for (int i = 0; i < scaled.n; i++) {
    std::printf("%.17g ", scaled.head[static_cast<size_t>(i)]);
    scaled.each_nonzero(i, [](int f, double v) { std::printf("%d:%g ", f + 1, v); });
    std::putchar('\n');
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    throw ksvm::Failure(std::string("cannot write the scaled data: ") + std::strerror(errno));
  if (scaled.nonzeros() > data.nonzeros())
    std::fprintf(stderr,
                 "kaltro-svm: warning: %zu non-zero values scaled into %zu; for features that "
                 "are never negative, -l 0 keeps zeros zero\n",
                 data.nonzeros(), scaled.nonzeros());
  return 0;
}

// The contour of the rates over log2 C and log2 gamma, drawn by gnuplot
// into a PNG image.
void plot(const std::string& file, const std::string& title,
          const std::vector<ksvm::GridPoint>& points, const ksvm::GridPoint& best) {
  bool found = false;
  const char* path = std::getenv("PATH");
  for (std::string dirs = path ? path : ""; !found && !dirs.empty();) {
    const size_t colon = dirs.find(':');
    const std::string dir = dirs.substr(0, colon);
    dirs = colon == std::string::npos ? "" : dirs.substr(colon + 1);
    found = access(((dir.empty() ? "." : dir) + "/gnuplot").c_str(), X_OK) == 0;
  }
  if (!found) {
    std::fprintf(stderr, "kaltro-svm: warning: gnuplot is not installed; no plot\n");
    return;
  }
  std::FILE* g = popen("gnuplot", "w");
  if (!g)
    throw ksvm::Failure(std::string("cannot start gnuplot: ") + std::strerror(errno));
  const bool mse = best.score.task == ksvm::kEpsilonSVR;
  auto rate = [mse](const ksvm::GridPoint& p) {
    return mse ? p.score.mean_squared_error : p.score.accuracy;
  };
  double top = rate(points[0]);
  double cmin = points[0].log2c, cmax = cmin, gmin = points[0].log2g, gmax = gmin;
  for (const ksvm::GridPoint& p : points) {
    top = mse ? std::fmin(top, rate(p)) : std::fmax(top, rate(p));
    cmin = std::fmin(cmin, p.log2c);
    cmax = std::fmax(cmax, p.log2c);
    gmin = std::fmin(gmin, p.log2g);
    gmax = std::fmax(gmax, p.log2g);
  }
  std::string quoted;
  for (char c : file)
    quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  std::fprintf(g, "set term png transparent small linewidth 2 medium enhanced\n");
  std::fprintf(g, "set output \"%s\"\n", quoted.c_str());
  std::fprintf(g, "set xlabel \"log2(C)\"\nset ylabel \"log2(gamma)\"\n");
  std::fprintf(g, "set xrange [%g:%g]\nset yrange [%g:%g]\n", cmin, cmax, gmin, gmax);
  std::fprintf(g, "set contour\nset cntrparam levels incremental %g,%g,%g\n",
               mse ? top : std::round(top) - 3, mse ? std::fmax(top, 1e-12) / 4 : 0.5,
               mse ? 5 * top : 100.0);
  std::fprintf(g, "unset surface\nunset ztics\nset view 0,0\nset key at screen 0.9,0.9\n");
  std::string shown;
  for (char c : title)
    shown += c == '"' || c == '\\' ? ' ' : c;
  std::fprintf(g, "set title \"%s\"\n", shown.c_str());
  std::fprintf(
      g, "set label \"Best log2(C) = %g  log2(gamma) = %g  %s = %g\" at screen 0.5,0.85 center\n",
      best.log2c, best.log2g, mse ? "mean squared error" : "accuracy", rate(best));
  std::fprintf(g, "splot \"-\" with lines\n");
  // By C, then gamma downwards, a blank line between values of C.
  std::vector<ksvm::GridPoint> sorted = points;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ksvm::GridPoint& a, const ksvm::GridPoint& b) {
                     return a.log2c != b.log2c ? a.log2c < b.log2c : a.log2g > b.log2g;
                   });
  for (size_t i = 0; i < sorted.size(); i++) {
    if (i > 0 && sorted[i].log2c != sorted[i - 1].log2c)
      std::fputc('\n', g);
    std::fprintf(g, "%g %g %g\n", sorted[i].log2c, sorted[i].log2g, rate(sorted[i]));
  }
  std::fprintf(g, "e\n");
  if (pclose(g) != 0)
    std::fprintf(stderr, "kaltro-svm: warning: gnuplot failed; %s may be missing\n", file.c_str());
}

int cmd_grid(const cli::GridCommand& cmd) {
  catch_interrupts();
  ksvm::Params prm = cmd.train.params;
  const ksvm::Dataset data = read_training(cmd.train, prm);
  ksvm::GridOptions opt = cmd.options;
  const bool with_c = !opt.log2c.empty(), with_g = !opt.log2g.empty();
  // One line per point as it comes: log2 C, log2 gamma (those searched), rate.
  opt.on_point = [&](const ksvm::GridPoint& p) {
    if (with_c)
      std::printf("%g ", p.log2c);
    if (with_g)
      std::printf("%g ", p.log2g);
    std::printf("%g\n",
                p.score.task == ksvm::kEpsilonSVR ? p.score.mean_squared_error : p.score.accuracy);
    std::fflush(stdout);
  };
  const ksvm::GridResult result = ksvm::grid_search(data, prm, opt);
  const ksvm::GridPoint& best = result.points[result.best];
  std::printf("best C: %s\n", ksvm::format_number(best.C).c_str());
  std::printf("best gamma: %s\n", ksvm::format_number(best.gamma).c_str());
  print_score("best cross-validation ", best.score);
  if (!cmd.plot_file.empty()) {
    std::fflush(stdout);
    if (with_c && with_g)
      plot(cmd.plot_file, ksvm::base_name(cmd.train.train_file), result.points, best);
    else
      std::fprintf(stderr, "kaltro-svm: warning: a grid of one dimension: no plot\n");
  }
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
      case cli::Command::kScale:
        return cmd_scale(cmd.scale);
      case cli::Command::kGrid:
        return cmd_grid(cmd.grid);
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
