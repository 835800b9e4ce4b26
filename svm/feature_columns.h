// The rows of a walk over sparse data held by feature as well: for each
// feature, the positions of the walk whose rows hold it.  A kernel row is
// then the sums of the columns of one row's features, which touches as many
// entries as those columns hold; gathering every row of the walk against
// the spread row touches all the walk's pairs.  On text-like data, where
// most of a line's words are rare, the columns hold a small part of them.
// Private to the trainer library.
#ifndef KSVM_FEATURE_COLUMNS_H
#define KSVM_FEATURE_COLUMNS_H

#include <cstddef>
#include <vector>

#include "kaltro_svm.h"

namespace ksvm {

// Each dot product keeps the four running sums of kernel.h's rule: the
// product of feature k goes to sum k & 3, features taken in increasing k.
// The columns are summed in increasing feature order, so every sum gets the
// same products in the same order as a gather: the same bits.
//
// Entries are placed by position, so that the sums of a stretch of
// positions lie together and a thread that computes a piece of a walk
// touches only its own; they are placed anew when the solver has reordered
// its variables since.
//
// When the budget does not take every row of a walk, the columns hold the
// rows of its first positions, as many as fit: the solver keeps its active
// variables there, so the walks of its steps are summed while the rows
// beyond are gathered.  Which rows those are changes as the solver
// reorders, so the columns are then counted anew as well.
struct FeatureColumns {
  std::vector<int> feature;   ///< the features the walk's rows hold, increasing
  std::vector<size_t> start;  ///< column c holds entries start[c] .. start[c + 1] - 1
  std::vector<int> at;        ///< each entry's position, increasing within a column
  std::vector<double> value;  ///< each entry's value
  /// The walk's kernel indices at positions 0..reach-1 when the entries
  /// were placed: the rows held.
  std::vector<int> placed;
  int reach = 0;     ///< positions held (all of the walk when its rows fit)
  size_t room = 0;   ///< entries there is room for
  bool all = false;  ///< every row of the walk held, whatever its order
  /// The column of each feature up to the last one held, -1 for none; left
  /// empty (columns found by binary search) when that would outweigh a
  /// third of the entries or the budget.
  std::vector<int> column;
  double mean_pairs = 0;  ///< non-zeros per position

  /// One of the columns a kernel row sums: its entries, the value of the
  /// row's feature and the sum it goes to.
  struct Part {
    size_t from, to;
    double v;
    int sum;
  };
  std::vector<Part> parts;  ///< the row laid out by lay_out
  /// Four running sums for each position (and a block's worth beyond).
  std::vector<double> sums;

  /// Bytes held (the arrays above, by their capacity).
  size_t bytes() const;

  /// Builds the columns of the walk whose positions 0..n-1 hold the kernel
  /// indices `order` (rows of `data`), when that takes at most `budget`
  /// bytes and summing them pays for the average row; with `part`, of the
  /// rows of its first positions when not all fit, at least an eighth of them.
  /// False, with nothing held, otherwise (also when the order names a row
  /// `data` lacks).
  bool build(const Dataset& data, const int* order, int n, size_t budget, bool part = false);
  /// The same for every row of `data` in its own order.
  bool build(const Dataset& data, size_t budget);

  /// Places the entries anew if the walk of n positions is not in the order
  /// they were placed for.  The solver only exchanges positions, so columns
  /// that hold every row keep their lengths; others are counted anew, for
  /// as many of the first positions as fit.
  void follow(const Dataset& data, const int* order, int n);

  /// Lays out the sparse row of m pairs idx/val (idx increasing) into
  /// `out`; returns the entries its columns hold.
  double lay_out(const int* idx, const double* val, size_t m, std::vector<Part>& out) const;
  /// The sums of the row laid out in `row` at positions from..to-1, from
  /// zero, into sums (four per position).
  void add_up(const std::vector<Part>& row, int from, int to, double* sums) const;

  /// Lays out data row a for add_up; returns the entries its columns hold.
  double lay_out(const Dataset& data, int a);

  /// Whether summing columns of `entries` (over all positions) beats
  /// gathering a walk against the spread row: a gather reads each of the
  /// walk's pairs at a place of its own, the columns are read in order, and
  /// every position of the walk also has its sums cleared and read (about
  /// two entries' worth, measured on text-like and one-hot sets).
  bool pays(double entries) const {
    return entries / static_cast<double>(placed.size()) + 2.0 < mean_pairs;
  }

  /// The sums of the laid-out row at positions from..to-1 (below reach),
  /// from zero.  Ranges apart may be summed at the same time.
  void add_up(int from, int to) { add_up(parts, from, to, sums.data()); }

  /// The dot product at position p from its four sums.
  static double dot(const double* sums, int p) {
    const double* s = sums + 4 * static_cast<size_t>(p);
    return (s[0] + s[1]) + (s[2] + s[3]);
  }
  /// The dot product of the laid-out row with the row at position p, once
  /// added up.
  double dot(int p) const { return dot(sums.data(), p); }

 private:
  /// start[] for the rows at positions 0..reach-1 of `order`: where each
  /// column begins.
  void count(const Dataset& data, const int* order);
  /// The column of feature k, or -1 when no row of the walk holds it.
  long column_of(int k) const;
};

}  // namespace ksvm

#endif
