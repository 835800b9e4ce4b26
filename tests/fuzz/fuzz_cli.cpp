// Fuzz target: kaltro-svm's option parsing (cli::parse_command).
//
// Input: the words of a command line, separated by NUL bytes, after the
// program's name.  Any words give a command or a usage error (or a
// ksvm::Failure) whose message is printable.
#include <cstdint>
#include <string>
#include <vector>

#include "dataset_checks.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"kaltro-svm"};
  words.emplace_back();
  for (size_t i = 0; i < size; i++)
    if (data[i] == 0)
      words.emplace_back();
    else
      words.back() += static_cast<char>(data[i]);
  std::vector<const char*> argv;
  for (const std::string& w : words)
    argv.push_back(w.c_str());
  try {
    cli::parse_command(static_cast<int>(argv.size()), argv.data());
  } catch (const cli::UsageError& e) {
    fuzz::check_message(e.message, "");
  } catch (const ksvm::Failure& e) {
    fuzz::check_message(e.what(), "");
  }
  return 0;
}
