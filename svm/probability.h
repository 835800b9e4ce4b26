// Probabilities from decision values: Platt's sigmoid per class pair,
// pairwise coupling over the pairs, and the Laplace scale of regression
// errors, each fitted on an internal cross-validation.
#ifndef KSVM_PROBABILITY_H
#define KSVM_PROBABILITY_H

#include <cstdint>
#include <vector>

#include "kaltro_svm.h"

namespace ksvm {

/// P(+1 | f) = 1 / (1 + exp(A f + B)).
struct Sigmoid {
  double A = 0;
  double B = 0;
};

/// Platt's sigmoid fitted to decision values `dec` with classes `positive`
/// (true: +1): maximum likelihood with the targets Platt regularises with,
/// by the Newton method with backtracking of Lin, Lin and Weng.
Sigmoid fit_sigmoid(const std::vector<double>& dec, const std::vector<char>& positive);

/// The sigmoid at decision value f, computed without overflow.
double sigmoid_value(double f, const Sigmoid& s);

/// Class probabilities p[0..k-1] from pairwise ones, r[i * k + j] = P(i | i or j)
/// (r[j * k + i] = 1 - r[i * k + j]): Wu, Lin and Weng's second method, the
/// minimum of p'Qp over sum p = 1, iterated until every (Qp)_t is within
/// `tolerance` of p'Qp (the common tools stop at 0.005 / k).
void couple(int k, const std::vector<double>& r, double* p, double tolerance);

/// The sigmoid of C-SVC's class pair (rows ri coded +1 with factor wi on C,
/// rows rj coded -1 with wj), fitted to decision values of a 5-fold
/// cross-validation over the pair's rows, folds dealt by `seed`.
Sigmoid pair_sigmoid(const Dataset& data, const Params& prm, const std::vector<int>& ri,
                     const std::vector<int>& rj, double wi, double wj, std::uint64_t seed);

/// Epsilon-SVR: the scale of a Laplace distribution fitted to the errors of a
/// 5-fold cross-validation: their mean absolute value, recomputed without
/// those beyond five standard deviations of that distribution.
double laplace_scale(const Dataset& data, const Params& prm);

}  // namespace ksvm

#endif
