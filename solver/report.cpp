// Console reporting: one-character progress marks or full status lines, and
// the error path that every failing operation returns through.
#include "kaltro.h"

#include <cstdarg>
#include <cstdio>

namespace kaltro {
namespace msg {
const char start_point[] = "Initial x[] does not satisfy inequality constraint";
const char not_convex[] = "Function is not convex (negative curvature)";
const char bad_eps_gap[] = "eps_gap must be positive";
const char non_finite[] = "Non-finite value in the solution";
const char beyond_big[] = "Gradient beyond big";
const char step_limit[] = "Step limit reached";
}  // namespace msg
}  // namespace kaltro

namespace {
// Marks written on one console line before a status is written in full.
const int kMarksPerLine = 40;
}  // namespace

void KALTRO::info(const char* mark, const char* line, ...) {
  if (trace_level <= 0)
    return;
  const char* text;
  if (!line) {
    if (!mark)
      return;
    text = mark;
  } else if (trace_level == 1 && marks < kMarksPerLine && mark) {
    text = mark;
  } else {
    text = line;
  }
  if (!text[0])
    return;  // an empty mark does not fall back to the line
  va_list ap;
  va_start(ap, line);
  vfprintf(stdout, text, ap);
  va_end(ap);
  fflush(stdout);
  marks += 1;
  if (text[1])
    marks = 0;  // any longer text ends the row of marks
}

int KALTRO::error(const char* message) {
  if (trace_level > 0) {
    if (marks > 0)
      fputc('\n', stdout);
    fprintf(stdout, "KALTRO error: %s\n", message);
  }
  last_error = message;
  return -1;
}
