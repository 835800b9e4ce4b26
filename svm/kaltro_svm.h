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

}  // namespace ksvm

#endif
