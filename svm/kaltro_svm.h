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
};

/// How to train.
struct Params {
  int task = kCSVC;                  ///< a Task
  KernelParams kernel;               ///< gamma is used as given (set it; the tools default to 1/d)
  double C = 1;                      ///< bound on the coefficients (C-SVC, epsilon-SVR), above 0
  double nu = 0.5;                   ///< one-class: fraction of outliers allowed, in (0, 1]
  double p = 0.1;                    ///< epsilon-SVR: half-width of the insensitive tube, 0 or more
  double eps = 0.001;                ///< stopping tolerance on the solver's gradient gap, above 0
  double cache_mb = 100;             ///< kernel cache of each solve, in MB, above 0
  std::vector<ClassWeight> weights;  ///< C-SVC: factors on C by class label
  bool bias = true;                  ///< C-SVC: false drops the bias term (decisions through 0)
  long long max_steps = 0;  ///< solver steps per solve before failing (0: max(10^7, 100 n))
  /// Threads training may use, the caller's included: 1 the caller's alone, 0 every
  /// thread the machine offers.  Every number gives the same model, bit for bit: long
  /// kernel rows and the gradient rebuild are computed in pieces, and the class pairs
  /// of C-SVC are solved side by side where their caches fit in one budget together.
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
  std::vector<double> probA;              ///< probability figures of a model that carries them
  std::vector<double> probB;              ///< (kept and written back, not used to predict)
  Dataset sv;                             ///< the support vectors (their heads are not used)
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
  /// where it would take a prediction pass over all pairs.
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

}  // namespace ksvm

#endif
