// kaltro-svm: support-vector machines trained with the kaltro solver.
//
// The library behind the `kaltro-svm` command line and the Python package:
// data sets, training for classification (any number of classes, one
// against one), one-class novelty detection and epsilon regression, and
// models in the text format of the common SVM tools.
//
//     ksvm::Dataset train = ksvm::read_dataset("train.txt");
//     ksvm::Params p;                        // C-SVC, RBF kernel
//     p.kernel.gamma = 1.0 / train.d;
//     ksvm::Model m = ksvm::train(train, p);
//     ksvm::write_model("train.model", m);
//     ksvm::Dataset test = ksvm::read_dataset("test.txt");
//     std::vector<double> labels = ksvm::predict(m, test);
//
// Errors are exceptions: ksvm::Failure for anything the user can act on
// (the message names the file and line, or the fault), std::bad_alloc when
// memory runs out, ksvm::Interrupted when a run was asked to stop.
#ifndef KALTRO_SVM_H
#define KALTRO_SVM_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ksvm {

/// A failure the user can act on; the message names the file (and line).
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Training or prediction stopped because Params::stop was raised.
class Interrupted : public Failure {
 public:
  Interrupted() : Failure("interrupted") {}
};

// ---------------------------------------------------------------- data ---

/// Examples: n rows, each a number in front (class label or regression
/// target) and features indexed from 0 (a file's index minus 1; for a
/// precomputed kernel the file's own index, so that feature 0 is the
/// serial).  Rows are held densely (n x d doubles) or sparsely (index/value
/// pairs, only the non-zeros), chosen when a set is made: sparsely when that
/// takes less than half the memory of the dense matrix.  The kernels give
/// the same bits either way.
struct Dataset {
  int n = 0;                   ///< rows
  int d = 0;                   ///< features: one past the largest index held (or more)
  std::vector<double> head;    ///< label or target of each row
  std::vector<double> labels;  ///< distinct heads in order of first appearance
  std::vector<double> norm2;   ///< squared norm of each row

  bool sparse = false;        ///< which holding is in use
  std::vector<double> x;      ///< dense holding: n x d, row-major, absent features 0
  std::vector<size_t> start;  ///< sparse holding: row i holds pairs start[i]..start[i+1]-1
  std::vector<int> index;     ///< sparse holding: feature index, increasing within a row
  std::vector<double> value;  ///< sparse holding: feature value, never 0

  /// Row i of the dense holding (d entries).
  const double* row(int i) const { return x.data() + static_cast<size_t>(i) * d; }
  /// Feature k of row i (0 when absent or beyond d).
  double at(int i, int k) const;
  /// Non-zero features held over all rows.
  size_t nonzeros() const;
  /// f(k, v) for every non-zero feature k of row i, k increasing, in either holding.
  template <class F>
  void each_nonzero(int i, F&& f) const {
    if (sparse) {
      for (size_t e = start[static_cast<size_t>(i)]; e < start[static_cast<size_t>(i) + 1]; e++)
        f(index[e], value[e]);
    } else {
      const double* r = row(i);
      for (int k = 0; k < d; k++)
        if (r[k] != 0)
          f(k, r[k]);
    }
  }
};

/// How a data file is read.
struct ReadOptions {
  int max_labels = 0;               ///< more distinct heads than this is an error (0: no limit)
  int min_d = 0;                    ///< at least this many features
  bool precomputed = false;         ///< feature indices start at 0 ("0:serial 1:K(i,1) ..."), not 1
  const char* head_name = "label";  ///< what the first number is called in messages
};

/// Read a file in the sparse text format "head index:value ..." (indices
/// increasing from 1, or from 0 for precomputed kernels); blank lines are
/// skipped.  An empty file, or one without examples, is an error.
Dataset read_dataset(const std::string& path, const ReadOptions& opt = ReadOptions());

/// Rows from a dense row-major array of n x d (absent features are 0) and a
/// head per row; the holding is chosen as for files.
Dataset dataset_from_dense(int n, int d, const double* x, const double* head);

/// Rows from compressed sparse rows: row i holds indices[indptr[i]..indptr[i+1]-1]
/// (0-based, increasing) with their values; d is the number of features.
Dataset dataset_from_csr(int n, int d, const std::int64_t* indptr, const std::int32_t* indices,
                         const double* values, const double* head);

/// The given rows of `data`, in that order, in the same holding.
Dataset select_rows(const Dataset& data, const std::vector<int>& rows);

// ------------------------------------------------------------- kernels ---

/// K(a, b); the numbers are the common tools' -t values.
enum KernelType {
  kLinear = 0,       ///< a.b
  kPolynomial = 1,   ///< (gamma a.b + coef0)^degree
  kRbf = 2,          ///< exp(-gamma |a - b|^2)
  kSigmoid = 3,      ///< tanh(gamma a.b + coef0); not positive semi-definite in general
  kPrecomputed = 4,  ///< the data hold the kernel matrix: row i is "0:serial 1:K(i,1) ..."
};

struct KernelParams {
  int type = kRbf;   ///< a KernelType
  int degree = 3;    ///< polynomial only
  double gamma = 0;  ///< polynomial, RBF and sigmoid
  double coef0 = 0;  ///< polynomial and sigmoid
};

// -------------------------------------------------------------- params ---

/// What is learnt.  The numbers are the common tools' -s values; 1 (nu-SVC)
/// and 4 (nu-SVR) need two equality constraints and are not offered.
enum Task {
  kCSVC = 0,        ///< classification, any number of classes, one class pair against another
  kOneClass = 2,    ///< novelty detection: +1 inside the support of the data, -1 outside
  kEpsilonSVR = 3,  ///< regression with an insensitive tube of width p
};

/// A factor on C for the examples of one class (the common tools' -wLABEL weight).
struct ClassWeight {
  double label;   ///< the class, as its label; weights for labels not in the data are ignored
  double weight;  ///< C of that class is C * weight; two weights for one label multiply
};

/// What one solve reports: one per class pair for C-SVC, else one.
struct SolveReport {
  int first = 0;               ///< C-SVC: the class coded +1, an index into Model::label
  int second = 0;              ///< C-SVC: the class coded -1
  int n = 0;                   ///< variables of the solve
  double objective = 0;        ///< the solver's w (minus the common tools' dual objective)
  long long steps = 0;         ///< solver steps
  long long kernel_evals = 0;  ///< kernel values computed for the solver
  int support_vectors = 0;     ///< examples with a non-zero coefficient
  int bounded = 0;             ///< those whose coefficient sits at a bound of its box
  double rho = 0;              ///< the solve's rho (decision value = sum - rho)
  double seconds = 0;          ///< wall time of the solve
  /// False when the solve stopped at the step limit (Params::keep_at_step_limit); objective
  /// and the training predictions are then those of its last full pass.
  bool converged = true;
};

/// How to train.
struct Params {
  int task = kCSVC;       ///< a Task
  KernelParams kernel;    ///< gamma is used as given (set it; the tools default to 1/d)
  double C = 1;           ///< bound on the coefficients (C-SVC, epsilon-SVR), above 0
  double nu = 0.5;        ///< one-class: fraction of outliers allowed, in (0, 1]
  double p = 0.1;         ///< epsilon-SVR: half-width of the insensitive tube, 0 or more
  double eps = 0.001;     ///< stopping tolerance on the solver's gradient gap, above 0
  double cache_mb = 100;  ///< kernel cache of each solve, in MB, above 0 (the solver's row block
                          ///< and arrays stay within it, and sparse rows held by feature;
                          ///< solves side by side may share it, see threads)
  std::vector<ClassWeight> weights;  ///< C-SVC: factors on C by class label
  /// A factor for each row (empty: 1 for every row), 0 or more: the box of row i is
  /// C * class weight * row_weight[i] (C-SVC), C * row_weight[i] (epsilon-SVR) or
  /// row_weight[i] (one-class, whose coefficients then sum to nu * the sum of the weights).
  /// Rows of weight 0 take no part at all, as if they were not in the data.
  std::vector<double> row_weight;
  /// C-SVC: classes in increasing label order instead of the order of first appearance.
  bool sorted_labels = false;
  bool bias = true;         ///< C-SVC: false drops the bias term (decisions through 0)
  long long max_steps = 0;  ///< solver steps per solve before failing (0: max(10^7, 100 n))
  /// Probability figures in the model (Model::probA, probB), from an internal
  /// 5-fold cross-validation: C-SVC and epsilon-SVR, not one-class.
  bool probability = false;
  std::uint64_t seed = 1;  ///< the folds of that internal cross-validation
  /// A solve that reaches max_steps ends there and keeps the point reached instead of failing
  /// (SolveReport::converged is false).
  bool keep_at_step_limit = false;
  /// Threads training may use, the caller's included: 1 the caller's alone, 0 every
  /// thread the machine offers.  Every number gives the same model, bit for bit: long
  /// kernel rows and the gradient rebuild are computed in pieces, and the class pairs
  /// of C-SVC (and cross-validation folds) are solved side by side, each with the whole
  /// cache budget where their caches fit in it together, else with an equal share of
  /// it (then only the kernel evaluations reported may differ).
  int threads = 1;
  /// Solver output on stdout: 0 none, 1 marks, 2 lines, 3 all (one less with 3+ classes).
  int trace_level = 0;
  /// Raised (by a signal, another thread): Interrupted, at the next solve or regression kernel row.
  const std::atomic<bool>* stop = nullptr;
  /// Called after each solve with its report, its number (from 1) and the number of solves.
  std::function<void(const SolveReport&, int, int)> progress;
};

// --------------------------------------------------------------- model ---

/// A trained model, as the common tools' text format holds it.  For C-SVC
/// with k classes there are k(k-1)/2 class pairs (0,1), (0,2), ..., (1,2),
/// ...; the support vectors come grouped by class (nr_sv of each), and the
/// decision value of pair (i, j) at z is
///     sum_{s of class i} coef[j-1][s] K(s, z) + sum_{s of class j} coef[i][s] K(s, z) - rho[pair]
/// where a positive value votes for class i.  One-class and regression have
/// one row of coefficients and one rho: f(z) = sum_s coef[0][s] K(s, z) - rho[0].
struct Model {
  int task = kCSVC;           ///< a Task
  KernelParams kernel;        ///< the kernel trained with
  int nr_class = 2;           ///< classes (2 for one-class and regression, as the format has it)
  std::vector<double> label;  ///< C-SVC: class labels in model order
  std::vector<int> nr_sv;     ///< C-SVC: support vectors of each class
  std::vector<double> rho;    ///< one per class pair, or one
  std::vector<std::vector<double>> coef;  ///< nr_class - 1 rows of sv.n coefficients
  /// C-SVC trained with probabilities: per class pair, the sigmoid that
  /// gives P(first class | pair) = 1 / (1 + exp(probA f + probB)) at decision
  /// value f.  Epsilon-SVR: probA[0] is the scale sigma of the Laplace
  /// distribution of the error, density exp(-|z| / sigma) / (2 sigma).
  std::vector<double> probA;
  std::vector<double> probB;  ///< see probA; empty without probabilities
  Dataset sv;                 ///< the support vectors (their heads are not used)
  std::vector<int> sv_index;  ///< training row of each support vector (empty when read from a file)
};

/// Write `m` in the common text format, to a temporary file beside `path`
/// that is renamed into place: no half-written model is ever left.
void write_model(const std::string& path, const Model& m);

/// Read a model in the common text format, of any task and kernel offered here.
Model read_model(const std::string& path);

// ------------------------------------------------------------ training ---

/// What training reports besides the model.
struct TrainReport {
  std::vector<SolveReport> solves;  ///< in the order solved (C-SVC: pair order)
  int bounded = 0;  ///< support vectors at a bound of their box in every solve they are part of
  /// The model's prediction at each training row, from the solver's gradients
  /// (single-precision kernel rows); empty for C-SVC with more than two classes,
  /// where it would take a prediction pass over all pairs, and when rows of
  /// weight 0 were left out.
  std::vector<double> fitted;
};

/// Train a model.  Throws Failure for data or parameters the task cannot use
/// and when a solve fails (the message says why), Interrupted when asked to stop.
Model train(const Dataset& data, const Params& params, TrainReport* report = nullptr);

// ---------------------------------------------------------- prediction ---

/// Decision values of every row of `data`, row-major: for C-SVC k(k-1)/2 per
/// row in pair order, else one.  Rows are shared among `threads` threads (0:
/// every thread the machine offers); the values do not depend on how many.
std::vector<double> decision_values(const Model& m, const Dataset& data, int threads = 1);

/// Predicted label (C-SVC: by vote, ties to the class that comes first;
/// one-class: +1 inside, -1 outside) or value (regression) of every row.
std::vector<double> predict(const Model& m, const Dataset& data, int threads = 1);

/// Class probabilities of every row of `data`, row-major, one per class in
/// the model's label order, summing to 1: each class pair's sigmoid, coupled
/// over the pairs (Wu, Lin and Weng's second method) with more than two
/// classes.  With `labels`, also the most probable class of each row (ties
/// to the class that comes first).  The decision values are computed on
/// `threads` threads as in decision_values.  Throws Failure for a model
/// without probability figures or not C-SVC.
std::vector<double> predict_probability(const Model& m, const Dataset& data,
                                        std::vector<double>* labels = nullptr, int threads = 1);

// ----------------------------------------------------- model selection ---

/// How predictions score against the heads of the data, as the common tools count.
struct Score {
  int task = kCSVC;                ///< classes and one-class: accuracy; regression: errors
  long long correct = 0;           ///< rows whose prediction equals the head
  long long n = 0;                 ///< rows scored
  double accuracy = 0;             ///< correct / n in percent
  double mean_squared_error = 0;   ///< regression: mean of (prediction - target)^2
  double squared_correlation = 0;  ///< regression: squared correlation of predictions and targets
};
Score score(int task, const std::vector<double>& predicted, const std::vector<double>& truth);

/// What cross-validation gives.
struct CrossValidation {
  std::vector<int> fold;          ///< each row's fold, 0..folds-1
  std::vector<double> predicted;  ///< each row's prediction by the model trained without its fold
  Score score;                    ///< of those predictions
};

/// k-fold cross-validation: rows dealt into `folds` folds by a generator
/// seeded with `seed` (C-SVC: stratified, each class spread evenly over the
/// folds; else at random), a model trained on all other folds predicts each
/// fold.  More folds than rows means one row per fold.  With
/// params.probability (C-SVC), the predictions are the most probable classes.
CrossValidation cross_validate(const Dataset& data, const Params& params, int folds,
                               std::uint64_t seed);

/// One point of a grid search.
struct GridPoint {
  double log2c = 0;  ///< C = 2^log2c (log2 of params.C when no values were given)
  double log2g = 0;  ///< gamma = 2^log2g (likewise)
  double C = 0;      ///< the C trained with
  double gamma = 0;  ///< the gamma trained with
  Score score;       ///< of the cross-validated predictions
};

/// A grid search over C and gamma, by cross-validation with the same folds at every point.
struct GridOptions {
  std::vector<double> log2c;  ///< C values as powers of 2; empty: params.C alone
  std::vector<double> log2g;  ///< gamma values likewise; empty: params.kernel.gamma alone
  int folds = 5;              ///< folds of the cross-validation
  std::uint64_t seed = 1;     ///< the generator dealing the rows into folds
  /// Called with each point as soon as all its folds are done (a gamma's
  /// points together, C increasing).
  std::function<void(const GridPoint&)> on_point;
};

struct GridResult {
  std::vector<GridPoint> points;  ///< gamma by gamma in the order given, C increasing within
  size_t best =
      0;  ///< the highest accuracy (regression: lowest error); ties to the smaller C, then gamma
};

/// Cross-validated search: for each gamma and fold one solver walks the C
/// values in increasing order, each solve continuing from the last solution
/// (scaled by the factor that maximises the objective along it, at most the
/// ratio of the two C values) with the kernel rows it holds.  Not for
/// probabilities.  Throws Failure as train does.
GridResult grid_search(const Dataset& data, const Params& params, const GridOptions& options);

// ------------------------------------------------------------- scaling ---

/// The ranges a linear scaling of features (and heads) maps from and to, as
/// the common scaling tool keeps them.
struct ScaleRanges {
  double lower = -1;        ///< every feature goes onto [lower, upper]
  double upper = 1;         ///< (see lower)
  bool y_scaling = false;   ///< the heads are scaled too
  double y_lower = 0;       ///< heads go onto [y_lower, y_upper]
  double y_upper = 0;       ///< (see y_lower)
  double y_min = 0;         ///< the range of the heads
  double y_max = 0;         ///< (see y_min)
  std::vector<int> index;   ///< the features scaled (from 0, increasing); all others are left out
  std::vector<double> min;  ///< smallest value of each, absent ones counting as 0
  std::vector<double> max;  ///< largest value of each
};

/// The ranges of data's features (and heads, when `to` scales them) with the
/// targets of `to`: every feature whose values (absent ones counting as 0)
/// are not all equal.
ScaleRanges measure_ranges(const Dataset& data, const ScaleRanges& to);

/// `data` scaled: value v of a feature becomes lower at its min, upper at
/// its max, else lower + (upper - lower) (v - min) / (max - min); the heads
/// likewise when y_scaling.  Features the ranges do not list, or whose min
/// equals their max, are left out; absent features take the image of 0.
/// `dropped`, when given, gets the features (from 0) that vary in the data
/// but that the ranges do not list.
Dataset apply_ranges(const Dataset& data, const ScaleRanges& r,
                     std::vector<int>* dropped = nullptr);

/// Write the ranges in the common tool's file format: "y" and two lines,
/// y_lower y_upper and y_min y_max, when the heads are scaled; "x" and a line
/// lower upper; a line "index min max" per feature (indices from 1).
void write_ranges(const std::string& path, const ScaleRanges& r);

/// Read a file of that format; throws Failure naming the file and line.
ScaleRanges read_ranges(const std::string& path);

}  // namespace ksvm

#endif
