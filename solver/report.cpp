// Console reporting: one-character progress marks or full status lines, and
// the error path that every failing operation returns through.  Every text
// goes to the caller's output, standard output by default.
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "kaltro.h"

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

void kaltro::write_stdout(const char* text, bool flush, void*) {
  std::fputs(text, stdout);
  if (flush)
    std::fflush(stdout);
}

namespace {
// Marks written on one console line before a status is written in full.
const int kMarksPerLine = 40;

// Formats the text and hands it to the output in one piece.  The solver's
// own texts fit the buffer; a longer one gets memory of its own.
void emit(KALTRO& s, bool flush, const char* format, va_list ap) {
  char buf[256];
  va_list again;
  va_copy(again, ap);
  const int len = std::vsnprintf(buf, sizeof buf, format, ap);
  if (len >= 0 && static_cast<size_t>(len) < sizeof buf) {
    s.output(buf, flush, s.output_arg);
  } else if (len > 0) {
    std::vector<char> text(static_cast<size_t>(len) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    s.output(text.data(), flush, s.output_arg);
  }
  va_end(again);
}

void emitf(KALTRO& s, bool flush, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  emit(s, flush, format, ap);
  va_end(ap);
}
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
  if (output) {
    va_list ap;
    va_start(ap, line);
    emit(*this, true, text, ap);
    va_end(ap);
  }
  marks += 1;
  if (text[1])
    marks = 0;  // any longer text ends the row of marks
}

int KALTRO::error(const char* message) {
  // A newline first ends a row of marks.
  if (trace_level > 0 && output)
    emitf(*this, false, "%sKALTRO error: %s\n", marks > 0 ? "\n" : "", message);
  last_error = message;
  return -1;
}
