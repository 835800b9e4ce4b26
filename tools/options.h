// kaltro-svm's command line as data: the words of a run parsed into the
// command they ask for, or a usage error.  Nothing here prints or ends the
// program; main() dispatches, runs and prints.
#ifndef KALTRO_CLI_OPTIONS_H
#define KALTRO_CLI_OPTIONS_H

#include <string>

#include "generate.h"
#include "kaltro_svm.h"

namespace cli {

/// A command-line mistake: reported with the usage, exit status 2.  Control
/// characters of the words quoted show as '?'.
struct UsageError {
  explicit UsageError(std::string text);
  std::string message;
};

/// The short usage lines, and the help text that follows them in --help.
extern const char kUsage[];
extern const char kHelp[];

/// kaltro-svm train [options] TRAIN_FILE [MODEL_FILE]
struct TrainCommand {
  ksvm::Params params;       ///< trace level 1 unless -q or --trace say otherwise; seed from --seed
  bool gamma_given = false;  ///< -g given; else gamma is 1/d of the data read
  int folds = 0;             ///< -v: cross-validate with this many folds instead of writing a model
  std::string train_file;    ///< the examples
  std::string model_file;    ///< where the model goes (default: TRAIN_FILE's base name + ".model")
};

/// kaltro-svm predict [-b 0|1] TEST_FILE MODEL_FILE [OUTPUT_FILE]
struct PredictCommand {
  bool probability = false;  ///< -b 1: class probabilities in the output
  std::string test_file;     ///< the examples to predict
  std::string model_file;    ///< the model
  std::string out_file;      ///< the predictions (default: TEST_FILE's base name + ".predict")
  int threads = 0;           ///< -j: threads (0: every thread the machine offers)
};

/// kaltro-svm scale [options] FILE
struct ScaleCommand {
  ksvm::ScaleRanges to;      ///< -l, -u, -y: the targets (y_scaling when -y is given)
  std::string save_file;     ///< -s: write the ranges here
  std::string restore_file;  ///< -r: scale with the ranges read from here
  std::string data_file;     ///< the examples
};

/// kaltro-svm grid [grid options] [training options] FILE
struct GridCommand {
  TrainCommand train;         ///< the training options passed through (trace level 0 by default)
  ksvm::GridOptions options;  ///< -log2c, -log2g (empty for "null"), -v, --seed
  std::string plot_file;      ///< --plot: the contour of the rates as a PNG image
};

/// kaltro-svm generate [options] N OUTPUT_FILE
struct GenerateCommand {
  ksvm::GenerateOptions options;  ///< n is N
  std::string out_file;           ///< where the examples go
};

/// What one run of the program is asked to do.
struct Command {
  enum Kind { kHelp, kVersion, kTrain, kPredict, kGenerate, kScale, kGrid };
  Kind kind = kHelp;         ///< which of the commands below is filled in
  TrainCommand train;        ///< kind kTrain
  PredictCommand predict;    ///< kind kPredict
  GenerateCommand generate;  ///< kind kGenerate
  ScaleCommand scale;        ///< kind kScale
  GridCommand grid;          ///< kind kGrid
};

/// The command asked for by argv[1..argc-1] (argv[0] is the program).
/// --help or --version anywhere wins over everything else.  Throws
/// UsageError for anything the program cannot run.
Command parse_command(int argc, const char* const* argv);

}  // namespace cli

#endif
