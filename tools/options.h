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
  ksvm::Params params;       ///< trace level 1 unless -q or --trace say otherwise
  bool gamma_given = false;  ///< -g given; else gamma is 1/d of the data read
  std::string train_file;    ///< the examples
  std::string model_file;    ///< where the model goes (default: TRAIN_FILE's base name + ".model")
};

/// kaltro-svm predict [-j N] TEST_FILE MODEL_FILE [OUTPUT_FILE]
struct PredictCommand {
  std::string test_file;   ///< the examples to predict
  std::string model_file;  ///< the model
  std::string out_file;    ///< the predictions (default: TEST_FILE's base name + ".predict")
  int threads = 0;         ///< -j: threads (0: every thread the machine offers)
};

/// kaltro-svm generate [options] N OUTPUT_FILE
struct GenerateCommand {
  ksvm::GenerateOptions options;  ///< n is N
  std::string out_file;           ///< where the examples go
};

/// What one run of the program is asked to do.
struct Command {
  enum Kind { kHelp, kVersion, kTrain, kPredict, kGenerate };
  Kind kind = kHelp;         ///< which of the commands below is filled in
  TrainCommand train;        ///< kind kTrain
  PredictCommand predict;    ///< kind kPredict
  GenerateCommand generate;  ///< kind kGenerate
};

/// The command asked for by argv[1..argc-1] (argv[0] is the program).
/// --help or --version anywhere wins over everything else.  Throws
/// UsageError for anything the program cannot run.
Command parse_command(int argc, const char* const* argv);

}  // namespace cli

#endif
