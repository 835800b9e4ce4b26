// What the fuzz targets share: reading small numbers from the front of an
// input, and failing loudly when a property does not hold.
#ifndef KALTRO_FUZZ_INPUT_H
#define KALTRO_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

// Reads the input byte by byte; past its end every read gives 0, so that any
// input, the empty one included, decodes to something.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  unsigned byte() { return p_ < end_ ? *p_++ : 0u; }
  /// 0..n-1, for n of at most 256.
  unsigned below(unsigned n) { return byte() % n; }
  /// lo..hi, for a range of at most 256 values.
  int within(int lo, int hi) {
    return lo + static_cast<int>(below(static_cast<unsigned>(hi - lo + 1)));
  }
  /// A signed 16-bit number.
  int word() {
    const unsigned v = byte() | byte() << 8;
    return static_cast<int>(v) - 32768;
  }
  const uint8_t* pos() const { return p_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

[[noreturn]] inline void violated(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz::violated(#cond, __FILE__, __LINE__))

#endif
